// SPDX-License-Identifier: BSD-2-Clause
#include "support/station_sim.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <utility>

#include "positioning/eph_store.h"
#include "positioning/geodesy.h"
#include "positioning/sat_orbit.h"
#include "positioning/troposphere.h"
#include "support/orbit_files.h"
#include "support/test_files.h"

namespace kestrel::test {
namespace {

constexpr double kC = 299792458.0;
constexpr double kDeg = std::numbers::pi / 180.0;

}  // namespace

StationSimulation::StationSimulation() {
    eph_store_clear();
    ephemerides_ = ReadBroadcastFile(DataPath("rinex/07590920.05n"));
    EXPECT_FALSE(ephemerides_.empty());
    for (const GpsEphRecord& e : ephemerides_) EXPECT_EQ(eph_store_insert(&e), 0);
    station_.x = kX;
    station_.y = kY;
    station_.z = kZ;
    ecef_to_geodetic(kX, kY, kZ, kWgs84SemiMajorAxis, kWgs84SemiMinorAxis, &lat_, &lon_, &height_);
}

std::vector<int> StationSimulation::VisiblePrns(double t) const {
    std::vector<std::pair<double, int>> found;
    for (int prn = 1; prn <= 32; ++prn) {
        const GpsEphRecord* eph = eph_store_find(prn, static_cast<int32_t>(t));
        if (!eph) continue;
        PositionRecord sat{};
        gps_sat_position(eph, t, 2.2e7, &station_, &sat);
        double el = 0, az = 0;
        elevation_azimuth(&sat, &station_, lat_, lon_, &el, &az);
        if (el > 5.0 * kDeg) found.push_back({el, prn});
    }
    std::sort(found.rbegin(), found.rend());
    std::vector<int> prns;
    for (const auto& f : found) prns.push_back(f.second);
    return prns;
}

double StationSimulation::Pseudorange(const GpsEphRecord& eph, double t, double bias,
                                      bool tropo) const {
    double tSv = 0.0;
    gps_sat_clock(&eph, t, nullptr, &tSv);
    PositionRecord sat{};
    gps_sat_position(&eph, tSv, 2.2e7, &station_, &sat);
    const double dx = sat.x - kX, dy = sat.y - kY, dz = sat.z - kZ;
    double range = std::sqrt(dx * dx + dy * dy + dz * dz) + bias - (t - tSv) * kC;
    if (tropo) {
        double delay = 0.0;
        tropo_delay(&sat, &station_, lat_, lon_, height_, &delay);
        range += delay;
    }
    return range;
}

std::vector<SatObservation> StationSimulation::Observe(const std::vector<int>& prns, double t,
                                                       double bias, bool tropo) const {
    std::vector<SatObservation> obs;
    for (int prn : prns) {
        SatObservation o{};
        o.prn = static_cast<uint8_t>(prn);
        const GpsEphRecord* eph = eph_store_find(prn, static_cast<int32_t>(t));
        o.ca_range = eph ? Pseudorange(*eph, t, bias, tropo) : 2.2e7;
        obs.push_back(o);
    }
    return obs;
}

double StationSimulation::PositionError(const EpochHeader& h) const {
    double x, y, z;
    geodetic_to_ecef(h.latitude * kDeg, h.longitude * kDeg, h.height, &x, &y, &z);
    return std::sqrt((x - kX) * (x - kX) + (y - kY) * (y - kY) + (z - kZ) * (z - kZ));
}

}  // namespace kestrel::test
