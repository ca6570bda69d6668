// SPDX-License-Identifier: BSD-2-Clause
// RINEX observation files, versions 2 and 3: header, epochs with their flags, satellites and
// observations.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "rinex/gps_time.h"

namespace kestrel::rinex {

struct ObsHeader {
    double version = 0.0;
    char system = 'G';  // file's satellite system: G, R, E, S or M (mixed)
    std::string markerName;
    bool hasApproxPosition = false;
    std::array<double, 3> approxPosition{};  // X, Y, Z, metres, Earth-fixed
    // Observation types in file order, by their RINEX 2 names: "L1", "C1", ... In a RINEX 3
    // file these are the GPS types, each named as RINEX 2 names the same observation
    // (C1C: C1, C1W: P1, C2W: P2, L2W: L2, L1C: L1, D1C: D1, S1C: S1, ...); a code whose
    // RINEX 2 name an earlier one already took keeps its three characters.
    std::vector<std::string> types;
    std::vector<std::string> codes;          // RINEX 3: the GPS codes as the file gives them
    double interval = 0.0;                   // seconds; 0 when the header gives none

    // Index of an observation type in `types`, or -1.
    int TypeIndex(const std::string& type) const;
};

struct ObsValue {
    bool present = false;  // a blank or 0.0 field is a missing observation
    double value = 0.0;    // metres for ranges, cycles for phases, as the type says
    int lli = 0;           // loss-of-lock indicator; bit 0 = lock lost since the last epoch
    int strength = 0;      // signal strength 1..9, 0 when not given
};

struct ObsSatellite {
    char system = 'G';
    int prn = 0;
    std::vector<ObsValue> values;  // one per header type, in the header's order
};

// Epoch flags as the file gives them.
enum ObsEpochFlag { kEpochOk = 0, kEpochPowerFailure = 1 };

struct ObsEpoch {
    GpsTime time;          // receiver time of the epoch
    int flag = 0;          // 0 or 1: only epochs that carry observations are kept
    bool hasClockOffset = false;
    double clockOffset = 0.0;  // receiver clock offset the file gives, seconds
    std::vector<ObsSatellite> satellites;
    std::size_t line = 0;  // line of the epoch record in the file, from 1
};

// A whole observation file. Epochs with flags 2 to 5 (events) are not kept as epochs, but
// a header record inside an event that brings a new TYPES OF OBSERV list applies to the
// epochs after it. Flag 6 (cycle slip records) is skipped. Of a RINEX 3 file only the GPS
// satellites are kept.
struct ObsFile {
    ObsHeader header;
    std::vector<ObsEpoch> epochs;
    // Types in force for each epoch, when an event changed them; empty when they never changed.
    std::vector<std::vector<std::string>> epochTypes;

    const std::vector<std::string>& TypesOf(std::size_t epochIndex) const {
        return epochTypes.empty() ? header.types : epochTypes[epochIndex];
    }
};

bool ReadObsFile(const std::string& path, ObsFile& file, std::string& error);
bool ParseObsText(const std::string& text, const std::string& name, ObsFile& file, std::string& error);

}  // namespace kestrel::rinex
