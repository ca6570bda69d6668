#include "rinex/navcom_encode.h"

#include <cmath>
#include <cstdio>

#include "common/bytes.h"
#include "rinex/gps_time.h"

namespace kestrel::rinex {

namespace {

constexpr uint8_t kSync[3] = {0x02, 0x99, 0x66};
constexpr double kPi = 3.141592653589793;
constexpr int kBroadcastWeekModulus = 1024;
constexpr double kReferenceTimeUnitS = 16.0;  // Toc and Toe are broadcast in units of 16 s
constexpr double kFourHourFit = 4.0;          // fit interval flag 0 means four hours

// Broadcast scale factors, as the decoder multiplies by them.
constexpr double kScaleTgd = 4.6566128730773895e-10;   // 2^-31 s
constexpr double kScaleAf2 = 2.77555756156289e-17;     // 2^-55 s/s^2
constexpr double kScaleAf1 = 1.13686837721616e-13;     // 2^-43 s/s
constexpr double kScaleAf0 = 4.65661287308e-10;        // 2^-31 s
constexpr double kScaleRadius = 0.03125;               // 2^-5 m
constexpr double kScaleRate = 1.13686837721616e-13;    // 2^-43 semicircles/s
constexpr double kScaleAngle = 4.65661287308e-10;      // 2^-31 semicircles
constexpr double kScaleM0 = 4.6566128730773895e-10;    // 2^-31 semicircles
constexpr double kScaleEcc = 1.16415321826935e-10;     // 2^-33
constexpr double kScaleSqrtA = 1.9073486328125e-06;    // 2^-19 m^1/2
constexpr double kScaleCuc = 1.8626451492309603e-09;   // 2^-29 rad
constexpr double kScaleCic = 1.86264514923e-09;        // 2^-29 rad

// User range accuracy index N: the smallest N whose bound (metres) covers the accuracy.
constexpr double kUraBoundsM[15] = {2.4,   3.4,   4.85,  6.85,   9.65,   13.65,  24.0,  48.0,
                                    96.0,  192.0, 384.0, 768.0, 1536.0, 3072.0, 6144.0};

// One scaled field of the payload: `bits` wide, placed `shift` bits up from the low end of
// `bytes` big-endian bytes starting at payload byte `offset`.
struct ScaledField {
    const char* name;
    double NavRecord::*value;
    int offset;
    int bytes;
    int shift;
    int bits;
    bool isSigned;
    double scale;
    bool isAngle;  // scale is in semicircles: divide by pi as well
};

constexpr ScaledField kScaledFields[] = {
    {"TGD", &NavRecord::tgd, 14, 1, 0, 8, true, kScaleTgd, false},
    {"Toc", &NavRecord::toc, 16, 2, 0, 16, false, kReferenceTimeUnitS, false},
    {"af2", &NavRecord::af2, 18, 1, 0, 8, true, kScaleAf2, false},
    {"af1", &NavRecord::af1, 19, 2, 0, 16, true, kScaleAf1, false},
    {"af0", &NavRecord::af0, 21, 3, 2, 22, true, kScaleAf0, false},
    {"Crs", &NavRecord::crs, 25, 2, 0, 16, true, kScaleRadius, false},
    {"DeltaN", &NavRecord::deltaN, 27, 2, 0, 16, true, kScaleRate, true},
    {"M0", &NavRecord::m0, 29, 4, 0, 32, true, kScaleM0, true},
    {"Cuc", &NavRecord::cuc, 33, 2, 0, 16, true, kScaleCuc, false},
    {"e", &NavRecord::ecc, 35, 4, 0, 32, false, kScaleEcc, false},
    {"Cus", &NavRecord::cus, 39, 2, 0, 16, true, kScaleCuc, false},
    {"sqrtA", &NavRecord::sqrtA, 41, 4, 0, 32, false, kScaleSqrtA, false},
    {"Toe", &NavRecord::toe, 45, 2, 0, 16, false, kReferenceTimeUnitS, false},
    {"Cic", &NavRecord::cic, 48, 2, 0, 16, true, kScaleCic, false},
    {"OMEGA0", &NavRecord::omega0, 50, 4, 0, 32, true, kScaleAngle, true},
    {"Cis", &NavRecord::cis, 54, 2, 0, 16, true, kScaleCic, false},
    {"i0", &NavRecord::i0, 56, 4, 0, 32, true, kScaleAngle, true},
    {"Crc", &NavRecord::crc, 60, 2, 0, 16, true, kScaleRadius, false},
    {"omega", &NavRecord::omega, 62, 4, 0, 32, true, kScaleAngle, true},
    {"OMEGADOT", &NavRecord::omegaDot, 66, 3, 0, 24, true, kScaleRate, true},
    {"IDOT", &NavRecord::idot, 70, 2, 2, 14, true, kScaleRate, true},
};

int64_t FieldMin(const ScaledField& f) { return f.isSigned ? -(int64_t{1} << (f.bits - 1)) : 0; }
int64_t FieldMax(const ScaledField& f) {
    return f.isSigned ? (int64_t{1} << (f.bits - 1)) - 1 : (int64_t{1} << f.bits) - 1;
}

// The field's integer before any limit: the value over the scale, rounded to nearest.
double Scaled(const ScaledField& f, const NavRecord& nav) {
    const double divisor = f.isAngle ? f.scale * kPi : f.scale;
    return std::round(nav.*(f.value) / divisor);
}

void PutBigEndian(uint8_t* p, int bytes, uint64_t value) {
    for (int i = bytes - 1; i >= 0; --i) {
        p[i] = static_cast<uint8_t>(value);
        value >>= 8;
    }
}

// ORs `value` (already limited to `bits`) into the payload at the field's place.
void PutField(uint8_t* payload, const ScaledField& f, int64_t value) {
    const uint64_t mask = (uint64_t{1} << f.bits) - 1;
    const uint64_t placed = (static_cast<uint64_t>(value) & mask) << f.shift;
    uint64_t current = 0;
    for (int i = 0; i < f.bytes; ++i) current = (current << 8) | payload[f.offset + i];
    PutBigEndian(payload + f.offset, f.bytes, current | placed);
}

int UraIndex(double accuracyM) {
    for (int n = 0; n < 15; ++n) {
        if (accuracyM <= kUraBoundsM[n]) return n;
    }
    return 15;
}

int Clamp(int value, int low, int high) { return value < low ? low : (value > high ? high : value); }

}  // namespace

std::array<uint8_t, kEphemerisPayloadBytes> EncodeEphemerisPayload(const NavRecord& nav) {
    std::array<uint8_t, kEphemerisPayloadBytes> p{};
    // Subframe 1 word 3: week (10 bits), L2 codes (2), URA index (4), health (6), IODC MSBs (2).
    const int week = ((nav.week % kBroadcastWeekModulus) + kBroadcastWeekModulus) % kBroadcastWeekModulus;
    const int health = Clamp(nav.health, 0, 0x3F);
    const int iodc = Clamp(nav.iodc, 0, 0x3FF);
    const int iode = Clamp(nav.iode, 0, 0xFF);
    p[0] = static_cast<uint8_t>(week >> 2);
    p[1] = static_cast<uint8_t>(((week & 3) << 6) | ((nav.l2Codes & 3) << 4) | UraIndex(nav.accuracy));
    p[2] = static_cast<uint8_t>((health << 2) | (iodc >> 8));
    // Subframe 1 word 4 starts with the L2 P data flag.
    p[3] = static_cast<uint8_t>(nav.l2PFlag != 0 ? 0x80 : 0);
    // Subframe 1 word 8 starts with the IODC's eight low bits; subframes 2 and 3 both carry IODE.
    p[15] = static_cast<uint8_t>(iodc & 0xFF);
    p[24] = static_cast<uint8_t>(iode);
    p[69] = static_cast<uint8_t>(iode);
    // Subframe 2 word 10: the fit interval flag follows Toe.
    p[47] = static_cast<uint8_t>(nav.fitInterval > kFourHourFit ? 0x80 : 0);
    for (const ScaledField& f : kScaledFields) {
        const double q = Scaled(f, nav);
        const double limited = q < FieldMin(f) ? FieldMin(f) : (q > FieldMax(f) ? FieldMax(f) : q);
        PutField(p.data(), f, static_cast<int64_t>(limited));
    }
    return p;
}

std::vector<std::string> EphemerisFieldProblems(const NavRecord& nav) {
    std::vector<std::string> problems;
    char text[160];
    for (const ScaledField& f : kScaledFields) {
        const double q = Scaled(f, nav);
        if (q < FieldMin(f) || q > FieldMax(f)) {
            std::snprintf(text, sizeof text, "%s = %.12g does not fit its %d-bit field", f.name,
                          nav.*(f.value), f.bits);
            problems.emplace_back(text);
        } else if (f.scale == kReferenceTimeUnitS && std::fabs(q * f.scale - nav.*(f.value)) > 1e-6) {
            std::snprintf(text, sizeof text, "%s = %.3f s is not a multiple of 16 s", f.name, nav.*(f.value));
            problems.emplace_back(text);
        }
    }
    if (nav.iode < 0 || nav.iode > 0xFF) problems.push_back("IODE " + std::to_string(nav.iode) + " does not fit 8 bits");
    if (nav.iodc < 0 || nav.iodc > 0x3FF)
        problems.push_back("IODC " + std::to_string(nav.iodc) + " does not fit 10 bits");
    if (nav.health < 0 || nav.health > 0x3F)
        problems.push_back("health " + std::to_string(nav.health) + " does not fit 6 bits");
    if (nav.prn < 1 || nav.prn > 32) problems.push_back("PRN " + std::to_string(nav.prn) + " is not a GPS PRN");
    return problems;
}

std::vector<uint8_t> WrapFrame(uint8_t recordId, const std::vector<uint8_t>& body) {
    std::vector<uint8_t> frame(kSync, kSync + 3);
    frame.push_back(recordId);
    frame.push_back(0);
    frame.push_back(0);
    // The length counts the id, the two length bytes, the body and the checksum.
    put_le16(&frame[4], static_cast<uint16_t>(body.size() + 4));
    frame.insert(frame.end(), body.begin(), body.end());
    uint8_t checksum = 0;
    for (std::size_t i = 3; i < frame.size(); ++i) checksum ^= frame[i];
    frame.push_back(checksum);
    return frame;
}

std::vector<uint8_t> EncodeEphemerisFrame(const NavRecord& nav) {
    const GpsTime sent = GpsTimeFromTotal(std::round(nav.TransmissionTotal()));
    // Body from frame offset 6: PRN, week (2), time (4), two spare bytes, payload, one spare byte.
    std::vector<uint8_t> body(9, 0);
    body[0] = static_cast<uint8_t>(nav.prn);
    put_le16(&body[1], static_cast<uint16_t>(sent.week));
    put_le32(&body[3], static_cast<uint32_t>(sent.sow));
    const auto payload = EncodeEphemerisPayload(nav);
    body.insert(body.end(), payload.begin(), payload.end());
    body.push_back(0);
    return WrapFrame(kEphemerisRecordId, body);
}

NavRecord ShiftNavRecord(const NavRecord& nav, double seconds) {
    NavRecord out = nav;
    const GpsTime toc = GpsTimeFromTotal(nav.tocWeek * kSecondsPerWeek + nav.toc + seconds);
    out.tocWeek = toc.week;
    out.toc = toc.sow;
    const GpsTime toe = GpsTimeFromTotal(nav.week * kSecondsPerWeek + nav.toe + seconds);
    out.week = toe.week;
    out.toe = toe.sow;
    // The transmission time stays counted from the start of Toe's week.
    out.transmissionTime = nav.TransmissionTotal() + seconds - toe.week * kSecondsPerWeek;
    return out;
}

}  // namespace kestrel::rinex
