// SPDX-License-Identifier: BSD-2-Clause
// The observation epoch's lock reasons as the session sets them from a satellite's frames, the
// loss-of-lock and slip rules over them, and an EpochSelector carrying the reasons of the epochs
// it drops to the next it keeps.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "pipeline/epoch_selector.h"
#include "pipeline/session.h"
#include "support/frame_builder.h"

namespace kestrel {
namespace {

using test::MeasurementFrame;
using test::SatBlock;
namespace reason = lock_reason;

// One epoch of PRN 5.
struct Step {
    uint32_t second;  // time of week
    uint8_t l1Lock;
    bool l2;          // L2 data present
    uint8_t l2Lock;
};

struct Keeper : ObservationSink {
    std::vector<ObservationEpoch> epochs;
    bool OnEpoch(const ObservationEpoch& epoch) override {
        epochs.push_back(epoch);
        return true;
    }
    bool OnEphemeris(const DecodedEphemeris&) override { return true; }
};

struct ReasonCase {
    const char* name;
    std::vector<Step> steps;
    // Of the last epoch's satellite.
    uint8_t l1, l2;
    bool l1Lost, l2Lost;
    bool l1Slip, l2Slip;
};

void PrintTo(const ReasonCase& c, std::ostream* os) { *os << c.name; }

class LockReasons : public ::testing::TestWithParam<ReasonCase> {};

TEST_P(LockReasons, OfTheLastEpoch) {
    const ReasonCase& c = GetParam();
    std::vector<uint8_t> bytes;
    for (const Step& s : c.steps) {
        SatBlock block;
        block.prn = 5;
        block.caRange = 400000000;
        block.l1Lock = s.l1Lock;
        block.l2 = s.l2;
        block.l2Lock = s.l2Lock;
        const auto frame = MeasurementFrame(s.second * 1000).Week(1316).Sat(block).Bytes();
        bytes.insert(bytes.end(), frame.begin(), frame.end());
    }
    CallbackBlock callbacks;
    std::memset(&callbacks, 0, sizeof callbacks);
    callbacks.blockSize = KESTREL_CALLBACK_BLOCK_SIZE;
    SessionOptions options;
    options.decoder.clockCorrection = 0;
    Keeper keeper;
    DecodingSession session(options, callbacks, nullptr, &keeper);
    ASSERT_TRUE(session.Push(bytes.data(), bytes.size()));
    ASSERT_EQ(keeper.epochs.size(), c.steps.size());
    ASSERT_EQ(keeper.epochs.back().satCount, 1);
    const SatelliteObservation& sat = keeper.epochs.back().sats[0];
    EXPECT_EQ(sat.Reasons(Carrier::kL1), c.l1);
    EXPECT_EQ(sat.Reasons(Carrier::kL2), c.l2);
    EXPECT_EQ(sat.LossOfLock(Carrier::kL1), c.l1Lost);
    EXPECT_EQ(sat.LossOfLock(Carrier::kL2), c.l2Lost);
    EXPECT_EQ(sat.Slip(Carrier::kL1), c.l1Slip);
    EXPECT_EQ(sat.Slip(Carrier::kL2), c.l2Slip);
}

INSTANTIATE_TEST_SUITE_P(
    Arcs, LockReasons,
    ::testing::Values(
        ReasonCase{"FirstEpochStartsBothCarriers", {{100, 0, true, 0}}, reason::kArcStart, reason::kArcStart,
                   true, true, false, false},
        ReasonCase{"SteadyLockHasNoReason", {{100, 3, true, 4}, {101, 3, true, 4}}, 0, 0, false, false, false, false},
        ReasonCase{"L1CounterMovedIsASlip", {{100, 3, true, 4}, {101, 4, true, 4}}, reason::kCounterChanged, 0,
                   true, false, true, false},
        ReasonCase{"L2CounterMovedIsASlip", {{100, 3, true, 4}, {101, 3, true, 5}}, 0, reason::kCounterChanged,
                   false, true, false, true},
        ReasonCase{"ReturnAfterMoreThanAMinuteIsNoSlip", {{100, 3, true, 4}, {161, 3, true, 4}},
                   reason::kReturnAfterGap, reason::kReturnAfterGap, true, true, false, false},
        ReasonCase{"ExactlyAMinuteContinuesTheArc", {{100, 3, true, 4}, {160, 3, true, 4}}, 0, 0, false, false,
                   false, false},
        ReasonCase{"ArcStartWaitsForTheFirstL2Phase",
                   {{100, 3, false, 0}, {101, 3, false, 0}, {102, 3, true, 0}}, 0,
                   reason::kArcStart | reason::kNoPhase, false, true, false, false},
        ReasonCase{"L2MissingAloneIsNoLossOfLock", {{100, 3, true, 4}, {101, 3, false, 0}, {102, 3, true, 4}}, 0,
                   reason::kNoPhase, false, false, false, false},
        ReasonCase{"L2CounterMovedWhileMissing", {{100, 3, true, 4}, {101, 3, false, 0}, {102, 3, true, 6}}, 0,
                   reason::kNoPhase | reason::kCounterChanged, false, true, false, true},
        ReasonCase{"NoL2PhaseNothingToFlag", {{100, 3, true, 4}, {101, 4, false, 0}}, reason::kCounterChanged,
                   reason::kNoPhase, true, false, true, false}),
    [](const auto& info) { return std::string(info.param.name); });

// An epoch of PRN 5 at `second` with L1 reasons `l1` and L2 phase when `l2` holds reasons.
ObservationEpoch Epoch(uint32_t second, uint8_t l1, std::optional<uint8_t> l2) {
    ObservationEpoch e;
    e.time = GpsTime{1316, static_cast<double>(second)};
    e.satCount = 1;
    SatelliteObservation& s = e.sats[0];
    s.prn = 5;
    s.Set(Observable::kC1, 2.0e7);
    s.Set(Observable::kL1, 1.0e8);
    s.lockReasons = {l1, reason::kNoPhase};
    if (l2) {
        s.Set(Observable::kL2, 8.0e7);
        s.lockReasons[1] = *l2;
    }
    return e;
}

TEST(EpochSelector, CarriesTheReasonsOfDroppedEpochsToTheNextKept) {
    EpochWindow window;
    window.intervalS = 2.0;
    EpochSelector selector(window);
    using V = EpochSelector::Verdict;
    struct Row {
        ObservationEpoch epoch;
        V verdict;
        uint8_t l1, l2;  // after selection, when kept
    };
    const std::vector<Row> rows = {
        {Epoch(100, reason::kArcStart, reason::kArcStart), V::kKept, reason::kArcStart, reason::kArcStart},
        {Epoch(101, reason::kCounterChanged, std::nullopt), V::kOutsideWindow, 0, 0},
        {Epoch(102, 0, std::nullopt), V::kKept, reason::kCounterChanged, reason::kNoPhase},
        {Epoch(103, 0, reason::kCounterChanged), V::kOutsideWindow, 0, 0},
        {Epoch(104, 0, 0), V::kKept, 0, reason::kNoPhase | reason::kCounterChanged},
        {Epoch(104, reason::kCounterChanged, 0), V::kNotLater, 0, 0},
        {Epoch(106, 0, 0), V::kKept, reason::kCounterChanged, 0},
    };
    for (std::size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(i);
        ObservationEpoch epoch = rows[i].epoch;
        ASSERT_EQ(selector.Select(epoch), rows[i].verdict);
        if (rows[i].verdict != V::kKept) continue;
        EXPECT_EQ(epoch.sats[0].Reasons(Carrier::kL1), rows[i].l1);
        EXPECT_EQ(epoch.sats[0].Reasons(Carrier::kL2), rows[i].l2);
    }
}

}  // namespace
}  // namespace kestrel
