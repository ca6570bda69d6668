// SPDX-License-Identifier: BSD-2-Clause
// MEASUREMENT records: decoding of the satellite blocks and the epoch handler's output in
// the ThreadBuf.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "kestrel/kestrel.h"
#include "kestrel/records.h"
#include "navcom/frame_parser.h"
#include "navcom/measurement.h"
#include "support/decoder_harness.h"
#include "support/frame_builder.h"
#include "threadbuf/threadbuf.h"

namespace kestrel {
namespace {

using test::MeasurementFrame;
using test::Val;
using test::SatBlock;

constexpr double kL1 = 0.190293672798;

// P1 and L2 data the block does not flag decode as zero.
void ExpectNoP1OrL2(const SatState& s) {
    EXPECT_EQ(s.p1_range, 0.0);
    EXPECT_EQ(s.p2_range, 0.0);
    EXPECT_EQ(s.l2_phase, 0.0);
    EXPECT_EQ(s.l2_lock_counter, 0);
}

SatState Decode(const SatBlock& block) {
    SatState s;
    std::memset(&s, 0x5A, sizeof s);  // decoding must not keep anything from before
    const auto bytes = block.Encode();
    EXPECT_TRUE(DecodeSatBlock(bytes.data(), s));
    return s;
}

TEST(SatBlockDecoding, L1OnlyBlock) {
    SatBlock b;
    b.prn = 17;
    b.strengthCode = 9;
    b.caRange = 16 * 1000;  // 1000 L1 cycles
    b.l1Offset = 128;       // half a cycle
    b.l1Lock = 11;
    const SatState s = Decode(b);
    EXPECT_EQ(s.prn, 17);
    EXPECT_EQ(s.status, 0x91);
    EXPECT_EQ(s.strength_byte, 0x90);
    EXPECT_EQ(s.strength, 44);
    EXPECT_DOUBLE_EQ(s.ca_range, 1000 * kL1);
    EXPECT_EQ(s.l1_phase, -1000.5);
    EXPECT_EQ(s.l1_lock_counter, 11);
    ExpectNoP1OrL2(s);
    EXPECT_EQ(s.time, 0.0);
    EXPECT_EQ(s.doppler, 0.0);
    EXPECT_EQ(s.l1_lock_time, 0.0);
}

TEST(SatBlockDecoding, CodeDeltasAndL2) {
    SatBlock b;
    b.prn = 31;
    b.caRange = 16 * 1000;
    b.p1Delta = -16;           // P1 one cycle shorter than C/A
    b.l2 = true;
    b.p2Delta = 16 * 155;      // P2 = 1155 L1 cycles = 900 L2 cycles
    b.l2Offset = -512;         // -2 L2 cycles
    b.l2Lock = 15;
    const SatState s = Decode(b);
    EXPECT_DOUBLE_EQ(s.p1_range, 999 * kL1);
    EXPECT_DOUBLE_EQ(s.p2_range, 1155 * kL1);
    EXPECT_NEAR(s.l2_phase, -898.0, 1e-9);
    EXPECT_EQ(s.l2_lock_counter, 15);
    EXPECT_EQ(s.l1_phase, -1000.0);
}

// Phase words: the bytes as sent, the code range in L1 cycles, and the result.
struct PhaseCase {
    const char* name;
    std::array<uint8_t, 3> word;
    double rangeL1Cycles;
    bool isL2;
    double phase;
    int32_t lock;
};

void PrintTo(const PhaseCase& c, std::ostream* os) { *os << c.name; }

class PhaseDecoding : public ::testing::TestWithParam<PhaseCase> {};

TEST_P(PhaseDecoding, SignsScalesAndLockCounter) {
    const PhaseCase& c = GetParam();
    int32_t lock = -1;
    EXPECT_NEAR(DecodePhase(c.rangeL1Cycles, c.isL2, c.word.data(), lock), c.phase, 1e-9);
    EXPECT_EQ(lock, c.lock);
}

INSTANTIATE_TEST_SUITE_P(
    Words, PhaseDecoding,
    ::testing::Values(
        // All-ones offset field is -1/256 cycle.
        PhaseCase{"AllOnesOffset", {0xF0, 0xFF, 0xFF}, 0.0, false, 0.00390625, 0},
        PhaseCase{"AllOnesOffsetAroundRange", {0xF0, 0xFF, 0xFF}, 1000.0, false, -999.99609375, 0},
        PhaseCase{"LockCounterInLowNibble", {0x07, 0x00, 0x00}, 10.0, false, -10.0, 7},
        PhaseCase{"LargestPositiveOffset", {0xF3, 0xFF, 0x7F}, 0.0, false, -524287 / 256.0, 3},
        PhaseCase{"MostNegativeOffset", {0x0C, 0x00, 0x80}, 0.0, false, 2048.0, 12},
        PhaseCase{"L2RangeInL2Cycles", {0x00, 0x10, 0x00}, 1155.0, true, -(1.0 + 900.0), 0},
        PhaseCase{"L2NegativeOffset", {0xF5, 0xFF, 0xFF}, 77.0, true, 0.00390625 - 60.0, 5}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SatBlockDecoding, UnreadBitsAndFlagsGateTheirFields) {
    std::array<uint8_t, 16> raw{};
    raw[0] = 0x80 | 4;  // valid, no P1, no L2
    raw[1] = 0xFF;      // strength code 15; the low nibble is not read
    raw[2] = 0xFF;      // largest C/A range: unsigned
    raw[3] = 0xFF;
    raw[4] = 0xFF;
    raw[5] = 0xFF;
    for (int i = 9; i < 16; ++i) raw[i] = 0x77;  // P1 and L2 bytes present but not flagged
    SatState s;
    ASSERT_TRUE(DecodeSatBlock(raw.data(), s));
    EXPECT_EQ(s.prn, 4);
    EXPECT_EQ(s.strength, 50);
    EXPECT_DOUBLE_EQ(s.ca_range, 4294967295.0 / 16 * kL1);
    ExpectNoP1OrL2(s);
}

TEST(SatBlockDecoding, InvalidBlockIsRefusedAndZeroed) {
    SatBlock b;
    b.valid = false;
    b.prn = 9;
    b.caRange = 12345678;
    const auto bytes = b.Encode();
    SatState s;
    std::memset(&s, 0x5A, sizeof s);
    EXPECT_FALSE(DecodeSatBlock(bytes.data(), s));
    const SatState zero{};
    EXPECT_EQ(std::memcmp(&s, &zero, sizeof s), 0);
}

TEST(SatBlockDecoding, PrnZeroDecodes) {
    SatBlock b;
    b.prn = 0;
    b.caRange = 160;
    const SatState s = Decode(b);
    EXPECT_EQ(s.prn, 0);
    EXPECT_DOUBLE_EQ(s.ca_range, 10 * kL1);
}

// ---- The handler ----------------------------------------------------------------------

class MeasurementHandler : public ::testing::Test {
protected:
    void SetUp() override {
        log.Clear();
        SetThreadBufSize(kThreadBufDefaultSize);
        ASSERT_EQ(OpenPort(0, test::MessageLog::Callback), 0);
        port = GetPortState(0);
        ASSERT_NE(port, nullptr);
        port->options.reportL2Slips = 1;
    }
    void TearDown() override { SetThreadBufSize(kThreadBufDefaultSize); }

    // Puts the frame into the port's frame buffer, as the parser leaves it, and runs the
    // handler on a freshly emptied ThreadBuf.
    int32_t Handle(const MeasurementFrame& frame) {
        const std::vector<uint8_t> bytes = frame.Bytes();
        std::memcpy(port->frame, bytes.data(), bytes.size());
        ResetThreadBuf(buf.data());
        return HandleMeasurement(0, buf.data());
    }

    EpochHeader Header() {
        EpochHeader h{};
        EXPECT_EQ(ReadThreadBufData(buf.data(), 1, 1, &h), 1);
        return h;
    }
    std::vector<SatObservation> Observations() {
        std::vector<SatObservation> v(kMaxSatBlocks);
        v.resize(ReadThreadBufData(buf.data(), 2, kMaxSatBlocks, v.data()));
        return v;
    }
    std::vector<SatLockInfo> LockInfo() {
        std::vector<SatLockInfo> v(kMaxSatBlocks);
        v.resize(ReadThreadBufData(buf.data(), 4, kMaxSatBlocks, v.data()));
        return v;
    }

    // The messages of the slip test and the queue, without the clock step's reasons and
    // warnings (each epoch here is uncorrected, for want of ephemerides).
    std::vector<test::Message> OwnMessages() const {
        std::vector<test::Message> own;
        for (const auto& m : messages) {
            const bool clockStep = m.text.rfind("Could not apply clock correction", 0) == 0 ||
                                   m.text.rfind("Too many clock warnings", 0) == 0 ||
                                   m.text.rfind("Clock correction OK again", 0) == 0;
            if (!clockStep) own.push_back(m);
        }
        return own;
    }

    test::MessageLog log;
    const std::vector<test::Message>& messages = log.messages();
    PortState* port = nullptr;
    std::vector<uint8_t> buf = std::vector<uint8_t>(kThreadBufMemoryBytes);
};

SatBlock Block(uint8_t prn, uint32_t caRange, uint8_t l1Lock = 0) {
    SatBlock b;
    b.prn = prn;
    b.caRange = caRange;
    b.l1Lock = l1Lock;
    b.strengthCode = 6;
    return b;
}

TEST_F(MeasurementHandler, SecondEpochOfASatelliteIsQueued) {
    SatBlock b = Block(8, 16 * 100000000u, 2);
    b.l2 = true;
    b.p2Delta = 48;
    b.l2Offset = 256;
    b.l2Lock = 4;
    EXPECT_EQ(Handle(MeasurementFrame(345600000).Sat(b)), 0);
    EXPECT_EQ(GetThreadBufRecCount(buf.data(), 1), 0);

    b.caRange -= 16 * 3;  // three cycles closer: +3 Hz
    ASSERT_EQ(Handle(MeasurementFrame(345601000).Sat(b)), 1);
    const EpochHeader h = Header();
    EXPECT_EQ(h.record_size, 0);
    EXPECT_EQ(h.sat_count, 1);
    EXPECT_EQ(h.flags, 0);
    EXPECT_EQ(Val(h.time_tag), 345601.0);
    EXPECT_EQ(Val(h.corrected_time), 345601.0);
    EXPECT_EQ(Val(h.clock_offset), 0.0);
    EXPECT_EQ(Val(h.latitude), 0.0);

    const auto obs = Observations();
    ASSERT_EQ(obs.size(), 1u);
    EXPECT_EQ(obs[0].record_size, 0);
    EXPECT_EQ(obs[0].prn, 8);
    EXPECT_EQ(obs[0].lock_time, 1);
    EXPECT_DOUBLE_EQ(obs[0].ca_range, 99999997.0 * kL1);
    EXPECT_EQ(Val(obs[0].l1_phase), -99999997.0);
    EXPECT_NEAR(obs[0].l1_doppler, 3.0, 1e-6);
    EXPECT_DOUBLE_EQ(obs[0].p2_range, 100000000.0 * kL1);
    EXPECT_NEAR(obs[0].l2_phase, -(1.0 + 100000000.0 * 60.0 / 77.0), 1e-6);

    const auto lock = LockInfo();
    ASSERT_EQ(lock.size(), 1u);
    EXPECT_EQ(Val(lock[0].reserved), 0);
    EXPECT_EQ(Val(lock[0].info_kind), 7);
    EXPECT_EQ(Val(lock[0].l1_lock_seconds), 1.0);
    EXPECT_EQ(Val(lock[0].l2_lock_seconds), 1.0);
    EXPECT_EQ(Val(lock[0].strength), 41.0);
    EXPECT_TRUE(OwnMessages().empty());
}

TEST_F(MeasurementHandler, QueuedBytesAreTheRecordLayouts) {
    Handle(MeasurementFrame(1000).Sat(Block(3, 1600)));
    ASSERT_EQ(Handle(MeasurementFrame(2000).Sat(Block(3, 1600))), 1);
    // The entries follow the 16-byte queue header, each behind a 20-byte entry header.
    const uint8_t* header = buf.data() + 16 + 20;
    EXPECT_EQ(header[2], 1);                  // sat_count
    double t;
    std::memcpy(&t, header + 28, sizeof t);  // time_tag
    EXPECT_EQ(t, 2.0);
    const uint8_t* obs = header + 68 + 20;
    EXPECT_EQ(obs[2], 3);  // prn
    EXPECT_EQ(obs[3], 1);  // lock_time
    double range;
    std::memcpy(&range, obs + 4, sizeof range);
    EXPECT_DOUBLE_EQ(range, 100 * kL1);
    const uint8_t* lock = obs + 44 + 20;
    EXPECT_EQ(lock[4], 7);
    double strength;
    std::memcpy(&strength, lock + 24, sizeof strength);
    EXPECT_EQ(strength, 41.0);
}

TEST_F(MeasurementHandler, FramesWithoutAcceptedSatellitesQueueNothing) {
    SatBlock invalid = Block(5, 1600);
    invalid.valid = false;
    const MeasurementFrame frames[] = {
        MeasurementFrame(1000),                                  // no blocks
        MeasurementFrame(2000).Sat(invalid).Sat(invalid),       // only invalid blocks
        MeasurementFrame(3000).Sat(Block(0, 1600)),              // PRN 0
        MeasurementFrame(4000).Sat(Block(0, 1600)),
        MeasurementFrame(5000).Sat(Block(6, 1600)),              // first sighting
    };
    for (const auto& f : frames) {
        EXPECT_EQ(Handle(f), 0);
        EXPECT_EQ(GetThreadBufRecCount(buf.data(), 1), 0);
        EXPECT_EQ(GetThreadBufRecCount(buf.data(), 2), 0);
    }
    EXPECT_EQ(port->history[0].prn, 0);
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(port->clockWarnings, 0);
}

TEST_F(MeasurementHandler, FlagEpochsMarksTheHeader) {
    port->options.flagEpochs = 1;
    Handle(MeasurementFrame(1000).Sat(Block(2, 1600)));
    ASSERT_EQ(Handle(MeasurementFrame(2000).Sat(Block(2, 1600))), 1);
    EXPECT_EQ(Header().flags, 2);
}

TEST_F(MeasurementHandler, FifteenSatellitesInOneFrame) {
    MeasurementFrame first(10000), second(11000);
    for (uint8_t prn = 1; prn <= 15; ++prn) {
        first.Sat(Block(prn, 16u * 20000000u + prn));
        second.Sat(Block(prn, 16u * 20000000u + prn));
    }
    Handle(first);
    ASSERT_EQ(Handle(second), 1);
    EXPECT_EQ(Header().sat_count, 15);
    EXPECT_EQ(GetThreadBufRecCount(buf.data(), 2), 15);
    EXPECT_EQ(GetThreadBufRecCount(buf.data(), 4), 15);
    const auto obs = Observations();
    ASSERT_EQ(obs.size(), 15u);
    for (int i = 0; i < 15; ++i) EXPECT_EQ(obs[i].prn, i + 1);
}

TEST_F(MeasurementHandler, ObservationsKeepFrameOrderAndSkipRejectedBlocks) {
    Handle(MeasurementFrame(1000).Sat(Block(9, 1600)).Sat(Block(4, 3200)));
    ASSERT_EQ(Handle(MeasurementFrame(2000).Sat(Block(9, 1600)).Sat(Block(11, 100)).Sat(Block(4, 3200))), 1);
    const auto obs = Observations();
    ASSERT_EQ(obs.size(), 2u);
    EXPECT_EQ(obs[0].prn, 9);
    EXPECT_EQ(obs[1].prn, 4);
    EXPECT_EQ(LockInfo().size(), 2u);
}

TEST_F(MeasurementHandler, SlipMessagesComeInFrameOrderWithTheEpochTime) {
    Handle(MeasurementFrame(1000).Sat(Block(9, 1600, 1)).Sat(Block(4, 3200, 1)));
    ASSERT_EQ(Handle(MeasurementFrame(2000).Sat(Block(9, 1600, 2)).Sat(Block(4, 3200, 2))), 1);
    // The slip test's messages come first, before any of the clock step.
    ASSERT_EQ(OwnMessages().size(), 2u);
    EXPECT_EQ(messages[0].text, "L1 cycle slip on PRN 9");
    EXPECT_EQ(messages[1].text, "L1 cycle slip on PRN 4");
    EXPECT_EQ(messages[0].time, 2.0);
    EXPECT_EQ(messages[1].time, 2.0);
    for (const auto& o : Observations()) EXPECT_EQ(o.lock_time, 0);
}

// The observation's lock byte against the lock time carried in full.
struct LockCase {
    double previousLock;
    uint32_t stepMs;
    uint8_t lockByte;
    double lockSeconds;
};

void PrintTo(const LockCase& c, std::ostream* os) {
    *os << c.previousLock << " s + " << c.stepMs << " ms";
}

class MeasurementLockTime : public MeasurementHandler, public ::testing::WithParamInterface<LockCase> {};

TEST_P(MeasurementLockTime, TruncatedAndCappedInTheObservation) {
    const LockCase& c = GetParam();
    Handle(MeasurementFrame(100000).Sat(Block(10, 1600)));
    port->history[10].l1_lock_time = c.previousLock;
    ASSERT_EQ(Handle(MeasurementFrame(100000 + c.stepMs).Sat(Block(10, 1600))), 1);
    EXPECT_EQ(Observations().at(0).lock_time, c.lockByte);
    EXPECT_NEAR(LockInfo().at(0).l1_lock_seconds, c.lockSeconds, 1e-9);
}

INSTANTIATE_TEST_SUITE_P(Values, MeasurementLockTime,
                         ::testing::Values(LockCase{0.0, 999, 0, 0.999}, LockCase{1.5, 1000, 2, 2.5},
                                           LockCase{253.9, 1000, 254, 254.9},
                                           LockCase{254.0, 1000, 255, 255.0},
                                           LockCase{299.7, 1000, 255, 300.7},
                                           LockCase{100000.0, 1000, 255, 100001.0}),
                         [](const auto& info) { return "Case" + std::to_string(info.index); });

TEST_F(MeasurementHandler, AppendFailureLeavesEarlierRecordsQueued) {
    // Capacities with room for the header entry (16 + 20 + 68 bytes) but not the
    // observations, and for the observations (+ 20 + 44) but not the lock records (+ 20 + 32).
    struct Case {
        int32_t capacity;
        int32_t observations;
    };
    for (const Case c : {Case{150, 0}, Case{219, 1}}) {
        SCOPED_TRACE(c.capacity);
        SetUp();
        Handle(MeasurementFrame(1000).Sat(Block(2, 1600)));
        SetThreadBufSize(c.capacity);
        EXPECT_EQ(Handle(MeasurementFrame(2000).Sat(Block(2, 1600))), 0);
        EXPECT_EQ(GetThreadBufRecCount(buf.data(), 1), 1);
        EXPECT_EQ(GetThreadBufRecCount(buf.data(), 2), c.observations);
        EXPECT_EQ(GetThreadBufRecCount(buf.data(), 4), 0);
        // The queue's text comes last, after any of the clock step.
        ASSERT_EQ(OwnMessages().size(), 1u);
        EXPECT_EQ(messages.back().text, "Thread Buffer overrun--No more space for output data");
        EXPECT_EQ(messages.back().time, 2.0);
    }
}

TEST_F(MeasurementHandler, WithoutL2DataTheL2FieldsAreZero) {
    SatBlock b = Block(30, 16 * 5000);
    b.p1Delta = 32;
    Handle(MeasurementFrame(1000).Sat(b));
    ASSERT_EQ(Handle(MeasurementFrame(2000).Sat(b)), 1);
    const auto obs = Observations();
    EXPECT_EQ(Val(obs.at(0).p2_range), 0.0);
    EXPECT_EQ(Val(obs.at(0).l2_phase), 0.0);
    EXPECT_EQ(Val(LockInfo().at(0).l2_lock_seconds), 0.0);
}

TEST_F(MeasurementHandler, ClosedPortQueuesNothing) {
    ResetThreadBuf(buf.data());
    EXPECT_EQ(HandleMeasurement(1023, buf.data()), 0);
    EXPECT_EQ(GetThreadBufRecCount(buf.data(), 1), 0);
}

}  // namespace
}  // namespace kestrel
