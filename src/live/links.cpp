// SPDX-License-Identifier: BSD-2-Clause
#include "live/links.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace kestrel::live {
namespace {

// Keep-alive probes find a connection whose far end vanished without closing it: after 10 s
// of silence, every 5 s, given up after 3 unanswered.
constexpr int kKeepIdleS = 10;
constexpr int kKeepIntervalS = 5;
constexpr int kKeepCount = 3;

std::string SerialOpenError(const std::string& path, int error) {
    switch (error) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return "serial device " + path + " does not exist";
        case EACCES:
        case EPERM:
            return "no permission to open " + path +
                   " (serial devices belong to the dialout group: add the user to it)";
        case EBUSY:
            return path + " is in use by another program";
        default:
            return "cannot open " + path + ": " + std::strerror(error);
    }
}

int Fail(int fd, std::string& error, std::string text) {
    if (fd >= 0) ::close(fd);
    error = std::move(text);
    return -1;
}

}  // namespace

int OpenSerial(const std::string& path, speed_t speed, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return Fail(-1, error, SerialOpenError(path, errno));
    // An advisory lock that another copy of this command (or any program that locks serial
    // devices) respects, and the terminal's exclusive mode, which refuses further opens by
    // anyone but the superuser.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int e = errno;
        return Fail(fd, error, e == EWOULDBLOCK ? path + " is in use by another program (it holds the device's lock)"
                                                : "cannot lock " + path + ": " + std::strerror(e));
    }
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) {
        const int e = errno;
        return Fail(fd, error, e == ENOTTY ? path + " is not a serial device" : "cannot read the settings of " + path +
                                                                                   ": " + std::strerror(e));
    }
    ::ioctl(fd, TIOCEXCL);
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (::cfsetispeed(&tio, speed) != 0 || ::cfsetospeed(&tio, speed) != 0 || ::tcsetattr(fd, TCSANOW, &tio) != 0) {
        const int e = errno;
        return Fail(fd, error, "cannot set " + path + " to raw 8N1: " + std::strerror(e));
    }
    return fd;
}

void CloseSerial(int fd) {
    if (fd < 0) return;
    ::ioctl(fd, TIOCNXCL);
    ::close(fd);
}

double Backoff::Next() {
    const double wait = next_;
    next_ = std::min(next_ * 2.0, kLastS);
    return wait;
}

TcpConnector::~TcpConnector() { CloseSocket(); }

void TcpConnector::CloseSocket() {
    if (socket_ >= 0) ::close(socket_);
    socket_ = -1;
}

TcpConnector::State TcpConnector::Start(double nowS) {
    CloseSocket();
    addresses_.reset();
    nextAddress_ = nullptr;
    unknownHost_ = false;
    error_.clear();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(host_.c_str(), port_.c_str(), &hints, &found);
    if (rc != 0) {
        unknownHost_ = rc == EAI_NONAME || rc == EAI_FAIL;
        error_ = unknownHost_ ? "host " + host_ + " not found" : "cannot look up " + host_ + ": " + gai_strerror(rc);
        return state_ = State::kFailed;
    }
    addresses_.reset(found);
    nextAddress_ = found;
    return TryNextAddress(nowS);
}

TcpConnector::State TcpConnector::TryNextAddress(double nowS) {
    const std::string where = host_ + ":" + port_;
    while (nextAddress_ != nullptr) {
        const addrinfo* a = nextAddress_;
        nextAddress_ = a->ai_next;
        CloseSocket();
        socket_ = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (socket_ < 0) {
            error_ = "cannot make a socket for " + where + ": " + std::strerror(errno);
            continue;
        }
        if (::connect(socket_, a->ai_addr, a->ai_addrlen) == 0) return state_ = State::kConnected;
        if (errno == EINPROGRESS) {
            deadlineS_ = nowS + timeoutS_;
            return state_ = State::kConnecting;
        }
        error_ = errno == ECONNREFUSED ? where + " refused the connection"
                                       : "cannot connect to " + where + ": " + std::strerror(errno);
    }
    CloseSocket();
    return state_ = State::kFailed;
}

TcpConnector::State TcpConnector::Continue(int waitMs, double nowS) {
    if (state_ != State::kConnecting) return state_;
    const int left = static_cast<int>(std::ceil((deadlineS_ - nowS) * 1000.0));
    pollfd p{socket_, POLLOUT, 0};
    const int ready = left <= 0 ? 0 : ::poll(&p, 1, std::min(waitMs, left));
    if (ready < 0 && errno == EINTR) return state_;  // a signal: the caller looks, then comes back
    if (ready == 0) {
        if (left > waitMs) return state_;
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%g", timeoutS_);
        error_ = host_ + ":" + port_ + " did not answer within " + seconds + " s";
        return TryNextAddress(nowS);
    }
    int soError = 0;
    socklen_t len = sizeof soError;
    if (ready < 0 || ::getsockopt(socket_, SOL_SOCKET, SO_ERROR, &soError, &len) != 0) soError = errno;
    if (soError != 0) {
        error_ = soError == ECONNREFUSED ? host_ + ":" + port_ + " refused the connection"
                                         : "cannot connect to " + host_ + ":" + port_ + ": " + std::strerror(soError);
        return TryNextAddress(nowS);
    }
    return state_ = State::kConnected;
}

int TcpConnector::TakeSocket() {
    if (state_ != State::kConnected) return -1;
    const int fd = socket_;
    socket_ = -1;
    state_ = State::kIdle;
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepIdleS, sizeof kKeepIdleS);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepIntervalS, sizeof kKeepIntervalS);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepCount, sizeof kKeepCount);
    return fd;
}

}  // namespace kestrel::live
