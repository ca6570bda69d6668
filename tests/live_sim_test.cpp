// SPDX-License-Identifier: BSD-2-Clause
// The live inputs against the receiver simulator over a real pseudo-terminal and a real TCP
// socket: every byte the link carried arrives once, across link drops, and the receiver's
// set-up is answered, refused or ignored as the simulator is told.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "live/frame_scanner.h"
#include "live/input_source.h"
#include "live/inputs.h"
#include "live/receiver_commands.h"
#include "support/receiver_sim.h"
#include "support/test_files.h"

namespace kestrel::live {
namespace {

constexpr double kLongestRunS = 60.0;  // bound on a run; never a measured figure
constexpr double kQuietAfterEndS = 0.5;

#define REQUIRE_SIM()                                                          \
    if (test::ReceiverSim::Path() == nullptr) GTEST_SKIP() << "no receiver simulator (tools not built)"

std::unique_ptr<Input> Open(const std::string& text, std::vector<std::string>* messages = nullptr) {
    std::string error;
    const std::optional<InputSource> source = ParseInputSource(text, error);
    EXPECT_TRUE(source) << error;
    if (!source) return nullptr;
    InputOptions options;
    if (messages != nullptr) options.report = [messages](const std::string& m) { messages->push_back(m); };
    std::unique_ptr<Input> input = OpenInput(*source, options, error);
    EXPECT_NE(input, nullptr) << error;
    return input;
}

// Reads until the simulator has ended and the input has been quiet a while.
std::vector<uint8_t> ReadThrough(Input& input, test::ReceiverSim& sim) {
    std::vector<uint8_t> got;
    std::vector<uint8_t> buffer(4096);
    const double start = MonotonicSeconds();
    std::optional<double> endedAt;
    int status = 0;
    while (MonotonicSeconds() - start < kLongestRunS) {
        const ReadResult r = input.Read(buffer, 50);
        if (r.kind == ReadResult::Kind::kBytes) {
            got.insert(got.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(r.size));
            if (endedAt) endedAt = MonotonicSeconds();
            continue;
        }
        if (!endedAt && sim.Ended(status)) endedAt = MonotonicSeconds();
        if (endedAt && MonotonicSeconds() - *endedAt > kQuietAfterEndS) break;
    }
    EXPECT_EQ(status, 0);
    return got;
}

TEST(ReceiverSim, EveryByteArrivesOverAPtyAndOverTcp) {
    REQUIRE_SIM();
    struct Case {
        const char* log;
        const char* link;
        const char* speed;
    };
    const Case cases[] = {
        {"navcom/gpsd-navcom.log", "--pty", "20"},
        {"navcom/gpsd-navcom.log", "--tcp", "20"},
        {"navcom/gsi-0759-2005-092.nav", "--pty", "0"},
        {"navcom/gsi-0759-2005-092.nav", "--tcp", "0"},
    };
    for (const Case& c : cases) {
        test::ScratchDir dir;
        std::vector<std::string> args = {test::DataPath(c.log), c.link, "--speed", c.speed, "--record", dir.file("sent")};
        if (std::string(c.link) == "--tcp") args.insert(args.begin() + 2, "0");
        test::ReceiverSim sim;
        ASSERT_TRUE(sim.Start(args)) << c.log << " " << c.link;
        const std::unique_ptr<Input> input = Open(sim.input());
        ASSERT_NE(input, nullptr);
        const std::vector<uint8_t> got = ReadThrough(*input, sim);
        EXPECT_EQ(got, test::ReadFileBytes(test::DataPath(c.log))) << c.log << " " << c.link;
        EXPECT_EQ(got, test::ReadFileBytes(dir.file("sent"))) << c.log << " " << c.link;
    }
}

TEST(ReceiverSim, LinkDropsLoseNothingThatTheLinkCarried) {
    REQUIRE_SIM();
    struct Case {
        const char* link;
        const char* speed;
        const char* dropEvery;  // a TCP link down for the first back-off second loses what was due
    };
    for (const Case& c : {Case{"--pty", "10", "0.5"}, Case{"--tcp", "5", "1"}}) {
        const char* link = c.link;
        test::ScratchDir dir;
        std::vector<std::string> args = {test::DataPath("navcom/gpsd-navcom-long-2012.log"), link, "--speed", c.speed,
                                         "--drop-every", c.dropEvery, "--record", dir.file("sent")};
        if (std::string(link) == "--tcp") args.insert(args.begin() + 2, "0");
        if (std::string(link) == "--pty") args.insert(args.begin() + 2, {"--link", dir.file("ttyNAV")});
        test::ReceiverSim sim;
        ASSERT_TRUE(sim.Start(args)) << link;
        std::vector<std::string> messages;
        const std::unique_ptr<Input> input = Open(sim.input(), &messages);
        ASSERT_NE(input, nullptr);
        const std::vector<uint8_t> got = ReadThrough(*input, sim);
        const std::vector<uint8_t> sent = test::ReadFileBytes(dir.file("sent"));
        EXPECT_GE(input->counters().reconnects, 1u) << link;
        EXPECT_EQ(got.size(), sent.size()) << link;
        EXPECT_TRUE(got == sent) << link;
        ASSERT_FALSE(messages.empty()) << link;
        EXPECT_NE(messages.front().find("link lost"), std::string::npos) << messages.front();
        if (std::string(link) == "--pty") {
            // A serial line keeps what the receiver sent while the reader was away.
            EXPECT_TRUE(got == test::ReadFileBytes(test::DataPath("navcom/gpsd-navcom-long-2012.log")));
        }
    }
}

TEST(ReceiverSim, AnswersTheSetUpAsItIsTold) {
    REQUIRE_SIM();
    struct Case {
        const char* replies;
        ReceiverSetUp::State end;
        const char* failure;
    };
    const Case cases[] = {
        {"ack", ReceiverSetUp::State::kDone, ""},
        {"refuse", ReceiverSetUp::State::kFailed, "the receiver refused the request for identification (0xAE)"},
        {"none", ReceiverSetUp::State::kFailed,
         "the receiver did not acknowledge within 1 s the request for identification (0xAE)"},
    };
    for (const Case& c : cases) {
        test::ReceiverSim sim;
        // The station hour holds no replies of its own (the captures hold the receiver's
        // replies to gpsd's requests, which a replay sends as they are).
        ASSERT_TRUE(sim.Start({test::DataPath("navcom/gsi-0759-2005-092.nav"), "--pty", "--speed", "100", "--replies",
                               c.replies}));
        const std::unique_ptr<Input> input = Open(sim.input());
        ASSERT_NE(input, nullptr);
        ReceiverSetUp setUp(SetUpRequests(RateWord(1.0)), 1.0);
        FrameScanner scanner;
        std::vector<uint8_t> buffer(4096);
        const double start = MonotonicSeconds();
        while (setUp.state() != ReceiverSetUp::State::kDone && setUp.state() != ReceiverSetUp::State::kFailed &&
               MonotonicSeconds() - start < kLongestRunS) {
            if (setUp.state() == ReceiverSetUp::State::kSend) {
                std::string error;
                ASSERT_TRUE(input->Send(setUp.NextRequest(), error)) << error;
                setUp.Sent(MonotonicSeconds());
            }
            const ReadResult r = input->Read(buffer, 50);
            if (r.kind == ReadResult::Kind::kBytes) {
                scanner.Feed({buffer.data(), r.size}, [&](const ScannedFrame& f) { setUp.OnFrame(f); });
            }
            setUp.OnTime(MonotonicSeconds());
        }
        EXPECT_EQ(setUp.state(), c.end) << c.replies;
        EXPECT_EQ(setUp.failure(), c.failure) << c.replies;
    }
}

}  // namespace
}  // namespace kestrel::live
