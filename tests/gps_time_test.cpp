// SPDX-License-Identifier: BSD-2-Clause
// GPS time: calendar dates across the week rollovers, day of year, the leap-second table at
// its boundaries, GPS <-> UTC, and the 10-bit broadcast week.
#include <gtest/gtest.h>

#include <cmath>
#include <tuple>

#include "common/gps_time.h"

namespace kestrel {
namespace {

struct CalendarCase {
    int year, month, day, hour, minute;
    double second;
    int week;
    double sow;
};

TEST(GpsTime, CalendarEpochsGiveWeekAndSecondsAndBack) {
    const CalendarCase cases[] = {
        {1980, 1, 6, 0, 0, 0.0, 0, 0.0},
        {1999, 8, 21, 23, 59, 59.5, 1023, 604799.5},  // last second before the first rollover
        {1999, 8, 22, 0, 0, 0.0, 1024, 0.0},
        {2019, 4, 6, 23, 59, 59.0, 2047, 604799.0},   // before the second rollover
        {2019, 4, 7, 0, 0, 0.0, 2048, 0.0},
        {2000, 2, 29, 12, 0, 0.0, 1051, 216000.0},    // leap day
        {2100, 3, 1, 0, 0, 0.0, 6269, 86400.0},       // 2100 is no leap year
    };
    for (const CalendarCase& c : cases) {
        const GpsTime t = GpsTimeFromCalendar(c.year, c.month, c.day, c.hour, c.minute, c.second);
        EXPECT_EQ(t.week, c.week) << c.year << "-" << c.month << "-" << c.day;
        EXPECT_DOUBLE_EQ(t.sow, c.sow) << c.year << "-" << c.month << "-" << c.day;
        const CalendarTime back = CalendarFromGpsTime(t);
        EXPECT_EQ(std::tie(back.year, back.month, back.day, back.hour, back.minute),
                  std::tie(c.year, c.month, c.day, c.hour, c.minute));
        EXPECT_DOUBLE_EQ(back.second, c.second);
    }
}

TEST(GpsTime, SecondsOutsideTheWeekCountIntoTheWeeksAround) {
    const CalendarTime before = CalendarFromGpsTime({1024, -1.0});
    EXPECT_EQ(before.day, 21);
    EXPECT_EQ(before.hour, 23);
    EXPECT_DOUBLE_EQ(before.second, 59.0);
    // The last double before week 2048 starts, whose quotient by the week rounds up to 2048.
    const GpsTime end = GpsTimeFromTotal(std::nextafter(2048 * kSecondsPerWeek, 0.0));
    EXPECT_EQ(end.week, 2047);
    EXPECT_LT(end.sow, kSecondsPerWeek);
    EXPECT_GT(end.sow, kSecondsPerWeek - 1e-6);
}

TEST(GpsTime, DayOfYear) {
    struct Case {
        int year, month, day, doy;
    };
    const Case cases[] = {{2005, 1, 1, 1}, {2005, 4, 2, 92}, {2004, 12, 31, 366}, {2005, 12, 31, 365},
                          {2000, 3, 1, 61}, {1900, 3, 1, 60}, {2010, 7, 1, 182}};
    for (const Case& c : cases) EXPECT_EQ(DayOfYear(c.year, c.month, c.day), c.doy) << c.year << "-" << c.month;
}

TEST(GpsTime, CivilDaysRoundTripOverCenturies) {
    for (int64_t days = -800000; days <= 800000; days += 997) {
        int y = 0, m = 0, d = 0;
        CivilFromDays(days, y, m, d);
        ASSERT_EQ(DaysFromCivil(y, m, d), days);
    }
}

TEST(LeapSeconds, ChangeAtUtcMidnightOfTheirDays) {
    struct Case {
        int year, month, day, leap;
    };
    const Case cases[] = {
        {1980, 1, 6, 0},   {1981, 6, 30, 0},  {1981, 7, 1, 1},   {1987, 12, 31, 4}, {1988, 1, 1, 5},
        {1998, 12, 31, 12}, {1999, 1, 1, 13}, {2005, 12, 31, 13}, {2006, 1, 1, 14}, {2016, 12, 31, 17},
        {2017, 1, 1, 18},  {2030, 6, 1, 18},
    };
    for (const Case& c : cases) EXPECT_EQ(LeapSecondsAtUtc(c.year, c.month, c.day), c.leap) << c.year << "-" << c.month << "-" << c.day;
}

TEST(LeapSeconds, InGpsTimeTheNewCountStartsLeapSecondsAfterMidnight) {
    // 2017-01-01 00:00:00 UTC is 00:00:18 GPS; the inserted second is 00:00:17 .. 00:00:18 GPS.
    const GpsTime newYear = GpsTimeFromCalendar(2017, 1, 1, 0, 0, 0.0);
    struct Case {
        double offsetS;  // from 2017-01-01 00:00:00 GPS
        int leap;
    };
    const Case cases[] = {{-1.0, 17}, {16.999, 17}, {17.0, 17}, {17.999, 17}, {18.0, 18}, {86400.0, 18}};
    for (const Case& c : cases) {
        EXPECT_EQ(LeapSecondsAtGps(GpsTimeFromTotal(newYear.Total() + c.offsetS)), c.leap) << c.offsetS;
    }
    EXPECT_EQ(LeapSecondsAtGps({0, 0.0}), 0);
    EXPECT_EQ(LeapSecondsAtGps(GpsTimeFromCalendar(1999, 1, 1, 0, 0, 12.999)), 12);
    EXPECT_EQ(LeapSecondsAtGps(GpsTimeFromCalendar(1999, 1, 1, 0, 0, 13.0)), 13);
}

TEST(LeapSeconds, UtcAndGpsConvertBothWaysAcrossAnInsertedSecond) {
    struct Case {
        CalendarTime utc;
        CalendarTime gps;
    };
    const Case cases[] = {
        {{2016, 12, 31, 23, 59, 59.0}, {2017, 1, 1, 0, 0, 16.0}},
        {{2016, 12, 31, 23, 59, 60.0}, {2017, 1, 1, 0, 0, 17.0}},  // the inserted second
        {{2016, 12, 31, 23, 59, 60.5}, {2017, 1, 1, 0, 0, 17.5}},
        {{2017, 1, 1, 0, 0, 0.0}, {2017, 1, 1, 0, 0, 18.0}},
        {{2005, 4, 2, 12, 0, 0.0}, {2005, 4, 2, 12, 0, 13.0}},
        {{1980, 1, 6, 0, 0, 0.0}, {1980, 1, 6, 0, 0, 0.0}},
    };
    for (const Case& c : cases) {
        const GpsTime gps = GpsFromUtc(c.utc);
        const GpsTime want = GpsTimeFromCalendar(c.gps.year, c.gps.month, c.gps.day, c.gps.hour, c.gps.minute, c.gps.second);
        EXPECT_EQ(gps.week, want.week) << c.utc.year << " " << c.utc.second;
        EXPECT_DOUBLE_EQ(gps.sow, want.sow) << c.utc.year << " " << c.utc.second;
        const CalendarTime utc = UtcFromGps(want);
        EXPECT_EQ(utc.year, c.utc.year);
        EXPECT_EQ(utc.month, c.utc.month);
        EXPECT_EQ(utc.day, c.utc.day);
        EXPECT_EQ(utc.hour, c.utc.hour);
        EXPECT_EQ(utc.minute, c.utc.minute);
        EXPECT_DOUBLE_EQ(utc.second, c.utc.second);
    }
}

TEST(BroadcastWeek, ResolvesToTheFullWeekNearestTheReference) {
    struct Case {
        int broadcast, reference, full;
    };
    const Case cases[] = {
        {1023, 1023, 1023}, {0, 1023, 1024},     // first rollover, either side
        {1023, 1024, 1023}, {292, 1316, 1316},   // 2005
        {566, 1590, 1590},  {1023, 2048, 2047},  // second rollover
        {0, 2047, 2048},    {100, 2400, 2148},   // the reference may be late...
        {500, 1500, 1524},  {11, 1535, 1035},    // ... or early, by up to half the cycle
        {1000, 0, 1000},                         // never before week 0
        {1024 + 3, 2050, 2051},                  // only the low 10 bits count
    };
    for (const Case& c : cases) EXPECT_EQ(FullWeekFromBroadcast(c.broadcast, c.reference), c.full) << c.broadcast << " near " << c.reference;
}

}  // namespace
}  // namespace kestrel
