// NavCom frames built from RINEX values: the EPHEMERIS record (0x81) from a broadcast
// ephemeris, the MEASUREMENT record (0xB0) from one epoch of observations.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "rinex/rinex_nav.h"

namespace kestrel::rinex {

constexpr uint8_t kEphemerisRecordId = 0x81;
constexpr std::size_t kEphemerisFrameBytes = 89;
constexpr std::size_t kEphemerisPayloadBytes = 72;

// Subframes 1, 2 and 3 as their words 3 to 10, 24 bits each without parity, most significant
// byte first: every field is the RINEX value divided by the broadcast scale (and by pi for
// angles) and rounded to the nearest integer. A value outside its field is held at the
// field's limit; EphemerisFieldProblems names such values beforehand.
std::array<uint8_t, kEphemerisPayloadBytes> EncodeEphemerisPayload(const NavRecord& nav);

// The values that the broadcast fields cannot carry as they are (out of range, or a clock or
// ephemeris reference time that is not a multiple of 16 s). Empty for a sound ephemeris.
std::vector<std::string> EphemerisFieldProblems(const NavRecord& nav);

// The whole 89-byte EPHEMERIS frame: PRN at offset 6, the full GPS week of transmission at
// offset 7, the transmission time in whole seconds of that week at offset 9, the payload at 15
// and the checksum.
std::vector<uint8_t> EncodeEphemerisFrame(const NavRecord& nav);

// The same ephemeris moved later by `seconds` (whole days or weeks, for repeated logs): Toc,
// Toe and transmission time move together, and the weeks roll over with them.
NavRecord ShiftNavRecord(const NavRecord& nav, double seconds);

// Wraps a body (frame offsets 6 up to the checksum) into a NavCom frame: sync 02 99 66, the
// record id, the little-endian length (id through checksum), the body and the XOR checksum.
std::vector<uint8_t> WrapFrame(uint8_t recordId, const std::vector<uint8_t>& body);

}  // namespace kestrel::rinex
