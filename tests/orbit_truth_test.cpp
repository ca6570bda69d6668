// SPDX-License-Identifier: BSD-2-Clause
// Broadcast orbits and clocks against a day of precise orbits and clocks.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <vector>

#include "positioning/sat_orbit.h"
#include "support/orbit_files.h"
#include "support/test_files.h"

namespace kestrel {
namespace {

constexpr double kGm = 3.986005e14;
constexpr double kF = -4.442809305e-10;
constexpr double kSecondsPerWeek = 604800.0;

// The relativistic clock term at `dt` from Toe, with Kepler's equation solved to the end,
// to take out of the broadcast clock before comparing with a precise clock.
double RelativisticTerm(const GpsEphRecord& eph, double dt) {
    const double a = eph.SqrtA * eph.SqrtA;
    const double m = eph.M0 + (std::sqrt(kGm / (a * a * a)) + eph.DeltaN) * dt;
    double e = m;
    for (int i = 0; i < 30; ++i) e = m + eph.Ecc * std::sin(e);
    return kF * eph.Ecc * eph.SqrtA * std::sin(e);
}

TEST(OrbitTruth, BroadcastOrbitsAndClocksAgreeWithPreciseOnes) {
    std::vector<int> weeks;
    const auto ephemerides = test::ReadBroadcastFile(test::DataPath("orbits/brdc1820.10n"), &weeks);
    const auto epochs = test::ReadPreciseFile(test::DataPath("orbits/igs15904.sp3"));
    ASSERT_GT(ephemerides.size(), 300u);
    ASSERT_EQ(epochs.size(), 96u);

    // Satellites without a precise clock are left out: their two orbits need not agree.
    bool clockMissing[33] = {};
    for (const auto& epoch : epochs)
        for (const auto& sat : epoch.satellites)
            if (sat.prn >= 1 && sat.prn <= 32 && std::isnan(sat.clock)) clockMissing[sat.prn] = true;
    EXPECT_TRUE(clockMissing[1]);

    // With the receiver on the X axis the range stands for the geometric one: range 0 gives
    // the position at t in the Earth-fixed frame of t, as the precise orbit has it.
    PositionRecord receiver{};
    receiver.x = 6378137.0;

    int pairs = 0;
    double sumSquares = 0.0;
    double worstPosition = 0.0, worstClock = 0.0;
    int worstPositionPrn = 0, worstClockPrn = 0;
    double worstPositionTime = 0.0, worstClockTime = 0.0;
    for (std::size_t k = 0; k < ephemerides.size(); ++k) {
        const GpsEphRecord& eph = ephemerides[k];
        if (eph.Prn < 1 || eph.Prn > 32 || clockMissing[eph.Prn]) continue;
        const double toeFull = weeks[k] * kSecondsPerWeek + eph.Toe;
        for (const auto& epoch : epochs) {
            const double tFull = epoch.week * kSecondsPerWeek + epoch.secondsOfWeek;
            if (std::fabs(tFull - toeFull) > 7200.0) continue;
            for (const auto& precise : epoch.satellites) {
                if (precise.prn != eph.Prn || std::isnan(precise.clock)) continue;
                PositionRecord sat{};
                gps_sat_position(&eph, epoch.secondsOfWeek, 0.0, &receiver, &sat);
                const double dx = sat.x - precise.x, dy = sat.y - precise.y, dz = sat.z - precise.z;
                const double error = std::sqrt(dx * dx + dy * dy + dz * dz);
                sumSquares += error * error;
                ++pairs;
                if (error > worstPosition) {
                    worstPosition = error;
                    worstPositionPrn = eph.Prn;
                    worstPositionTime = epoch.secondsOfWeek;
                }
                EXPECT_LT(error, 8.0) << "PRN " << eph.Prn << " at " << epoch.secondsOfWeek;

                double tSv = 0.0;
                gps_sat_clock(&eph, epoch.secondsOfWeek, nullptr, &tSv);
                const double broadcast = epoch.secondsOfWeek - tSv;
                const double clockError =
                    std::fabs(broadcast - RelativisticTerm(eph, tFull - toeFull) - precise.clock);
                if (clockError > worstClock) {
                    worstClock = clockError;
                    worstClockPrn = eph.Prn;
                    worstClockTime = epoch.secondsOfWeek;
                }
                EXPECT_LT(clockError, 20e-9) << "PRN " << eph.Prn << " at " << epoch.secondsOfWeek;
            }
        }
    }
    ASSERT_GT(pairs, 1000);
    const double rms = std::sqrt(sumSquares / pairs);
    EXPECT_LT(rms, 3.0);
    std::printf("orbit truth: %d pairs, 3D RMS %.3f m, worst %.3f m (PRN %d at %.0f s); "
                "worst clock %.2f ns (PRN %d at %.0f s)\n",
                pairs, rms, worstPosition, worstPositionPrn, worstPositionTime, worstClock * 1e9,
                worstClockPrn, worstClockTime);
    RecordProperty("pairs", pairs);
    RecordProperty("rms_m", std::to_string(rms));
    RecordProperty("worst_m", std::to_string(worstPosition));
    RecordProperty("worst_clock_ns", std::to_string(worstClock * 1e9));
}

}  // namespace
}  // namespace kestrel
