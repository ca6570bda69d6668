// SPDX-License-Identifier: BSD-2-Clause
// The tools' readers on RINEX 3 files: GPS codes under their RINEX 2 names, other systems'
// satellites and records skipped, events that change the types, and the faults reported.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rinex_out/rinex_nav_writer.h"
#include "rinex/rinex_nav.h"
#include "rinex/rinex_obs.h"

namespace kestrel::rinex {
namespace {

std::string HeaderLine(const std::string& content, const std::string& label) {
    return content + std::string(60 - content.size(), ' ') + label + "\n";
}

const std::string kMixedHeader =
    HeaderLine("     3.04           OBSERVATION DATA    M: Mixed", "RINEX VERSION / TYPE") +
    HeaderLine("TEST", "MARKER NAME") +
    HeaderLine("E   14 C1C L1C D1C S1C C5Q L5Q D5Q S5Q C7Q L7Q D7Q S7Q C8Q", "SYS / # / OBS TYPES") +
    HeaderLine("       L8Q", "SYS / # / OBS TYPES") +
    HeaderLine("G    6 C1C L1C C2L L2L C2W L2W", "SYS / # / OBS TYPES") +
    HeaderLine("R    2 C1C L1C", "SYS / # / OBS TYPES") +
    HeaderLine("    30.000", "INTERVAL") + HeaderLine("", "END OF HEADER");

TEST(Rinex3ObsReader, KeepsGpsSatellitesWithRinex2Names) {
    std::string text = kMixedHeader;
    text += "> 2019 04 07 00 00  0.0000000  0  3       0.000000123000\n";
    text += "G05  20000000.000 7 105000000.00016  20000001.000    80000000.000    20000002.000 5  80000001.000\n";
    text += "R07  19000000.000   100000000.000\n";
    text += "E11  23000000.000   120000000.000\n";
    // An event: a comment and a new GPS list; the epochs after it have two types.
    text += ">                              4  2\n";
    text += HeaderLine("A COMMENT", "COMMENT");
    text += HeaderLine("G    2 C1C L1C", "SYS / # / OBS TYPES");
    text += "> 2019 04 07 00 00 30.0000000  1  2\n";
    text += "R01  19000000.000   100000000.000\n";
    text += "G01  21000000.5004\n";
    ObsFile obs;
    std::string error;
    ASSERT_TRUE(ParseObsText(text, "m.rnx", obs, error)) << error;
    EXPECT_EQ(obs.header.system, 'M');
    EXPECT_EQ(obs.header.markerName, "TEST");
    EXPECT_DOUBLE_EQ(obs.header.interval, 30.0);
    EXPECT_EQ(obs.header.codes, (std::vector<std::string>{"C1C", "L1C", "C2L", "L2L", "C2W", "L2W"}));
    // C2L and L2L take C2 and L2; L2W finds L2 taken and keeps its code.
    EXPECT_EQ(obs.header.types, (std::vector<std::string>{"C1", "L1", "C2", "L2", "P2", "L2W"}));
    ASSERT_EQ(obs.epochs.size(), 2u);

    const ObsEpoch& first = obs.epochs[0];
    EXPECT_EQ(first.time.week, 2048);
    EXPECT_DOUBLE_EQ(first.time.sow, 0.0);
    EXPECT_TRUE(first.hasClockOffset);
    EXPECT_DOUBLE_EQ(first.clockOffset, 1.23e-7);
    ASSERT_EQ(first.satellites.size(), 1u);  // R07 and E11 are left out
    const ObsSatellite& g05 = first.satellites[0];
    EXPECT_EQ(g05.system, 'G');
    EXPECT_EQ(g05.prn, 5);
    ASSERT_EQ(g05.values.size(), 6u);
    EXPECT_DOUBLE_EQ(g05.values[0].value, 20000000.0);
    EXPECT_EQ(g05.values[0].strength, 7);
    EXPECT_EQ(g05.values[1].lli, 1);
    EXPECT_EQ(g05.values[1].strength, 6);
    EXPECT_DOUBLE_EQ(g05.values[4].value, 20000002.0);
    EXPECT_EQ(g05.values[4].strength, 5);
    EXPECT_DOUBLE_EQ(g05.values[5].value, 80000001.0);

    const ObsEpoch& second = obs.epochs[1];
    EXPECT_EQ(second.flag, 1);
    EXPECT_FALSE(second.hasClockOffset);
    ASSERT_EQ(second.satellites.size(), 1u);
    EXPECT_EQ(second.satellites[0].prn, 1);
    ASSERT_EQ(second.satellites[0].values.size(), 2u);
    EXPECT_EQ(second.satellites[0].values[0].lli, 4);
    EXPECT_FALSE(second.satellites[0].values[1].present);
    EXPECT_EQ(obs.TypesOf(0).size(), 6u);
    EXPECT_EQ(obs.TypesOf(1), (std::vector<std::string>{"C1", "L1"}));
}

TEST(Rinex3ObsReader, ReportsWhereAFileIsWrong) {
    struct Case {
        const char* what;
        std::string text;
        const char* expected;
    };
    std::string noGps = kMixedHeader;
    noGps.erase(noGps.find("G    6"), 81);
    std::string version4 = kMixedHeader;
    version4.replace(0, 9, "     4.01");
    const Case cases[] = {
        {"no GPS types", noGps, "no complete GPS SYS / # / OBS TYPES"},
        {"version 4", version4, "only RINEX versions 2 and 3"},
        {"no record identifier", kMixedHeader + "  2019 04 07 00 00  0.0000000  0  1\nG01  1.000\n",
         "m.rnx:9: unreadable epoch line"},
        {"cut short", kMixedHeader + "> 2019 04 07 00 00  0.0000000  0  2\nG01  1.000\n", "file ends inside the epoch record"},
        {"bad time", kMixedHeader + "> 2019 13 07 00 00  0.0000000  0  1\nG01  1.000\n", "unreadable epoch time"},
        {"bad value", kMixedHeader + "> 2019 04 07 00 00  0.0000000  0  1\nG01  1.0x0\n",
         "m.rnx:10: unreadable observation in columns 4..17"},
        {"continuation without record",
         HeaderLine("     3.04           OBSERVATION DATA    G: GPS", "RINEX VERSION / TYPE") +
             HeaderLine("       L8Q", "SYS / # / OBS TYPES"),
         "continuation line without its record"},
    };
    for (const Case& c : cases) {
        ObsFile obs;
        std::string error;
        EXPECT_FALSE(ParseObsText(c.text, "m.rnx", obs, error)) << c.what;
        EXPECT_NE(error.find(c.expected), std::string::npos) << c.what << ": " << error;
    }
}

TEST(Rinex3NavReader, SkipsTheRecordsOfOtherSystems) {
    RinexGpsEphemeris e;
    e.prn = 7;
    e.week = 2048;
    e.tocS = 7200.0;
    e.toeS = 7200.0;
    e.transmissionS = 1800.0;
    e.sqrtAM = 5153.6;
    e.iodc = 33;
    e.fitIntervalH = 4.0;
    std::string gps;
    ASSERT_TRUE(AppendRinexNavRecord(gps, RinexVersion::k304, e));
    const std::string values = "    1.000000000000E+00 2.000000000000E+00 3.000000000000E+00 4.000000000000E+00\n";
    const std::string glonass = "R05 2019 04 07 00 15 00 1.000000000000E-05 0.000000000000E+00 0.000000000000E+00\n" +
                                values + values + values;
    std::string galileo = "E11 2019 04 07 00 10 00 1.000000000000E-05 0.000000000000E+00 0.000000000000E+00\n";
    for (int k = 0; k < 7; ++k) galileo += values;
    const std::string header = HeaderLine("     3.04           N: GNSS NAV DATA    M: Mixed", "RINEX VERSION / TYPE") +
                               HeaderLine("", "END OF HEADER");
    std::vector<NavRecord> records;
    std::string error;
    ASSERT_TRUE(ParseNavText(header + glonass + gps + galileo + glonass, "m.rnx", records, error)) << error;
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].prn, 7);
    EXPECT_EQ(records[0].tocWeek, 2048);
    EXPECT_DOUBLE_EQ(records[0].toc, 7200.0);
    EXPECT_DOUBLE_EQ(records[0].sqrtA, 5153.6);
    EXPECT_EQ(records[0].iodc, 33);
    EXPECT_DOUBLE_EQ(records[0].transmissionTime, 1800.0);
    EXPECT_DOUBLE_EQ(records[0].fitInterval, 4.0);

    const std::string glonassOnly =
        HeaderLine("     3.04           N: GNSS NAV DATA    R: GLONASS", "RINEX VERSION / TYPE") +
        HeaderLine("", "END OF HEADER");
    EXPECT_FALSE(ParseNavText(glonassOnly, "r.rnx", records, error));
    EXPECT_NE(error.find("not a GPS navigation file"), std::string::npos) << error;
}

}  // namespace
}  // namespace kestrel::rinex
