// SPDX-License-Identifier: BSD-2-Clause
// The single-point position and clock solution on pseudoranges simulated from real
// broadcast orbits and a known station.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <string>
#include <vector>

#include "common/error_text.h"
#include "positioning/eph_store.h"
#include "positioning/geodesy.h"
#include "positioning/sat_orbit.h"
#include "positioning/single_point.h"
#include "positioning/troposphere.h"
#include "support/station_sim.h"

namespace kestrel {
namespace {

constexpr double kC = 299792458.0;
constexpr double kDeg = std::numbers::pi / 180.0;
constexpr double kStation[3] = {test::StationSimulation::kX, test::StationSimulation::kY,
                                test::StationSimulation::kZ};
constexpr double kTime = test::StationSimulation::kTime;

class SinglePoint : public ::testing::Test {
protected:
    void SetUp() override {
        reset_single_point_state();
        visible_ = sim_.VisiblePrns(kTime);
        ASSERT_GE(visible_.size(), 7u);
    }
    void TearDown() override {
        reset_single_point_state();
        eph_store_clear();
    }

    std::vector<SatObservation> Observe(const std::vector<int>& prns, double t, double bias,
                                        bool tropo = false) const {
        return sim_.Observe(prns, t, bias, tropo);
    }
    double PositionError(const EpochHeader& h) const { return sim_.PositionError(h); }

    static EpochHeader Header(double timeTag, size_t count) {
        EpochHeader h{};
        h.sat_count = static_cast<uint8_t>(count);
        h.time_tag = timeTag;
        h.corrected_time = timeTag;
        return h;
    }
    // A header still holding the position of an earlier epoch.
    static EpochHeader HeaderWithPosition(double timeTag, size_t count) {
        EpochHeader h = Header(timeTag, count);
        h.latitude = 35.0;
        h.longitude = 139.0;
        h.height = 50.0f;
        return h;
    }
    static void ExpectPositionCleared(const EpochHeader& h) {
        EXPECT_EQ(double(h.latitude), 0.0);
        EXPECT_EQ(double(h.longitude), 0.0);
        EXPECT_EQ(float(h.height), 0.0f);
    }

    int32_t Solve(EpochHeader& h, const std::vector<SatObservation>& obs, double* clock,
                  int32_t mode = kSolveBoth) {
        return solve_epoch(&h, obs.data(), mode, 0.0, 0.0, 0.0, clock);
    }

    std::vector<int> First(size_t n) const {
        return std::vector<int>(visible_.begin(), visible_.begin() + static_cast<long>(n));
    }

    test::StationSimulation sim_;
    std::vector<int> visible_;
};

TEST_F(SinglePoint, FourSatellitesFromNoPriorPositionSolveExactly) {
    const double bias = 1000.0;
    auto obs = Observe(First(4), kTime, bias);
    const std::vector<SatObservation> before = obs;
    EpochHeader h = Header(kTime + bias / kC, obs.size());
    double clock = 0.0;
    ASSERT_EQ(Solve(h, obs, &clock), 0) << error_text();
    EXPECT_LT(PositionError(h), 0.5);
    EXPECT_NEAR(clock, bias, 0.5);
    // The epoch's clock fields are the clock step's to set.
    EXPECT_EQ(double(h.clock_offset), 0.0);
    EXPECT_EQ(double(h.corrected_time), double(h.time_tag));
    EXPECT_EQ(h.flags, 0);
    EXPECT_NEAR(h.latitude, sim_.latitude() / kDeg, 1e-5);
    EXPECT_NEAR(h.height, sim_.height(), 0.5);
    // The caller's observations are never touched.
    EXPECT_EQ(std::memcmp(before.data(), obs.data(), sizeof(SatObservation) * obs.size()), 0);
}

TEST_F(SinglePoint, NextEpochStartsFromTheLastSolutionWithTroposphere) {
    auto first = Observe(First(6), kTime, 0.0);
    EpochHeader h1 = Header(kTime, first.size());
    double clock = 0.0;
    ASSERT_EQ(Solve(h1, first, &clock), 0) << error_text();

    // From now on the delay is removed: ranges that carry it solve to the station.
    auto second = Observe(First(6), kTime + 1.0, 0.0, true);
    EpochHeader h2 = Header(kTime + 1.0, second.size());
    ASSERT_EQ(Solve(h2, second, &clock), 0) << error_text();
    EXPECT_LT(PositionError(h2), 0.5);
    EXPECT_NEAR(clock, 0.0, 0.5);
}

TEST_F(SinglePoint, EntryClockDatesTheSatelliteComputations) {
    const double bias = 299792.458;  // 1 ms
    const auto first = Observe(First(6), kTime, bias);
    EpochHeader h1 = Header(kTime + bias / kC, first.size());
    double clock = bias;
    ASSERT_EQ(Solve(h1, first, &clock), 0) << error_text();

    const auto obs = Observe(First(6), kTime + 1.0, bias, true);
    EpochHeader withClock = Header(kTime + 1.0 + bias / kC, obs.size());
    clock = bias;
    ASSERT_EQ(Solve(withClock, obs, &clock), 0) << error_text();
    EXPECT_LT(PositionError(withClock), 0.1);
    EXPECT_NEAR(clock, bias, 0.1);

    EpochHeader withoutClock = Header(kTime + 1.0 + bias / kC, obs.size());
    clock = 0.0;
    ASSERT_EQ(Solve(withoutClock, obs, &clock), 0) << error_text();
    EXPECT_GT(PositionError(withoutClock), 0.3);  // satellites placed 1 ms late
}

TEST_F(SinglePoint, ShortPseudorangesAreLeftOut) {
    for (double shortRange : {99.9, 100.0, -99.9, std::nan("")}) {
        SCOPED_TRACE(shortRange);
        reset_single_point_state();
        auto obs = Observe(First(5), kTime, 0.0);
        obs[2].ca_range = shortRange;
        EpochHeader h = Header(kTime, obs.size());
        double clock = 0.0;
        const int32_t r = Solve(h, obs, &clock);
        if (shortRange == 100.0) {
            EXPECT_EQ(r, 1);  // taken as a measurement: far out
        } else {
            EXPECT_EQ(r, 0) << error_text();
            EXPECT_LT(PositionError(h), 0.5);
        }
    }
}

TEST_F(SinglePoint, TooFewUsableSatellitesCountAsSolvedWithoutOffset) {
    // Three GPS satellites with ephemerides among eight observations.
    std::vector<int> prns = First(3);
    for (int prn = 1; prn <= 32 && prns.size() < 6; ++prn)
        if (!eph_store_find(prn, static_cast<int32_t>(kTime))) prns.push_back(prn);
    prns.push_back(33);
    prns.push_back(40);
    ASSERT_EQ(prns.size(), 8u);
    auto obs = Observe(prns, kTime, 500.0);
    EpochHeader h = HeaderWithPosition(kTime + 1e-3, obs.size());
    h.flags = 3;
    h.clock_offset = 77.0;
    double clock = 5.0;
    ASSERT_EQ(Solve(h, obs, &clock), 0);
    EXPECT_STREQ(error_text(), "Error: Not enough satellites, need at least 4: 3");
    EXPECT_EQ(clock, 0.0);
    ExpectPositionCleared(h);
    // The clock fields and flags stay the caller's.
    EXPECT_EQ(h.flags, 3);
    EXPECT_EQ(double(h.clock_offset), 77.0);
}

TEST_F(SinglePoint, SatelliteCountIsASignedByteUpTo24) {
    auto obs = Observe(First(4), kTime, 0.0);
    for (uint8_t count : {uint8_t{25}, uint8_t{200}, uint8_t{255}}) {
        set_error_text("untouched");
        EpochHeader h = Header(kTime, 0);
        h.sat_count = count;
        double clock = 0.0;
        EXPECT_EQ(Solve(h, obs, &clock), 1);
        EXPECT_STREQ(error_text(), "untouched");
        EXPECT_EQ(h.flags, 0);
    }
    double x = 0, y = 0, z = 0, clock = 0;
    const int32_t none[1] = {0};
    PositionRecord records[1] = {};
    EXPECT_EQ(lsq_fix(25, obs.data(), none, records, &x, &y, &z, &clock), 1);
    EXPECT_STREQ(error_text(), "Error: NumSats is out of range (ns=25)");
    EXPECT_EQ(lsq_fix(-1, obs.data(), none, records, &x, &y, &z, &clock), 1);
    EXPECT_STREQ(error_text(), "Error: NumSats is out of range (ns=-1)");
}

TEST_F(SinglePoint, OneBadSatelliteAmongFiveFailsAndResetsThePosition) {
    auto obs = Observe(First(5), kTime, 0.0);
    obs[1].ca_range += 100000.0;
    EpochHeader h = HeaderWithPosition(kTime, obs.size());
    double clock = 0.0;
    EXPECT_EQ(Solve(h, obs, &clock), 1);
    EXPECT_STREQ(error_text(), "Error: Could not re-calculate position, bad data");
    ExpectPositionCleared(h);

    // Clock only: the header's position stays.
    EpochHeader clockOnly = Header(kTime, obs.size());
    clockOnly.latitude = 35.0;
    clock = 0.0;
    EXPECT_EQ(Solve(clockOnly, obs, &clock, kSolveClock), 1);
    EXPECT_STREQ(error_text(), "Error: Could not update clock shift, bad data");
    EXPECT_EQ(double(clockOnly.latitude), 35.0);
}

TEST_F(SinglePoint, OneBadSatelliteAmongSevenIsLeftOut) {
    for (size_t bad = 0; bad < 7; bad += 3) {
        SCOPED_TRACE(bad);
        reset_single_point_state();
        auto obs = Observe(First(7), kTime, 0.0);
        obs[bad].ca_range += 100000.0;
        EpochHeader h = Header(kTime, obs.size());
        double clock = 0.0;
        ASSERT_EQ(Solve(h, obs, &clock), 0) << error_text();
        EXPECT_LT(PositionError(h), 0.5);
        EXPECT_NEAR(clock, 0.0, 0.5);
    }
}

TEST_F(SinglePoint, TwoBadSatellitesAmongSevenCannotBeRepaired) {
    auto obs = Observe(First(7), kTime, 0.0);
    obs[1].ca_range += 100000.0;
    obs[4].ca_range -= 60000.0;
    EpochHeader h = Header(kTime, obs.size());
    double clock = 0.0;
    EXPECT_EQ(Solve(h, obs, &clock), 1);
    EXPECT_STREQ(error_text(), "Error: Could not re-calculate position, bad data");
}

TEST(SinglePointScreening, NamesTheWorstSatelliteAboveTheLimit) {
    // Six satellites 20000 km out along the axes, where every range is exact.
    const double d = 2.0e7;
    const double where[6][3] = {{d, 0, 0}, {0, d, 0}, {0, 0, d}, {-d, 0, 0}, {0, -d, 0}, {0, 0, -d}};
    const double misfit[6] = {0.0, 600.0, 0.0, -900.0, 900.0, 2000.0};
    const uint8_t prns[6] = {3, 5, 7, 9, 11, 40};  // 40 is not GPS: never screened
    SatObservation obs[6] = {};
    PositionRecord records[6] = {};
    for (int i = 0; i < 6; ++i) {
        records[i].x = where[i][0];
        records[i].y = where[i][1];
        records[i].z = where[i][2];
        obs[i].prn = prns[i];
        obs[i].ca_range = d + 100.0 + misfit[i];  // clock 100 m
    }
    const int32_t none[1] = {0};
    double worst = -1.0;
    // Equal residuals: the earlier satellite is named.
    EXPECT_EQ(screen_residuals(6, obs, none, records, 500.0, 0, 0, 0, 100.0, &worst), 9);
    EXPECT_EQ(worst, 900.0);
    const int32_t listed[2] = {9, 0};
    EXPECT_EQ(screen_residuals(6, obs, listed, records, 500.0, 0, 0, 0, 100.0, &worst), 11);
    const int32_t two[3] = {9, 11, 0};
    EXPECT_EQ(screen_residuals(6, obs, two, records, 500.0, 0, 0, 0, 100.0, &worst), 5);
    EXPECT_EQ(worst, 600.0);
    EXPECT_EQ(screen_residuals(6, obs, two, records, 600.0, 0, 0, 0, 100.0, &worst), -1);
    EXPECT_EQ(worst, 0.0);
}

TEST_F(SinglePoint, DamagedEphemerisIsLeftOutLikeAMissingOne) {
    auto obs = Observe(First(6), kTime, 0.0);
    // Replace one satellite's ephemeris by one without an orbit.
    eph_store_clear();
    for (GpsEphRecord e : sim_.ephemerides()) {
        if (e.Prn == obs[0].prn) e.SqrtA = 0.0;
        eph_store_insert(&e);
    }
    EpochHeader h = Header(kTime, obs.size());
    double clock = 0.0;
    ASSERT_EQ(Solve(h, obs, &clock), 0) << error_text();
    EXPECT_LT(PositionError(h), 0.5);
}

// A satellite of a polar circular orbit over the station's meridian, placed by its mean
// anomaly so that the solution sees it at `elevationDeg` from the last solution.
GpsEphRecord LowSatellite(int prn, double elevationDeg, const PositionRecord& receiver,
                          const PositionRecord& seenFrom, double lat, double lon, double t,
                          double range) {
    GpsEphRecord eph{};
    eph.Prn = prn;
    eph.SqrtA = 5153.6;
    eph.Toe = static_cast<int32_t>(t);
    eph.Toc = eph.Toe;
    eph.I0 = std::numbers::pi / 2;
    eph.Omega0 = lon + 7.2921151467e-5 * t;
    auto elevationAt = [&](double m0) {
        eph.M0 = m0;
        PositionRecord sat{};
        gps_sat_position(&eph, t, range, &receiver, &sat);
        double el = 0, az = 0;
        elevation_azimuth(&sat, &seenFrom, lat, lon, &el, &az);
        return el / kDeg;
    };
    // Northward from overhead the elevation falls: bisect on the mean anomaly.
    double lo = lat, hi = lat + 75.0 * kDeg;
    for (int i = 0; i < 200; ++i) {
        const double mid = 0.5 * (lo + hi);
        (elevationAt(mid) > elevationDeg ? lo : hi) = mid;
    }
    eph.M0 = 0.5 * (lo + hi);
    return eph;
}

TEST_F(SinglePoint, ElevationMaskOnceASolutionExists) {
    // First epoch: a solution, which arms the mask.
    auto first = Observe(First(6), kTime, 0.0);
    EpochHeader h1 = Header(kTime, first.size());
    double clock = 0.0;
    ASSERT_EQ(Solve(h1, first, &clock), 0) << error_text();
    double lat = h1.latitude * kDeg, lon = h1.longitude * kDeg;
    PositionRecord seenFrom{};
    geodetic_to_ecef(lat, lon, h1.height, &seenFrom.x, &seenFrom.y, &seenFrom.z);

    int spare = 1;  // a PRN without an ephemeris of its own
    while (eph_store_find(spare, static_cast<int32_t>(kTime))) ++spare;

    struct Case {
        double elevation;
        bool used;
    };
    for (const Case c : {Case{9.99, false}, Case{10.001, true}}) {
        SCOPED_TRACE(c.elevation);
        // Three good satellites and one low one: the low one decides whether four rows exist.
        std::vector<int> prns = First(3);
        GpsEphRecord low = LowSatellite(spare, c.elevation, seenFrom, seenFrom, lat, lon, kTime, 2.4e7);
        eph_store_clear();
        for (const GpsEphRecord& e : sim_.ephemerides())
            eph_store_insert(&e);
        eph_store_insert(&low);
        prns.push_back(spare);
        auto obs = Observe(prns, kTime, clock, true);
        EpochHeader h = Header(kTime, obs.size());
        double next = clock;
        ASSERT_EQ(Solve(h, obs, &next), 0) << error_text();
        // Too few satellites leave no position.
        EXPECT_EQ(h.latitude != 0.0, c.used) << error_text();
        if (!c.used) {
            EXPECT_STREQ(error_text(), "Error: Not enough satellites, need at least 4: 3");
            // The reset leaves no solution: the next epoch has no mask and uses all four.
            EpochHeader again = Header(kTime, obs.size());
            ASSERT_EQ(Solve(again, obs, &next), 0) << error_text();
            EXPECT_NE(double(again.latitude), 0.0);
        }
        // Back to a solution from the first epoch's data for the next case.
        EpochHeader redo = Header(kTime, first.size());
        ASSERT_EQ(Solve(redo, first, &clock), 0);
    }
}

}  // namespace
}  // namespace kestrel
