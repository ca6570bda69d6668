// SPDX-License-Identifier: BSD-2-Clause
#include "live/replay_pacer.h"

#include <algorithm>

#include "common/bytes.h"
#include "common/gps_time.h"
#include "navcom/record_layout.h"

namespace kestrel::live {

namespace measurement = layout::measurement;

void ReplayPacer::Feed(std::span<const uint8_t> bytes) {
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
    scanner_.Feed(bytes, [&](const ScannedFrame& frame) { Pace(frame); });
}

void ReplayPacer::Pace(const ScannedFrame& frame) {
    if (!frame.decoded || frame.id() != measurement::kId) return;
    // The time of week alone paces: a log without weeks replays as well as one with them.
    const double sow = le_u32(frame.bytes.data() + measurement::kTimeOffset) * layout::kTimeUnitS;
    double step = 0.0;
    if (haveEpoch_) step = WeekCrossover(sow - lastEpochS_);
    if (step > 0.0 && speed_ > 0.0) lastDueS_ += step / speed_;
    haveEpoch_ = true;
    lastEpochS_ = sow;
    segments_.push_back({frame.offset, lastDueS_});
}

void ReplayPacer::End() {
    ended_ = true;
    scanner_.End([&](const ScannedFrame& frame) { Pace(frame); });
}

std::size_t ReplayPacer::Due(double elapsedS) const {
    uint64_t end = ended_ ? pendingOffset_ + pending_.size() : scanner_.undecidedFrom();
    for (const Segment& segment : segments_) {
        if (segment.dueS > elapsedS) {
            end = std::min(end, segment.offset);
            break;
        }
    }
    return end > pendingOffset_ ? static_cast<std::size_t>(end - pendingOffset_) : 0;
}

std::optional<double> ReplayPacer::NextDueS(double elapsedS) const {
    for (const Segment& segment : segments_) {
        if (segment.dueS > elapsedS) return segment.dueS;
    }
    return std::nullopt;
}

void ReplayPacer::Take(std::size_t n) {
    n = std::min(n, pending_.size());
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(n));
    pendingOffset_ += n;
    while (!segments_.empty() && segments_.front().offset < pendingOffset_) segments_.pop_front();
}

}  // namespace kestrel::live
