// SPDX-License-Identifier: BSD-2-Clause
// The clock step of the measurement handler: when it solves, how it corrects the epoch, and
// the bounded run of warnings when it cannot.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/error_text.h"
#include "navcom/clock_correction.h"
#include "navcom/frame_parser.h"
#include "positioning/eph_store.h"
#include "positioning/single_point.h"
#include "support/decoder_harness.h"
#include "support/station_sim.h"

namespace kestrel {
namespace {

constexpr double kC = 299792458.0;
constexpr double kTime = test::StationSimulation::kTime;
constexpr int32_t kPort = 7;

const std::string kTooFewEphemerides = "Could not apply clock correction--too few ephemerides";
const std::string kTooFewSatellites = "Could not apply clock correction--too few satellites";
const std::string kNotEnabled = "Could not apply clock correction--computation not enabled";
const std::string kSolutionFailed = "Could not apply clock correction--single point solution failed";
const std::string kTooMany = "Too many clock warnings--clock correction invalid!!!";
const std::string kOkAgain = "Clock correction OK again";

class ClockCorrection : public ::testing::Test {
protected:
    void SetUp() override {
        reset_single_point_state();
        ASSERT_EQ(OpenPort(kPort, test::MessageLog::Callback), 0);
        port = GetPortState(kPort);
        ASSERT_NE(port, nullptr);
        port->options.clockCorrection = 1;
        port->ephemerisCounter = 13;
        prns = sim.VisiblePrns(kTime);
        ASSERT_GE(prns.size(), 6u);
        prns.resize(6);
    }
    void TearDown() override {
        reset_single_point_state();
        eph_store_clear();
    }

    // Fills the port's epoch as the measurement handler leaves it and runs the clock step.
    void RunEpoch(const std::vector<SatObservation>& obs, double timeTag) {
        EpochHeader& h = port->epoch;
        std::memset(&h, 0, sizeof h);
        h.sat_count = static_cast<uint8_t>(obs.size());
        h.time_tag = timeTag;  // the corrected time is the clock step's to set
        std::memcpy(port->observations, obs.data(), sizeof(SatObservation) * obs.size());
        CorrectEpochClock(*port, static_cast<int32_t>(obs.size()));
    }
    std::vector<SatObservation> Good(double t, double bias = 0.0) const {
        return sim.Observe(prns, t, bias);
    }
    std::vector<SatObservation> Bad(double t) const {
        auto obs = sim.Observe(std::vector<int>(prns.begin(), prns.begin() + 5), t, 0.0);
        obs[1].ca_range += 100000.0;
        return obs;
    }
    std::vector<std::string> Texts() const { return messageLog.texts(); }
    void ExpectUncorrected() const {
        EXPECT_EQ(port->epoch.flags & 1, 0);
        EXPECT_EQ(double(port->epoch.corrected_time), double(port->epoch.time_tag));
        EXPECT_EQ(double(port->epoch.clock_offset), 0.0);
    }

    test::StationSimulation sim;
    std::vector<int> prns;
    test::MessageLog messageLog;
    PortState* port = nullptr;
};

TEST_F(ClockCorrection, SolvedEpochIsCorrectedSilently) {
    const double bias = 299792.458;  // 1 ms
    const auto obs = Good(kTime, bias);
    RunEpoch(obs, kTime + bias / kC);
    const EpochHeader& h = port->epoch;
    EXPECT_EQ(h.flags & 1, 1);
    EXPECT_NEAR(port->clockOffset, bias, 5.0);
    EXPECT_EQ(double(h.clock_offset), port->clockOffset);
    EXPECT_EQ(double(h.corrected_time), double(h.time_tag) - port->clockOffset / kC);
    EXPECT_NEAR(h.corrected_time, kTime, 2e-8);
    EXPECT_LT(sim.PositionError(h), 5.0);
    EXPECT_TRUE(messageLog.messages().empty());
    EXPECT_EQ(port->clockWarnings, 0);
    // The queued observations are not the solver's: they keep their ranges.
    EXPECT_EQ(std::memcmp(port->observations, obs.data(), sizeof(SatObservation) * obs.size()), 0);
}

TEST_F(ClockCorrection, RunOfUncorrectedEpochsIsToldFourTimesThenWarnedOnce) {
    port->ephemerisCounter = 3;
    for (int epoch = 1; epoch <= 9; ++epoch) RunEpoch(Good(kTime + epoch), kTime + epoch);
    const std::vector<std::string> expected = {kTooFewEphemerides, kTooFewEphemerides,
                                               kTooFewEphemerides, kTooFewEphemerides, kTooMany};
    EXPECT_EQ(Texts(), expected);
    ASSERT_EQ(messageLog.messages().size(), 5u);
    EXPECT_EQ(messageLog.messages()[0].time, kTime + 1);
    EXPECT_EQ(messageLog.messages()[4].time, kTime + 6);  // nothing at the fifth, the warning at the sixth
    EXPECT_EQ(port->clockWarnings, 9);
    ExpectUncorrected();
}

TEST_F(ClockCorrection, ReasonsInTheirOrder) {
    struct Case {
        int32_t enabled, ephemerides;
        size_t satellites;
        std::string reason;
    };
    const Case cases[] = {
        {1, 3, 3, kTooFewEphemerides},  // ephemerides are tested first
        {1, 4, 3, kTooFewSatellites},
        {0, 0, 6, kTooFewEphemerides},  // off: the counter never grows
        {0, 13, 6, kNotEnabled},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        messageLog.Clear();
        port->clockWarnings = 0;
        port->options.clockCorrection = c.enabled;
        port->ephemerisCounter = c.ephemerides;
        port->clockOffset = 42.0;
        auto obs = Good(kTime);
        obs.resize(c.satellites);
        RunEpoch(obs, kTime);
        EXPECT_EQ(Texts(), std::vector<std::string>{c.reason});
        EXPECT_EQ(std::string(error_text()), c.reason);
        EXPECT_EQ(port->clockOffset, 42.0);  // the solver was not asked
        ExpectUncorrected();
    }
}

TEST_F(ClockCorrection, FailedSolutionSendsItsOwnTextThenTheReason) {
    port->clockOffset = 42.0;
    RunEpoch(Bad(kTime), kTime);
    const std::vector<std::string> expected = {"Error: Could not re-calculate position, bad data",
                                               kSolutionFailed};
    EXPECT_EQ(Texts(), expected);
    EXPECT_EQ(port->clockOffset, 0.0);
    ExpectUncorrected();

    // Past the fourth warning only the solver's own text remains.
    for (int epoch = 1; epoch <= 5; ++epoch) RunEpoch(Bad(kTime + epoch), kTime + epoch);
    size_t solverTexts = 0, reasons = 0, warnings = 0;
    for (const std::string& t : Texts()) {
        solverTexts += t.rfind("Error: ", 0) == 0;
        reasons += t == kSolutionFailed;
        warnings += t == kTooMany;
    }
    EXPECT_EQ(solverTexts, 6u);
    EXPECT_EQ(reasons, 4u);
    EXPECT_EQ(warnings, 1u);
}

TEST_F(ClockCorrection, SuccessAfterFailuresSaysSoOnce) {
    RunEpoch(Bad(kTime), kTime);
    messageLog.Clear();
    RunEpoch(Good(kTime + 1), kTime + 1);
    EXPECT_EQ(Texts(), std::vector<std::string>{kOkAgain});
    EXPECT_EQ(port->clockWarnings, 0);
    EXPECT_EQ(port->epoch.flags & 1, 1);
    messageLog.Clear();
    RunEpoch(Good(kTime + 2), kTime + 2);
    EXPECT_TRUE(messageLog.messages().empty());
}

TEST_F(ClockCorrection, TooFewUsableSatellitesStillCountAsCorrected) {
    port->clockWarnings = 2;
    // Four satellites, only three with an ephemeris: the solver succeeds with no offset.
    int spare = 1;
    while (eph_store_find(spare, static_cast<int32_t>(kTime))) ++spare;
    std::vector<int> some(prns.begin(), prns.begin() + 3);
    some.push_back(spare);
    RunEpoch(sim.Observe(some, kTime, 0.0), kTime);
    EXPECT_EQ(port->epoch.flags & 1, 1);
    EXPECT_EQ(double(port->epoch.corrected_time), double(port->epoch.time_tag));
    EXPECT_EQ(double(port->epoch.clock_offset), 0.0);
    EXPECT_EQ(double(port->epoch.latitude), 0.0);
    EXPECT_EQ(port->clockWarnings, 0);
    EXPECT_EQ(Texts(), std::vector<std::string>{kOkAgain});
}

}  // namespace
}  // namespace kestrel
