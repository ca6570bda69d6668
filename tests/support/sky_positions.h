// SPDX-License-Identifier: BSD-2-Clause
// Satellites placed in a receiver's sky, for tests of elevations, azimuths and delays.
#pragma once

#include "positioning/position_record.h"

namespace kestrel::test {

// A satellite 20000 km from a receiver at (lat, lon) (radians), `el` above its horizon toward
// azimuth `az` (radians, clockwise from north).
PositionRecord SatelliteSeenAt(const PositionRecord& rx, double lat, double lon, double el, double az);

}  // namespace kestrel::test
