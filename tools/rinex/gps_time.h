// Calendar dates to GPS time (week and seconds of week), as RINEX files give their epochs.
#pragma once

#include <cstdint>

namespace kestrel::rinex {

constexpr double kSecondsPerDay = 86400.0;
constexpr double kSecondsPerWeek = 604800.0;

struct GpsTime {
    int week = 0;     // full GPS week, counted from 1980-01-06
    double sow = 0.0; // seconds of week

    // Seconds since the start of GPS time.
    double Total() const { return week * kSecondsPerWeek + sow; }
};

// Days from 1970-01-01 to the given proleptic Gregorian date.
int64_t DaysFromCivil(int year, int month, int day);

// RINEX 2 two-digit years: 80..99 are 1980..1999, 00..79 are 2000..2079. Four-digit years pass.
int FullYear(int year);

// GPS time of a calendar epoch given in GPS time.
GpsTime GpsTimeFromCalendar(int year, int month, int day, int hour, int minute, double second);

// Splits seconds since the start of GPS time into week and seconds of week.
GpsTime GpsTimeFromTotal(double totalSeconds);

// A calendar epoch in GPS time, as RINEX files write it.
struct CalendarTime {
    int year = 0;  // four digits
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    double second = 0.0;
};

// The calendar epoch of a GPS time; the inverse of GpsTimeFromCalendar.
CalendarTime CalendarFromGpsTime(const GpsTime& time);

}  // namespace kestrel::rinex
