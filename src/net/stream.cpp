// SPDX-License-Identifier: BSD-2-Clause
#include "net/stream.h"

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace kestrel::net {

double MonotonicSeconds() {
    return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

BlockPtr MakeBlock(std::vector<uint8_t> bytes, Kind kind, double time) {
    auto block = std::make_shared<Block>();
    block->bytes = std::move(bytes);
    block->kind = kind;
    block->time = time;
    return block;
}

BlockPtr MakeTextBlock(const std::string& text) {
    return MakeBlock(std::vector<uint8_t>(text.begin(), text.end()), Kind::Raw, MonotonicSeconds());
}

void Counters::AddQueued(std::size_t n) {
    const std::size_t now = queued_bytes.fetch_add(n, std::memory_order_relaxed) + n;
    std::size_t peak = peak_queued_bytes.load(std::memory_order_relaxed);
    while (now > peak && !peak_queued_bytes.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
    }
}

OutputStats Counters::Read() const {
    OutputStats s;
    s.blocks_published = blocks_published.load();
    s.bytes_published = bytes_published.load();
    s.blocks_refused = blocks_refused.load();
    s.bytes_sent = bytes_sent.load();
    s.clients = clients.load();
    s.sources = sources.load();
    s.clients_served = clients_served.load();
    s.clients_dropped_slow = clients_dropped_slow.load();
    s.requests_refused = requests_refused.load();
    s.requests_timed_out = requests_timed_out.load();
    s.queued_bytes = queued_bytes.load();
    s.peak_queued_bytes = peak_queued_bytes.load();
    s.connected = connected.load();
    s.connections = connections.load();
    s.connect_failures = connect_failures.load();
    return s;
}

bool Inbox::Push(InboxItem item, std::size_t limit) {
    const std::size_t size = item.block->bytes.size();
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_ || bytes_ + size > limit) return false;
    bytes_ += size;
    items_.push_back(std::move(item));
    return true;
}

std::vector<InboxItem> Inbox::Take() {
    std::vector<InboxItem> items;
    std::lock_guard<std::mutex> lock(mutex_);
    items.swap(items_);
    bytes_ = 0;
    return items;
}

void Inbox::Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
}

void Context::Say(Severity severity, const std::string& text) const {
    if (options.on_message) options.on_message(severity, name + ": " + text);
}

Sink::~Sink() { counters_.SubQueued(queued_); }

void Sink::Push(Piece piece) {
    queued_ += piece.size;
    counters_.AddQueued(piece.size);
    queue_.push_back(std::move(piece));
}

void Sink::QueueHeader(const BlockPtr& block) {
    Piece piece;
    piece.block = block;
    piece.time = block->time;
    piece.size = block->bytes.size();
    Push(std::move(piece));
}

void Sink::Queue(const BlockPtr& block, double time) {
    if (block->bytes.empty()) return;  // an empty chunk would end a chunked stream
    Piece piece;
    piece.block = block;
    piece.time = time;
    piece.size = block->bytes.size();
    if (chunked_) {
        const std::string header = ChunkHeader(block->bytes.size());
        piece.header_size = static_cast<uint8_t>(header.size());
        std::memcpy(piece.header, header.data(), header.size());
        piece.trailer = true;
        piece.size += header.size() + kChunkTrailer.size();
    }
    Push(std::move(piece));
}

void Sink::QueueEnd() {
    if (!chunked_) return;
    Piece piece;
    piece.time = queue_.empty() ? MonotonicSeconds() : queue_.back().time;
    piece.header_size = static_cast<uint8_t>(kLastChunk.size());
    std::memcpy(piece.header, kLastChunk.data(), kLastChunk.size());
    piece.size = kLastChunk.size();
    Push(std::move(piece));
}

bool Sink::Flush() {
    constexpr std::size_t kMaxIov = 48;
    while (!queue_.empty()) {
        iovec iov[kMaxIov];
        std::size_t count = 0;
        for (std::size_t p = 0; p < queue_.size() && count + 3 <= kMaxIov; ++p) {
            const Piece& piece = queue_[p];
            const std::size_t data_size = piece.block ? piece.block->bytes.size() : 0;
            // The piece is its chunk header, its data and its trailer, less what went already.
            std::size_t skip = piece.offset;
            const auto add = [&](const void* base, std::size_t size) {
                if (skip >= size) {
                    skip -= size;
                    return;
                }
                iov[count].iov_base = const_cast<char*>(static_cast<const char*>(base) + skip);
                iov[count].iov_len = size - skip;
                skip = 0;
                ++count;
            };
            add(piece.header, piece.header_size);
            if (data_size) add(piece.block->bytes.data(), data_size);
            if (piece.trailer) add(kChunkTrailer.data(), kChunkTrailer.size());
        }
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = count;
        const ssize_t n = ::sendmsg(fd_, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        auto left = static_cast<std::size_t>(n);
        counters_.bytes_sent.fetch_add(left, std::memory_order_relaxed);
        queued_ -= left;
        counters_.SubQueued(left);
        while (left > 0) {
            Piece& front = queue_.front();
            const std::size_t rest = front.size - front.offset;
            if (left < rest) {
                front.offset += left;
                written_ += left;
                left = 0;
            } else {
                left -= rest;
                written_ += rest;
                in_kernel_.push_back({written_, front.time});
                queue_.pop_front();
            }
        }
    }
    return true;
}

bool Sink::OldestUnsent(double* time) {
    // Bytes the kernel holds but has not transmitted: a client that does not read closes its
    // window and they stay there. (Transmitted bytes awaiting their acknowledgement are on
    // their way: delayed acknowledgements would make a reading client look slow.)
    int untransmitted = 0;
    if (::ioctl(fd_, SIOCOUTQNSD, &untransmitted) != 0) untransmitted = 0;
    const uint64_t transmitted = written_ - std::min<uint64_t>(written_, static_cast<uint64_t>(untransmitted));
    while (!in_kernel_.empty() && in_kernel_.front().end <= transmitted) in_kernel_.pop_front();
    if (!in_kernel_.empty()) {
        *time = in_kernel_.front().time;
        return true;
    }
    if (!queue_.empty()) {
        *time = queue_.front().time;
        return true;
    }
    return false;
}

Delivery Deliver(Sink& sink, const BlockPtr& block, const BlockPtr& snapshot, const OutputOptions& options) {
    if (sink.waiting_for_epoch) {
        if (block->kind == Kind::Message) return Delivery::Ok;
        sink.waiting_for_epoch = false;
        if (snapshot) sink.Queue(snapshot, block->time);
    }
    sink.Queue(block, block->time);
    if (!sink.Flush()) return Delivery::Broken;
    if (sink.queued() > options.max_client_bytes) return Delivery::TooSlow;
    double oldest = 0.0;
    if (sink.OldestUnsent(&oldest) && block->time - oldest > options.max_lag_s) return Delivery::TooSlow;
    return Delivery::Ok;
}

std::string HttpDate() {
    static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char buf[40];
    std::snprintf(buf, sizeof buf, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[tm.tm_wday % 7], tm.tm_mday,
                  kMonths[tm.tm_mon % 12], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

int MillisecondsUntil(Clock::time_point deadline) {
    const auto now = Clock::now();
    if (deadline <= now) return 0;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
    return static_cast<int>(std::min<long long>(ms, 60000));
}

Clock::duration Seconds(double seconds) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

std::string SecondsText(double seconds) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g s", seconds);
    return buf;
}

}  // namespace kestrel::net
