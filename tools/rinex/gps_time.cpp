#include "rinex/gps_time.h"

#include <cmath>

namespace kestrel::rinex {

namespace {
// 1980-01-06, the start of GPS week 0, in days from 1970-01-01.
constexpr int64_t kGpsEpochDays = 3657;
}  // namespace

int64_t DaysFromCivil(int year, int month, int day) {
    // Counts in 400-year eras starting on 1 March, so that the leap day ends a year.
    const int64_t y = static_cast<int64_t>(year) - (month <= 2 ? 1 : 0);
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yearOfEra = y - era * 400;
    const int64_t monthFromMarch = month > 2 ? month - 3 : month + 9;
    const int64_t dayOfYear = (153 * monthFromMarch + 2) / 5 + day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

int FullYear(int year) {
    if (year >= 100) return year;
    return year >= 80 ? 1900 + year : 2000 + year;
}

GpsTime GpsTimeFromCalendar(int year, int month, int day, int hour, int minute, double second) {
    const int64_t days = DaysFromCivil(FullYear(year), month, day) - kGpsEpochDays;
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
    if (t.sow >= kSecondsPerWeek) {  // rounding at the very end of a week
        t.sow -= kSecondsPerWeek;
        ++t.week;
    }
    return t;
}

CalendarTime CalendarFromGpsTime(const GpsTime& time) {
    const double seconds = time.sow;
    const int64_t dayOfWeek = static_cast<int64_t>(std::floor(seconds / kSecondsPerDay));
    double secondOfDay = seconds - static_cast<double>(dayOfWeek) * kSecondsPerDay;
    // Days since 1970-01-01, turned into a date by the inverse of DaysFromCivil.
    const int64_t z = kGpsEpochDays + static_cast<int64_t>(time.week) * 7 + dayOfWeek + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t dayOfEra = z - era * 146097;
    const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t monthFromMarch = (5 * dayOfYear + 2) / 153;
    CalendarTime c;
    c.day = static_cast<int>(dayOfYear - (153 * monthFromMarch + 2) / 5 + 1);
    c.month = static_cast<int>(monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9);
    c.year = static_cast<int>(yearOfEra + era * 400 + (c.month <= 2 ? 1 : 0));
    c.hour = static_cast<int>(secondOfDay / 3600.0);
    secondOfDay -= c.hour * 3600.0;
    c.minute = static_cast<int>(secondOfDay / 60.0);
    c.second = secondOfDay - c.minute * 60.0;
    return c;
}

}  // namespace kestrel::rinex
