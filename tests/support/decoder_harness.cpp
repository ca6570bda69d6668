// SPDX-License-Identifier: BSD-2-Clause
#include "support/decoder_harness.h"

#include "navcom/frame_parser.h"
#include "threadbuf/threadbuf.h"

namespace kestrel::test {
namespace {

MessageLog* activeLog = nullptr;

}  // namespace

MessageLog::MessageLog() { activeLog = this; }
MessageLog::~MessageLog() {
    if (activeLog == this) activeLog = nullptr;
}

void KESTREL_STDCALL MessageLog::Callback(double time, const char* text) {
    if (activeLog != nullptr) activeLog->messages_.push_back({time, text ? text : ""});
}

std::vector<std::string> MessageLog::texts() const {
    std::vector<std::string> out;
    for (const auto& m : messages_) out.push_back(m.text);
    return out;
}

int MessageLog::Count(const std::string& prefix) const {
    int n = 0;
    for (const auto& m : messages_) n += m.text.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
}

PortFeeder::PortFeeder(int32_t port) : port_(port), threadBuf_(kThreadBufMemoryBytes, 0) {
    ResetThreadBuf(threadBuf_.data());
}

void PortFeeder::Feed(const std::vector<uint8_t>& bytes) {
    for (const uint8_t byte : bytes) {
        if (FeedByte(port_, byte, threadBuf_.data()) > 0) Collect(threadBuf_.data());
    }
}

void PortFeeder::FeedEnd() {
    while (FeedEndOfInput(port_, threadBuf_.data()) > 0) Collect(threadBuf_.data());
}

int32_t PortFeeder::FeedOne(uint8_t byte) {
    const int32_t r = FeedByte(port_, byte, threadBuf_.data());
    if (r != 0) results.push_back(r);
    if (r > 0) Collect(threadBuf_.data());
    return r;
}

void PortFeeder::Collect(const uint8_t* tb) {
    switch (ReadQueuedRecord(tb, record_)) {
        case QueuedRecord::kEpoch: {
            DrainedEpoch epoch{};
            epoch.header = record_.epoch;
            epoch.observations.assign(record_.observations, record_.observations + record_.observationCount);
            const int32_t locks = GetThreadBufRecCount(tb, KESTREL_TYPE_SAT_LOCK_INFO);
            if (locks > 0) {
                epoch.lockInfo.resize(static_cast<std::size_t>(locks));
                ReadThreadBufData(tb, KESTREL_TYPE_SAT_LOCK_INFO, locks, epoch.lockInfo.data());
            }
            epochs.push_back(std::move(epoch));
            break;
        }
        case QueuedRecord::kEphemeris:
            ephemerides.push_back(record_.ephemeris);
            break;
        case QueuedRecord::kNothing:
            break;
    }
}

}  // namespace kestrel::test
