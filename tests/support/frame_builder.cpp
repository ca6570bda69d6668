// SPDX-License-Identifier: BSD-2-Clause
#include "support/frame_builder.h"

#include <algorithm>

#include "common/bytes.h"
#include "navcom/record_layout.h"

namespace kestrel::test {

namespace frame = layout::frame;
namespace measurement = layout::measurement;
namespace block = layout::block;
namespace phase_word = layout::phase_word;
namespace ephemeris = layout::ephemeris;

std::vector<uint8_t> MakeFrameWithLength(uint8_t id, uint16_t length, const std::vector<uint8_t>& body) {
    std::vector<uint8_t> bytes(frame::kFrameOverhead + body.size());
    std::copy(frame::kSync, frame::kSync + frame::kSyncBytes, bytes.begin());
    bytes[frame::kIdOffset] = id;
    put_le16(&bytes[frame::kLengthOffset], length);
    std::copy(body.begin(), body.end(), bytes.begin() + frame::kBodyOffset);
    uint8_t checksum = 0;
    for (std::size_t i = frame::kChecksumFrom; i + 1 < bytes.size(); ++i) checksum ^= bytes[i];
    bytes.back() = checksum;
    return bytes;
}

std::vector<uint8_t> MakeFrame(uint8_t id, const std::vector<uint8_t>& body) {
    return MakeFrameWithLength(id, static_cast<uint16_t>(frame::LengthOfBody(static_cast<int>(body.size()))), body);
}

std::array<uint8_t, kBlockBytes> SatBlock::Encode() const {
    std::array<uint8_t, kBlockBytes> b{};
    b[block::kStatusOffset] = static_cast<uint8_t>((valid ? block::kValid : 0) | (p1Delta ? block::kHasP1 : 0) |
                                                   (l2 ? block::kHasL2 : 0) | (prn & block::kPrnMask));
    b[block::kStrengthOffset] = static_cast<uint8_t>(strengthCode << block::kStrengthShift);
    put_le32(&b[block::kCaRangeOffset], caRange);
    put_le24(&b[block::kL1PhaseOffset], phase_word::Pack(l1Offset, l1Lock));
    if (p1Delta) put_le16(&b[block::kP1DeltaOffset], static_cast<uint16_t>(*p1Delta));
    if (l2) {
        put_le16(&b[block::kP2DeltaOffset], static_cast<uint16_t>(p2Delta));
        put_le24(&b[block::kL2PhaseOffset], phase_word::Pack(l2Offset, l2Lock));
    }
    return b;
}

MeasurementFrame& MeasurementFrame::Sat(const SatBlock& block) { return Raw(block.Encode()); }

MeasurementFrame& MeasurementFrame::Raw(const std::array<uint8_t, kBlockBytes>& block) {
    blocks_.push_back(block);
    return *this;
}

MeasurementFrame& MeasurementFrame::CountHighNibble(uint8_t nibble) {
    highNibble_ = static_cast<uint8_t>(nibble & 0x0F);
    return *this;
}

MeasurementFrame& MeasurementFrame::Week(uint16_t week) {
    week_ = week;
    return *this;
}

std::vector<uint8_t> MeasurementFrame::Bytes() const {
    // Body up to the blocks: the week (0 unless set), the time, one unread byte, the count.
    std::vector<uint8_t> body(frame::BodyIndex(measurement::kFirstBlockOffset), 0);
    put_le16(&body[frame::BodyIndex(measurement::kWeekOffset)], week_);
    put_le32(&body[frame::BodyIndex(measurement::kTimeOffset)], timeMs_);
    body[frame::BodyIndex(measurement::kCountOffset)] =
        static_cast<uint8_t>((highNibble_ << 4) | (blocks_.size() & measurement::kCountMask));
    for (const auto& b : blocks_) body.insert(body.end(), b.begin(), b.end());
    return MakeFrame(measurement::kId, body);
}

std::vector<uint8_t> EphemerisFrame(uint8_t prn, uint32_t timeValue,
                                    const std::array<uint8_t, kPayloadBytes>& payload) {
    // Body up to the payload: PRN, the week and the IODC copy (left 0), the time value; then
    // the payload and one unread byte.
    std::vector<uint8_t> body(frame::BodyIndex(ephemeris::kPayloadOffset), 0);
    body[frame::BodyIndex(ephemeris::kPrnOffset)] = prn;
    put_le32(&body[frame::BodyIndex(ephemeris::kTimeOffset)], timeValue);
    body.insert(body.end(), payload.begin(), payload.end());
    body.resize(frame::BodyIndex(ephemeris::kFrameBytes - 1), 0);
    return MakeFrame(ephemeris::kId, body);
}

std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

std::vector<FoundFrame> FindFrames(const std::vector<uint8_t>& log) {
    std::vector<FoundFrame> frames;
    std::size_t i = 0;
    const auto at = [&log](std::size_t offset) { return log.begin() + static_cast<std::ptrdiff_t>(offset); };
    while (i + frame::kBodyOffset <= log.size()) {
        if (!std::equal(frame::kSync, frame::kSync + frame::kSyncBytes, at(i))) {
            ++i;
            continue;
        }
        const auto length = static_cast<std::size_t>(frame::FrameBytes(le_u16(&log[i + frame::kLengthOffset])));
        if (i + length > log.size()) break;
        FoundFrame f;
        f.offset = i;
        f.id = log[i + frame::kIdOffset];
        f.bytes.assign(at(i), at(i + length));
        uint8_t checksum = 0;
        for (std::size_t k = frame::kChecksumFrom; k + 1 < length; ++k) checksum ^= f.bytes[k];
        f.checksumOk = length > frame::kBodyOffset && checksum == f.bytes.back();
        frames.push_back(std::move(f));
        i += length;
    }
    return frames;
}

std::vector<std::vector<uint8_t>> SplitFrames(const std::vector<uint8_t>& log) {
    std::vector<std::vector<uint8_t>> frames;
    for (std::size_t i = 0; i + 6 <= log.size();) {
        const std::size_t length = (log[i + 4] | (log[i + 5] << 8)) + 3u;
        frames.emplace_back(log.begin() + static_cast<std::ptrdiff_t>(i),
                            log.begin() + static_cast<std::ptrdiff_t>(std::min(i + length, log.size())));
        i += length;
    }
    return frames;
}

std::vector<uint8_t> JoinFrames(const std::vector<std::vector<uint8_t>>& frames) {
    std::vector<uint8_t> out;
    for (const auto& f : frames) out.insert(out.end(), f.begin(), f.end());
    return out;
}

void Reseal(std::vector<uint8_t>& frame) {
    uint8_t x = 0;
    for (std::size_t i = 3; i + 1 < frame.size(); ++i) x ^= frame[i];
    frame.back() = x;
}

}  // namespace kestrel::test
