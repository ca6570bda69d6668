// SPDX-License-Identifier: BSD-2-Clause
// The cycle-slip test: which observations are output, their Doppler and lock times, and
// the slip and time-step messages.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "common/error_text.h"
#include "navcom/cycle_slip.h"
#include "navcom/record_layout.h"
#include "support/decoder_harness.h"

namespace kestrel {
namespace {

class SlipDetector : public ::testing::Test {
protected:
    void SetUp() override {
        log.Clear();
        port = std::make_unique<PortState>();
        port->isOpen = 1;
        port->portCallback = test::MessageLog::Callback;
        port->options.reportL2Slips = 1;
    }

    // A satellite as block decoding leaves it: range in metres, lock counters, and the L2
    // phase when the block has L2 data.
    static SatState Sat(int32_t prn, double caRange, int32_t l1Lock = 0,
                        std::optional<double> l2Phase = std::nullopt, int32_t l2Lock = 0) {
        SatState s{};
        s.status = static_cast<uint8_t>(layout::block::kValid | (l2Phase ? layout::block::kHasL2 : 0) |
                                        (prn & layout::block::kPrnMask));
        s.prn = prn;
        s.ca_range = caRange;
        s.l1_lock_counter = l1Lock;
        s.l2_phase = l2Phase.value_or(0.0);
        s.l2_lock_counter = l2Lock;
        return s;
    }

    bool Test(SatState s, double time) {
        last = s;
        const bool out = TestCycleSlip(*port, last, time);
        return out;
    }

    test::MessageLog log;
    const std::vector<test::Message>& messages = log.messages();
    std::unique_ptr<PortState> port;
    SatState last{};
};

constexpr double kRange = 21000000.0;

TEST_F(SlipDetector, FirstEpochIsHeldBackAndTheNextCarriesDopplerAndLockTime) {
    EXPECT_FALSE(Test(Sat(5, kRange), 1000.0));
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(port->history[5].prn, 5);
    EXPECT_EQ(port->history[5].time, 1000.0);

    ASSERT_TRUE(Test(Sat(5, kRange - 2 * layout::kL1WavelengthM), 1001.0));
    EXPECT_NEAR(last.doppler, 2.0, 1e-6);
    EXPECT_EQ(last.l1_lock_time, 1.0);
    EXPECT_EQ(last.time, 1001.0);

    ASSERT_TRUE(Test(Sat(5, kRange - 4 * layout::kL1WavelengthM), 1003.0));
    EXPECT_NEAR(last.doppler, 1.0, 1e-6);
    EXPECT_EQ(last.l1_lock_time, 3.0);
    EXPECT_TRUE(messages.empty());
}

TEST_F(SlipDetector, DopplerOfOneWavelengthPerSecondAwayIsMinusOneHertz) {
    Test(Sat(9, kRange), 500.0);
    ASSERT_TRUE(Test(Sat(9, kRange + layout::kL1WavelengthM), 501.0));
    EXPECT_NEAR(last.doppler, -1.0, 1e-6);
}

// Times of the previous and the current epoch, and what the second one gives.
struct GapCase {
    const char* name;
    double previous;
    double current;
    bool output;
    const char* message;  // null: none
    double lockTime;      // when output
};

void PrintTo(const GapCase& c, std::ostream* os) { *os << c.name; }

class SlipDetectorGap : public SlipDetector, public ::testing::WithParamInterface<GapCase> {};

TEST_P(SlipDetectorGap, DecidesFromTheTimeStep) {
    const GapCase& c = GetParam();
    Test(Sat(12, kRange, 2), c.previous);
    const bool out = Test(Sat(12, kRange, 2), c.current);
    EXPECT_EQ(out, c.output);
    if (c.output) {
        EXPECT_NEAR(last.l1_lock_time, c.lockTime, 1e-9);
    }
    if (c.message) {
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0].text, c.message);
        EXPECT_EQ(messages[0].time, c.current);
    } else {
        EXPECT_TRUE(messages.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Steps, SlipDetectorGap,
    ::testing::Values(
        GapCase{"OneSecond", 1000.0, 1001.0, true, nullptr, 1.0},
        GapCase{"ExactlySixtySeconds", 1000.0, 1060.0, true, nullptr, 60.0},
        GapCase{"JustOverSixtySeconds", 1000.0, 1060.001, false, nullptr, 0.0},
        // 125769.245 s and 125829.245 s differ by a hair over 60 in double arithmetic.
        GapCase{"SixtySecondsBetweenMillisecondTags", 125769245 * 0.001, 125829245 * 0.001, true,
                nullptr, 60.0},
        GapCase{"AcrossTheWeekEnd", 604799.0, 0.5, true, nullptr, 1.5},
        GapCase{"BackAcrossTheWeekEnd", 0.5, 604799.0, false, "Zero or negative DT!!!", 0.0},
        GapCase{"SameTime", 1000.0, 1000.0, false, "Zero or negative DT!!!", 0.0},
        GapCase{"SixtySecondsBack", 1000.0, 940.0, false, "Zero or negative DT!!!", 0.0},
        GapCase{"MoreThanSixtySecondsBack", 1000.0, 939.999, false, nullptr, 0.0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SlipDetector, ReappearingSatelliteStartsAfresh) {
    Test(Sat(3, kRange, 1), 1000.0);
    Test(Sat(3, kRange, 1), 1001.0);
    EXPECT_FALSE(Test(Sat(3, kRange + 1000.0, 6), 1100.0));
    EXPECT_EQ(port->history[3].time, 1100.0);
    EXPECT_EQ(port->history[3].l1_lock_time, 0.0);

    ASSERT_TRUE(Test(Sat(3, kRange + 1000.0, 6), 1101.0));
    EXPECT_EQ(last.l1_lock_time, 1.0);
    EXPECT_TRUE(messages.empty());
}

TEST_F(SlipDetector, RepeatedTimeKeepsTheOlderHistory) {
    Test(Sat(20, kRange), 2000.0);
    EXPECT_FALSE(Test(Sat(20, kRange + 500.0), 2000.0));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, "Zero or negative DT!!!");
    EXPECT_EQ(port->history[20].ca_range, kRange);

    // Compared with the first epoch, not with the dropped one.
    ASSERT_TRUE(Test(Sat(20, kRange + layout::kL1WavelengthM), 2001.0));
    EXPECT_NEAR(last.doppler, -1.0, 1e-6);
    EXPECT_EQ(last.l1_lock_time, 1.0);
}

TEST_F(SlipDetector, L1LockCounterChangeIsASlip) {
    Test(Sat(7, kRange, 3), 100.0);
    Test(Sat(7, kRange, 3), 101.0);
    ASSERT_TRUE(Test(Sat(7, kRange, 4), 102.0));
    EXPECT_EQ(last.l1_lock_time, 0.0);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, "L1 cycle slip on PRN 7");
    EXPECT_EQ(messages[0].time, 102.0);

    // Lock time counts again from the slip.
    ASSERT_TRUE(Test(Sat(7, kRange, 4), 103.0));
    EXPECT_EQ(last.l1_lock_time, 1.0);
    EXPECT_EQ(messages.size(), 1u);
}

TEST_F(SlipDetector, SlipWithoutCallbackLeavesTheErrorTextAlone) {
    port->portCallback = nullptr;
    set_error_text("earlier");
    Test(Sat(7, kRange, 3, 5.0, 1), 100.0);
    ASSERT_TRUE(Test(Sat(7, kRange, 4, 5.0, 2), 101.0));
    EXPECT_EQ(last.l1_lock_time, 0.0);
    EXPECT_STREQ(error_text(), "earlier");
}

TEST_F(SlipDetector, L2SlipsAreReportedOnlyWhenAskedFor) {
    for (int32_t report : {0, 1}) {
        SCOPED_TRACE(report);
        SetUp();
        port->options.reportL2Slips = report;
        Test(Sat(14, kRange, 1, 100.0, 8), 10.0);
        Test(Sat(14, kRange, 1, 100.0, 8), 11.0);
        EXPECT_EQ(last.l2_lock_time, 1.0);

        ASSERT_TRUE(Test(Sat(14, kRange, 1, 100.0, 9), 12.0));
        EXPECT_EQ(last.l2_lock_time, 0.0);
        EXPECT_EQ(last.l1_lock_time, 2.0);
        if (report) {
            ASSERT_EQ(messages.size(), 1u);
            EXPECT_EQ(messages[0].text, "L2 cycle slip on PRN 14");
            EXPECT_EQ(messages[0].time, 12.0);
        } else {
            EXPECT_TRUE(messages.empty());
        }

        ASSERT_TRUE(Test(Sat(14, kRange, 1, 100.0, 9), 13.0));
        EXPECT_EQ(last.l2_lock_time, 1.0);
    }
}

TEST_F(SlipDetector, GapInL2DataIsNoSlip) {
    Test(Sat(22, kRange, 0, -40.0, 5), 50.0);
    Test(Sat(22, kRange, 0, -40.0, 5), 51.0);
    EXPECT_EQ(last.l2_lock_time, 1.0);

    // No L2 in these blocks: the counter is carried over, the L2 lock time is 0.
    ASSERT_TRUE(Test(Sat(22, kRange, 0), 52.0));
    EXPECT_EQ(last.l2_lock_counter, 5);
    EXPECT_EQ(last.l2_lock_time, 0.0);
    ASSERT_TRUE(Test(Sat(22, kRange, 0), 53.0));
    EXPECT_EQ(last.l2_lock_counter, 5);

    // L2 back with the counter of before the gap: its lock time restarts from this step.
    ASSERT_TRUE(Test(Sat(22, kRange, 0, -40.0, 5), 54.0));
    EXPECT_EQ(last.l2_lock_time, 1.0);
    EXPECT_EQ(last.l1_lock_time, 4.0);
    EXPECT_TRUE(messages.empty());
}

// L2 data is what the block's status bit says, whatever the value of its phase.
TEST_F(SlipDetector, L2PresenceIsTheBlocksStatusBit) {
    struct Case {
        const char* what;
        std::optional<double> l2Phase;  // none: the status bit is clear
        bool slip;
    };
    const Case cases[] = {
        {"L2 phase", -40.0, true},
        {"L2 phase exactly zero", 0.0, true},
        {"L2 phase negative zero", -0.0, true},
        {"no L2 data", std::nullopt, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        Test(Sat(9, kRange, 0, -40.0, 5), 10.0);
        ASSERT_TRUE(Test(Sat(9, kRange, 0, c.l2Phase, 6), 11.0));
        EXPECT_EQ(messages.size(), c.slip ? 1u : 0u);
        EXPECT_EQ(last.l2_lock_counter, c.slip ? 6 : 5);
    }
}

TEST_F(SlipDetector, PrnOutsideOneToThirtyTwoIsRejectedSilently) {
    for (int32_t prn : {0, 33, -1, 255}) {
        SCOPED_TRACE(prn);
        EXPECT_FALSE(Test(Sat(prn, kRange), 10.0));
        EXPECT_FALSE(Test(Sat(prn, kRange), 11.0));
    }
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(port->history[0].prn, 0);
    EXPECT_EQ(port->history[0].time, 0.0);

    // PRN 32 is the last slot.
    EXPECT_FALSE(Test(Sat(32, kRange), 10.0));
    EXPECT_TRUE(Test(Sat(32, kRange), 11.0));
}

TEST_F(SlipDetector, SatellitesKeepSeparateHistories) {
    Test(Sat(1, kRange, 1), 10.0);
    Test(Sat(2, kRange, 1), 10.0);
    ASSERT_TRUE(Test(Sat(1, kRange, 1), 11.0));
    EXPECT_EQ(last.l1_lock_time, 1.0);
    ASSERT_TRUE(Test(Sat(2, kRange, 2), 11.0));
    EXPECT_EQ(last.l1_lock_time, 0.0);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, "L1 cycle slip on PRN 2");
}

}  // namespace
}  // namespace kestrel
