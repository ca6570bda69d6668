// SPDX-License-Identifier: BSD-2-Clause
// RINEX navigation writer: the GSI station's broadcast ephemerides written as 3.04 and 2.11
// and read back digit for digit, the record layout, the clock epoch's week, and the URA and
// fit-interval tables.
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "rinex_out/rinex_nav_writer.h"
#include "rinex/rinex_nav.h"
#include "support/test_files.h"

namespace kestrel {
namespace {

RinexGpsEphemeris FromRecord(const rinex::NavRecord& n) {
    RinexGpsEphemeris e;
    e.prn = n.prn;
    e.week = n.week;
    e.tocS = n.toc;
    e.af0S = n.af0;
    e.af1 = n.af1;
    e.af2PerS = n.af2;
    e.iode = n.iode;
    e.crsM = n.crs;
    e.deltaNRadPerS = n.deltaN;
    e.m0Rad = n.m0;
    e.cucRad = n.cuc;
    e.eccentricity = n.ecc;
    e.cusRad = n.cus;
    e.sqrtAM = n.sqrtA;
    e.toeS = n.toe;
    e.cicRad = n.cic;
    e.omega0Rad = n.omega0;
    e.cisRad = n.cis;
    e.i0Rad = n.i0;
    e.crcM = n.crc;
    e.omegaRad = n.omega;
    e.omegaDotRadPerS = n.omegaDot;
    e.idotRadPerS = n.idot;
    e.l2Codes = n.l2Codes;
    e.l2PDataFlag = n.l2PFlag;
    e.accuracyM = n.accuracy;
    e.health = n.health;
    e.tgdS = n.tgd;
    e.iodc = n.iodc;
    e.transmissionS = n.transmissionTime;
    e.fitIntervalH = n.fitInterval;
    return e;
}

std::vector<rinex::NavRecord> StationFile() {
    std::vector<rinex::NavRecord> records;
    std::string error;
    EXPECT_TRUE(rinex::ReadNavFile(test::DataPath("rinex/07590920.05n"), records, error)) << error;
    return records;
}

// Every value of the file comes back as the same double: the writer prints the 13
// significant digits the file gave.
void ExpectRoundTrip(RinexVersion version) {
    const std::vector<rinex::NavRecord> original = StationFile();
    ASSERT_EQ(original.size(), 162u);
    RinexNavHeader header;
    header.version = version;
    header.program = "kestrel";
    header.leapSeconds = 13;
    std::string text;
    AppendRinexNavHeader(text, header);
    for (const rinex::NavRecord& n : original) ASSERT_TRUE(AppendRinexNavRecord(text, version, FromRecord(n)));

    std::vector<rinex::NavRecord> back;
    std::string error;
    ASSERT_TRUE(rinex::ParseNavText(text, "written", back, error)) << error;
    ASSERT_EQ(back.size(), original.size());
    for (std::size_t i = 0; i < back.size(); ++i) {
        const rinex::NavRecord& a = original[i];
        const rinex::NavRecord& b = back[i];
        SCOPED_TRACE("record " + std::to_string(i) + ", PRN " + std::to_string(a.prn));
        EXPECT_EQ(b.prn, a.prn);
        EXPECT_EQ(b.tocWeek, a.tocWeek);
        EXPECT_EQ(b.toc, a.toc);
        const double want[] = {a.af0, a.af1, a.af2, a.crs, a.deltaN, a.m0, a.cuc, a.ecc, a.cus, a.sqrtA, a.toe,
                               a.cic, a.omega0, a.cis, a.i0, a.crc, a.omega, a.omegaDot, a.idot, a.accuracy, a.tgd,
                               a.transmissionTime, a.fitInterval};
        const double got[] = {b.af0, b.af1, b.af2, b.crs, b.deltaN, b.m0, b.cuc, b.ecc, b.cus, b.sqrtA, b.toe,
                              b.cic, b.omega0, b.cis, b.i0, b.crc, b.omega, b.omegaDot, b.idot, b.accuracy, b.tgd,
                              b.transmissionTime, b.fitInterval};
        for (std::size_t k = 0; k < std::size(want); ++k) EXPECT_EQ(got[k], want[k]) << "value " << k;
        EXPECT_EQ(b.iode, a.iode);
        EXPECT_EQ(b.l2Codes, a.l2Codes);
        EXPECT_EQ(b.week, a.week);
        EXPECT_EQ(b.l2PFlag, a.l2PFlag);
        EXPECT_EQ(b.health, a.health);
        EXPECT_EQ(b.iodc, a.iodc);
    }
}

TEST(RinexNavWriter, StationFileReadsBackAsVersion304) { ExpectRoundTrip(RinexVersion::k304); }
TEST(RinexNavWriter, StationFileReadsBackAsVersion211) { ExpectRoundTrip(RinexVersion::k211); }

TEST(RinexNavWriter, RecordLayoutOfBothVersions) {
    const RinexGpsEphemeris e = FromRecord(StationFile().front());
    struct Case {
        RinexVersion version;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {RinexVersion::k304,
         {"G01 2005 04 02 02 00 00 3.966595977540E-04 1.705302565820E-12 0.000000000000E+00",
          "     1.400000000000E+02-5.218750000000E+01 4.026596389650E-09 2.871534990340E+00",
          "    -2.676621079440E-06 5.957618006510E-03 4.174187779430E-06 5.153636478420E+03",
          "     5.256000000000E+05 1.061707735060E-07-2.493184817740E+00-9.313225746150E-08",
          "     9.833919144490E-01 3.093750000000E+02-1.650496813270E+00-7.889971342930E-09",
          "    -8.571785642400E-12 1.000000000000E+00 1.316000000000E+03 0.000000000000E+00",
          "     1.000000000000E+00 0.000000000000E+00-3.259629011150E-09 3.960000000000E+02",
          "     5.195760000000E+05 0.000000000000E+00"}},
        {RinexVersion::k211,
         {" 1 05  4  2  2  0  0.0 3.966595977540D-04 1.705302565820D-12 0.000000000000D+00",
          "    1.400000000000D+02-5.218750000000D+01 4.026596389650D-09 2.871534990340D+00",
          "   -2.676621079440D-06 5.957618006510D-03 4.174187779430D-06 5.153636478420D+03",
          "    5.256000000000D+05 1.061707735060D-07-2.493184817740D+00-9.313225746150D-08",
          "    9.833919144490D-01 3.093750000000D+02-1.650496813270D+00-7.889971342930D-09",
          "   -8.571785642400D-12 1.000000000000D+00 1.316000000000D+03 0.000000000000D+00",
          "    1.000000000000D+00 0.000000000000D+00-3.259629011150D-09 3.960000000000D+02",
          "    5.195760000000D+05 0.000000000000D+00"}},
    };
    for (const Case& c : cases) {
        std::string text;
        ASSERT_TRUE(AppendRinexNavRecord(text, c.version, e));
        std::string want;
        for (const std::string& line : c.lines) want += line + "\n";
        EXPECT_EQ(text, want);
    }
}

TEST(RinexNavWriter, HeadersOfBothVersions) {
    RinexNavHeader h;
    h.program = "kestrel 0.1.0";
    h.comments = {"from a NavCom log"};
    h.leapSeconds = 18;
    std::string v304, v211;
    AppendRinexNavHeader(v304, h);
    h.version = RinexVersion::k211;
    h.leapSeconds.reset();
    AppendRinexNavHeader(v211, h);
    const std::string pgm = "kestrel 0.1.0" + std::string(47, ' ') + "PGM / RUN BY / DATE \n";
    const std::string comment = "from a NavCom log" + std::string(43, ' ') + "COMMENT             \n";
    const std::string end = std::string(60, ' ') + "END OF HEADER       \n";
    EXPECT_EQ(v304, "     3.04           N: GNSS NAV DATA    G: GPS              RINEX VERSION / TYPE\n" + pgm + comment +
                        "    18" + std::string(54, ' ') + "LEAP SECONDS        \n" + end);
    EXPECT_EQ(v211, "     2.11           N: GPS NAV DATA                         RINEX VERSION / TYPE\n" + pgm + comment + end);
}

TEST(RinexNavWriter, ClockEpochIsInTheWeekOfToeNearTheTransmissionTime) {
    struct Case {
        const char* what;
        int week;
        double toc, transmission;
        const char* head;  // first 23 columns of the 3.04 record
    };
    const Case cases[] = {
        {"same day", 1316, 525600.0, 519576.0, "G01 2005 04 02 02 00 00"},
        // Toe at the start of week 1317, sent on the Saturday before (negative time of week).
        {"sent the week before", 1317, 0.0, -6000.0, "G01 2005 04 03 00 00 00"},
        // A clock reference at the end of the week before, in an ephemeris given week 1317.
        {"Toc in the week before", 1317, 597600.0, -6000.0, "G01 2005 04 02 22 00 00"},
        {"Toc in the week after", 1316, 0.0, 602000.0, "G01 2005 04 03 00 00 00"},
    };
    for (const Case& c : cases) {
        RinexGpsEphemeris e = FromRecord(StationFile().front());
        e.week = c.week;
        e.tocS = c.toc;
        e.transmissionS = c.transmission;
        std::string text;
        ASSERT_TRUE(AppendRinexNavRecord(text, RinexVersion::k304, e)) << c.what;
        EXPECT_EQ(text.substr(0, 23), c.head) << c.what;
    }
}

TEST(RinexNavWriter, RefusesRecordsItCannotWrite) {
    struct Case {
        const char* what;
        void (*change)(RinexGpsEphemeris&);
    };
    const Case cases[] = {
        {"PRN 0", [](RinexGpsEphemeris& e) { e.prn = 0; }},
        {"PRN 100", [](RinexGpsEphemeris& e) { e.prn = 100; }},
        {"negative week", [](RinexGpsEphemeris& e) { e.week = -1; }},
        {"value too large", [](RinexGpsEphemeris& e) { e.crsM = 1e120; }},
        {"value not a number", [](RinexGpsEphemeris& e) { e.idotRadPerS = std::numeric_limits<double>::quiet_NaN(); }},
        {"Toc not a number", [](RinexGpsEphemeris& e) { e.tocS = std::numeric_limits<double>::infinity(); }},
        {"Toc absurd", [](RinexGpsEphemeris& e) { e.tocS = 1e300; }},
        {"week far ahead", [](RinexGpsEphemeris& e) { e.week = 2000000000; }},
    };
    for (const Case& c : cases) {
        RinexGpsEphemeris e = FromRecord(StationFile().front());
        c.change(e);
        std::string text = "kept";
        EXPECT_FALSE(AppendRinexNavRecord(text, RinexVersion::k211, e)) << c.what;
        EXPECT_EQ(text, "kept") << c.what;
    }
}

TEST(RinexNavWriter, UraIndexToMetres) {
    const double metres[] = {2.0, 2.8, 4.0, 5.7, 8.0, 11.3, 16.0, 32.0, 64.0, 128.0, 256.0, 512.0, 1024.0, 2048.0, 4096.0};
    for (int index = 0; index < 15; ++index) EXPECT_EQ(RinexUraMetres(index), metres[index]) << index;
    // 15: no accuracy prediction. The value lies past index 14's range (up to 6144 m), so a
    // reader that turns metres back into an index finds 15 again.
    EXPECT_GT(RinexUraMetres(15), 6144.0);
    EXPECT_EQ(RinexUraMetres(-1), RinexUraMetres(15));
    EXPECT_EQ(RinexUraMetres(16), RinexUraMetres(15));
}

TEST(RinexNavWriter, FitIntervalFromFlagAndIodc) {
    struct Case {
        int flag, iodc;
        double hours;
    };
    const Case cases[] = {
        {0, 240, 4.0},  {0, 12, 4.0},    {1, 12, 6.0},    {1, 239, 6.0},   {1, 240, 8.0},  {1, 247, 8.0},
        {1, 248, 14.0}, {1, 255, 14.0},  {1, 256, 6.0},   {1, 495, 6.0},   {1, 496, 14.0}, {1, 497, 26.0},
        {1, 503, 26.0}, {1, 504, 50.0},  {1, 510, 50.0},  {1, 511, 74.0},  {1, 512, 6.0},  {1, 751, 6.0},
        {1, 752, 74.0}, {1, 756, 74.0},  {1, 757, 98.0},  {1, 758, 6.0},   {1, 1020, 6.0}, {1, 1021, 26.0},
        {1, 1023, 26.0},
    };
    for (const Case& c : cases) EXPECT_EQ(RinexFitIntervalHours(c.flag, c.iodc), c.hours) << c.flag << " " << c.iodc;
}

}  // namespace
}  // namespace kestrel
