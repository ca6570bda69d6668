// SPDX-License-Identifier: BSD-2-Clause
// Thin helpers over POSIX sockets for the network outputs: an owning descriptor, a listening
// socket, a non-blocking connect, and the text of a peer's address. Every socket they make is
// non-blocking and closed on exec.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace kestrel::net {

// Owns one file descriptor; closes it when replaced or destroyed.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) reset(std::exchange(other.fd_, -1));
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

// Binds and listens on `address` (numeric IPv4 or IPv6, or a host name) and `port` (0: a
// free port). On failure returns an invalid Fd and the reason in *error.
Fd Listen(const std::string& address, uint16_t port, std::string* error);

// The port a bound socket listens on.
uint16_t LocalPort(int fd);

// Accepts one pending connection, non-blocking; invalid when none is waiting. `peer` receives
// the client's address as "ADDR:PORT".
Fd Accept(int listener, std::string* peer);

// Starts a non-blocking connection to host:port. The connection completes when the socket
// turns writable (see ConnectResult). On failure to resolve or start, an invalid Fd and the
// reason in *error.
Fd StartConnect(const std::string& host, uint16_t port, std::string* error);

// After a started connection turned writable: 0 when it is established, else the errno.
int ConnectResult(int fd);

// Lower latency for small messages (no Nagle delay).
void SetNoDelay(int fd);

// The errno's text.
std::string ErrnoText(int err);

// An eventfd through which another thread wakes a poll loop.
class Waker {
public:
    Waker();
    bool valid() const { return fd_.valid(); }
    int fd() const { return fd_.get(); }
    void Wake() const;  // safe from any thread; never blocks
    void Drain() const;

private:
    Fd fd_;
};

}  // namespace kestrel::net
