// Cycle-slip test: compares a satellite with its previous epoch on the port, derives the
// L1 Doppler from the change of C/A range, keeps the lock times and reports slips.
#pragma once

#include "navcom/port_state.h"

namespace kestrel {

// Completes `sat` (time, Doppler, lock times) and updates the port's history. True when
// the observation is to be output in this epoch.
bool TestCycleSlip(PortState& port, SatState& sat, double time);

}  // namespace kestrel
