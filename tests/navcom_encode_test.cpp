// The encoders must write what the decoders read: each ephemeris field is checked by
// decoding the payload with the receiver's field layout, independently of the library.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "rinex/navcom_encode.h"
#include "rinex/rinex_nav.h"
#include "support/test_files.h"

namespace kestrel::rinex {
namespace {

constexpr double kPi = 3.141592653589793;

// The payload read back field by field, with the scales the receiver's decoder uses.
struct DecodedPayload {
    int week, health, iodc, iode, iodeCopy, ura, l2Codes, l2PFlag, fitFlag;
    double tgd, toc, af2, af1, af0, crs, deltaN, m0, cuc, ecc, cus, sqrtA, toe, cic, omega0, cis, i0,
        crc, omega, omegaDot, idot;
};

DecodedPayload Decode(const std::array<uint8_t, 72>& a) {
    const uint8_t* p = a.data();
    DecodedPayload d{};
    d.week = (p[0] << 2) + (p[1] >> 6);
    d.l2Codes = (p[1] >> 4) & 3;
    d.ura = p[1] & 0xF;
    d.health = (p[2] >> 2) & 0x3F;
    d.iodc = ((p[2] & 3) << 8) + p[15];
    d.l2PFlag = p[3] >> 7;
    d.tgd = static_cast<int8_t>(p[14]) * 4.6566128730773895e-10;
    d.toc = be_u16(p + 16) * 16.0;
    d.af2 = static_cast<int8_t>(p[18]) * 2.77555756156289e-17;
    d.af1 = be_s16(p + 19) * 1.13686837721616e-13;
    d.af0 = sign_extend(be_u24(p + 21) >> 2, 22) * 4.65661287308e-10;
    d.iode = p[24];
    d.crs = be_s16(p + 25) * 0.03125;
    d.deltaN = be_s16(p + 27) * 1.13686837721616e-13 * kPi;
    d.m0 = be_s32(p + 29) * 4.6566128730773895e-10 * kPi;
    d.cuc = be_s16(p + 33) * 1.8626451492309603e-09;
    d.ecc = be_u32(p + 35) * 1.16415321826935e-10;
    d.cus = be_s16(p + 39) * 1.8626451492309603e-09;
    d.sqrtA = be_u32(p + 41) * 1.9073486328125e-06;
    d.toe = be_u16(p + 45) * 16.0;
    d.fitFlag = p[47] >> 7;
    d.cic = be_s16(p + 48) * 1.86264514923e-09;
    d.omega0 = be_s32(p + 50) * 4.65661287308e-10 * kPi;
    d.cis = be_s16(p + 54) * 1.86264514923e-09;
    d.i0 = be_s32(p + 56) * 4.65661287308e-10 * kPi;
    d.crc = be_s16(p + 60) * 0.03125;
    d.omega = be_s32(p + 62) * 4.65661287308e-10 * kPi;
    d.omegaDot = sign_extend(be_u24(p + 66), 24) * 1.13686837721616e-13 * kPi;
    d.iodeCopy = p[69];
    d.idot = sign_extend(be_u16(p + 70) >> 2, 14) * 1.13686837721616e-13 * kPi;
    return d;
}

// Every scaled field back within half its least significant bit (plus rounding noise).
void ExpectRoundTrip(const NavRecord& nav) {
    SCOPED_TRACE("PRN " + std::to_string(nav.prn) + " Toe " + std::to_string(nav.toe));
    const DecodedPayload d = Decode(EncodeEphemerisPayload(nav));
    auto near = [](double got, double want, double lsb, const char* name) {
        EXPECT_LE(std::fabs(got - want), lsb * (0.5 + 1e-9)) << name << ": " << got << " vs " << want;
    };
    EXPECT_EQ(d.week, nav.week % 1024);
    EXPECT_EQ(d.health, nav.health);
    EXPECT_EQ(d.iodc, nav.iodc);
    EXPECT_EQ(d.iode, nav.iode);
    EXPECT_EQ(d.iodeCopy, nav.iode);
    EXPECT_EQ(d.l2Codes, nav.l2Codes);
    EXPECT_EQ(d.l2PFlag, nav.l2PFlag);
    EXPECT_EQ(d.toc, nav.toc);
    EXPECT_EQ(d.toe, nav.toe);
    near(d.tgd, nav.tgd, 4.6566128730773895e-10, "TGD");
    near(d.af2, nav.af2, 2.77555756156289e-17, "af2");
    near(d.af1, nav.af1, 1.13686837721616e-13, "af1");
    near(d.af0, nav.af0, 4.65661287308e-10, "af0");
    near(d.crs, nav.crs, 0.03125, "Crs");
    near(d.deltaN, nav.deltaN, 1.13686837721616e-13 * kPi, "DeltaN");
    near(d.m0, nav.m0, 4.6566128730773895e-10 * kPi, "M0");
    near(d.cuc, nav.cuc, 1.8626451492309603e-09, "Cuc");
    near(d.ecc, nav.ecc, 1.16415321826935e-10, "e");
    near(d.cus, nav.cus, 1.8626451492309603e-09, "Cus");
    near(d.sqrtA, nav.sqrtA, 1.9073486328125e-06, "sqrtA");
    near(d.cic, nav.cic, 1.86264514923e-09, "Cic");
    near(d.omega0, nav.omega0, 4.65661287308e-10 * kPi, "OMEGA0");
    near(d.cis, nav.cis, 1.86264514923e-09, "Cis");
    near(d.i0, nav.i0, 4.65661287308e-10 * kPi, "i0");
    near(d.crc, nav.crc, 0.03125, "Crc");
    near(d.omega, nav.omega, 4.65661287308e-10 * kPi, "omega");
    near(d.omegaDot, nav.omegaDot, 1.13686837721616e-13 * kPi, "OMEGADOT");
    near(d.idot, nav.idot, 1.13686837721616e-13 * kPi, "IDOT");
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
    nav.af0 = -(1 << 21) * 4.65661287308e-10;       // most negative 22-bit value
    nav.af1 = 32767 * 1.13686837721616e-13;
    nav.af2 = -128 * 2.77555756156289e-17;
    nav.tgd = -1 * 4.6566128730773895e-10;
    nav.idot = -8192 * 1.13686837721616e-13 * kPi;  // most negative 14-bit value
    nav.omegaDot = -(1 << 23) * 1.13686837721616e-13 * kPi;
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
    EXPECT_DOUBLE_EQ(d.crs, 32767 * 0.03125);                 // held at the top, not wrapped negative
    EXPECT_DOUBLE_EQ(d.af0, -(1 << 21) * 4.65661287308e-10);  // held at the bottom
    EXPECT_EQ(d.iodc, 1023);
}

TEST(EphemerisEncoder, FrameCarriesPrnTransmissionTimeAndChecksum) {
    const auto records = ReadNav("rinex/07590920.05n");
    ASSERT_FALSE(records.empty());
    const NavRecord& nav = records.front();  // PRN 1, sent at 519576 s of week 1316
    const auto f = EncodeEphemerisFrame(nav);
    ASSERT_EQ(f.size(), kEphemerisFrameBytes);
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

}  // namespace
}  // namespace kestrel::rinex
