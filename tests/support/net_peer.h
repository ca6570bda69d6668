// SPDX-License-Identifier: BSD-2-Clause
// Helpers for the network output tests: blocking loopback sockets with time limits, waiting for
// a condition, and peer programs (str2str, curl) run for the length of a test.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "net/output.h"

namespace kestrel::test {

// Starts the output of `url`; a failure fails the test (null returned).
std::unique_ptr<net::Output> Start(const std::string& url, const net::OutputOptions& options);

// A connection to 127.0.0.1:port; -1 on failure. A receive buffer of `rcvbuf` bytes when not 0
// (set before connecting, so that the window stays small).
int ConnectLocal(uint16_t port, int rcvbuf = 0);
// A loopback port free a moment ago (the system's choice for port 0), for a program that
// must be told its port before it starts.
uint16_t FreeLocalPort();
bool SendText(int fd, std::string_view text);
// Reads until `want` bytes have come, the peer closed, or `seconds` passed.
std::string ReadSome(int fd, std::size_t want, double seconds);
std::string ReadUntilClose(int fd, double seconds);

// Polls `done` every few milliseconds for up to `seconds`.
bool WaitFor(const std::function<bool()>& done, double seconds);

// The path of a program on PATH, or empty.
std::string FindProgram(const std::string& name);

// A program started for a test, standard output and error into `log`, standard input from
// `input` (a file or FIFO; /dev/null when empty); interrupted (SIGINT, then SIGKILL) when
// stopped or destroyed.
class Program {
public:
    Program(const std::vector<std::string>& args, const std::string& log, const std::string& input = "");
    ~Program();
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;
    bool started() const { return pid_ > 0; }
    // Ends the program; its exit status or 128 + signal.
    int Stop();
    // Waits for the program to end by itself: its status, or -1 after `seconds`.
    int Wait(double seconds);

private:
    pid_t pid_ = -1;
};

// Deterministic pseudo-random bytes.
std::vector<uint8_t> NoiseBytes(std::size_t size, uint32_t seed);

std::size_t FileSize(const std::string& path);

// The resident memory of this process (or of `pid`), in kB.
long ResidentKb(pid_t pid = 0);

// What a hostile side keeps open on a server at `port`: a rover that sends `request` and never
// reads, 20 half-open connections (half of them shut their side) and 10 never-finished
// headers. The caller closes them.
std::vector<int> HoldHostileConnections(uint16_t port, const std::string& request);
// `count` malformed requests (bad credentials, versions, paths, oversized headers, binary),
// each read until the server closes.
void SendMalformedRequests(uint16_t port, int count);

}  // namespace kestrel::test
