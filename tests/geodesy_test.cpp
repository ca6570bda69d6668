// SPDX-License-Identifier: BSD-2-Clause
// Geodetic and Earth-fixed coordinates, elevation and azimuth on WGS-84.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>

#include "positioning/geodesy.h"
#include "support/sky_positions.h"

namespace kestrel {
namespace {

constexpr double kDeg = std::numbers::pi / 180.0;

void ToGeodetic(double x, double y, double z, double& lat, double& lon, double& h) {
    ecef_to_geodetic(x, y, z, kWgs84SemiMajorAxis, kWgs84SemiMinorAxis, &lat, &lon, &h);
}

TEST(Geodesy, EquatorOnPrimeMeridianIsExactBothWays) {
    double x = 1, y = 1, z = 1;
    geodetic_to_ecef(0.0, 0.0, 0.0, &x, &y, &z);
    EXPECT_EQ(x, 6378137.0);
    EXPECT_EQ(y, 0.0);
    EXPECT_EQ(z, 0.0);
    double lat = 1, lon = 1, h = 1;
    ToGeodetic(6378137.0, 0.0, 0.0, lat, lon, h);
    EXPECT_EQ(lat, 0.0);
    EXPECT_EQ(lon, 0.0);
    EXPECT_EQ(h, 0.0);
}

TEST(Geodesy, KnownPointOnTheEllipsoid) {
    // 45 N on the prime meridian: N = a / sqrt(1 - e^2/2), Z = N (1 - e^2) sin 45.
    double x, y, z;
    geodetic_to_ecef(45.0 * kDeg, 0.0, 0.0, &x, &y, &z);
    EXPECT_NEAR(x, 4517590.8789, 1e-3);
    EXPECT_NEAR(y, 0.0, 1e-9);
    EXPECT_NEAR(z, 4487348.4087, 1e-3);
}

TEST(Geodesy, RoundTripKeepsLatitudeLongitudeAndHeight) {
    struct Point {
        double latDeg, lonDeg, height;
    };
    const Point points[] = {
        {35.0, 139.0, 60.0},        // Japan
        {30.341683, 12.228736, 659.1},
        {-33.9, -70.7, 500.0},      // southern and western
        {89.9, 45.0, 0.0},          // near the pole
        {-0.5, 179.5, -50.0},       // below the ellipsoid
        {10.0, -100.0, 20200000.0}, // satellite height
    };
    for (const Point& p : points) {
        SCOPED_TRACE(p.latDeg);
        double x, y, z, lat, lon, h;
        geodetic_to_ecef(p.latDeg * kDeg, p.lonDeg * kDeg, p.height, &x, &y, &z);
        ToGeodetic(x, y, z, lat, lon, h);
        EXPECT_NEAR(lat, p.latDeg * kDeg, 1e-10);
        EXPECT_NEAR(lon, p.lonDeg * kDeg, 1e-12);
        EXPECT_NEAR(h, p.height, 1e-3);
    }
}

TEST(Geodesy, StationCoordinatesGiveItsLatitudeAndHeight) {
    // GSI station 0759 (Japan): about 35.17 N, 139.61 E, 70 m above the ellipsoid.
    double lat, lon, h;
    ToGeodetic(-3976219.5082, 3382372.5671, 3652512.9849, lat, lon, h);
    EXPECT_NEAR(lat / kDeg, 35.17, 0.01);
    EXPECT_NEAR(lon / kDeg, 139.61, 0.01);
    EXPECT_GT(h, 0.0);
    EXPECT_LT(h, 200.0);
}

TEST(Geodesy, ConversionEndsOnPointsWhereTheLatitudeNeverSettles) {
    // Near the Earth's centre the iteration oscillates forever; a damaged log must not hang.
    const double points[][3] = {{1.0, 1.0, 1.0}, {100.0, 0.0, 100.0}, {10000.0, 0.0, 10000.0}};
    for (const auto& p : points) {
        double lat = 0, lon = 0, h = 0;
        ToGeodetic(p[0], p[1], p[2], lat, lon, h);
        EXPECT_TRUE(std::isfinite(lat));
        EXPECT_LT(h, -6.0e6);
    }
    const double nan = std::numeric_limits<double>::quiet_NaN();
    double lat = 0, lon = 0, h = 0;
    ToGeodetic(nan, 0.0, 0.0, lat, lon, h);
    EXPECT_TRUE(std::isnan(lat));
}

TEST(Geodesy, ElevationAndAzimuthInTheLocalFrame) {
    const double lat = 35.0 * kDeg, lon = 139.0 * kDeg;
    PositionRecord rx{};
    geodetic_to_ecef(lat, lon, 50.0, &rx.x, &rx.y, &rx.z);
    struct Case {
        double elDeg, azDeg;
    };
    const Case cases[] = {{90.0, 0.0}, {10.0, 0.0}, {10.0, 90.0}, {45.0, -135.0}, {0.0, 179.0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.azDeg);
        PositionRecord sat = test::SatelliteSeenAt(rx, lat, lon, c.elDeg * kDeg, c.azDeg * kDeg);
        double el = -1, az = -1;
        elevation_azimuth(&sat, &rx, lat, lon, &el, &az);
        EXPECT_NEAR(el, c.elDeg * kDeg, 1e-9);
        if (c.elDeg < 90.0) {
            EXPECT_NEAR(az, c.azDeg * kDeg, 1e-9);
        }
        EXPECT_EQ(sat.elevation, el);
        EXPECT_EQ(sat.azimuth, az);
    }
}

TEST(Geodesy, ElevationLeavesEverythingWithoutAKnownPosition) {
    PositionRecord rx{};
    geodetic_to_ecef(0.000001, 0.0, 0.0, &rx.x, &rx.y, &rx.z);
    const PositionRecord origin{};
    struct Case {
        double lat, lon;
        const PositionRecord* receiver;
    };
    const Case cases[] = {
        {0.000001, 0.0, &rx},  // longitude zero
        {0.0, 0.5, &rx},       // latitude zero
        {0.5, 0.5, &origin},   // receiver at the Earth's centre
    };
    for (const Case& c : cases) {
        PositionRecord sat{};
        sat.x = 2.0e7;
        sat.elevation = 7.0;
        sat.azimuth = 8.0;
        double el = 1.5, az = 2.5;
        elevation_azimuth(&sat, c.receiver, c.lat, c.lon, &el, &az);
        EXPECT_EQ(el, 1.5);
        EXPECT_EQ(az, 2.5);
        EXPECT_EQ(sat.elevation, 7.0);
        EXPECT_EQ(sat.azimuth, 8.0);
    }
}

}  // namespace
}  // namespace kestrel
