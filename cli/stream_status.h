// SPDX-License-Identifier: BSD-2-Clause
// The state of a running `kestrel stream`, as its --status file gives it (JSON, rewritten
// whole every second, so a reader never sees half a document).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/gps_time.h"

namespace kestrel::cli {

// One RTCM network output.
struct RtcmOutputState {
    std::string name;  // its URL, the password hidden
    uint16_t port = 0;  // servers: the port listened on
    unsigned clients = 0;
    uint64_t clientsServed = 0;
    uint64_t clientsDropped = 0;  // too slow
    uint64_t bytesSent = 0;
    bool connected = false;       // push: the caster takes the stream
};

struct StreamStatus {
    std::string input;
    bool connected = false;
    std::optional<GpsTime> lastEpoch;  // the data's time of the last epoch decoded
    int satellites = 0;                // in that epoch
    uint64_t periodEpochs = 0;         // epochs in the open period
    uint64_t periodBytes = 0;          // raw bytes in the open period
    uint64_t bytes = 0;                // raw bytes since the start
    uint64_t frames = 0;               // whole frames found
    int64_t framesRejected = 0;        // candidate frames the decoder gave up (checksum, length)
    uint64_t reconnects = 0;
    uint64_t filesClosed = 0;          // periods closed
    uint64_t writeErrors = 0;
    std::string openRaw;               // the open period's raw file (its temporary name)
    std::vector<RtcmOutputState> rtcm; // the RTCM network outputs
};

// The status as one JSON document, with a line end.
std::string StatusJson(const StreamStatus& status);

}  // namespace kestrel::cli
