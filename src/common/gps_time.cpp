// SPDX-License-Identifier: BSD-2-Clause
#include "common/gps_time.h"

#include <chrono>
#include <cmath>

namespace kestrel {

namespace {

// 1980-01-06, the start of GPS week 0, in days from 1970-01-01.
constexpr int64_t kGpsEpochDays = 3657;

// GPS - UTC grows by one second at 00:00 UTC on the first day of these months.
struct LeapStep {
    int year;
    int month;
    int leapSeconds;  // GPS - UTC from that instant on
};
constexpr LeapStep kLeapSteps[] = {
    {1981, 7, 1},  {1982, 7, 2},  {1983, 7, 3},  {1985, 7, 4},  {1988, 1, 5},  {1990, 1, 6},
    {1991, 1, 7},  {1992, 7, 8},  {1993, 7, 9},  {1994, 7, 10}, {1996, 1, 11}, {1997, 7, 12},
    {1999, 1, 13}, {2006, 1, 14}, {2009, 1, 15}, {2012, 7, 16}, {2015, 7, 17}, {2017, 1, 18},
};

// GPS time (seconds since the start of GPS time) from which a step's count applies: its UTC
// midnight, which GPS time reaches `leapSeconds` seconds later.
double StepStartGps(const LeapStep& step) {
    const int64_t days = DaysFromCivil(step.year, step.month, 1) - kGpsEpochDays;
    return static_cast<double>(days) * kSecondsPerDay + step.leapSeconds;
}

}  // namespace

int64_t DaysFromCivil(int year, int month, int day) {
    using namespace std::chrono;
    // Days past the end of the month are counted on from its first day.
    const sys_days first{std::chrono::year{year} / std::chrono::month{static_cast<unsigned>(month)} / 1};
    return first.time_since_epoch().count() + (day - 1);
}

void CivilFromDays(int64_t days, int& year, int& month, int& day) {
    using namespace std::chrono;
    const year_month_day date{sys_days{std::chrono::days{days}}};
    year = static_cast<int>(date.year());
    month = static_cast<int>(static_cast<unsigned>(date.month()));
    day = static_cast<int>(static_cast<unsigned>(date.day()));
}

CalendarTime CalendarFromUnixSeconds(int64_t seconds) {
    constexpr int64_t kDay = 86400;
    CalendarTime t;
    const int64_t days = seconds >= 0 ? seconds / kDay : (seconds - (kDay - 1)) / kDay;
    int64_t rest = seconds - days * kDay;
    CivilFromDays(days, t.year, t.month, t.day);
    t.hour = static_cast<int>(rest / 3600);
    rest %= 3600;
    t.minute = static_cast<int>(rest / 60);
    t.second = static_cast<double>(rest % 60);
    return t;
}

int DayOfYear(int year, int month, int day) {
    return static_cast<int>(DaysFromCivil(year, month, day) - DaysFromCivil(year, 1, 1)) + 1;
}

GpsTime GpsTimeFromCalendar(int year, int month, int day, int hour, int minute, double second) {
    const int64_t days = DaysFromCivil(year, month, day) - kGpsEpochDays;
    const int64_t week = days >= 0 ? days / 7 : (days - 6) / 7;
    GpsTime t;
    t.week = static_cast<int>(week);
    t.sow = static_cast<double>(days - week * 7) * kSecondsPerDay + hour * 3600.0 + minute * 60.0 + second;
    return t;
}

GpsTime GpsTimeFromTotal(double totalSeconds) {
    GpsTime t;
    t.week = static_cast<int>(std::floor(totalSeconds / kSecondsPerWeek));
    t.sow = totalSeconds - t.week * kSecondsPerWeek;
    // The division may round across the end of a week, either way.
    if (t.sow >= kSecondsPerWeek) {
        t.sow -= kSecondsPerWeek;
        ++t.week;
    } else if (t.sow < 0.0) {
        t.sow += kSecondsPerWeek;
        --t.week;
    }
    return t;
}

CalendarTime CalendarFromGpsTime(const GpsTime& time) {
    const double dayOfWeek = std::floor(time.sow / kSecondsPerDay);
    double secondOfDay = time.sow - dayOfWeek * kSecondsPerDay;
    CalendarTime c;
    CivilFromDays(kGpsEpochDays + static_cast<int64_t>(time.week) * 7 + static_cast<int64_t>(dayOfWeek), c.year,
                  c.month, c.day);
    c.hour = static_cast<int>(secondOfDay / 3600.0);
    secondOfDay -= c.hour * 3600.0;
    c.minute = static_cast<int>(secondOfDay / 60.0);
    c.second = secondOfDay - c.minute * 60.0;
    return c;
}

int LeapSecondsAtUtc(int year, int month, int day) {
    const int64_t days = DaysFromCivil(year, month, day);
    int count = 0;
    for (const LeapStep& step : kLeapSteps) {
        if (days >= DaysFromCivil(step.year, step.month, 1)) count = step.leapSeconds;
    }
    return count;
}

int LeapSecondsAtGps(const GpsTime& time) {
    const double total = time.Total();
    int count = 0;
    for (const LeapStep& step : kLeapSteps) {
        if (total >= StepStartGps(step)) count = step.leapSeconds;
    }
    return count;
}

GpsTime GpsFromUtc(const CalendarTime& utc) {
    const GpsTime asIfGps = GpsTimeFromCalendar(utc.year, utc.month, utc.day, utc.hour, utc.minute, utc.second);
    return GpsTimeFromTotal(asIfGps.Total() + LeapSecondsAtUtc(utc.year, utc.month, utc.day));
}

CalendarTime UtcFromGps(const GpsTime& time) {
    const int leap = LeapSecondsAtGps(time);
    const double total = time.Total();
    if (LeapSecondsAtGps(GpsTimeFromTotal(total + 1.0)) > leap) {
        // Inside the inserted second: the last second of the day before, written as 60.
        CalendarTime c = CalendarFromGpsTime(GpsTimeFromTotal(total - leap - 1.0));
        c.second += 1.0;
        return c;
    }
    return CalendarFromGpsTime(GpsTimeFromTotal(total - leap));
}

int FullWeekFromBroadcast(int broadcastWeek, int referenceWeek) {
    const int half = kBroadcastWeekCount / 2;
    int ahead = (broadcastWeek - referenceWeek) % kBroadcastWeekCount;
    if (ahead < 0) ahead += kBroadcastWeekCount;
    if (ahead >= half) ahead -= kBroadcastWeekCount;
    int week = referenceWeek + ahead;
    while (week < 0) week += kBroadcastWeekCount;
    return week;
}

}  // namespace kestrel
