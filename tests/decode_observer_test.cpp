// SPDX-License-Identifier: BSD-2-Clause
// What a port's observer is told: every valid block (first epochs too) with the slip test's
// findings and the frame's week, every ephemeris with its broadcast extras; and the queue,
// so the OBX file, the same with or without an observer.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "navcom/decode_observer.h"
#include "navcom/frame_parser.h"
#include "positioning/eph_store.h"
#include "positioning/single_point.h"
#include "support/decoder_harness.h"
#include "support/frame_builder.h"
#include "support/test_files.h"

namespace kestrel {
namespace {

using test::MessageLog;

struct Recorder : DecodeObserver {
    std::vector<DecodedEpoch> epochs;
    std::vector<DecodedEphemeris> ephemerides;
    void OnEpoch(const DecodedEpoch& e) override { epochs.push_back(e); }
    void OnEphemeris(const DecodedEphemeris& e) override { ephemerides.push_back(e); }
};

struct Decoded {
    Recorder seen;
    std::vector<test::DrainedEpoch> queued;
    std::vector<GpsEphRecord> queuedEphemerides;
    std::vector<std::string> messages;  // sent to the port's callback
};

// A whole log through port 0 as a conversion runs it, with or without an observer.
void Decode(const std::string& log, bool observe, Decoded& run, OptionRecord options = {0, 1, 1, 0}) {
    MessageLog messages;
    eph_store_clear();
    reset_single_point_state();
    ASSERT_EQ(OpenPort(0, MessageLog::Callback), 0);
    SetPortOptions(0, &options, sizeof options);
    if (observe) SetPortObserver(0, &run.seen);
    test::PortFeeder feeder(0);
    feeder.Feed(test::ReadFileBytes(test::DataPath(log)));
    feeder.FeedEnd();
    SetPortObserver(0, nullptr);
    run.queued = feeder.epochs;
    run.queuedEphemerides = feeder.ephemerides;
    run.messages = messages.texts();
}

TEST(DecodeObserver, StationHourGivesEveryBlockWithTheReceiversSlipsAndWeek) {
    Decoded run;
    Decode("navcom/gsi-0759-2005-092.nav", true, run);
    const auto& epochs = run.seen.epochs;
    ASSERT_EQ(epochs.size(), 120u);
    int blocks = 0, withL2 = 0, newArcs = 0, l1Slips = 0, l2Slips = 0, solved = 0;
    std::map<int, int> firstSeen;
    for (const DecodedEpoch& e : epochs) {
        EXPECT_EQ(e.week, 1316);
        blocks += e.satCount;
        for (int i = 0; i < e.satCount; ++i) {
            const DecodedSat& s = e.sats[i];
            withL2 += (s.sat.status & 0x20) != 0;
            if (s.outcome == SlipOutcome::kNewArc) {
                ++newArcs;
                EXPECT_FALSE(s.l1Slip || s.l2Slip);
                firstSeen.emplace(s.sat.prn, static_cast<int>(&e - epochs.data()));
            } else {
                EXPECT_EQ(s.outcome, SlipOutcome::kContinued);
            }
            l1Slips += s.l1Slip;
            l2Slips += s.l2Slip;
        }
        solved += e.solved;
        if (e.solved) {
            // The solution is near the station (APPROX POSITION XYZ of the RINEX header).
            EXPECT_NEAR(e.position[0], -3976219.5, 100.0);
            EXPECT_NEAR(e.position[1], 3382372.6, 100.0);
            EXPECT_NEAR(e.position[2], 3652513.0, 100.0);
        }
    }
    EXPECT_EQ(blocks, 948);
    EXPECT_EQ(withL2, 924);
    // Each satellite starts once (no gap over a minute in the hour), and the receiver's
    // lock counters changed exactly where the log was made to change them.
    EXPECT_EQ(newArcs, static_cast<int>(firstSeen.size()));
    EXPECT_EQ(l1Slips, 11);
    EXPECT_EQ(l2Slips, 6);
    EXPECT_EQ(solved, 119);  // every epoch after the first
    EXPECT_EQ(epochs[0].header, nullptr);  // only first epochs: nothing queued

    // Ephemerides: 23, all healthy, with the frame's week and time.
    ASSERT_EQ(run.seen.ephemerides.size(), 23u);
    for (const DecodedEphemeris& e : run.seen.ephemerides) {
        EXPECT_EQ(e.health, 0);
        EXPECT_EQ(e.transmitWeek, 1316);
        EXPECT_GE(e.transmitTime, 500000u);
        EXPECT_LE(e.transmitTime, 522000u);
        EXPECT_EQ(e.record.Week, 1316 % 1024);
    }
}

TEST(DecodeObserver, RealCapturesCarryWeek1410AndTheBroadcastExtras) {
    for (const char* file : {"navcom/gpsd-navcom.log", "navcom/gpsd-navcom-long-2012.log"}) {
        SCOPED_TRACE(file);
        Decoded run;
        Decode(file, true, run);
        ASSERT_FALSE(run.seen.epochs.empty());
        for (const DecodedEpoch& e : run.seen.epochs) {
            EXPECT_EQ(e.week, 1410);
            EXPECT_EQ(e.satCount, 10);
        }
        EXPECT_DOUBLE_EQ(run.seen.epochs[0].time, 123624.0);
        ASSERT_EQ(run.seen.ephemerides.size(), 13u);
        for (const DecodedEphemeris& e : run.seen.ephemerides) {
            EXPECT_EQ(e.transmitWeek, 1410);
            EXPECT_EQ(e.transmitTime, 123623u);
            EXPECT_EQ(e.record.Week, 386);  // 1410 modulo 1024
            // Healthy GPS satellites of 2012: C/A and P on L2 advertised, a small URA index,
            // data on L2 P, the four-hour fit.
            EXPECT_GE(e.l2Codes, 1);
            EXPECT_LE(e.l2Codes, 3);
            EXPECT_LE(e.uraIndex, 4);
            EXPECT_EQ(e.fitIntervalFlag, 0);
            EXPECT_EQ(e.health, 0);
        }
    }
}

TEST(DecodeObserver, TheQueueIsTheSameWithOrWithoutAnObserver) {
    for (const char* file : {"navcom/gsi-0759-2005-092.nav", "navcom/gpsd-navcom-long-2012.log"}) {
        SCOPED_TRACE(file);
        Decoded without;
        Decode(file, false, without);
        Decoded with;
        Decode(file, true, with);
        EXPECT_EQ(with.messages, without.messages);
        ASSERT_EQ(with.queued.size(), without.queued.size());
        for (std::size_t i = 0; i < with.queued.size(); ++i) {
            EXPECT_EQ(0, std::memcmp(&with.queued[i].header, &without.queued[i].header, sizeof(EpochHeader)));
            ASSERT_EQ(with.queued[i].observations.size(), without.queued[i].observations.size());
            EXPECT_EQ(0, std::memcmp(with.queued[i].observations.data(), without.queued[i].observations.data(),
                                     with.queued[i].observations.size() * sizeof(SatObservation)));
        }
        ASSERT_EQ(with.queuedEphemerides.size(), without.queuedEphemerides.size());
    }
}

// Blocks the queue leaves out still reach the observer, each with what the test made of it.
TEST(DecodeObserver, OutcomesOfTheSlipTest) {
    MessageLog log;
    ASSERT_EQ(OpenPort(0, MessageLog::Callback), 0);
    Recorder seen;
    SetPortObserver(0, &seen);
    test::PortFeeder feeder(0);
    auto block = [](uint8_t prn, uint8_t l1Lock, bool l2, uint8_t l2Lock) {
        test::SatBlock b;
        b.prn = prn;
        b.caRange = 0x6000000;
        b.l1Lock = l1Lock;
        b.l2 = l2;
        b.l2Lock = l2Lock;
        return b;
    };
    const struct {
        uint32_t timeMs;
        std::vector<test::SatBlock> blocks;
    } frames[] = {
        {1000, {block(5, 1, true, 1), block(0, 0, false, 0)}},
        {2000, {block(5, 2, true, 1)}},      // L1 counter changed
        {2000, {block(5, 2, true, 1)}},      // the same time again
        {3000, {block(5, 2, true, 4)}},      // L2 counter changed
        {90000, {block(5, 2, true, 4)}},     // back after 87 s
    };
    for (const auto& f : frames) {
        test::MeasurementFrame frame(f.timeMs);
        for (const auto& b : f.blocks) frame.Sat(b);
        feeder.Feed(frame.Bytes());
    }
    SetPortObserver(0, nullptr);
    ASSERT_EQ(seen.epochs.size(), 5u);
    const struct {
        SlipOutcome outcome;
        bool l1, l2;
    } expected[] = {
        {SlipOutcome::kNewArc, false, false},
        {SlipOutcome::kContinued, true, false},
        {SlipOutcome::kNoTimeStep, false, false},
        {SlipOutcome::kContinued, false, true},
        {SlipOutcome::kNewArc, false, false},
    };
    for (std::size_t i = 0; i < 5; ++i) {
        SCOPED_TRACE(i);
        const DecodedSat& s = seen.epochs[i].sats[0];
        EXPECT_EQ(s.outcome, expected[i].outcome);
        EXPECT_EQ(s.l1Slip, expected[i].l1);
        EXPECT_EQ(s.l2Slip, expected[i].l2);
        EXPECT_EQ(seen.epochs[i].header != nullptr, expected[i].outcome == SlipOutcome::kContinued);
    }
    ASSERT_EQ(seen.epochs[0].satCount, 2);
    EXPECT_EQ(seen.epochs[0].sats[1].outcome, SlipOutcome::kBadPrn);
    EXPECT_EQ(seen.epochs[0].week, 0);  // the test frames carry no week
}

}  // namespace
}  // namespace kestrel
