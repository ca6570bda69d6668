// SPDX-License-Identifier: BSD-2-Clause
// WGS-84 conversions between geodetic and Earth-fixed coordinates, and the elevation and
// azimuth of a satellite seen from a receiver. Angles in radians, lengths in metres.
#pragma once

#include "positioning/position_record.h"

namespace kestrel {

constexpr double kWgs84SemiMajorAxis = 6378137.0;
constexpr double kWgs84SemiMinorAxis = 6356752.3141;

void geodetic_to_ecef(double latitude, double longitude, double height, double* x, double* y,
                      double* z);

void ecef_to_geodetic(double x, double y, double z, double a, double b, double* latitude,
                      double* longitude, double* height);

// Also stores the results in the satellite record. Does nothing when latitude or
// longitude is zero or the receiver is at the Earth's centre.
void elevation_azimuth(PositionRecord* satellite, const PositionRecord* receiver, double latitude,
                       double longitude, double* elevation, double* azimuth);

}  // namespace kestrel
