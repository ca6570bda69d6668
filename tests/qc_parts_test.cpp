// SPDX-License-Identifier: BSD-2-Clause
// The quality check's parts on their own: the code-minus-carrier combinations, the arcs'
// spread, the ionospheric jump watch, the clock step finder, the sampled elevations and the
// epoch rules shared with the RINEX conversion.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "common/run_figures.h"
#include "pipeline/epoch_placer.h"
#include "pipeline/epoch_selector.h"
#include "qc/clock_steps.h"
#include "qc/multipath.h"
#include "positioning/eph_store.h"
#include "qc/sky.h"
#include "support/orbit_files.h"
#include "support/test_files.h"

namespace kestrel {
namespace {

constexpr double kAlpha = (77.0 / 60.0) * (77.0 / 60.0);
constexpr double kL1 = 299792458.0 / 1575.42e6;
constexpr double kL2 = 299792458.0 / 1227.60e6;
constexpr double kStation[3] = {-3976219.5082, 3382372.5671, 3652512.9849};  // GSI 0759

// Code and carrier of one epoch, built from what they are made of.
struct Signal {
    double rangeM, ionosphereM, n1, n2, mp1M, mp2M;
    double C1() const { return rangeM + ionosphereM + mp1M; }
    double P2() const { return rangeM + kAlpha * ionosphereM + mp2M; }
    double Phi1() const { return rangeM - ionosphereM + kL1 * n1; }
    double Phi2() const { return rangeM - kAlpha * ionosphereM + kL2 * n2; }
};

// Geometry and ionosphere cancel: with the same ambiguities, the combinations differ only by
// the code multipath, whatever the range and the delay.
TEST(Multipath, CombinationsKeepOnlyTheCodeMultipath) {
    const Signal base{2.0e7, 3.0, 1234567.0, -7654321.0, 0.0, 0.0};
    const Signal cases[] = {
        {2.0e7, 3.0, 1234567.0, -7654321.0, 0.5, -0.25},
        {2.6e7, 3.0, 1234567.0, -7654321.0, 0.0, 0.0},
        {2.1e7, 25.0, 1234567.0, -7654321.0, -1.2, 0.8},
        {2.3e7, 0.1, 1234567.0, -7654321.0, 0.03, 0.07},
    };
    const double mp1Base = Mp1(base.C1(), base.Phi1(), base.Phi2());
    const double mp2Base = Mp2(base.P2(), base.Phi1(), base.Phi2());
    const double ionoBase = IonosphericDelayM(base.Phi1(), base.Phi2());
    for (const Signal& s : cases) {
        SCOPED_TRACE(s.rangeM);
        EXPECT_NEAR(Mp1(s.C1(), s.Phi1(), s.Phi2()) - mp1Base, s.mp1M, 1e-6);
        EXPECT_NEAR(Mp2(s.P2(), s.Phi1(), s.Phi2()) - mp2Base, s.mp2M, 1e-6);
        EXPECT_NEAR(IonosphericDelayM(s.Phi1(), s.Phi2()) - ionoBase, s.ionosphereM - base.ionosphereM, 1e-7);
    }
}

TEST(Multipath, ArcSpreadIgnoresALargeConstant) {
    // Centimetre noise on an ambiguity of a thousand kilometres: a plain sum of squares would
    // lose it all.
    const double values[] = {0.012, -0.031, 0.027, 0.004, -0.018, 0.022, -0.009, 0.001};
    ArcMoments arc;
    double mean = 0.0;
    for (double v : values) {
        arc.Add(1.0e6 + v);
        mean += v / std::size(values);
    }
    double expected = 0.0;
    for (double v : values) expected += (v - mean) * (v - mean);
    EXPECT_EQ(arc.count(), 8);
    // Within what the inputs themselves carry at 10^6 (a plain Σx² − (Σx)²/n would be off by
    // about 10^-3).
    EXPECT_NEAR(arc.SquaredDeviations(), expected, 1e-9);
    EXPECT_NEAR(arc.first() + arc.MeanFromFirst(), 1.0e6 + mean, 1e-9);
    RmsSum rms;
    EXPECT_FALSE(rms.Rms().has_value());
    rms.AddArc(arc);
    EXPECT_NEAR(*rms.Rms(), std::sqrt(expected / 8), 1e-9);
}

struct JumpCase {
    const char* name;
    double stepS;
    double ratePerS;        // steady ionospheric delay rate, m/s
    int slipAt;             // epoch of a phase slip; -1 for none
    double slipL1Cycles;
    double slipL2Cycles;
    int expectedAt;         // epoch the watch reports; -1 for none
};

TEST(IonosphereWatch, FindsSlipsTheLockCountersMissed) {
    const JumpCase cases[] = {
        {"quiet 30 s", 30.0, 0.0005, -1, 0, 0, -1},
        {"storm-like 1 Hz", 1.0, 0.02, -1, 0, 0, -1},
        {"one L1 cycle at 30 s", 30.0, 0.0005, 7, 1, 0, 7},
        {"one L2 cycle at 1 Hz", 1.0, 0.001, 12, 0, 1, 12},
        {"ten cycles on both", 30.0, 0.0005, 5, 10, 10, 5},
        {"L1 cycle at the second epoch", 1.0, 0.001, 1, 3, 0, 1},
        // 77 L1 and 60 L2 cycles move both phases by the same distance: invisible here.
        {"the slip it cannot see", 30.0, 0.0005, 4, 77, 60, -1},
    };
    for (const JumpCase& c : cases) {
        SCOPED_TRACE(c.name);
        IonosphereWatch watch;
        int found = -1;
        for (int k = 0; k < 20; ++k) {
            const double t = k * c.stepS;
            Signal s{2.2e7 + 800.0 * t, 5.0 + c.ratePerS * t, 1000.0, 2000.0, 0.0, 0.0};
            if (c.slipAt >= 0 && k >= c.slipAt) {
                s.n1 += c.slipL1Cycles;
                s.n2 += c.slipL2Cycles;
            }
            std::optional<double> rate;
            if (watch.Add(t, IonosphericDelayM(s.Phi1(), s.Phi2()), rate) && found < 0) found = k;
            if (k > 0 && k != c.slipAt) {
                ASSERT_TRUE(rate.has_value());
                EXPECT_NEAR(*rate, c.ratePerS, 1e-6);
            }
        }
        EXPECT_EQ(found, c.expectedAt);
    }
}

struct ClockCase {
    const char* name;
    int epochs;
    double stepS;             // between epochs
    double driftMps;
    std::vector<int> stepAt;  // epochs after which the offset jumps by `stepM`
    double stepM;
    int outlierAt;            // one solution off by 400 m; -1 for none
    std::vector<int> expectedSteps;
};

// A wobble of a few metres, as single-point clock offsets have.
double Wobble(int k) { return 4.0 * std::sin(1.7 * k) + 2.0 * std::cos(0.6 * k * k); }

TEST(ClockStepFinder, StepsAreJumpsTheDriftDoesNotExplain) {
    const double chip = 293.05;
    const ClockCase cases[] = {
        {"receiver that steers by a chip", 23, 1.0, -88.0, {4, 8, 11, 14, 17, 21}, chip, -1, {4, 8, 11, 14, 17, 21}},
        {"free-running, no step", 120, 30.0, 420.0, {}, 0.0, -1, {}},
        {"millisecond step back", 200, 1.0, 12.0, {57}, -299792.458, -1, {57}},
        {"step at the first change", 10, 1.0, 5.0, {1}, chip, -1, {1}},
        {"step at the last change", 10, 1.0, 5.0, {9}, chip, -1, {9}},
        {"one solution off is no step", 30, 1.0, 5.0, {}, 0.0, 12, {}},
        {"two epochs: nothing to tell", 2, 1.0, 5.0, {1}, chip, -1, {}},
    };
    for (const ClockCase& c : cases) {
        SCOPED_TRACE(c.name);
        ClockStepFinder finder;
        std::vector<ClockStepFinder::Step> steps;
        double jumps = 0.0;
        for (int k = 0; k < c.epochs; ++k) {
            for (int at : c.stepAt) jumps += at == k ? c.stepM : 0.0;
            double offset = 100.0 + c.driftMps * k * c.stepS + jumps + Wobble(k);
            if (k == c.outlierAt) offset += 400.0;
            finder.Add(1000.0 + k * c.stepS, offset, steps);
        }
        finder.Finish(steps);
        ASSERT_EQ(steps.size(), c.expectedSteps.size());
        for (std::size_t i = 0; i < steps.size(); ++i) {
            EXPECT_EQ(steps[i].timeS, 1000.0 + c.expectedSteps[i] * c.stepS);
            EXPECT_NEAR(steps[i].sizeM, c.stepM, 15.0);
        }
        EXPECT_EQ(finder.outliers(), c.outlierAt >= 0 ? 1 : 0);
        // The wobble's ends stay in the mean rate.
        if (c.epochs > 2) {
            EXPECT_NEAR(*finder.DriftMps(), c.driftMps, 15.0 / ((c.epochs - 1) * c.stepS));
        }
    }
}

TEST(Sky, DirectionsFromTheBroadcastOrbitsMatchThePreciseOrbits) {
    std::vector<int> weeks;
    const auto broadcast = test::ReadBroadcastFile(test::DataPath("orbits/brdc1820.10n"), &weeks);
    const auto precise = test::ReadPreciseFile(test::DataPath("orbits/igs15904.sp3"));
    ASSERT_FALSE(broadcast.empty());
    ASSERT_FALSE(precise.empty());
    const auto place = MakeSkyPlace({kStation[0], kStation[1], kStation[2]});
    ASSERT_TRUE(place.has_value());
    int compared = 0;
    double worst = 0.0;
    for (std::size_t e = 0; e < precise.size(); ++e) {
        for (const auto& s : precise[e].satellites) {
            // Without a precise clock (PRN 1 that day) the two orbits need not agree.
            if (std::isnan(s.clock)) continue;
            const GpsEphRecord* best = nullptr;
            for (const GpsEphRecord& b : broadcast) {
                if (b.Prn == s.prn && std::fabs(b.Toe - precise[e].secondsOfWeek) <= 7200.0) best = &b;
            }
            if (best == nullptr) continue;
            // The precise position is at the epoch; the broadcast one at transmission, seen
            // from the rotated Earth: compare where they point from the ground, allowing for
            // the satellite's motion during the 70 ms of flight.
            const std::array<double, 3> enu = EastNorthUp(*place, {s.x, s.y, s.z});
            const double el = std::atan2(enu[2], std::hypot(enu[0], enu[1])) * 180.0 / M_PI;
            if (el < 0.0) continue;
            const SkyDirection d = SatelliteDirection(*best, precise[e].secondsOfWeek, *place);
            EXPECT_NEAR(d.elevationDeg, el, 0.01) << "PRN " << s.prn;
            double az = std::atan2(enu[0], enu[1]) * 180.0 / M_PI;
            if (az < 0.0) az += 360.0;
            const double dAz = std::remainder(d.azimuthDeg - az, 360.0);
            EXPECT_LT(std::fabs(dAz) * std::cos(el * M_PI / 180.0), 0.01) << "PRN " << s.prn;
            worst = std::max(worst, std::fabs(d.elevationDeg - el));
            ++compared;
        }
    }
    EXPECT_GT(compared, 500);
    std::printf("%d directions compared, worst elevation difference %.4f deg\n", compared, worst);
}

TEST(Sky, SampledElevationsFollowTheOrbits) {
    std::vector<int> weeks;
    const auto broadcast = test::ReadBroadcastFile(test::DataPath("orbits/brdc1820.10n"), &weeks);
    ASSERT_FALSE(broadcast.empty());
    const auto place = MakeSkyPlace({kStation[0], kStation[1], kStation[2]});
    ElevationTable table;
    const GpsTime start{weeks.front(), 345600.0 + 7200.0};  // 2010-07-01 02:00
    EXPECT_FALSE(table.ElevationDeg(5, start).has_value()) << "no place yet";
    table.SetPlace(*place);
    EXPECT_FALSE(table.ElevationDeg(5, start).has_value()) << "no ephemeris yet";
    GpsEphRecord unhealthy = broadcast.front();
    table.AddEphemeris(unhealthy, false);
    EXPECT_FALSE(table.ElevationDeg(unhealthy.Prn, start).has_value()) << "unhealthy ephemerides are not kept";

    // Every ephemeris of the two hours, then every satellite every 7 s for two hours.
    for (const GpsEphRecord& b : broadcast) {
        if (std::fabs(b.Toe - (start.sow + 3600.0)) <= 3600.0) table.AddEphemeris(b, true);
    }
    double worst = 0.0;
    int compared = 0;
    for (double t = 0.0; t < 7200.0; t += 7.0) {
        const GpsTime now{start.week, start.sow + t};
        for (int prn = 1; prn <= 32; ++prn) {
            const auto sampled = table.ElevationDeg(prn, now);
            const GpsEphRecord* best = nullptr;
            double distance = kEphemerisServesS;
            for (const GpsEphRecord& b : broadcast) {
                const double d = std::fabs(b.Toe - now.sow);
                if (b.Prn == prn && std::fabs(b.Toe - (start.sow + 3600.0)) <= 3600.0 && d < distance) {
                    best = &b;
                    distance = d;
                }
            }
            ASSERT_EQ(sampled.has_value(), best != nullptr) << prn;
            if (!sampled) continue;
            const double direct = SatelliteDirection(*best, now.sow, *place).elevationDeg;
            worst = std::max(worst, std::fabs(*sampled - direct));
            ++compared;
        }
    }
    EXPECT_LT(worst, 0.05);
    EXPECT_GT(compared, 20000);
    std::printf("%d sampled elevations, worst %.4f deg from the orbit\n", compared, worst);
}

struct PlaceCase {
    const char* name;
    std::optional<int> givenWeek;
    std::vector<std::pair<int32_t, double>> frames;  // week, time of week
    std::vector<EpochPlacer::Outcome> outcomes;
    std::vector<int> weeks;  // of the frames placed
};

TEST(EpochPlacer, WeeksFromTheFramesOrGiven) {
    using O = EpochPlacer::Outcome;
    const PlaceCase cases[] = {
        {"frames' weeks across a rollover", std::nullopt, {{1316, 604799.0}, {1317, 0.0}}, {O::kPlaced, O::kPlaced}, {1316, 1317}},
        {"no week in the frames", std::nullopt, {{0, 100.0}}, {O::kNoWeek}, {}},
        {"a week that jumps", std::nullopt, {{1316, 100.0}, {1318, 101.0}, {1316, 102.0}}, {O::kPlaced, O::kWeekJump, O::kPlaced}, {1316, 1316}},
        {"given week rolls over", 2000, {{0, 604000.0}, {0, 500.0}, {7, 600.0}}, {O::kPlaced, O::kPlaced, O::kPlaced}, {2000, 2001, 2001}},
    };
    for (const PlaceCase& c : cases) {
        SCOPED_TRACE(c.name);
        EpochPlacer placer(c.givenWeek);
        std::vector<int> weeks;
        for (std::size_t i = 0; i < c.frames.size(); ++i) {
            GpsTime t;
            EXPECT_EQ(placer.Place(c.frames[i].first, c.frames[i].second, t), c.outcomes[i]) << i;
            if (c.outcomes[i] == O::kPlaced) weeks.push_back(t.week);
        }
        EXPECT_EQ(weeks, c.weeks);
    }
}

TEST(EvenSampler, StaysBoundedAndEvenlySpread) {
    EvenSampler<int, 8> sampler;
    for (int i = 0; i < 1000; ++i) sampler.Add(i);
    const auto& s = sampler.samples();
    ASSERT_LE(s.size(), 8u);
    ASSERT_GE(s.size(), 4u);
    EXPECT_EQ(s.front(), 0);
    for (std::size_t i = 1; i < s.size(); ++i) EXPECT_EQ(s[i] - s[i - 1], static_cast<int>(sampler.stride()));
    EXPECT_GT(s.back(), 1000 - 2 * static_cast<int>(sampler.stride()));
}

}  // namespace
}  // namespace kestrel
