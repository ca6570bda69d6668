// SPDX-License-Identifier: BSD-2-Clause
#include "support/net_peer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>

extern char** environ;

namespace kestrel::test {

std::unique_ptr<net::Output> Start(const std::string& url, const net::OutputOptions& options) {
    net::Endpoint e;
    std::string error;
    EXPECT_TRUE(net::ParseEndpoint(url, &e, &error)) << error;
    auto out = net::StartOutput(e, options, &error);
    EXPECT_TRUE(out) << error;
    return out;
}

uint16_t FreeLocalPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof addr;
    uint16_t port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &size) == 0) {
        port = ntohs(addr.sin_port);
    }
    ::close(fd);
    return port;
}

int ConnectLocal(uint16_t port, int rcvbuf) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (rcvbuf > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool SendText(int fd, std::string_view text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string ReadSome(int fd, std::size_t want, double seconds) {
    std::string got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (got.size() < want) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p = {fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        char buf[65536];
        const ssize_t n = ::recv(fd, buf, std::min(sizeof buf, want - got.size()), 0);
        if (n <= 0) break;
        got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
}

std::string ReadUntilClose(int fd, double seconds) { return ReadSome(fd, std::string::npos / 2, seconds); }

bool WaitFor(const std::function<bool()>& done, double seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

std::string FindProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    std::size_t pos = 0;
    while (pos <= dirs.size()) {
        const std::size_t colon = dirs.find(':', pos);
        const std::string dir = dirs.substr(pos, colon == std::string::npos ? std::string::npos : colon - pos);
        const std::string candidate = dir + "/" + name;
        if (!dir.empty() && ::access(candidate.c_str(), X_OK) == 0) return candidate;
        if (colon == std::string::npos) break;
        pos = colon + 1;
    }
    return {};
}

Program::Program(const std::vector<std::string>& args, const std::string& log, const std::string& input) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, input.empty() ? "/dev/null" : input.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
}

Program::~Program() { Stop(); }

int Program::Stop() {
    if (pid_ <= 0) return -1;
    ::kill(pid_, SIGINT);
    int status = 0;
    const bool ended = WaitFor([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, 5.0);
    if (!ended) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int Program::Wait(double seconds) {
    if (pid_ <= 0) return -1;
    int status = 0;
    if (!WaitFor([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, seconds)) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::vector<uint8_t> NoiseBytes(std::size_t size, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> bytes(size);
    for (auto& b : bytes) b = static_cast<uint8_t>(rng());
    return bytes;
}

std::size_t FileSize(const std::string& path) {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<std::size_t>(st.st_size) : 0;
}

long ResidentKb(pid_t pid) {
    const std::string path = pid == 0 ? "/proc/self/status" : "/proc/" + std::to_string(pid) + "/status";
    FILE* f = std::fopen(path.c_str(), "r");
    if (!f) return 0;
    char line[256];
    long kb = 0;
    while (std::fgets(line, sizeof line, f))
        if (std::sscanf(line, "VmRSS: %ld kB", &kb) == 1) break;
    std::fclose(f);
    return kb;
}

std::vector<int> HoldHostileConnections(uint16_t port, const std::string& request) {
    std::vector<int> held;
    const int stuck = ConnectLocal(port, 4096);
    SendText(stuck, request);
    held.push_back(stuck);
    for (int i = 0; i < 20; ++i) {  // half-open: connected, silent; half of them shut their side
        const int fd = ConnectLocal(port);
        if (i % 2) ::shutdown(fd, SHUT_WR);
        held.push_back(fd);
    }
    for (int i = 0; i < 10; ++i) {  // never finished: a header without its end, a TLS greeting
        const int fd = ConnectLocal(port);
        SendText(fd, i % 2 ? std::string("GET /KEST HTTP/1.0\r\nUser-Agent: NTRIP slow\r\n")
                           : std::string("\x16\x03\x01\x00\xa5\x01\x00\x00\xa1\x03\x03", 11));
        held.push_back(fd);
    }
    return held;
}

void SendMalformedRequests(uint16_t port, int count) {
    const std::string malformed[] = {
        "GET /KEST HTTP/1.0\r\nAuthorization: Basic d3Jvbmc6cGFzcw==\r\n\r\n",
        "GET /KEST HTTP/9.9\r\n\r\n",
        "GET /../../etc/passwd HTTP/1.0\r\n\r\n",
        "SOURCE guess /KEST\r\n\r\n",
        "POST /KEST HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n",
        "GET /KEST HTTP/1.0\r\nX-Pad: " + std::string(5000, 'A') + "\r\n\r\n",
        std::string(300, '\0') + "\r\n\r\n",
        "GET " + std::string(3000, '/') + " HTTP/1.0\r\n\r\n",
        "\r\n\r\n",
        "GET /KEST HTTP/1.0\r\nno colon here\r\n\r\n",
        "\xff\xfe\xfd GET /KEST\r\n\r\n",
    };
    for (int i = 0; i < count; ++i) {
        const int fd = ConnectLocal(port);
        if (fd < 0) continue;
        SendText(fd, malformed[i % std::size(malformed)]);
        ReadSome(fd, 1 << 16, 2);
        ::close(fd);
    }
}

}  // namespace kestrel::test
