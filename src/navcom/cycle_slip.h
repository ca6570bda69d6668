// SPDX-License-Identifier: BSD-2-Clause
// Cycle-slip test: compares a satellite with its previous epoch on the port, derives the
// L1 Doppler from the change of C/A range, keeps the lock times and reports slips.
#pragma once

#include "navcom/decode_observer.h"
#include "navcom/port_state.h"

namespace kestrel {

// What the test found, for an observer of the port.
struct SlipFindings {
    SlipOutcome outcome = SlipOutcome::kBadPrn;
    bool l1Slip = false;  // the L1 lock counter changed since the previous epoch
    bool l2Slip = false;  // the L2 lock counter changed (L2 data present)
};

// Completes `sat` (time, Doppler, lock times) and updates the port's history. True when
// the observation is to be output in this epoch. `findings`, when given, receives what the
// test made of the satellite.
bool TestCycleSlip(PortState& port, SatState& sat, double time, SlipFindings* findings = nullptr);

}  // namespace kestrel
