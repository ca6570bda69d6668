// SPDX-License-Identifier: BSD-2-Clause
#include "live/inputs.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "live/links.h"
#include "live/replay_pacer.h"

namespace kestrel::live {
namespace {

constexpr std::size_t kReplayChunk = 64 * 1024;  // bytes of a log read at a time
constexpr int kSendWaitMs = 1000;                // a link that takes no command bytes this long has failed

std::string Seconds(double s) {
    char text[32];
    std::snprintf(text, sizeof text, "%.0f s", s);
    return text;
}

int WaitMs(double seconds) { return std::max(0, static_cast<int>(std::ceil(seconds * 1000.0))); }

// Sleeps up to `ms`, cut short by a signal.
void Pause(int ms) {
    if (ms > 0) ::poll(nullptr, 0, ms);
}

// Writes all of `bytes` to a non-blocking descriptor, waiting for room a limited time.
bool SendAll(int fd, std::span<const uint8_t> bytes, std::string& error) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            pollfd p{fd, POLLOUT, 0};
            if (::poll(&p, 1, kSendWaitMs) > 0) continue;
            error = "the link took no bytes for " + Seconds(kSendWaitMs / 1000.0);
            return false;
        }
        error = std::strerror(n < 0 ? errno : EIO);
        return false;
    }
    return true;
}

// A serial device or a TCP connection, made again after every loss.
class LinkInput final : public Input {
public:
    LinkInput(const InputSource& source, const InputOptions& options)
        : source_(source), options_(options), connector_(source.host, source.port, options.connectTimeoutS) {
        name_ = source.text;
    }
    ~LinkInput() override { Close(); }

    // The first link: its failure ends the command, with the reason.
    bool OpenFirst(std::string& error) {
        if (source_.kind == InputSource::Kind::kSerial) {
            const int fd = OpenSerial(source_.path, *BaudSpeed(source_.baud), error);
            if (fd < 0) return false;
            Adopt(fd);
            return true;
        }
        TcpConnector::State state = connector_.Start(MonotonicSeconds());
        while (state == TcpConnector::State::kConnecting) state = connector_.Continue(100, MonotonicSeconds());
        if (state != TcpConnector::State::kConnected) {
            error = connector_.error();
            return false;
        }
        Adopt(connector_.TakeSocket());
        return true;
    }

    ReadResult Read(std::span<uint8_t> buffer, int timeoutMs) override {
        if (fd_ < 0) return Reconnect(timeoutMs);
        pollfd p{fd_, POLLIN, 0};
        const int ready = ::poll(&p, 1, timeoutMs);
        const double now = MonotonicSeconds();
        if (ready == 0) {
            if (source_.kind == InputSource::Kind::kTcp && now - lastBytesS_ >= options_.silenceS) {
                Lose("no bytes for " + Seconds(options_.silenceS), now);
            }
            return {};
        }
        if (ready < 0) return {};  // a signal
        const ssize_t n = ::read(fd_, buffer.data(), buffer.size());
        if (n > 0) {
            counters_.bytes += static_cast<uint64_t>(n);
            lastBytesS_ = now;
            backoff_.Reset();
            return {ReadResult::Kind::kBytes, static_cast<std::size_t>(n)};
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return {};
        Lose(n == 0 ? "the far end closed the link" : std::strerror(errno), now);
        return {};
    }

    bool Send(std::span<const uint8_t> bytes, std::string& error) override {
        if (fd_ < 0) {
            error = name_ + " is not connected";
            return false;
        }
        return SendAll(fd_, bytes, error);
    }

    bool TakeFreshLink() override {
        const bool fresh = fresh_ && fd_ >= 0;
        fresh_ = false;
        return fresh;
    }

private:
    void Close() {
        if (source_.kind == InputSource::Kind::kSerial) {
            CloseSerial(fd_);
        } else if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = -1;
        counters_.connected = false;
    }

    void Report(const std::string& text) const {
        if (options_.report) options_.report(text);
    }

    void Adopt(int fd) {
        const double now = MonotonicSeconds();
        if (everConnected_) {
            ++counters_.reconnects;
            Report(name_ + ": link back after " + Seconds(now - lostAtS_));
        }
        everConnected_ = true;
        fd_ = fd;
        counters_.connected = true;
        fresh_ = true;
        lastBytesS_ = now;
        lastFailure_.clear();
    }

    void Lose(const std::string& reason, double now) {
        Close();
        lostAtS_ = now;
        const double wait = backoff_.Next();
        nextAttemptS_ = now + wait;
        Report(name_ + ": link lost (" + reason + "); trying again in " + Seconds(wait));
    }

    void AttemptFailed(const std::string& reason, double now) {
        const double wait = backoff_.Next();
        nextAttemptS_ = now + wait;
        // Each new reason once, not every attempt.
        if (reason != lastFailure_) Report(name_ + ": " + reason + "; trying again, every " + Seconds(Backoff::kLastS) +
                                           " at most");
        lastFailure_ = reason;
    }

    ReadResult Reconnect(int timeoutMs) {
        double now = MonotonicSeconds();
        if (connecting_) {
            const TcpConnector::State state = connector_.Continue(timeoutMs, now);
            now = MonotonicSeconds();
            if (state == TcpConnector::State::kConnecting) return {};
            connecting_ = false;
            if (state == TcpConnector::State::kConnected) {
                Adopt(connector_.TakeSocket());
            } else {
                AttemptFailed(connector_.error(), now);
            }
            return {};
        }
        if (now < nextAttemptS_) {
            Pause(std::min(timeoutMs, WaitMs(nextAttemptS_ - now)));
            return {};
        }
        if (source_.kind == InputSource::Kind::kSerial) {
            std::string error;
            const int fd = OpenSerial(source_.path, *BaudSpeed(source_.baud), error);
            if (fd >= 0) {
                Adopt(fd);
            } else {
                AttemptFailed(error, now);
            }
            return {};
        }
        const TcpConnector::State state = connector_.Start(now);
        if (state == TcpConnector::State::kConnected) {
            Adopt(connector_.TakeSocket());
        } else if (state == TcpConnector::State::kConnecting) {
            connecting_ = true;
        } else {
            AttemptFailed(connector_.error(), now);
        }
        return {};
    }

    InputSource source_;
    InputOptions options_;
    TcpConnector connector_;
    Backoff backoff_;
    int fd_ = -1;
    bool connecting_ = false;
    bool everConnected_ = false;
    bool fresh_ = false;
    double lastBytesS_ = 0.0;
    double lostAtS_ = 0.0;
    double nextAttemptS_ = 0.0;
    std::string lastFailure_;
};

// Standard input, to its end.
class StdinInput final : public Input {
public:
    StdinInput() {
        name_ = "standard input";
        counters_.connected = true;
    }

    ReadResult Read(std::span<uint8_t> buffer, int timeoutMs) override {
        pollfd p{STDIN_FILENO, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0) return {};
        const ssize_t n = ::read(STDIN_FILENO, buffer.data(), buffer.size());
        if (n > 0) {
            counters_.bytes += static_cast<uint64_t>(n);
            return {ReadResult::Kind::kBytes, static_cast<std::size_t>(n)};
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return {};
        counters_.connected = false;
        return {ReadResult::Kind::kEnded, 0};
    }

    bool Send(std::span<const uint8_t>, std::string& error) override {
        error = "standard input cannot carry commands to the receiver";
        return false;
    }
};

// A log replayed at its own pace times the speed factor, or as fast as it can be read.
class ReplayInput final : public Input {
public:
    ReplayInput(int fd, const InputSource& source, double speed) : fd_(fd), speed_(speed), pacer_(speed) {
        name_ = source.text;
        counters_.connected = true;
        startS_ = MonotonicSeconds();
    }
    ~ReplayInput() override { ::close(fd_); }

    ReadResult Read(std::span<uint8_t> buffer, int timeoutMs) override {
        if (speed_ <= 0.0) return Deliver(ReadFile(buffer));
        const double deadline = MonotonicSeconds() + timeoutMs / 1000.0;
        for (;;) {
            if (!ended_ && pacer_.waiting().size() < kReplayChunk) {
                chunk_.resize(kReplayChunk);
                const std::size_t n = ReadFile(chunk_);
                if (n == 0) {
                    pacer_.End();
                } else {
                    pacer_.Feed({chunk_.data(), n});
                }
            }
            const double now = MonotonicSeconds();
            const double elapsed = now - startS_;
            const std::size_t due = pacer_.Due(elapsed);
            if (due > 0) {
                const std::size_t n = std::min(due, buffer.size());
                std::copy_n(pacer_.waiting().begin(), n, buffer.begin());
                pacer_.Take(n);
                return Deliver(n);
            }
            if (ended_ && pacer_.waiting().empty()) return Deliver(0);
            if (now >= deadline) return {};
            const std::optional<double> next = pacer_.NextDueS(elapsed);
            if (next) {
                Pause(std::min(WaitMs(deadline - now), WaitMs(*next - elapsed)));
                if (MonotonicSeconds() >= deadline) return {};
            }
        }
    }

    bool Send(std::span<const uint8_t>, std::string& error) override {
        error = "a replayed log cannot carry commands to the receiver";
        return false;
    }

private:
    // Reads the log; 0 at its end (or on a read error, which ends it too).
    std::size_t ReadFile(std::span<uint8_t> buffer) {
        for (;;) {
            const ssize_t n = ::read(fd_, buffer.data(), buffer.size());
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                ended_ = true;
                return 0;
            }
            return static_cast<std::size_t>(n);
        }
    }

    ReadResult Deliver(std::size_t n) {
        if (n == 0) {
            counters_.connected = false;
            return {ReadResult::Kind::kEnded, 0};
        }
        counters_.bytes += n;
        return {ReadResult::Kind::kBytes, n};
    }

    int fd_;
    double speed_;
    ReplayPacer pacer_;
    double startS_ = 0.0;
    bool ended_ = false;
    std::vector<uint8_t> chunk_;
};

std::unique_ptr<Input> OpenReplay(const InputSource& source, double speed, std::string& error) {
    const int fd = ::open(source.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = errno == ENOENT ? "log " + source.path + " does not exist"
                                : "cannot open " + source.path + ": " + std::strerror(errno);
        return nullptr;
    }
    struct stat st{};
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        error = source.path + " is a folder, not a log";
        return nullptr;
    }
    return std::make_unique<ReplayInput>(fd, source, speed);
}

}  // namespace

double MonotonicSeconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::unique_ptr<Input> OpenInput(const InputSource& source, const InputOptions& options, std::string& error) {
    switch (source.kind) {
        case InputSource::Kind::kStdin:
            return std::make_unique<StdinInput>();
        case InputSource::Kind::kFile:
            return OpenReplay(source, options.speed, error);
        case InputSource::Kind::kSerial:
        case InputSource::Kind::kTcp: {
            auto link = std::make_unique<LinkInput>(source, options);
            if (!link->OpenFirst(error)) return nullptr;
            return link;
        }
    }
    error = "unknown input";
    return nullptr;
}

}  // namespace kestrel::live
