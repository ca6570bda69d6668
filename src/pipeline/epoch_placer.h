// SPDX-License-Identifier: BSD-2-Clause
// Places MEASUREMENT frames in full GPS time: the frame's own week, or a week given for the
// first epoch and rolled over where the time of week starts again.
#pragma once

#include <cstdint>
#include <optional>

#include "common/gps_time.h"

namespace kestrel {

class EpochPlacer {
public:
    enum class Outcome {
        kPlaced,
        kNoWeek,    // the frame carries no week (0) and none was given
        kWeekJump,  // the frame's week differs from the last one other than by a rollover
    };

    // `week`: the week of the first epoch, rolled over where the time of week starts again;
    // none: the frames' own weeks.
    explicit EpochPlacer(std::optional<int> week = std::nullopt) : givenWeek_(week) {}

    // The frame's full time, from its week (uint16 of the frame, 0 when not sent) and time of
    // week. On kWeekJump `lastWeek()` is the week before the jump; nothing is remembered of a
    // frame that is not placed.
    Outcome Place(int32_t frameWeek, double sow, GpsTime& time);

    int lastWeek() const { return week_; }

private:
    std::optional<int> givenWeek_;
    bool placed_ = false;
    int week_ = 0;
    double sow_ = 0.0;
};

}  // namespace kestrel
