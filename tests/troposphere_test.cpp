// SPDX-License-Identifier: BSD-2-Clause
// Tropospheric delay: standard atmosphere, Saastamoinen zenith delays, Niell mapping.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "positioning/geodesy.h"
#include "positioning/troposphere.h"
#include "support/sky_positions.h"

namespace kestrel {
namespace {

constexpr double kDeg = std::numbers::pi / 180.0;
constexpr double kLon = 10.0 * kDeg;

// A satellite 20000 km away at elevation `el` due north of the receiver.
PositionRecord SatelliteAt(const PositionRecord& rx, double lat, double lon, double el) {
    return test::SatelliteSeenAt(rx, lat, lon, el, 0.0);
}

double Delay(double lat, double height, double el) {
    PositionRecord rx{};
    geodetic_to_ecef(lat, kLon, height, &rx.x, &rx.y, &rx.z);
    PositionRecord sat = SatelliteAt(rx, lat, kLon, el);
    double delay = -1.0;
    EXPECT_EQ(tropo_delay(&sat, &rx, lat, kLon, height, &delay), 0);
    return delay;
}

TEST(Troposphere, StandardAtmosphere) {
    double p = 0, t = 0;
    standard_atmosphere(0.0, &p, &t);
    EXPECT_EQ(p, 1013.25);
    EXPECT_EQ(t, 293.0);
    standard_atmosphere(1000.0, &p, &t);
    EXPECT_DOUBLE_EQ(t, 286.5);
    EXPECT_NEAR(p, 1013.25 * std::pow(286.5 / 293.0, 5.255876), 1e-9);
}

TEST(Troposphere, WorkedCaseAtLatitude45SeaLevel) {
    const double lat = 45.0 * kDeg;
    const double zenith = Delay(lat, 0.0, 90.0 * kDeg);
    const double low = Delay(lat, 0.0, 10.0 * kDeg);
    EXPECT_NEAR(zenith, 2.4445, 5e-5);  // ZHD 2.3070 + ZWD 0.1375
    EXPECT_NEAR(low, 13.590, 5e-4);
}

// The delay rebuilt from given Niell rows, to see which rows the table lookup picked.
struct Row {
    double a, b, c;
};
double Map(const Row& k, double s) {
    return (1.0 + k.a / (1.0 + k.b / (1.0 + k.c))) / (s + k.a / (s + k.b / (s + k.c)));
}
double ReferenceDelay(double lat, double el, const Row& avg, const Row& amp, const Row& wet) {
    const double zhd = 0.0022768 * 1013.25 / (1.0 - 0.00266 * std::cos(2.0 * lat));
    const double es = 6.11 * std::pow(293.0 / 273.15, -5.3) * std::exp(25.2 * 19.85 / 293.0);
    const double zwd = 0.0022768 * (1255.0 / 293.0 + 0.05) * 0.6 * es /
                       (1.0 - 0.00266 * std::cos(2.0 * lat));
    const Row h = {avg.a - 0.5 * amp.a, avg.b - 0.5 * amp.b, avg.c - 0.5 * amp.c};
    return zhd * Map(h, std::sin(el)) + zwd * Map(wet, std::sin(el));
}
Row Mix(const Row& lo, const Row& hi, double w) {
    return {lo.a + (hi.a - lo.a) * w, lo.b + (hi.b - lo.b) * w, lo.c + (hi.c - lo.c) * w};
}

constexpr Row kAvg15 = {1.2769934e-3, 2.9153695e-3, 62.610505e-3};
constexpr Row kAvg30 = {1.2683230e-3, 2.9152299e-3, 62.837393e-3};
constexpr Row kAvg45 = {1.2465397e-3, 2.9288445e-3, 63.721774e-3};
constexpr Row kAvg75 = {1.2045996e-3, 2.9024912e-3, 64.258455e-3};
constexpr Row kAmp15 = {0.0, 0.0, 0.0};
constexpr Row kAmp30 = {1.2709626e-5, 2.1414979e-5, 9.0128400e-5};
constexpr Row kAmp45 = {2.6523662e-5, 3.0160779e-5, 4.3497037e-5};
constexpr Row kAmp75 = {4.1202191e-5, 11.723375e-5, 170.37206e-5};
constexpr Row kWet15 = {5.8021897e-4, 1.4275268e-3, 4.3472961e-2};
constexpr Row kWet30 = {5.6794847e-4, 1.5138625e-3, 4.6729510e-2};
constexpr Row kWet45 = {5.8118019e-4, 1.4572752e-3, 4.3908931e-2};
constexpr Row kWet75 = {6.1641693e-4, 1.7599082e-3, 5.4736038e-2};

TEST(Troposphere, MappingRowsChosenByWholeDegreesOfLatitude) {
    const double w44 = 14.0 / 15.0;  // 44.9 degrees falls on 44: between the 30 and 45 rows
    struct Case {
        double latDeg;
        Row avg, amp, wet;
    };
    const Case cases[] = {
        {45.0, kAvg45, kAmp45, kWet45},
        {44.9, Mix(kAvg30, kAvg45, w44), Mix(kAmp30, kAmp45, w44), Mix(kWet30, kWet45, w44)},
        // The table factor lies above 180/pi: just under 45 degrees still reads as 45.
        {44.9995, kAvg45, kAmp45, kWet45},
        {15.5, kAvg15, kAmp15, kWet15},
        {-30.0, kAvg15, kAmp15, kWet15},  // every southern latitude takes the 15-degree rows
        {-75.0, kAvg15, kAmp15, kWet15},
        {75.0, kAvg75, kAmp75, kWet75},
        {80.0, kAvg75, kAmp75, kWet75},
    };
    const double el = 7.0 * kDeg;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.latDeg);
        const double lat = c.latDeg * kDeg;
        EXPECT_NEAR(Delay(lat, 0.0, el), ReferenceDelay(lat, el, c.avg, c.amp, c.wet), 1e-9);
    }
}

TEST(Troposphere, CorrectionOnlyWithinTheHeightSpanAndWithAPosition) {
    struct Case {
        double lat, lon, height;
        bool corrected;
    };
    const Case cases[] = {
        {45.0 * kDeg, kLon, 30000.0, true},  {45.0 * kDeg, kLon, 30000.1, false},
        {45.0 * kDeg, kLon, -1000.0, true},  {45.0 * kDeg, kLon, -1000.1, false},
        {0.000001, 0.0, 0.0, false},         {0.0, kLon, 0.0, false},
        {45.0 * kDeg, kLon, std::nan(""), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.height);
        PositionRecord rx{};
        geodetic_to_ecef(c.lat, c.lon, std::isnan(c.height) ? 0.0 : c.height, &rx.x, &rx.y, &rx.z);
        PositionRecord sat = SatelliteAt(rx, c.lat, c.lon, 30.0 * kDeg);
        sat.elevation = 3.0;
        double range = 2.2e7;
        tropo_correct(&sat, &range, c.lat, c.lon, c.height);
        if (c.corrected) {
            EXPECT_LT(range, 2.2e7);
            EXPECT_GT(range, 2.2e7 - 10.0);
            EXPECT_NEAR(sat.elevation, 30.0 * kDeg, 1e-9);  // stored by the elevation step
        } else {
            EXPECT_EQ(range, 2.2e7);
            EXPECT_EQ(sat.elevation, 3.0);
        }
    }
}

TEST(Troposphere, CorrectionSubtractsTheSlantDelay) {
    const double lat = 45.0 * kDeg;
    PositionRecord rx{};
    geodetic_to_ecef(lat, kLon, 0.0, &rx.x, &rx.y, &rx.z);
    PositionRecord sat = SatelliteAt(rx, lat, kLon, 10.0 * kDeg);
    double range = 2.2e7;
    tropo_correct(&sat, &range, lat, kLon, 0.0);
    EXPECT_NEAR(2.2e7 - range, 13.590, 5e-4);
}

}  // namespace
}  // namespace kestrel
