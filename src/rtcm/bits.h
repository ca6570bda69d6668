// SPDX-License-Identifier: BSD-2-Clause
// RTCM 3 transport: fields packed most significant bit first, and frames of a preamble byte,
// six reserved bits, a 10-bit payload length, the payload and its CRC-24Q.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kestrel::rtcm {

constexpr uint8_t kPreamble = 0xD3;
constexpr std::size_t kHeaderBytes = 3;      // preamble, reserved bits and length
constexpr std::size_t kCrcBytes = 3;
constexpr std::size_t kMaxPayloadBytes = 1023;
constexpr std::size_t kFrameOverheadBytes = kHeaderBytes + kCrcBytes;

// CRC-24Q (generator 0x1864CFB, initial value 0) over `n` bytes.
uint32_t Crc24q(const uint8_t* data, std::size_t n);

// Appends fields to a payload, most significant bit first.
class BitWriter {
public:
    explicit BitWriter(std::vector<uint8_t>& out) : out_(out) {}
    ~BitWriter() { Flush(); }
    BitWriter(const BitWriter&) = delete;
    BitWriter& operator=(const BitWriter&) = delete;

    // The low `bits` (0..64) bits of `value`.
    void Unsigned(uint64_t value, int bits);
    // `value` in `bits` bits of two's complement.
    void Signed(int64_t value, int bits) { Unsigned(static_cast<uint64_t>(value), bits); }
    // Bits written so far.
    std::size_t Count() const { return count_; }
    // Writes the bits still held, the last byte padded with zeros.
    void Flush();

private:
    void Put(uint32_t value, int bits);  // bits: 0..32

    std::vector<uint8_t>& out_;
    uint64_t held_ = 0;   // bits not yet in `out_`, right-aligned
    int heldBits_ = 0;    // 0..7 after each call
    std::size_t count_ = 0;
};

// Reads fields of a payload, most significant bit first. Reading past the end gives zeros
// and sets `overrun`.
class BitReader {
public:
    BitReader(const uint8_t* data, std::size_t bytes) : data_(data), bits_(bytes * 8) {}

    uint64_t Unsigned(int bits);
    int64_t Signed(int bits);
    std::size_t Position() const { return pos_; }
    std::size_t BitsLeft() const { return pos_ < bits_ ? bits_ - pos_ : 0; }
    bool overrun() const { return overrun_; }

private:
    const uint8_t* data_;
    std::size_t bits_;
    std::size_t pos_ = 0;
    bool overrun_ = false;
};

// Appends one frame holding `payload`; false (nothing appended) when the payload is longer
// than a frame can carry.
bool AppendFrame(std::vector<uint8_t>& out, const uint8_t* payload, std::size_t bytes);

// The length of the frame that starts at `frame` when it lies whole within `available` bytes,
// starts with the preamble, has its reserved bits clear and its CRC holds; 0 otherwise.
std::size_t CompleteFrameBytes(const uint8_t* frame, std::size_t available);

}  // namespace kestrel::rtcm
