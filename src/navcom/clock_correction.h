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

}  // namespace kestrel
