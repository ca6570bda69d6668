// SPDX-License-Identifier: BSD-2-Clause
#include "rinex/navcom_encode.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "common/bytes.h"
#include "common/gps_prn.h"
#include "rinex/gps_time.h"

namespace kestrel::rinex {

namespace {

// The record layouts this file writes; the MEASUREMENT part below uses them too.
namespace frame = layout::frame;
namespace eph = layout::ephemeris;
namespace sf1 = layout::sf1;
namespace sf2 = layout::sf2;
namespace sf3 = layout::sf3;
namespace measurement = layout::measurement;
namespace block = layout::block;
namespace phase_word = layout::phase_word;

constexpr int kBroadcastWeekModulus = 1 << sf1::kWeek.bits;
constexpr double kFourHourFit = 4.0;  // fit interval flag 0 means four hours

// One scaled field of the payload: the RINEX value it carries and where it goes.
struct ScaledField {
    const char* name;
    double NavRecord::*value;
    layout::Field field;
};

constexpr ScaledField kScaledFields[] = {
    {"TGD", &NavRecord::tgd, sf1::kTgd},
    {"Toc", &NavRecord::toc, sf1::kToc},
    {"af2", &NavRecord::af2, sf1::kAf2},
    {"af1", &NavRecord::af1, sf1::kAf1},
    {"af0", &NavRecord::af0, sf1::kAf0},
    {"Crs", &NavRecord::crs, sf2::kCrs},
    {"DeltaN", &NavRecord::deltaN, sf2::kDeltaN},
    {"M0", &NavRecord::m0, sf2::kM0},
    {"Cuc", &NavRecord::cuc, sf2::kCuc},
    {"e", &NavRecord::ecc, sf2::kEcc},
    {"Cus", &NavRecord::cus, sf2::kCus},
    {"sqrtA", &NavRecord::sqrtA, sf2::kSqrtA},
    {"Toe", &NavRecord::toe, sf2::kToe},
    {"Cic", &NavRecord::cic, sf3::kCic},
    {"OMEGA0", &NavRecord::omega0, sf3::kOmega0},
    {"Cis", &NavRecord::cis, sf3::kCis},
    {"i0", &NavRecord::i0, sf3::kI0},
    {"Crc", &NavRecord::crc, sf3::kCrc},
    {"omega", &NavRecord::omega, sf3::kOmega},
    {"OMEGADOT", &NavRecord::omegaDot, sf3::kOmegaDot},
    {"IDOT", &NavRecord::idot, sf3::kIdot},
};

int64_t FieldMin(const layout::Field& f) { return f.isSigned ? -(int64_t{1} << (f.bits - 1)) : 0; }
int64_t FieldMax(const layout::Field& f) {
    return f.isSigned ? (int64_t{1} << (f.bits - 1)) - 1 : (int64_t{1} << f.bits) - 1;
}

// The field's integer before any limit: the value over the scale, rounded to nearest.
double Scaled(const ScaledField& f, const NavRecord& nav) {
    const double divisor = f.field.semicircles ? f.field.scale * layout::kPi : f.field.scale;
    return std::round(nav.*(f.value) / divisor);
}

constexpr int kIodcBits = sf1::kIodcHigh.bits + sf1::kIodcLowBits;

// Whether a count fits an unsigned field of `bits` bits, and the count held within it.
bool Fits(int value, int bits) { return value >= 0 && value < (1 << bits); }
int Held(int value, int bits) { return value < 0 ? 0 : (Fits(value, bits) ? value : (1 << bits) - 1); }

// User range accuracy index N: the smallest N whose bound covers the accuracy.
int UraIndex(double accuracyM) {
    for (int n = 0; n < sf1::kUraNoPrediction; ++n) {
        if (accuracyM <= sf1::kUraBoundsM[n]) return n;
    }
    return sf1::kUraNoPrediction;
}

}  // namespace

std::array<uint8_t, kEphemerisPayloadBytes> EncodeEphemerisPayload(const NavRecord& nav) {
    std::array<uint8_t, kEphemerisPayloadBytes> a{};
    uint8_t* p = a.data();
    const int week = ((nav.week % kBroadcastWeekModulus) + kBroadcastWeekModulus) % kBroadcastWeekModulus;
    const int iodc = Held(nav.iodc, kIodcBits);
    layout::PutField(p, sf1::kWeek, week);
    layout::PutField(p, sf1::kL2Codes, nav.l2Codes);
    layout::PutField(p, sf1::kUraIndex, UraIndex(nav.accuracy));
    layout::PutField(p, sf1::kHealth, Held(nav.health, sf1::kHealth.bits));
    layout::PutField(p, sf1::kIodcHigh, iodc >> sf1::kIodcLowBits);
    layout::PutField(p, sf1::kL2PFlag, nav.l2PFlag != 0 ? 1 : 0);
    layout::PutField(p, sf1::kIodcLow, iodc);
    // Subframes 2 and 3 both carry the IODE.
    layout::PutField(p, sf2::kIode, Held(nav.iode, sf2::kIode.bits));
    layout::PutField(p, sf3::kIodeCopy, Held(nav.iode, sf3::kIodeCopy.bits));
    layout::PutField(p, sf2::kFitInterval, nav.fitInterval > kFourHourFit ? 1 : 0);
    for (const ScaledField& f : kScaledFields) {
        const double q = Scaled(f, nav);
        const double low = static_cast<double>(FieldMin(f.field)), high = static_cast<double>(FieldMax(f.field));
        const double limited = q < low ? low : (q > high ? high : q);
        layout::PutField(p, f.field, static_cast<int64_t>(limited));
    }
    return a;
}

std::vector<std::string> EphemerisFieldProblems(const NavRecord& nav) {
    std::vector<std::string> problems;
    char text[160];
    for (const ScaledField& f : kScaledFields) {
        const double q = Scaled(f, nav);
        if (q < FieldMin(f.field) || q > FieldMax(f.field)) {
            std::snprintf(text, sizeof text, "%s = %.12g does not fit its %d-bit field", f.name,
                          nav.*(f.value), f.field.bits);
            problems.emplace_back(text);
        } else if (f.field.scale == layout::kReferenceTimeUnitS &&
                   std::fabs(q * f.field.scale - nav.*(f.value)) > 1e-6) {
            std::snprintf(text, sizeof text, "%s = %.3f s is not a multiple of 16 s", f.name, nav.*(f.value));
            problems.emplace_back(text);
        }
    }
    auto count = [&problems](const char* name, int value, int bits) {
        if (Fits(value, bits)) return;
        problems.push_back(std::string(name) + " " + std::to_string(value) + " does not fit " +
                           std::to_string(bits) + " bits");
    };
    count("IODE", nav.iode, sf2::kIode.bits);
    count("IODC", nav.iodc, kIodcBits);
    count("health", nav.health, sf1::kHealth.bits);
    if (!IsGpsPrn(nav.prn)) problems.push_back("PRN " + std::to_string(nav.prn) + " is not a GPS PRN");
    return problems;
}

std::vector<uint8_t> WrapFrame(uint8_t recordId, const std::vector<uint8_t>& body) {
    std::vector<uint8_t> bytes(frame::kFrameOverhead + body.size());
    std::copy(frame::kSync, frame::kSync + frame::kSyncBytes, bytes.begin());
    bytes[frame::kIdOffset] = recordId;
    put_le16(&bytes[frame::kLengthOffset], static_cast<uint16_t>(frame::LengthOfBody(static_cast<int>(body.size()))));
    std::copy(body.begin(), body.end(), bytes.begin() + frame::kBodyOffset);
    uint8_t checksum = 0;
    for (std::size_t i = frame::kChecksumFrom; i + 1 < bytes.size(); ++i) checksum ^= bytes[i];
    bytes.back() = checksum;
    return bytes;
}

std::vector<uint8_t> EncodeEphemerisFrame(const NavRecord& nav) {
    const GpsTime sent = GpsTimeFromTotal(std::round(nav.TransmissionTotal()));
    // Body up to the payload: PRN, week, time, and the IODC copy left 0; then the payload
    // and one spare byte.
    std::vector<uint8_t> body(frame::BodyIndex(eph::kPayloadOffset), 0);
    body[frame::BodyIndex(eph::kPrnOffset)] = static_cast<uint8_t>(nav.prn);
    put_le16(&body[frame::BodyIndex(eph::kWeekOffset)], static_cast<uint16_t>(sent.week));
    put_le32(&body[frame::BodyIndex(eph::kTimeOffset)], static_cast<uint32_t>(sent.sow));
    const auto payload = EncodeEphemerisPayload(nav);
    body.insert(body.end(), payload.begin(), payload.end());
    body.resize(frame::BodyIndex(eph::kFrameBytes - 1), 0);
    return WrapFrame(eph::kId, body);
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

constexpr int kStrongestCode = block::kStrengthCodeMax;
constexpr double kMsPerSecond = 1.0 / layout::kTimeUnitS;
static_assert(kMsPerSecond == 1000.0);
constexpr int kSsiMax = 9;  // RINEX signal strength digits 1..9

bool FitsInt16(int64_t v) { return v >= INT16_MIN && v <= INT16_MAX; }

// Range in metres to code units (1/16 L1 cycle), rounded to the nearest unit.
int64_t RangeUnits(double metres) {
    return static_cast<int64_t>(std::llround(metres / layout::kL1WavelengthM / layout::kCodeUnitCycles));
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
        const long code = std::lround(*dbHz - block::kStrengthBase);
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
        out.counter = static_cast<uint8_t>(arc.counter & phase_word::kLockCounterMask);
        out.start = ArcStart::kPhaseMissing;
        return phase_word::Pack(0, out.counter);
    }
    out.hasPhase = true;
    // The decoder is to read the RINEX phase in the receiver's sign, plus the arc's constant.
    const double receiverPhase = layout::kPhaseSign * *phase;
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
        offset = std::llround(layout::PhaseOffsetUnits(receiverPhase + arc.k, reference));
        if (offset < phase_word::kOffsetMin || offset > phase_word::kOffsetMax) start = ArcStart::kOffsetRange;
    }
    if (start != ArcStart::kContinued) {
        if (start != ArcStart::kFirst) ++arc.counter;
        // The new constant brings the arc's first offset within half a cycle of zero.
        arc.k = std::round(layout::PhaseCycles(0, reference) - receiverPhase);
        arc.active = true;
        arc.seen = true;
        offset = std::llround(layout::PhaseOffsetUnits(receiverPhase + arc.k, reference));
    }
    out.k = arc.k;
    out.counter = static_cast<uint8_t>(arc.counter & phase_word::kLockCounterMask);
    out.start = start;
    return phase_word::Pack(static_cast<int32_t>(offset), out.counter);
}

std::vector<uint8_t> MeasurementEncoder::Encode(const GpsTime& time, const std::vector<SatMeasurement>& sats,
                                                bool powerFailure, EpochReport& report) {
    report = EpochReport{};
    report.time = time;
    const double ms = time.sow * kMsPerSecond;
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
        if (report.sats.size() == measurement::kMaxBlocks) {
            report.notes.push_back({NoteKind::kOverFifteen, m.prn});
            continue;
        }
        SatReport sat;
        sat.prn = m.prn;
        sat.caUnits = static_cast<uint32_t>(ca);
        sat.strengthCode = m.strengthCode;
        uint8_t b[measurement::kBlockBytes] = {};
        b[block::kStatusOffset] = static_cast<uint8_t>(block::kValid | m.prn);
        b[block::kStrengthOffset] = static_cast<uint8_t>(m.strengthCode << block::kStrengthShift);
        put_le32(&b[block::kCaRangeOffset], sat.caUnits);
        const double caCycles = sat.caUnits * layout::kCodeUnitCycles;
        if (!m.l1) report.notes.push_back({NoteKind::kL1PhaseMissing, m.prn});
        put_le24(&b[block::kL1PhaseOffset], PhaseWord(l1_[m.prn], m.l1, caCycles, m.l1LockLost, powerFailure, sat.l1));
        if (m.p1) {
            const int64_t delta = RangeUnits(*m.p1) - ca;
            if (FitsInt16(delta)) {
                b[block::kStatusOffset] |= block::kHasP1;
                put_le16(&b[block::kP1DeltaOffset], static_cast<uint16_t>(static_cast<int16_t>(delta)));
            } else {
                report.notes.push_back({NoteKind::kP1DeltaTooLarge, m.prn});
            }
        }
        if (m.p2 && m.l2) {
            const int64_t delta = RangeUnits(*m.p2) - ca;
            if (FitsInt16(delta)) {
                b[block::kStatusOffset] |= block::kHasL2;
                sat.p2Delta = static_cast<int16_t>(delta);
                put_le16(&b[block::kP2DeltaOffset], static_cast<uint16_t>(sat.p2Delta));
                const double p2L2Cycles = (sat.p2Delta * layout::kCodeUnitCycles + caCycles) * layout::kL2PerL1;
                put_le24(&b[block::kL2PhaseOffset],
                         PhaseWord(l2_[m.prn], m.l2, p2L2Cycles, m.l2LockLost, powerFailure, sat.l2));
            } else {
                report.notes.push_back({NoteKind::kL2DeltaTooLarge, m.prn});
            }
        } else if (m.p2 || m.l2) {
            report.notes.push_back({NoteKind::kL2Incomplete, m.prn});
        }
        blocks.insert(blocks.end(), b, b + measurement::kBlockBytes);
        report.sats.push_back(sat);
    }
    // Body up to the blocks: the GPS week (unread by the decoder), the time of week in ms, one
    // spare byte, the block count; then the blocks.
    std::vector<uint8_t> body(frame::BodyIndex(measurement::kFirstBlockOffset), 0);
    put_le16(&body[frame::BodyIndex(measurement::kWeekOffset)], static_cast<uint16_t>(time.week));
    put_le32(&body[frame::BodyIndex(measurement::kTimeOffset)], report.timeMs);
    body[frame::BodyIndex(measurement::kCountOffset)] = static_cast<uint8_t>(report.sats.size());
    body.insert(body.end(), blocks.begin(), blocks.end());
    return WrapFrame(measurement::kId, body);
}

}  // namespace kestrel::rinex
