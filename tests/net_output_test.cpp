// SPDX-License-Identifier: BSD-2-Clause
// The network outputs in one process, with plain sockets as clients and a scripted caster: how
// a new client joins the stream, what the caster answers each request, the limits on clients
// and requests, the slow client dropped without slowing the others, and the push's refusals
// and back-off.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/ntrip.h"
#include "net/output.h"
#include "support/net_peer.h"

namespace kestrel::net {
namespace {

using test::ConnectLocal;
using test::Start;
using test::NoiseBytes;
using test::ReadSome;
using test::ReadUntilClose;
using test::SendText;
using test::WaitFor;

std::string Text(const std::vector<uint8_t>& b) { return {b.begin(), b.end()}; }
std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

// Messages an output said, kept for the test to read.
struct Said {
    std::mutex mutex;
    std::vector<std::string> lines;
    MessageFn Fn() {
        return [this](Severity, const std::string& text) {
            std::lock_guard<std::mutex> lock(mutex);
            lines.push_back(text);
        };
    }
    std::size_t Count(const std::string& part) {
        std::lock_guard<std::mutex> lock(mutex);
        return static_cast<std::size_t>(
            std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(part) != std::string::npos; }));
    }
    std::string All() {
        std::lock_guard<std::mutex> lock(mutex);
        std::string all;
        for (const auto& l : lines) all += l + "\n";
        return all;
    }
};

// A client that has sent `request` and read the answer's header.
struct Rover {
    int fd = -1;
    std::string header;
    ~Rover() {
        if (fd >= 0) ::close(fd);
    }
};

// ---- Joining the stream

TEST(NetJoin, NewClientGetsTheSnapshotThenTheStreamFromTheNextEpoch) {
    auto out = Start("tcpsvr://127.0.0.1:0", {});
    ASSERT_TRUE(out);
    out->SetSnapshot({Bytes("S1"), Bytes("S2")});
    out->Publish(Bytes("E0"), Kind::Epoch);  // before anyone listens: nobody gets it
    const int fd = ConnectLocal(out->port());
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(WaitFor([&] { return out->stats().clients == 1; }, 5));
    out->Publish(Bytes("m1"), Kind::Message);  // before its first epoch: in the snapshot instead
    out->SetSnapshot({Bytes("S1"), Bytes("S3")});
    out->Publish(Bytes("E1"), Kind::Epoch);
    out->Publish(Bytes("m2"), Kind::Message);
    out->Publish(Bytes("E2"), Kind::Epoch);
    EXPECT_EQ(ReadSome(fd, 10, 5), "S1S3E1m2E2");
    // A second client joins later: the snapshot as it is now, then the next epoch.
    const int late = ConnectLocal(out->port());
    ASSERT_TRUE(WaitFor([&] { return out->stats().clients == 2; }, 5));
    out->Publish(Bytes("E3"), Kind::Epoch);
    EXPECT_EQ(ReadSome(fd, 2, 5), "E3");
    EXPECT_EQ(ReadSome(late, 6, 5), "S1S3E3");
    ::close(fd);
    ::close(late);
}

TEST(NetJoin, RawStreamsStartAtOnceWithoutSnapshotWait) {
    auto out = Start("tcpsvr://127.0.0.1:0", {});
    ASSERT_TRUE(out);
    const int fd = ConnectLocal(out->port());
    ASSERT_TRUE(WaitFor([&] { return out->stats().clients == 1; }, 5));
    out->Publish(Bytes("raw1"), Kind::Raw);
    out->Publish(Bytes("raw2"), Kind::Raw);
    EXPECT_EQ(ReadSome(fd, 8, 5), "raw1raw2");
    ::close(fd);
}

// ---- The caster's answers

OutputOptions CasterOptions() {
    OutputOptions o;
    o.source_password = "srcpw";
    o.station.identifier = "Tsukuba";
    return o;
}

struct AnswerCase {
    const char* name;
    std::string request;
    const char* answer_starts;  // what the answer's first bytes must be
    const char* answer_holds;   // and what it must hold somewhere ("" for nothing)
    bool streams;               // the stream follows (the connection stays open)
};

TEST(NtripCaster, AnswersEachKindOfRequest) {
    const std::string good = "Authorization: Basic " + Base64Encode("rover:pw") + "\r\n";
    const std::string bad = "Authorization: Basic " + Base64Encode("rover:nope") + "\r\n";
    const std::string v2 = "Ntrip-Version: Ntrip/2.0\r\n";
    const std::string srcauth = "Authorization: Basic " + Base64Encode("any:srcpw") + "\r\n";
    const AnswerCase cases[] = {
        {"v1 rover", "GET /KEST HTTP/1.0\r\n" + good + "\r\n", "ICY 200 OK\r\n", "", true},
        {"v2 rover", "GET /KEST HTTP/1.1\r\n" + v2 + good + "\r\n", "HTTP/1.1 200 OK\r\n",
         "Transfer-Encoding: chunked\r\n", true},
        {"v1 wrong password", "GET /KEST HTTP/1.0\r\n" + bad + "\r\n", "HTTP/1.0 401 Unauthorized\r\n",
         "WWW-Authenticate: Basic realm=\"/KEST\"", false},
        {"v2 no credentials", "GET /KEST HTTP/1.1\r\n" + v2 + "\r\n", "HTTP/1.1 401 Unauthorized\r\n", "Ntrip-Version: Ntrip/2.0", false},
        {"v1 unknown mount", "GET /NOPE HTTP/1.0\r\n" + good + "\r\n", "SOURCETABLE 200 OK\r\n",
         "STR;KEST;Tsukuba;RTCM 3.3;", false},
        {"v2 unknown mount", "GET /NOPE HTTP/1.1\r\n" + v2 + "\r\n", "HTTP/1.1 404 Not Found\r\n", "", false},
        {"v1 source table", "GET / HTTP/1.0\r\n\r\n", "SOURCETABLE 200 OK\r\n", "\r\nENDSOURCETABLE\r\n", false},
        {"v2 source table", "GET / HTTP/1.1\r\n" + v2 + "\r\n", "HTTP/1.1 200 OK\r\n",
         "Content-Type: gnss/sourcetable\r\n", false},
        {"v1 server, wrong password", "SOURCE wrong /BASE\r\n\r\n", "ERROR - Bad Password\r\n", "", false},
        {"v1 server, the caster's own mount", "SOURCE srcpw /KEST\r\n\r\n", "ERROR - Mount Point Taken or Invalid\r\n", "", false},
        {"v2 server, wrong password", "POST /BASE HTTP/1.1\r\n" + v2 + bad + "\r\n", "HTTP/1.1 401 Unauthorized\r\n", "", false},
        {"v1 server", "SOURCE srcpw /BASE\r\n\r\n", "ICY 200 OK\r\n", "", true},
        {"v2 server", "POST /BASE2 HTTP/1.1\r\n" + v2 + srcauth + "\r\n", "HTTP/1.1 200 OK\r\n", "", true},
        {"malformed", "HELLO\r\n\r\n", "HTTP/1.0 400 Bad Request\r\n", "", false},
        {"method not served", "PUT /KEST HTTP/1.1\r\n\r\n", "HTTP/1.0 405", "", false},
    };
    auto out = Start("ntripc://rover:pw@127.0.0.1:0/KEST", CasterOptions());
    ASSERT_TRUE(out);
    for (const AnswerCase& c : cases) {
        SCOPED_TRACE(c.name);
        const int fd = ConnectLocal(out->port());
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(SendText(fd, c.request));
        if (!c.streams) {
            const std::string answer = ReadUntilClose(fd, 5);
            EXPECT_EQ(answer.rfind(c.answer_starts, 0), 0u) << answer;
            EXPECT_NE(answer.find(c.answer_holds), std::string::npos) << answer;
        } else {
            const std::string answer = ReadSome(fd, std::strlen(c.answer_starts), 5);
            EXPECT_EQ(answer, c.answer_starts);
        }
        ::close(fd);
    }
    EXPECT_EQ(out->stats().requests_refused, 9u);
}

// The stream reaches an NTRIP 1.0 rover as it was published, and an NTRIP 2.0 rover in chunks.
TEST(NtripCaster, RoversOfBothVersionsReceiveTheStream) {
    auto out = Start("ntripc://127.0.0.1:0/KEST", CasterOptions());
    ASSERT_TRUE(out);
    const int v1 = ConnectLocal(out->port());
    const int v2 = ConnectLocal(out->port());
    ASSERT_TRUE(SendText(v1, "GET /KEST HTTP/1.0\r\nUser-Agent: NTRIP t\r\n\r\n"));
    ASSERT_TRUE(SendText(v2, "GET /KEST HTTP/1.1\r\nNtrip-Version: Ntrip/2.0\r\n\r\n"));
    ASSERT_TRUE(WaitFor([&] { return out->stats().clients == 2; }, 5));
    std::string expected;
    for (uint32_t i = 0; i < 50; ++i) {
        const std::vector<uint8_t> block = NoiseBytes(1 + 97 * i, i);
        out->Publish(block, Kind::Epoch);
        expected += Text(block);
    }
    out->Stop();  // ends the chunked stream with its last chunk
    const std::string got1 = ReadUntilClose(v1, 5);
    EXPECT_EQ(got1, "ICY 200 OK\r\n" + expected);
    const std::string got2 = ReadUntilClose(v2, 5);
    const std::size_t body = got2.find("\r\n\r\n");
    ASSERT_NE(body, std::string::npos);
    ChunkDecoder chunks;
    std::vector<uint8_t> data;
    ASSERT_TRUE(chunks.Feed(Bytes(got2.substr(body + 4)), &data));
    EXPECT_TRUE(chunks.finished());
    EXPECT_EQ(Text(data), expected);
    ::close(v1);
    ::close(v2);
}

// ---- Limits

TEST(NtripCaster, ServesAtMostMaxClientsAndTakesANewOneWhenOneLeaves) {
    OutputOptions o = CasterOptions();
    o.max_clients = 2;
    auto out = Start("ntripc://127.0.0.1:0/KEST", o);
    ASSERT_TRUE(out);
    const std::string get = "GET /KEST HTTP/1.0\r\n\r\n";
    int a = ConnectLocal(out->port()), b = ConnectLocal(out->port());
    SendText(a, get);
    SendText(b, get);
    ASSERT_TRUE(WaitFor([&] { return out->stats().clients == 2; }, 5));
    const int c = ConnectLocal(out->port());
    SendText(c, get);
    EXPECT_EQ(ReadUntilClose(c, 5).rfind("HTTP/1.0 503 Service Unavailable\r\n", 0), 0u);
    ::close(c);
    ::close(a);
    ASSERT_TRUE(WaitFor([&] { return out->stats().clients == 1; }, 5));
    const int d = ConnectLocal(out->port());
    SendText(d, get);
    EXPECT_EQ(ReadSome(d, 12, 5), "ICY 200 OK\r\n");
    ::close(b);
    ::close(d);
}

TEST(NtripCaster, DropsUnfinishedOversizedAndSurplusRequests) {
    OutputOptions o = CasterOptions();
    o.request_timeout_s = 0.3;
    o.max_pending = 4;
    auto out = Start("ntripc://127.0.0.1:0/KEST", o);
    ASSERT_TRUE(out);
    // Never finished: closed once its time is up.
    const int slow = ConnectLocal(out->port());
    SendText(slow, "GET /KEST HTTP/1.0\r\nUser-Agent: NTRIP x\r\n");
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(ReadUntilClose(slow, 5), "");
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
    EXPECT_TRUE(WaitFor([&] { return out->stats().requests_timed_out == 1; }, 5));
    ::close(slow);
    // Over 4 KiB without an end: refused at once.
    const int big = ConnectLocal(out->port());
    SendText(big, "GET /KEST HTTP/1.0\r\nX-Pad: " + std::string(5000, 'p'));
    EXPECT_EQ(ReadUntilClose(big, 5).rfind("HTTP/1.0 431", 0), 0u);
    ::close(big);
    // Six silent connections where four may wait (and would for a minute): the two oldest go.
    o.request_timeout_s = 60;
    auto patient = Start("ntripc://127.0.0.1:0/KEST", o);
    ASSERT_TRUE(patient);
    std::vector<int> silent;
    for (int i = 0; i < 6; ++i) {
        silent.push_back(ConnectLocal(patient->port()));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(ReadUntilClose(silent[0], 10), "");
    EXPECT_EQ(ReadUntilClose(silent[1], 10), "");
    char byte;
    EXPECT_EQ(::recv(silent[5], &byte, 1, MSG_DONTWAIT), -1) << "the newest still waits";
    EXPECT_EQ(patient->stats().requests_timed_out, 0u);
    for (int fd : silent) ::close(fd);
}

// A client that never reads is disconnected once its unsent data span more than max_lag_s of
// the stream; a reading client receives every byte, and what waits in memory stays small.
TEST(NtripCaster, SlowClientIsDroppedAndTheOthersReceiveEverything) {
    auto out = Start("ntripc://127.0.0.1:0/KEST", CasterOptions());
    ASSERT_TRUE(out);
    const int reader = ConnectLocal(out->port());
    const int stuck = ConnectLocal(out->port(), 4096);
    SendText(reader, "GET /KEST HTTP/1.0\r\n\r\n");
    SendText(stuck, "GET /KEST HTTP/1.0\r\n\r\n");
    ASSERT_TRUE(WaitFor([&] { return out->stats().clients == 2; }, 5));
    std::string expected = "ICY 200 OK\r\n";
    std::string received;
    std::thread read([&] { received = ReadSome(reader, 12 + 300 * 4000, 30); });
    for (uint32_t i = 0; i < 300; ++i) {
        const std::vector<uint8_t> epoch = NoiseBytes(4000, i);
        // Ten epochs a second of the stream, a hundred times faster than real time: the reader
        // may stall 50 ms before it is 5 s behind.
        ASSERT_TRUE(out->Publish(epoch, Kind::Epoch, 1000.0 + 0.1 * i));
        expected += Text(epoch);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    read.join();
    EXPECT_TRUE(received == expected) << "received " << received.size() << " of " << expected.size();
    const OutputStats s = out->stats();
    EXPECT_EQ(s.clients_dropped_slow, 1u) << s.bytes_sent << " sent, peak " << s.peak_queued_bytes;
    EXPECT_EQ(s.clients, 1u);
    // 5 s of the stream (50 epochs) of one client at most, whatever the kernel's buffers held.
    EXPECT_LE(s.peak_queued_bytes, 52u * 4000u);
    ::close(reader);
    ::close(stuck);
}

// ---- Pushing to a caster

// Pushes through the caster's source side, in both versions, to a rover of the relayed mount.
TEST(NtripPush, FeedsACastersMountPointInBothVersions) {
    auto caster = Start("ntripc://127.0.0.1:0/KEST", CasterOptions());
    ASSERT_TRUE(caster);
    const std::string port = std::to_string(caster->port());
    for (const char* credentials : {":srcpw", "anyuser:srcpw"}) {
        SCOPED_TRACE(credentials);
        auto push = Start(std::string("ntrips://") + credentials + "@127.0.0.1:" + port + "/BASE", {});
        ASSERT_TRUE(push);
        ASSERT_TRUE(WaitFor([&] { return push->stats().connected && caster->stats().sources == 1; }, 5));
        const int rover = ConnectLocal(caster->port());
        SendText(rover, "GET /BASE HTTP/1.0\r\n\r\n");
        ASSERT_EQ(ReadSome(rover, 12, 5), "ICY 200 OK\r\n");
        ASSERT_TRUE(WaitFor([&] { return caster->stats().clients == 1; }, 5));
        push->SetSnapshot({Bytes("station")});
        push->Publish(Bytes("ephemeris"), Kind::Message);  // the push's own first epoch is ahead
        push->Publish(Bytes("epoch-1"), Kind::Epoch);
        push->Publish(Bytes("epoch-2"), Kind::Epoch);
        EXPECT_EQ(ReadSome(rover, 21, 5), "stationepoch-1epoch-2");
        push->Stop();
        EXPECT_EQ(ReadUntilClose(rover, 5), "") << "the rover is closed when its server leaves";
        ::close(rover);
        ASSERT_TRUE(WaitFor([&] { return caster->stats().sources == 0; }, 5));
    }
}

// A caster scripted for the push tests: answers every connection with `answer` (nothing at
// all when empty), then closes it or keeps it open; records when each connection came.
class ScriptedCaster {
public:
    ScriptedCaster(std::string answer, bool close_after) : answer_(std::move(answer)), close_(close_after) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(listener_, 16);
        socklen_t len = sizeof addr;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~ScriptedCaster() {
        stop_ = true;
        thread_.join();
        ::close(listener_);
        for (int fd : open_) ::close(fd);
    }
    uint16_t port() const { return port_; }
    std::vector<double> Arrivals() {
        std::lock_guard<std::mutex> lock(mutex_);
        return arrivals_;
    }

private:
    void Serve() {
        const auto t0 = std::chrono::steady_clock::now();
        while (!stop_) {
            pollfd p = {listener_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            const int fd = ::accept(listener_, nullptr, nullptr);
            if (fd < 0) continue;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                arrivals_.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
            }
            ReadSome(fd, 1, 1);  // its request
            if (!answer_.empty()) SendText(fd, answer_);
            if (close_) ::close(fd);
            else open_.push_back(fd);
        }
    }
    std::string answer_;
    bool close_;
    int listener_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::vector<double> arrivals_;
    std::vector<int> open_;
};

TEST(NtripPush, SaysWhyTheCasterRefusedAndBacksOffDoubling) {
    struct Case {
        const char* credentials;
        const char* answer;
        bool close_after;
        const char* message;
        std::size_t times_said;  // a refusal once however often; a connection lost each time
    };
    const Case cases[] = {
        {":Pw-123456", "ERROR - Bad Password\r\n", true, "refused the password for /BASE", 1},
        {"u:Pw-123456", "HTTP/1.1 401 Unauthorized\r\n\r\n", true, "refused the user or password for /BASE", 1},
        {":Pw-123456", "ERROR - Mount Point Taken or Invalid\r\n", true, "refused mount point /BASE: taken", 1},
        {":Pw-123456", "HTTP/1.1 503 Service Unavailable\r\n\r\n", true, "\"HTTP/1.1 503 Service Unavailable\"", 1},
        {":Pw-123456", "", true, "closed the connection without answering", 1},
        {":Pw-123456", "", false, "did not answer within 0.2 s", 1},
        {"u:Pw-123456", "HTTP/1.1 200 OK\r\n\r\n", true, "the caster closed the connection; trying again", 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answer);
        ScriptedCaster caster(c.answer, c.close_after);
        Said said;
        OutputOptions o;
        o.connect_timeout_s = 0.2;
        o.retry_first_s = 0.1;
        o.retry_last_s = 0.4;
        o.on_message = said.Fn();
        auto push = Start(std::string("ntrips://") + c.credentials + "@127.0.0.1:" + std::to_string(caster.port()) +
                              "/BASE",
                          o);
        ASSERT_TRUE(push);
        // The first case also times the attempts; the others need three to see a refusal said once.
        const bool timed = &c == &cases[0];
        ASSERT_TRUE(WaitFor([&] { return caster.Arrivals().size() >= (timed ? 5u : 3u); }, 10));
        push->Stop();
        EXPECT_GE(said.Count(c.message), c.times_said) << said.All();
        if (c.times_said == 1) {
            EXPECT_EQ(said.Count(c.message), 1u) << said.All();
        }
        EXPECT_EQ(said.All().find("Pw-123456"), std::string::npos);
        if (!timed) continue;
        // Attempts at least 0.1, 0.2, 0.4, 0.4 s apart. Only the lower bound is a property of
        // the back-off; a loaded machine may stretch any gap.
        const std::vector<double> t = caster.Arrivals();
        const double delays[] = {0.1, 0.2, 0.4, 0.4};
        for (std::size_t k = 0; k < 4; ++k) {
            EXPECT_GE(t[k + 1] - t[k], delays[k] - 0.02) << "attempt " << k + 1;
        }
    }
}

TEST(NtripPush, NoCasterListeningIsRetriedAndSaid) {
    Said said;
    OutputOptions o;
    o.retry_first_s = 0.05;
    o.retry_last_s = 0.1;
    o.on_message = said.Fn();
    // A port that was free a moment ago: nothing listens there.
    auto probe = Start("tcpsvr://127.0.0.1:0", {});
    const uint16_t port = probe->port();
    probe.reset();
    auto push = Start("ntrips://:pw@127.0.0.1:" + std::to_string(port) + "/BASE", o);
    ASSERT_TRUE(WaitFor([&] { return push->stats().connect_failures >= 3; }, 5));
    EXPECT_EQ(said.Count("Connection refused"), 1u) << said.All();
    EXPECT_TRUE(push->Publish(Bytes("lost while away"), Kind::Epoch));
}

TEST(Output, PublishNeverWaitsAndRefusesWhatTheInboxCannotHold) {
    OutputOptions o;
    o.max_inbox_bytes = 100;
    auto out = Start("tcpsvr://127.0.0.1:0", o);
    ASSERT_TRUE(out);
    EXPECT_FALSE(out->Publish(std::vector<uint8_t>(101, 0), Kind::Epoch));
    EXPECT_TRUE(out->Publish(std::vector<uint8_t>(100, 0), Kind::Epoch));
    out->Stop();
    EXPECT_FALSE(out->Publish(std::vector<uint8_t>(1, 0), Kind::Epoch));
    const OutputStats s = out->stats();
    EXPECT_EQ(s.blocks_refused, 2u);
    EXPECT_EQ(s.blocks_published, 1u);
}

TEST(Output, ListeningWhereItCannotFailsAtStart) {
    auto first = Start("tcpsvr://127.0.0.1:0", {});
    ASSERT_TRUE(first);
    for (const std::string& url : {"tcpsvr://127.0.0.1:" + std::to_string(first->port()), std::string("ntripc://192.0.2.1:2101/K")}) {
        SCOPED_TRACE(url);
        Endpoint e;
        std::string error;
        ASSERT_TRUE(ParseEndpoint(url, &e, &error));
        EXPECT_FALSE(StartOutput(e, {}, &error));
        EXPECT_NE(error.find("cannot listen on"), std::string::npos) << error;
    }
}

}  // namespace
}  // namespace kestrel::net
