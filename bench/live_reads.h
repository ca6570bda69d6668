// SPDX-License-Identifier: BSD-2-Clause
// What the live-path latency benchmarks share: a log read whole, the reads a live stream would
// deliver (each ending with the last byte of a MEASUREMENT frame), the live command's decoding
// session, and the percentiles they print.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <vector>

#include "navcom/frame_parser.h"
#include "pipeline/session.h"
#include "receiver/receiver_records.h"

namespace kestrel::bench {

// The whole file; none (the reason printed) when it cannot be read.
inline std::optional<std::vector<uint8_t>> ReadLogFile(const char* path) {
    std::FILE* f = std::fopen(path, "rb");
    if (f == nullptr) {
        std::perror(path);
        return std::nullopt;
    }
    std::vector<uint8_t> log;
    uint8_t buffer[1 << 16];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) log.insert(log.end(), buffer, buffer + n);
    std::fclose(f);
    return log;
}

// The end offsets of the first `most` MEASUREMENT frames: where each read ends.
inline std::vector<std::size_t> MeasurementCuts(const std::vector<uint8_t>& log, std::size_t most = SIZE_MAX) {
    constexpr uint8_t kMeasurement = 0xB0;
    std::vector<std::size_t> cuts;
    for (std::size_t i = 0; i < log.size() && cuts.size() < most; ++i) {
        const int32_t length = FrameAt(log.data() + i, log.size() - i, kMeasurement);
        if (length > 0) {
            cuts.push_back(i + static_cast<std::size_t>(length));
            i += static_cast<std::size_t>(length) - 1;
        }
    }
    return cuts;
}

// The session options of `kestrel stream`: the receiver's identification and fixes kept as
// extra records, as the command keeps them for its headers.
inline SessionOptions LiveSessionOptions() {
    SessionOptions setup;
    setup.extraRecords = ReceiverInfoRecords();
    setup.extraRecordCount = ReceiverInfoRecordCount();
    return setup;
}

inline double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1))];
}

}  // namespace kestrel::bench
