// SPDX-License-Identifier: BSD-2-Clause
// The catalogue of hostile logs: real captures cut, flipped and buried in noise, random bytes,
// and hand-made frames the parser must refuse or the decoders must turn away. The conversion
// tests check what each does to a conversion; the live command replays the whole catalogue.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/frame_builder.h"

namespace kestrel::test {

constexpr uint32_t kHostileStartMs = 345600000;  // 96 h into the week

// One satellite of a hand-made epoch: ranges growing by 30 m/s, L2 on even PRNs.
SatBlock HandMadeSatellite(uint8_t prn, int second);
// A MEASUREMENT frame at `timeMs` with one hand-made block per PRN, of GPS week `week` (0: the
// frame carries none, as some receivers send them).
std::vector<uint8_t> HandMadeEpoch(uint32_t timeMs, const std::vector<uint8_t>& prns, uint16_t week = 0);
// The PRNs first to last.
std::vector<uint8_t> PrnRange(uint8_t first, uint8_t last);

// 20000 random bytes with frame starts (sync and a MEASUREMENT or EPHEMERIS id) every 997
// bytes, so that the parser gets past its hunting state.
std::vector<uint8_t> RandomBytesWithFrameStarts(uint32_t seed);
// 300 frames whose length and checksum are right but whose contents are random: every fourth
// an ephemeris, the others epochs a second apart.
std::vector<uint8_t> RandomContentsInWellFormedFrames();
// The log with bytes 99, 199, 299 ... inverted.
std::vector<uint8_t> EveryHundredthByteInverted(std::vector<uint8_t> log);
// A frame with length field `length` (one the length rule refuses) and two good epochs after it.
std::vector<uint8_t> RefusedLengthThenTwoEpochs(uint8_t id, uint16_t length, uint16_t week = 0);
// Two epochs of `satellites` satellites, more than a file's 12 channels, and one of 12.
std::vector<uint8_t> MoreSatellitesThanChannels(uint8_t satellites, uint16_t week = 0);
// Epochs of six satellites at the given times of week; with a week, a time half a week or more
// before the one before it is in the next week.
std::vector<uint8_t> SixSatellitesAt(const std::vector<uint32_t>& timesMs, uint16_t week = 0);
// Ephemerides of PRN 0, 33, 200 and 255, then three epochs with PRN 0 beside PRNs 31 and 7.
std::vector<uint8_t> OutOfRangePrns(uint16_t week = 0);
// The EPHEMERIS frames of the log, nothing else.
std::vector<uint8_t> EphemeridesOnly(const std::vector<uint8_t>& log);

struct HostileLog {
    std::string name;
    std::vector<uint8_t> bytes;
};

// Every kind of damage above, on the real captures where it applies; the hand-made epochs of
// GPS week `week` (0: none).
std::vector<HostileLog> HostileLogCatalogue(uint16_t week = 0);

}  // namespace kestrel::test
