// SPDX-License-Identifier: BSD-2-Clause
// The decoding session: bytes pushed in any chunks decode as a whole log does, one session at a
// time, the host's callbacks put back, a sink that fails ends the run, frames placed in GPS time
// or refused, the solver's starting point, and the parser's own counts of what it gave up.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/error_text.h"
#include "navcom/frame_parser.h"
#include "pipeline/host_link.h"
#include "pipeline/session.h"
#include "support/frame_builder.h"
#include "support/test_files.h"

namespace kestrel {
namespace {

using test::MeasurementFrame;
using test::SatBlock;
using Bytes = std::vector<uint8_t>;

// Keeps what a session hands over; fails the epoch numbered `stopAt` (from 0).
struct Keeper : ObservationSink {
    std::vector<ObservationEpoch> epochs;
    int ephemerides = 0;
    int stopAt = -1;
    bool OnEpoch(const ObservationEpoch& epoch) override {
        epochs.push_back(epoch);
        if (static_cast<int>(epochs.size()) - 1 != stopAt) return true;
        set_error_text("the sink stopped");
        return false;
    }
    bool OnEphemeris(const DecodedEphemeris&) override {
        ++ephemerides;
        return true;
    }
};

CallbackBlock NoCallbacks() {
    CallbackBlock callbacks;
    std::memset(&callbacks, 0, sizeof callbacks);
    callbacks.blockSize = KESTREL_CALLBACK_BLOCK_SIZE;
    return callbacks;
}

const Bytes& StationHour() {
    static const Bytes log = test::ReadFileBytes(test::DataPath("navcom/gsi-0759-2005-092.nav"));
    return log;
}

// Two epochs are the same when every figure an output reads is.
void ExpectSameEpochs(const std::vector<ObservationEpoch>& a, const std::vector<ObservationEpoch>& b) {
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t e = 0; e < a.size(); ++e) {
        SCOPED_TRACE(e);
        EXPECT_EQ(a[e].time.Total(), b[e].time.Total());
        EXPECT_EQ(a[e].clockOffsetM, b[e].clockOffsetM);
        EXPECT_EQ(a[e].positionM, b[e].positionM);
        ASSERT_EQ(a[e].satCount, b[e].satCount);
        for (int s = 0; s < a[e].satCount; ++s) {
            const SatelliteObservation& x = a[e].sats[static_cast<std::size_t>(s)];
            const SatelliteObservation& y = b[e].sats[static_cast<std::size_t>(s)];
            EXPECT_EQ(x.prn, y.prn);
            EXPECT_EQ(x.present, y.present);
            EXPECT_EQ(x.values, y.values);
            EXPECT_EQ(x.lockReasons, y.lockReasons);
        }
    }
}

class PushedInChunks : public ::testing::TestWithParam<std::size_t> {};

TEST_P(PushedInChunks, GiveWhatTheWholeLogGives) {
    const CallbackBlock callbacks = NoCallbacks();
    Keeper whole;
    {
        test::ScratchDir dir;
        test::WriteFileBytes(dir.file("hour.nav"), StationHour());
        std::FILE* file = std::fopen(dir.file("hour.nav").c_str(), "rb");
        ASSERT_NE(file, nullptr);
        DecodingSession session(SessionOptions{}, callbacks, nullptr, &whole);
        EXPECT_EQ(session.ReadLog(file, "hour.nav"), RunEnd::kComplete);
        std::fclose(file);
    }
    Keeper pushed;
    DecodingSession session(SessionOptions{}, callbacks, nullptr, &pushed);
    const std::size_t chunk = GetParam() == 0 ? StationHour().size() : GetParam();
    for (std::size_t at = 0; at < StationHour().size(); at += chunk) {
        ASSERT_TRUE(session.Push(StationHour().data() + at, std::min(chunk, StationHour().size() - at)));
    }
    ASSERT_TRUE(session.Finish());
    EXPECT_EQ(pushed.epochs.size(), 120u);
    EXPECT_EQ(pushed.ephemerides, 23);
    ExpectSameEpochs(pushed.epochs, whole.epochs);
}

INSTANTIATE_TEST_SUITE_P(Sizes, PushedInChunks, ::testing::Values(1, 7, 89, 2048, 0),
                         [](const auto& info) { return info.param == 0 ? std::string("Whole") : std::to_string(info.param); });

TEST(DecodingSession, OneLivesAtATimeAndPutsBackTheCallbacksItFound) {
    const CallbackBlock outer = NoCallbacks();
    const CallbackBlock inner = NoCallbacks();
    SetHostCallbacks(&outer);
    {
        Keeper keeper;
        DecodingSession first(SessionOptions{}, inner, nullptr, &keeper);
        ASSERT_TRUE(first.IsOpen());
        EXPECT_EQ(HostCallbacks(), &inner);
        DecodingSession second(SessionOptions{}, outer, nullptr, &keeper);
        EXPECT_FALSE(second.IsOpen());
        EXPECT_STREQ(error_text(), "Error: a decoding session is already running");
        EXPECT_FALSE(second.Push(StationHour().data(), StationHour().size()));
        EXPECT_EQ(HostCallbacks(), &inner);
        EXPECT_TRUE(first.Push(StationHour().data(), StationHour().size()));
    }
    EXPECT_EQ(HostCallbacks(), &outer);
    Keeper keeper;
    DecodingSession next(SessionOptions{}, inner, nullptr, &keeper);
    EXPECT_TRUE(next.IsOpen());
    SetHostCallbacks(nullptr);
}

TEST(DecodingSession, ASinkThatFailsEndsTheRunWithItsText) {
    Keeper keeper;
    keeper.stopAt = 3;
    const CallbackBlock callbacks = NoCallbacks();
    DecodingSession session(SessionOptions{}, callbacks, nullptr, &keeper);
    EXPECT_FALSE(session.Push(StationHour().data(), StationHour().size()));
    EXPECT_EQ(session.End(), RunEnd::kSinkFailed);
    EXPECT_STREQ(error_text(), "the sink stopped");
    EXPECT_EQ(keeper.epochs.size(), 4u);
    EXPECT_FALSE(session.Push(StationHour().data(), StationHour().size()));
    EXPECT_FALSE(session.Finish());
    EXPECT_EQ(keeper.epochs.size(), 4u);
}

// A block of PRN 5, about 20000 km away.
SatBlock Prn5() {
    SatBlock block;
    block.prn = 5;
    block.caRange = 400000000;
    return block;
}

// Frames of one satellite at the given weeks (0: none sent) and times of week, in seconds.
Bytes Frames(const std::vector<std::pair<uint16_t, uint32_t>>& weeksAndSeconds) {
    Bytes bytes;
    for (const auto& [week, second] : weeksAndSeconds) {
        const Bytes frame = MeasurementFrame(second * 1000).Week(week).Sat(Prn5()).Bytes();
        bytes.insert(bytes.end(), frame.begin(), frame.end());
    }
    return bytes;
}

struct WeekCase {
    const char* name;
    std::vector<std::pair<uint16_t, uint32_t>> frames;
    std::optional<int> givenWeek;
    bool tolerate;
    RunEnd end;
    std::vector<int> weeks;  // of the epochs handed over
    bool weekKnown;
    int64_t weekFaults;
    const char* text;  // the error text when refused
};

void PrintTo(const WeekCase& c, std::ostream* os) { *os << c.name; }

class WeekPlacing : public ::testing::TestWithParam<WeekCase> {};

TEST_P(WeekPlacing, PlacesRefusesOrCounts) {
    const WeekCase& c = GetParam();
    SessionOptions options;
    options.decoder.clockCorrection = 0;
    options.week = c.givenWeek;
    options.tolerateWeekFaults = c.tolerate;
    Keeper keeper;
    const CallbackBlock callbacks = NoCallbacks();
    test::ScratchDir dir;
    test::WriteFileBytes(dir.file("frames.log"), Frames(c.frames));
    std::FILE* file = std::fopen(dir.file("frames.log").c_str(), "rb");
    ASSERT_NE(file, nullptr);
    DecodingSession session(options, callbacks, nullptr, &keeper);
    EXPECT_EQ(session.ReadLog(file, "frames.log"), c.end);
    std::fclose(file);
    std::vector<int> weeks;
    for (const ObservationEpoch& e : keeper.epochs) {
        weeks.push_back(e.time.week);
        EXPECT_EQ(e.weekKnown, c.weekKnown);
    }
    EXPECT_EQ(weeks, c.weeks);
    EXPECT_EQ(session.Counts().weekFaults, c.weekFaults);
    if (c.end == RunEnd::kRefused) {
        EXPECT_STREQ(error_text(), c.text);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WeekPlacing,
    ::testing::Values(
        WeekCase{"FramesWeek", {{1316, 100}, {1316, 101}}, std::nullopt, false, RunEnd::kComplete, {1316, 1316}, true, 0, ""},
        WeekCase{"RolloverToTheNextWeek", {{1316, 604799}, {1317, 0}}, std::nullopt, false, RunEnd::kComplete,
                 {1316, 1317}, true, 0, ""},
        WeekCase{"NoWeekRefused", {{0, 100}}, std::nullopt, false, RunEnd::kRefused, {}, true, 0,
                 "Error: the MEASUREMENT frames of frames.log carry no GPS week (at 100.000 s of week); give the "
                 "week of the first epoch"},
        WeekCase{"NoWeekCountedFromZero", {{0, 100}, {0, 101}}, std::nullopt, true, RunEnd::kComplete, {0, 0}, false, 0, ""},
        WeekCase{"GivenWeekRolledOver", {{0, 604799}, {0, 0}}, 1316, false, RunEnd::kComplete, {1316, 1317}, true, 0, ""},
        WeekCase{"GivenWeekTheFramesAgreeWith", {{1316, 100}, {0, 101}}, 1316, false, RunEnd::kComplete, {1316, 1316}, true,
                 0, ""},
        WeekCase{"GivenWeekTheFramesContradict", {{0, 100}, {1500, 101}}, 1316, false, RunEnd::kRefused, {1316}, true, 0,
                 "Error: --week 1316 was given, but the frames of frames.log carry GPS week 1500 (at 101.000 s of "
                 "week); --week is only for logs whose frames carry no week"},
        WeekCase{"JumpRefused", {{1316, 100}, {1400, 101}}, std::nullopt, false, RunEnd::kRefused, {1316}, true, 0,
                 "Error: the GPS week of frames.log jumps from 1316 to 1400 at 101.000 s of week; give the week of "
                 "the first epoch"},
        WeekCase{"JumpSkippedAndCounted", {{1316, 100}, {1400, 101}, {1316, 102}}, std::nullopt, true,
                 RunEnd::kComplete, {1316, 1316}, true, 1, ""}),
    [](const auto& info) { return std::string(info.param.name); });

// The solver's start: the station hour after another log, from that log's last solution or
// afresh. Afresh, the first epochs are solved as when the hour is converted alone.
TEST(DecodingSession, SolverStartsAfreshOrFromTheRunBefore) {
    const CallbackBlock callbacks = NoCallbacks();
    const Bytes other = test::ReadFileBytes(test::DataPath("navcom/gpsd-navcom-long-2012.log"));
    const auto hourAfterOther = [&](SolverStart start) {
        {
            Keeper ignored;
            DecodingSession session(SessionOptions{}, callbacks, nullptr, &ignored);
            session.Push(other.data(), other.size());
            session.Finish();
        }
        SessionOptions options;
        options.solver = start;
        Keeper keeper;
        DecodingSession session(options, callbacks, nullptr, &keeper);
        session.Push(StationHour().data(), StationHour().size());
        session.Finish();
        return keeper.epochs;
    };
    Keeper alone;
    {
        DecodingSession session(SessionOptions{}, callbacks, nullptr, &alone);
        session.Push(StationHour().data(), StationHour().size());
        session.Finish();
    }
    ExpectSameEpochs(hourAfterOther(SolverStart::kFresh), alone.epochs);
    const std::vector<ObservationEpoch> continued = hourAfterOther(SolverStart::kContinue);
    ASSERT_EQ(continued.size(), alone.epochs.size());
    int differing = 0;
    for (std::size_t e = 0; e < continued.size(); ++e) differing += continued[e].positionM != alone.epochs[e].positionM;
    EXPECT_GT(differing, 0);
}

// The frame parser's own counts, read through the session.
struct CountCase {
    const char* name;
    std::function<Bytes()> stream;
    ParserCounts counts;
};
void PrintTo(const CountCase& c, std::ostream* os) { *os << c.name; }

Bytes GoodFrame(uint32_t second) {
    return MeasurementFrame(second * 1000).Week(1316).Sat(Prn5()).Bytes();
}

class ParserCounting : public ::testing::TestWithParam<CountCase> {};

TEST_P(ParserCounting, CountsWhatItGaveUp) {
    const CountCase& c = GetParam();
    Keeper keeper;
    const CallbackBlock callbacks = NoCallbacks();
    DecodingSession session(SessionOptions{}, callbacks, nullptr, &keeper);
    const Bytes stream = c.stream();
    session.Push(stream.data(), stream.size());
    session.Finish();
    const ParserCounts& n = session.Counts().parser;
    EXPECT_EQ(n.checksumFailures, c.counts.checksumFailures);
    EXPECT_EQ(n.lengthFailures, c.counts.lengthFailures);
    EXPECT_EQ(n.resyncs, c.counts.resyncs);
    EXPECT_EQ(n.bufferOverruns, c.counts.bufferOverruns);
    EXPECT_EQ(n.otherRecords, c.counts.otherRecords);
}

// A clean real capture up to the end of its last whole frame: its frames of other records are
// passed over, nothing is damage. The count of those frames comes from finding the frames by
// their length fields.
int64_t OtherRecordFrames(const Bytes& log) {
    int64_t n = 0;
    for (const test::FoundFrame& f : test::FindFrames(log)) n += f.id != 0xB0 && f.id != 0x81 ? 1 : 0;
    return n;
}
const Bytes& ShortCapture() {
    static const Bytes log = [] {
        Bytes bytes = test::ReadFileBytes(test::DataPath("navcom/gpsd-navcom.log"));
        const test::FoundFrame last = test::FindFrames(bytes).back();
        bytes.resize(last.offset + last.bytes.size());
        return bytes;
    }();
    return log;
}

INSTANTIATE_TEST_SUITE_P(
    Streams, ParserCounting,
    ::testing::Values(
        CountCase{"CleanCapture", [] { return ShortCapture(); }, {0, 0, 0, 0, OtherRecordFrames(ShortCapture())}},
        CountCase{"FlippedChecksum",
                  [] {
                      Bytes f = GoodFrame(100);
                      f.back() ^= 0x01;
                      return test::Concat({f, GoodFrame(101)});
                  },
                  {1, 0, 1, 0, 0}},
        CountCase{"LengthOfNoFrame", [] { return test::Concat({test::MakeFrameWithLength(0xB0, 20, Bytes(17, 0)), GoodFrame(101)}); },
                  {0, 1, 1, 0, 0}},
        CountCase{"ItemCountAgainstTheLength",
                  [] {
                      Bytes f = GoodFrame(100);
                      f[layout::measurement::kCountOffset] = 2;
                      test::Reseal(f);
                      return test::Concat({f, GoodFrame(101)});
                  },
                  {0, 1, 1, 0, 0}},
        CountCase{"OtherRecord", [] { return test::Concat({test::MakeFrame(0xAE, Bytes(20, 7)), GoodFrame(101)}); },
                  {0, 0, 0, 0, 1}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrel
