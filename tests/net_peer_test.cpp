// SPDX-License-Identifier: BSD-2-Clause
// The network outputs against clients and servers no one here wrote: RTKLIB's str2str pulls the
// caster's mount point and the raw TCP server into files and pushes into the caster's source
// side; curl reads the NTRIP 2.0 stream and source table and pushes with a chunked POST. And
// the caster under hostile clients while str2str pulls.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "net/output.h"
#include "support/net_peer.h"
#include "support/test_files.h"

namespace kestrel::net {
namespace {

using test::ConnectLocal;
using test::Start;
using test::FileSize;
using test::FindProgram;
using test::NoiseBytes;
using test::Program;
using test::ReadFileBytes;
using test::ReadSome;
using test::ScratchDir;
using test::SendText;
using test::WaitFor;

// Publishes the snapshot and `epochs` epochs of varied sizes, `pace_ms` apart (the stream's
// time is the time of publishing: a peer that reads every few milliseconds is never behind);
// returns every byte a client that joined before gets.
std::vector<uint8_t> PublishStream(Output& out, int epochs, int pace_ms = 2, std::size_t max_size = 3000) {
    const std::vector<uint8_t> station = NoiseBytes(300, 99);
    out.SetSnapshot({station});
    std::vector<uint8_t> all = station;
    for (int i = 0; i < epochs; ++i) {
        const std::vector<uint8_t> epoch = NoiseBytes(50 + (i * 7919) % max_size, static_cast<uint32_t>(i));
        EXPECT_TRUE(out.Publish(epoch, Kind::Epoch));
        all.insert(all.end(), epoch.begin(), epoch.end());
        std::this_thread::sleep_for(std::chrono::milliseconds(pace_ms));
    }
    return all;
}

#define REQUIRE_PROGRAM(var, name)                                   \
    const std::string var = FindProgram(name);                       \
    if (var.empty()) GTEST_SKIP() << name << " is not installed";

struct PullCase {
    const char* output;      // our output's URL (port 0: chosen by the system)
    const char* str2str_in;  // str2str's input, %d for the port
};

TEST(NetPeers, Str2strPullsEveryByteFromTheCasterAndTheTcpServer) {
    REQUIRE_PROGRAM(str2str, "str2str");
    const PullCase cases[] = {
        {"ntripc://rover:pw@127.0.0.1:0/KEST", "ntrip://rover:pw@127.0.0.1:%d/KEST"},
        {"ntripc://127.0.0.1:0/KEST", "ntrip://127.0.0.1:%d/KEST"},
        {"tcpsvr://127.0.0.1:0", "tcpcli://127.0.0.1:%d"},
    };
    for (const PullCase& c : cases) {
        SCOPED_TRACE(c.output);
        ScratchDir dir;
        auto out = Start(c.output, {});
        ASSERT_TRUE(out);
        char in[128];
        std::snprintf(in, sizeof in, c.str2str_in, out->port());
        const std::string file = dir.file("pulled.rtcm3");
        Program peer({str2str, "-in", in, "-out", "file://" + file}, dir.file("str2str.log"));
        ASSERT_TRUE(WaitFor([&] { return out->stats().clients == 1; }, 15)) << test::ReadFileText(dir.file("str2str.log"));
        const std::vector<uint8_t> sent = PublishStream(*out, 200);
        EXPECT_TRUE(WaitFor([&] { return FileSize(file) >= sent.size(); }, 15));
        peer.Stop();
        EXPECT_TRUE(ReadFileBytes(file) == sent) << FileSize(file) << " bytes of " << sent.size();
    }
}

TEST(NetPeers, CurlReadsTheNtrip2StreamAndSourceTable) {
    REQUIRE_PROGRAM(curl, "curl");
    ScratchDir dir;
    OutputOptions o;
    o.station.identifier = "Tsukuba";
    auto out = Start("ntripc://rover:pw@127.0.0.1:0/KEST", o);
    ASSERT_TRUE(out);
    const std::string base = "http://127.0.0.1:" + std::to_string(out->port()) + "/";
    const std::string table = dir.file("table.txt");
    Program list({curl, "-sS", "--http1.1", "-H", "Ntrip-Version: Ntrip/2.0", "-o", table, base}, dir.file("curl1.log"));
    EXPECT_EQ(list.Wait(15), 0) << test::ReadFileText(dir.file("curl1.log"));
    const std::string text = test::ReadFileText(table);
    EXPECT_EQ(text.rfind("STR;KEST;Tsukuba;RTCM 3.3;", 0), 0u) << text;
    EXPECT_NE(text.find(";B;N;"), std::string::npos) << "authentication required";
    EXPECT_NE(text.find("\r\nENDSOURCETABLE\r\n"), std::string::npos);

    const std::string file = dir.file("stream.bin");
    Program pull({curl, "-sS", "--http1.1", "-N", "-u", "rover:pw", "-H", "Ntrip-Version: Ntrip/2.0", "-o", file,
                  base + "KEST"},
                 dir.file("curl2.log"));
    ASSERT_TRUE(WaitFor([&] { return out->stats().clients == 1; }, 15));
    const std::vector<uint8_t> sent = PublishStream(*out, 200);
    out->Stop();  // the last chunk ends the response: curl ends by itself, satisfied
    EXPECT_EQ(pull.Wait(15), 0) << test::ReadFileText(dir.file("curl2.log"));
    EXPECT_TRUE(ReadFileBytes(file) == sent) << FileSize(file) << " bytes of " << sent.size();
}

// Remote servers feed the caster: str2str with NTRIP 1.0 SOURCE (its input is our raw TCP
// server) and curl with an NTRIP 2.0 chunked POST (its input a FIFO the test writes).
TEST(NetPeers, ServersOfBothVersionsFeedTheCastersSourceSide) {
    REQUIRE_PROGRAM(str2str, "str2str");
    REQUIRE_PROGRAM(curl, "curl");
    ScratchDir dir;
    OutputOptions o;
    o.source_password = "srcpw";
    auto caster = Start("ntripc://127.0.0.1:0/KEST", o);
    ASSERT_TRUE(caster);
    const std::string port = std::to_string(caster->port());

    // NTRIP 1.0: raw TCP server -> str2str -> caster /BASE1 -> rover.
    auto raw = Start("tcpsvr://127.0.0.1:0", {});
    Program server1({str2str, "-in", "tcpcli://127.0.0.1:" + std::to_string(raw->port()), "-out",
                     "ntrips://:srcpw@127.0.0.1:" + port + "/BASE1"},
                    dir.file("str2str.log"));
    ASSERT_TRUE(WaitFor([&] { return caster->stats().sources == 1 && raw->stats().clients == 1; }, 15))
        << test::ReadFileText(dir.file("str2str.log"));

    // NTRIP 2.0: FIFO -> curl POST (chunked) -> caster /BASE2 -> rover.
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // Opened for reading and writing first, so that curl's opening it does not wait for a writer
    // (the start of a program waits for the program).
    const int feed = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(feed, 0);
    Program server2({curl, "-sS", "--http1.1", "-N", "-T", "-", "-X", "POST", "-H", "Expect:", "-H",
                     "Ntrip-Version: Ntrip/2.0", "-u", "anyone:srcpw", "http://127.0.0.1:" + port + "/BASE2"},
                    dir.file("curl.log"), fifo);
    // curl sends its request once its first data arrive.
    const std::vector<uint8_t> first = NoiseBytes(10, 1);
    ASSERT_EQ(::write(feed, first.data(), first.size()), 10);
    ASSERT_TRUE(WaitFor([&] { return caster->stats().sources == 2; }, 15)) << test::ReadFileText(dir.file("curl.log"));

    const int rover1 = ConnectLocal(caster->port());
    const int rover2 = ConnectLocal(caster->port());
    SendText(rover1, "GET /BASE1 HTTP/1.0\r\n\r\n");
    SendText(rover2, "GET /BASE2 HTTP/1.0\r\n\r\n");
    ASSERT_EQ(ReadSome(rover1, 12, 5), "ICY 200 OK\r\n");
    ASSERT_EQ(ReadSome(rover2, 12, 5), "ICY 200 OK\r\n");
    ASSERT_TRUE(WaitFor([&] { return caster->stats().clients == 2; }, 5));

    std::string sent1, sent2;
    for (uint32_t i = 0; i < 100; ++i) {
        const std::vector<uint8_t> a = NoiseBytes(500 + i, i);
        const std::vector<uint8_t> b = NoiseBytes(300 + 3 * i, 1000 + i);
        raw->Publish(a, Kind::Raw);
        ASSERT_EQ(::write(feed, b.data(), b.size()), static_cast<ssize_t>(b.size()));
        sent1.append(a.begin(), a.end());
        sent2.append(b.begin(), b.end());
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_TRUE(ReadSome(rover1, sent1.size(), 15) == sent1);
    // curl may send its first chunk only after the caster has taken its request and the rover
    // has come: the rover then receives those bytes first.
    std::string got2 = ReadSome(rover2, sent2.size(), 15);
    const std::string firstText(first.begin(), first.end());
    if (got2 != sent2 && got2.compare(0, firstText.size(), firstText) == 0) {
        got2 = got2.substr(firstText.size()) + ReadSome(rover2, firstText.size(), 15);
    }
    EXPECT_TRUE(got2 == sent2) << got2.size() << " bytes of " << sent2.size();
    ::close(feed);  // curl ends its chunked body and leaves
    EXPECT_TRUE(WaitFor([&] { return caster->stats().sources == 1; }, 15));
    ::close(rover1);
    ::close(rover2);
}

// While str2str pulls the mount point: 200 malformed requests, oversized and never-finished
// headers, 20 half-open connections and a rover that never reads. str2str receives every byte;
// the rover that never reads is dropped; memory stays flat.
TEST(NetPeers, HostileClientsDoNotDisturbARealOne) {
    REQUIRE_PROGRAM(str2str, "str2str");
    ScratchDir dir;
    OutputOptions o;
    o.request_timeout_s = 1.0;
    o.max_lag_s = 2.0;  // seconds of the stream, here seconds of the test
    auto out = Start("ntripc://rover:pw@127.0.0.1:0/KEST", o);
    ASSERT_TRUE(out);
    const uint16_t port = out->port();
    const std::string file = dir.file("pulled.rtcm3");
    Program peer({str2str, "-in", "ntrip://rover:pw@127.0.0.1:" + std::to_string(port) + "/KEST", "-out",
                  "file://" + file},
                 dir.file("str2str.log"));
    ASSERT_TRUE(WaitFor([&] { return out->stats().clients == 1; }, 15));
    [[maybe_unused]] const long rss_before = test::ResidentKb();

    const std::vector<int> held =
        test::HoldHostileConnections(port, "GET /KEST HTTP/1.0\r\nAuthorization: Basic cm92ZXI6cHc=\r\n\r\n");
    std::thread hostile([&] { test::SendMalformedRequests(port, 200); });
    const std::vector<uint8_t> sent = PublishStream(*out, 400, 10, 2000);
    hostile.join();
    EXPECT_TRUE(WaitFor([&] { return FileSize(file) >= sent.size(); }, 15));
    peer.Stop();
    EXPECT_TRUE(ReadFileBytes(file) == sent) << FileSize(file) << " bytes of " << sent.size();
    const OutputStats s = out->stats();
    EXPECT_EQ(s.clients_dropped_slow, 1u);
    // Every malformed request refused; the silent and unfinished ones timed out or, when too
    // many waited, dropped as refused (the ten that shut their side are closed without a count).
    EXPECT_GE(s.requests_refused, 200u);
    EXPECT_TRUE(WaitFor([&] {
        const OutputStats now = out->stats();
        return now.requests_refused + now.requests_timed_out >= 200 + 10 + 10;
    }, 5)) << out->stats().requests_refused << " refused, " << out->stats().requests_timed_out << " timed out";
    EXPECT_LT(s.peak_queued_bytes, 512u * 1024u) << "two seconds of the stream for the rover that does not read";
#if !defined(__SANITIZE_ADDRESS__)
    EXPECT_LT(test::ResidentKb() - rss_before, 8 * 1024) << "resident memory grew";
#endif
    for (int fd : held) ::close(fd);
}

}  // namespace
}  // namespace kestrel::net
