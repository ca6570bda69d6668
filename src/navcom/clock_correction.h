// SPDX-License-Identifier: BSD-2-Clause
// Receiver clock correction of one epoch: asks the single-point solution for the receiver
// clock offset and moves the epoch's time tag by it, with a bounded run of warnings when
// no correction can be made.
#pragma once

#include <cstdint>

#include "navcom/port_state.h"

namespace kestrel {

// Runs on port.epoch and the first `satCount` port.observations, before they are queued,
// and sets the epoch's corrected time, clock offset and clock-corrected flag.
void CorrectEpochClock(PortState& port, int32_t satCount);

// Whether an epoch has a receiver clock solution: corrected, with an offset found from enough
// satellites (a solution from too few leaves the offset at exactly 0).
constexpr bool HasClockSolution(const EpochHeader& epoch) {
    return (epoch.flags & KESTREL_EPOCH_FLAG_CLOCK_CORRECTED) != 0 && epoch.clock_offset != 0.0;
}

}  // namespace kestrel
