// SPDX-License-Identifier: BSD-2-Clause
#include "live/receiver_commands.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "common/bytes.h"
#include "navcom/record_layout.h"

namespace kestrel::live {
namespace {

namespace frame = layout::frame;

constexpr uint8_t kActionRequest = 0x00;
constexpr uint8_t kOneBlock = 0x01;
constexpr uint8_t kLogicalPort = 0x02;
constexpr uint8_t kRequestTail[] = {0x71, 0x00, 0x00, 0x00};  // as gpsd sends it; meaning not public

// Body offsets of a Data Request.
constexpr std::size_t kRequestRecordAt = 2;
constexpr std::size_t kRequestRateAt = 4;
constexpr std::size_t kRequestBodyBytes = 10;

// Frames the body, computes the checksum and adds the closing byte.
std::vector<uint8_t> Framed(uint8_t id, const std::vector<uint8_t>& body) {
    const std::size_t checksumAt = frame::kBodyOffset + body.size();
    std::vector<uint8_t> f(checksumAt + 2);
    std::copy_n(frame::kSync, frame::kSyncBytes, f.begin());
    f[frame::kIdOffset] = id;
    put_le16(f.data() + frame::kLengthOffset, static_cast<uint16_t>(frame::LengthOfBody(static_cast<int>(body.size()))));
    std::copy(body.begin(), body.end(), f.begin() + frame::kBodyOffset);
    uint8_t sum = 0;
    for (std::size_t i = frame::kChecksumFrom; i < checksumAt; ++i) sum ^= f[i];
    f[checksumAt] = sum;
    f[checksumAt + 1] = kFrameTrailer;
    return f;
}

}  // namespace

std::vector<uint8_t> DataRequest(uint8_t record, uint16_t rate) {
    std::vector<uint8_t> body = {kActionRequest, kOneBlock, record, kLogicalPort, 0, 0};
    put_le16(body.data() + kRequestRateAt, rate);
    body.insert(body.end(), std::begin(kRequestTail), std::end(kRequestTail));
    return Framed(kDataRequestId, body);
}

std::optional<DataRequestFields> ReadDataRequest(const ScannedFrame& f) {
    if (f.id() != kDataRequestId || f.body().size() != kRequestBodyBytes) return std::nullopt;
    const auto body = f.body();
    return DataRequestFields{body[kRequestRecordAt], le_u16(body.data() + kRequestRateAt)};
}

std::optional<Reply> ReadReply(const ScannedFrame& f) {
    if ((f.id() != kAcknowledgeId && f.id() != kRefusalId) || f.body().empty()) return std::nullopt;
    return Reply{f.id() == kAcknowledgeId, f.body()[0]};
}

std::vector<uint8_t> AcknowledgeFrame(uint8_t command, uint8_t port) {
    return Framed(kAcknowledgeId, {command, port});
}

std::vector<uint8_t> RefusalFrame(uint8_t command, uint8_t errorId, uint8_t errorText, uint8_t port) {
    return Framed(kRefusalId, {command, errorId, errorText, port});
}

std::optional<uint16_t> RateWord(double hz) {
    if (!(hz > 0.0) || !std::isfinite(hz)) return std::nullopt;
    const double tenths = 10.0 / hz;
    const double whole = std::round(tenths);
    if (std::fabs(tenths - whole) > 1e-9 * whole || whole < 1.0 || whole > kLongestRate) return std::nullopt;
    return static_cast<uint16_t>(whole);
}

std::vector<RecordRequest> SetUpRequests(std::optional<uint16_t> epochRate) {
    const uint16_t rate = epochRate.value_or(kRateEveryEpoch);
    return {
        {0xAE, kRateOnce, "identification (0xAE)"},
        {layout::ephemeris::kId, kRateOnce, "EPHEMERIS (0x81) once"},
        {layout::ephemeris::kId, kRateEveryEpoch, "EPHEMERIS (0x81) on change"},
        {layout::measurement::kId, rate, "MEASUREMENT (0xB0)"},
        {0xB1, rate, "PVT (0xB1)"},
    };
}

std::vector<uint8_t> ReceiverSetUp::NextRequest() const {
    if (state_ != State::kSend) return {};
    return DataRequest(requests_[next_].record, requests_[next_].rate);
}

void ReceiverSetUp::Sent(double nowS) {
    if (state_ != State::kSend) return;
    state_ = State::kWaiting;
    deadlineS_ = nowS + timeoutS_;
}

void ReceiverSetUp::OnFrame(const ScannedFrame& frame) {
    if (state_ != State::kWaiting) return;
    const std::optional<Reply> reply = ReadReply(frame);
    if (!reply || reply->command != kDataRequestId) return;
    if (!reply->accepted) {
        Fail("refused the request for");
        return;
    }
    if (++next_ == requests_.size()) {
        state_ = State::kDone;
    } else {
        state_ = State::kSend;
    }
}

void ReceiverSetUp::OnTime(double nowS) {
    if (state_ == State::kWaiting && nowS >= deadlineS_) {
        char how[96];
        std::snprintf(how, sizeof how, "did not acknowledge within %g s the request for", timeoutS_);
        Fail(how);
    }
}

void ReceiverSetUp::Fail(const char* how) {
    state_ = State::kFailed;
    failure_ = std::string("the receiver ") + how + " " + requests_[next_].what;
}

}  // namespace kestrel::live
