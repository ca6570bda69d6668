// SPDX-License-Identifier: BSD-2-Clause
// RINEX 2 readers: the real files at hand, and the faults a reader must report rather than
// turn into wrong numbers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rinex/gps_time.h"
#include "rinex/rinex_nav.h"
#include "rinex/rinex_obs.h"
#include "rinex/rinex_text.h"
#include "support/test_files.h"

namespace kestrel::rinex {
namespace {

TEST(GpsTime, CalendarDatesGiveWeekAndSecondsOfWeek) {
    struct Case {
        int year, month, day, hour, minute;
        double second;
        int week;
        double sow;
    };
    const Case cases[] = {
        {80, 1, 6, 0, 0, 0.0, 0, 0.0},                  // start of GPS time
        {1999, 8, 21, 23, 59, 47.0, 1023, 604787.0},    // just before the first week rollover
        {99, 8, 22, 0, 0, 0.0, 1024, 0.0},
        {5, 4, 2, 0, 0, 30.005, 1316, 518430.005},      // a Saturday
        {10, 7, 1, 0, 0, 0.0, 1590, 345600.0},          // a Thursday
        {2000, 2, 29, 12, 0, 0.0, 1051, 216000.0},      // leap day, a Tuesday
    };
    for (const Case& c : cases) {
        const GpsTime t = GpsTimeFromCalendar(c.year, c.month, c.day, c.hour, c.minute, c.second);
        EXPECT_EQ(t.week, c.week) << c.year << "-" << c.month << "-" << c.day;
        EXPECT_NEAR(t.sow, c.sow, 1e-9) << c.year << "-" << c.month << "-" << c.day;
        const GpsTime back = GpsTimeFromTotal(t.Total());
        EXPECT_EQ(back.week, c.week);
        EXPECT_NEAR(back.sow, c.sow, 1e-6);
    }
}

TEST(Fields, NumbersAreReadWholeOrRefused) {
    struct Case {
        const char* field;
        bool realRead;
        double real;
        bool intRead;
        int integer;
    };
    const Case cases[] = {
        {"", true, 0.0, true, 0},
        {"   ", true, 0.0, true, 0},
        {"  42  ", true, 42.0, true, 42},
        {"-7", true, -7.0, true, -7},
        {" 0.5D+01", true, 5.0, false, 0},    // Fortran exponent: a real, never an integer
        {"1.25d-2", true, 0.0125, false, 0},
        {"2.5E1", true, 25.0, false, 0},
        {"12 3", false, 0.0, false, 0},       // two numbers in one field
        {"4x", false, 0.0, false, 0},
        {"x", false, 0.0, false, 0},
        {"1e999", false, 0.0, false, 0},      // out of range
        {"2147483647", true, 2147483647.0, true, 2147483647},
        {"2147483648", true, 2147483648.0, false, 0},
        {"-2147483648", true, -2147483648.0, false, 0},
        {"99999999999999999999", true, 1e20, false, 0},
        {"nan", false, 0.0, false, 0},
        {"inf", false, 0.0, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("field '") + c.field + "'");
        double real = -1.0;
        EXPECT_EQ(ParseReal(c.field, real), c.realRead);
        if (c.realRead) EXPECT_DOUBLE_EQ(real, c.real);
        int integer = -1;
        EXPECT_EQ(ParseInt(c.field, integer), c.intRead);
        if (c.intRead) EXPECT_EQ(integer, c.integer);
    }
    // A field of 64 characters or more is no number, whatever it holds.
    const std::string longField = std::string(63, ' ') + "1";
    double real = 0.0;
    int integer = 0;
    EXPECT_FALSE(ParseReal(longField, real));
    EXPECT_FALSE(ParseInt(longField, integer));
    EXPECT_TRUE(ParseReal(longField.substr(1), real));
    EXPECT_EQ(real, 1.0);
    EXPECT_TRUE(ParseInt(longField.substr(1), integer));
    EXPECT_EQ(integer, 1);
}

TEST(NavReader, ReadsTheStationFile) {
    std::vector<NavRecord> records;
    std::string error;
    ASSERT_TRUE(ReadNavFile(test::DataPath("rinex/07590920.05n"), records, error)) << error;
    ASSERT_EQ(records.size(), 162u);
    // The first record, value by value.
    const NavRecord& r = records.front();
    EXPECT_EQ(r.prn, 1);
    EXPECT_EQ(r.tocWeek, 1316);
    EXPECT_DOUBLE_EQ(r.toc, 525600.0);  // 2005-04-02 02:00
    EXPECT_DOUBLE_EQ(r.af0, 3.966595977540e-04);
    EXPECT_DOUBLE_EQ(r.af1, 1.705302565820e-12);
    EXPECT_DOUBLE_EQ(r.af2, 0.0);
    EXPECT_EQ(r.iode, 140);
    EXPECT_DOUBLE_EQ(r.crs, -5.218750000000e+01);
    EXPECT_DOUBLE_EQ(r.deltaN, 4.026596389650e-09);
    EXPECT_DOUBLE_EQ(r.m0, 2.871534990340e+00);
    EXPECT_DOUBLE_EQ(r.cuc, -2.676621079440e-06);
    EXPECT_DOUBLE_EQ(r.ecc, 5.957618006510e-03);
    EXPECT_DOUBLE_EQ(r.cus, 4.174187779430e-06);
    EXPECT_DOUBLE_EQ(r.sqrtA, 5.153636478420e+03);
    EXPECT_DOUBLE_EQ(r.toe, 525600.0);
    EXPECT_DOUBLE_EQ(r.cic, 1.061707735060e-07);
    EXPECT_DOUBLE_EQ(r.omega0, -2.493184817740e+00);
    EXPECT_DOUBLE_EQ(r.cis, -9.313225746150e-08);
    EXPECT_DOUBLE_EQ(r.i0, 9.833919144490e-01);
    EXPECT_DOUBLE_EQ(r.crc, 3.093750000000e+02);
    EXPECT_DOUBLE_EQ(r.omega, -1.650496813270e+00);
    EXPECT_DOUBLE_EQ(r.omegaDot, -7.889971342930e-09);
    EXPECT_DOUBLE_EQ(r.idot, -8.571785642400e-12);
    EXPECT_EQ(r.l2Codes, 1);
    EXPECT_EQ(r.week, 1316);
    EXPECT_EQ(r.l2PFlag, 0);
    EXPECT_DOUBLE_EQ(r.accuracy, 1.0);
    EXPECT_EQ(r.health, 0);
    EXPECT_DOUBLE_EQ(r.tgd, -3.259629011150e-09);
    EXPECT_EQ(r.iodc, 396);
    EXPECT_DOUBLE_EQ(r.transmissionTime, 519576.0);
    EXPECT_DOUBLE_EQ(r.fitInterval, 0.0);
    // The second record has a clock epoch at midnight (start of the Saturday).
    EXPECT_EQ(records[1].prn, 3);
    EXPECT_DOUBLE_EQ(records[1].toc, 518400.0);
    EXPECT_DOUBLE_EQ(records[1].transmissionTime, 511218.0);
}

TEST(NavReader, ReadsTheMergedBroadcastFile) {
    std::vector<NavRecord> records;
    std::string error;
    ASSERT_TRUE(ReadNavFile(test::DataPath("orbits/brdc1820.10n"), records, error)) << error;
    ASSERT_EQ(records.size(), 421u);
    const NavRecord& r = records.front();
    EXPECT_EQ(r.prn, 1);
    EXPECT_EQ(r.week, 1590);
    EXPECT_DOUBLE_EQ(r.toc, 345600.0);
    EXPECT_DOUBLE_EQ(r.af0, -0.136290676892e-03);
    EXPECT_DOUBLE_EQ(r.m0, -0.307674634178e+01);
    EXPECT_DOUBLE_EQ(r.accuracy, 2.0);
    EXPECT_EQ(r.health, 63);  // PRN 1 was set unhealthy that day
    EXPECT_DOUBLE_EQ(r.fitInterval, 0.0);
    EXPECT_DOUBLE_EQ(r.transmissionTime, 341670.0);
    for (const NavRecord& n : records) {
        EXPECT_GE(n.prn, 1);
        EXPECT_LE(n.prn, 32);
        EXPECT_EQ(n.week, 1590);
    }
}

TEST(NavReader, ConvertsToTheLibraryRecordWithoutQuantising) {
    std::vector<NavRecord> records;
    std::string error;
    ASSERT_TRUE(ReadNavFile(test::DataPath("rinex/07590920.05n"), records, error)) << error;
    const NavRecord& n = records.front();
    // The record is packed: its doubles are compared as copies, never through references.
    const GpsEphRecord e = ToGpsEphRecord(n);
    EXPECT_EQ(e.Prn, 1);
    EXPECT_EQ(e.Week, 1316 - 1024);
    EXPECT_EQ(e.Filler, 9999);
    EXPECT_EQ(e.Toc, 525600);
    EXPECT_EQ(e.Toe, 525600);
    EXPECT_EQ(e.Iode, 140);
    EXPECT_EQ(e.Iodc, 396);
    EXPECT_EQ(static_cast<double>(e.Tgd), n.tgd);
    EXPECT_EQ(static_cast<double>(e.Af0), n.af0);
    EXPECT_EQ(static_cast<double>(e.Af1), n.af1);
    EXPECT_EQ(static_cast<double>(e.Af2), n.af2);
    EXPECT_EQ(static_cast<double>(e.M0), n.m0);
    EXPECT_EQ(static_cast<double>(e.DeltaN), n.deltaN);
    EXPECT_EQ(static_cast<double>(e.Ecc), n.ecc);
    EXPECT_EQ(static_cast<double>(e.SqrtA), n.sqrtA);
    EXPECT_EQ(static_cast<double>(e.Cic), n.cic);
    EXPECT_EQ(static_cast<double>(e.Crc), n.crc);
    EXPECT_EQ(static_cast<double>(e.Cis), n.cis);
    EXPECT_EQ(static_cast<double>(e.Crs), n.crs);
    EXPECT_EQ(static_cast<double>(e.Cuc), n.cuc);
    EXPECT_EQ(static_cast<double>(e.Cus), n.cus);
    EXPECT_EQ(static_cast<double>(e.Omega0), n.omega0);
    EXPECT_EQ(static_cast<double>(e.Omega), n.omega);
    EXPECT_EQ(static_cast<double>(e.I0), n.i0);
    EXPECT_EQ(static_cast<double>(e.OmegaDot), n.omegaDot);
    EXPECT_EQ(static_cast<double>(e.Idot), n.idot);
}

const char* const kNavHeader =
    "     2              NAVIGATION DATA                         RINEX VERSION / TYPE\n"
    "                                                            END OF HEADER\n";
const char* const kNavRecord =
    " 3 05  4  2  0  0  0.0 9.673088788990D-05 3.069544618480D-12 0.000000000000D+00\n"
    "    8.300000000000D+01 1.968750000000D+01 5.376652456590D-09 2.471116819930D+00\n"
    "    1.018866896630D-06 6.735791102980D-03 7.564201951030D-06 5.153730749130D+03\n"
    "    5.184000000000D+05-1.005828380580D-07 5.354931929380D-01-6.519258022310D-08\n"
    "    9.274337998890D-01 2.158750000000D+02 6.038989687590D-01-8.278916219240D-09\n"
    "   -1.525063547670D-10 1.000000000000D+00 1.316000000000D+03 0.000000000000D+00\n"
    "    0.000000000000D+00 0.000000000000D+00-4.190951585770D-09 5.950000000000D+02\n"
    "    5.112180000000D+05\n";

TEST(NavReader, AcceptsCrLfLowerCaseExponentsAndBlankTrailingFields) {
    std::string lower = kNavRecord;
    for (char& c : lower) {
        if (c == 'D') c = 'd';
    }
    const std::string text = std::string(kNavHeader) + lower;
    std::string crlf;
    for (char c : text) {
        if (c == '\n') crlf += '\r';
        crlf += c;
    }
    crlf += "\r\n";  // a trailing blank line
    std::vector<NavRecord> records;
    std::string error;
    ASSERT_TRUE(ParseNavText(crlf, "x.05n", records, error)) << error;
    ASSERT_EQ(records.size(), 1u);
    EXPECT_DOUBLE_EQ(records[0].omega0, 5.354931929380e-01);
    EXPECT_DOUBLE_EQ(records[0].transmissionTime, 511218.0);
    EXPECT_DOUBLE_EQ(records[0].fitInterval, 0.0);
}

TEST(NavReader, ReportsWhereAFileIsWrong) {
    struct Case {
        const char* what;
        std::string text;
        const char* expected;  // part of the error text
    };
    std::string badNumber = std::string(kNavHeader) + kNavRecord;
    badNumber.replace(badNumber.find("2.471116819930D+00"), 4, "2.4x");
    std::string observation = std::string(kNavHeader);
    observation[20] = 'O';
    std::string truncated = std::string(kNavHeader) + kNavRecord;
    truncated.resize(truncated.size() - 3 * 81);
    std::string version4 = std::string(kNavHeader) + kNavRecord;
    version4.replace(0, 9, "     4.01");
    const Case cases[] = {
        {"bad number", badNumber, "x.05n:4: unreadable number in columns 61..79"},
        {"observation file", observation, "not a GPS navigation file"},
        {"no header", std::string(kNavRecord), "x.05n:1: not a RINEX file"},
        {"no end of header", std::string(kNavHeader).substr(0, 81), "no END OF HEADER"},
        {"cut short", truncated, "file ends inside the ephemeris of PRN 3"},
        {"version 4", version4, "only RINEX versions 2 and 3"},
    };
    for (const Case& c : cases) {
        std::vector<NavRecord> records;
        std::string error;
        EXPECT_FALSE(ParseNavText(c.text, "x.05n", records, error)) << c.what;
        EXPECT_NE(error.find(c.expected), std::string::npos) << c.what << ": " << error;
    }
    std::vector<NavRecord> records;
    std::string error;
    EXPECT_FALSE(ReadNavFile("/nonexistent/file.05n", records, error));
    EXPECT_NE(error.find("cannot read"), std::string::npos);
}

// ---------------------------------------------------------------------------------------
// Observation files

TEST(ObsReader, ReadsTheStationHour) {
    ObsFile obs;
    std::string error;
    ASSERT_TRUE(ReadObsFile(test::DataPath("rinex/07590920.05o"), obs, error)) << error;
    const ObsHeader& h = obs.header;
    EXPECT_EQ(h.markerName, "0759");
    EXPECT_EQ(h.system, 'G');
    ASSERT_TRUE(h.hasApproxPosition);
    EXPECT_DOUBLE_EQ(h.approxPosition[0], -3976219.5082);
    EXPECT_DOUBLE_EQ(h.approxPosition[1], 3382372.5671);
    EXPECT_DOUBLE_EQ(h.approxPosition[2], 3652512.9849);
    EXPECT_EQ(h.types, (std::vector<std::string>{"L1", "C1", "L2", "P2"}));
    EXPECT_DOUBLE_EQ(h.interval, 30.0);
    // One hour at 30 s; the three file-splice events in the data are not epochs.
    ASSERT_EQ(obs.epochs.size(), 120u);
    EXPECT_TRUE(obs.epochTypes.empty());

    const ObsEpoch& first = obs.epochs.front();
    EXPECT_EQ(first.time.week, 1316);
    EXPECT_DOUBLE_EQ(first.time.sow, 518400.0);
    EXPECT_EQ(first.flag, 0);
    EXPECT_EQ(first.line, 18u);
    ASSERT_EQ(first.satellites.size(), 8u);
    std::vector<int> prns;
    for (const ObsSatellite& s : first.satellites) prns.push_back(s.prn);
    EXPECT_EQ(prns, (std::vector<int>{3, 7, 8, 11, 19, 20, 24, 28}));
    const ObsSatellite& prn3 = first.satellites[0];
    EXPECT_EQ(prn3.system, 'G');
    ASSERT_EQ(prn3.values.size(), 4u);
    EXPECT_DOUBLE_EQ(prn3.values[0].value, 55923622.160);
    EXPECT_DOUBLE_EQ(prn3.values[1].value, 24767686.375);
    EXPECT_DOUBLE_EQ(prn3.values[2].value, 43647388.242);
    EXPECT_DOUBLE_EQ(prn3.values[3].value, 24767684.822);
    EXPECT_EQ(prn3.values[0].lli, 0);
    EXPECT_EQ(prn3.values[2].lli, 4);  // anti-spoofing on: not a loss of lock
    EXPECT_EQ(prn3.values[3].lli, 4);
    EXPECT_EQ(prn3.values[0].strength, 0);

    const ObsEpoch& last = obs.epochs.back();
    EXPECT_NEAR(last.time.sow, 518400.0 + 3570.005, 1e-9);  // the receiver's epochs drift by ms
    EXPECT_EQ(last.satellites.size(), 9u);

    // 00:15:00: PRN 3, setting, lost lock on L1 and has neither L2 nor P2.
    const ObsEpoch& e = obs.epochs[30];
    ASSERT_NEAR(e.time.sow, 518400.0 + 900.001, 1e-9);
    const ObsSatellite& setting = e.satellites[0];
    EXPECT_EQ(setting.prn, 3);
    EXPECT_TRUE(setting.values[0].present);
    EXPECT_EQ(setting.values[0].lli, 1);
    EXPECT_TRUE(setting.values[1].present);
    EXPECT_FALSE(setting.values[2].present);
    EXPECT_FALSE(setting.values[3].present);
}

const char* const kObsHeader =
    "     2.10           OBSERVATION DATA    M (MIXED)           RINEX VERSION / TYPE\n"
    "TEST                                                        MARKER NAME\n"
    "     6    L1    C1    L2    P2    P1    S1                  # / TYPES OF OBSERV\n"
    "                                                            END OF HEADER\n";

// One satellite's two observation lines for the six types above.
std::string SixValues(double l1, int l1Lli, double c1) {
    char line[200];
    std::snprintf(line, sizeof line, "%14.3f%d %14.3f  %14.3f  %14.3f  %14.3f  \n%14.3f  \n", l1, l1Lli, c1,
                  l1 * 0.779, c1 + 1.0, c1 + 0.5, 45.25);
    return line;
}

TEST(ObsReader, ReadsContinuationLinesEventsAndOtherSystems) {
    std::string text = kObsHeader;
    // 14 satellites: the list goes on over a continuation line; R07 is a GLONASS satellite.
    text += " 05  4  2  0  0  0.0000000  0 14G01G02G03G04G05G06G07G08G09G10G11G12 0.000123456\n";
    text += "                                G13R07\n";
    for (int k = 1; k <= 14; ++k) text += SixValues(1000.0 * k, k == 2 ? 1 : 0, 2.0e7 + k);
    // A power failure epoch, then cycle slip records and a comment event that must be skipped.
    text += " 05  4  2  0  0 30.0000000  1  1  1\n";
    text += SixValues(5.0, 0, 2.1e7);
    text += " 05  4  2  0  0 45.0000000  6  1G01\n";
    text += SixValues(1.0, 1, 2.0e7);
    text += "                            4  2\n";
    text += "A COMMENT                                                   COMMENT\n";
    text += "     2    C1    L1                                          # / TYPES OF OBSERV\n";
    // After the event, two types in a new order.
    text += " 05  4  2  0  1  0.0000000  0  1G05\n";
    text += "  20000005.000          12.500 4\n";
    ObsFile obs;
    std::string error;
    ASSERT_TRUE(ParseObsText(text, "t.05o", obs, error)) << error;
    EXPECT_EQ(obs.header.system, 'M');
    ASSERT_EQ(obs.epochs.size(), 3u);
    const ObsEpoch& e0 = obs.epochs[0];
    ASSERT_EQ(e0.satellites.size(), 14u);
    EXPECT_TRUE(e0.hasClockOffset);
    EXPECT_DOUBLE_EQ(e0.clockOffset, 0.000123456);
    EXPECT_EQ(e0.satellites[12].prn, 13);
    EXPECT_EQ(e0.satellites[13].system, 'R');
    EXPECT_EQ(e0.satellites[13].prn, 7);
    EXPECT_DOUBLE_EQ(e0.satellites[13].values[0].value, 14000.0);
    EXPECT_DOUBLE_EQ(e0.satellites[13].values[5].value, 45.25);  // sixth value, on the second line
    EXPECT_EQ(e0.satellites[1].values[0].lli, 1);
    // A satellite written as " 1" in a mixed file is GPS.
    EXPECT_EQ(obs.epochs[1].flag, 1);
    EXPECT_EQ(obs.epochs[1].satellites[0].system, 'G');
    EXPECT_EQ(obs.epochs[1].satellites[0].prn, 1);
    // The types that apply to each epoch.
    ASSERT_EQ(obs.epochTypes.size(), 3u);
    EXPECT_EQ(obs.TypesOf(0).size(), 6u);
    EXPECT_EQ(obs.TypesOf(2), (std::vector<std::string>{"C1", "L1"}));
    const ObsSatellite& after = obs.epochs[2].satellites[0];
    EXPECT_DOUBLE_EQ(after.values[0].value, 20000005.0);
    EXPECT_DOUBLE_EQ(after.values[1].value, 12.5);
    EXPECT_EQ(after.values[1].lli, 0);
    EXPECT_EQ(after.values[1].strength, 4);
}

TEST(ObsReader, BlankAndZeroFieldsAreMissing) {
    std::string text = kObsHeader;
    text += " 05  4  2  0  0  0.0000000  0  1G01\n";
    text += "                  20000000.000           0.000\n\n";
    ObsFile obs;
    std::string error;
    ASSERT_TRUE(ParseObsText(text, "t.05o", obs, error)) << error;
    const ObsSatellite& s = obs.epochs[0].satellites[0];
    EXPECT_FALSE(s.values[0].present);
    EXPECT_TRUE(s.values[1].present);
    EXPECT_FALSE(s.values[2].present);
    for (std::size_t k = 3; k < 6; ++k) EXPECT_FALSE(s.values[k].present) << k;
}

TEST(ObsReader, ReportsWhereAFileIsWrong) {
    struct Case {
        const char* what;
        std::string text;
        const char* expected;
    };
    const std::string epoch = " 05  4  2  0  0  0.0000000  0  1G01\n";
    const std::string values = SixValues(1.0, 0, 2.0e7);
    std::string badValue = values;
    badValue[5] = 'x';
    std::string noTypes = kObsHeader;
    const std::size_t typesLine = noTypes.find("     6    L1");
    noTypes.erase(typesLine, noTypes.find('\n', typesLine) + 1 - typesLine);
    const Case cases[] = {
        {"short line", kObsHeader + epoch + values.substr(0, 48) + values.substr(values.find('\n')), ""},
        {"no observation lines", kObsHeader + epoch, "t.05o:5: file ends inside the epoch record"},
        {"bad value", kObsHeader + epoch + badValue, "t.05o:6: unreadable observation in columns 1..14"},
        {"bad satellite", std::string(kObsHeader) + " 05  4  2  0  0  0.0000000  0  1G 0\n" + values,
         "t.05o:5: unreadable satellite in columns 33..35"},
        {"bad flag", std::string(kObsHeader) + " 05  4  2  0  0  0.0000000  7  1G01\n" + values, "unreadable epoch flag"},
        {"bad time", std::string(kObsHeader) + " 05 13  2  0  0  0.0000000  0  1G01\n" + values, "unreadable epoch time"},
        {"no types", noTypes, "no complete # / TYPES OF OBSERV"},
        {"navigation file", std::string(kNavHeader), "not an observation file"},
    };
    for (const Case& c : cases) {
        ObsFile obs;
        std::string error;
        const bool ok = ParseObsText(c.text, "t.05o", obs, error);
        if (*c.expected == '\0') {
            // A short last line only leaves the values past its end missing.
            EXPECT_TRUE(ok) << c.what << ": " << error;
            continue;
        }
        EXPECT_FALSE(ok) << c.what;
        EXPECT_NE(error.find(c.expected), std::string::npos) << c.what << ": " << error;
    }
}

}  // namespace
}  // namespace kestrel::rinex
