// SPDX-License-Identifier: BSD-2-Clause
#include "live/frame_scanner.h"

#include <cstring>

#include "common/bytes.h"
#include "navcom/frame_parser.h"
#include "navcom/port_state.h"
#include "navcom/record_layout.h"

namespace kestrel::live {
namespace {

namespace frame = layout::frame;

constexpr std::size_t kHeaderBytes = frame::kBodyOffset;  // sync, id and length
constexpr int32_t kShortestFrame = frame::kFrameOverhead;

enum class Verdict { kFrame, kNotFrame, kWaiting };

// Decides the candidate at `p` (its three sync bytes present) with `available` bytes of the
// stream from it on; `length` receives the frame length of a frame.
Verdict Judge(const uint8_t* p, std::size_t available, int32_t& length, bool& decoded) {
    if (available < kHeaderBytes) return Verdict::kWaiting;
    const uint16_t lengthField = le_u16(p + frame::kLengthOffset);
    const RecordDef* def = FindRecordDef(p[frame::kIdOffset]);
    decoded = def != nullptr;
    if (def != nullptr) {
        length = FrameLengthByRule(*def, lengthField);
        if (length == 0) return Verdict::kNotFrame;
        const int32_t countAt = CountCheckAt(*def);
        if (countAt > 0 && available >= static_cast<std::size_t>(countAt) && !CountRuleHolds(*def, p, length)) {
            return Verdict::kNotFrame;
        }
    } else {
        length = frame::FrameBytes(lengthField);
        if (length < kShortestFrame || length > kFrameBufferBytes) return Verdict::kNotFrame;
    }
    if (available < static_cast<std::size_t>(length)) return Verdict::kWaiting;
    return VerifyChecksum(p, length) ? Verdict::kFrame : Verdict::kNotFrame;
}

}  // namespace

void FrameScanner::Feed(std::span<const uint8_t> bytes, const FrameFn& onFrame) {
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
    Scan(false, onFrame);
}

void FrameScanner::End(const FrameFn& onFrame) { Scan(true, onFrame); }

void FrameScanner::Scan(bool ended, const FrameFn& onFrame) {
    const uint8_t* data = buffer_.data();
    const std::size_t size = buffer_.size();
    std::size_t i = 0;
    while (i < size) {
        const void* sync = std::memchr(data + i, frame::kSync[0], size - i);
        if (sync == nullptr) {
            i = size;
            break;
        }
        i = static_cast<std::size_t>(static_cast<const uint8_t*>(sync) - data);
        const std::size_t available = size - i;
        // The sync bytes after the first, as far as they have come.
        bool synced = true;
        for (int k = 1; k < frame::kSyncBytes && synced; ++k) {
            if (static_cast<std::size_t>(k) < available && data[i + k] != frame::kSync[k]) synced = false;
        }
        if (!synced) {
            ++i;
            continue;
        }
        int32_t length = 0;
        bool decoded = false;
        const Verdict verdict = Judge(data + i, available, length, decoded);
        if (verdict == Verdict::kWaiting && !ended) break;
        if (verdict != Verdict::kFrame) {
            ++i;
            continue;
        }
        ++frames_;
        onFrame(ScannedFrame{base_ + i, std::span<const uint8_t>(data + i, static_cast<std::size_t>(length)), decoded});
        i += decoded ? static_cast<std::size_t>(length) : 1;
    }
    // Bytes before the search point can no longer start a frame.
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(i));
    base_ += i;
}

}  // namespace kestrel::live
