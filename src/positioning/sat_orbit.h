// SPDX-License-Identifier: BSD-2-Clause
// Satellite clock and position from a GPS broadcast ephemeris.
#pragma once

#include "kestrel/records.h"
#include "positioning/position_record.h"

namespace kestrel {

// Satellite clock offset at receiver time `t` (seconds of week). When `observation` is
// given, its C/A range and carrier phases are corrected in place for it. `tSv` receives
// t minus the offset. Does nothing without an ephemeris.
void gps_sat_clock(const GpsEphRecord* eph, double t, SatObservation* observation, double* tSv);

// Position and velocity of the satellite at transmission, in the Earth-fixed frame of
// reception, for signal time `t` and a pseudorange `range` (metres). Does nothing
// without an ephemeris.
void gps_sat_position(const GpsEphRecord* eph, double t, double range,
                      const PositionRecord* receiver, PositionRecord* satellite);

}  // namespace kestrel
