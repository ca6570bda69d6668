// SPDX-License-Identifier: BSD-2-Clause
// Latency of the network outputs: from Publish of an epoch to the epoch's last byte read by a
// client on the loopback interface (which includes the hand-over to the socket), p50 and p99,
// for the built-in caster (an NTRIP 1.0 and an NTRIP 2.0 rover) and the raw TCP server, with
// other rovers connected. With --str2str PATH, the same epochs also through str2str relaying the
// raw TCP server (tcpcli in, tcpsvr out), the peer's own cycle included.
//
//     net_latency [--epochs N] [--rate HZ] [--size BYTES] [--rovers N] [--str2str PATH]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "net/output.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using kestrel::net::Kind;

int Connect(uint16_t port) {
    for (int attempt = 0; attempt < 200; ++attempt) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
        ::close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
}

// Reads the stream and records, for every epoch, when its last byte arrived. Epochs are
// `size` bytes each; NTRIP 2.0 rovers see each as one chunk, whose framing is counted too.
struct Reader {
    int fd;
    std::size_t size;
    bool chunked;
    std::vector<Clock::time_point> arrivals;
    std::thread thread;

    void Start(int epochs) {
        arrivals.assign(static_cast<std::size_t>(epochs), {});
        thread = std::thread([this] {
            std::vector<char> buf(1 << 16);
            const std::size_t frame = size + (chunked ? std::snprintf(nullptr, 0, "%zx\r\n", size) + 2 : 0);
            std::size_t got = 0;  // bytes of the current epoch's frame
            std::size_t epoch = 0;
            while (epoch < arrivals.size()) {
                const ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
                if (n <= 0) return;
                const auto now = Clock::now();
                got += static_cast<std::size_t>(n);
                while (got >= frame && epoch < arrivals.size()) {
                    arrivals[epoch++] = now;
                    got -= frame;
                }
            }
        });
    }
};

void ReadAnswerHeader(int fd, const std::string& request) {
    ::send(fd, request.data(), request.size(), 0);
    // Reads up to the end of the answer's header, byte by byte (once).
    std::string head;
    char c;
    while (::recv(fd, &c, 1, 0) == 1) {
        head += c;
        if (head == "ICY 200 OK\r\n") break;
        if (head.size() >= 4 && head.compare(head.size() - 4, 4, "\r\n\r\n") == 0) break;
    }
}

void Report(const char* name, const std::vector<Clock::time_point>& published,
            const std::vector<Clock::time_point>& arrived) {
    std::vector<double> us;
    for (std::size_t i = 0; i < published.size(); ++i)
        if (arrived[i] != Clock::time_point{})
            us.push_back(std::chrono::duration<double, std::micro>(arrived[i] - published[i]).count());
    if (us.empty()) {
        std::printf("%-28s no epoch received\n", name);
        return;
    }
    std::sort(us.begin(), us.end());
    const auto at = [&](double q) { return us[static_cast<std::size_t>(q * static_cast<double>(us.size() - 1))]; };
    std::printf("%-28s epochs %6zu  p50 %8.1f us  p99 %8.1f us  max %8.1f us\n", name, us.size(), at(0.50), at(0.99),
                us.back());
}

}  // namespace

int main(int argc, char** argv) {
    int epochs = 2000;
    double rate = 100.0;
    std::size_t size = 1200;  // an MSM7 epoch of 12 satellites is about 600 to 1200 bytes
    int rovers = 4;
    std::string str2str;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--epochs") epochs = std::atoi(argv[i + 1]);
        else if (a == "--rate") rate = std::atof(argv[i + 1]);
        else if (a == "--size") size = static_cast<std::size_t>(std::atoll(argv[i + 1]));
        else if (a == "--rovers") rovers = std::atoi(argv[i + 1]);
        else if (a == "--str2str") str2str = argv[i + 1];
    }
    signal(SIGPIPE, SIG_IGN);
    std::string error;
    kestrel::net::Endpoint caster_at, raw_at;
    kestrel::net::ParseEndpoint("ntripc://127.0.0.1:0/BENCH", &caster_at, &error);
    kestrel::net::ParseEndpoint("tcpsvr://127.0.0.1:0", &raw_at, &error);
    auto caster = kestrel::net::StartOutput(caster_at, {}, &error);
    auto raw = kestrel::net::StartOutput(raw_at, {}, &error);
    if (!caster || !raw) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    pid_t relay = -1;
    uint16_t relay_port = 0;
    if (!str2str.empty()) {
        relay_port = static_cast<uint16_t>(raw->port() + 1);
        const std::string in = "tcpcli://127.0.0.1:" + std::to_string(raw->port());
        const std::string out = "tcpsvr://:" + std::to_string(relay_port);
        const char* args[] = {str2str.c_str(), "-in", in.c_str(), "-out", out.c_str(), nullptr};
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", 1, 0);
        posix_spawn(&relay, args[0], &fa, nullptr, const_cast<char**>(args), environ);
        posix_spawn_file_actions_destroy(&fa);
    }

    std::vector<Reader> readers;
    readers.reserve(8 + static_cast<std::size_t>(rovers));
    const auto add = [&](uint16_t port, const std::string& request, bool chunked) {
        Reader r{Connect(port), size, chunked, {}, {}};
        const int one = 1;
        setsockopt(r.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (!request.empty()) ReadAnswerHeader(r.fd, request);
        readers.push_back(std::move(r));
    };
    add(caster->port(), "GET /BENCH HTTP/1.0\r\n\r\n", false);
    add(caster->port(), "GET /BENCH HTTP/1.1\r\nNtrip-Version: Ntrip/2.0\r\n\r\n", true);
    add(raw->port(), "", false);
    if (relay > 0) add(relay_port, "", false);
    for (int i = 0; i < rovers; ++i) add(caster->port(), "GET /BENCH HTTP/1.0\r\n\r\n", false);
    while (caster->stats().clients < static_cast<unsigned>(2 + rovers) ||
           raw->stats().clients < (relay > 0 ? 2u : 1u))
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    for (Reader& r : readers) r.Start(epochs);

    std::vector<Clock::time_point> published(static_cast<std::size_t>(epochs));
    std::vector<uint8_t> epoch(size, 0xA5);
    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / rate));
    auto next = Clock::now();
    for (int i = 0; i < epochs; ++i) {
        std::this_thread::sleep_until(next);
        next += period;
        std::memcpy(epoch.data(), &i, sizeof i);
        published[static_cast<std::size_t>(i)] = Clock::now();
        caster->Publish(epoch, Kind::Epoch);
        raw->Publish(epoch, Kind::Epoch);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::printf("%d epochs of %zu bytes at %g Hz, %d more rovers on the caster\n", epochs, size, rate, rovers);
    Report("caster, NTRIP 1.0 rover", published, readers[0].arrivals);
    Report("caster, NTRIP 2.0 rover", published, readers[1].arrivals);
    Report("raw TCP server", published, readers[2].arrivals);
    if (relay > 0) Report("raw TCP server via str2str", published, readers[3].arrivals);
    caster->Stop();
    raw->Stop();
    for (Reader& r : readers) {
        ::shutdown(r.fd, SHUT_RDWR);
        r.thread.join();
        ::close(r.fd);
    }
    if (relay > 0) {
        kill(relay, SIGINT);
        waitpid(relay, nullptr, 0);
    }
    return 0;
}
