// SPDX-License-Identifier: BSD-2-Clause
#include "stream_status.h"

#include <cstdio>

#include <nlohmann/json.hpp>

namespace kestrel::cli {

std::string StatusJson(const StreamStatus& s) {
    nlohmann::ordered_json j;
    j["input"] = s.input;
    j["connected"] = s.connected;
    if (s.lastEpoch) {
        const CalendarTime t = CalendarFromGpsTime(*s.lastEpoch);
        char text[40];
        std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%06.3f", t.year, t.month, t.day, t.hour, t.minute,
                      t.second);
        j["last_epoch_gps"] = text;
    } else {
        j["last_epoch_gps"] = nullptr;
    }
    j["satellites"] = s.satellites;
    j["period_epochs"] = s.periodEpochs;
    j["period_bytes"] = s.periodBytes;
    j["bytes"] = s.bytes;
    j["frames"] = s.frames;
    j["frames_rejected"] = s.framesRejected;
    j["reconnects"] = s.reconnects;
    j["periods_closed"] = s.filesClosed;
    j["write_errors"] = s.writeErrors;
    j["open_raw_file"] = s.openRaw.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(s.openRaw);
    if (!s.rtcm.empty()) {
        nlohmann::ordered_json outputs = nlohmann::ordered_json::array();
        for (const RtcmOutputState& o : s.rtcm) {
            outputs.push_back({{"output", o.name},
                               {"port", o.port},
                               {"clients", o.clients},
                               {"clients_served", o.clientsServed},
                               {"clients_dropped_slow", o.clientsDropped},
                               {"bytes_sent", o.bytesSent},
                               {"connected", o.connected}});
        }
        j["rtcm"] = outputs;
    }
    return j.dump(2) + "\n";
}

}  // namespace kestrel::cli
