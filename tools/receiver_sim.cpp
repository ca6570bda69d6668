// SPDX-License-Identifier: BSD-2-Clause
// receiver-sim: stands in for a live NavCom receiver. Replays a log over a pseudo-terminal
// (a serial line) or a TCP port at the pace of the log's own epochs, answers Data Requests,
// and on request drops the link at intervals or damages bytes, for tests and demonstrations
// of `kestrel stream`.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "live/frame_scanner.h"
#include "live/inputs.h"
#include "live/receiver_commands.h"
#include "live/replay_pacer.h"

namespace {

using namespace kestrel::live;

constexpr const char* kUsage =
    "usage: receiver-sim LOG (--pty [--link PATH] | --tcp PORT [--bind ADDRESS]) [--speed N]\n"
    "                    [--replies ack|refuse|none] [--drop-every S] [--damage P] [--seed N]\n"
    "                    [--record FILE] [--hold]\n";

constexpr const char* kHelp =
    "Replays the NavCom log LOG as a receiver sends it: each MEASUREMENT frame when its epoch\n"
    "falls due (the epochs' own spacing divided by the speed factor), with the records after it.\n"
    "\n"
    "  --pty             over a pseudo-terminal, as a receiver on a serial line; the first line\n"
    "                    on standard output is the input for kestrel stream (serial:DEVICE)\n"
    "  --link PATH       also a symbolic link PATH to the pseudo-terminal (made again, pointing\n"
    "                    to the new one, at each drop: like a USB receiver plugged in again)\n"
    "  --tcp PORT        over TCP, one client at a time, on PORT (0: any free port); the first\n"
    "                    line on standard output is the input (tcp:ADDRESS:PORT). The replay starts\n"
    "                    when the first client connects; bytes due while none is connected after\n"
    "                    that are lost, as with a serial-to-network bridge\n"
    "  --bind ADDRESS    where to listen (default 127.0.0.1)\n"
    "  --speed N         N times the data's pace (default 1); 0 as fast as the reader takes it\n"
    "  --replies MODE    to each Data Request (0x20): ack (0x06, the default), refuse (0x15) or\n"
    "                    none. Replies recorded in the log itself are replayed as they are\n"
    "  --drop-every S    drops the link every S seconds of wall time: a TCP client is\n"
    "                    disconnected, a pseudo-terminal closed (once its reader has taken what\n"
    "                    was sent) and a new one opened\n"
    "  --damage P        changes each byte sent with probability P (0 to 1)\n"
    "  --seed N          seed of the damage (default 1)\n"
    "  --record FILE     writes there every byte that reached the link, in order: what a\n"
    "                    faultless logger of the link would have received\n"
    "  --hold            the replay waits for SIGUSR1 as well as for its reader (a test or a\n"
    "                    demonstration connecting rovers to the station first)\n"
    "\n"
    "Ends when the log has been sent and taken by the reader (a pseudo-terminal's reader has\n"
    "read it all; a TCP client's socket has sent it), or on SIGTERM or Ctrl-C; a summary goes to\n"
    "standard error.\n";

constexpr std::size_t kReadChunk = 64 * 1024;
constexpr int kTickMs = 50;
constexpr double kDrainS = 5.0;  // wait for the reader to take what was sent, before a drop and at the end
constexpr double kSettledS = 0.2;  // a reader's queue empty this long holds nothing more in transit

volatile sig_atomic_t stopSignal = 0;
void OnStop(int signal) { stopSignal = signal; }
volatile sig_atomic_t released = 0;
void OnRelease(int) { released = 1; }

enum class Replies { kAck, kRefuse, kNone };

struct Options {
    std::string log;
    bool pty = false;
    std::string link;
    bool tcp = false;
    int port = 0;
    std::string bind = "127.0.0.1";
    double speed = 1.0;
    Replies replies = Replies::kAck;
    double dropEveryS = 0.0;
    double damage = 0.0;
    unsigned seed = 1;
    std::string record;
    bool hold = false;
};

bool ParseDouble(const char* text, double& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtod(text, &end);
    return end != text && *end == '\0' && errno == 0 && std::isfinite(value);
}

bool ParseArgs(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        double v = 0.0;
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            std::fputs(kHelp, stdout);
            std::exit(0);
        } else if (a == "--pty") {
            o.pty = true;
        } else if (a == "--link" && hasValue) {
            o.link = argv[++i];
        } else if (a == "--tcp" && hasValue && ParseDouble(argv[i + 1], v) && v >= 0 && v <= 65535) {
            o.tcp = true;
            o.port = static_cast<int>(v);
            ++i;
        } else if (a == "--bind" && hasValue) {
            o.bind = argv[++i];
        } else if (a == "--speed" && hasValue && ParseDouble(argv[i + 1], v) && v >= 0) {
            o.speed = v;
            ++i;
        } else if (a == "--replies" && hasValue) {
            const std::string m = argv[++i];
            if (m == "ack") {
                o.replies = Replies::kAck;
            } else if (m == "refuse") {
                o.replies = Replies::kRefuse;
            } else if (m == "none") {
                o.replies = Replies::kNone;
            } else {
                return false;
            }
        } else if (a == "--drop-every" && hasValue && ParseDouble(argv[i + 1], v) && v > 0) {
            o.dropEveryS = v;
            ++i;
        } else if (a == "--damage" && hasValue && ParseDouble(argv[i + 1], v) && v >= 0 && v <= 1) {
            o.damage = v;
            ++i;
        } else if (a == "--seed" && hasValue && ParseDouble(argv[i + 1], v) && v >= 0) {
            o.seed = static_cast<unsigned>(v);
            ++i;
        } else if (a == "--hold") {
            o.hold = true;
        } else if (a == "--record" && hasValue) {
            o.record = argv[++i];
        } else if (!a.empty() && a[0] != '-' && o.log.empty()) {
            o.log = a;
        } else {
            return false;
        }
    }
    return !o.log.empty() && o.pty != o.tcp;
}

// The link's far end as the simulated receiver sees it: a pseudo-terminal's master side, or
// the TCP client of the moment.
class Link {
public:
    explicit Link(const Options& o) : o_(o) {}
    ~Link() {
        CloseLink();
        if (listener_ >= 0) ::close(listener_);
        if (!o_.link.empty()) ::unlink(o_.link.c_str());
    }

    bool Open() { return o_.pty ? OpenPty() : Listen(); }

    // The descriptor to write to and read from, -1 when no reader is there.
    int fd() const { return fd_; }
    int listener() const { return listener_; }

    // Accepts a client (one at a time: a second is turned away).
    void Accept() {
        const int c = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (c < 0) return;
        if (fd_ >= 0) {
            ::close(c);
            return;
        }
        fd_ = c;
    }

    // Bytes sent but not yet taken by the reader.
    int Unread() const {
        int n = 0;
        if (o_.pty && slave_ >= 0 && ::ioctl(slave_, FIONREAD, &n) == 0) return n;
        if (o_.tcp && fd_ >= 0 && ::ioctl(fd_, TIOCOUTQ, &n) == 0) return n;
        return 0;
    }

    // Waits up to kDrainS for the reader to take what was sent; what it did not take.
    int Drain() {
        const double until = MonotonicSeconds() + kDrainS;
        // A pseudo-terminal moves what was written into the reader's queue in the background,
        // a few kilobytes at a time: its queue must stay empty a while.
        double emptySince = -1.0;
        while (MonotonicSeconds() < until && stopSignal == 0) {
            const double now = MonotonicSeconds();
            if (Unread() > 0) {
                emptySince = -1.0;
            } else if (emptySince < 0.0) {
                emptySince = now;
            } else if (now - emptySince >= kSettledS) {
                return 0;
            }
            ::poll(nullptr, 0, 10);
        }
        const int unread = Unread();
        if (o_.pty && unread > 0) {
            std::fprintf(stderr, "receiver-sim: the reader took nothing for %.0f s: bytes still in the terminal's "
                         "buffers are lost and may be in the record\n", kDrainS);
        }
        return unread;
    }

    // Drops the link; a pseudo-terminal is replaced by a new one. What the reader had not
    // taken is lost: returned.
    int Drop() {
        const int lost = Drain();
        CloseLink();
        if (o_.pty && !OpenPty()) return lost;
        return lost;
    }

    void CloseLink() {
        if (fd_ >= 0) {
            if (o_.tcp) {
                // The end of what was sent, then whatever the client still says is read and
                // left: a socket closed with unread input would reset the connection.
                ::shutdown(fd_, SHUT_WR);
                uint8_t sink[4096];
                while (::read(fd_, sink, sizeof sink) > 0) {
                }
            }
            ::close(fd_);
        }
        fd_ = -1;
        if (slave_ >= 0) ::close(slave_);
        slave_ = -1;
    }

private:
    bool OpenPty() {
        const int m = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (m < 0 || ::grantpt(m) != 0 || ::unlockpt(m) != 0) {
            std::fprintf(stderr, "receiver-sim: cannot make a pseudo-terminal: %s\n", std::strerror(errno));
            if (m >= 0) ::close(m);
            return false;
        }
        const char* name = ::ptsname(m);
        // The simulator keeps the terminal's own side open: it sets it raw (no echo, no line
        // editing, as a serial line), and the bytes sent wait there while the reader is away.
        const int s = name != nullptr ? ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
        termios tio{};
        if (s < 0 || ::tcgetattr(s, &tio) != 0) {
            std::fprintf(stderr, "receiver-sim: cannot open %s: %s\n", name ? name : "?", std::strerror(errno));
            ::close(m);
            if (s >= 0) ::close(s);
            return false;
        }
        ::cfmakeraw(&tio);
        ::tcsetattr(s, TCSANOW, &tio);
        fd_ = m;
        slave_ = s;
        std::string path = name;
        if (!o_.link.empty()) {
            const std::string tmp = o_.link + ".new";
            ::unlink(tmp.c_str());
            if (::symlink(name, tmp.c_str()) != 0 || ::rename(tmp.c_str(), o_.link.c_str()) != 0) {
                std::fprintf(stderr, "receiver-sim: cannot link %s: %s\n", o_.link.c_str(), std::strerror(errno));
                return false;
            }
            path = o_.link;
        }
        Announce("serial:" + path);
        return true;
    }

    bool Listen() {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(o_.port));
        if (::inet_pton(AF_INET, o_.bind.c_str(), &a.sin_addr) != 1) {
            std::fprintf(stderr, "receiver-sim: %s is not an IPv4 address\n", o_.bind.c_str());
            return false;
        }
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        const int on = 1;
        ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        socklen_t len = sizeof a;
        if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(listener_, 4) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
            std::fprintf(stderr, "receiver-sim: cannot listen on %s:%d: %s\n", o_.bind.c_str(), o_.port,
                         std::strerror(errno));
            return false;
        }
        Announce("tcp:" + o_.bind + ":" + std::to_string(ntohs(a.sin_port)));
        return true;
    }

    static void Announce(const std::string& input) {
        std::printf("%s\n", input.c_str());
        std::fflush(stdout);
    }

    const Options& o_;
    int fd_ = -1;
    int slave_ = -1;
    int listener_ = -1;
};

class Simulator {
public:
    Simulator(const Options& o, Link& link) : o_(o), link_(link), pacer_(o.speed), random_(o.seed) {}

    bool Run() {
        logFd_ = ::open(o_.log.c_str(), O_RDONLY | O_CLOEXEC);
        if (logFd_ < 0) {
            std::fprintf(stderr, "receiver-sim: cannot open %s: %s\n", o_.log.c_str(), std::strerror(errno));
            return false;
        }
        if (!o_.record.empty()) {
            recordFd_ = ::open(o_.record.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (recordFd_ < 0) {
                std::fprintf(stderr, "receiver-sim: cannot write %s: %s\n", o_.record.c_str(), std::strerror(errno));
                return false;
            }
        }
        if (!link_.Open()) return false;
        while (stopSignal == 0) {
            const double now = MonotonicSeconds();
            // A TCP replay starts when its first client comes.
            if (!started_ && link_.fd() >= 0 && (!o_.hold || released != 0)) {
                started_ = true;
                startS_ = now;
                nextDropS_ = now + o_.dropEveryS;
            }
            if (!started_) {
                Poll(now);
                continue;
            }
            TakeDue(now - startS_);
            if (logEnded_ && pacer_.waiting().empty() && queued_.empty()) break;
            if (o_.dropEveryS > 0 && now >= nextDropS_) {
                DropLink();
                nextDropS_ = MonotonicSeconds() + o_.dropEveryS;
            }
            Poll(now);
        }
        const int unread = link_.Drain();
        Forget(unread);
        std::fprintf(stderr,
                     "receiver-sim: %llu bytes sent, %llu lost with no reader, %d drops, %llu requests answered\n",
                     static_cast<unsigned long long>(sent_), static_cast<unsigned long long>(lost_ + unread),
                     drops_, static_cast<unsigned long long>(answered_));
        return true;
    }

private:
    // Moves the bytes due by now from the log into the queue for the link.
    void TakeDue(double elapsedS) {
        while (!logEnded_ && pacer_.waiting().size() < kReadChunk) {
            chunk_.resize(kReadChunk);
            const ssize_t n = ::read(logFd_, chunk_.data(), chunk_.size());
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                logEnded_ = true;
                pacer_.End();
            } else {
                pacer_.Feed({chunk_.data(), static_cast<std::size_t>(n)});
            }
            if (pacer_.Due(elapsedS) > 0) break;
        }
        std::size_t due = pacer_.Due(elapsedS);
        if (due == 0) return;
        if (link_.fd() < 0) {
            lost_ += due;  // nobody to send them to
        } else {
            // A reader that falls behind holds the replay back rather than losing bytes.
            if (queued_.size() >= kReadChunk) return;
            due = std::min(due, kReadChunk);
            for (uint8_t b : pacer_.waiting().first(due)) queued_.push_back(Damaged(b));
        }
        pacer_.Take(due);
    }

    uint8_t Damaged(uint8_t b) {
        if (o_.damage <= 0.0 || std::uniform_real_distribution<double>(0.0, 1.0)(random_) >= o_.damage) return b;
        return static_cast<uint8_t>(b ^ std::uniform_int_distribution<int>(1, 255)(random_));
    }

    void Poll(double now) {
        pollfd fds[2];
        nfds_t n = 0;
        if (link_.fd() >= 0) {
            fds[n++] = {link_.fd(), static_cast<short>(POLLIN | (queued_.empty() ? 0 : POLLOUT)), 0};
        }
        if (link_.listener() >= 0) fds[n++] = {link_.listener(), POLLIN, 0};
        int wait = kTickMs;
        if (const std::optional<double> next = pacer_.NextDueS(now - startS_)) {
            wait = std::clamp(static_cast<int>(std::ceil((*next - (now - startS_)) * 1000.0)), 0, kTickMs);
        }
        if (!queued_.empty() && link_.fd() >= 0) wait = kTickMs;
        if (o_.speed == 0.0 && !logEnded_ && queued_.empty()) wait = 0;
        if (::poll(fds, n, wait) <= 0) return;
        for (nfds_t i = 0; i < n; ++i) {
            if (fds[i].fd == link_.listener() && (fds[i].revents & POLLIN)) link_.Accept();
            if (fds[i].fd != link_.fd()) continue;
            if (fds[i].revents & POLLOUT) Write();
            if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) ReadRequests();
        }
    }

    void Write() {
        const ssize_t n = ::write(link_.fd(), queued_.data(), queued_.size());
        if (n <= 0) return;
        Record({queued_.data(), static_cast<std::size_t>(n)});
        queued_.erase(queued_.begin(), queued_.begin() + n);
    }

    void Record(std::span<const uint8_t> bytes) {
        sent_ += bytes.size();
        if (recordFd_ >= 0 && ::write(recordFd_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
            std::fprintf(stderr, "receiver-sim: cannot write %s: %s\n", o_.record.c_str(), std::strerror(errno));
        }
    }

    // The last `n` bytes recorded never reached the reader.
    void Forget(int n) {
        if (n <= 0) return;
        sent_ -= static_cast<uint64_t>(n);
        lost_ += static_cast<uint64_t>(n);
        if (recordFd_ >= 0) {
            const off_t end = ::lseek(recordFd_, 0, SEEK_END);
            if (end >= n && ::ftruncate(recordFd_, end - n) == 0) ::lseek(recordFd_, 0, SEEK_END);
        }
    }

    // The reader's commands: every Data Request is answered as told.
    void ReadRequests() {
        uint8_t buffer[4096];
        const ssize_t n = ::read(link_.fd(), buffer, sizeof buffer);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR && errno != EIO)) {
            if (o_.tcp) {  // the client went away
                link_.CloseLink();
                queued_.clear();
                requests_ = FrameScanner();
            }
            return;
        }
        if (n < 0) return;
        requests_.Feed({buffer, static_cast<std::size_t>(n)}, [&](const ScannedFrame& frame) {
            if (!ReadDataRequest(frame) || o_.replies == Replies::kNone) return;
            const std::vector<uint8_t> reply = o_.replies == Replies::kAck
                                                   ? AcknowledgeFrame(kDataRequestId, 0)
                                                   : RefusalFrame(kDataRequestId, 0x01, 0x01, 0);
            queued_.insert(queued_.end(), reply.begin(), reply.end());
            ++answered_;
        });
    }

    void DropLink() {
        if (o_.tcp && link_.fd() < 0) return;
        // What is queued goes out first, so that a drop falls between records.
        const double until = MonotonicSeconds() + kDrainS;
        while (!queued_.empty() && link_.fd() >= 0 && MonotonicSeconds() < until && stopSignal == 0) {
            pollfd p{link_.fd(), POLLOUT, 0};
            if (::poll(&p, 1, 10) > 0) Write();
        }
        lost_ += queued_.size();
        queued_.clear();
        Forget(link_.Drop());
        requests_ = FrameScanner();
        ++drops_;
    }

    const Options& o_;
    Link& link_;
    ReplayPacer pacer_;
    std::mt19937 random_;
    FrameScanner requests_;
    int logFd_ = -1;
    int recordFd_ = -1;
    bool logEnded_ = false;
    bool started_ = false;
    double startS_ = 0.0;
    double nextDropS_ = 0.0;
    std::vector<uint8_t> chunk_;
    std::vector<uint8_t> queued_;
    uint64_t sent_ = 0;
    uint64_t lost_ = 0;
    uint64_t answered_ = 0;
    int drops_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseArgs(argc, argv, options)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    struct sigaction sa{};
    sa.sa_handler = OnStop;
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
    struct sigaction release{};
    release.sa_handler = OnRelease;
    ::sigaction(SIGUSR1, &release, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    Link link(options);
    Simulator simulator(options, link);
    return simulator.Run() ? 0 : 1;
}
