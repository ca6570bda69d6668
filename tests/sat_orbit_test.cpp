// SPDX-License-Identifier: BSD-2-Clause
// Satellite clock and position from a broadcast ephemeris.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "positioning/geodesy.h"
#include "positioning/sat_orbit.h"
#include "support/orbit_files.h"
#include "support/test_files.h"

namespace kestrel {
namespace {

constexpr double kEarthRate = 7.2921151467e-5;

// A circular, equatorial orbit at GPS height with every correction zero.
GpsEphRecord CircularOrbit() {
    GpsEphRecord eph{};
    eph.Prn = 5;
    eph.SqrtA = 5153.6;
    eph.Toe = 7200;
    eph.Toc = 7200;
    return eph;
}

GpsEphRecord RealEphemeris() {
    const auto all = test::ReadBroadcastFile(test::DataPath("rinex/07590920.05n"));
    EXPECT_FALSE(all.empty());
    return all.empty() ? CircularOrbit() : all.front();
}

TEST(SatClock, WeekCrossoverOfTimeDifferences) {
    // A drift of 1 s/s makes the clock offset equal to the time from Toc.
    struct Case {
        double t;
        int32_t toc;
        double dt;
    };
    const Case cases[] = {
        {3600.0, 597600, 10800.0},         // ephemeris of the previous week
        {597600.0, 3600, -10800.0},        // ephemeris of the next week
        {302400.0, 0, 302400.0},           // exactly half a week stays
        {302400.5, 0, -302399.5},
        {0.0, 302400, -302400.0},
        {0.0, 302401, 302399.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.t);
        GpsEphRecord eph = CircularOrbit();
        eph.Toc = c.toc;
        eph.Af1 = 1.0;
        double tSv = 0.0;
        gps_sat_clock(&eph, c.t, nullptr, &tSv);
        EXPECT_EQ(c.t - tSv, c.dt);
    }
}

TEST(SatClock, OffsetCorrectsRangeAndPhasesOfTheObservation) {
    GpsEphRecord eph = CircularOrbit();
    eph.Af0 = 1e-4;
    SatObservation obs{};
    obs.ca_range = 2.1e7;
    obs.l1_phase = 1.1e8;
    obs.l2_phase = 8.5e7;
    obs.p2_range = 2.1e7 + 3.0;
    obs.l1_doppler = -1234.5;
    double tSv = 0.0;
    gps_sat_clock(&eph, 10000.0, &obs, &tSv);
    EXPECT_EQ(tSv, 10000.0 - 1e-4);
    EXPECT_NEAR(obs.ca_range, 2.1e7 + 29979.2458, 1e-6);
    EXPECT_NEAR(obs.l1_phase, 1.1e8 - 157542.0, 1e-6);
    EXPECT_NEAR(obs.l2_phase, 8.5e7 - 122760.0, 1e-6);
    EXPECT_EQ(double(obs.p2_range), 2.1e7 + 3.0);
    EXPECT_EQ(double(obs.l1_doppler), -1234.5);
}

TEST(SatClock, RelativisticTermAtReceiverTime) {
    GpsEphRecord eph = CircularOrbit();
    eph.Ecc = 0.01;
    eph.M0 = std::numbers::pi / 2;  // at Toe, E is near 90 degrees
    double tSv = 0.0;
    gps_sat_clock(&eph, 7200.0, nullptr, &tSv);
    double e = eph.M0;
    for (int i = 0; i < 5; ++i) e = eph.M0 + eph.Ecc * std::sin(e);
    EXPECT_NEAR(7200.0 - tSv, -4.442809305e-10 * 0.01 * 5153.6 * std::sin(e), 1e-12);
}

TEST(SatPosition, CircularOrbitWithoutLightTime) {
    GpsEphRecord eph = CircularOrbit();
    const double a = eph.SqrtA * eph.SqrtA;
    const double n = std::sqrt(3.986005e14 / (a * a * a));
    PositionRecord start{};
    start.x = 6378137.0;  // no receiver position yet: one pass, range taken as it is
    const double tk = 1000.0;
    PositionRecord sat{};
    gps_sat_position(&eph, 7200.0 + tk, 0.0, &start, &sat);
    const double node = -kEarthRate * tk - kEarthRate * 7200.0;
    const double u = n * tk;  // circular: E = M = v
    EXPECT_NEAR(sat.x, a * std::cos(u) * std::cos(node) - a * std::sin(u) * std::sin(node), 1e-6);
    EXPECT_NEAR(sat.y, a * std::cos(u) * std::sin(node) + a * std::sin(u) * std::cos(node), 1e-6);
    EXPECT_NEAR(sat.z, 0.0, 1e-9);
    EXPECT_EQ(sat.referenceTime, 7200.0);

    // A range from the start position turns the orbit back by the travel time and the
    // Earth on by as much: exactly one pass with tau = range / c.
    const double range = 2.2e7;
    const double tau = range / 299792458.0;
    PositionRecord withRange{};
    gps_sat_position(&eph, 7200.0 + tk, range, &start, &withRange);
    const double u2 = n * (tk - tau);
    const double node2 = -kEarthRate * (tk - tau) - kEarthRate * (7200.0 + tau);
    EXPECT_NEAR(withRange.x, a * std::cos(u2 + node2), 1e-6);
    EXPECT_NEAR(withRange.y, a * std::sin(u2 + node2), 1e-6);
}

TEST(SatPosition, LightTimeAndEarthRotationFromAGroundReceiver) {
    const GpsEphRecord eph = RealEphemeris();
    PositionRecord rx{};
    rx.x = -3976219.5082;
    rx.y = 3382372.5671;
    rx.z = 3652512.9849;
    const double t = eph.Toe + 1800.0;
    PositionRecord sat{};
    gps_sat_position(&eph, t, 2.3e7, &rx, &sat);

    // The same satellite at the transmission time in that moment's Earth-fixed frame,
    // turned by the Earth's rotation during the travel.
    const double dx = sat.x - rx.x, dy = sat.y - rx.y, dz = sat.z - rx.z;
    const double tau = std::sqrt(dx * dx + dy * dy + dz * dz) / 299792458.0;
    PositionRecord start{};
    start.x = 6378137.0;
    PositionRecord atTransmission{};
    gps_sat_position(&eph, t - tau, 0.0, &start, &atTransmission);
    const double angle = -kEarthRate * tau;
    EXPECT_NEAR(sat.x, atTransmission.x * std::cos(angle) - atTransmission.y * std::sin(angle), 1e-3);
    EXPECT_NEAR(sat.y, atTransmission.x * std::sin(angle) + atTransmission.y * std::cos(angle), 1e-3);
    EXPECT_NEAR(sat.z, atTransmission.z, 1e-3);
}

TEST(SatPosition, VelocityIsTheRateOfTheEarthFixedPosition) {
    const GpsEphRecord eph = RealEphemeris();
    PositionRecord start{};
    start.x = 6378137.0;
    for (double dt : {-5400.0, 0.0, 3000.0}) {
        SCOPED_TRACE(dt);
        const double t = eph.Toe + dt;
        PositionRecord now{}, before{}, after{};
        gps_sat_position(&eph, t, 0.0, &start, &now);
        gps_sat_position(&eph, t - 0.5, 0.0, &start, &before);
        gps_sat_position(&eph, t + 0.5, 0.0, &start, &after);
        EXPECT_NEAR(now.vx, after.x - before.x, 2e-3);
        EXPECT_NEAR(now.vy, after.y - before.y, 2e-3);
        EXPECT_NEAR(now.vz, after.z - before.z, 2e-3);
        const double r = std::sqrt(now.x * now.x + now.y * now.y + now.z * now.z);
        EXPECT_NEAR(r, 2.656e7, 2.0e5);
    }
}

TEST(SatPosition, DamagedEphemerisEndsTheLightTimeLoop) {
    GpsEphRecord eph = CircularOrbit();
    eph.SqrtA = 0.0;  // no orbit at all: every coordinate comes out NaN
    PositionRecord rx{};
    rx.x = -3976219.5082;
    rx.y = 3382372.5671;
    rx.z = 3652512.9849;
    PositionRecord sat{};
    gps_sat_position(&eph, 8000.0, 2.2e7, &rx, &sat);
    EXPECT_TRUE(std::isnan(sat.x));
}

TEST(SatOrbit, NoEphemerisDoesNothing) {
#ifdef NDEBUG
    SatObservation obs{};
    obs.ca_range = 2.0e7;
    double tSv = 123.0;
    gps_sat_clock(nullptr, 1000.0, &obs, &tSv);
    EXPECT_EQ(tSv, 123.0);
    EXPECT_EQ(double(obs.ca_range), 2.0e7);
    PositionRecord rx{}, sat{};
    sat.x = 9.0;
    gps_sat_position(nullptr, 1000.0, 2.0e7, &rx, &sat);
    EXPECT_EQ(sat.x, 9.0);
#else
    EXPECT_DEATH(gps_sat_clock(nullptr, 1000.0, nullptr, nullptr), "");
#endif
}

}  // namespace
}  // namespace kestrel
