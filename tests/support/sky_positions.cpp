// SPDX-License-Identifier: BSD-2-Clause
#include "support/sky_positions.h"

#include <cmath>

namespace kestrel::test {

PositionRecord SatelliteSeenAt(const PositionRecord& rx, double lat, double lon, double el, double az) {
    const double east[3] = {-std::sin(lon), std::cos(lon), 0.0};
    const double north[3] = {-std::sin(lat) * std::cos(lon), -std::sin(lat) * std::sin(lon), std::cos(lat)};
    const double up[3] = {std::cos(lat) * std::cos(lon), std::cos(lat) * std::sin(lon), std::sin(lat)};
    const double d = 2.0e7;
    PositionRecord sat{};
    double* out[3] = {&sat.x, &sat.y, &sat.z};
    const double origin[3] = {rx.x, rx.y, rx.z};
    for (int i = 0; i < 3; ++i) {
        *out[i] = origin[i] + d * (std::cos(el) * (std::sin(az) * east[i] + std::cos(az) * north[i]) + std::sin(el) * up[i]);
    }
    return sat;
}

}  // namespace kestrel::test
