// SPDX-License-Identifier: BSD-2-Clause
#include "net/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kestrel::net {

void Fd::reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

std::string ErrnoText(int err) {
    char buf[256];
    // The GNU strerror_r returns the text, which may or may not be in buf.
    const char* text = strerror_r(err, buf, sizeof buf);
    return text;
}

namespace {

// getaddrinfo for a numeric port, TCP; null on failure with the reason in *error.
addrinfo* Resolve(const std::string& host, uint16_t port, bool passive, std::string* error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = passive ? AI_PASSIVE : AI_ADDRCONFIG;
    const std::string service = std::to_string(port);
    addrinfo* list = nullptr;
    const int rc = getaddrinfo(host.empty() ? nullptr : host.c_str(), service.c_str(), &hints, &list);
    if (rc != 0) {
        *error = "cannot resolve " + (host.empty() ? std::string("the address") : host) + ": " + gai_strerror(rc);
        return nullptr;
    }
    return list;
}

std::string AddressText(const sockaddr* sa) {
    char host[INET6_ADDRSTRLEN] = "?";
    uint16_t port = 0;
    if (sa->sa_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(sa);
        inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
        port = ntohs(in->sin_port);
        return std::string(host) + ":" + std::to_string(port);
    }
    if (sa->sa_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(sa);
        inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
        port = ntohs(in6->sin6_port);
        return "[" + std::string(host) + "]:" + std::to_string(port);
    }
    return host;
}

// A socket for the first address of host:port that `setup` can use (false: errno says why).
// On failure an invalid Fd and the last reason in *reason.
template <class Setup>
Fd FirstUsable(const std::string& host, uint16_t port, bool passive, Setup setup, std::string* reason,
               std::string* error) {
    addrinfo* list = Resolve(host, port, passive, error);
    if (!list) return Fd();
    Fd result;
    for (addrinfo* ai = list; ai && !result.valid(); ai = ai->ai_next) {
        Fd fd(::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol));
        if (fd.valid() && setup(fd.get(), ai)) result = std::move(fd);
        else *reason = ErrnoText(errno);
    }
    freeaddrinfo(list);
    return result;
}

}  // namespace

Fd Listen(const std::string& address, uint16_t port, std::string* error) {
    std::string reason = "no address";
    Fd result = FirstUsable(address, port, true, [](int fd, const addrinfo* ai) {
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        return ::bind(fd, ai->ai_addr, ai->ai_addrlen) == 0 && ::listen(fd, 64) == 0;
    }, &reason, error);
    if (!result.valid() && error->empty())
        *error = "cannot listen on " + (address.empty() ? std::string("*") : address) + " port " +
                 std::to_string(port) + ": " + reason;
    return result;
}

uint16_t LocalPort(int fd) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return 0;
    if (ss.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
    if (ss.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
    return 0;
}

Fd Accept(int listener, std::string* peer) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    Fd fd(::accept4(listener, reinterpret_cast<sockaddr*>(&ss), &len, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (fd.valid() && peer) *peer = AddressText(reinterpret_cast<const sockaddr*>(&ss));
    return fd;
}

Fd StartConnect(const std::string& host, uint16_t port, std::string* error) {
    std::string reason = "no address";
    Fd result = FirstUsable(host, port, false, [](int fd, const addrinfo* ai) {
        return ::connect(fd, ai->ai_addr, ai->ai_addrlen) == 0 || errno == EINPROGRESS;
    }, &reason, error);
    if (!result.valid() && error->empty())
        *error = "cannot connect to " + host + ":" + std::to_string(port) + ": " + reason;
    return result;
}

int ConnectResult(int fd) {
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
    return err;
}

void SetNoDelay(int fd) {
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

Waker::Waker() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

void Waker::Wake() const {
    const uint64_t one = 1;
    // A full counter (never in practice) already means "wake up": the result can be ignored.
    [[maybe_unused]] ssize_t n = ::write(fd_.get(), &one, sizeof one);
}

void Waker::Drain() const {
    uint64_t count = 0;
    [[maybe_unused]] ssize_t n = ::read(fd_.get(), &count, sizeof count);
}

}  // namespace kestrel::net
