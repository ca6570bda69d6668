// SPDX-License-Identifier: BSD-2-Clause
// Tropospheric delay: Saastamoinen zenith delays from a standard atmosphere with fixed
// humidity, mapped to the satellite's elevation with the Niell (1996) functions.
#pragma once

#include <cstdint>

#include "positioning/position_record.h"

namespace kestrel {

// Pressure (mbar) and temperature (K) of the standard atmosphere at `height` metres.
void standard_atmosphere(double height, double* pressure, double* temperature);

// Slant delay in metres. Always returns 0.
int32_t tropo_delay(PositionRecord* satellite, const PositionRecord* receiver, double latitude,
                    double longitude, double height, double* delay);

// Subtracts the delay from `pseudorange`, unless the position is unknown (zero latitude or
// longitude) or the height is outside -1000..30000 m.
void tropo_correct(PositionRecord* satellite, double* pseudorange, double latitude,
                   double longitude, double height);

}  // namespace kestrel
