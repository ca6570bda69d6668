// SPDX-License-Identifier: BSD-2-Clause
// RINEX GPS navigation files, versions 3.04 and 2.11: the header and one record per
// broadcast ephemeris, appended as text to a caller's buffer (the caller writes the file).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "common/gps_time.h"
#include "rinex_out/rinex_obs_writer.h"  // RinexVersion

namespace kestrel {

struct RinexNavHeader {
    RinexVersion version = RinexVersion::k304;
    std::string program;                     // PGM / RUN BY / DATE, 20 columns each
    std::string runBy;
    std::optional<CalendarTime> createdUtc;  // file creation, UTC
    std::vector<std::string> comments;       // wrapped at 60 columns
    std::optional<int> leapSeconds;          // LEAP SECONDS when given
};

// One GPS broadcast ephemeris in the units RINEX writes: seconds, metres, radians.
struct RinexGpsEphemeris {
    int prn = 0;                     // 1..99
    int week = 0;                    // full GPS week of Toe, continuous (not modulo 1024)
    double tocS = 0.0;               // clock reference time, seconds of week
    double af0S = 0.0;               // clock bias, s
    double af1 = 0.0;                // clock drift, s/s
    double af2PerS = 0.0;            // clock drift rate, s/s^2
    int iode = 0;
    double crsM = 0.0;
    double deltaNRadPerS = 0.0;
    double m0Rad = 0.0;
    double cucRad = 0.0;
    double eccentricity = 0.0;
    double cusRad = 0.0;
    double sqrtAM = 0.0;             // square root of the semi-major axis, m^1/2
    double toeS = 0.0;               // ephemeris reference time, seconds of week `week`
    double cicRad = 0.0;
    double omega0Rad = 0.0;
    double cisRad = 0.0;
    double i0Rad = 0.0;
    double crcM = 0.0;
    double omegaRad = 0.0;           // argument of perigee
    double omegaDotRadPerS = 0.0;
    double idotRadPerS = 0.0;
    int l2Codes = 0;                 // codes on L2: 1 P, 2 C/A
    int l2PDataFlag = 0;
    double accuracyM = 0.0;          // user range accuracy; see RinexUraMetres
    int health = 0;                  // the six health bits as broadcast
    double tgdS = 0.0;
    int iodc = 0;
    double transmissionS = 0.0;      // transmission time, seconds of week `week` (negative
                                     // when sent in the week before)
    double fitIntervalH = 0.0;       // fit interval, hours; see RinexFitIntervalHours
};

// The user range accuracy (m) of a broadcast URA index: the nominal value 2, 2.8, 4, 5.7, 8,
// 11.3, 16 then 32 .. 4096 for 0..14, and 8192 for 15 (no accuracy prediction), a value past
// index 14's range so that readers turn it back into 15. Indexes outside 0..15 give 8192.
double RinexUraMetres(int uraIndex);

// The fit interval (hours) of an ephemeris from its fit-interval flag and IODC: 4 hours when
// the flag is 0, else by IODC 8, 14, 26, 50, 74 or 98 hours, and 6 hours otherwise.
double RinexFitIntervalHours(int fitFlag, int iodc);

// Appends the header, from RINEX VERSION / TYPE to END OF HEADER.
void AppendRinexNavHeader(std::string& out, const RinexNavHeader& header);

// Appends the eight lines of one ephemeris. Toc is written as the calendar epoch (GPS time)
// in the week of Toe, moved by a week when it lies more than half a week from the
// transmission time. Numbers are D19.12 with the exponent letter E (3.04) or D (2.11). False,
// with nothing appended, for a PRN outside 1..99, a week outside 0..400000, Toc outside
// +-604800 s or a transmission time outside +-2 weeks, or a value no field can hold.
bool AppendRinexNavRecord(std::string& out, RinexVersion version, const RinexGpsEphemeris& eph);

}  // namespace kestrel
