// SPDX-License-Identifier: BSD-2-Clause
// Calendar dates to GPS time as RINEX files give their epochs: the library's GPS time, and the
// two-digit years of RINEX 2.
#pragma once

#include "common/gps_time.h"

namespace kestrel::rinex {

using kestrel::CalendarFromGpsTime;
using kestrel::CalendarTime;
using kestrel::DaysFromCivil;
using kestrel::GpsTime;
using kestrel::GpsTimeFromTotal;
using kestrel::kSecondsPerDay;
using kestrel::kSecondsPerWeek;

// RINEX 2 two-digit years: 80..99 are 1980..1999, 00..79 are 2000..2079. Four-digit years pass.
int FullYear(int year);

// GPS time of a calendar epoch given in GPS time, with a two- or four-digit year.
GpsTime GpsTimeFromCalendar(int year, int month, int day, int hour, int minute, double second);

}  // namespace kestrel::rinex
