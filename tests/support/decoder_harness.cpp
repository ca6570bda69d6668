#include "support/decoder_harness.h"

#include "common/bytes.h"
#include "navcom/frame_parser.h"
#include "threadbuf/threadbuf.h"

namespace kestrel::test {
namespace {

MessageLog* activeLog = nullptr;

constexpr int32_t kDriverObservationCapacity = 24;

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
    for (uint8_t b : bytes) FeedOne(b);
}

void PortFeeder::FeedEnd() {
    for (;;) {
        const int32_t r = FeedEndOfInput(port_, threadBuf_.data());
        if (r <= 0) return;
        Collect(r);
    }
}

int32_t PortFeeder::FeedOne(uint8_t byte) { return Collect(FeedByte(port_, byte, threadBuf_.data())); }

int32_t PortFeeder::Collect(int32_t r) {
    if (r != 0) results.push_back(r);
    if (r <= 0) return r;
    const uint8_t* tb = threadBuf_.data();
    if (GetThreadBufRecCount(tb, KESTREL_TYPE_EPOCH_HEADER) != 0 &&
        GetThreadBufRecCount(tb, KESTREL_TYPE_SAT_OBSERVATION) != 0) {
        DrainedEpoch epoch{};
        if (ReadThreadBufData(tb, KESTREL_TYPE_EPOCH_HEADER, 1, &epoch.header) == 0) return r;
        epoch.observations.resize(kDriverObservationCapacity);
        const int32_t n = ReadThreadBufData(tb, KESTREL_TYPE_SAT_OBSERVATION, kDriverObservationCapacity,
                                            epoch.observations.data());
        if (n == 0) return r;
        epoch.observations.resize(static_cast<std::size_t>(n));
        const int32_t locks = GetThreadBufRecCount(tb, KESTREL_TYPE_SAT_LOCK_INFO);
        if (locks > 0) {
            epoch.lockInfo.resize(static_cast<std::size_t>(locks));
            ReadThreadBufData(tb, KESTREL_TYPE_SAT_LOCK_INFO, locks, epoch.lockInfo.data());
        }
        epochs.push_back(std::move(epoch));
    } else if (GetThreadBufRecCount(tb, KESTREL_TYPE_GPS_EPHEMERIS) != 0) {
        uint8_t record[184] = {};
        if (ReadThreadBufData(tb, KESTREL_TYPE_GPS_EPHEMERIS, 1, record) == 0) return r;
        GpsEphRecord eph;
        load_record(eph, record);
        ephemerides.push_back(eph);
    }
    return r;
}

}  // namespace kestrel::test
