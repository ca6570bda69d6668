// SPDX-License-Identifier: BSD-2-Clause
// The live command's inputs and its words with the receiver: input names, the back-off, the
// Data Request and its replies, the set-up, the watch on the stream, the replay's pace, and
// the messages for devices and hosts that cannot be had.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "live/frame_scanner.h"
#include "live/input_source.h"
#include "live/inputs.h"
#include "live/links.h"
#include "live/receiver_commands.h"
#include "live/replay_pacer.h"
#include "live/stream_watch.h"
#include "support/frame_builder.h"
#include "support/test_files.h"

namespace kestrel::live {
namespace {

TEST(InputSource, NamesEachKindOfInputAndRefusesTheRest) {
    using K = InputSource::Kind;
    struct Case {
        const char* text;
        bool ok;
        K kind;
        const char* path;
        int baud;
        const char* host;
        const char* port;
    };
    const Case cases[] = {
        {"-", true, K::kStdin, "", kDefaultBaud, "", ""},
        {"serial:/dev/ttyUSB0", true, K::kSerial, "/dev/ttyUSB0", kDefaultBaud, "", ""},
        {"serial:/dev/ttyS1:57600", true, K::kSerial, "/dev/ttyS1", 57600, "", ""},
        {"serial:/dev/ttyS1:57601", false, K::kSerial, "", 0, "", ""},
        {"serial:", false, K::kSerial, "", 0, "", ""},
        {"tcp:192.168.1.20:5017", true, K::kTcp, "", kDefaultBaud, "192.168.1.20", "5017"},
        {"tcp:[fe80::1]:2101", true, K::kTcp, "", kDefaultBaud, "fe80::1", "2101"},
        {"tcp:receiver.local:0", false, K::kTcp, "", 0, "", ""},
        {"tcp:receiver.local:65536", false, K::kTcp, "", 0, "", ""},
        {"tcp:receiver.local", false, K::kTcp, "", 0, "", ""},
        {"tcp::5017", false, K::kTcp, "", 0, "", ""},
        {"file:logs/base.nav", true, K::kFile, "logs/base.nav", kDefaultBaud, "", ""},
        {"file:", false, K::kFile, "", 0, "", ""},
        {"/dev/ttyUSB0", false, K::kSerial, "", 0, "", ""},
    };
    for (const Case& c : cases) {
        std::string error;
        const std::optional<InputSource> source = ParseInputSource(c.text, error);
        ASSERT_EQ(source.has_value(), c.ok) << c.text << ": " << error;
        if (!c.ok) {
            EXPECT_FALSE(error.empty()) << c.text;
            continue;
        }
        EXPECT_EQ(source->kind, c.kind) << c.text;
        EXPECT_EQ(source->path, c.path) << c.text;
        EXPECT_EQ(source->baud, c.baud) << c.text;
        EXPECT_EQ(source->host, c.host) << c.text;
        EXPECT_EQ(source->port, c.port) << c.text;
    }
}

TEST(Backoff, DoublesFromOneSecondToThirtyAndStartsAgainAfterData) {
    Backoff backoff;
    std::vector<double> waits;
    for (int i = 0; i < 8; ++i) waits.push_back(backoff.Next());
    EXPECT_EQ(waits, (std::vector<double>{1, 2, 4, 8, 16, 30, 30, 30}));
    backoff.Reset();
    EXPECT_EQ(backoff.Next(), 1.0);
}

// ---- the receiver's commands -------------------------------------------------------------

std::vector<ScannedFrame> Frames(const std::vector<uint8_t>& bytes, std::vector<std::vector<uint8_t>>& keep) {
    FrameScanner scanner;
    std::vector<std::pair<uint64_t, bool>> where;
    scanner.Feed(bytes, [&](const ScannedFrame& f) {
        keep.emplace_back(f.bytes.begin(), f.bytes.end());
        where.emplace_back(f.offset, f.decoded);
    });
    std::vector<ScannedFrame> frames;
    for (std::size_t i = 0; i < keep.size(); ++i) frames.push_back({where[i].first, keep[i], where[i].second});
    return frames;
}

TEST(DataRequest, HasTheLayoutTheReceiverAccepts) {
    // MEASUREMENT every epoch: the checksum is the XOR of bytes 3 to 15.
    EXPECT_EQ(DataRequest(0xB0, kRateEveryEpoch),
              (std::vector<uint8_t>{0x02, 0x99, 0x66, 0x20, 0x0E, 0x00, 0x00, 0x01, 0xB0, 0x02, 0x00, 0x40, 0x71, 0x00,
                                    0x00, 0x00, 0xAC, 0x03}));
    // Read back as a frame, with the record and a rate in tenths of a second.
    std::vector<std::vector<uint8_t>> keep;
    const auto frames = Frames(DataRequest(0xAE, 6000), keep);
    ASSERT_EQ(frames.size(), 1u);
    const std::optional<DataRequestFields> fields = ReadDataRequest(frames[0]);
    ASSERT_TRUE(fields);
    EXPECT_EQ(fields->record, 0xAE);
    EXPECT_EQ(fields->rate, 6000);
}

TEST(DataRequest, RateWordIsTenthsOfASecond) {
    const std::pair<double, std::optional<uint16_t>> cases[] = {
        {1.0, 10}, {10.0, 1}, {5.0, 2}, {2.0, 5}, {0.5, 20}, {0.1, 100}, {1.0 / 1638.3, 16383},
        {3.0, std::nullopt}, {20.0, std::nullopt}, {0.0, std::nullopt}, {-1.0, std::nullopt},
        {1.0 / 1638.4, std::nullopt},
    };
    for (const auto& [hz, word] : cases) EXPECT_EQ(RateWord(hz), word) << hz << " Hz";
}

TEST(Replies, AreReadFromTheReceiverCapturesAndFromTheirOwnFrames) {
    std::vector<std::vector<uint8_t>> keep;
    int acks = 0;
    for (const ScannedFrame& f : Frames(test::ReadFileBytes(test::DataPath("navcom/gpsd-navcom.log")), keep)) {
        if (const std::optional<Reply> reply = ReadReply(f)) {
            EXPECT_TRUE(reply->accepted);
            EXPECT_EQ(reply->command, kDataRequestId);
            ++acks;
        }
    }
    EXPECT_EQ(acks, 3);
    keep.clear();
    const auto frames = Frames(test::Concat({AcknowledgeFrame(0x20, 0), RefusalFrame(0x20, 1, 2, 0)}), keep);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(keep[0], (std::vector<uint8_t>{0x02, 0x99, 0x66, 0x06, 0x06, 0x00, 0x20, 0x00, 0x20}));
    EXPECT_TRUE(ReadReply(frames[0])->accepted);
    EXPECT_FALSE(ReadReply(frames[1])->accepted);
    EXPECT_EQ(ReadReply(frames[1])->command, 0x20);
}

TEST(ReceiverSetUp, AsksForEachRecordInTurnAndNamesTheOneThatFailed) {
    enum Event { kAck, kRefuse, kOtherAck, kLate };
    struct Case {
        const char* name;
        std::vector<Event> events;
        ReceiverSetUp::State end;
        std::size_t accepted;
        const char* failure;
    };
    const std::vector<Case> cases = {
        {"all accepted", {kAck, kAck, kAck, kAck, kAck}, ReceiverSetUp::State::kDone, 5, ""},
        {"an acknowledgement of another command counts for nothing",
         {kAck, kOtherAck, kAck, kAck, kAck, kAck}, ReceiverSetUp::State::kDone, 5, ""},
        {"MEASUREMENT refused", {kAck, kAck, kAck, kRefuse}, ReceiverSetUp::State::kFailed, 3,
         "the receiver refused the request for MEASUREMENT (0xB0)"},
        {"no reply", {kLate}, ReceiverSetUp::State::kFailed, 0,
         "the receiver did not acknowledge within 2 s the request for identification (0xAE)"},
    };
    for (const Case& c : cases) {
        ReceiverSetUp setUp(SetUpRequests(RateWord(1.0)), 2.0);
        double now = 100.0;
        std::vector<uint8_t> sent;
        for (Event e : c.events) {
            if (setUp.state() == ReceiverSetUp::State::kSend) {
                const std::vector<uint8_t> request = setUp.NextRequest();
                sent.insert(sent.end(), request.begin(), request.end());
                setUp.Sent(now);
            }
            std::vector<std::vector<uint8_t>> keep;
            const std::vector<uint8_t> reply = e == kAck        ? AcknowledgeFrame(0x20, 0)
                                               : e == kRefuse   ? RefusalFrame(0x20, 1, 1, 0)
                                               : e == kOtherAck ? AcknowledgeFrame(0x1C, 0)
                                                                : std::vector<uint8_t>{};
            for (const ScannedFrame& f : Frames(reply, keep)) setUp.OnFrame(f);
            now += e == kLate ? 2.0 : 0.1;
            setUp.OnTime(now);
        }
        EXPECT_EQ(setUp.state(), c.end) << c.name;
        EXPECT_EQ(setUp.accepted(), c.accepted) << c.name;
        EXPECT_EQ(setUp.failure(), c.failure) << c.name;
        // What went out: the requests, in order, one per reply awaited.
        std::vector<std::vector<uint8_t>> keep;
        std::vector<std::pair<int, int>> asked;
        for (const ScannedFrame& f : Frames(sent, keep)) {
            const auto fields = ReadDataRequest(f);
            ASSERT_TRUE(fields) << c.name;
            asked.emplace_back(fields->record, fields->rate);
        }
        const std::vector<std::pair<int, int>> all = {{0xAE, 0}, {0x81, 0}, {0x81, 0x4000}, {0xB0, 10}, {0xB1, 10}};
        const std::size_t n = std::min(all.size(), c.accepted + (c.end == ReceiverSetUp::State::kFailed ? 1 : 0));
        const std::vector<std::pair<int, int>> expected(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(n));
        EXPECT_EQ(asked, expected) << c.name;
    }
    EXPECT_EQ(SetUpRequests(std::nullopt)[3].rate, kRateEveryEpoch);
}

TEST(StreamWatch, SaysOnceWhenTheBytesAreNotNavComOrThereAreNone) {
    using E = StreamWatch::Event;
    enum Kind { kBytes, kFrame, kCheck };
    struct Step {
        double t;
        Kind kind;
        std::optional<E> expected;
    };
    struct Case {
        const char* name;
        std::vector<Step> steps;
    };
    const std::vector<Case> cases = {
        {"frames keep it quiet", {{30, kFrame, {}}, {59, kBytes, {}}, {80, kCheck, {}}, {89, kFrame, {}}, {140, kCheck, {}}}},
        {"a minute of bytes without a frame, said once",
         {{10, kBytes, {}}, {69, kCheck, {}}, {70, kCheck, E::kNotNavCom}, {200, kBytes, {}}, {300, kCheck, {}},
          {301, kFrame, {}}, {301, kCheck, E::kFramesBack}, {302, kCheck, {}}}},
        {"silence, then bytes that are not NavCom",
         {{60, kCheck, E::kSilent}, {61, kCheck, {}}, {100, kBytes, {}}, {159, kCheck, {}}, {160, kCheck, E::kNotNavCom}}},
    };
    for (const Case& c : cases) {
        StreamWatch watch(0.0);
        for (const Step& s : c.steps) {
            if (s.kind == kBytes) watch.OnBytes(s.t);
            if (s.kind == kFrame) watch.OnFrame(s.t);
            if (s.kind == kCheck) {
                EXPECT_EQ(watch.Check(s.t), s.expected) << c.name << " at " << s.t;
            }
        }
    }
    EXPECT_EQ(StreamWatch(0.0).Describe(E::kNotNavCom, "serial:/dev/ttyS0"),
              "serial:/dev/ttyS0: no valid NavCom frame in 60 s of data (a wrong serial speed, port or receiver "
              "protocol?); still listening");
}

TEST(ReplayPacer, SendsEachEpochWithTheRecordsAfterItWhenItFallsDue) {
    auto epoch = [](uint32_t ms) { return test::MeasurementFrame(ms).Week(1316).Bytes(); };
    const std::vector<uint8_t> before = {0x41, 0x42};
    const std::vector<uint8_t> other = test::MakeFrame(0x44, {9, 9});
    // Epochs at 10 s, 12 s, 11 s (backwards: no wait) and 20 s (9 s after the one before),
    // at twice the data's pace.
    const std::vector<uint8_t> log = test::Concat({before, epoch(10000), other, epoch(12000), epoch(11000), epoch(20000)});
    const std::size_t e = epoch(0).size();
    ReplayPacer pacer(2.0);
    pacer.Feed(log);
    pacer.End();
    struct Step {
        double elapsed;
        std::size_t due;
        std::optional<double> next;
    };
    const Step steps[] = {
        {0.0, before.size() + e + other.size(), 1.0},
        {0.99, before.size() + e + other.size(), 1.0},
        {1.0, log.size() - e, 5.5},
        {5.5, log.size(), std::nullopt},
    };
    for (const Step& s : steps) {
        EXPECT_EQ(pacer.Due(s.elapsed), s.due) << s.elapsed;
        EXPECT_EQ(pacer.NextDueS(s.elapsed), s.next) << s.elapsed;
    }
    pacer.Take(pacer.Due(1.0));
    EXPECT_EQ(pacer.waiting().size(), e);
    EXPECT_EQ(pacer.Due(5.4), 0u);
}

// ---- devices and hosts that cannot be had ----------------------------------------------

std::string OpenError(const std::string& text, double connectTimeoutS = 10.0) {
    std::string error;
    const std::optional<InputSource> source = ParseInputSource(text, error);
    EXPECT_TRUE(source) << text;
    InputOptions options;
    options.connectTimeoutS = connectTimeoutS;
    EXPECT_EQ(OpenInput(*source, options, error), nullptr) << text;
    return error;
}

// A TCP port on loopback that nothing listens on.
int ClosedPort() {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(s);
    return ntohs(a.sin_port);
}

TEST(LiveInputs, SayWhyADeviceHostOrLogCannotBeHad) {
    test::ScratchDir dir;
    EXPECT_EQ(OpenError("serial:" + dir.file("ttyNONE")), "serial device " + dir.file("ttyNONE") + " does not exist");
    EXPECT_EQ(OpenError("serial:/dev/null"), "/dev/null is not a serial device");
    EXPECT_EQ(OpenError("file:" + dir.file("none.nav")), "log " + dir.file("none.nav") + " does not exist");
    EXPECT_EQ(OpenError("file:" + dir.path()), dir.path() + " is a folder, not a log");
    const std::string port = std::to_string(ClosedPort());
    EXPECT_EQ(OpenError("tcp:127.0.0.1:" + port), "127.0.0.1:" + port + " refused the connection");
    EXPECT_NE(OpenError("tcp:no-such-receiver.invalid:5017").find("no-such-receiver.invalid"), std::string::npos);
}

TEST(LiveInputs, ASerialDeviceInUseIsRefused) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const std::string device = ::ptsname(master);
    std::string error;
    const int first = OpenSerial(device, B115200, error);
    ASSERT_GE(first, 0) << error;
    EXPECT_EQ(OpenSerial(device, B115200, error), -1);
    EXPECT_NE(error.find(device + " is in use by another program"), std::string::npos) << error;
    CloseSerial(first);
    const int again = OpenSerial(device, B115200, error);
    EXPECT_GE(again, 0) << error;
    CloseSerial(again);
    ::close(master);
}

TEST(LiveInputs, AHostThatNeverAnswersTimesOut) {
    // A listener whose queue of connections is full: the kernel drops further handshakes, as
    // a host that is down or filtered does.
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(listener, 0), 0);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        const int c = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        ::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a);
        fillers.push_back(c);
    }
    const std::string where = "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
    EXPECT_EQ(OpenError("tcp:" + where, 0.5), where + " did not answer within 0.5 s");
    for (int c : fillers) ::close(c);
    ::close(listener);
}

}  // namespace
}  // namespace kestrel::live
