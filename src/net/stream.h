// SPDX-License-Identifier: BSD-2-Clause
// The parts every network output shares, private to src/net: published blocks, the inbox
// between the producer and the output's thread, one client's send queue (a Sink), the rule by
// which a client joins the stream and is dropped when too far behind, and the figures.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "net/output.h"
#include "net/socket.h"

namespace kestrel::net {

using Clock = std::chrono::steady_clock;

// Seconds on the monotonic clock, the stream time of blocks published without one.
double MonotonicSeconds();

// One published block, shared by the send queues of every client until all have sent it.
struct Block {
    std::vector<uint8_t> bytes;
    Kind kind = Kind::Raw;
    double time = 0.0;  // the stream's time of the block, seconds
};
using BlockPtr = std::shared_ptr<const Block>;

BlockPtr MakeBlock(std::vector<uint8_t> bytes, Kind kind, double time);
BlockPtr MakeTextBlock(const std::string& text);

// The figures of an output, written by its thread and read by any.
struct Counters {
    std::atomic<uint64_t> blocks_published{0}, bytes_published{0}, blocks_refused{0}, bytes_sent{0};
    std::atomic<unsigned> clients{0}, sources{0};
    std::atomic<uint64_t> clients_served{0}, clients_dropped_slow{0}, requests_refused{0}, requests_timed_out{0};
    std::atomic<std::size_t> queued_bytes{0}, peak_queued_bytes{0};
    std::atomic<bool> connected{false};
    std::atomic<uint64_t> connections{0}, connect_failures{0};

    void AddQueued(std::size_t n);
    void SubQueued(std::size_t n) { queued_bytes.fetch_sub(n, std::memory_order_relaxed); }
    OutputStats Read() const;
};

// What the producer hands the output's thread: a block, or a new snapshot.
struct InboxItem {
    BlockPtr block;
    bool snapshot = false;
};

class Inbox {
public:
    // False when the inbox is closed or would hold more than `limit` bytes.
    bool Push(InboxItem item, std::size_t limit);
    std::vector<InboxItem> Take();
    void Close();

private:
    std::mutex mutex_;
    std::vector<InboxItem> items_;
    std::size_t bytes_ = 0;
    bool closed_ = false;
};

// What a service's thread shares with the Output object.
struct Context {
    Endpoint endpoint;
    OutputOptions options;
    std::string name;  // endpoint.Redacted()
    Inbox inbox;
    Waker waker;
    Counters counters;
    std::atomic<bool> stopping{false};

    void Say(Severity severity, const std::string& text) const;
};

// One client's unsent data, written to its non-blocking socket as it takes them. NTRIP 2.0
// clients receive each block as one chunk.
class Sink {
public:
    Sink(int fd, bool chunked, Counters& counters) : fd_(fd), chunked_(chunked), counters_(counters) {}
    ~Sink();
    Sink(const Sink&) = delete;
    Sink& operator=(const Sink&) = delete;

    // Queues a block without chunk framing (a response header) or as the stream's data.
    void QueueHeader(const BlockPtr& block);
    void Queue(const BlockPtr& block, double time);
    // Ends a chunked stream with the last chunk; nothing for a raw one.
    void QueueEnd();
    // Writes what the socket takes now. False on a socket error (the client is gone).
    bool Flush();

    bool empty() const { return queue_.empty(); }
    std::size_t queued() const { return queued_; }
    bool chunked() const { return chunked_; }
    // The stream time of the oldest byte not yet sent to the client, counting what waits
    // untransmitted in the kernel's send queue as well as in ours; false when all has gone.
    bool OldestUnsent(double* time);

    bool waiting_for_epoch = true;  // has not received its first epoch (and the snapshot)

private:
    struct Piece {
        BlockPtr block;
        double time = 0.0;
        std::size_t offset = 0;  // bytes of this piece already written
        std::size_t size = 0;    // header + data + trailer
        uint8_t header_size = 0;
        char header[20] = {};    // chunk size line, when chunked
        bool trailer = false;
    };
    void Push(Piece piece);

    // Where each piece handed to the kernel ends in the connection's byte count, and its time.
    struct Mark {
        uint64_t end;
        double time;
    };

    int fd_;
    bool chunked_;
    Counters& counters_;
    std::deque<Piece> queue_;
    std::size_t queued_ = 0;
    uint64_t written_ = 0;  // bytes handed to the kernel
    std::deque<Mark> in_kernel_;
};

enum class Delivery : uint8_t { Ok, Broken, TooSlow };

// Hands one block to one client: a client that has not had its first epoch skips Message
// blocks, and receives the snapshot just before its first Epoch or Raw block. Then writes what
// the socket takes, and says whether the client is to be dropped: its socket failed, or its
// unsent data span more than max_lag_s of the stream or exceed max_client_bytes.
Delivery Deliver(Sink& sink, const BlockPtr& block, const BlockPtr& snapshot, const OutputOptions& options);

// The date of an HTTP response ("Tue, 15 Nov 1994 08:12:31 GMT"), from the system clock.
std::string HttpDate();

// poll() timeout in milliseconds until `deadline` (0 when past; at most a minute).
int MillisecondsUntil(Clock::time_point deadline);

Clock::duration Seconds(double seconds);
// "5 s", "0.5 s": a duration of the options as messages show it.
std::string SecondsText(double seconds);

// A service runs an output's poll loop on its thread until Context::stopping.
class Service {
public:
    virtual ~Service() = default;
    virtual void Run() = 0;
    virtual uint16_t port() const { return 0; }
};

std::unique_ptr<Service> MakeTcpServer(Context& context, Fd listener);
std::unique_ptr<Service> MakeCaster(Context& context, Fd listener);
std::unique_ptr<Service> MakePush(Context& context);

}  // namespace kestrel::net
