// SPDX-License-Identifier: BSD-2-Clause
#include "rtcm/bits.h"

#include <array>

namespace kestrel::rtcm {
namespace {

constexpr uint32_t kCrc24qGenerator = 0x1864CFB;
constexpr uint32_t kCrcMask = 0xFFFFFF;
constexpr uint8_t kReservedBitsMask = 0xFC;  // the six bits after the preamble

// The CRC of each byte value, shifted through the generator eight times.
constexpr std::array<uint32_t, 256> MakeCrcTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t byte = 0; byte < 256; ++byte) {
        uint32_t crc = byte << 16;
        for (int bit = 0; bit < 8; ++bit) {
            crc <<= 1;
            if (crc & 0x1000000) crc ^= kCrc24qGenerator;
        }
        table[byte] = crc & kCrcMask;
    }
    return table;
}
constexpr std::array<uint32_t, 256> kCrcTable = MakeCrcTable();

}  // namespace

uint32_t Crc24q(const uint8_t* data, std::size_t n) {
    uint32_t crc = 0;
    for (std::size_t i = 0; i < n; ++i) crc = ((crc << 8) & kCrcMask) ^ kCrcTable[(crc >> 16) ^ data[i]];
    return crc;
}

void BitWriter::Unsigned(uint64_t value, int bits) {
    count_ += static_cast<std::size_t>(bits);
    if (bits > 32) {
        Put(static_cast<uint32_t>(value >> 32), bits - 32);
        bits = 32;
    }
    Put(static_cast<uint32_t>(value), bits);
}

void BitWriter::Put(uint32_t value, int bits) {
    // Whole bytes leave as soon as they are complete: at most 7 bits are held between calls,
    // so 32 more always fit.
    const uint64_t mask = (uint64_t{1} << bits) - 1;
    held_ = (held_ << bits) | (value & mask);
    heldBits_ += bits;
    while (heldBits_ >= 8) {
        heldBits_ -= 8;
        out_.push_back(static_cast<uint8_t>(held_ >> heldBits_));
    }
    held_ &= (uint64_t{1} << heldBits_) - 1;
}

void BitWriter::Flush() {
    if (heldBits_ > 0) out_.push_back(static_cast<uint8_t>(held_ << (8 - heldBits_)));
    held_ = 0;
    heldBits_ = 0;
}

uint64_t BitReader::Unsigned(int bits) {
    uint64_t value = 0;
    for (int i = 0; i < bits; ++i, ++pos_) {
        if (pos_ >= bits_) {
            overrun_ = true;
            value <<= 1;
            continue;
        }
        value = (value << 1) | ((data_[pos_ / 8] >> (7 - pos_ % 8)) & 1u);
    }
    return value;
}

int64_t BitReader::Signed(int bits) {
    const uint64_t value = Unsigned(bits);
    if (bits == 0 || bits >= 64) return static_cast<int64_t>(value);
    const uint64_t sign = uint64_t{1} << (bits - 1);
    return static_cast<int64_t>(value ^ sign) - static_cast<int64_t>(sign);
}

bool AppendFrame(std::vector<uint8_t>& out, const uint8_t* payload, std::size_t bytes) {
    if (bytes > kMaxPayloadBytes) return false;
    const std::size_t start = out.size();
    out.push_back(kPreamble);
    out.push_back(static_cast<uint8_t>(bytes >> 8));
    out.push_back(static_cast<uint8_t>(bytes));
    out.insert(out.end(), payload, payload + bytes);
    const uint32_t crc = Crc24q(out.data() + start, kHeaderBytes + bytes);
    out.push_back(static_cast<uint8_t>(crc >> 16));
    out.push_back(static_cast<uint8_t>(crc >> 8));
    out.push_back(static_cast<uint8_t>(crc));
    return true;
}

std::size_t CompleteFrameBytes(const uint8_t* frame, std::size_t available) {
    if (available < kFrameOverheadBytes || frame[0] != kPreamble || (frame[1] & kReservedBitsMask) != 0) return 0;
    const std::size_t payload = (static_cast<std::size_t>(frame[1]) << 8 | frame[2]) & 0x3FF;
    const std::size_t total = payload + kFrameOverheadBytes;
    if (total > available) return 0;
    const uint32_t crc = Crc24q(frame, kHeaderBytes + payload);
    const uint8_t* sent = frame + kHeaderBytes + payload;
    const uint32_t sentCrc = static_cast<uint32_t>(sent[0]) << 16 | static_cast<uint32_t>(sent[1]) << 8 | sent[2];
    return crc == sentCrc ? total : 0;
}

}  // namespace kestrel::rtcm
