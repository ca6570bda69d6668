// SPDX-License-Identifier: BSD-2-Clause
// Explicit little- and big-endian field readers and writers. Every multi-byte field of a
// NavCom frame, a ThreadBuf or an OBX record is read and written through these, never by
// casting a pointer into the middle of a byte buffer.
#pragma once

#include <cstdint>
#include <cstring>

namespace kestrel {

constexpr uint16_t le_u16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
constexpr int16_t le_s16(const uint8_t* p) { return static_cast<int16_t>(le_u16(p)); }
constexpr uint32_t le_u24(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16);
}
constexpr uint32_t le_u32(const uint8_t* p) {
    return le_u24(p) | (static_cast<uint32_t>(p[3]) << 24);
}
constexpr int32_t le_s32(const uint8_t* p) { return static_cast<int32_t>(le_u32(p)); }

constexpr uint16_t be_u16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
constexpr int16_t be_s16(const uint8_t* p) { return static_cast<int16_t>(be_u16(p)); }
constexpr uint32_t be_u24(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 16) | (static_cast<uint32_t>(p[1]) << 8) |
           static_cast<uint32_t>(p[2]);
}
constexpr uint32_t be_u32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | be_u24(p + 1);
}
constexpr int32_t be_s32(const uint8_t* p) { return static_cast<int32_t>(be_u32(p)); }

// Interprets the low `bits` bits of `value` as a two's-complement number.
constexpr int32_t sign_extend(uint32_t value, int bits) {
    const uint32_t mask = bits >= 32 ? 0xFFFFFFFFu : ((1u << bits) - 1u);
    const uint32_t sign = 1u << (bits - 1);
    value &= mask;
    return static_cast<int32_t>((value ^ sign) - sign);
}

inline void put_le16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void put_le24(uint8_t* p, uint32_t v) {
    put_le16(p, static_cast<uint16_t>(v));
    p[2] = static_cast<uint8_t>(v >> 16);
}
inline void put_le32(uint8_t* p, uint32_t v) {
    put_le16(p, static_cast<uint16_t>(v));
    put_le16(p + 2, static_cast<uint16_t>(v >> 16));
}
inline void put_be16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
inline void put_be24(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 16);
    put_be16(p + 1, static_cast<uint16_t>(v));
}
inline void put_be32(uint8_t* p, uint32_t v) {
    put_be16(p, static_cast<uint16_t>(v >> 16));
    put_be16(p + 2, static_cast<uint16_t>(v));
}

// Packed records are little-endian; on the little-endian targets Kestrel builds for,
// their in-memory image is their byte image, copied whole.
template <typename Record>
inline void load_record(Record& out, const void* bytes) {
    std::memcpy(&out, bytes, sizeof(Record));
}
template <typename Record>
inline void store_record(void* bytes, const Record& in) {
    std::memcpy(bytes, &in, sizeof(Record));
}

}  // namespace kestrel
