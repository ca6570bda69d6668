// SPDX-License-Identifier: BSD-2-Clause
// RINEX file names: long (RINEX 3) and short (RINEX 2) names, periods and frequencies.
#include <gtest/gtest.h>

#include <string>

#include "rinex_out/rinex_names.h"

namespace kestrel {
namespace {

RinexNameParts Parts(const std::string& marker, CalendarTime first, double spanS, double intervalS) {
    RinexNameParts p;
    p.marker = marker;
    p.first = GpsTimeFromCalendar(first.year, first.month, first.day, first.hour, first.minute, first.second);
    p.last = GpsTimeFromTotal(p.first.Total() + spanS);
    p.intervalS = intervalS;
    return p;
}

TEST(RinexNames, LongAndShortNames) {
    struct Case {
        const char* what;
        RinexNameParts parts;
        const char* obsLong;
        const char* navLong;
        const char* obsShort;
        const char* navShort;
    };
    RinexNameParts japan = Parts("0759", {2005, 4, 2, 0, 0, 0.0}, 86370.0, 30.0);
    japan.country = "jpn";
    const Case cases[] = {
        {"a day at 30 s", japan, "075900JPN_R_20050920000_01D_30S_GO.rnx", "075900JPN_R_20050920000_01D_GN.rnx",
         "07590920.05o", "07590920.05n"},
        // A short marker is filled with zeros, not with X: a real station must not look like
        // a placeholder.
        {"an hour at 1 Hz, a short marker", Parts("gsi", {2010, 7, 1, 13, 0, 0.0}, 3599.0, 1.0),
         "GSI000XXX_R_20101821300_01H_01S_GO.rnx", "GSI000XXX_R_20101821300_01H_GN.rnx", "gsi0182n.10o",
         "gsi0182n.10n"},
        {"a quarter hour at 5 Hz", Parts("Station-A", {2024, 12, 31, 23, 45, 0.0}, 899.8, 0.2),
         "STAT00XXX_R_20243662345_15M_05Z_GO.rnx", "STAT00XXX_R_20243662345_15M_GN.rnx", "stat366x.24o",
         "stat366x.24n"},
        {"a quarter hour at 10 Hz", Parts("s02", {2024, 1, 1, 0, 15, 0.0}, 899.9, 0.1),
         "S02000XXX_R_20240010015_15M_10Z_GO.rnx", "S02000XXX_R_20240010015_15M_GN.rnx", "s020001a.24o",
         "s020001a.24n"},
        {"two days, no interval, no marker", Parts("", {2019, 4, 6, 12, 30, 0.0}, 1.5 * 86400.0, 0.0),
         "UNK000XXX_R_20190961230_02D_00U_GO.rnx", "UNK000XXX_R_20190961230_02D_GN.rnx", "unk00960.19o",
         "unk00960.19n"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(RinexLongName(c.parts, RinexFileKind::kObservation), c.obsLong) << c.what;
        EXPECT_EQ(RinexLongName(c.parts, RinexFileKind::kNavigation), c.navLong) << c.what;
        EXPECT_EQ(RinexShortName(c.parts, RinexFileKind::kObservation), c.obsShort) << c.what;
        EXPECT_EQ(RinexShortName(c.parts, RinexFileKind::kNavigation), c.navShort) << c.what;
    }
}

TEST(RinexNames, TheNineCharacterIdNamesTheStationWhenGiven) {
    struct Case {
        const char* what;
        const char* stationId;
        const char* obsLong;
        const char* obsShort;
    };
    const Case cases[] = {
        {"a site log's ID", "abmf00glp", "ABMF00GLP_R_20050920000_01D_30S_GO.rnx", "abmf0920.05o"},
        {"monument and receiver digits", "KSTR12DEU", "KSTR12DEU_R_20050920000_01D_30S_GO.rnx", "kstr0920.05o"},
        // Not a nine-character ID: the marker and country name the files.
        {"too short", "ABMF00", "075900JPN_R_20050920000_01D_30S_GO.rnx", "07590920.05o"},
        {"letters where the monument goes", "ABMFX0GLP", "075900JPN_R_20050920000_01D_30S_GO.rnx", "07590920.05o"},
    };
    for (const Case& c : cases) {
        RinexNameParts p = Parts("0759", {2005, 4, 2, 0, 0, 0.0}, 86370.0, 30.0);
        p.country = "JPN";
        p.stationId = c.stationId;
        EXPECT_EQ(RinexLongName(p, RinexFileKind::kObservation), c.obsLong) << c.what;
        EXPECT_EQ(RinexShortName(p, RinexFileKind::kObservation), c.obsShort) << c.what;
    }
}

TEST(RinexNames, SessionLetterIsTheHourOfAnHourlyFile) {
    for (int hour = 0; hour < 24; ++hour) {
        const std::string name = RinexShortName(Parts("abcd", {2005, 4, 2, hour, 0, 0.0}, 3599.0, 1.0), RinexFileKind::kObservation);
        EXPECT_EQ(name[7], static_cast<char>('a' + hour)) << name;
    }
    // Time tags a few milliseconds off the hour still make an hourly file; more than an hour
    // of data is a day's session.
    EXPECT_EQ(RinexShortName(Parts("abcd", {2005, 4, 2, 5, 0, 0.0}, 3570.005, 30.0), RinexFileKind::kObservation)[7], 'f');
    EXPECT_EQ(RinexShortName(Parts("abcd", {2005, 4, 2, 5, 0, 0.0}, 3602.0, 1.0), RinexFileKind::kObservation)[7], '0');
}

TEST(RinexNames, PeriodIsTheSmallestThatHoldsTheSpan) {
    struct Case {
        double spanS;
        const char* code;
    };
    // A second of slack: receiver time tags stray from the grid by milliseconds.
    const Case cases[] = {{0.0, "15M"},       {900.0, "15M"},      {900.5, "15M"},      {901.5, "01H"},
                          {3600.0, "01H"},    {3600.005, "01H"},   {3601.5, "01D"},     {86400.0, "01D"},
                          {86401.0, "01D"},   {86402.0, "02D"},    {7 * 86400.0, "07D"},
                          {99 * 86400.0, "99D"}, {100 * 86400.0, "00U"}, {-1.0, "00U"}};
    for (const Case& c : cases) EXPECT_EQ(RinexPeriodCode(c.spanS), c.code) << c.spanS;
}

TEST(RinexNames, FrequencyFromTheInterval) {
    struct Case {
        double intervalS;
        const char* code;
    };
    const Case cases[] = {{0.01, "00U"}, {0.02, "50Z"}, {0.1, "10Z"},  {0.2, "05Z"},  {0.5, "02Z"},
                          {0.3, "00U"},  {1.0, "01S"},  {15.0, "15S"}, {30.0, "30S"}, {60.0, "01M"},
                          {90.0, "90S"}, {120.0, "02M"}, {150.0, "00U"}, {3600.0, "01H"}, {86400.0, "01D"},
                          {1.5, "00U"},  {0.0, "00U"}};
    for (const Case& c : cases) EXPECT_EQ(RinexFrequencyCode(c.intervalS), c.code) << c.intervalS;
}

}  // namespace
}  // namespace kestrel
