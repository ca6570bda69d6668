// SPDX-License-Identifier: BSD-2-Clause
// The NavCom framer: synchronisation, the length, count and checksum rules, the rescan
// of rejected bytes, the 1024-byte limit, ports, and replays of real captures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <array>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "common/error_text.h"
#include "navcom/ephemeris.h"
#include "navcom/frame_parser.h"
#include "navcom/measurement.h"
#include "support/decoder_harness.h"
#include "support/frame_builder.h"
#include "support/test_files.h"
#include "threadbuf/threadbuf.h"

namespace kestrel {
namespace {

using test::Concat;
using test::EphemerisFrame;
using test::MeasurementFrame;
using test::MessageLog;
using test::SatBlock;

constexpr char kUntouched[] = "untouched";
constexpr int32_t kSentinelType = 9;  // a queue type the decoder never makes

// ---- frames ----------------------------------------------------------------------

std::vector<uint8_t> OneSatFrame(uint32_t timeMs = 123624000, uint8_t prn = 5) {
    SatBlock sat;
    sat.prn = prn;
    sat.caRange = 0x01234567;
    return MeasurementFrame(timeMs).Sat(sat).Bytes();
}

std::vector<uint8_t> Ephemeris(uint8_t prn = 7) {
    std::array<uint8_t, 72> payload{};
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(0x40 + i);
    return EphemerisFrame(prn, 123600, payload);
}

// Recomputes the checksum byte after a test has changed a frame.
std::vector<uint8_t> Resealed(std::vector<uint8_t> f) {
    if (f.size() < 4) return f;
    uint8_t x = 0;
    for (std::size_t i = 3; i + 1 < f.size(); ++i) x ^= f[i];
    f.back() = x;
    return f;
}

std::vector<uint8_t> Head(const std::vector<uint8_t>& f, std::size_t n) { return {f.begin(), f.begin() + n}; }

// ---- a record table whose handlers record what they were handed --------------------

struct Handled {
    int32_t port;
    std::vector<uint8_t> frame;
    bool queueWasEmpty;
    int32_t parseState;
};
std::vector<Handled> handled;
int32_t handlerResultOverride = -1;  // -1: 1 for MEASUREMENT, 2 for others

int32_t RecordingHandler(int32_t port, uint8_t* threadBuf) {
    const PortState* p = GetPortState(port);
    if (p == nullptr) return 0;
    handled.push_back({port, std::vector<uint8_t>(p->frame, p->frame + p->frameLength),
                       le_s32(threadBuf + 8) == 0 && le_s32(threadBuf + 12) == 16, p->parseState});
    if (handlerResultOverride >= 0) return handlerResultOverride;
    return p->frame[3] == 0xB0 ? 1 : 2;
}

// The receiver's two records with recording handlers, and a long record whose two-byte
// item count lets a frame grow past the frame buffer.
const RecordDef kRecordingTable[] = {
    {0xB0, "MEASUREMENT", 15, 16, 13, 1, RecordingHandler},
    {0x81, "EPHEMERIS", 89, 0, 0, 0, RecordingHandler},
    {0x42, "LONG", 9, 1, 6, 2, RecordingHandler},
};

// A frame of the LONG record with `total` bytes in all.
std::vector<uint8_t> LongFrame(int32_t total) {
    std::vector<uint8_t> body(static_cast<std::size_t>(total - 7), 0x11);
    put_le16(body.data(), static_cast<uint16_t>(total - 9));  // the item count
    return test::MakeFrame(0x42, body);
}

class FrameParserTest : public ::testing::Test {
protected:
    void SetUp() override {
        UseRecordTable(nullptr, 0);
        handled.clear();
        handlerResultOverride = -1;
        queue_.assign(kThreadBufMemoryBytes, 0);
        ResetThreadBuf(queue_.data());
        ASSERT_EQ(OpenPort(0, MessageLog::Callback), 0);
        set_error_text(kUntouched);
    }
    void TearDown() override { UseRecordTable(nullptr, 0); }

    void UseRecordingTable() {
        UseRecordTable(kRecordingTable, static_cast<int32_t>(std::size(kRecordingTable)));
    }

    void Verbose(int32_t port, bool on) {
        OptionRecord options{0, 1, 1, on ? 1 : 0};
        SetPortOptions(port, &options, sizeof options);
    }

    // Feeds the bytes and returns every byte's result.
    std::vector<int32_t> Feed(const std::vector<uint8_t>& bytes, int32_t port = 0) {
        std::vector<int32_t> out;
        for (uint8_t b : bytes) out.push_back(FeedByte(port, b, queue_.data()));
        return out;
    }

    // Feeds the bytes with a sentinel entry kept in the queue, and returns for every byte
    // at which the parser accepted a frame (and so emptied the queue) the byte's index
    // and the frame's record id.
    std::vector<std::pair<std::size_t, int>> Accepted(const std::vector<uint8_t>& bytes, int32_t port = 0) {
        std::vector<std::pair<std::size_t, int>> out;
        const uint8_t sentinel[4] = {1, 2, 3, 4};
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            if (GetThreadBufRecCount(queue_.data(), kSentinelType) == 0) {
                ResetThreadBuf(queue_.data());
                EXPECT_EQ(AddThreadBufData(queue_.data(), sentinel, 1, kSentinelType), 0);
            }
            FeedByte(port, bytes[i], queue_.data());
            if (GetThreadBufRecCount(queue_.data(), kSentinelType) == 0) {
                out.emplace_back(i, GetPortState(port)->frame[3]);
            }
        }
        return out;
    }

    MessageLog log_;
    std::vector<uint8_t> queue_;
};

// ---- checksum and table ---------------------------------------------------------------

TEST(FrameChecksum, CoversIdThroughLastPayloadByteOnly) {
    const auto good = OneSatFrame();
    const int32_t n = static_cast<int32_t>(good.size());
    EXPECT_TRUE(VerifyChecksum(good.data(), n));
    for (std::size_t i = 0; i < 3; ++i) {  // sync bytes are outside the checksum
        auto f = good;
        f[i] ^= 0x5A;
        EXPECT_TRUE(VerifyChecksum(f.data(), n)) << i;
    }
    for (std::size_t i : {std::size_t{3}, std::size_t{4}, std::size_t{13}, good.size() - 2, good.size() - 1}) {
        auto f = good;
        f[i] ^= 0x01;
        EXPECT_FALSE(VerifyChecksum(f.data(), n)) << i;
    }
    const uint8_t tiny[4] = {0x02, 0x99, 0x66, 0x00};
    EXPECT_TRUE(VerifyChecksum(tiny, 4));  // nothing to XOR: the checksum byte must be 0
    EXPECT_FALSE(VerifyChecksum(tiny, 3));
    EXPECT_FALSE(VerifyChecksum(nullptr, 31));
}

TEST(FrameRecordTable, HoldsTheReceiversTwoRecordsInOrder) {
    UseRecordTable(nullptr, 0);
    ASSERT_EQ(RecordTableSize(), 2);
    const RecordDef* t = RecordTable();
    EXPECT_EQ(t[0].id, 0xB0);
    EXPECT_STREQ(t[0].name, "MEASUREMENT");
    EXPECT_EQ(t[0].baseLength, 15);
    EXPECT_EQ(t[0].itemLength, 16);
    EXPECT_EQ(t[0].countOffset, 13);
    EXPECT_EQ(t[0].countWidth, 1);
    EXPECT_EQ(t[0].handler, &HandleMeasurement);
    EXPECT_EQ(t[1].id, 0x81);
    EXPECT_STREQ(t[1].name, "EPHEMERIS");
    EXPECT_EQ(t[1].baseLength, 89);
    EXPECT_EQ(t[1].itemLength, 0);
    EXPECT_EQ(t[1].handler, &HandleEphemeris);
}

// ---- complete, incomplete, byte by byte ------------------------------------------------

TEST_F(FrameParserTest, CompleteFrameIsHandedOverOnItsLastByte) {
    UseRecordingTable();
    const auto f = OneSatFrame();
    const uint8_t sentinel[4] = {};
    ASSERT_EQ(AddThreadBufData(queue_.data(), sentinel, 1, kSentinelType), 0);
    for (std::size_t i = 0; i < f.size(); ++i) {
        const int32_t r = FeedByte(0, f[i], queue_.data());
        const PortState* p = GetPortState(0);
        ASSERT_NE(p, nullptr);
        if (i + 1 < f.size()) {
            ASSERT_EQ(r, 0) << i;
            EXPECT_EQ(p->byteCount, static_cast<int32_t>(i + 1));
            EXPECT_EQ(p->parseState, i < 5 ? kParseHeader : 0xB0) << i;
            EXPECT_EQ(GetThreadBufRecCount(queue_.data(), kSentinelType), 1) << "queue emptied early at " << i;
        } else {
            EXPECT_EQ(r, 1);
            EXPECT_EQ(p->parseState, kParseHunting);
            EXPECT_EQ(p->frameLength, 31);
            EXPECT_EQ(p->countCheckAt, 14);
        }
    }
    ASSERT_EQ(handled.size(), 1u);
    EXPECT_EQ(handled[0].port, 0);
    EXPECT_EQ(handled[0].frame, f);
    EXPECT_TRUE(handled[0].queueWasEmpty);
    EXPECT_EQ(handled[0].parseState, kParseHunting);
    EXPECT_TRUE(log_.messages().empty());
    EXPECT_STREQ(error_text(), kUntouched);
}

TEST_F(FrameParserTest, BackToBackFramesAndHandlerResultsPassThrough) {
    UseRecordingTable();
    const auto stream = Concat({OneSatFrame(1000), Ephemeris(3), {0x03}, OneSatFrame(2000), MeasurementFrame(3000).Bytes()});
    std::vector<int32_t> nonZero;
    for (int32_t r : Feed(stream)) {
        if (r != 0) nonZero.push_back(r);
    }
    EXPECT_EQ(nonZero, (std::vector<int32_t>{1, 2, 1, 1}));
    ASSERT_EQ(handled.size(), 4u);
    EXPECT_EQ(handled[3].frame.size(), 15u);  // an epoch with no satellites is a valid frame

    handlerResultOverride = 0;  // a handler that queued nothing makes the feed return 0
    for (int32_t r : Feed(OneSatFrame())) EXPECT_EQ(r, 0);
    EXPECT_EQ(handled.size(), 5u);
}

TEST_F(FrameParserTest, IncompleteFrameWaitsAndIsNeverHandedOver) {
    UseRecordingTable();
    const auto f = Ephemeris();
    for (int32_t r : Feed(Head(f, 88))) EXPECT_EQ(r, 0);
    EXPECT_TRUE(handled.empty());
    EXPECT_EQ(GetPortState(0)->parseState, 0x81);
    EXPECT_EQ(GetPortState(0)->byteCount, 88);
    EXPECT_EQ(Feed({f.back()}).back(), 2);
}

// ---- synchronisation -------------------------------------------------------------------

TEST_F(FrameParserTest, SyncBytesDecideWhichFramesSurvive) {
    const auto f = OneSatFrame();
    const struct {
        const char* what;
        std::vector<uint8_t> prefix;
        bool accepted;
    } cases[] = {
        {"clean", {}, true},
        {"noise before", {0x99, 0x66, 0xB0, 0x00, 0xFF}, true},
        {"02 02 99 66: the second 02 breaks the sync and starts the frame", {0x02}, true},
        {"02 99 02 99 66: the 02 that broke the sync starts the frame", {0x02, 0x99}, true},
        {"02 99 66 02 99 66: unknown id 02, the frame starts there", {0x02, 0x99, 0x66, 0x02, 0x99, 0x66}, true},
        {"02 99 66 02: unknown id 02 is found again by the rescan", {0x02, 0x99, 0x66}, true},
        {"02 99 66 B0 02 99: bad length, the rescan restarts at 02 99", {0x02, 0x99, 0x66, 0xB0}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(OpenPort(0, MessageLog::Callback), 0);
        const auto stream = Concat({c.prefix, f});
        const auto accepted = Accepted(stream);
        if (c.accepted) {
            ASSERT_EQ(accepted.size(), 1u);
            EXPECT_EQ(accepted[0].first, stream.size() - 1);
            EXPECT_EQ(accepted[0].second, 0xB0);
        } else {
            EXPECT_TRUE(accepted.empty());
        }
        EXPECT_EQ(log_.Count(""), 0);  // verbose off: none of these is reported
    }
}

// ---- length rule ---------------------------------------------------------------------

TEST_F(FrameParserTest, LengthRuleAtTheSixthByte) {
    const struct {
        uint8_t id;
        uint16_t length;
        bool passes;
    } cases[] = {
        {0x81, 86, true},  {0x81, 85, false},    {0x81, 87, false},   {0x81, 0, false},
        {0xB0, 12, true},  {0xB0, 28, true},     {0xB0, 268, true},   {0xB0, 65532, true},
        {0xB0, 11, false}, {0xB0, 27, false},    {0xB0, 29, false},   {0xB0, 0, false},
        {0xB0, 65535, false},
    };
    for (bool verbose : {false, true}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::to_string(c.id) + " L=" + std::to_string(c.length) + (verbose ? " verbose" : ""));
            ASSERT_EQ(OpenPort(0, MessageLog::Callback), 0);
            Verbose(0, verbose);
            log_.Clear();
            set_error_text(kUntouched);
            const std::vector<uint8_t> header = {0x02, 0x99, 0x66, c.id, static_cast<uint8_t>(c.length),
                                                 static_cast<uint8_t>(c.length >> 8)};
            for (int32_t r : Feed(header)) EXPECT_EQ(r, 0);
            const PortState* p = GetPortState(0);
            if (c.passes) {
                EXPECT_EQ(p->parseState, c.id);
                EXPECT_EQ(p->frameLength, c.length + 3);
                EXPECT_EQ(p->countCheckAt, c.id == 0xB0 ? 14 : 0);
                EXPECT_TRUE(log_.messages().empty());
            } else if (verbose) {
                EXPECT_EQ(p->parseState, kParseHunting);
                const std::string name = c.id == 0xB0 ? "MEASUREMENT" : "EPHEMERIS";
                const std::string hex = c.id == 0xB0 ? "b0" : "81";
                const std::vector<std::string> expected = {
                    "Invalid record length for '" + name + "' record (0x" + hex + ") on port 0",
                    "Record decoding failed, recursively trying to look for more valid data"};
                EXPECT_EQ(log_.texts(), expected);
                EXPECT_EQ(std::string(error_text()), expected[0]);  // the notice leaves it alone
                for (const auto& m : log_.messages()) EXPECT_EQ(m.time, -1.0);
            } else {
                EXPECT_EQ(p->parseState, kParseHunting);
                EXPECT_TRUE(log_.messages().empty());
                EXPECT_STREQ(error_text(), kUntouched);
            }
        }
    }
}

TEST_F(FrameParserTest, EphemerisOfWrongLengthIsLostButTheNextFrameIsNot) {
    auto bad = Ephemeris();
    bad[4] = 85;
    bad.resize(88);
    const auto accepted = Accepted(Concat({Resealed(bad), Ephemeris(9)}));
    ASSERT_EQ(accepted.size(), 1u);
    EXPECT_EQ(accepted[0].first, 88u + 89u - 1u);
    EXPECT_EQ(GetPortState(0)->frame[6], 9);
}

// ---- count rule ----------------------------------------------------------------------

TEST_F(FrameParserTest, CountRuleReadsTheLowNibbleAtTheFourteenthByte) {
    const struct {
        uint8_t countByte;
        bool accepted;
    } cases[] = {{0x01, true}, {0xF1, true}, {0x71, true}, {0x02, false}, {0xF0, false}, {0x12, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.countByte));
        ASSERT_EQ(OpenPort(0, MessageLog::Callback), 0);
        log_.Clear();
        auto f = OneSatFrame();
        f[13] = c.countByte;
        f = Resealed(f);  // only the count can be wrong
        int stateAt14 = 0;
        std::size_t messagesAt14 = 0;
        for (std::size_t i = 0; i < f.size(); ++i) {
            Feed({f[i]});
            if (i == 13) {
                stateAt14 = GetPortState(0)->parseState;
                messagesAt14 = log_.messages().size();
            }
        }
        if (c.accepted) {
            EXPECT_EQ(stateAt14, 0xB0);
            EXPECT_TRUE(log_.messages().empty());
        } else {
            // Rejected at the fourteenth byte, not later. (A count byte of 02 is then
            // taken up by the rescan as a possible frame start.)
            EXPECT_NE(stateAt14, 0xB0);
            EXPECT_EQ(messagesAt14, 1u);
            ASSERT_EQ(log_.messages().size(), 1u);
            EXPECT_EQ(log_.messages()[0].text, "Invalid variable data length on record 0xb0 on port 0");
            EXPECT_EQ(log_.messages()[0].time, -1.0);
        }
    }
    // The same frames, accepted or not, seen through the queue.
    auto twoAnnounced = OneSatFrame();
    twoAnnounced[13] = 0x02;
    auto highNibble = OneSatFrame();
    highNibble[13] = 0xF1;
    const auto accepted = Accepted(Concat({Resealed(twoAnnounced), Resealed(highNibble)}));
    ASSERT_EQ(accepted.size(), 1u);
    EXPECT_EQ(accepted[0].first, 61u);
}

TEST_F(FrameParserTest, CountRuleFailureWithoutCallbackLeavesTheErrorText) {
    ASSERT_EQ(OpenPort(0, nullptr), 0);
    auto f = OneSatFrame();
    f[13] = 0x03;
    Feed(Resealed(f));
    EXPECT_STREQ(error_text(), kUntouched);
    EXPECT_EQ(GetPortState(0)->parseState, kParseHunting);
}

// ---- checksum ------------------------------------------------------------------------

TEST_F(FrameParserTest, ChecksumFailureIsReportedWhenACallbackIsSet) {
    for (std::size_t at : {std::size_t{3 + 3}, std::size_t{20}, std::size_t{30}}) {
        SCOPED_TRACE(at);
        ASSERT_EQ(OpenPort(0, MessageLog::Callback), 0);
        log_.Clear();
        auto f = OneSatFrame();
        f[at] ^= 0x40;
        EXPECT_TRUE(Accepted(f).empty());
        ASSERT_EQ(log_.messages().size(), 1u);
        EXPECT_EQ(log_.messages()[0].text, "Checksum failure on 'MEASUREMENT' record (0xb0) on port 0");
        EXPECT_EQ(log_.messages()[0].time, -1.0);
        EXPECT_EQ(log_.messages()[0].text, std::string(error_text()));
    }
    ASSERT_EQ(OpenPort(0, nullptr), 0);
    set_error_text(kUntouched);
    auto f = Ephemeris();
    f.back() ^= 1;
    EXPECT_TRUE(Accepted(f).empty());
    EXPECT_STREQ(error_text(), kUntouched);
}

// ---- rescan --------------------------------------------------------------------------

TEST_F(FrameParserTest, RescanFindsAFrameThatStartedInsideARejectedOne) {
    UseRecordingTable();
    // An ephemeris frame cut after 40 bytes: the parser takes the next frame's first 49
    // bytes as its rest, fails the checksum, and the rescan picks the next frame up.
    const auto good = Ephemeris(12);
    const auto stream = Concat({Head(Ephemeris(4), 40), good});
    const auto results = Feed(stream);
    EXPECT_EQ(log_.texts(), std::vector<std::string>{"Checksum failure on 'EPHEMERIS' record (0x81) on port 0"});
    for (std::size_t i = 0; i + 1 < results.size(); ++i) EXPECT_EQ(results[i], 0) << i;
    EXPECT_EQ(results.back(), 2);
    ASSERT_EQ(handled.size(), 1u);
    EXPECT_EQ(handled[0].frame, good);
}

TEST_F(FrameParserTest, FrameWhollyInsideARejectedOneIsReturnedByTheRejectingByte) {
    UseRecordingTable();
    const auto inner = OneSatFrame(5000, 17);
    const std::vector<uint8_t> filler(89 - 20 - 31, 0x00);
    const auto after = OneSatFrame(6000, 18);
    const auto stream = Concat({Head(Ephemeris(4), 20), inner, filler, after});
    const auto results = Feed(stream);
    for (std::size_t i = 0; i < results.size(); ++i) {
        if (i == 88) {
            EXPECT_EQ(results[i], 1) << "the byte that failed the outer checksum";
        } else if (i == stream.size() - 1) {
            EXPECT_EQ(results[i], 1);
        } else {
            EXPECT_EQ(results[i], 0) << i;
        }
    }
    ASSERT_EQ(handled.size(), 2u);
    EXPECT_EQ(handled[0].frame, inner);
    EXPECT_TRUE(handled[0].queueWasEmpty);
    EXPECT_EQ(handled[1].frame, after);
    EXPECT_EQ(GetPortState(0)->pendingEnd, 0);  // nothing left waiting
}

TEST_F(FrameParserTest, FrameRejectedWhileBytesAreExaminedAgainIsExaminedAgainToo) {
    UseRecordingTable();
    Verbose(0, true);
    const std::vector<uint8_t> badInner = {0x02, 0x99, 0x66, 0x81, 85, 0};  // wrong length
    const auto good = OneSatFrame(7000, 21);
    const std::vector<uint8_t> filler(89 - 20 - 6 - 31, 0x00);
    const auto results = Feed(Concat({Head(Ephemeris(4), 20), badInner, good, filler}));
    const std::vector<std::string> expected = {
        "Checksum failure on 'EPHEMERIS' record (0x81) on port 0",
        "Record decoding failed, recursively trying to look for more valid data",
        "Invalid record length for 'EPHEMERIS' record (0x81) on port 0",
        "Record decoding failed, recursively trying to look for more valid data",  // once per rejection
    };
    EXPECT_EQ(log_.texts(), expected);
    EXPECT_EQ(results.back(), 1);
    ASSERT_EQ(handled.size(), 1u);
    EXPECT_EQ(handled[0].frame, good);
}

TEST_F(FrameParserTest, RescanGoesOnPastAFrameWhoseHandlerQueuedNothing) {
    UseRecordingTable();
    handlerResultOverride = 0;
    const auto a = OneSatFrame(1000, 1);
    const auto b = OneSatFrame(2000, 2);
    const std::vector<uint8_t> filler(89 - 20 - 62, 0x00);
    Feed(Concat({Head(Ephemeris(4), 20), a, b, filler}));
    ASSERT_EQ(handled.size(), 2u);
    EXPECT_EQ(handled[0].frame, a);
    EXPECT_EQ(handled[1].frame, b);
}

// ---- the 1024-byte frame buffer --------------------------------------------------------

TEST_F(FrameParserTest, FrameReachingTheBufferSizeIsDroppedWithoutRescan) {
    UseRecordingTable();
    // 1023 bytes fit; a frame of 1024 bytes or more overruns on its 1024th byte.
    auto fits = LongFrame(1023);
    EXPECT_EQ(Feed(fits).back(), 2);
    ASSERT_EQ(handled.size(), 1u);
    EXPECT_EQ(handled[0].frame.size(), 1023u);

    for (int32_t total : {1024, 1500, 65538}) {
        SCOPED_TRACE(total);
        handled.clear();
        log_.Clear();
        auto f = LongFrame(total);
        // A good measurement frame inside the dropped bytes is not looked for.
        const auto inner = OneSatFrame();
        std::copy(inner.begin(), inner.end(), f.begin() + 100);
        const auto after = OneSatFrame(9000, 30);
        Feed(Concat({f, after}));
        EXPECT_EQ(log_.texts(), std::vector<std::string>{"NavCom Buffer overrun for record 0x42 on port 0"});
        EXPECT_EQ(log_.messages()[0].time, -1.0);
        ASSERT_EQ(handled.size(), 1u);
        EXPECT_EQ(handled[0].frame, after);
    }
    // Formatted whether or not a callback is set.
    ASSERT_EQ(OpenPort(0, nullptr), 0);
    set_error_text(kUntouched);
    Feed(LongFrame(1024));
    EXPECT_STREQ(error_text(), "NavCom Buffer overrun for record 0x42 on port 0");
}

TEST_F(FrameParserTest, MeasurementLengthsBeyondFifteenItemsStopAtTheCountCheck) {
    // The length rule lets any 15 + 16 n through, but the four-bit count cannot announce
    // more than 15 items, so no MEASUREMENT header reaches the frame buffer's end.
    for (uint16_t length : {uint16_t{284}, uint16_t{1004}, uint16_t{1020}, uint16_t{1036}, uint16_t{65532}}) {
        SCOPED_TRACE(length);
        ASSERT_EQ(OpenPort(0, MessageLog::Callback), 0);
        log_.Clear();
        std::vector<uint8_t> body(1100, 0x00);
        body[13 - 6] = 0x0F;
        const auto f = test::MakeFrameWithLength(0xB0, length, body);
        const auto accepted = Accepted(Concat({f, OneSatFrame()}));
        EXPECT_EQ(log_.texts(), std::vector<std::string>{"Invalid variable data length on record 0xb0 on port 0"});
        ASSERT_EQ(accepted.size(), 1u);
        EXPECT_EQ(accepted[0].first, f.size() + 30);
    }
}

// ---- ports ---------------------------------------------------------------------------

TEST_F(FrameParserTest, ClosedAndInvalidPortsRefuseBytes) {
    constexpr int32_t kNeverOpened = 777;
    for (int32_t port : {kNeverOpened, -1, 1024, 5000}) {
        SCOPED_TRACE(port);
        set_error_text(kUntouched);
        EXPECT_EQ(FeedByte(port, 0x02, queue_.data()), -1);
        EXPECT_STREQ(error_text(), "OpenPort not called");
        EXPECT_EQ(GetPortState(port), nullptr);
        SetPortOptions(port, queue_.data(), 16);  // ignored, and harmless
    }
    for (int32_t port : {-1, 1024, INT32_MIN}) {
        set_error_text(kUntouched);
        EXPECT_EQ(OpenPort(port, nullptr), 1);
        EXPECT_STREQ(error_text(), "Invalid port number");
    }
    ASSERT_EQ(OpenPort(1023, nullptr), 0);
    EXPECT_EQ(FeedByte(1023, 0x02, queue_.data()), 0);
}

TEST_F(FrameParserTest, ReopeningAPortStartsItAfresh) {
    ASSERT_EQ(OpenPort(3, MessageLog::Callback), 0);
    Verbose(3, true);
    EXPECT_EQ(GetPortState(3)->options.verboseDecoder, 1);
    const auto f = OneSatFrame();
    Feed(Head(f, 20), 3);
    EXPECT_EQ(GetPortState(3)->byteCount, 20);

    ASSERT_EQ(OpenPort(3, nullptr), 0);
    const PortState* p = GetPortState(3);
    EXPECT_EQ(p->isOpen, 1);
    EXPECT_EQ(p->portNumber, 3);
    EXPECT_EQ(p->portCallback, nullptr);
    EXPECT_EQ(p->parseState, kParseHunting);
    EXPECT_EQ(p->byteCount, 0);
    EXPECT_EQ(p->options.verboseDecoder, 0);
    EXPECT_EQ(p->options.reportL2Slips, 0);
    // The rest of the interrupted frame is hunted through, not completed.
    EXPECT_TRUE(Accepted({f.begin() + 20, f.end()}, 3).empty());
    EXPECT_TRUE(log_.messages().empty());
}

TEST_F(FrameParserTest, OptionsAreTakenOnlyWithTheirSize) {
    const OptionRecord on{1, 1, 1, 1};
    for (int32_t size : {0, 15, 17, -16}) {
        SetPortOptions(0, &on, size);
        EXPECT_EQ(GetPortState(0)->options.verboseDecoder, 0) << size;
    }
    SetPortOptions(0, nullptr, 16);
    SetPortOptions(0, &on, 16);
    EXPECT_EQ(GetPortState(0)->options.flagEpochs, 1);
    EXPECT_EQ(GetPortState(0)->options.verboseDecoder, 1);
}

TEST_F(FrameParserTest, PortsCollectTheirFramesIndependently) {
    UseRecordingTable();
    ASSERT_EQ(OpenPort(1, nullptr), 0);
    ASSERT_EQ(OpenPort(2, nullptr), 0);
    const auto a = OneSatFrame(1000, 1);
    const auto b = Ephemeris(2);
    for (std::size_t i = 0; i < b.size(); ++i) {
        if (i < a.size()) FeedByte(1, a[i], queue_.data());
        FeedByte(2, b[i], queue_.data());
    }
    ASSERT_EQ(handled.size(), 2u);
    EXPECT_EQ(handled[0].port, 1);
    EXPECT_EQ(handled[0].frame, a);
    EXPECT_EQ(handled[1].port, 2);
    EXPECT_EQ(handled[1].frame, b);
}

TEST_F(FrameParserTest, FeedByteTakesTheLowEightBitsOfItsByte) {
    const auto f = OneSatFrame();
    std::vector<int32_t> wide(f.begin(), f.end());
    wide[0] |= 0x100;
    wide[1] |= 0x7F00;
    for (std::size_t i = 0; i + 1 < wide.size(); ++i) FeedByte(0, wide[i], queue_.data());
    EXPECT_EQ(GetPortState(0)->parseState, 0xB0);
    EXPECT_EQ(GetPortState(0)->frame[0], 0x02);
    EXPECT_EQ(GetPortState(0)->frame[1], 0x99);
    EXPECT_EQ(GetPortState(0)->byteCount, 30);
}

// ---- real captures -------------------------------------------------------------------

TEST_F(FrameParserTest, RealCapturesYieldEveryMeasurementAndEphemerisFrame) {
    const struct {
        const char* file;
        int measurements;
        int ephemerides;
    } logs[] = {{"navcom/gpsd-navcom.log", 7, 13}, {"navcom/gpsd-navcom-long-2012.log", 23, 13}};
    for (bool verbose : {false, true}) {
        for (const auto& l : logs) {
            SCOPED_TRACE(std::string(l.file) + (verbose ? " verbose" : ""));
            const auto bytes = test::ReadFileBytes(test::DataPath(l.file));
            ASSERT_FALSE(bytes.empty());
            ASSERT_EQ(OpenPort(0, MessageLog::Callback), 0);
            Verbose(0, verbose);
            log_.Clear();
            std::map<int, int> byId;
            for (const auto& [at, id] : Accepted(bytes)) ++byId[id];
            EXPECT_EQ(byId[0xB0], l.measurements);
            EXPECT_EQ(byId[0x81], l.ephemerides);
            EXPECT_EQ(byId.size(), 2u);
            EXPECT_EQ(log_.Count("Checksum failure"), 0);
            EXPECT_EQ(log_.Count("Invalid"), 0);
            EXPECT_EQ(log_.Count("NavCom Buffer overrun"), 0);
            // Other records are skipped through the rescan of their three header bytes.
            EXPECT_EQ(log_.Count("Record decoding failed") > 0, verbose);
        }
    }
}

TEST_F(FrameParserTest, RealCaptureFedThroughTheDriversDrainingGivesEveryRecord) {
    const auto bytes = test::ReadFileBytes(test::DataPath("navcom/gpsd-navcom-long-2012.log"));
    test::PortFeeder feeder(0);
    for (uint8_t b : bytes) EXPECT_GE(feeder.FeedOne(b), 0);  // never -1
    feeder.FeedEnd();
    // 23 epochs: the first only starts every satellite's history, so 22 carry observations.
    EXPECT_EQ(feeder.epochs.size(), 22u);
    EXPECT_EQ(feeder.ephemerides.size(), 13u);
    EXPECT_EQ(log_.Count("Checksum failure"), 0);
}

// ---- damage: no intact frame is lost behind a damaged one ------------------------------

// Where a frame that passes every check starts in `bytes` at `at`, its length; else 0.
// Written from the framing rules alone (not with the parser's code): the model the parser
// must agree with is the leftmost such frame, then the next one after it, and so on.
std::size_t GoodFrameAt(const std::vector<uint8_t>& bytes, std::size_t at) {
    if (at + 6 > bytes.size() || bytes[at] != 0x02 || bytes[at + 1] != 0x99 || bytes[at + 2] != 0x66) return 0;
    const uint8_t id = bytes[at + 3];
    const std::size_t length = (bytes[at + 4] | (bytes[at + 5] << 8)) + 3u;
    if (id == 0x81) {
        if (length != 89) return 0;
    } else if (id == 0xB0) {
        if (length < 15 || (length - 15) % 16 != 0) return 0;
        if (at + 14 > bytes.size() || (bytes[at + 13] & 0x0F) * 16u + 15u != length) return 0;
    } else {
        return 0;
    }
    if (at + length > bytes.size()) return 0;
    uint8_t x = 0;
    for (std::size_t i = at + 3; i < at + length - 1; ++i) x ^= bytes[i];
    return x == bytes[at + length - 1] ? length : 0;
}

struct FrameAt {
    std::size_t offset;
    std::vector<uint8_t> bytes;
};

std::vector<FrameAt> GoodFramesOf(const std::vector<uint8_t>& bytes) {
    std::vector<FrameAt> out;
    for (std::size_t at = 0; at < bytes.size();) {
        const std::size_t n = GoodFrameAt(bytes, at);
        if (n == 0) {
            ++at;
            continue;
        }
        out.push_back({at, {bytes.begin() + static_cast<std::ptrdiff_t>(at),
                            bytes.begin() + static_cast<std::ptrdiff_t>(at + n)}});
        at += n;
    }
    return out;
}

class DamagedStreamTest : public FrameParserTest {
protected:
    void SetUp() override {
        FrameParserTest::SetUp();
        UseRecordingTable();
        for (const char* file : {"navcom/gpsd-navcom-long-2012.log", "navcom/gpsd-navcom.log"}) {
            captures_.push_back(test::ReadFileBytes(test::DataPath(file)));
            ASSERT_FALSE(captures_.back().empty());
        }
        for (const auto& f : GoodFramesOf(captures_[0])) {
            (f.bytes[3] == 0xB0 ? measurements_ : ephemerides_).push_back(f.bytes);
        }
        ASSERT_EQ(measurements_.size(), 23u);
        ASSERT_EQ(ephemerides_.size(), 13u);
    }

    // Every frame the handlers were given for the whole stream, the end of input included.
    std::vector<std::vector<uint8_t>> Delivered(const std::vector<uint8_t>& stream) {
        EXPECT_EQ(OpenPort(0, MessageLog::Callback), 0);
        handled.clear();
        for (uint8_t b : stream) EXPECT_GE(FeedByte(0, b, queue_.data()), 0);
        while (FeedEndOfInput(0, queue_.data()) > 0) {
        }
        std::vector<std::vector<uint8_t>> out;
        for (const auto& h : handled) out.push_back(h.frame);
        return out;
    }

    std::vector<std::vector<uint8_t>> captures_;
    std::vector<std::vector<uint8_t>> measurements_;  // real MEASUREMENT frames, 175 bytes
    std::vector<std::vector<uint8_t>> ephemerides_;   // real EPHEMERIS frames, 89 bytes
};

TEST_F(DamagedStreamTest, EveryIntactFrameAroundTheDamageIsDeliveredOnceInOrder) {
    const auto& m = measurements_;
    const auto& e = ephemerides_;
    // A header claiming 15 blocks, its count and length agreeing: the count rule passes, so
    // the parser takes 255 bytes before the checksum can refuse them.
    std::vector<uint8_t> claims15 = Head(m[0], 14);
    claims15[4] = 252;
    claims15[13] = 0x0F;
    // A real measurement frame with a false sync pattern and header in one of its blocks.
    auto falseSync = m[5];
    const uint8_t fakeHeader[] = {0x02, 0x99, 0x66, 0x81, 86, 0};
    std::copy(std::begin(fakeHeader), std::end(fakeHeader), falseSync.begin() + 40);
    falseSync = Resealed(falseSync);
    auto flipped = e[6];
    flipped.back() ^= 0x01;
    const struct {
        const char* what;
        std::vector<std::vector<uint8_t>> parts;  // in stream order
        std::vector<std::vector<uint8_t>> intact;  // what must come out, in order
    } cases[] = {
        {"measurement cut to 20 bytes before two ephemerides that fit in its length",
         {Head(m[0], 20), e[0], e[1], e[2], m[1]}, {e[0], e[1], e[2], m[1]}},
        {"measurement cut to 20 bytes at the end of the input, two ephemerides behind it",
         {m[0], Head(m[1], 20), e[0], e[1]}, {m[0], e[0], e[1]}},
        {"ephemeris cut to 40 bytes before measurements", {Head(e[3], 40), m[2], m[3]}, {m[2], m[3]}},
        {"15 blocks claimed over shorter frames", {claims15, e[4], m[4], e[5], m[5]}, {e[4], m[4], e[5], m[5]}},
        {"false sync pattern inside a block, after a cut frame",
         {Head(e[7], 30), falseSync, e[8]}, {falseSync, e[8]}},
        {"02 02 99 66", {{0x02}, m[6]}, {m[6]}},
        {"02 99 02 99 66", {{0x02, 0x99}, m[7]}, {m[7]}},
        {"02 99 66 02 99 66 with an unknown id between", {{0x02, 0x99, 0x66, 0x02, 0x99, 0x66, 0x55}, m[8]}, {m[8]}},
        {"flipped checksum followed by frames", {flipped, e[9], m[9], e[10]}, {e[9], m[9], e[10]}},
        {"two cuts in a row", {Head(m[10], 30), Head(m[11], 50), e[11], m[12], e[12]}, {e[11], m[12], e[12]}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> stream;
        for (const auto& part : c.parts) stream.insert(stream.end(), part.begin(), part.end());
        EXPECT_EQ(Delivered(stream), c.intact);
    }
}

// Random cuts, flipped bytes and inserted bytes over the real captures: the parser hands
// over exactly the frames of the model (the leftmost frame passing every check, then the
// next after it), so every frame whose bytes are untouched and that no earlier good frame
// overlaps is delivered.
TEST_F(DamagedStreamTest, RandomDamageLosesNoFrameThatNoEarlierGoodFrameOverlaps) {
    std::mt19937 random(20261208);
    std::size_t intactTotal = 0;
    for (int trial = 0; trial < 300; ++trial) {
        const auto& original = captures_[static_cast<std::size_t>(trial) % captures_.size()];
        std::vector<uint8_t> stream;
        std::vector<bool> touched;  // per byte of `stream`: changed or put in by the damage
        std::vector<long> origin;   // per byte of `stream`: its offset in `original`, or -1
        for (std::size_t i = 0; i < original.size(); ++i) {
            const int roll = static_cast<int>(random() % 1000);
            if (roll < 1) {  // a cut: up to 200 bytes lost
                i += random() % 200;
                continue;
            }
            if (roll < 2) {  // an inserted byte, sometimes a sync byte
                stream.push_back(random() % 2 ? 0x02 : static_cast<uint8_t>(random()));
                touched.push_back(true);
                origin.push_back(-1);
            }
            const bool flip = roll == 2;
            stream.push_back(flip ? static_cast<uint8_t>(original[i] ^ (1u << (random() % 8))) : original[i]);
            touched.push_back(flip);
            origin.push_back(static_cast<long>(i));
        }
        const auto model = GoodFramesOf(stream);
        const auto delivered = Delivered(stream);
        ASSERT_EQ(delivered.size(), model.size()) << "trial " << trial;
        for (std::size_t k = 0; k < model.size(); ++k) ASSERT_EQ(delivered[k], model[k].bytes) << "trial " << trial;

        // The frames of the original whose bytes all survive, together and untouched.
        std::size_t nextFree = 0;  // first byte no earlier delivered frame covers
        std::size_t k = 0;
        for (const auto& f : GoodFramesOf(original)) {
            const auto start = std::find(origin.begin(), origin.end(), static_cast<long>(f.offset));
            if (start == origin.end()) continue;
            const auto at = static_cast<std::size_t>(start - origin.begin());
            bool intact = at + f.bytes.size() <= stream.size();
            for (std::size_t j = 0; intact && j < f.bytes.size(); ++j) {
                // Unchanged, and no byte cut out or put in between.
                intact = !touched[at + j] && origin[at + j] == static_cast<long>(f.offset + j);
            }
            if (!intact) continue;
            while (k < model.size() && model[k].offset < at) {
                nextFree = model[k].offset + model[k].bytes.size();
                ++k;
            }
            if (nextFree > at) continue;  // an earlier frame passing every check overlaps it
            ++intactTotal;
            ASSERT_TRUE(k < model.size() && model[k].offset == at) << "trial " << trial << ": intact frame lost";
        }
    }
    std::printf("random damage: %zu intact frames, all delivered\n", intactTotal);
    EXPECT_GT(intactTotal, 3000u);
}

}  // namespace
}  // namespace kestrel
