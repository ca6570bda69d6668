// SPDX-License-Identifier: BSD-2-Clause
// Builds NavCom frames for tests, byte for byte as a receiver sends them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "navcom/record_layout.h"

namespace kestrel::test {

constexpr std::size_t kBlockBytes = layout::measurement::kBlockBytes;
constexpr std::size_t kPayloadBytes = layout::ephemeris::kPayloadBytes;

// Wraps `body` (the bytes from frame offset 6 up to the checksum) into a frame: sync
// 02 99 66, the id, the length L = body + 4 (id through checksum), body, XOR checksum.
std::vector<uint8_t> MakeFrame(uint8_t id, const std::vector<uint8_t>& body);

// Same, but with the length field given explicitly (to build frames the parser must refuse).
std::vector<uint8_t> MakeFrameWithLength(uint8_t id, uint16_t length, const std::vector<uint8_t>& body);

// One 16-byte satellite block of a MEASUREMENT frame, in the receiver's units.
struct SatBlock {
    uint8_t prn = 1;                   // 5 bits
    bool valid = true;                 // status bit 7
    uint8_t strengthCode = 0;          // 4 bits; strength figure 35 + code
    uint32_t caRange = 0;              // C/A range, 1/16 L1 cycle
    int32_t l1Offset = 0;              // 20-bit phase offset, 1/256 L1 cycle
    uint8_t l1Lock = 0;                // 4-bit lock counter
    std::optional<int16_t> p1Delta;    // L1 P minus C/A, 1/16 L1 cycle (sets status bit 6)
    bool l2 = false;                   // L2 data present (status bit 5)
    int16_t p2Delta = 0;               // L2 P minus C/A, 1/16 L1 cycle
    int32_t l2Offset = 0;              // 20-bit phase offset, 1/256 L2 cycle
    uint8_t l2Lock = 0;                // 4-bit lock counter

    std::array<uint8_t, kBlockBytes> Encode() const;
};

// A MEASUREMENT (0xB0) frame: time of week in ms and up to 15 blocks.
class MeasurementFrame {
public:
    explicit MeasurementFrame(uint32_t timeMs) : timeMs_(timeMs) {}
    MeasurementFrame& Sat(const SatBlock& block);
    MeasurementFrame& Raw(const std::array<uint8_t, kBlockBytes>& block);
    // Overrides the high nibble of the item-count byte (offset 13), which decoders ignore.
    MeasurementFrame& CountHighNibble(uint8_t nibble);
    // The full GPS week at offset 6 (0, as by default, when the receiver sends none).
    MeasurementFrame& Week(uint16_t week);
    std::vector<uint8_t> Bytes() const;

private:
    uint32_t timeMs_;
    uint8_t highNibble_ = 0;
    uint16_t week_ = 0;
    std::vector<std::array<uint8_t, kBlockBytes>> blocks_;
};

// An EPHEMERIS (0x81) frame: PRN at offset 6, the time value at offset 9, the 72-byte
// subframe payload at offset 15. 89 bytes in all.
std::vector<uint8_t> EphemerisFrame(uint8_t prn, uint32_t timeValue,
                                    const std::array<uint8_t, kPayloadBytes>& payload);

// Concatenates byte vectors.
std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts);

// One frame found in a log.
struct FoundFrame {
    std::size_t offset = 0;      // of its first sync byte in the log
    uint8_t id = 0;
    std::vector<uint8_t> bytes;  // the whole frame, sync through checksum
    bool checksumOk = false;
};

// The frames of a log in order, found by their sync bytes and length fields. Bytes between
// frames (comment lines, filler) are passed over; a frame cut short by the end of the log
// ends the list.
std::vector<FoundFrame> FindFrames(const std::vector<uint8_t>& log);

// The frames of a log that holds nothing between them, split by their length fields (a cut
// last frame as it is).
std::vector<std::vector<uint8_t>> SplitFrames(const std::vector<uint8_t>& log);
// The frames back to back.
std::vector<uint8_t> JoinFrames(const std::vector<std::vector<uint8_t>>& frames);
// Sets a frame's checksum to match its bytes.
void Reseal(std::vector<uint8_t>& frame);

}  // namespace kestrel::test
