#include "support/frame_builder.h"

#include <algorithm>

#include "common/bytes.h"

namespace kestrel::test {

std::vector<uint8_t> MakeFrameWithLength(uint8_t id, uint16_t length, const std::vector<uint8_t>& body) {
    std::vector<uint8_t> frame = {0x02, 0x99, 0x66, id, 0, 0};
    put_le16(&frame[4], length);
    frame.insert(frame.end(), body.begin(), body.end());
    uint8_t checksum = 0;
    for (std::size_t i = 3; i < frame.size(); ++i) checksum ^= frame[i];
    frame.push_back(checksum);
    return frame;
}

std::vector<uint8_t> MakeFrame(uint8_t id, const std::vector<uint8_t>& body) {
    return MakeFrameWithLength(id, static_cast<uint16_t>(body.size() + 4), body);
}

std::array<uint8_t, 16> SatBlock::Encode() const {
    std::array<uint8_t, 16> b{};
    b[0] = static_cast<uint8_t>((valid ? 0x80 : 0) | (p1Delta ? 0x40 : 0) | (l2 ? 0x20 : 0) | (prn & 0x1F));
    b[1] = static_cast<uint8_t>((strengthCode & 0x0F) << 4);
    put_le32(&b[2], caRange);
    put_le24(&b[6], ((static_cast<uint32_t>(l1Offset) & 0xFFFFF) << 4) | (l1Lock & 0x0F));
    if (p1Delta) put_le16(&b[9], static_cast<uint16_t>(*p1Delta));
    if (l2) {
        put_le16(&b[11], static_cast<uint16_t>(p2Delta));
        put_le24(&b[13], ((static_cast<uint32_t>(l2Offset) & 0xFFFFF) << 4) | (l2Lock & 0x0F));
    }
    return b;
}

MeasurementFrame& MeasurementFrame::Sat(const SatBlock& block) { return Raw(block.Encode()); }

MeasurementFrame& MeasurementFrame::Raw(const std::array<uint8_t, 16>& block) {
    blocks_.push_back(block);
    return *this;
}

MeasurementFrame& MeasurementFrame::CountHighNibble(uint8_t nibble) {
    highNibble_ = static_cast<uint8_t>(nibble & 0x0F);
    return *this;
}

std::vector<uint8_t> MeasurementFrame::Bytes() const {
    // Body from frame offset 6: two unread bytes, the time, one unread byte, the count.
    std::vector<uint8_t> body(8, 0);
    put_le32(&body[2], timeMs_);
    body[7] = static_cast<uint8_t>((highNibble_ << 4) | (blocks_.size() & 0x0F));
    for (const auto& b : blocks_) body.insert(body.end(), b.begin(), b.end());
    return MakeFrame(0xB0, body);
}

std::vector<uint8_t> EphemerisFrame(uint8_t prn, uint32_t timeValue, const std::array<uint8_t, 72>& payload) {
    // Body from frame offset 6: PRN, two unread bytes, the time value, two unread bytes,
    // the payload, one unread byte.
    std::vector<uint8_t> body(9, 0);
    body[0] = prn;
    put_le32(&body[3], timeValue);
    body.insert(body.end(), payload.begin(), payload.end());
    body.push_back(0);
    return MakeFrame(0x81, body);
}

std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
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
