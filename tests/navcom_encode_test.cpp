// SPDX-License-Identifier: BSD-2-Clause
// The encoders must write what the decoders read: frames and payloads built from RINEX
// values are read back by the library's own decoders, and the broadcast fields those do not
// read through the record layout. That the layout itself is the receiver's is checked
// against its captures in record_layout_test.cpp.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "navcom/ephemeris.h"
#include "navcom/measurement.h"
#include "navcom/record_layout.h"
#include "rinex/navcom_encode.h"
#include "rinex/navcom_log.h"
#include "rinex/rinex_nav.h"
#include "support/frame_builder.h"
#include "support/test_files.h"

namespace kestrel::rinex {
namespace {

using layout::kPi;
namespace sf1 = layout::sf1;
namespace sf2 = layout::sf2;
namespace sf3 = layout::sf3;

// The payload as the library's decoder reads it, with the broadcast fields it leaves alone.
struct DecodedPayload {
    GpsEphRecord record;
    int health, ura, l2Codes, l2PFlag, fitFlag, iodeCopy;
};

DecodedPayload Decode(const std::array<uint8_t, kEphemerisPayloadBytes>& a) {
    const uint8_t* p = a.data();
    DecodedPayload d;
    std::memset(&d.record, 0, sizeof d.record);
    d.health = DecodeEphemeris(p, 1, d.record);
    d.ura = static_cast<int>(layout::FieldValue(p, sf1::kUraIndex));
    d.l2Codes = static_cast<int>(layout::FieldValue(p, sf1::kL2Codes));
    d.l2PFlag = static_cast<int>(layout::FieldValue(p, sf1::kL2PFlag));
    d.fitFlag = static_cast<int>(layout::FieldValue(p, sf2::kFitInterval));
    d.iodeCopy = static_cast<int>(layout::FieldValue(p, sf3::kIodeCopy));
    return d;
}

// One count of a field, in the field's unit.
double Lsb(const layout::Field& f) { return f.semicircles ? f.scale * kPi : f.scale; }

// Every scaled field back within half its least significant bit (plus rounding noise).
void ExpectRoundTrip(const NavRecord& nav) {
    SCOPED_TRACE("PRN " + std::to_string(nav.prn) + " Toe " + std::to_string(nav.toe));
    const DecodedPayload d = Decode(EncodeEphemerisPayload(nav));
    const GpsEphRecord& r = d.record;
    EXPECT_EQ(d.health, nav.health);
    EXPECT_EQ(int(r.Week), nav.week % 1024);
    EXPECT_EQ(int(r.Iodc), nav.iodc);
    EXPECT_EQ(int(r.Iode), nav.iode);
    EXPECT_EQ(d.iodeCopy, nav.iode);
    EXPECT_EQ(d.l2Codes, nav.l2Codes);
    EXPECT_EQ(d.l2PFlag, nav.l2PFlag);
    EXPECT_EQ(int(r.Toc), nav.toc);
    EXPECT_EQ(int(r.Toe), nav.toe);
    const struct {
        const char* name;
        double got, want;
        layout::Field field;
    } scaled[] = {
        {"TGD", r.Tgd, nav.tgd, sf1::kTgd},          {"af2", r.Af2, nav.af2, sf1::kAf2},
        {"af1", r.Af1, nav.af1, sf1::kAf1},          {"af0", r.Af0, nav.af0, sf1::kAf0},
        {"Crs", r.Crs, nav.crs, sf2::kCrs},          {"DeltaN", r.DeltaN, nav.deltaN, sf2::kDeltaN},
        {"M0", r.M0, nav.m0, sf2::kM0},              {"Cuc", r.Cuc, nav.cuc, sf2::kCuc},
        {"e", r.Ecc, nav.ecc, sf2::kEcc},            {"Cus", r.Cus, nav.cus, sf2::kCus},
        {"sqrtA", r.SqrtA, nav.sqrtA, sf2::kSqrtA},  {"Cic", r.Cic, nav.cic, sf3::kCic},
        {"OMEGA0", r.Omega0, nav.omega0, sf3::kOmega0}, {"Cis", r.Cis, nav.cis, sf3::kCis},
        {"i0", r.I0, nav.i0, sf3::kI0},              {"Crc", r.Crc, nav.crc, sf3::kCrc},
        {"omega", r.Omega, nav.omega, sf3::kOmega},  {"OMEGADOT", r.OmegaDot, nav.omegaDot, sf3::kOmegaDot},
        {"IDOT", r.Idot, nav.idot, sf3::kIdot},
    };
    for (const auto& c : scaled) {
        EXPECT_LE(std::fabs(c.got - c.want), Lsb(c.field) * (0.5 + 1e-9))
            << c.name << ": " << c.got << " vs " << c.want;
    }
}

std::vector<NavRecord> ReadNav(const std::string& name) {
    std::vector<NavRecord> records;
    std::string error;
    EXPECT_TRUE(ReadNavFile(test::DataPath(name), records, error)) << error;
    return records;
}

TEST(EphemerisEncoder, EveryRealEphemerisRoundTripsWithinHalfAnLsb) {
    for (const char* file : {"rinex/07590920.05n", "orbits/brdc1820.10n"}) {
        const auto records = ReadNav(file);
        ASSERT_FALSE(records.empty()) << file;
        for (const NavRecord& nav : records) {
            EXPECT_TRUE(EphemerisFieldProblems(nav).empty()) << file << " PRN " << nav.prn;
            ExpectRoundTrip(nav);
        }
    }
}

// A record whose values reach the ends of the fields and the sign bits of the odd-sized ones.
NavRecord ExtremeRecord() {
    NavRecord nav;
    nav.prn = 32;
    nav.week = 2047;  // broadcast as 1023
    nav.toc = 604784.0;
    nav.toe = 0.0;
    nav.health = 0x3F;
    nav.iodc = 511;
    nav.iode = 255;
    nav.af0 = -(1 << 21) * sf1::kAf0.scale;        // most negative 22-bit value
    nav.af1 = 32767 * sf1::kAf1.scale;
    nav.af2 = -128 * sf1::kAf2.scale;
    nav.tgd = -1 * sf1::kTgd.scale;
    nav.idot = -8192 * Lsb(sf3::kIdot);            // most negative 14-bit value
    nav.omegaDot = -(1 << 23) * Lsb(sf3::kOmegaDot);
    nav.m0 = -kPi;
    nav.omega0 = kPi * (2147483647.0 / 2147483648.0);
    nav.omega = -1e-12;
    nav.i0 = 0.3 * kPi;
    nav.ecc = 0.0299;
    nav.sqrtA = 8191.99;
    nav.crs = -1024.0;
    nav.crc = 1023.96875;
    nav.cuc = -6.0e-5;
    nav.cus = 6.0e-5;
    nav.cic = -1.0e-7;
    nav.cis = 1.0e-7;
    nav.l2Codes = 2;
    nav.l2PFlag = 1;
    return nav;
}

TEST(EphemerisEncoder, FieldLimitsAndSignBitsRoundTrip) {
    const NavRecord nav = ExtremeRecord();
    EXPECT_TRUE(EphemerisFieldProblems(nav).empty());
    NavRecord expected = nav;
    expected.week = 1023;
    ExpectRoundTrip(expected);
    const auto p = EncodeEphemerisPayload(nav);
    EXPECT_EQ(p[21], 0x80);  // af0 = -2^21: sign bit of the 22-bit field
    EXPECT_EQ(p[22], 0x00);
    EXPECT_EQ(p[23], 0x00);
    EXPECT_EQ(p[70], 0x80);  // IDOT = -8192
    EXPECT_EQ(p[71], 0x00);
    EXPECT_EQ(p[2] & 3, 1);  // IODC 511: MSBs 01, LSBs FF
    EXPECT_EQ(p[15], 0xFF);
    EXPECT_EQ(p[16], 0x93);  // Toc 604784 / 16 = 0x93A7
    EXPECT_EQ(p[17], 0xA7);
}

TEST(EphemerisEncoder, ValuesOutsideTheirFieldsAreNamedAndHeldAtTheLimit) {
    NavRecord nav = ExtremeRecord();
    nav.crs = 2000.0;         // 16-bit field holds at most 1023.97 m
    nav.af0 = -2e-3;          // 22-bit field holds about +-0.98 ms
    nav.toe = 7201.0;         // not a multiple of 16 s
    nav.iodc = 1024;
    const auto problems = EphemerisFieldProblems(nav);
    ASSERT_EQ(problems.size(), 4u);
    EXPECT_NE(problems[0].find("af0"), std::string::npos);
    EXPECT_NE(problems[1].find("Crs"), std::string::npos);
    EXPECT_NE(problems[2].find("Toe"), std::string::npos);
    EXPECT_NE(problems[3].find("IODC"), std::string::npos);
    const DecodedPayload d = Decode(EncodeEphemerisPayload(nav));
    EXPECT_DOUBLE_EQ(d.record.Crs, 32767 * 0.03125);                 // held at the top, not wrapped negative
    EXPECT_DOUBLE_EQ(d.record.Af0, -(1 << 21) * 4.65661287308e-10);  // held at the bottom
    EXPECT_EQ(int(d.record.Iodc), 1023);
}

TEST(EphemerisEncoder, FrameCarriesPrnTransmissionTimeAndChecksum) {
    const auto records = ReadNav("rinex/07590920.05n");
    ASSERT_FALSE(records.empty());
    const NavRecord& nav = records.front();  // PRN 1, sent at 519576 s of week 1316
    const auto f = EncodeEphemerisFrame(nav);
    ASSERT_EQ(f.size(), 89u);
    EXPECT_EQ(f[0], 0x02);
    EXPECT_EQ(f[1], 0x99);
    EXPECT_EQ(f[2], 0x66);
    EXPECT_EQ(f[3], 0x81);
    EXPECT_EQ(le_u16(&f[4]), 86);
    EXPECT_EQ(f[6], 1);
    EXPECT_EQ(le_u16(&f[7]), 1316);
    EXPECT_EQ(le_u32(&f[9]), 519576u);
    const auto payload = EncodeEphemerisPayload(nav);
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), f.begin() + 15));
    uint8_t x = 0;
    for (std::size_t i = 3; i < 88; ++i) x ^= f[i];
    EXPECT_EQ(f[88], x);
}

TEST(EphemerisEncoder, TransmissionTimeOfThePreviousWeekIsSentInThatWeek) {
    NavRecord nav = ExtremeRecord();
    nav.week = 1316;
    nav.toe = 0.0;
    nav.transmissionTime = -30.0;  // 30 s before the week of Toe began
    const auto f = EncodeEphemerisFrame(nav);
    EXPECT_EQ(le_u16(&f[7]), 1315);
    EXPECT_EQ(le_u32(&f[9]), 604770u);
}

TEST(EphemerisEncoder, ShiftingRollsTimesAndWeeksTogether) {
    NavRecord nav;
    nav.prn = 5;
    nav.week = 1316;
    nav.tocWeek = 1316;
    nav.toc = 597600.0;
    nav.toe = 597600.0;
    nav.transmissionTime = 590400.0;
    const NavRecord day = ShiftNavRecord(nav, 86400.0);
    EXPECT_EQ(day.week, 1317);
    EXPECT_EQ(day.tocWeek, 1317);
    EXPECT_DOUBLE_EQ(day.toe, 79200.0);
    EXPECT_DOUBLE_EQ(day.toc, 79200.0);
    EXPECT_DOUBLE_EQ(day.transmissionTime, 72000.0);
    EXPECT_DOUBLE_EQ(day.TransmissionTotal() - nav.TransmissionTotal(), 86400.0);
    const NavRecord week = ShiftNavRecord(nav, 604800.0);
    EXPECT_EQ(week.week, 1317);
    EXPECT_DOUBLE_EQ(week.toe, nav.toe);
    EXPECT_DOUBLE_EQ(week.transmissionTime, nav.transmissionTime);
}

// ---------------------------------------------------------------------------------------
// MEASUREMENT frames, read back as the receiver's decoder reads them.

constexpr double kLambda = layout::kL1WavelengthM;
constexpr double kL2Ratio = layout::kL2PerL1;
constexpr double kHalfPhaseUnit = layout::kPhaseUnitCycles / 2 + 1e-7;  // plus rounding

struct DecodedBlock {
    int prn = 0;
    bool hasP1 = false, hasL2 = false;
    int strengthCode = 0;
    double ca = 0.0, p1 = 0.0, p2 = 0.0;  // metres
    double l1 = 0.0, l2 = 0.0;            // cycles
    int l1Lock = 0, l2Lock = 0;
};

struct DecodedFrame {
    uint16_t week = 0;
    uint32_t timeMs = 0;
    std::vector<DecodedBlock> blocks;
};

// A whole MEASUREMENT frame with a good checksum, its blocks read by the library's decoder.
DecodedFrame DecodeMeasurement(const std::vector<uint8_t>& f) {
    namespace measurement = layout::measurement;
    DecodedFrame d;
    const std::vector<test::FoundFrame> found = test::FindFrames(f);
    if (found.size() != 1 || found[0].bytes.size() != f.size() || f.size() < measurement::kBaseFrameBytes) {
        ADD_FAILURE() << "not one whole frame";
        return d;
    }
    EXPECT_TRUE(found[0].checksumOk);
    EXPECT_EQ(found[0].id, measurement::kId);
    const int n = f[measurement::kCountOffset] & measurement::kCountMask;
    EXPECT_EQ(f.size(), static_cast<std::size_t>(measurement::FrameBytes(n)));
    d.week = le_u16(&f[measurement::kWeekOffset]);
    d.timeMs = le_u32(&f[measurement::kTimeOffset]);
    for (int i = 0; i < n && measurement::FrameBytes(i + 1) <= static_cast<int>(f.size()); ++i) {
        SatState s;
        EXPECT_TRUE(DecodeSatBlock(&f[measurement::BlockOffset(i)], s));
        DecodedBlock k;
        k.prn = s.prn;
        k.hasP1 = s.status & layout::block::kHasP1;
        k.hasL2 = s.status & layout::block::kHasL2;
        k.strengthCode = s.strength - layout::block::kStrengthBase;
        k.ca = s.ca_range;
        k.p1 = s.p1_range;
        k.p2 = s.p2_range;
        k.l1 = s.l1_phase;
        k.l2 = s.l2_phase;
        k.l1Lock = s.l1_lock_counter;
        k.l2Lock = s.l2_lock_counter;
        d.blocks.push_back(k);
    }
    return d;
}

SatMeasurement Sat(int prn, double c1, std::optional<double> l1) {
    SatMeasurement m;
    m.prn = prn;
    m.c1 = c1;
    m.l1 = l1;
    return m;
}

SatMeasurement DualSat(int prn, double c1, double l1, double p2, double l2) {
    SatMeasurement m = Sat(prn, c1, l1);
    m.p2 = p2;
    m.l2 = l2;
    return m;
}

GpsTime At(double sow) { return GpsTime{1316, sow}; }

// The decoded phase differs from minus the RINEX phase by an integer, the arc's constant.
double ArcConstant(double decoded, double rinex) {
    const double k = decoded + rinex;
    EXPECT_NEAR(k, std::round(k), kHalfPhaseUnit) << "decoded " << decoded << " rinex " << rinex;
    return std::round(k);
}

TEST(MeasurementEncoder, PhasesKeepOneIntegerConstantAlongAnArc) {
    MeasurementEncoder encoder;
    double k1 = 0.0, k2 = 0.0;
    for (int i = 0; i < 40; ++i) {
        // A satellite moving away at 500 m/s, with phases whose integer start is arbitrary and
        // which drift from the code by a few metres (ionosphere) over the arc.
        const double range = 2.2e7 + 500.0 * 30.0 * i;
        const double l1 = -1234567.891 + range / kLambda + 0.37 * i;
        const double p2 = range + 3.25;
        const double l2 = 7654321.125 + range / (kLambda / kL2Ratio) - 0.21 * i;
        EpochReport report;
        const auto frame = encoder.Encode(At(518400.0 + 30.0 * i), {DualSat(12, range, l1, p2, l2)}, false, report);
        const DecodedFrame d = DecodeMeasurement(frame);
        ASSERT_EQ(d.blocks.size(), 1u);
        const DecodedBlock& b = d.blocks[0];
        EXPECT_EQ(b.prn, 12);
        EXPECT_TRUE(b.hasL2);
        EXPECT_NEAR(b.ca, range, kLambda / 32 + 1e-6);
        EXPECT_NEAR(b.p2, p2, kLambda / 32 + 1e-6);
        EXPECT_EQ(b.l1Lock, 0);
        EXPECT_EQ(b.l2Lock, 0);
        const double a1 = ArcConstant(b.l1, l1), a2 = ArcConstant(b.l2, l2);
        if (i == 0) {
            k1 = a1;
            k2 = a2;
            EXPECT_EQ(report.sats[0].l1.start, ArcStart::kFirst);
        } else {
            EXPECT_EQ(report.sats[0].l1.start, ArcStart::kContinued);
        }
        EXPECT_EQ(a1, k1);
        EXPECT_EQ(a2, k2);
        EXPECT_EQ(report.sats[0].l1.k, k1);
        EXPECT_EQ(report.sats[0].l2.k, k2);
    }
}

TEST(MeasurementEncoder, NewArcExactlyWhereTheOffsetWouldNotFit) {
    // The phase runs away from a fixed code range; offsets are in cycles from the first epoch.
    struct Case {
        double offset;
        bool restarts;
    };
    const Case cases[] = {
        {2047.996, false},   // 524287 units: the largest offset
        {2047.999, true},    // rounds to 524288
        {-2048.0, false},    // -524288 units: the smallest offset
        {-2048.0025, true},  // rounds to -524289
    };
    const double range = 2.3e7;
    const double code = std::round(range / kLambda * 16) / 16;  // as sent, in cycles
    for (const Case& c : cases) {
        MeasurementEncoder encoder;
        EpochReport first, second;
        const double start = code + 100.0;  // an integer K of 100 cycles, offset 0
        encoder.Encode(At(0.0), {Sat(5, range, start)}, false, first);
        ASSERT_EQ(first.sats[0].l1.k, 100.0);
        const auto frame = encoder.Encode(At(1.0), {Sat(5, range, start + c.offset)}, false, second);
        const DecodedBlock b = DecodeMeasurement(frame).blocks.at(0);
        EXPECT_EQ(b.l1Lock, c.restarts ? 1 : 0) << c.offset;
        EXPECT_EQ(second.sats[0].l1.start, c.restarts ? ArcStart::kOffsetRange : ArcStart::kContinued) << c.offset;
        EXPECT_EQ(ArcConstant(b.l1, start + c.offset), second.sats[0].l1.k) << c.offset;
        EXPECT_LE(std::fabs(b.l1 + code), 2048.0) << c.offset;  // offset within its field
    }
}

TEST(MeasurementEncoder, LossOfLockAdvancesTheCounterAtThatEpochOnly) {
    MeasurementEncoder encoder;
    std::vector<int> l1Locks, l2Locks;
    for (int i = 0; i < 6; ++i) {
        const double range = 2.0e7 + 100.0 * i;
        SatMeasurement m = DualSat(7, range, range / kLambda + 50.5, range + 2.0, range / kLambda * kL2Ratio);
        m.l1LockLost = (i == 2 || i == 4);
        m.l2LockLost = (i == 3);
        EpochReport report;
        const DecodedBlock b = DecodeMeasurement(encoder.Encode(At(30.0 * i), {m}, false, report)).blocks.at(0);
        l1Locks.push_back(b.l1Lock);
        l2Locks.push_back(b.l2Lock);
        EXPECT_EQ(ArcConstant(b.l1, *m.l1), report.sats[0].l1.k);
        EXPECT_EQ(ArcConstant(b.l2, *m.l2), report.sats[0].l2.k);
        EXPECT_EQ(report.sats[0].l1.start == ArcStart::kLockLost, m.l1LockLost);
    }
    EXPECT_EQ(l1Locks, (std::vector<int>{0, 0, 1, 1, 2, 2}));
    EXPECT_EQ(l2Locks, (std::vector<int>{0, 0, 0, 1, 1, 1}));
}

TEST(MeasurementEncoder, LockCounterWrapsAfterSixteenSlips) {
    MeasurementEncoder encoder;
    int lock = -1;
    for (int i = 0; i <= 17; ++i) {
        SatMeasurement m = Sat(9, 2.0e7, 1.0e6 + i);
        m.l1LockLost = i > 0;
        EpochReport report;
        lock = DecodeMeasurement(encoder.Encode(At(i), {m}, false, report)).blocks.at(0).l1Lock;
    }
    EXPECT_EQ(lock, 17 % 16);
}

TEST(MeasurementEncoder, EpochWithoutL1PhaseIsSentFromTheCodeWithSlipsAroundIt) {
    MeasurementEncoder encoder;
    const double range = 2.1e7;
    const std::optional<double> phases[] = {1.0e6, std::nullopt, std::nullopt, 1.0e6 + 3.0, 1.0e6 + 4.0};
    std::vector<int> locks;
    for (int i = 0; i < 5; ++i) {
        EpochReport report;
        const DecodedBlock b =
            DecodeMeasurement(encoder.Encode(At(i), {Sat(4, range, phases[i])}, false, report)).blocks.at(0);
        locks.push_back(b.l1Lock);
        EXPECT_EQ(report.sats[0].l1.hasPhase, phases[i].has_value());
        if (!phases[i]) {
            EXPECT_DOUBLE_EQ(b.l1, -b.ca / kLambda);  // offset 0
            ASSERT_EQ(report.notes.size(), 1u);
            EXPECT_EQ(report.notes[0].kind, NoteKind::kL1PhaseMissing);
        } else {
            EXPECT_EQ(ArcConstant(b.l1, *phases[i]), report.sats[0].l1.k);
        }
    }
    // A new count at each epoch without phase, and again when the phase comes back.
    EXPECT_EQ(locks, (std::vector<int>{0, 1, 2, 3, 3}));
}

TEST(MeasurementEncoder, L2GoesOnlyWithBothValuesAndAFittingDelta) {
    struct Case {
        const char* what;
        std::optional<double> p2Minus;  // P2 - C1, m
        bool hasL2Phase;
        bool sent;
        std::optional<NoteKind> note;
    };
    const Case cases[] = {
        {"small delta", 3.5, true, true, std::nullopt},
        {"largest delta", 32767 * kLambda / 16, true, true, std::nullopt},
        {"negative limit", -32768 * kLambda / 16, true, true, std::nullopt},
        {"delta too large", 390.0, true, false, NoteKind::kL2DeltaTooLarge},
        {"delta too negative", -390.0, true, false, NoteKind::kL2DeltaTooLarge},
        {"no P2", std::nullopt, true, false, NoteKind::kL2Incomplete},
        {"no L2 phase", 2.0, false, false, NoteKind::kL2Incomplete},
    };
    const double range = 16.0 * kLambda * 123456789 / 16;  // a whole number of units
    for (const Case& c : cases) {
        MeasurementEncoder encoder;
        SatMeasurement m = Sat(3, range, 5.0e6);
        if (c.p2Minus) m.p2 = range + *c.p2Minus;
        if (c.hasL2Phase) m.l2 = 4.0e6;
        EpochReport report;
        const DecodedBlock b = DecodeMeasurement(encoder.Encode(At(0), {m}, false, report)).blocks.at(0);
        EXPECT_EQ(b.hasL2, c.sent) << c.what;
        EXPECT_EQ(report.sats[0].l2.sent, c.sent) << c.what;
        if (c.sent) {
            EXPECT_NEAR(b.p2, *m.p2, kLambda / 32 + 1e-6) << c.what;
            ArcConstant(b.l2, *m.l2);
        }
        ASSERT_EQ(report.notes.size(), c.note ? 1u : 0u) << c.what;
        if (c.note) {
            EXPECT_EQ(report.notes[0].kind, *c.note) << c.what;
        }
    }
}

TEST(MeasurementEncoder, GapInL2KeepsItsArc) {
    MeasurementEncoder encoder;
    std::vector<int> locks;
    std::vector<double> ks;
    for (int i = 0; i < 4; ++i) {
        const double range = 2.0e7 + 10.0 * i;
        SatMeasurement m = Sat(6, range, range / kLambda);
        if (i != 1 && i != 2) {
            m.p2 = range + 1.0;
            m.l2 = range / kLambda * kL2Ratio + 77.25;
        }
        EpochReport report;
        const DecodedBlock b = DecodeMeasurement(encoder.Encode(At(i), {m}, false, report)).blocks.at(0);
        EXPECT_EQ(b.hasL2, m.l2.has_value());
        if (b.hasL2) {
            locks.push_back(b.l2Lock);
            ks.push_back(ArcConstant(b.l2, *m.l2));
        }
    }
    EXPECT_EQ(locks, (std::vector<int>{0, 0}));
    EXPECT_EQ(ks[0], ks[1]);
}

TEST(MeasurementEncoder, PowerFailureStartsNewArcsOnBothCarriers) {
    MeasurementEncoder encoder;
    EpochReport report;
    const SatMeasurement m = DualSat(2, 2.0e7, 1.0e6, 2.0e7 + 1, 8.0e5);
    encoder.Encode(At(0), {m}, false, report);
    const DecodedBlock b = DecodeMeasurement(encoder.Encode(At(30), {m}, true, report)).blocks.at(0);
    EXPECT_EQ(b.l1Lock, 1);
    EXPECT_EQ(b.l2Lock, 1);
    EXPECT_EQ(report.sats[0].l1.start, ArcStart::kPowerFailure);
}

TEST(MeasurementEncoder, FrameHoldsFifteenSendableSatellitesAtMost) {
    std::vector<SatMeasurement> sats;
    sats.push_back(Sat(32, 2.0e7, 1.0e6));  // cannot be sent, and takes no place
    SatMeasurement noRange;
    noRange.prn = 30;
    sats.push_back(noRange);
    for (int prn = 1; prn <= 16; ++prn) sats.push_back(Sat(prn, 2.0e7 + prn, 1.0e6));
    MeasurementEncoder encoder;
    EpochReport report;
    const auto frame = encoder.Encode(At(518430.005), sats, false, report);
    EXPECT_EQ(frame.size(), 15u + 16u * 15u);
    const DecodedFrame d = DecodeMeasurement(frame);
    EXPECT_EQ(d.timeMs, 518430005u);
    EXPECT_EQ(d.week, 1316);
    ASSERT_EQ(d.blocks.size(), 15u);
    for (int i = 0; i < 15; ++i) EXPECT_EQ(d.blocks[i].prn, i + 1);
    ASSERT_EQ(report.notes.size(), 3u);
    EXPECT_EQ(report.notes[0].kind, NoteKind::kPrnOutOfRange);
    EXPECT_EQ(report.notes[0].prn, 32);
    EXPECT_EQ(report.notes[1].kind, NoteKind::kNoCaRange);
    EXPECT_EQ(report.notes[2].kind, NoteKind::kOverFifteen);
    EXPECT_EQ(report.notes[2].prn, 16);
}

TEST(MeasurementEncoder, EmptyEpochAndTimeRounding) {
    MeasurementEncoder encoder;
    EpochReport report;
    const auto frame = encoder.Encode(At(100.0004), {}, false, report);
    EXPECT_EQ(frame.size(), 15u);
    EXPECT_EQ(DecodeMeasurement(frame).timeMs, 100000u);
    ASSERT_EQ(report.notes.size(), 1u);
    EXPECT_EQ(report.notes[0].kind, NoteKind::kTimeNotWholeMs);
}

TEST(GpsMeasurements, PicksTypesLossOfLockAndStrength) {
    const std::vector<std::string> types = {"C1", "L1", "L2", "P2", "S1", "P1"};
    auto satWith = [&](double s1, int l1Ssi, int c1Ssi, int l1Lli, int l2Lli) {
        ObsSatellite s;
        s.prn = 11;
        s.values.assign(types.size(), ObsValue{});
        const double v[] = {2.0e7, 1.0e6, 8.0e5, 2.0e7 + 1, s1, 2.0e7 + 0.5};
        for (std::size_t i = 0; i < types.size(); ++i) s.values[i] = {v[i] != 0.0, v[i], 0, 0};
        s.values[0].strength = c1Ssi;
        s.values[1].strength = l1Ssi;
        s.values[1].lli = l1Lli;
        s.values[2].lli = l2Lli;
        return s;
    };
    struct Case {
        double s1;
        int l1Ssi, c1Ssi, l1Lli, l2Lli;
        int code;
        bool l1Lost, l2Lost;
    };
    const Case cases[] = {
        {47.4, 9, 9, 0, 0, 12, false, false},  // S1 wins over the digits
        {30.0, 0, 0, 1, 0, 0, true, false},    // below the floor
        {60.0, 0, 0, 4, 5, 15, false, true},   // above the top; LLI 4 (anti-spoofing) is no slip
        {0.0, 9, 1, 0, 0, 15, false, false},   // no S1: the L1 digit
        {0.0, 5, 0, 0, 0, 8, false, false},
        {0.0, 0, 1, 0, 0, 0, false, false},    // no L1 digit: the C1 digit
        {0.0, 0, 0, 0, 0, kDefaultStrengthCode, false, false},
    };
    for (const Case& c : cases) {
        ObsEpoch epoch;
        epoch.satellites.push_back(satWith(c.s1, c.l1Ssi, c.c1Ssi, c.l1Lli, c.l2Lli));
        ObsSatellite glonass = epoch.satellites[0];
        glonass.system = 'R';
        epoch.satellites.push_back(glonass);
        std::size_t others = 0;
        const auto m = GpsMeasurements(types, epoch, &others);
        ASSERT_EQ(m.size(), 1u);
        EXPECT_EQ(others, 1u);
        EXPECT_EQ(m[0].strengthCode, c.code) << c.s1 << " " << c.l1Ssi << " " << c.c1Ssi;
        EXPECT_EQ(m[0].l1LockLost, c.l1Lost);
        EXPECT_EQ(m[0].l2LockLost, c.l2Lost);
        EXPECT_EQ(*m[0].c1, 2.0e7);
        EXPECT_EQ(*m[0].p1, 2.0e7 + 0.5);
        EXPECT_EQ(*m[0].l2, 8.0e5);
    }
}

// ---------------------------------------------------------------------------------------
// Whole logs

// Splits a log into its frames; the log must be nothing but whole frames with good checksums.
std::vector<test::FoundFrame> SplitFrames(const std::vector<uint8_t>& log) {
    std::vector<test::FoundFrame> frames = test::FindFrames(log);
    std::size_t next = 0;
    for (const test::FoundFrame& f : frames) {
        EXPECT_EQ(f.offset, next) << "bytes outside a frame";
        EXPECT_TRUE(f.checksumOk) << "checksum of the frame at byte " << f.offset;
        next = f.offset + f.bytes.size();
    }
    EXPECT_EQ(next, log.size()) << "the log does not end with a whole frame";
    return frames;
}

ObsFile ReadObs(const std::string& name) {
    ObsFile obs;
    std::string error;
    EXPECT_TRUE(ReadObsFile(test::DataPath(name), obs, error)) << error;
    return obs;
}

LogContents BuildStationLog(const LogOptions& options = {}) {
    LogContents log;
    std::string error;
    EXPECT_TRUE(BuildNavComLog(ReadObs("rinex/07590920.05o"), ReadNav("rinex/07590920.05n"), options, log, error))
        << error;
    return log;
}

ObsFile SyntheticObs(std::initializer_list<double> times) {
    ObsFile obs;
    obs.header.types = {"C1", "L1"};
    for (double t : times) {
        ObsEpoch e;
        e.time = At(t);
        ObsSatellite s;
        s.prn = 3;
        s.values = {{true, 2.0e7, 0, 0}, {true, 1.0e6, 0, 0}};
        e.satellites.push_back(s);
        obs.epochs.push_back(e);
    }
    return obs;
}

NavRecord SentAt(double transmissionTime, int prn) {
    NavRecord n;
    n.prn = prn;
    n.week = 1316;
    n.tocWeek = 1316;
    n.toc = n.toe = 7200.0;
    n.sqrtA = 5153.7;
    n.transmissionTime = transmissionTime;
    return n;
}

TEST(LogBuilder, EphemerisGoesBeforeTheFirstEpochAtOrAfterItsTransmission) {
    const ObsFile obs = SyntheticObs({100.0, 130.0, 160.0});
    // Out of order on purpose; the PRN tells them apart.
    const std::vector<NavRecord> nav = {SentAt(130.0, 2), SentAt(50.0, 1), SentAt(160.5, 5), SentAt(131.0, 3),
                                        SentAt(-20.0, 4), SentAt(90.0, 6)};
    LogContents log;
    std::string error;
    ASSERT_TRUE(BuildNavComLog(obs, nav, {}, log, error)) << error;
    std::string order;
    for (const test::FoundFrame& f : SplitFrames(log.bytes)) {
        order += f.id == layout::ephemeris::kId ? static_cast<char>('0' + f.bytes[layout::ephemeris::kPrnOffset]) : 'M';
    }
    // Sent last week (4), then by transmission time; PRN 5 comes after the last epoch.
    EXPECT_EQ(order, "416M2M3M");
    EXPECT_EQ(log.ephemeridesAfterLastEpoch, 1u);
    ASSERT_EQ(log.ephemerides.size(), 5u);
    EXPECT_EQ(log.ephemerides[3].nav.prn, 2);
    EXPECT_EQ(log.ephemerides[3].beforeEpoch, 1u);
}

TEST(LogBuilder, EphemerisTheBroadcastCannotCarryIsLeftOutWithAWarning) {
    NavRecord bad = SentAt(0.0, 9);
    bad.crs = 5000.0;
    LogContents log;
    std::string error;
    ASSERT_TRUE(BuildNavComLog(SyntheticObs({100.0}), {bad, SentAt(0.0, 8)}, {}, log, error)) << error;
    EXPECT_EQ(log.ephemerides.size(), 1u);
    EXPECT_EQ(log.ephemeridesUnfit, 1u);
    ASSERT_EQ(log.warnings.size(), 1u);
    EXPECT_NE(log.warnings[0].find("PRN 9"), std::string::npos);
    EXPECT_NE(log.warnings[0].find("Crs"), std::string::npos);
}

TEST(LogBuilder, RefusesAnEmptyWindowAndOverlappingCopies) {
    const ObsFile obs = SyntheticObs({100.0, 50000.0, 90000.0});
    LogContents log;
    std::string error;
    LogOptions window;
    window.hasStart = true;
    window.start = 200.0;
    window.hasEnd = true;
    window.end = 300.0;
    EXPECT_FALSE(BuildNavComLog(obs, {}, window, log, error));
    EXPECT_NE(error.find("no observation epoch"), std::string::npos) << error;
    LogOptions days;
    days.repeatCount = 1;
    EXPECT_FALSE(BuildNavComLog(obs, {}, days, log, error));  // spans more than a day
    EXPECT_NE(error.find("overlap"), std::string::npos) << error;
    days.repeatStep = kSecondsPerWeek;
    EXPECT_TRUE(BuildNavComLog(obs, {}, days, log, error)) << error;
    window.end = 60000.0;
    window.repeatCount = 1;
    EXPECT_TRUE(BuildNavComLog(obs, {}, window, log, error)) << error;
    EXPECT_EQ(log.epochs.size(), 2u);
    EXPECT_EQ(log.epochsOutsideWindow, 2u);
}

TEST(LogBuilder, TheShippedSampleIsTheStationHour) {
    const LogContents log = BuildStationLog();
    EXPECT_EQ(log.bytes, test::ReadFileBytes(test::DataPath("navcom/gsi-0759-2005-092.nav")))
        << "regenerate the sample with the command in data/navcom/README.md";
    EXPECT_EQ(log.epochs.size(), 120u);
    EXPECT_EQ(log.ephemerides.size(), 23u);
    EXPECT_EQ(log.blocks, 948u);
    std::size_t measurements = 0, ephemerides = 0;
    for (const test::FoundFrame& f : SplitFrames(log.bytes)) (f.id == layout::measurement::kId ? measurements : ephemerides) += 1;
    EXPECT_EQ(measurements, 120u);
    EXPECT_EQ(ephemerides, 23u);
}

// The station hour read back from the frames matches the RINEX file: ranges to the 1/16-cycle
// quantisation, phases to minus the RINEX phase plus a constant that changes only where the
// lock counter does, and lock counters that change exactly at loss-of-lock flags and new arcs.
TEST(LogBuilder, StationHourReadsBackAsTheRinexValues) {
    const ObsFile obs = ReadObs("rinex/07590920.05o");
    const LogContents log = BuildStationLog();
    std::vector<test::FoundFrame> measurements;
    for (test::FoundFrame& f : SplitFrames(log.bytes)) {
        if (f.id == layout::measurement::kId) measurements.push_back(std::move(f));
    }
    ASSERT_EQ(measurements.size(), obs.epochs.size());
    struct Last {
        bool seen = false;
        int l1Lock = 0, l2Lock = 0;
        double k1 = 0.0, k2 = 0.0;
        bool k2Known = false;
        bool l1Missing = false;
    };
    Last last[32];
    double worstRange = 0.0, worstPhase = 0.0;
    std::size_t slipsSeen = 0, l2SlipsSeen = 0, lliFlags = 0;
    for (std::size_t e = 0; e < obs.epochs.size(); ++e) {
        const ObsEpoch& epoch = obs.epochs[e];
        const DecodedFrame d = DecodeMeasurement(measurements[e].bytes);
        EXPECT_EQ(d.timeMs, static_cast<uint32_t>(std::llround(epoch.time.sow * 1000)));
        ASSERT_EQ(d.blocks.size(), epoch.satellites.size());
        for (std::size_t s = 0; s < epoch.satellites.size(); ++s) {
            const ObsSatellite& sat = epoch.satellites[s];
            const DecodedBlock& b = d.blocks[s];
            SCOPED_TRACE("epoch " + std::to_string(epoch.time.sow) + " PRN " + std::to_string(sat.prn));
            ASSERT_EQ(b.prn, sat.prn);
            const ObsValue &l1 = sat.values[0], &c1 = sat.values[1], &l2 = sat.values[2], &p2 = sat.values[3];
            worstRange = std::max(worstRange, std::fabs(b.ca - c1.value));
            EXPECT_NEAR(b.ca, c1.value, kLambda / 32 + 1e-6);
            Last& h = last[sat.prn];
            // This hour has no arc that outgrows its offset field, so the slips are exactly the
            // loss-of-lock flags, the epochs without L1 phase and the epochs where it comes back.
            const bool l1Slip = h.seen && b.l1Lock != h.l1Lock;
            const bool expected = h.seen && ((l1.lli & 1) || !l1.present || h.l1Missing);
            EXPECT_EQ(l1Slip, expected);
            slipsSeen += l1Slip;
            lliFlags += h.seen && (l1.lli & 1);
            if (l1.present) {
                const double k = b.l1 + l1.value;
                EXPECT_NEAR(k, std::round(k), kHalfPhaseUnit);
                worstPhase = std::max(worstPhase, std::fabs(k - std::round(k)));
                // The constant only changes together with the lock counter.
                if (h.seen && !l1Slip) {
                    EXPECT_EQ(std::round(k), h.k1);
                }
                h.k1 = std::round(k);
            } else {
                EXPECT_DOUBLE_EQ(b.l1, -b.ca / kLambda);
            }
            h.l1Missing = !l1.present;
            EXPECT_EQ(b.hasL2, l2.present && p2.present);
            if (b.hasL2) {
                EXPECT_NEAR(b.p2, p2.value, kLambda / 32 + 1e-6);
                worstRange = std::max(worstRange, std::fabs(b.p2 - p2.value));
                const double k = b.l2 + l2.value;
                EXPECT_NEAR(k, std::round(k), kHalfPhaseUnit);
                const bool l2Slip = h.k2Known && b.l2Lock != h.l2Lock;
                EXPECT_EQ(l2Slip, h.k2Known && (l2.lli & 1) != 0);
                l2SlipsSeen += l2Slip;
                if (h.k2Known && !l2Slip) {
                    EXPECT_EQ(std::round(k), h.k2);
                }
                h.k2 = std::round(k);
                h.k2Known = true;
                h.l2Lock = b.l2Lock;
            }
            h.seen = true;
            h.l1Lock = b.l1Lock;
        }
    }
    // The counts data/navcom/README.md gives for the sample: 8 L1 loss-of-lock flags after a satellite's
    // first epoch, 11 L1 slips (with the 4 epochs without L1 phase), 6 L2 slips.
    EXPECT_EQ(lliFlags, 8u);
    EXPECT_EQ(slipsSeen, 11u);
    EXPECT_EQ(l2SlipsSeen, 6u);
    EXPECT_LE(worstRange, kLambda / 32 + 1e-6);
    EXPECT_LE(worstPhase, kHalfPhaseUnit);
}

TEST(LogBuilder, RepeatedCopiesShiftEpochsAndEphemeridesTogether) {
    const LogContents once = BuildStationLog();
    for (double step : {kSecondsPerDay, kSecondsPerWeek}) {
        LogOptions options;
        options.repeatCount = 2;
        options.repeatStep = step;
        const LogContents log = BuildStationLog(options);
        const std::size_t n = once.epochs.size();
        ASSERT_EQ(log.epochs.size(), 3 * n);
        ASSERT_EQ(log.ephemerides.size(), 3 * once.ephemerides.size());
        for (std::size_t copy = 1; copy < 3; ++copy) {
            for (std::size_t i = 0; i < n; ++i) {
                const EpochReport& a = once.epochs[i];
                const EpochReport& b = log.epochs[copy * n + i];
                EXPECT_NEAR(b.time.Total() - a.time.Total(), copy * step, 1e-6);
                ASSERT_EQ(a.sats.size(), b.sats.size());
                for (std::size_t s = 0; s < a.sats.size(); ++s) {
                    EXPECT_EQ(a.sats[s].caUnits, b.sats[s].caUnits);
                    EXPECT_EQ(a.sats[s].l1.counter, b.sats[s].l1.counter);
                }
            }
        }
        // Every ephemeris moved with its copy, and each still precedes the first epoch at or
        // after its transmission time.
        for (std::size_t k = 0; k < log.ephemerides.size(); ++k) {
            const PlacedEphemeris& placed = log.ephemerides[k];
            const NavRecord& original = once.ephemerides[k % once.ephemerides.size()].nav;
            const double shift = static_cast<double>(k / once.ephemerides.size()) * step;
            EXPECT_NEAR(placed.nav.week * kSecondsPerWeek + placed.nav.toe - (original.week * kSecondsPerWeek + original.toe),
                        shift, 1e-6);
            EXPECT_NEAR(placed.nav.TransmissionTotal() - original.TransmissionTotal(), shift, 1e-6);
            const double sent = placed.nav.TransmissionTotal();
            EXPECT_LE(sent, log.epochs[placed.beforeEpoch].time.Total() + 1e-6);
            if (placed.beforeEpoch % n != 0) {
                EXPECT_GT(sent, log.epochs[placed.beforeEpoch - 1].time.Total());
            }
            ExpectRoundTrip(placed.nav);
        }
    }
}

}  // namespace
}  // namespace kestrel::rinex
