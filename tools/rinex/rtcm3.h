// SPDX-License-Identifier: BSD-2-Clause
// RTCM 3 messages of the same observations and ephemerides, for GNSS software that reads
// RTCM 3 streams rather than NavCom logs: message 1004 (GPS L1/L2 extended observables)
// per epoch and message 1019 (GPS broadcast ephemeris) per ephemeris.
#pragma once

#include <cstdint>
#include <vector>

#include "rinex/navcom_encode.h"
#include "rinex/rinex_nav.h"

namespace kestrel::rinex {

constexpr uint8_t kRtcmPreamble = 0xD3;
constexpr std::size_t kRtcmMaxPayload = 1023;

// CRC-24Q (polynomial 0x1864CFB, initial value 0) over `n` bytes.
uint32_t Crc24q(const uint8_t* data, std::size_t n);

// Big-endian bit writer: fields go one after another, most significant bit first.
class BitWriter {
public:
    void Put(uint64_t value, int bits);          // the low `bits` bits of value
    void PutSigned(int64_t value, int bits);     // two's complement
    std::size_t BitCount() const { return bits_; }
    std::vector<uint8_t> Bytes() const { return bytes_; }  // zero-padded to a whole byte

private:
    std::vector<uint8_t> bytes_;
    std::size_t bits_ = 0;
};

// A message framed for transmission: preamble, 6 zero bits and a 10-bit length, the payload
// and its CRC-24Q. Empty when the payload exceeds 1023 bytes.
std::vector<uint8_t> RtcmFrame(const std::vector<uint8_t>& payload);

// One satellite's observations for message 1004.
struct RtcmObservation {
    int prn = 0;             // 1..63
    double l1Range = 0.0;    // C/A pseudorange, m
    double l1Phase = 0.0;    // L1 carrier phase, cycles; 0: none
    double l2Range = 0.0;    // P2 pseudorange, m; 0: no L2
    double l2Phase = 0.0;    // L2 carrier phase, cycles; 0: none
    double l1LockSeconds = 0.0;
    double l2LockSeconds = 0.0;
    double l1Cnr = 0.0;      // dB-Hz
    double l2Cnr = 0.0;      // dB-Hz
};

// Message 1004 for one epoch at `towMs` milliseconds of the GPS week, station 0. Satellites
// past the 31 the count field can hold are left out. Phases whose difference from the C/A
// range does not fit the message's 20-bit field are sent as "no phase".
std::vector<uint8_t> EncodeRtcm1004(uint32_t towMs, const std::vector<RtcmObservation>& sats);

// The lock time indicator of messages 1001 to 1004 for a lock of `seconds`.
int RtcmLockIndicator(double seconds);

// Message 1019 for one GPS ephemeris. Fields out of range are held at their limits, as the
// NavCom encoder does.
std::vector<uint8_t> EncodeRtcm1019(const NavRecord& nav);

}  // namespace kestrel::rinex
