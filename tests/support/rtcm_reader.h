// SPDX-License-Identifier: BSD-2-Clause
// A reader of the RTCM 3 messages Kestrel writes, for tests and fuzz targets: frames split
// and checked, observation messages (1004, MSM4, MSM7) turned back into ranges and phases, and
// every field checked against its range. Written from the message layouts, apart from the
// encoder, so that a fault in one shows against the other; RTKLIB's convbin checks both.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestrel::test {

// The frames of a stream that holds nothing else; false (with the offset in `error`) when
// anything is not a whole frame with a good CRC.
bool SplitRtcmFrames(const std::vector<uint8_t>& bytes, std::vector<std::vector<uint8_t>>& frames, std::string& error);

// The message number of a frame (its first 12 payload bits).
int RtcmMessageNumber(const std::vector<uint8_t>& frame);

// One signal of one satellite.
struct RtcmSignal {
    int id = 0;                 // MSM signal id: 2 (1C), 4 (1W), 10 (2W); 1004 gives 2 and 10
    bool hasRange = false;
    double rangeM = 0.0;
    bool hasPhase = false;
    double phaseCycles = 0.0;   // in cycles of c / f
    int lock = 0;               // the lock time indicator as sent
    double cnrDbHz = 0.0;       // 0: not given
    bool hasRate = false;
    double dopplerHz = 0.0;     // from the phase-range rate (MSM7)
};

struct RtcmSatellite {
    int prn = 0;
    std::vector<RtcmSignal> signals;
};

struct RtcmObservations {
    int number = 0;
    int station = 0;
    uint32_t towMs = 0;
    bool moreFollow = false;    // synchronous flag (1004), multiple message bit (MSM)
    int clockSteering = 0;      // MSM only
    std::vector<RtcmSatellite> satellites;
};

// Decodes a 1004, 1074 or 1077 frame; false with the fault in `error` when a field lies
// outside its range, a mask does not add up, or the payload's length does not match.
bool ReadRtcmObservations(const std::vector<uint8_t>& frame, RtcmObservations& out, std::string& error);

}  // namespace kestrel::test
