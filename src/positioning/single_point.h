// SPDX-License-Identifier: BSD-2-Clause
// Single-point position and receiver clock solution from one epoch of C/A pseudoranges and
// the stored broadcast ephemerides. Keeps the last solution process-wide: it seeds the next
// epoch and enables the elevation mask and the tropospheric correction.
#pragma once

#include <cstdint>

#include "kestrel/records.h"
#include "positioning/position_record.h"

namespace kestrel {

constexpr int32_t kSolveMaxSats = 24;

enum SolveMode : int32_t { kSolvePosition = 1, kSolveClock = 2, kSolveBoth = 3 };

// 0 on success (also when too few satellites leave a zero clock offset), 1 on failure
// with the reason in the error text. a-priori latitude/longitude in degrees, height in
// metres; exactly 0 takes the last solution's. `clock` (metres) in: previous offset;
// out: new estimate. Reads the header's satellite count and time tag and, when solving the
// position, writes its latitude, longitude and height (zeros when none is found); the
// epoch's clock fields are the caller's to set. `observations` are left as they are: the
// solver corrects a copy of its own.
int32_t solve_epoch(EpochHeader* header, const SatObservation* observations, int32_t mode,
                    double latitude, double longitude, double height, double* clock);

// Internals, visible for tests. `exclusions` is a 0-terminated PRN list (room for 25).
int32_t lsq_fix(int32_t n, const SatObservation* observations, const int32_t* exclusions,
                const PositionRecord* records, double* x, double* y, double* z, double* clock);
int32_t screen_residuals(int32_t n, const SatObservation* observations, const int32_t* exclusions,
                         const PositionRecord* records, double threshold, double x, double y,
                         double z, double clock, double* worst);
int32_t exclude_one_satellite(int32_t n, const SatObservation* observations, int32_t* exclusions,
                              const PositionRecord* records, double threshold, double* x,
                              double* y, double* z, double* clock);

// The Earth-fixed position (m) of the last successful solution; false when there is none.
bool last_solution_position(double position[3]);

// Forgets the last solution (tests start from a clean state with it).
void reset_single_point_state();

}  // namespace kestrel
