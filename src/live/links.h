// SPDX-License-Identifier: BSD-2-Clause
// The two links to a live receiver: a serial device (raw 8N1 through termios, locked against
// a second user) and a TCP connection (a serial-to-network bridge or the receiver's own
// network port), and the back-off between attempts to bring a lost link back.
#pragma once

#include <netdb.h>
#include <termios.h>

#include <memory>
#include <string>

namespace kestrel::live {

// Opens a serial device for the receiver: raw 8 data bits, no parity, one stop bit, no flow
// control, at `speed`; locked (flock) and marked exclusive so that a second program cannot
// read the same bytes. The descriptor (non-blocking), or -1 with the reason in `error`.
int OpenSerial(const std::string& path, speed_t speed, std::string& error);
// Gives the device back: its exclusive mode off, then closed.
void CloseSerial(int fd);

// Seconds to wait before the next attempt to bring a lost link back: 1 s, doubling up to
// 30 s; back to 1 s once a link has delivered bytes again.
class Backoff {
public:
    static constexpr double kFirstS = 1.0;
    static constexpr double kLastS = 30.0;
    double Next();
    void Reset() { next_ = kFirstS; }

private:
    double next_ = kFirstS;
};

// One TCP connection attempt at a time, without blocking: each address of the host in turn,
// each given `timeoutS` to answer.
class TcpConnector {
public:
    enum class State { kIdle, kConnecting, kConnected, kFailed };

    TcpConnector(std::string host, std::string port, double timeoutS)
        : host_(std::move(host)), port_(std::move(port)), timeoutS_(timeoutS) {}
    ~TcpConnector();
    TcpConnector(const TcpConnector&) = delete;
    TcpConnector& operator=(const TcpConnector&) = delete;

    // Starts an attempt at `nowS` (monotonic seconds).
    State Start(double nowS);
    // Waits up to `waitMs` for the attempt under way to end.
    State Continue(int waitMs, double nowS);
    // The connected socket (non-blocking), handed over to the caller.
    int TakeSocket();
    // Why the last attempt failed.
    const std::string& error() const { return error_; }
    // The host's name could not be resolved (as opposed to a host that refused or was silent).
    bool unknownHost() const { return unknownHost_; }

private:
    State TryNextAddress(double nowS);
    void CloseSocket();

    std::string host_;
    std::string port_;
    double timeoutS_;
    State state_ = State::kIdle;
    struct AddrInfoFree {
        void operator()(addrinfo* a) const { freeaddrinfo(a); }
    };
    std::unique_ptr<addrinfo, AddrInfoFree> addresses_;
    const addrinfo* nextAddress_ = nullptr;
    int socket_ = -1;
    double deadlineS_ = 0.0;
    std::string error_;
    bool unknownHost_ = false;
};

}  // namespace kestrel::live
