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
    // The station's nine-character ID, SSSSMRCCC (station, monument, receiver, country), as a
    // site log or the user gives it; when set it names the files instead of marker and country.
    std::string stationId;
    GpsTime first;                 // first epoch (GPS time), from week 0 on
    GpsTime last;                  // last epoch
    double intervalS = 0.0;        // data interval; 0 when unknown
};

// SSSSMRCCC_R_YYYYDDDHHMM_PPU_FFU_GO.rnx for observations, SSSSMRCCC_R_YYYYDDDHHMM_PPU_GN.rnx
// for navigation: the nine-character ID (from `stationId`, else the station of the marker,
// monument and receiver 00 and the country), data from a receiver, start (first epoch),
// period and, for observations, frequency.
std::string RinexLongName(const RinexNameParts& parts, RinexFileKind kind);

// ssssdddf.yyo or ssssdddf.yyn: station (lower case), day of year, session (a..x for the hour
// of the first epoch when the data span one hour at most, 0 otherwise) and two-digit year.
std::string RinexShortName(const RinexNameParts& parts, RinexFileKind kind);

// The four-character station of a marker: its first four letters and digits, upper case,
// padded with 0 when it has fewer ("S02" gives S020); "UNK0" when it has none.
std::string RinexStationCode(const std::string& marker);

// True when `id` is a nine-character ID: four letters or digits, monument and receiver
// digits, three letters.
bool IsNineCharacterId(const std::string& id);

// The file period of a data span (s): the smallest of 15M, 01H, 01D that holds it, else whole
// days 02D..99D, else 00U (unspecified).
std::string RinexPeriodCode(double spanS);

// The data frequency of an interval (s): NNZ for 2..99 Hz (05Z is 5 Hz), NNS for whole seconds
// below 100, NNM, NNH or NND for whole minutes, hours or days below 100, else 00U.
std::string RinexFrequencyCode(double intervalS);

}  // namespace kestrel
