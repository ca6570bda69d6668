// SPDX-License-Identifier: BSD-2-Clause
#include "rtcm/station_messages.h"

#include <cmath>

#include "navcom/record_layout.h"
#include "rtcm/bits.h"
#include "rtcm/scaling.h"

namespace kestrel::rtcm {
namespace {

constexpr int kStationPosition = 1005;
constexpr int kStationPositionWithHeight = 1006;
constexpr int kDescriptors = 1033;
constexpr int kGpsEphemeris = 1019;

constexpr double kCoordinateUnitM = 0.0001;
constexpr int kCoordinateBits = 38;
constexpr int kAntennaHeightBits = 16;
constexpr int kItrfYear = 0;          // realization not given
constexpr int kQuarterCycleUnknown = 0;

constexpr std::size_t kFieldBits = 8;  // a text's length and each of its characters

// 1019 carries the navigation message's fields at their broadcast widths.
static_assert(layout::sf3::kIdot.bits == 14 && layout::sf1::kToc.bits == 16 && layout::sf1::kAf2.bits == 8 &&
              layout::sf1::kAf1.bits == 16 && layout::sf1::kAf0.bits == 22 && layout::sf2::kCrs.bits == 16 &&
              layout::sf2::kDeltaN.bits == 16 && layout::sf2::kM0.bits == 32 && layout::sf2::kCuc.bits == 16 &&
              layout::sf2::kEcc.bits == 32 && layout::sf2::kCus.bits == 16 && layout::sf2::kSqrtA.bits == 32 &&
              layout::sf2::kToe.bits == 16 && layout::sf3::kCic.bits == 16 && layout::sf3::kOmega0.bits == 32 &&
              layout::sf3::kCis.bits == 16 && layout::sf3::kI0.bits == 32 && layout::sf3::kCrc.bits == 16 &&
              layout::sf3::kOmega.bits == 32 && layout::sf3::kOmegaDot.bits == 24 && layout::sf1::kTgd.bits == 8);

bool Printable(const std::string& text) {
    for (const char c : text) {
        if (c < 0x20 || c > 0x7E) return false;
    }
    return true;
}

void PutText(BitWriter& w, const std::string& text) {
    const std::size_t n = std::min(text.size(), kMaxDescriptorChars);
    w.Unsigned(n, kFieldBits);
    for (std::size_t i = 0; i < n; ++i) w.Unsigned(static_cast<uint8_t>(text[i]), kFieldBits);
}

// One field of the navigation message, back in the count the satellite sent: the decoder
// multiplied the count by the layout's scale (and by pi for angles).
void PutBroadcast(BitWriter& w, double value, const layout::Field& f) {
    const double unit = f.semicircles ? f.scale * layout::kPi : f.scale;
    if (f.isSigned) {
        w.Signed(SaturatedSigned(value / unit, f.bits), f.bits);
    } else {
        w.Unsigned(SaturatedUnsigned(value / unit, f.bits), f.bits);
    }
}

void Finish(std::vector<uint8_t>& out, std::vector<uint8_t>& payload) {
    AppendFrame(out, payload.data(), payload.size());
}

}  // namespace

std::string CheckStation(const StationDescription& s) {
    if (s.stationId < 0 || s.stationId > kMaxStationId) return "the station id must be 0 to 4095";
    if (s.positionM) {
        for (const double v : *s.positionM) {
            if (!(std::fabs(v) <= kMaxCoordinateM)) return "a position coordinate lies beyond 13743895 m";
        }
    }
    if (!(s.antennaHeightM >= 0.0 && s.antennaHeightM <= kMaxAntennaHeightM))
        return "the antenna height must be 0 to 6.5535 m";
    if (s.antennaSetupId < 0 || s.antennaSetupId > 255) return "the antenna setup id must be 0 to 255";
    const std::pair<const char*, const std::string*> texts[] = {
        {"antenna type", &s.antennaType},          {"antenna serial number", &s.antennaSerial},
        {"receiver type", &s.receiverType},        {"receiver firmware version", &s.receiverFirmware},
        {"receiver serial number", &s.receiverSerial},
    };
    for (const auto& [name, text] : texts) {
        if (text->size() > kMaxDescriptorChars) return std::string("the ") + name + " is longer than 31 characters";
        if (!Printable(*text)) return std::string("the ") + name + " holds characters other than printable ASCII";
    }
    return {};
}

bool AppendStationPosition(std::vector<uint8_t>& out, int messageNumber, const StationDescription& s) {
    if (!s.positionM || (messageNumber != kStationPosition && messageNumber != kStationPositionWithHeight)) return false;
    for (const double v : *s.positionM) {
        if (!(std::fabs(v) <= kMaxCoordinateM)) return false;
    }
    std::vector<uint8_t> payload;
    {
        BitWriter w(payload);
        w.Unsigned(static_cast<uint64_t>(messageNumber), 12);
        w.Unsigned(static_cast<uint64_t>(s.stationId) & 0xFFF, 12);
        w.Unsigned(kItrfYear, 6);
        w.Unsigned(1, 1);  // GPS observations
        w.Unsigned(0, 1);  // no GLONASS
        w.Unsigned(0, 1);  // no Galileo
        w.Unsigned(0, 1);  // a physical station, not a computed one
        w.Signed(SaturatedSigned((*s.positionM)[0] / kCoordinateUnitM, kCoordinateBits), kCoordinateBits);
        w.Unsigned(1, 1);  // every observation from one receiver and its oscillator
        w.Unsigned(0, 1);  // reserved
        w.Signed(SaturatedSigned((*s.positionM)[1] / kCoordinateUnitM, kCoordinateBits), kCoordinateBits);
        w.Unsigned(kQuarterCycleUnknown, 2);
        w.Signed(SaturatedSigned((*s.positionM)[2] / kCoordinateUnitM, kCoordinateBits), kCoordinateBits);
        if (messageNumber == kStationPositionWithHeight)
            w.Unsigned(SaturatedUnsigned(s.antennaHeightM / kCoordinateUnitM, kAntennaHeightBits), kAntennaHeightBits);
    }
    Finish(out, payload);
    return true;
}

void AppendDescriptors(std::vector<uint8_t>& out, const StationDescription& s) {
    std::vector<uint8_t> payload;
    {
        BitWriter w(payload);
        w.Unsigned(kDescriptors, 12);
        w.Unsigned(static_cast<uint64_t>(s.stationId) & 0xFFF, 12);
        PutText(w, s.antennaType);
        w.Unsigned(static_cast<uint64_t>(s.antennaSetupId) & 0xFF, 8);
        PutText(w, s.antennaSerial);
        PutText(w, s.receiverType);
        PutText(w, s.receiverFirmware);
        PutText(w, s.receiverSerial);
    }
    Finish(out, payload);
}

void AppendEphemeris(std::vector<uint8_t>& out, const DecodedEphemeris& e) {
    namespace sf1 = layout::sf1;
    namespace sf2 = layout::sf2;
    namespace sf3 = layout::sf3;
    const GpsEphRecord& r = e.record;
    std::vector<uint8_t> payload;
    {
        BitWriter w(payload);
        w.Unsigned(kGpsEphemeris, 12);
        w.Unsigned(static_cast<uint64_t>(r.Prn) & 0x3F, 6);
        w.Unsigned(static_cast<uint64_t>(r.Week) & 0x3FF, 10);
        w.Unsigned(static_cast<uint64_t>(e.uraIndex) & 0xF, 4);
        w.Unsigned(static_cast<uint64_t>(e.l2Codes) & 0x3, 2);
        PutBroadcast(w, r.Idot, sf3::kIdot);
        w.Unsigned(static_cast<uint64_t>(r.Iode) & 0xFF, 8);
        PutBroadcast(w, r.Toc, sf1::kToc);
        PutBroadcast(w, r.Af2, sf1::kAf2);
        PutBroadcast(w, r.Af1, sf1::kAf1);
        PutBroadcast(w, r.Af0, sf1::kAf0);
        w.Unsigned(static_cast<uint64_t>(r.Iodc) & 0x3FF, 10);
        PutBroadcast(w, r.Crs, sf2::kCrs);
        PutBroadcast(w, r.DeltaN, sf2::kDeltaN);
        PutBroadcast(w, r.M0, sf2::kM0);
        PutBroadcast(w, r.Cuc, sf2::kCuc);
        PutBroadcast(w, r.Ecc, sf2::kEcc);
        PutBroadcast(w, r.Cus, sf2::kCus);
        PutBroadcast(w, r.SqrtA, sf2::kSqrtA);
        PutBroadcast(w, r.Toe, sf2::kToe);
        PutBroadcast(w, r.Cic, sf3::kCic);
        PutBroadcast(w, r.Omega0, sf3::kOmega0);
        PutBroadcast(w, r.Cis, sf3::kCis);
        PutBroadcast(w, r.I0, sf3::kI0);
        PutBroadcast(w, r.Crc, sf3::kCrc);
        PutBroadcast(w, r.Omega, sf3::kOmega);
        PutBroadcast(w, r.OmegaDot, sf3::kOmegaDot);
        PutBroadcast(w, r.Tgd, sf1::kTgd);
        w.Unsigned(static_cast<uint64_t>(e.health) & 0x3F, 6);
        w.Unsigned(static_cast<uint64_t>(e.l2PDataFlag) & 1, 1);
        w.Unsigned(static_cast<uint64_t>(e.fitIntervalFlag) & 1, 1);
    }
    Finish(out, payload);
}

}  // namespace kestrel::rtcm
