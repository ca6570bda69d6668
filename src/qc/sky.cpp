// SPDX-License-Identifier: BSD-2-Clause
#include "qc/sky.h"

#include <cmath>
#include <numbers>

#include "positioning/eph_store.h"
#include "positioning/geodesy.h"
#include "positioning/sat_orbit.h"

namespace kestrel {
namespace {

constexpr double kTypicalRangeM = 2.2e7;  // starts the light-time iteration
// A place to look at the sky from lies within this distance of the Earth's centre.
constexpr double kLowestRadiusM = 6.0e6;
constexpr double kHighestRadiusM = 7.0e6;

}  // namespace

std::optional<SkyPlace> MakeSkyPlace(const std::array<double, 3>& ecefM) {
    const double radius = std::sqrt(ecefM[0] * ecefM[0] + ecefM[1] * ecefM[1] + ecefM[2] * ecefM[2]);
    if (!(radius >= kLowestRadiusM && radius <= kHighestRadiusM)) return std::nullopt;
    SkyPlace place;
    place.ecef.x = ecefM[0];
    place.ecef.y = ecefM[1];
    place.ecef.z = ecefM[2];
    ecef_to_geodetic(ecefM[0], ecefM[1], ecefM[2], kWgs84SemiMajorAxis, kWgs84SemiMinorAxis, &place.latitudeRad,
                     &place.longitudeRad, &place.heightM);
    return place;
}

SkyDirection SatelliteDirection(const GpsEphRecord& ephemeris, double sow, const SkyPlace& place) {
    PositionRecord satellite{};
    gps_sat_position(&ephemeris, sow, kTypicalRangeM, &place.ecef, &satellite);
    const std::array<double, 3> enu = EastNorthUp(place, {satellite.x, satellite.y, satellite.z});
    const double elevation = std::atan2(enu[2], std::hypot(enu[0], enu[1]));
    double azimuth = std::atan2(enu[0], enu[1]) * kDegreesPerRadian;
    if (azimuth < 0.0) azimuth += 360.0;
    return SkyDirection{elevation * kDegreesPerRadian, azimuth};
}

std::array<double, 3> EastNorthUp(const SkyPlace& origin, const std::array<double, 3>& pointM) {
    const double dx = pointM[0] - origin.ecef.x;
    const double dy = pointM[1] - origin.ecef.y;
    const double dz = pointM[2] - origin.ecef.z;
    const double sinLat = std::sin(origin.latitudeRad), cosLat = std::cos(origin.latitudeRad);
    const double sinLon = std::sin(origin.longitudeRad), cosLon = std::cos(origin.longitudeRad);
    return {-sinLon * dx + cosLon * dy,
            -sinLat * cosLon * dx - sinLat * sinLon * dy + cosLat * dz,
            cosLat * cosLon * dx + cosLat * sinLon * dy + sinLat * dz};
}

void ElevationTable::SetPlace(const SkyPlace& place) {
    place_ = place;
    hasPlace_ = true;
    for (Samples& s : samples_) s = Samples{};
}

void ElevationTable::AddEphemeris(const GpsEphRecord& ephemeris, bool healthy) {
    const int prn = ephemeris.Prn;
    if (!IsGpsPrn(prn) || !healthy) return;
    Kept& k = kept_[prn];
    for (int i = 0; i < k.count; ++i) {
        if (k.records[i].Toe == ephemeris.Toe && k.records[i].Iode == ephemeris.Iode) return;
    }
    k.records[k.next] = ephemeris;
    k.next = (k.next + 1) % kKeptEphemerides;
    if (k.count < kKeptEphemerides) ++k.count;
    // A satellite without an ephemeris until now, or with a newer one, is sampled afresh.
    samples_[prn] = Samples{};
}

bool ElevationTable::Sample(int prn, double totalS, double& elevationDeg) {
    const Kept& k = kept_[prn];
    const double sow = GpsTimeFromTotal(totalS).sow;
    const GpsEphRecord* best = nullptr;
    double bestDistance = kEphemerisServesS;
    for (int i = 0; i < k.count; ++i) {
        const double d = std::fabs(WeekCrossover(sow - k.records[i].Toe));
        if (d < bestDistance) {
            best = &k.records[i];
            bestDistance = d;
        }
    }
    if (best == nullptr) return false;
    elevationDeg = SatelliteDirection(*best, sow, place_).elevationDeg;
    return std::isfinite(elevationDeg);
}

std::optional<double> ElevationTable::ElevationDeg(int prn, const GpsTime& time) {
    if (!hasPlace_ || !IsGpsPrn(prn) || kept_[prn].count == 0) return std::nullopt;
    const double total = time.Total();
    const double grid = std::floor(total / kElevationStepS) * kElevationStepS;
    Samples& s = samples_[prn];
    if (s.gridS != grid) {
        if (s.gridS == grid - kElevationStepS) {
            s.el0 = s.el1;
            s.ok0 = s.ok1;
        } else {
            s.ok0 = Sample(prn, grid, s.el0);
        }
        s.ok1 = Sample(prn, grid + kElevationStepS, s.el1);
        s.gridS = grid;
    }
    if (s.ok0 && s.ok1) return s.el0 + (s.el1 - s.el0) * (total - grid) / kElevationStepS;
    if (s.ok0) return s.el0;
    if (s.ok1) return s.el1;
    return std::nullopt;
}

}  // namespace kestrel
