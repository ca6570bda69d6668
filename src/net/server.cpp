// SPDX-License-Identifier: BSD-2-Clause
// The listening outputs: the raw TCP server (every connection is a client of the stream) and
// the NTRIP caster (a connection first sends a request: a rover's GET of a mount point or of the
// source table, or a remote server's SOURCE or POST feeding a mount point of its own).
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <list>
#include <map>

#include "net/ntrip.h"
#include "net/stream.h"

namespace kestrel::net {

namespace {

constexpr std::size_t kReadChunk = 16384;
constexpr double kDrainSeconds = 1.0;  // on Stop, for what clients still have queued
constexpr int kNoticesPerMinute = 5;   // refusals reported one by one; then only their count

enum class Role : uint8_t {
    Pending,  // sending its request
    Client,   // receiving a stream
    Source,   // a remote server feeding a mount point
    Closing,  // receiving a last answer, then closed
};

struct Conn {
    Fd fd;
    std::string peer;
    Role role = Role::Pending;
    Clock::time_point deadline;  // Pending: request complete by then; Closing: answer sent by then
    std::string request;         // Pending: what arrived so far
    std::unique_ptr<Sink> sink;  // Client and Closing
    std::string mount;           // Client and Source ("" for the raw TCP server)
    ChunkDecoder chunks;         // Source, when its data come chunked
    bool chunked = false;
    bool write_shut = false;     // Closing: everything sent, our side shut
    bool dead = false;
};

// A mount point fed by a remote server: what it said of its stream.
struct Relay {
    std::string str;
};

struct StatusText {
    int status;
    const char* text;
};
constexpr StatusText kStatusTexts[] = {
    {400, "Bad Request"},      {401, "Unauthorized"},        {404, "Not Found"},
    {405, "Method Not Allowed"}, {409, "Conflict"},          {414, "URI Too Long"},
    {431, "Request Header Fields Too Large"},                {503, "Service Unavailable"},
};

const char* StatusTextOf(int status) {
    for (const StatusText& s : kStatusTexts)
        if (s.status == status) return s.text;
    return "Error";
}

constexpr const char* kIcyOk = "ICY 200 OK\r\n";
constexpr const char* kBadPassword = "ERROR - Bad Password\r\n";
constexpr const char* kMountTaken = "ERROR - Mount Point Taken or Invalid\r\n";

class Server : public Service {
public:
    Server(Context& context, Fd listener, bool ntrip)
        : c_(context), listener_(std::move(listener)), ntrip_(ntrip), port_(LocalPort(listener_.get())),
          local_mount_(ntrip ? context.endpoint.mount : std::string()) {}

    uint16_t port() const override { return port_; }

    void Run() override {
        std::vector<pollfd> fds;
        std::vector<Conn*> who;
        while (!c_.stopping.load()) {
            fds.clear();
            who.clear();
            fds.push_back({c_.waker.fd(), POLLIN, 0});
            fds.push_back({listener_.get(), POLLIN, 0});
            Clock::time_point next = Clock::now() + std::chrono::minutes(1);
            for (Conn& conn : conns_) {
                short events = POLLIN;
                if (conn.sink && !conn.sink->empty()) events |= POLLOUT;
                fds.push_back({conn.fd.get(), events, 0});
                who.push_back(&conn);
                if (conn.role == Role::Pending || conn.role == Role::Closing) next = std::min(next, conn.deadline);
            }
            if (::poll(fds.data(), fds.size(), MillisecondsUntil(next)) < 0 && errno != EINTR) break;
            if (fds[0].revents) {
                c_.waker.Drain();
                TakeInbox();
            }
            if (fds[1].revents) AcceptAll();
            for (std::size_t i = 0; i < who.size(); ++i) {
                Conn& conn = *who[i];
                const short ev = fds[i + 2].revents;
                if (conn.dead || ev == 0) continue;
                if (ev & (POLLIN | POLLHUP | POLLERR)) OnReadable(conn);
                if (!conn.dead && (ev & POLLOUT)) OnWritable(conn);
            }
            Expire();
            Sweep();
        }
        Drain();
    }

private:
    // ---- The stream

    void TakeInbox() {
        for (InboxItem& item : c_.inbox.Take()) {
            if (item.snapshot) {
                snapshot_ = item.block->bytes.empty() ? nullptr : item.block;
                continue;
            }
            if (local_bytes_ == 0) local_start_ = MonotonicSeconds();
            local_bytes_ += item.block->bytes.size();
            Broadcast(local_mount_, item.block, snapshot_);
        }
    }

    void Broadcast(const std::string& mount, const BlockPtr& block, const BlockPtr& snapshot) {
        for (Conn& conn : conns_) {
            if (conn.dead || conn.role != Role::Client || conn.mount != mount) continue;
            switch (Deliver(*conn.sink, block, snapshot, c_.options)) {
            case Delivery::Ok:
                break;
            case Delivery::Broken:
                Drop(conn, Severity::Info, "connection lost");
                break;
            case Delivery::TooSlow:
                c_.counters.clients_dropped_slow.fetch_add(1, std::memory_order_relaxed);
                Drop(conn, Severity::Warning, "disconnected: it was more than " + SecondsText(c_.options.max_lag_s) +
                                                  " of the stream behind");
                break;
            }
        }
    }

    // ---- Connections

    void AcceptAll() {
        for (int n = 0; n < 64; ++n) {
            std::string peer;
            Fd fd = Accept(listener_.get(), &peer);
            if (!fd.valid()) return;
            if (!ntrip_) {
                if (Count(Role::Client) >= c_.options.max_clients) {
                    c_.counters.requests_refused.fetch_add(1, std::memory_order_relaxed);
                    Notice("refused " + peer + ": " + std::to_string(c_.options.max_clients) + " clients already");
                    continue;  // closed as fd goes
                }
                Conn& conn = conns_.emplace_back();
                conn.fd = std::move(fd);
                conn.peer = std::move(peer);
                StartClient(conn, "", false);
                continue;
            }
            // Connections that have not been served yet are bounded: the oldest goes first.
            if (Count(Role::Pending) + Count(Role::Closing) >= c_.options.max_pending) DropOldestUnserved();
            Conn& conn = conns_.emplace_back();
            conn.fd = std::move(fd);
            conn.peer = std::move(peer);
            conn.deadline = Clock::now() + Seconds(c_.options.request_timeout_s);
        }
    }

    void OnReadable(Conn& conn) {
        switch (conn.role) {
        case Role::Pending: return ReadRequest(conn);
        case Role::Source: return ReadSource(conn);
        case Role::Client:
        case Role::Closing: return Discard(conn);
        }
    }

    void OnWritable(Conn& conn) {
        if (!conn.sink->Flush()) return Drop(conn, Severity::Info, "connection lost");
        ShutWhenSent(conn);
    }

    // A rover may send its position (NMEA GGA) or nothing; what it sends is read and dropped.
    void Discard(Conn& conn) {
        uint8_t buf[4096];
        const ssize_t n = ::recv(conn.fd.get(), buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0 || (n < 0 && (errno == EAGAIN || errno == EINTR))) return;
        if (conn.role == Role::Closing) {
            conn.dead = true;
            return;
        }
        Drop(conn, Severity::Info, n == 0 ? "left" : "connection lost");
    }

    void ReadRequest(Conn& conn) {
        const std::size_t limit = c_.options.max_request_bytes;
        char buf[kReadChunk];
        const std::size_t want = std::min(sizeof buf, limit + 1 - std::min(limit, conn.request.size()));
        const ssize_t n = ::recv(conn.fd.get(), buf, want, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
        if (n <= 0) {
            conn.dead = true;  // gone before finishing its request
            return;
        }
        conn.request.append(buf, static_cast<std::size_t>(n));
        const RequestParse parse = ParseRequest(conn.request, limit);
        if (parse.status == ParseStatus::Incomplete) return;
        if (parse.status == ParseStatus::Invalid)
            return Refuse(conn, StatusResponse(parse.http_status, 1, ""), parse.reason);
        Serve(conn, parse.request, parse.header_size);
    }

    void Serve(Conn& conn, const Request& r, std::size_t header_size) {
        if (r.method == Method::Get) {
            if (r.mount.empty()) return Answer(conn, SourceTable(r.ntrip_version));
            const bool local = r.mount == local_mount_;
            if (!local && !relays_.count(r.mount)) {
                // NTRIP 1.0 rovers asking for an unknown mount point receive the source table.
                if (r.ntrip_version == 1) {
                    c_.counters.requests_refused.fetch_add(1, std::memory_order_relaxed);
                    return Answer(conn, SourceTable(1));
                }
                return Refuse(conn, StatusResponse(404, 2, ""), "no mount point /" + Printable(r.mount, 40));
            }
            if (!c_.endpoint.user.empty() &&
                !(r.has_credentials && SecretEquals(r.user, c_.endpoint.user) &&
                  SecretEquals(r.password, c_.endpoint.password)))
                return Refuse(conn, StatusResponse(401, r.ntrip_version, Realm(r.mount)),
                              r.has_credentials ? "wrong user or password" : "no credentials");
            if (Count(Role::Client) >= c_.options.max_clients)
                return Refuse(conn, StatusResponse(503, r.ntrip_version, ""),
                              std::to_string(c_.options.max_clients) + " clients already");
            conn.sink = std::make_unique<Sink>(conn.fd.get(), r.ntrip_version == 2, c_.counters);
            conn.sink->QueueHeader(MakeTextBlock(r.ntrip_version == 2 ? DataHeader() : kIcyOk));
            StartClient(conn, r.mount, r.ntrip_version == 2);
            return;
        }
        // A remote server pushing a stream.
        const int v = r.ntrip_version;
        if (c_.options.source_password.empty() || !SecretEquals(r.password, c_.options.source_password))
            return Refuse(conn, v == 2 ? StatusResponse(401, 2, Realm(r.mount)) : kBadPassword,
                          "server with a wrong password");
        if (!ValidMountName(r.mount) || r.mount == local_mount_ || relays_.count(r.mount))
            return Refuse(conn, v == 2 ? StatusResponse(409, 2, "") : kMountTaken,
                          "server for a mount point taken or invalid");
        if (Count(Role::Source) >= c_.options.max_sources)
            return Refuse(conn, v == 2 ? StatusResponse(503, 2, "") : kMountTaken,
                          std::to_string(c_.options.max_sources) + " servers already");
        conn.role = Role::Source;
        conn.mount = r.mount;
        conn.chunked = r.chunked;
        relays_[r.mount].str = r.str;
        const std::string ok = v == 2 ? "HTTP/1.1 200 OK\r\nNtrip-Version: Ntrip/2.0\r\nServer: " + c_.options.agent +
                                            "\r\nDate: " + HttpDate() + "\r\nConnection: close\r\n\r\n"
                                      : kIcyOk;
        if (!SendAll(conn, ok)) return Drop(conn, Severity::Info, "connection lost");
        c_.Say(Severity::Info, "server " + conn.peer + " feeds /" + conn.mount + " (NTRIP " + (v == 2 ? "2.0" : "1.0") + ")");
        // What came after the header already belongs to the stream.
        const std::string rest = conn.request.substr(header_size);
        conn.request.clear();
        conn.request.shrink_to_fit();
        if (!rest.empty()) Relayed(conn, reinterpret_cast<const uint8_t*>(rest.data()), rest.size());
    }

    void StartClient(Conn& conn, const std::string& mount, bool chunked) {
        if (!conn.sink) conn.sink = std::make_unique<Sink>(conn.fd.get(), chunked, c_.counters);
        conn.role = Role::Client;
        conn.mount = mount;
        conn.request.clear();
        conn.request.shrink_to_fit();
        SetNoDelay(conn.fd.get());
        c_.counters.clients_served.fetch_add(1, std::memory_order_relaxed);
        c_.Say(Severity::Info, "client " + conn.peer + " connected" + (ntrip_ ? " to /" + mount : std::string()) +
                                   (ntrip_ ? (chunked ? " (NTRIP 2.0)" : " (NTRIP 1.0)") : ""));
        // A stream that is not cut into epochs (a relayed one) starts at once.
        if (!ntrip_ || mount == local_mount_) return;
        conn.sink->waiting_for_epoch = false;
        if (!conn.sink->Flush()) Drop(conn, Severity::Info, "connection lost");
    }

    void ReadSource(Conn& conn) {
        uint8_t buf[kReadChunk];
        const ssize_t n = ::recv(conn.fd.get(), buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
        if (n <= 0) return Drop(conn, Severity::Info, n == 0 ? "ended its stream" : "connection lost");
        Relayed(conn, buf, static_cast<std::size_t>(n));
    }

    void Relayed(Conn& conn, const uint8_t* data, std::size_t size) {
        std::vector<uint8_t> bytes;
        if (conn.chunked) {
            if (!conn.chunks.Feed({data, size}, &bytes)) return Drop(conn, Severity::Warning, "sent malformed chunks");
        } else {
            bytes.assign(data, data + size);
        }
        const bool ended = conn.chunked && conn.chunks.finished();
        if (!bytes.empty()) Broadcast(conn.mount, MakeBlock(std::move(bytes), Kind::Raw, MonotonicSeconds()), nullptr);
        if (ended && !conn.dead) Drop(conn, Severity::Info, "ended its stream");
    }

    // ---- Answers that end a connection

    void Answer(Conn& conn, const std::string& response) {
        conn.role = Role::Closing;
        conn.deadline = Clock::now() + Seconds(c_.options.request_timeout_s);
        conn.sink = std::make_unique<Sink>(conn.fd.get(), false, c_.counters);
        conn.sink->QueueHeader(MakeTextBlock(response));
        conn.request.clear();
        OnWritable(conn);
    }

    void Refuse(Conn& conn, const std::string& response, const std::string& why) {
        c_.counters.requests_refused.fetch_add(1, std::memory_order_relaxed);
        Notice("refused " + conn.peer + ": " + why);
        Answer(conn, response);
    }

    // Once a last answer is out, our side is shut; the connection closes when the client
    // closes its side or the deadline passes (a close with unread input would reset it and
    // could lose the answer).
    void ShutWhenSent(Conn& conn) {
        if (conn.role != Role::Closing || conn.write_shut || !conn.sink->empty()) return;
        ::shutdown(conn.fd.get(), SHUT_WR);
        conn.write_shut = true;
    }

    bool SendAll(Conn& conn, const std::string& text) {
        std::size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = ::send(conn.fd.get(), text.data() + done, text.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;  // a fresh socket takes a short answer whole
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

    std::string StatusResponse(int status, int version, const std::string& extra) const {
        std::string text = (version == 2 ? "HTTP/1.1 " : "HTTP/1.0 ") + std::to_string(status) + " " +
                           StatusTextOf(status) + "\r\n";
        if (version == 2) text += "Ntrip-Version: Ntrip/2.0\r\n";
        text += "Server: " + c_.options.agent + "\r\nDate: " + HttpDate() + "\r\n" + extra +
                "Connection: close\r\nContent-Length: 0\r\n\r\n";
        return text;
    }

    static std::string Realm(const std::string& mount) {
        return "WWW-Authenticate: Basic realm=\"/" + Printable(mount, kMaxMountLength) + "\"\r\n";
    }

    std::string DataHeader() const {
        return "HTTP/1.1 200 OK\r\nNtrip-Version: Ntrip/2.0\r\nServer: " + c_.options.agent + "\r\nDate: " +
               HttpDate() +
               "\r\nCache-Control: no-store, no-cache, max-age=0\r\nPragma: no-cache\r\nConnection: close\r\n"
               "Content-Type: gnss/data\r\nTransfer-Encoding: chunked\r\n\r\n";
    }

    std::string SourceTable(int version) const {
        std::vector<std::string> lines;
        StationInfo info = c_.options.station;
        const double elapsed = MonotonicSeconds() - local_start_;
        if (info.bitrate == 0 && local_bytes_ > 0 && elapsed >= 1.0)
            info.bitrate = static_cast<int>(static_cast<double>(local_bytes_) * 8.0 / elapsed);
        lines.push_back(StrLine(local_mount_, info, !c_.endpoint.user.empty()));
        for (const auto& [mount, relay] : relays_) {
            const std::string own = Printable(relay.str, 500);
            if (own.rfind("STR;" + mount + ";", 0) == 0) {
                lines.push_back(own);
            } else {
                StationInfo relayed;
                relayed.format = "unknown";
                relayed.nav_system.clear();
                relayed.carrier = 0;
                relayed.generator.clear();
                lines.push_back(StrLine(mount, relayed, !c_.endpoint.user.empty()));
            }
        }
        const std::string body = SourceTableBody(lines);
        const std::string length = std::to_string(body.size());
        if (version == 2)
            return "HTTP/1.1 200 OK\r\nNtrip-Version: Ntrip/2.0\r\nServer: " + c_.options.agent + "\r\nDate: " +
                   HttpDate() + "\r\nConnection: close\r\nContent-Type: gnss/sourcetable\r\nContent-Length: " +
                   length + "\r\n\r\n" + body;
        return "SOURCETABLE 200 OK\r\nServer: " + c_.options.agent + "\r\nContent-Type: text/plain\r\nContent-Length: " +
               length + "\r\n\r\n" + body;
    }

    // ---- Ending connections

    void Drop(Conn& conn, Severity severity, const std::string& why) {
        if (conn.dead) return;
        conn.dead = true;
        if (conn.role == Role::Client)
            c_.Say(severity, "client " + conn.peer + (ntrip_ ? " of /" + conn.mount : std::string()) + " " + why);
        if (conn.role == Role::Source) {
            c_.Say(severity, "server " + conn.peer + " of /" + conn.mount + " " + why);
            EndRelay(conn.mount);
        }
    }

    // A mount point whose server is gone: its clients receive what they have queued, then close.
    void EndRelay(const std::string& mount) {
        relays_.erase(mount);
        for (Conn& conn : conns_) {
            if (conn.dead || conn.role != Role::Client || conn.mount != mount) continue;
            conn.sink->QueueEnd();
            conn.role = Role::Closing;
            conn.deadline = Clock::now() + Seconds(c_.options.request_timeout_s);
            OnWritable(conn);
        }
    }

    void DropOldestUnserved() {
        for (Conn& conn : conns_) {
            if (!conn.dead && (conn.role == Role::Pending || conn.role == Role::Closing)) {
                if (conn.role == Role::Pending) c_.counters.requests_refused.fetch_add(1, std::memory_order_relaxed);
                conn.dead = true;
                return;
            }
        }
    }

    void Expire() {
        const auto now = Clock::now();
        for (Conn& conn : conns_) {
            if (conn.dead || now < conn.deadline) continue;
            if (conn.role == Role::Pending) {
                c_.counters.requests_timed_out.fetch_add(1, std::memory_order_relaxed);
                Notice("dropped " + conn.peer + ": no complete request within " + SecondsText(c_.options.request_timeout_s));
                conn.dead = true;
            } else if (conn.role == Role::Closing) {
                conn.dead = true;
            }
        }
        if (now >= notice_window_end_) {
            if (notices_suppressed_ > 0)
                c_.Say(Severity::Info, std::to_string(notices_suppressed_) + " more connections refused or dropped");
            notices_suppressed_ = 0;
            notices_ = 0;
            notice_window_end_ = now + std::chrono::minutes(1);
        }
    }

    void Sweep() {
        conns_.remove_if([](const Conn& conn) { return conn.dead; });
        c_.counters.clients.store(Count(Role::Client));
        c_.counters.sources.store(Count(Role::Source));
    }

    // On Stop: the last blocks published, then a second at most for clients to take them.
    void Drain() {
        TakeInbox();
        for (Conn& conn : conns_)
            if (!conn.dead && conn.role == Role::Client) conn.sink->QueueEnd();
        const auto deadline = Clock::now() + Seconds(kDrainSeconds);
        std::vector<pollfd> fds;
        std::vector<Conn*> who;
        while (Clock::now() < deadline) {
            fds.clear();
            who.clear();
            for (Conn& conn : conns_) {
                if (conn.dead || conn.role != Role::Client || conn.sink->empty()) continue;
                fds.push_back({conn.fd.get(), POLLOUT, 0});
                who.push_back(&conn);
            }
            if (fds.empty()) break;
            if (::poll(fds.data(), fds.size(), MillisecondsUntil(deadline)) <= 0) break;
            for (std::size_t i = 0; i < fds.size(); ++i)
                if (fds[i].revents && !who[i]->sink->Flush()) who[i]->dead = true;
        }
        conns_.clear();
        relays_.clear();
        c_.counters.clients.store(0);
        c_.counters.sources.store(0);
    }

    // ---- Small helpers

    unsigned Count(Role role) const {
        return static_cast<unsigned>(
            std::count_if(conns_.begin(), conns_.end(), [role](const Conn& c) { return !c.dead && c.role == role; }));
    }

    void Notice(const std::string& text) {
        if (notices_ < kNoticesPerMinute) {
            ++notices_;
            c_.Say(Severity::Info, text);
        } else {
            ++notices_suppressed_;
        }
    }

    Context& c_;
    Fd listener_;
    bool ntrip_;
    uint16_t port_;
    std::string local_mount_;
    std::list<Conn> conns_;  // stable addresses while the poll loop holds pointers
    std::map<std::string, Relay> relays_;
    BlockPtr snapshot_;
    uint64_t local_bytes_ = 0;
    double local_start_ = 0.0;
    int notices_ = 0;
    uint64_t notices_suppressed_ = 0;
    Clock::time_point notice_window_end_ = Clock::now() + std::chrono::minutes(1);
};

}  // namespace

std::unique_ptr<Service> MakeTcpServer(Context& context, Fd listener) {
    return std::make_unique<Server>(context, std::move(listener), false);
}

std::unique_ptr<Service> MakeCaster(Context& context, Fd listener) {
    return std::make_unique<Server>(context, std::move(listener), true);
}

}  // namespace kestrel::net
