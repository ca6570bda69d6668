// SPDX-License-Identifier: BSD-2-Clause
#include "support/rtcm_reader.h"

#include <cmath>

#include "rtcm/bits.h"

namespace kestrel::test {
namespace {

constexpr double kC = 299792458.0;
constexpr double kLightMsM = kC * 0.001;
constexpr double kL1Lambda = kC / 1575.42e6;
constexpr double kL2Lambda = kC / 1227.60e6;

double LambdaOf(int signalId) { return signalId >= 8 ? kL2Lambda : kL1Lambda; }

bool Fail(std::string& error, const std::string& what) {
    error = what;
    return false;
}

int64_t Invalid(int bits) { return -(int64_t{1} << (bits - 1)); }

bool Read1004(rtcm::BitReader& r, std::size_t payloadBytes, RtcmObservations& out, std::string& error) {
    out.station = static_cast<int>(r.Unsigned(12));
    out.towMs = static_cast<uint32_t>(r.Unsigned(30));
    out.moreFollow = r.Unsigned(1) != 0;
    const int count = static_cast<int>(r.Unsigned(5));
    if (r.Unsigned(4) != 0) return Fail(error, "1004: smoothing fields set");
    if ((64 + 125 * count + 7) / 8 != static_cast<int>(payloadBytes)) return Fail(error, "1004: length does not match the count");
    for (int i = 0; i < count; ++i) {
        RtcmSatellite sat;
        sat.prn = static_cast<int>(r.Unsigned(6));
        const int code1 = static_cast<int>(r.Unsigned(1));
        const double pr = static_cast<double>(r.Unsigned(24));
        const int64_t ppr1 = r.Signed(20);
        const int lock1 = static_cast<int>(r.Unsigned(7));
        const double ambiguity = static_cast<double>(r.Unsigned(8));
        const double cnr1 = static_cast<double>(r.Unsigned(8));
        const int code2 = static_cast<int>(r.Unsigned(2));
        const int64_t pr21 = r.Signed(14);
        const int64_t ppr2 = r.Signed(20);
        const int lock2 = static_cast<int>(r.Unsigned(7));
        const double cnr2 = static_cast<double>(r.Unsigned(8));
        if (sat.prn < 1 || sat.prn > 32) return Fail(error, "1004: satellite id outside 1..32");
        if (code1 != 0 || code2 != 3) return Fail(error, "1004: code indicators other than C/A and correlated P(Y)");
        if (pr * 0.02 >= kLightMsM + 0.02) return Fail(error, "1004: L1 range beyond a light millisecond");
        if (i > 0 && sat.prn <= out.satellites.back().prn) return Fail(error, "1004: satellites out of order");
        const double range = ambiguity * kLightMsM + pr * 0.02;
        RtcmSignal l1;
        l1.id = 2;
        l1.hasRange = true;
        l1.rangeM = range;
        l1.hasPhase = ppr1 != Invalid(20);
        l1.phaseCycles = (range + static_cast<double>(ppr1) * 0.0005) / kL1Lambda;
        l1.lock = lock1;
        l1.cnrDbHz = cnr1 * 0.25;
        RtcmSignal l2;
        l2.id = 10;
        l2.hasRange = pr21 != Invalid(14);
        l2.rangeM = range + static_cast<double>(pr21) * 0.02;
        l2.hasPhase = ppr2 != Invalid(20);
        l2.phaseCycles = (range + static_cast<double>(ppr2) * 0.0005) / kL2Lambda;
        l2.lock = lock2;
        l2.cnrDbHz = cnr2 * 0.25;
        sat.signals = {l1, l2};
        out.satellites.push_back(sat);
    }
    return true;
}

bool ReadMsm(rtcm::BitReader& r, std::size_t payloadBytes, bool msm7, RtcmObservations& out, std::string& error) {
    out.station = static_cast<int>(r.Unsigned(12));
    out.towMs = static_cast<uint32_t>(r.Unsigned(30));
    out.moreFollow = r.Unsigned(1) != 0;
    if (r.Unsigned(3) != 0 || r.Unsigned(7) != 0) return Fail(error, "MSM: IODS or reserved bits set");
    out.clockSteering = static_cast<int>(r.Unsigned(2));
    if (out.clockSteering == 3 || r.Unsigned(2) != 0 || r.Unsigned(4) != 0)
        return Fail(error, "MSM: clock or smoothing fields out of range");
    const uint64_t satMask = r.Unsigned(64);
    const uint32_t signalMask = static_cast<uint32_t>(r.Unsigned(32));
    std::vector<int> prns, signals;
    for (int i = 1; i <= 64; ++i) {
        if (satMask >> (64 - i) & 1) prns.push_back(i);
    }
    for (int i = 1; i <= 32; ++i) {
        if (signalMask >> (32 - i) & 1) signals.push_back(i);
    }
    for (const int id : signals) {
        if (id != 2 && id != 4 && id != 10) return Fail(error, "MSM: a signal other than 1C, 1W and 2W");
    }
    for (const int prn : prns) {
        if (prn > 32) return Fail(error, "MSM: satellite id beyond 32");
    }
    const std::size_t cellBits = prns.size() * signals.size();
    if (prns.empty() || signals.empty() || cellBits > 64) return Fail(error, "MSM: empty masks or more than 64 cells");
    std::vector<bool> cellMask(cellBits);
    std::size_t cells = 0;
    for (std::size_t i = 0; i < cellBits; ++i) cells += (cellMask[i] = r.Unsigned(1) != 0) ? 1 : 0;
    const std::size_t n = prns.size();
    const std::size_t satBits = msm7 ? 36 : 18;
    const std::size_t signalBits = msm7 ? 80 : 48;
    if ((169 + cellBits + n * satBits + cells * signalBits + 7) / 8 != payloadBytes)
        return Fail(error, "MSM: length does not match the masks");

    std::vector<double> rough(n), roughRate(n);
    std::vector<bool> roughValid(n), rateValid(n);
    for (std::size_t i = 0; i < n; ++i) {
        const uint64_t ms = r.Unsigned(8);
        roughValid[i] = ms != 255;
        rough[i] = static_cast<double>(ms);
    }
    if (msm7) {
        for (std::size_t i = 0; i < n; ++i) {
            if (r.Unsigned(4) != 0) return Fail(error, "MSM7: extended satellite information set for GPS");
        }
    }
    for (std::size_t i = 0; i < n; ++i) rough[i] += static_cast<double>(r.Unsigned(10)) / 1024.0;
    if (msm7) {
        for (std::size_t i = 0; i < n; ++i) {
            const int64_t rate = r.Signed(14);
            rateValid[i] = rate != Invalid(14);
            roughRate[i] = static_cast<double>(rate);
        }
    }
    const int rangeBits = msm7 ? 20 : 15, phaseBits = msm7 ? 24 : 22, lockBits = msm7 ? 10 : 4, cnrBits = msm7 ? 10 : 6;
    const double rangeUnit = msm7 ? 0x1p-29 : 0x1p-24, phaseUnit = msm7 ? 0x1p-31 : 0x1p-29, cnrUnit = msm7 ? 0.0625 : 1.0;
    std::vector<int64_t> range(cells), phase(cells), lock(cells), half(cells), cnr(cells), rate(cells);
    for (auto& v : range) v = r.Signed(rangeBits);
    for (auto& v : phase) v = r.Signed(phaseBits);
    for (auto& v : lock) v = static_cast<int64_t>(r.Unsigned(lockBits));
    for (auto& v : half) v = static_cast<int64_t>(r.Unsigned(1));
    for (auto& v : cnr) v = static_cast<int64_t>(r.Unsigned(cnrBits));
    if (msm7) {
        for (auto& v : rate) v = r.Signed(15);
    }
    std::size_t cell = 0;
    for (std::size_t s = 0; s < n; ++s) {
        RtcmSatellite sat;
        sat.prn = prns[s];
        for (std::size_t g = 0; g < signals.size(); ++g) {
            if (!cellMask[s * signals.size() + g]) continue;
            const std::size_t c = cell++;
            if (half[c] != 0) return Fail(error, "MSM: half-cycle ambiguity set");
            if (msm7 && lock[c] > 704) return Fail(error, "MSM7: lock time indicator beyond 704");
            RtcmSignal sig;
            sig.id = signals[g];
            const double lambda = LambdaOf(sig.id);
            sig.hasRange = roughValid[s] && range[c] != Invalid(rangeBits);
            sig.rangeM = (rough[s] + static_cast<double>(range[c]) * rangeUnit) * kLightMsM;
            sig.hasPhase = roughValid[s] && phase[c] != Invalid(phaseBits);
            sig.phaseCycles = (rough[s] + static_cast<double>(phase[c]) * phaseUnit) * kLightMsM / lambda;
            sig.lock = static_cast<int>(lock[c]);
            sig.cnrDbHz = static_cast<double>(cnr[c]) * cnrUnit;
            sig.hasRate = msm7 && rateValid[s] && rate[c] != Invalid(15);
            sig.dopplerHz = -(roughRate[s] + static_cast<double>(rate[c]) * 0.0001) / lambda;
            sat.signals.push_back(sig);
        }
        out.satellites.push_back(sat);
    }
    return true;
}

}  // namespace

bool SplitRtcmFrames(const std::vector<uint8_t>& bytes, std::vector<std::vector<uint8_t>>& frames, std::string& error) {
    std::size_t at = 0;
    while (at < bytes.size()) {
        const std::size_t n = rtcm::CompleteFrameBytes(bytes.data() + at, bytes.size() - at);
        if (n == 0) {
            error = "no whole frame at byte " + std::to_string(at);
            return false;
        }
        frames.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(at), bytes.begin() + static_cast<std::ptrdiff_t>(at + n));
        at += n;
    }
    return true;
}

int RtcmMessageNumber(const std::vector<uint8_t>& frame) {
    if (frame.size() < rtcm::kFrameOverheadBytes + 2) return 0;
    return (frame[3] << 4) | (frame[4] >> 4);
}

bool ReadRtcmObservations(const std::vector<uint8_t>& frame, RtcmObservations& out, std::string& error) {
    out = RtcmObservations{};
    if (rtcm::CompleteFrameBytes(frame.data(), frame.size()) != frame.size()) return Fail(error, "not one whole frame");
    const std::size_t payloadBytes = frame.size() - rtcm::kFrameOverheadBytes;
    rtcm::BitReader r(frame.data() + rtcm::kHeaderBytes, payloadBytes);
    out.number = static_cast<int>(r.Unsigned(12));
    bool ok = false;
    if (out.number == 1004) {
        ok = Read1004(r, payloadBytes, out, error);
    } else if (out.number == 1074 || out.number == 1077) {
        ok = ReadMsm(r, payloadBytes, out.number == 1077, out, error);
    } else {
        return Fail(error, "message " + std::to_string(out.number) + " is not an observation message");
    }
    if (ok && r.overrun()) return Fail(error, "fields run past the payload");
    return ok;
}

}  // namespace kestrel::test
