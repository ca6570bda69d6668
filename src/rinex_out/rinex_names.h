// SPDX-License-Identifier: BSD-2-Clause
// RINEX file names: the long names of RINEX 3 and the short (8.3) names of RINEX 2.
#pragma once

#include <string>

#include "common/gps_time.h"

namespace kestrel {

enum class RinexFileKind { kObservation, kNavigation };

// What a file name tells: the station, where it is, and the time the data covers.
struct RinexNameParts {
    std::string marker;            // its first four letters and digits name the station
    std::string country = "XXX";   // ISO 3166 three-letter code; XXX when unknown
    GpsTime first;                 // first epoch (GPS time), from week 0 on
    GpsTime last;                  // last epoch
    double intervalS = 0.0;        // data interval; 0 when unknown
};

// SSSS00CCC_R_YYYYDDDHHMM_PPU_FFU_GO.rnx for observations, SSSS00CCC_R_YYYYDDDHHMM_PPU_GN.rnx
// for navigation: station (upper case, padded with X), monument and receiver 00, country,
// data from a receiver, start (first epoch), period and, for observations, frequency.
std::string RinexLongName(const RinexNameParts& parts, RinexFileKind kind);

// ssssdddf.yyo or ssssdddf.yyn: station (lower case, padded with x), day of year, session
// (a..x for the hour of the first epoch when the data span one hour at most, 0 otherwise)
// and two-digit year.
std::string RinexShortName(const RinexNameParts& parts, RinexFileKind kind);

// The file period of a data span (s): the smallest of 15M, 01H, 01D that holds it, else whole
// days 02D..99D, else 00U (unspecified).
std::string RinexPeriodCode(double spanS);

// The data frequency of an interval (s): NNZ for 2..99 Hz (05Z is 5 Hz), NNS for whole seconds
// below 100, NNM, NNH or NND for whole minutes, hours or days below 100, else 00U.
std::string RinexFrequencyCode(double intervalS);

}  // namespace kestrel
