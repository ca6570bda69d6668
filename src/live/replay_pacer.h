// SPDX-License-Identifier: BSD-2-Clause
// The pace of a log replayed as if a receiver sent it: each MEASUREMENT frame falls due when
// its epoch's time since the first epoch, divided by the speed factor, has passed since the
// replay began, and with it the bytes that follow it up to the next MEASUREMENT frame (the
// records a receiver sends after each epoch). The bytes before the first epoch are due at
// once. Time running backwards in the data adds no wait; a gap in it is waited out.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <vector>

#include "live/frame_scanner.h"

namespace kestrel::live {

class ReplayPacer {
public:
    explicit ReplayPacer(double speed) : speed_(speed) {}

    // The next bytes of the log.
    void Feed(std::span<const uint8_t> bytes);
    // The log has no more bytes: those still held back for a frame that may be incomplete
    // are due with the last epoch.
    void End();

    // The bytes waiting, from the oldest.
    std::span<const uint8_t> waiting() const { return {pending_.data(), pending_.size()}; }
    // How many of the waiting bytes are due `elapsedS` seconds after the replay began.
    std::size_t Due(double elapsedS) const;
    // When the waiting bytes after those due at `elapsedS` fall due (seconds after the
    // replay began); none when none are waiting or their due time is not known yet.
    std::optional<double> NextDueS(double elapsedS) const;
    // Removes the first `n` waiting bytes (sent).
    void Take(std::size_t n);

private:
    struct Segment {
        uint64_t offset;  // stream offset of its first byte
        double dueS;
    };

    void Pace(const ScannedFrame& frame);

    double speed_;
    FrameScanner scanner_;
    std::vector<uint8_t> pending_;
    uint64_t pendingOffset_ = 0;  // stream offset of pending_[0]
    std::deque<Segment> segments_;  // MEASUREMENT frames not yet sent, in order
    bool haveEpoch_ = false;
    double lastEpochS_ = 0.0;  // time of week of the last epoch, s
    double lastDueS_ = 0.0;
    bool ended_ = false;
};

}  // namespace kestrel::live
