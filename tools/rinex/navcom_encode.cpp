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

// ---------------------------------------------------------------------------------------
// MEASUREMENT record

namespace kestrel::rinex {

namespace {

constexpr double kSixteenthsPerCycle = 16.0;    // code ranges: 1/16 L1 cycle
constexpr double kSixteenth = 0.0625;
constexpr double kOffsetUnitsPerCycle = 256.0;  // phase offsets: 1/256 cycle
constexpr int64_t kOffsetMin = -(int64_t{1} << 19);
constexpr int64_t kOffsetMax = (int64_t{1} << 19) - 1;
constexpr uint32_t kOffsetMask = 0xFFFFF;
constexpr uint8_t kCounterMask = 0x0F;
constexpr std::size_t kBlockBytes = 16;
constexpr int kStrongestCode = 15;
constexpr double kStrengthFloorDbHz = 35.0;     // strength figure 35 + code
constexpr int kSsiMax = 9;                      // RINEX signal strength digits 1..9

constexpr uint8_t kBlockValid = 0x80;
constexpr uint8_t kBlockP1 = 0x40;
constexpr uint8_t kBlockL2 = 0x20;

bool FitsInt16(int64_t v) { return v >= -32768 && v <= 32767; }

// Range in metres to 1/16 L1 cycle, rounded to the nearest unit.
int64_t RangeUnits(double metres) {
    return static_cast<int64_t>(std::llround(metres / kL1WavelengthM * kSixteenthsPerCycle));
}

std::optional<double> Value(const ObsSatellite& sat, int index) {
    if (index < 0 || static_cast<std::size_t>(index) >= sat.values.size()) return std::nullopt;
    const ObsValue& v = sat.values[static_cast<std::size_t>(index)];
    if (!v.present) return std::nullopt;
    return v.value;
}

int IndexOf(const std::vector<std::string>& types, const char* type) {
    for (std::size_t i = 0; i < types.size(); ++i) {
        if (types[i] == type) return static_cast<int>(i);
    }
    return -1;
}

int StrengthCode(const ObsSatellite& sat, int s1, int l1, int c1) {
    if (const auto dbHz = Value(sat, s1)) {
        const long code = std::lround(*dbHz - kStrengthFloorDbHz);
        return static_cast<int>(code < 0 ? 0 : (code > kStrongestCode ? kStrongestCode : code));
    }
    for (int index : {l1, c1}) {
        if (index < 0) continue;
        const int ssi = sat.values[static_cast<std::size_t>(index)].strength;
        if (ssi >= 1 && ssi <= kSsiMax) {
            return static_cast<int>(std::lround((ssi - 1) * static_cast<double>(kStrongestCode) / (kSsiMax - 1)));
        }
    }
    return kDefaultStrengthCode;
}

}  // namespace

std::vector<SatMeasurement> GpsMeasurements(const std::vector<std::string>& types, const ObsEpoch& epoch,
                                            std::size_t* otherSystems) {
    const int c1 = IndexOf(types, "C1"), p1 = IndexOf(types, "P1"), l1 = IndexOf(types, "L1");
    const int p2 = IndexOf(types, "P2"), l2 = IndexOf(types, "L2"), s1 = IndexOf(types, "S1");
    std::vector<SatMeasurement> out;
    for (const ObsSatellite& sat : epoch.satellites) {
        if (sat.system != 'G') {
            if (otherSystems) ++*otherSystems;
            continue;
        }
        SatMeasurement m;
        m.prn = sat.prn;
        m.c1 = Value(sat, c1);
        m.p1 = Value(sat, p1);
        m.l1 = Value(sat, l1);
        m.p2 = Value(sat, p2);
        m.l2 = Value(sat, l2);
        m.l1LockLost = m.l1 && (sat.values[static_cast<std::size_t>(l1)].lli & 1) != 0;
        m.l2LockLost = m.l2 && (sat.values[static_cast<std::size_t>(l2)].lli & 1) != 0;
        m.strengthCode = StrengthCode(sat, s1, l1, c1);
        out.push_back(m);
    }
    return out;
}

const char* NoteText(NoteKind kind) {
    switch (kind) {
    case NoteKind::kPrnOutOfRange: return "left out: a satellite block carries PRN 1 to 31 only";
    case NoteKind::kOverFifteen: return "left out: a frame carries at most 15 satellites";
    case NoteKind::kNoCaRange: return "left out: no C1 range";
    case NoteKind::kCaRangeOutOfRange: return "left out: C1 range outside the 32-bit field";
    case NoteKind::kL2DeltaTooLarge: return "sent without L2: P2 - C1 exceeds the 16-bit delta (+-389 m)";
    case NoteKind::kL2Incomplete: return "sent without L2: only one of P2 and L2 phase present";
    case NoteKind::kP1DeltaTooLarge: return "sent without P1: P1 - C1 exceeds the 16-bit delta";
    case NoteKind::kL1PhaseMissing: return "no L1 phase: sent with offset 0 and a new lock count";
    case NoteKind::kTimeNotWholeMs: return "epoch time rounded to the millisecond";
    }
    return "";
}

uint32_t MeasurementEncoder::PhaseWord(Arc& arc, const std::optional<double>& phase, double reference,
                                       bool lockLost, bool powerFailure, CarrierReport& out) {
    out.sent = true;
    if (!phase) {
        // Nothing to send: the offset 0 gives a phase equal to minus the code range, and a new
        // lock count tells the decoder not to join it to the phases around it.
        if (arc.seen) ++arc.counter;
        arc.seen = true;
        arc.active = false;
        out.hasPhase = false;
        out.counter = arc.counter & kCounterMask;
        out.start = ArcStart::kPhaseMissing;
        return out.counter;
    }
    out.hasPhase = true;
    ArcStart start = ArcStart::kContinued;
    int64_t offset = 0;
    if (!arc.seen) {
        start = ArcStart::kFirst;
    } else if (!arc.active) {
        start = ArcStart::kPhaseBack;
    } else if (powerFailure) {
        start = ArcStart::kPowerFailure;
    } else if (lockLost) {
        start = ArcStart::kLockLost;
    } else {
        offset = std::llround((*phase - arc.k - reference) * kOffsetUnitsPerCycle);
        if (offset < kOffsetMin || offset > kOffsetMax) start = ArcStart::kOffsetRange;
    }
    if (start != ArcStart::kContinued) {
        if (start != ArcStart::kFirst) ++arc.counter;
        arc.k = std::round(*phase - reference);
        arc.active = true;
        arc.seen = true;
        offset = std::llround((*phase - arc.k - reference) * kOffsetUnitsPerCycle);
    }
    out.k = arc.k;
    out.counter = arc.counter & kCounterMask;
    out.start = start;
    return ((static_cast<uint32_t>(offset) & kOffsetMask) << 4) | out.counter;
}

std::vector<uint8_t> MeasurementEncoder::Encode(const GpsTime& time, const std::vector<SatMeasurement>& sats,
                                                bool powerFailure, EpochReport& report) {
    report = EpochReport{};
    report.time = time;
    const double ms = time.sow * 1000.0;
    report.timeMs = static_cast<uint32_t>(std::llround(ms));
    if (std::fabs(ms - std::round(ms)) > 1e-3) report.notes.push_back({NoteKind::kTimeNotWholeMs, 0});

    std::vector<uint8_t> blocks;
    for (const SatMeasurement& m : sats) {
        if (m.prn < 1 || m.prn > kMaxBlockPrn) {
            report.notes.push_back({NoteKind::kPrnOutOfRange, m.prn});
            continue;
        }
        if (!m.c1) {
            report.notes.push_back({NoteKind::kNoCaRange, m.prn});
            continue;
        }
        const int64_t ca = RangeUnits(*m.c1);
        if (ca <= 0 || ca > int64_t{0xFFFFFFFF}) {
            report.notes.push_back({NoteKind::kCaRangeOutOfRange, m.prn});
            continue;
        }
        if (report.sats.size() == kMaxSatelliteBlocks) {
            report.notes.push_back({NoteKind::kOverFifteen, m.prn});
            continue;
        }
        SatReport sat;
        sat.prn = m.prn;
        sat.caUnits = static_cast<uint32_t>(ca);
        sat.strengthCode = m.strengthCode;
        uint8_t b[kBlockBytes] = {};
        b[0] = static_cast<uint8_t>(kBlockValid | m.prn);
        b[1] = static_cast<uint8_t>((m.strengthCode & kCounterMask) << 4);
        put_le32(&b[2], sat.caUnits);
        const double caCycles = sat.caUnits * kSixteenth;
        if (!m.l1) report.notes.push_back({NoteKind::kL1PhaseMissing, m.prn});
        put_le24(&b[6], PhaseWord(l1_[m.prn], m.l1, caCycles, m.l1LockLost, powerFailure, sat.l1));
        if (m.p1) {
            const int64_t delta = RangeUnits(*m.p1) - ca;
            if (FitsInt16(delta)) {
                b[0] |= kBlockP1;
                put_le16(&b[9], static_cast<uint16_t>(static_cast<int16_t>(delta)));
            } else {
                report.notes.push_back({NoteKind::kP1DeltaTooLarge, m.prn});
            }
        }
        if (m.p2 && m.l2) {
            const int64_t delta = RangeUnits(*m.p2) - ca;
            if (FitsInt16(delta)) {
                b[0] |= kBlockL2;
                sat.p2Delta = static_cast<int16_t>(delta);
                put_le16(&b[11], static_cast<uint16_t>(sat.p2Delta));
                const double p2L2Cycles = (sat.p2Delta * kSixteenth + caCycles) * kL2PerL1Cycle;
                put_le24(&b[13], PhaseWord(l2_[m.prn], m.l2, p2L2Cycles, m.l2LockLost, powerFailure, sat.l2));
            } else {
                report.notes.push_back({NoteKind::kL2DeltaTooLarge, m.prn});
            }
        } else if (m.p2 || m.l2) {
            report.notes.push_back({NoteKind::kL2Incomplete, m.prn});
        }
        blocks.insert(blocks.end(), b, b + kBlockBytes);
        report.sats.push_back(sat);
    }
    // Body from frame offset 6: the GPS week (unread by the decoder), the time of week in ms,
    // one spare byte, the block count, the blocks.
    std::vector<uint8_t> body(8, 0);
    put_le16(&body[0], static_cast<uint16_t>(time.week));
    put_le32(&body[2], report.timeMs);
    body[7] = static_cast<uint8_t>(report.sats.size());
    body.insert(body.end(), blocks.begin(), blocks.end());
    return WrapFrame(kMeasurementRecordId, body);
}

}  // namespace kestrel::rinex
