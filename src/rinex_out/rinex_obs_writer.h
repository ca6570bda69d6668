// SPDX-License-Identifier: BSD-2-Clause
// RINEX observation files, versions 3.04 and 2.11, GPS only: the header and the epoch
// records, appended as text to a caller's buffer (the caller writes the file).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/gps_time.h"

namespace kestrel {

enum class RinexVersion { k304, k211 };

// The GPS observations the writers know. A file lists the types it carries in the order its
// header gives; RinexObsTypesFor gives them in this order:
//   3.04: C1C L1C D1C S1C C1W C2W L2W      2.11: C1 L1 D1 S1 P1 P2 L2
enum class RinexObsType : uint8_t {
    kC1,  // C/A-code range on L1, m
    kL1,  // L1 carrier phase, cycles
    kD1,  // L1 Doppler, Hz
    kS1,  // L1 signal strength, dB-Hz
    kP1,  // P-code range on L1, m
    kP2,  // P-code range on L2, m
    kL2,  // L2 (P-code) carrier phase, cycles
};
constexpr std::size_t kRinexObsTypeCount = 7;

// The name a file's header gives the type: "C1C" in 3.04, "C1" in 2.11.
const char* RinexObsTypeName(RinexObsType type, RinexVersion version);

// The types of a file: C1 L1 S1 P2 L2, with D1 when Doppler is requested and P1 when the
// receiver sent P-code ranges on L1, in the order above.
std::vector<RinexObsType> RinexObsTypesFor(bool receiverSentP1, bool dopplerRequested);

// Number of observations of one satellite, per type, for the PRN / # OF OBS record.
struct RinexSatCount {
    int prn = 0;                                          // 1..99
    std::array<uint32_t, kRinexObsTypeCount> counts{};    // indexed by RinexObsType
};

struct RinexObsHeader {
    RinexVersion version = RinexVersion::k304;
    std::string program;                      // PGM / RUN BY / DATE, 20 columns each
    std::string runBy;
    std::optional<CalendarTime> createdUtc;   // file creation, UTC
    std::vector<std::string> comments;        // wrapped at 60 columns
    std::string markerName;
    std::string markerNumber;                 // no MARKER NUMBER record when empty
    std::string markerType = "NON_GEODETIC";  // 3.04 only
    std::string observer;
    std::string agency;
    std::string receiverNumber, receiverType, receiverVersion;
    std::string antennaNumber;
    // The IGS antenna name (columns 21-36 of ANT # / TYPE) and its radome (37-40). A type
    // given with its radome after a blank ("TRM29659.00 SCIS") is split the same way when
    // `antennaRadome` is empty.
    std::string antennaType, antennaRadome;
    std::array<double, 3> antennaDeltaHenM{};   // height, east, north of the antenna over the marker
    std::array<double, 3> approxPositionM{};    // Earth-fixed X, Y, Z; zeros when unknown
    std::vector<RinexObsType> types;          // one to seven; see RinexObsTypesFor
    double intervalS = 0.0;                   // no INTERVAL record when 0
    GpsTime firstObs;                         // receiver time of the first epoch
    std::optional<GpsTime> lastObs;           // TIME OF LAST OBS when given
    std::optional<int> leapSeconds;           // LEAP SECONDS when given
    std::optional<int> clockOffsetApplied;    // RCV CLOCK OFFS APPL (0 or 1) when given
    std::vector<RinexSatCount> satCounts;     // # OF SATELLITES and PRN / # OF OBS when not empty
};

// One observation: absent values are written blank, and so is a 0 loss-of-lock indicator or
// signal-strength digit.
struct RinexObsValue {
    double value = 0.0;     // in the unit of its type
    bool present = false;
    uint8_t lli = 0;        // loss-of-lock indicator 0..7 (bit 0: lock lost since the last epoch)
    uint8_t strength = 0;   // signal strength 1..9, 0 when not given
};

struct RinexSatObs {
    int prn = 0;                                                // 1..99
    std::array<RinexObsValue, kRinexObsTypeCount> values{};    // indexed by RinexObsType
};

struct RinexObsEpoch {
    GpsTime time;                        // receiver time tag
    int flag = 0;                        // 0 OK, 1 power failure before this epoch, 6 cycle slips
    std::optional<double> clockOffsetS;  // receiver clock offset, s
    std::vector<RinexSatObs> satellites;
};

// Appends the header, from RINEX VERSION / TYPE to END OF HEADER, with the records the
// version requires (3.04: MARKER TYPE, SIGNAL STRENGTH UNIT, SYS / PHASE SHIFT, and GLONASS
// SLOT / FRQ # and GLONASS COD/PHS/BIS empty as a GPS file has them). False, with nothing
// appended, when the header lists no type or more than seven, a satellite count has a PRN
// outside 1..99, or the first observation is a time an epoch could not have.
// An approximate position or antenna offset that does not fit its columns is written as
// zeros (unknown); an interval that does not fit leaves the INTERVAL record out.
bool AppendRinexObsHeader(std::string& out, const RinexObsHeader& header);

// The header's text fields that Field would cut or whose characters it would replace, one
// warning each naming the record's field (see rinex_field::FieldWarning).
std::vector<std::string> RinexObsHeaderWarnings(const RinexObsHeader& header);

// Appends one epoch record: the epoch line and the satellites' observations of the header's
// types. A value that does not fit F14.3 is written as missing, and a clock offset that does
// not fit its columns is left out. False, with nothing appended, for a flag other than 0, 1
// or 6, a PRN outside 1..99, more than 999 satellites, a time before GPS week 0 or after week
// 400000 (or seconds of week beyond +-1e9) or a header whose types AppendRinexObsHeader refuses.
bool AppendRinexObsEpoch(std::string& out, const RinexObsHeader& header, const RinexObsEpoch& epoch);

}  // namespace kestrel
