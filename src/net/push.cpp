// SPDX-License-Identifier: BSD-2-Clause
// The push to a remote caster: connect, ask to feed the mount point (NTRIP 2.0 POST when a user
// name is given, NTRIP 1.0 SOURCE otherwise), then stream. Any failure closes the connection
// and a new attempt follows after a delay that doubles from retry_first_s up to retry_last_s;
// the stream never waits for the caster.
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "net/ntrip.h"
#include "net/stream.h"

namespace kestrel::net {

namespace {

constexpr std::size_t kMaxAnswerBytes = 4096;
constexpr double kDrainSeconds = 1.0;

class Push : public Service {
public:
    explicit Push(Context& context) : c_(context), delay_(context.options.retry_first_s) {}

    void Run() override {
        next_attempt_ = Clock::now();
        while (!c_.stopping.load()) {
            pollfd fds[2] = {{c_.waker.fd(), POLLIN, 0}, {-1, 0, 0}};
            if (fd_.valid()) {
                fds[1].fd = fd_.get();
                fds[1].events = state_ == State::Connecting ? POLLOUT : POLLIN;
                if (state_ == State::Streaming && !sink_->empty()) fds[1].events |= POLLOUT;
            }
            const Clock::time_point next = state_ == State::Waiting ? next_attempt_ : deadline_;
            const int timeout = state_ == State::Streaming ? 60000 : MillisecondsUntil(next);
            if (::poll(fds, 2, timeout) < 0 && errno != EINTR) break;
            if (fds[0].revents) {
                c_.waker.Drain();
                TakeInbox();
            }
            if (fd_.valid() && fds[1].revents) OnEvents(fds[1].revents);
            const auto now = Clock::now();
            if (state_ == State::Waiting && now >= next_attempt_) {
                Connect();
            } else if ((state_ == State::Connecting || state_ == State::Answering) && now >= deadline_) {
                Fail("the caster did not answer within " + SecondsText(c_.options.connect_timeout_s));
            }
        }
        Drain();
    }

private:
    enum class State : uint8_t { Waiting, Connecting, Answering, Streaming };

    bool V2() const { return !c_.endpoint.user.empty(); }

    void TakeInbox() {
        for (InboxItem& item : c_.inbox.Take()) {
            if (item.snapshot) {
                snapshot_ = item.block->bytes.empty() ? nullptr : item.block;
                continue;
            }
            if (state_ != State::Streaming) continue;  // lost while the caster is away
            switch (Deliver(*sink_, item.block, snapshot_, c_.options)) {
            case Delivery::Ok:
                break;
            case Delivery::Broken:
                return Fail("the connection to the caster was lost");
            case Delivery::TooSlow:
                c_.counters.clients_dropped_slow.fetch_add(1, std::memory_order_relaxed);
                return Fail("the caster took no data for more than " + SecondsText(c_.options.max_lag_s) +
                            " of the stream");
            }
        }
    }

    void Connect() {
        std::string why;
        fd_ = StartConnect(c_.endpoint.host, c_.endpoint.port, &why);
        if (!fd_.valid()) return Fail(why);
        state_ = State::Connecting;
        deadline_ = Clock::now() + Seconds(c_.options.connect_timeout_s);
    }

    void OnEvents(short events) {
        switch (state_) {
        case State::Waiting:
            return;
        case State::Connecting: {
            const int err = ConnectResult(fd_.get());
            if (err != 0) return Fail("cannot connect to the caster: " + ErrnoText(err));
            SetNoDelay(fd_.get());
            if (!SendRequest()) return Fail("the connection to the caster was lost");
            state_ = State::Answering;
            answer_.clear();
            return;
        }
        case State::Answering:
            return ReadAnswer();
        case State::Streaming:
            if (events & (POLLIN | POLLHUP | POLLERR)) {
                uint8_t buf[4096];
                const ssize_t n = ::recv(fd_.get(), buf, sizeof buf, MSG_DONTWAIT);
                if (n == 0 || (n < 0 && errno == ECONNRESET)) return Fail("the caster closed the connection");
                if (n < 0 && errno != EAGAIN && errno != EINTR)
                    return Fail("the connection to the caster was lost: " + ErrnoText(errno));
            }
            if ((events & POLLOUT) && !sink_->Flush()) return Fail("the connection to the caster was lost");
            return;
        }
    }

    bool SendRequest() {
        const Endpoint& e = c_.endpoint;
        const StationInfo& station = c_.options.station;
        const std::string str = StrLine(e.mount, station, false);
        std::string request;
        if (V2()) {
            const std::string host = e.host.find(':') != std::string::npos ? "[" + e.host + "]" : e.host;
            request = "POST /" + e.mount + " HTTP/1.1\r\nHost: " + host + ":" + std::to_string(e.port) +
                      "\r\nNtrip-Version: Ntrip/2.0\r\nAuthorization: Basic " +
                      Base64Encode(e.user + ":" + e.password) + "\r\nUser-Agent: " + c_.options.agent +
                      "\r\nNtrip-STR: " + str + "\r\nConnection: close\r\nTransfer-Encoding: chunked\r\n\r\n";
        } else {
            request = "SOURCE " + e.password + " /" + e.mount + "\r\nSource-Agent: " + c_.options.agent +
                      "\r\nSTR: " + str + "\r\n\r\n";
        }
        std::size_t done = 0;
        while (done < request.size()) {
            const ssize_t n = ::send(fd_.get(), request.data() + done, request.size() - done, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;  // a fresh connection takes a request this short whole
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

    void ReadAnswer() {
        char buf[1024];
        const ssize_t n = ::recv(fd_.get(), buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
        if (n == 0 || (n < 0 && errno == ECONNRESET)) return Fail("the caster closed the connection without answering");
        if (n < 0) return Fail("the connection to the caster was lost: " + ErrnoText(errno));
        answer_.append(buf, static_cast<std::size_t>(n));
        const Answer a = ParseAnswer(answer_, kMaxAnswerBytes);
        const std::string quoted = " (it answered \"" + a.first_line + "\")";
        switch (a.kind) {
        case AnswerKind::Incomplete:
            return;
        case AnswerKind::Accepted:
            return StartStreaming();
        case AnswerKind::BadPassword:
            return Fail("the caster refused the " + std::string(V2() ? "user or password" : "password") +
                        " for /" + c_.endpoint.mount + quoted);
        case AnswerKind::MountTaken:
            return Fail("the caster refused mount point /" + c_.endpoint.mount + ": taken or not allowed" + quoted);
        case AnswerKind::Other:
            return Fail("the caster refused the stream" + quoted);
        }
    }

    void StartStreaming() {
        state_ = State::Streaming;
        answer_.clear();
        sink_ = std::make_unique<Sink>(fd_.get(), V2(), c_.counters);
        connected_since_ = Clock::now();
        c_.counters.connected.store(true);
        c_.counters.connections.fetch_add(1, std::memory_order_relaxed);
        c_.Say(Severity::Info, std::string("streaming to the caster (NTRIP ") + (V2() ? "2.0" : "1.0") + ")");
        last_failure_.clear();
    }

    void Fail(const std::string& why) {
        const auto now = Clock::now();
        // A connection that lasted starts the back-off again from its first delay.
        if (state_ == State::Streaming && now - connected_since_ >= Seconds(c_.options.retry_last_s))
            delay_ = c_.options.retry_first_s;
        sink_.reset();
        fd_.reset();
        c_.counters.connected.store(false);
        c_.counters.connect_failures.fetch_add(1, std::memory_order_relaxed);
        // The same failure over and over is said once, until something changes.
        if (why != last_failure_) c_.Say(Severity::Warning, why + "; trying again in " + SecondsText(delay_));
        last_failure_ = why;
        state_ = State::Waiting;
        next_attempt_ = now + Seconds(delay_);
        delay_ = std::min(delay_ * 2, c_.options.retry_last_s);
    }

    void Drain() {
        TakeInbox();
        if (state_ == State::Streaming) {
            sink_->QueueEnd();
            const auto deadline = Clock::now() + Seconds(kDrainSeconds);
            while (!sink_->empty() && Clock::now() < deadline) {
                pollfd fd = {fd_.get(), POLLOUT, 0};
                if (::poll(&fd, 1, MillisecondsUntil(deadline)) <= 0 || !sink_->Flush()) break;
            }
        }
        sink_.reset();
        fd_.reset();
        c_.counters.connected.store(false);
    }

    Context& c_;
    State state_ = State::Waiting;
    Fd fd_;
    std::unique_ptr<Sink> sink_;
    BlockPtr snapshot_;
    std::string answer_;
    double delay_;
    Clock::time_point next_attempt_, deadline_, connected_since_;
    std::string last_failure_;
};

}  // namespace

std::unique_ptr<Service> MakePush(Context& context) { return std::make_unique<Push>(context); }

}  // namespace kestrel::net
