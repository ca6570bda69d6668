// SPDX-License-Identifier: BSD-2-Clause
// A network output of the live station: a raw TCP server, the built-in NTRIP caster, or a push
// to a remote caster (see endpoint.h for their URLs). Each output owns one thread with its own
// poll loop. The producer (the station's single decoding loop) hands it whole messages with
// Publish and the set a new client needs first with SetSnapshot; both copy and return at once,
// never waiting on a socket, a slow client or a lost caster.
//
// A client that connects mid-stream first receives the snapshot (the station messages and every
// ephemeris in force), then the stream from the next epoch on. A client whose unsent data
// exceed `max_lag_s` of the stream is disconnected; the stream and the other clients go on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "net/endpoint.h"
#include "net/ntrip.h"

namespace kestrel::net {

// What a published block holds, which decides where a new client may start.
enum class Kind : uint8_t {
    Epoch,    // one epoch's observation messages, whole: a new client's live stream starts here
    Message,  // a station message or an ephemeris (also in the snapshot): a new client that has
              // not had its first epoch yet skips it
    Raw,      // bytes of a stream without epochs: a new client starts at any block
};

enum class Severity : uint8_t { Info, Warning, Error };

// Called on the output's own thread. Texts never hold a password.
using MessageFn = std::function<void(Severity, const std::string&)>;

struct OutputOptions {
    std::string listen = "127.0.0.1";     // servers listen here unless their URL names an address
    unsigned max_clients = 16;            // clients served at once (caster: rovers; tcpsvr: all)
    std::size_t max_request_bytes = 4096; // a request header longer than this is refused
    double request_timeout_s = 10.0;      // a request header not complete by then is dropped
    unsigned max_pending = 32;            // connections still sending a request; the oldest goes first
    double max_lag_s = 5.0;               // seconds of the stream a client may have unsent (in our
                                          // queue or the kernel's send queue)
    std::size_t max_client_bytes = 1u << 20;  // and bytes, whatever the stream's time says
    std::size_t max_inbox_bytes = 8u << 20;   // published but not yet taken by the output's thread
    // Push: connecting and the caster's answer must take no longer; then retries back off from
    // the first delay, doubling, to the last.
    double connect_timeout_s = 10.0;
    double retry_first_s = 1.0;
    double retry_last_s = 30.0;
    // Caster: remote servers may push streams to other mount points with this password (any
    // user for NTRIP 2.0); empty: no server may push. At most `max_sources` at once.
    std::string source_password;
    unsigned max_sources = 4;
    StationInfo station;                  // the caster's STR record, and what a push announces
    std::string agent = "NTRIP Kestrel";  // User-Agent, Source-Agent and Server
    MessageFn on_message;
};

// Figures of an output, read from any thread.
struct OutputStats {
    uint64_t blocks_published = 0;
    uint64_t bytes_published = 0;
    uint64_t blocks_refused = 0;     // Publish found the inbox full (the output's thread stalled)
    uint64_t bytes_sent = 0;         // handed to sockets, all clients together
    unsigned clients = 0;            // served now (caster: rovers of every mount point)
    unsigned sources = 0;            // caster: remote servers pushing now
    uint64_t clients_served = 0;     // ever
    uint64_t clients_dropped_slow = 0;
    uint64_t requests_refused = 0;   // malformed, unauthorised, unknown mount, or too many clients
    uint64_t requests_timed_out = 0;
    std::size_t queued_bytes = 0;    // unsent, all clients together (blocks shared between
                                     // clients are counted once per client)
    std::size_t peak_queued_bytes = 0;
    bool connected = false;          // push: the caster accepted the stream
    uint64_t connections = 0;        // push: times the caster accepted it
    uint64_t connect_failures = 0;   // push
};

class Output {
public:
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;
    ~Output();  // stops the output

    // Copies `bytes` (whole messages) for every client. Never blocks. `stream_time_s` is the
    // data's own time (any origin, seconds), by which a client's lag is measured; without it,
    // the time of the call. False when the output's inbox is full or the output is stopped
    // (the block is then lost for every client and counted).
    bool Publish(std::span<const uint8_t> bytes, Kind kind,
                 double stream_time_s = std::numeric_limits<double>::quiet_NaN());

    // Replaces what a new client receives before its first epoch. Ordered with Publish: it
    // takes effect for clients that reach an epoch published after this call. Never blocks.
    void SetSnapshot(const std::vector<std::vector<uint8_t>>& messages);

    // Sends what clients still have queued (up to a second), closes every connection and joins
    // the thread. Publish after Stop is refused. Safe to call more than once.
    void Stop();

    OutputStats stats() const;
    uint16_t port() const;         // servers: the port listened on (the chosen one for port 0)
    const std::string& name() const;  // the URL with its password hidden

    struct Impl;

private:
    friend std::unique_ptr<Output> StartOutput(const Endpoint&, const OutputOptions&, std::string*);
    explicit Output(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// Starts the output's thread. Servers are listening when it returns: an address that cannot
// be bound or a port in use fails here (null, the reason in *error); a push connects on its
// thread and reports through on_message.
std::unique_ptr<Output> StartOutput(const Endpoint& endpoint, const OutputOptions& options, std::string* error);

}  // namespace kestrel::net
