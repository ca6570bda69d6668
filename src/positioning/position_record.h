// SPDX-License-Identifier: BSD-2-Clause
#pragma once

namespace kestrel {

// A satellite or receiver position on WGS-84 Earth-fixed axes.
struct PositionRecord {
    double x, y, z;        // metres
    double vx, vy, vz;     // metres per second (satellites only)
    double referenceTime;  // seconds of week: the Toe of the satellite's ephemeris
    double elevation;      // radians, seen from the receiver
    double azimuth;        // radians, -pi..pi
};
static_assert(sizeof(PositionRecord) == 72);

constexpr double kSpeedOfLight = 299792458.0;  // m/s

}  // namespace kestrel
