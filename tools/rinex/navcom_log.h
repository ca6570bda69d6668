// SPDX-License-Identifier: BSD-2-Clause
// A whole NavCom log from a RINEX observation file and a navigation file: one MEASUREMENT
// frame per epoch, and each broadcast ephemeris as an EPHEMERIS frame placed before the first
// epoch at or after its transmission time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "rinex/navcom_encode.h"
#include "rinex/rinex_nav.h"
#include "rinex/rinex_obs.h"

namespace kestrel::rinex {

struct LogOptions {
    bool hasStart = false;
    double start = 0.0;      // first epoch kept, seconds of week (inclusive)
    bool hasEnd = false;
    double end = 0.0;        // last epoch kept, seconds of week (inclusive)
    int repeatCount = 0;     // copies after the original, each `repeatStep` later than the one before
    double repeatStep = kSecondsPerDay;  // whole days or whole weeks
};

// An ephemeris as it went into the log.
struct PlacedEphemeris {
    std::size_t beforeEpoch = 0;  // index into LogContents::epochs of the epoch it precedes
    NavRecord nav;                // shifted like its copy of the data
};

// One kind of note about one satellite, counted over the log.
struct NoteCount {
    NoteKind kind;
    int prn = 0;
    std::size_t count = 0;
    double firstTime = 0.0;  // seconds of week of the first epoch it happened in
};

struct LogContents {
    std::vector<uint8_t> bytes;
    std::vector<EpochReport> epochs;           // in log order, over all copies
    std::vector<PlacedEphemeris> ephemerides;  // in log order
    std::vector<NoteCount> notes;              // in order of first appearance
    std::vector<std::string> warnings;         // ephemerides left out, with the reason
    std::size_t blocks = 0;                    // satellite blocks written
    std::size_t l2Blocks = 0;                  // of which with L2 data
    std::size_t otherSystems = 0;              // non-GPS satellites in the epochs kept
    std::size_t epochsOutsideWindow = 0;
    std::size_t ephemeridesAfterLastEpoch = 0; // transmitted after the last epoch of their copy
    std::size_t ephemeridesUnfit = 0;          // values the broadcast fields cannot carry
    std::size_t l1Restarts[7] = {};            // by ArcStart, L1
    std::size_t l2Restarts[7] = {};            // by ArcStart, L2
};

// Builds the log. False, with the reason in `error`, when the options cannot be met (no epoch
// in the window, or repeated copies that would overlap).
bool BuildNavComLog(const ObsFile& obs, const std::vector<NavRecord>& nav, const LogOptions& options,
                    LogContents& log, std::string& error);

}  // namespace kestrel::rinex
