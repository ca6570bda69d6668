// SPDX-License-Identifier: BSD-2-Clause
// GPS time: full week and seconds of week, calendar dates in the GPS time scale, day of
// year, the GPS-UTC leap seconds, and the 10-bit week of the broadcast navigation message.
#pragma once

#include <cstdint>

namespace kestrel {

constexpr double kSecondsPerDay = 86400.0;
constexpr double kSecondsPerWeek = 604800.0;
constexpr double kHalfWeekS = kSecondsPerWeek / 2.0;
constexpr int kLastWeek = 400000;  // the year 9600: later weeks are refused as damaged
constexpr int kBroadcastWeekCount = 1024;  // the navigation message gives the week modulo 1024

struct GpsTime {
    int week = 0;      // full GPS week, counted from 1980-01-06
    double sow = 0.0;  // seconds of week

    // Seconds since the start of GPS time.
    double Total() const { return week * kSecondsPerWeek + sow; }
};

// A time difference brought into the same week: an ephemeris of the neighbouring week counts
// from its own reference time.
constexpr double WeekCrossover(double dt) {
    if (dt > kHalfWeekS) dt -= kSecondsPerWeek;
    if (dt < -kHalfWeekS) dt += kSecondsPerWeek;
    return dt;
}

// A calendar epoch: in the GPS time scale, or in UTC where a function says so (an inserted
// leap second is then 23:59:60).
struct CalendarTime {
    int year = 0;  // four digits
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    double second = 0.0;
};

// Days from 1970-01-01 to a proleptic Gregorian date (month 1..12; a day past the end of
// its month counts on into the next).
int64_t DaysFromCivil(int year, int month, int day);

// The date `days` after 1970-01-01.
void CivilFromDays(int64_t days, int& year, int& month, int& day);

// The UTC calendar epoch `seconds` (whole, POSIX: no leap seconds) after 1970-01-01.
CalendarTime CalendarFromUnixSeconds(int64_t seconds);

// Day of the year, 1 for January 1st.
int DayOfYear(int year, int month, int day);

// GPS time of a calendar epoch given in GPS time.
GpsTime GpsTimeFromCalendar(int year, int month, int day, int hour, int minute, double second);

// Splits seconds since the start of GPS time into week and seconds of week.
GpsTime GpsTimeFromTotal(double totalSeconds);

// The calendar epoch (GPS time scale) of a GPS time; seconds of week outside 0..604800 count
// into the weeks around.
CalendarTime CalendarFromGpsTime(const GpsTime& time);

// GPS - UTC in whole seconds in force on a UTC date (0 before 1981-07-01).
int LeapSecondsAtUtc(int year, int month, int day);

// GPS - UTC in force at a GPS time. During an inserted second the count before it applies.
int LeapSecondsAtGps(const GpsTime& time);

// GPS time of a UTC epoch (second 60 is the inserted second of a leap day).
GpsTime GpsFromUtc(const CalendarTime& utc);

// UTC epoch of a GPS time; an instant inside an inserted leap second reads 23:59:60.x.
CalendarTime UtcFromGps(const GpsTime& time);

// The full week whose low 10 bits are `broadcastWeek`, nearest to `referenceWeek`: within
// referenceWeek - 512 .. referenceWeek + 511, and never before week 0.
int FullWeekFromBroadcast(int broadcastWeek, int referenceWeek);

}  // namespace kestrel
