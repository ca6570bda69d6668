// SPDX-License-Identifier: BSD-2-Clause
// MEASUREMENT records end to end: NavCom logs converted through the exported functions,
// and the OBX file walked by the format's reading rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "kestrel/kestrel.h"
#include "kestrel/records.h"
#include "navcom/record_layout.h"
#include "obx_read.h"
#include "support/decoder_harness.h"
#include "support/frame_builder.h"
#include "support/test_files.h"

namespace kestrel {
namespace {

using test::MeasurementFrame;
using test::Val;
using test::SatBlock;

constexpr double kL1 = layout::kL1WavelengthM;  // metres per L1 cycle
constexpr double kL2 = kL1 * 77.0 / 60.0;        // metres per L2 cycle

using obx::ObxEpoch;

// Walks an OBX file by the format's reading rules; fails the test unless it is complete.
std::vector<ObxEpoch> WalkObx(const std::string& path) {
    obx::ObxContents contents = obx::ReadObx(path);
    EXPECT_EQ(contents.state, obx::ObxState::kComplete) << contents.problem;
    EXPECT_EQ(contents.header.header_size, 202);
    return std::move(contents.epochs);
}

// Converts `input` into `outBase`.obx/.epp with the factory defaults, clock correction
// off and whatever `adjust` changes.
struct Conversion {
    int32_t result = -1;
    OptionBlock options{};
    std::string obxPath;
    std::vector<test::Message> messages;

    std::vector<test::Message> MessagesStartingWith(const std::string& prefix) const {
        std::vector<test::Message> out;
        for (const auto& m : messages) {
            if (m.text.rfind(prefix, 0) == 0) out.push_back(m);
        }
        return out;
    }
};

Conversion Convert(const std::string& input, const std::string& outBase,
                   void (*adjust)(OptionRecord&) = nullptr) {
    test::MessageLog log;
    Conversion c;
    c.options.blockSize = KESTREL_OPTION_BLOCK_SIZE;
    c.options.optionSize = KESTREL_OPTION_RECORD_SIZE;
    SetFactoryDefaults(KESTREL_OPTION_RECORD_SIZE, &c.options.options);
    c.options.options.clockCorrection = 0;
    if (adjust) adjust(c.options.options);
    std::snprintf(c.options.inputPath, sizeof c.options.inputPath, "%s", input.c_str());
    std::snprintf(c.options.outputName, sizeof c.options.outputName, "%s", outBase.c_str());
    CallbackBlock callbacks{};
    callbacks.blockSize = KESTREL_CALLBACK_BLOCK_SIZE;
    callbacks.messageCallback = test::MessageLog::Callback;
    c.result = ConvertFile(&c.options, &callbacks, 0);
    c.obxPath = outBase + ".obx";
    c.messages = log.messages();
    return c;
}

std::string Capture(const char* name) { return test::DataPath(std::string("navcom/") + name); }

const SatObservation* FindSat(const ObxEpoch& epoch, int prn) {
    for (const auto& s : epoch.measurements) {
        if (s.prn == prn) return &s;
    }
    return nullptr;
}

// ---- A hand-made log -------------------------------------------------------------------

constexpr uint32_t kStartMs = 200000000;  // 200000 s of the week
constexpr uint32_t kRangeA = 16u * 110000000u;  // 110e6 L1 cycles, about 20900 km

// Six epochs, one per second. PRN 5 approaches at 100 cycles/s with dual-frequency data
// and slips on L1 at epoch 3; PRN 17 appears at epoch 2 and recedes at 50 cycles/s; PRN 29
// stands still.
std::vector<uint8_t> HandMadeLog() {
    std::vector<uint8_t> log;
    for (uint32_t e = 0; e < 6; ++e) {
        MeasurementFrame frame(kStartMs + 1000 * e);
        SatBlock a;
        a.prn = 5;
        a.strengthCode = 12;
        a.caRange = kRangeA - 16 * 100 * e;
        a.l1Offset = 16;  // 1/16 cycle
        a.l1Lock = e < 3 ? 2 : 3;
        a.p1Delta = -8;
        a.l2 = true;
        a.p2Delta = 32;
        a.l2Offset = -64;  // -1/4 L2 cycle
        a.l2Lock = 9;
        frame.Sat(a);
        if (e >= 2) {
            SatBlock b;
            b.prn = 17;
            b.caRange = 16u * 120000000u + 16 * 50 * e;
            frame.Sat(b);
        }
        SatBlock c;
        c.prn = 29;
        c.caRange = 16u * 125000000u;
        c.l1Lock = 7;
        frame.Sat(c);
        const auto bytes = frame.Bytes();
        log.insert(log.end(), bytes.begin(), bytes.end());
        log.push_back(0x03);  // as the receiver pads its frames
    }
    return log;
}

TEST(MeasurementEndToEnd, HandMadeLogGivesEpochsDopplerAndSlip) {
    test::ScratchDir dir;
    const std::string input = dir.file("hand.log");
    test::WriteFileBytes(input, HandMadeLog());
    const Conversion c = Convert(input, dir.file("out"));
    ASSERT_EQ(c.result, 0);

    // Every satellite is new in the first epoch, so that epoch has nothing to write.
    const auto epochs = WalkObx(c.obxPath);
    ASSERT_EQ(epochs.size(), 5u);
    EXPECT_EQ(c.options.epochsWritten, 5);

    const uint8_t lockA[] = {1, 2, 0, 1, 2};
    for (uint32_t e = 1; e <= 5; ++e) {
        SCOPED_TRACE(e);
        const ObxEpoch& epoch = epochs[e - 1];
        EXPECT_EQ(Val(epoch.position.time_tag), 200000.0 + e);
        EXPECT_EQ(Val(epoch.position.corrected_time), Val(epoch.position.time_tag));
        EXPECT_EQ(Val(epoch.position.clock_offset), 0.0);
        EXPECT_EQ(epoch.position.flags, 0);
        ASSERT_EQ(epoch.position.sat_count, e >= 3 ? 3 : 2);
        EXPECT_EQ(epoch.measurements[0].prn, 5);
        EXPECT_EQ(epoch.measurements.back().prn, 29);

        const SatObservation& a = epoch.measurements[0];
        const double cycles = 110000000.0 - 100.0 * e;
        EXPECT_DOUBLE_EQ(a.ca_range, cycles * kL1);
        EXPECT_DOUBLE_EQ(a.l1_phase, -(cycles + 0.0625));
        EXPECT_NEAR(a.l1_doppler, 100.0, 1e-6);
        EXPECT_EQ(a.lock_time, lockA[e - 1]);
        EXPECT_DOUBLE_EQ(a.p2_range, (cycles + 2.0) * kL1);
        EXPECT_NEAR(a.l2_phase, -((cycles + 2.0) * 60.0 / 77.0 - 0.25), 1e-6);

        const SatObservation& still = epoch.measurements.back();
        EXPECT_EQ(Val(still.l1_doppler), 0.0);
        EXPECT_EQ(still.lock_time, e);
        EXPECT_EQ(Val(still.p2_range), 0.0);
        EXPECT_EQ(Val(still.l2_phase), 0.0);

        if (e >= 3) {
            const SatObservation& b = epoch.measurements[1];
            EXPECT_EQ(b.prn, 17);
            EXPECT_NEAR(b.l1_doppler, -50.0, 1e-6);
            EXPECT_EQ(b.lock_time, e - 2);
        }
    }

    const auto slips = c.MessagesStartingWith("L1 cycle slip");
    ASSERT_EQ(slips.size(), 1u);
    EXPECT_EQ(slips[0].text, "L1 cycle slip on PRN 5");
    EXPECT_EQ(slips[0].time, 200003.0);
    EXPECT_TRUE(c.MessagesStartingWith("L2 cycle slip").empty());
}

TEST(MeasurementEndToEnd, FlagEpochsReachesTheFile) {
    test::ScratchDir dir;
    const std::string input = dir.file("hand.log");
    test::WriteFileBytes(input, HandMadeLog());
    const Conversion c = Convert(input, dir.file("out"), [](OptionRecord& o) { o.flagEpochs = 1; });
    ASSERT_EQ(c.result, 0);
    const auto epochs = WalkObx(c.obxPath);
    ASSERT_EQ(epochs.size(), 5u);
    for (const auto& e : epochs) EXPECT_EQ(e.position.flags, KESTREL_EPOCH_FLAG_MARKED);
}

// ---- The real captures -----------------------------------------------------------------

struct CaptureCase {
    const char* file;
    std::size_t epochs;  // measurement frames less the first, whose satellites are all new
    double firstTime;
};

void PrintTo(const CaptureCase& c, std::ostream* os) { *os << c.file; }

class RealCapture : public ::testing::TestWithParam<CaptureCase> {};

TEST_P(RealCapture, ObservationsArePhysicallyConsistent) {
    const CaptureCase& cc = GetParam();
    test::ScratchDir dir;
    const Conversion c = Convert(Capture(cc.file), dir.file("out"));
    ASSERT_EQ(c.result, 0);
    const auto epochs = WalkObx(c.obxPath);
    ASSERT_EQ(epochs.size(), cc.epochs);
    EXPECT_EQ(c.options.epochsWritten, static_cast<int32_t>(cc.epochs));
    EXPECT_TRUE(c.MessagesStartingWith("L1 cycle slip").empty());
    EXPECT_TRUE(c.MessagesStartingWith("Zero or negative DT").empty());

    int clockSteps = 0;     // epochs whose ranges all grew by a chip
    int dopplerJumps = 0;   // Doppler jumps into and out of such epochs
    double worstPhaseMismatchM = 0.0;
    double worstCommonJumpSpreadHz = 0.0;
    for (std::size_t e = 0; e < epochs.size(); ++e) {
        SCOPED_TRACE(e);
        const ObxEpoch& epoch = epochs[e];
        EXPECT_EQ(Val(epoch.position.time_tag), cc.firstTime + static_cast<double>(e));
        ASSERT_EQ(epoch.measurements.size(), 10u);
        for (const auto& s : epoch.measurements) {
            // GPS satellites are 20000 to 26000 km away from a receiver on the ground, and
            // their Doppler stays within a few kHz.
            EXPECT_GT(Val(s.ca_range), 1.9e7);
            EXPECT_LT(Val(s.ca_range), 2.7e7);
            EXPECT_LT(std::fabs(s.l1_doppler), 6000.0);
            // No L1 slip in these captures: lock grows by a second per epoch.
            EXPECT_EQ(s.lock_time, e + 1);
            // The phase sits within the 20-bit offset window around the code range.
            EXPECT_LT(std::fabs(-s.l1_phase * kL1 - s.ca_range), 2048 * kL1);
            if (s.p2_range != 0.0) {
                EXPECT_LT(std::fabs(s.p2_range - s.ca_range), 20.0);
                EXPECT_LT(std::fabs(-s.l2_phase * kL2 - s.p2_range), 2048 * kL2);
            }
        }
        if (e == 0) continue;

        // The phase follows the range: phase change times wavelength is minus the range
        // change, clock steps included (the receiver steps both together).
        std::vector<double> jumps;
        for (const auto& s : epoch.measurements) {
            const SatObservation* before = FindSat(epochs[e - 1], s.prn);
            ASSERT_NE(before, nullptr);
            const double rangeChange = s.ca_range - before->ca_range;
            const double phaseChangeM = (s.l1_phase - before->l1_phase) * kL1;
            worstPhaseMismatchM = std::max(worstPhaseMismatchM, std::fabs(rangeChange + phaseChangeM));
            EXPECT_LT(std::fabs(rangeChange + phaseChangeM), 2.0) << "PRN " << int(s.prn);
            // The Doppler is the range change over the second.
            EXPECT_NEAR(s.l1_doppler, -rangeChange / kL1, 1e-6);
            jumps.push_back(s.l1_doppler - before->l1_doppler);
        }
        // A receiver clock step moves every satellite's code-derived Doppler by the same
        // amount, about 1540 Hz (one C/A chip over one second); otherwise the Doppler drifts
        // by a few Hz at most.
        std::sort(jumps.begin(), jumps.end());
        const double spread = jumps.back() - jumps.front();
        worstCommonJumpSpreadHz = std::max(worstCommonJumpSpreadHz, spread);
        EXPECT_LT(spread, 40.0);
        const double common = jumps[jumps.size() / 2];
        if (std::fabs(common) > 100.0) {
            ++dopplerJumps;
            if (common < 0.0) ++clockSteps;
            EXPECT_NEAR(std::fabs(common), 1540.0, 40.0);
        } else {
            EXPECT_LT(std::fabs(common), 40.0);
        }
    }
    EXPECT_GT(clockSteps, 0);
    std::printf("%s: %zu epochs, %d receiver clock steps (%d common Doppler jumps), worst |range "
                "change + phase change x wavelength| %.3f m, worst spread of the Doppler changes "
                "within an epoch %.1f Hz\n",
                cc.file, epochs.size(), clockSteps, dopplerJumps, worstPhaseMismatchM,
                worstCommonJumpSpreadHz);
}

INSTANTIATE_TEST_SUITE_P(Logs, RealCapture,
                         ::testing::Values(CaptureCase{"gpsd-navcom.log", 6, 123625.0},
                                           CaptureCase{"gpsd-navcom-long-2012.log", 22, 123625.0}),
                         [](const auto& info) { return info.index == 0 ? "Short" : "Long"; });

TEST(MeasurementEndToEnd, RealCaptureReportsTheL2SlipsOfPrn3) {
    test::ScratchDir dir;
    const Conversion c = Convert(Capture("gpsd-navcom-long-2012.log"), dir.file("out"));
    ASSERT_EQ(c.result, 0);
    // PRN 3 loses L2 for one epoch and comes back with a new L2 lock counter, which changes
    // once more two seconds later.
    const auto slips = c.MessagesStartingWith("L2 cycle slip");
    ASSERT_EQ(slips.size(), 2u);
    EXPECT_EQ(slips[0].text, "L2 cycle slip on PRN 3");
    EXPECT_EQ(slips[0].time, 123640.0);
    EXPECT_EQ(slips[1].text, "L2 cycle slip on PRN 3");
    EXPECT_EQ(slips[1].time, 123642.0);

    const auto epochs = WalkObx(c.obxPath);
    ASSERT_EQ(epochs.size(), 22u);
    const double expectedL1Lock[] = {15, 16, 17, 18};
    for (int i = 0; i < 4; ++i) {
        const SatObservation* s = FindSat(epochs[14 + i], 3);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->lock_time, expectedL1Lock[i]);
    }
    // The epoch without L2 data carries zeros in the L2 fields.
    const SatObservation* gap = FindSat(epochs[14], 3);
    EXPECT_EQ(Val(gap->p2_range), 0.0);
    EXPECT_EQ(Val(gap->l2_phase), 0.0);
    EXPECT_NE(Val(FindSat(epochs[15], 3)->l2_phase), 0.0);
}

TEST(MeasurementEndToEnd, L2SlipsCanBeSilenced) {
    test::ScratchDir dir;
    const Conversion c = Convert(Capture("gpsd-navcom-long-2012.log"), dir.file("out"),
                                 [](OptionRecord& o) { o.reportL2Slips = 0; });
    ASSERT_EQ(c.result, 0);
    EXPECT_TRUE(c.MessagesStartingWith("L2 cycle slip").empty());
    EXPECT_EQ(c.options.epochsWritten, 22);
}

}  // namespace
}  // namespace kestrel
