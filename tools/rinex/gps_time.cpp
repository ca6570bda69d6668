// SPDX-License-Identifier: BSD-2-Clause
#include "rinex/gps_time.h"

namespace kestrel::rinex {

int FullYear(int year) {
    if (year >= 100) return year;
    return year >= 80 ? 1900 + year : 2000 + year;
}

GpsTime GpsTimeFromCalendar(int year, int month, int day, int hour, int minute, double second) {
    return kestrel::GpsTimeFromCalendar(FullYear(year), month, day, hour, minute, second);
}

}  // namespace kestrel::rinex
