// SPDX-License-Identifier: BSD-2-Clause
// Drives a decoder port in tests the way the conversion driver does, and records the
// messages a port sends to its callback.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kestrel/kestrel.h"
#include "kestrel/records.h"
#include "plugin/queued_record.h"

namespace kestrel::test {

// Fields of packed records are compared through copies: a reference to one may be misaligned.
template <typename T>
T Val(T field) {
    return field;
}

// One message as a port callback received it.
struct Message {
    double time;
    std::string text;
};

// Collects the messages sent to Callback() until the log is destroyed. One log at a time.
class MessageLog {
public:
    MessageLog();
    ~MessageLog();
    MessageLog(const MessageLog&) = delete;
    MessageLog& operator=(const MessageLog&) = delete;

    static void KESTREL_STDCALL Callback(double time, const char* text);
    const std::vector<Message>& messages() const { return messages_; }
    std::vector<std::string> texts() const;
    // Messages whose text starts with `prefix`.
    int Count(const std::string& prefix) const;
    void Clear() { messages_.clear(); }

private:
    std::vector<Message> messages_;
};

// One epoch as the driver drains it: the header and its observations (type 1 and 2),
// and the lock records (type 4) that the driver leaves in the queue.
struct DrainedEpoch {
    EpochHeader header;
    std::vector<SatObservation> observations;
    std::vector<SatLockInfo> lockInfo;
};

// Feeds bytes to an open port into a driver-sized ThreadBuf, as a session does, and keeps what
// the driver's draining rule reads after each positive result: an epoch when types 1 and 2 are
// both present, otherwise an ephemeris when type 3 is. With each epoch it also keeps the lock
// records (type 4) that the driver leaves in the queue.
class PortFeeder {
public:
    explicit PortFeeder(int32_t port = 0);

    void Feed(const std::vector<uint8_t>& bytes);
    // One byte, with its FeedByte result (kept in `results` when not 0).
    int32_t FeedOne(uint8_t byte);
    // The input has ended: collects what the bytes still waiting in the port give.
    void FeedEnd();

    void Collect(const uint8_t* threadBuf);

    std::vector<int32_t> results;  // non-zero FeedOne results, in order
    std::vector<DrainedEpoch> epochs;
    std::vector<GpsEphRecord> ephemerides;
    uint8_t* threadBuf() { return threadBuf_.data(); }

private:
    int32_t port_;
    std::vector<uint8_t> threadBuf_;
    QueuedRecord record_;
};

}  // namespace kestrel::test
