// SPDX-License-Identifier: BSD-2-Clause
#include "pipeline/epoch_placer.h"

namespace kestrel {

EpochPlacer::Outcome EpochPlacer::Place(int32_t frameWeek, double sow, GpsTime& time) {
    int week = frameWeek;
    if (givenWeek_) {
        // The given week, rolled over where the time of week starts again.
        if (!placed_) {
            week = *givenWeek_;
        } else {
            week = sow < sow_ - kHalfWeekS ? week_ + 1 : week_;
        }
    } else if (week <= 0) {
        return Outcome::kNoWeek;
    } else if (placed_ && week != week_ && !(week == week_ + 1 && sow < sow_)) {
        return Outcome::kWeekJump;
    }
    week_ = week;
    sow_ = sow;
    placed_ = true;
    time = GpsTime{week, sow};
    return Outcome::kPlaced;
}

}  // namespace kestrel
