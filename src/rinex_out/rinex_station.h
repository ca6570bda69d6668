// SPDX-License-Identifier: BSD-2-Clause
// What an observation file's header says of the station and its equipment, gathered from
// where each fact can come from, in this order: the user's options, the station's IGS site
// log (the entries in force at the data's first epoch), the receiver's own IDENTIFICATION
// and PVT records, and last Kestrel's single-point solutions. Shared by every output that
// names a station (RINEX files, the live station's period files, RTCM station messages).
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "common/gps_time.h"
#include "receiver/receiver_records.h"
#include "sitelog/site_log.h"

namespace kestrel {

// Facts the user gave; empty strings and absent values are not given.
struct StationOptions {
    std::string markerName;
    std::string markerNumber;
    std::string stationId;        // nine-character ID of the long file names
    std::string country;          // ISO 3166 code of the long names; empty: XXX
    std::string observer;
    std::string agency;
    std::string receiverNumber, receiverType, receiverVersion;
    std::string antennaNumber, antennaType;  // the type may carry its radome after a blank
    std::optional<std::array<double, 3>> antennaDeltaHenM;
    std::optional<std::array<double, 3>> positionM;
};

// What the data told.
struct StationEvidence {
    std::string logMarker;                          // the marker a log's name suggests
    std::optional<ReceiverIdentity> identity;       // the log's last IDENTIFICATION record
    std::optional<std::array<double, 3>> fixMedianM;       // median of the receiver's valid fixes
    int fixes = 0;
    std::optional<std::array<double, 3>> solutionMedianM;  // median of the single-point solutions
    int solutions = 0;
};

// Where APPROX POSITION XYZ came from.
enum class PositionSource { kNone, kGiven, kReceiverFixes, kSolutions };

struct StationFacts {
    std::string markerName;
    std::string markerNumber;
    std::string markerType = "NON_GEODETIC";  // GEODETIC for a station with a site log
    std::string stationId;        // empty: the files are named from marker and country
    std::string country = "XXX";
    std::string observer;
    std::string agency;
    std::string receiverNumber, receiverType, receiverVersion;
    std::string antennaNumber, antennaType, antennaRadome;
    std::array<double, 3> antennaDeltaHenM{};
    std::array<double, 3> positionM{};   // zeros when unknown
    PositionSource positionSource = PositionSource::kNone;
    std::vector<std::string> comments;   // header comments saying where facts came from
    std::vector<std::string> warnings;   // facts that disagree or could not be found
};

// The receiver type written when nothing better is known.
inline constexpr const char* kDefaultReceiverType = "NAVCOM";

// Gathers the facts for the data that start at `firstEpoch`. `siteLog` may be null.
StationFacts GatherStationFacts(const StationOptions& options, const SiteLog* siteLog,
                                const StationEvidence& evidence, const GpsTime& firstEpoch);

}  // namespace kestrel
