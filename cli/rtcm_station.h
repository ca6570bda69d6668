// SPDX-License-Identifier: BSD-2-Clause
// The reference station's options, which `kestrel rtcm` and `kestrel stream --rtcm` share: the
// messages and their intervals, the position, antenna, receiver and station id.
#pragma once

#include <string>
#include <vector>

#include "rtcm/station_messages.h"
#include "rtcm/station_stream.h"

namespace CLI {
class App;
class Option;
}

namespace kestrel::cli {

struct StationOptions {
    std::string messages = rtcm::kDefaultMessages;
    std::string position;
    double antennaHeightM = 0.0;
    std::string antenna;
    std::string receiver;
    int stationId = 0;
    bool doppler = false;
};

// The station the options describe.
struct StationChoice {
    std::vector<rtcm::MessageChoice> messages;
    rtcm::StationDescription description;
    bool positionChosen = false;  // 1005 or 1006 among the messages
    bool doppler = false;
};

// --msg, --position, --antenna-height, --antenna, --receiver, --station-id, --doppler: the
// options added, for a command where they depend on another.
std::vector<CLI::Option*> AddStationOptions(CLI::App& sub, StationOptions& options);

// False, with a usage error of `command` printed, when the options do not describe a station.
bool StationFromOptions(const StationOptions& options, const std::string& command, StationChoice& out);

// "1074(1),1019,1006(10)": the messages as a source table's format details give them.
std::string MessagesText(const std::vector<rtcm::MessageChoice>& messages);

}  // namespace kestrel::cli
