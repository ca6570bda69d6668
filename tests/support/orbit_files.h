// SPDX-License-Identifier: BSD-2-Clause
// The orbit files the positioning tests compare against: broadcast ephemerides (RINEX 2
// navigation) as GpsEphRecords with exact values, and precise orbits and clocks (SP3-c).
#pragma once

#include <string>
#include <vector>

#include "kestrel/records.h"

namespace kestrel::test {

// Every ephemeris of a RINEX 2 navigation file, in file order, with the values as the file
// gives them. `fullWeeks`, when given, receives the continuous GPS week of each Toe. Empty
// when the file cannot be read.
std::vector<GpsEphRecord> ReadBroadcastFile(const std::string& path,
                                            std::vector<int>* fullWeeks = nullptr);

struct PreciseEpoch {
    int week;
    double secondsOfWeek;
    struct Satellite {
        int prn;           // GPS PRN
        double x, y, z;    // metres, Earth-fixed
        double clock;      // seconds; NaN where the file has no clock
    };
    std::vector<Satellite> satellites;
};

// The GPS satellites of every epoch of an SP3-c file.
std::vector<PreciseEpoch> ReadPreciseFile(const std::string& path);

// GPS week and seconds of week of a calendar date and time (GPS time scale).
void GpsTimeOf(int year, int month, int day, int hour, int minute, double second, int* week,
               double* secondsOfWeek);

}  // namespace kestrel::test
