// SPDX-License-Identifier: BSD-2-Clause
// The RTCM 3 encoder on arbitrary observation epochs and ephemerides. The first byte chooses
// the messages; the rest is a run of records, each an epoch (time step, satellites, values of
// any kind: realistic, far out of range, not a number) or an ephemeris. Everything the stream
// writes must be whole frames with a good CRC; every observation message must read back with
// each field inside its range, and every value it marks valid must be the value given (a
// phase give or take whole rollovers of 1500 cycles), to the message's resolution.
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "rtcm/station_stream.h"
#include "support/rtcm_reader.h"

namespace {

using namespace kestrel;

constexpr double kC = 299792458.0;
constexpr double kLambda[2] = {kC / 1575.42e6, kC / 1227.60e6};

class Cursor {
public:
    Cursor(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const { return at_ >= size_; }
    uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    uint32_t U32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = v << 8 | Byte();
        return v;
    }
    double Raw() {
        uint64_t bits = static_cast<uint64_t>(U32()) << 32 | U32();
        double v;
        std::memcpy(&v, &bits, sizeof v);
        return v;
    }
    // Mostly a value a receiver could give, near `typical`; sometimes any double at all.
    double Value(double typical, double spread) {
        const uint8_t mode = Byte();
        if (mode % 5 == 0) return Raw();
        return typical + (static_cast<double>(static_cast<int32_t>(U32())) / 2147483648.0) * spread * (mode % 5);
    }

private:
    const uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

std::vector<rtcm::MessageChoice> Messages(uint8_t choice) {
    std::vector<rtcm::MessageChoice> list;
    const int numbers[] = {1004, 1074, 1077, 1019, 1005, 1006, 1033};
    for (int i = 0; i < 7; ++i) {
        if (choice >> i & 1) list.push_back({numbers[i], (choice >> 7) ? 2.0 * (i + 1) : 0.0});
    }
    return list;
}

DecodedEphemeris RandomEphemeris(Cursor& in) {
    DecodedEphemeris e{};
    GpsEphRecord& r = e.record;
    r.Prn = in.Byte() % 40;
    r.Week = static_cast<int32_t>(in.U32());
    r.Iode = in.Byte();
    r.Iodc = static_cast<int32_t>(in.U32());
    r.Toc = static_cast<int32_t>(in.U32());
    r.Toe = static_cast<int32_t>(in.U32() % 700000);
    // The record is packed: its fields are set one by one, never through pointers.
    r.Tgd = in.Value(0.0, 1e-8);
    r.Af2 = in.Value(0.0, 1e-15);
    r.Af1 = in.Value(0.0, 1e-10);
    r.Af0 = in.Value(0.0, 1e-3);
    r.DeltaN = in.Value(0.0, 1e-8);
    r.M0 = in.Value(0.0, 3.0);
    r.Ecc = in.Value(0.01, 0.01);
    r.SqrtA = in.Value(5153.0, 10.0);
    r.Cic = in.Value(0.0, 1e-6);
    r.Crc = in.Value(0.0, 300.0);
    r.Cis = in.Value(0.0, 1e-6);
    r.Crs = in.Value(0.0, 100.0);
    r.Cuc = in.Value(0.0, 1e-5);
    r.Cus = in.Value(0.0, 1e-5);
    r.Omega0 = in.Value(0.0, 3.0);
    r.Omega = in.Value(0.0, 3.0);
    r.I0 = in.Value(0.95, 0.05);
    r.OmegaDot = in.Value(0.0, 1e-8);
    r.Idot = in.Value(0.0, 1e-9);
    e.health = in.Byte();
    e.uraIndex = in.Byte();
    e.l2Codes = in.Byte();
    e.l2PDataFlag = in.Byte();
    e.fitIntervalFlag = in.Byte();
    return e;
}

ObservationEpoch RandomEpoch(Cursor& in, double& timeS) {
    const uint8_t tag = in.Byte();
    const double step = (in.Byte() << 8 | in.Byte()) * 0.001;
    timeS += (tag & 0x80) ? -step : step;
    ObservationEpoch e;
    e.time = GpsTimeFromTotal(timeS);
    if (tag & 0x40) e.positionM = std::array<double, 3>{in.Value(-3.9e6, 100), in.Value(3.3e6, 100), in.Value(3.6e6, 100)};
    e.satCount = in.Byte() % (kMaxEpochSatellites + 1);
    for (int i = 0; i < e.satCount; ++i) {
        SatelliteObservation& s = e.sats[static_cast<std::size_t>(i)];
        s.prn = in.Byte() % 40;
        const uint8_t present = in.Byte();
        s.lockReasons = {static_cast<uint8_t>(in.Byte() & 0x0F), static_cast<uint8_t>(in.Byte() & 0x0F)};
        const double range = in.Value(2.2e7, 5e6);
        const double typical[kObservableCount] = {range, range / kLambda[0], 0.0, 45.0, range, range, range / kLambda[1]};
        const double spread[kObservableCount] = {1.0, 2e4, 5000.0, 20.0, 300.0, 300.0, 2e4};
        for (std::size_t o = 0; o < kObservableCount; ++o) {
            if (present >> o & 1) s.Set(static_cast<Observable>(o), o == 0 ? range : in.Value(typical[o], spread[o]));
        }
    }
    return e;
}

// True when a satellite of the epoch with this PRN (a damaged frame may name one twice) has
// the signal's values: its range to `rangeTolM`, its phase give or take whole rollovers of
// 1500 cycles to `phaseTolM`.
bool GivenSomewhere(const ObservationEpoch& e, int prn, const test::RtcmSignal& sig, double rangeTolM, double phaseTolM) {
    const Observable code = sig.id == 2 ? Observable::kC1 : sig.id == 4 ? Observable::kP1 : Observable::kP2;
    const bool l2 = sig.id == 10;
    const Observable phase = l2 ? Observable::kL2 : Observable::kL1;
    for (int i = 0; i < e.satCount; ++i) {
        const SatelliteObservation& s = e.sats[static_cast<std::size_t>(i)];
        if (s.prn != prn) continue;
        if (sig.hasRange && (!s.Has(code) || !(std::fabs(sig.rangeM - s.Value(code)) <= rangeTolM))) continue;
        if (sig.hasPhase) {
            if (sig.id == 4 || !s.Has(phase)) continue;
            const double apart = sig.phaseCycles - s.Value(phase);
            const double rolls = std::round(apart / 1500.0);
            // Far beyond any receiver's values, double precision itself is the limit.
            const double tolerance = phaseTolM + 1e-9 * std::fabs(s.Value(phase));
            if (!(std::fabs(apart - rolls * 1500.0) * kLambda[l2 ? 1 : 0] <= tolerance)) continue;
        }
        return true;
    }
    return false;
}

void CheckObservations(const std::vector<uint8_t>& frame, const ObservationEpoch& epoch) {
    test::RtcmObservations obs;
    std::string error;
    if (!test::ReadRtcmObservations(frame, obs, error)) fuzz::Fail("observation message does not read: %s", error.c_str());
    const int64_t towMs = static_cast<int64_t>(std::llround(epoch.time.Total() * 1000.0)) % 604800000;
    if (obs.towMs != static_cast<uint32_t>((towMs + 604800000) % 604800000)) fuzz::Fail("time of week %u", obs.towMs);
    const bool msm7 = obs.number == 1077, msm4 = obs.number == 1074;
    const double rangeTolM = msm7 ? 0.0003 : msm4 ? 0.009 : 0.0101;
    const double phaseTolM = msm7 ? 0.0001 : 0.0003;
    for (const auto& sat : obs.satellites) {
        for (const auto& sig : sat.signals) {
            if (!GivenSomewhere(epoch, sat.prn, sig, rangeTolM, phaseTolM))
                fuzz::Fail("PRN %d signal %d: range %.4f (%d), phase %.4f (%d) not as given", sat.prn, sig.id, sig.rangeM,
                           sig.hasRange, sig.phaseCycles, sig.hasPhase);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    Cursor in(data, size);
    const uint8_t choice = in.Byte();
    rtcm::StationDescription station;
    const uint8_t stationByte = in.Byte();
    station.stationId = stationByte << 4;
    if (choice & 0x01) station.positionM = std::array<double, 3>{-3976219.5082, 3382372.5671, 3652512.9849};
    station.antennaType = "TRM41249.00     NONE";
    rtcm::StationStream stream(Messages(choice), station, (stationByte & 1) != 0);
    double timeS = 1316 * 604800.0 + in.U32() % 604800;
    std::vector<uint8_t> out;
    while (!in.empty()) {
        const std::size_t before = out.size();
        ObservationEpoch epoch;
        const bool isEpoch = in.Byte() % 8 != 0;
        if (isEpoch) {
            epoch = RandomEpoch(in, timeS);
            stream.OnEpoch(epoch, out);
        } else {
            stream.OnEphemeris(RandomEphemeris(in), out);
        }
        const std::vector<uint8_t> written(out.begin() + static_cast<std::ptrdiff_t>(before), out.end());
        std::vector<std::vector<uint8_t>> frames;
        std::string error;
        if (!test::SplitRtcmFrames(written, frames, error)) fuzz::Fail("not whole frames: %s", error.c_str());
        for (const auto& f : frames) {
            const int number = test::RtcmMessageNumber(f);
            const std::size_t payload = f.size() - 6;
            if (number == 1004 || number == 1074 || number == 1077) {
                if (!isEpoch) fuzz::Fail("observations for an ephemeris");
                CheckObservations(f, epoch);
            } else if ((number == 1019 && payload != 61) || (number == 1005 && payload != 19) ||
                       (number == 1006 && payload != 21)) {
                fuzz::Fail("message %d of %zu bytes", number, payload);
            } else if (number != 1019 && number != 1005 && number != 1006 && number != 1033) {
                fuzz::Fail("message %d not chosen", number);
            }
        }
    }
    stream.Finish();
    out.clear();
    stream.AppendStartFrames(out);
    std::vector<std::vector<uint8_t>> frames;
    std::string error;
    if (!test::SplitRtcmFrames(out, frames, error)) fuzz::Fail("start frames: %s", error.c_str());
    return 0;
}
