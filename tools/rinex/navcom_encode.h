// SPDX-License-Identifier: BSD-2-Clause
// NavCom frames built from RINEX values: the EPHEMERIS record (0x81) from a broadcast
// ephemeris, the MEASUREMENT record (0xB0) from one epoch of observations.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "navcom/record_layout.h"
#include "rinex/rinex_nav.h"
#include "rinex/rinex_obs.h"

namespace kestrel::rinex {

constexpr std::size_t kEphemerisPayloadBytes = layout::ephemeris::kPayloadBytes;

// Subframes 1, 2 and 3 as their words 3 to 10, 24 bits each without parity, most significant
// byte first: every field is the RINEX value divided by the broadcast scale (and by pi for
// angles) and rounded to the nearest integer. A value outside its field is held at the
// field's limit; EphemerisFieldProblems names such values beforehand.
std::array<uint8_t, kEphemerisPayloadBytes> EncodeEphemerisPayload(const NavRecord& nav);

// The values that the broadcast fields cannot carry as they are (out of range, or a clock or
// ephemeris reference time that is not a multiple of 16 s). Empty for a sound ephemeris.
std::vector<std::string> EphemerisFieldProblems(const NavRecord& nav);

// The whole EPHEMERIS frame: the PRN, the full GPS week of transmission, the transmission time
// in whole seconds of that week, the payload and the checksum.
std::vector<uint8_t> EncodeEphemerisFrame(const NavRecord& nav);

// The same ephemeris moved later by `seconds` (whole days or weeks, for repeated logs): Toc,
// Toe and transmission time move together, and the weeks roll over with them.
NavRecord ShiftNavRecord(const NavRecord& nav, double seconds);

// Wraps a body (frame offsets 6 up to the checksum) into a NavCom frame: sync 02 99 66, the
// record id, the little-endian length (id through checksum), the body and the XOR checksum.
std::vector<uint8_t> WrapFrame(uint8_t recordId, const std::vector<uint8_t>& body);

// ---------------------------------------------------------------------------------------
// MEASUREMENT record

constexpr int kMaxBlockPrn = layout::block::kPrnMask;  // the block's PRN is a 5-bit field
constexpr int kDefaultStrengthCode = 8;                 // 43 dB-Hz when the file gives no strength

// One GPS satellite's observations at one epoch, picked out of a RINEX epoch.
struct SatMeasurement {
    int prn = 0;
    std::optional<double> c1;  // C/A range, m
    std::optional<double> p1;  // L1 P range, m
    std::optional<double> l1;  // L1 phase, cycles (RINEX sign: grows with the range)
    std::optional<double> p2;  // L2 P range, m
    std::optional<double> l2;  // L2 phase, cycles
    bool l1LockLost = false;   // loss-of-lock indicator bit 0 on L1
    bool l2LockLost = false;
    int strengthCode = kDefaultStrengthCode;  // 0..15: strength figure 35 + code dB-Hz
};

// The GPS satellites of a RINEX epoch (others are counted in `otherSystems`), with C1, P1, L1,
// P2 and L2 taken from the types in force. The strength comes from S1 (dB-Hz) when the file
// has it, else from the signal strength digit of L1 or C1 (1..9 spread over 0..15).
std::vector<SatMeasurement> GpsMeasurements(const std::vector<std::string>& types, const ObsEpoch& epoch,
                                            std::size_t* otherSystems = nullptr);

// Why a phase arc (a run of epochs sent with one integer constant K) started afresh.
enum class ArcStart {
    kContinued,     // no new arc: same K, same lock counter
    kFirst,         // first phase of this satellite and carrier in the log
    kLockLost,      // the RINEX loss-of-lock indicator was set
    kOffsetRange,   // with the old K the phase offset would not fit its 20 bits
    kPhaseMissing,  // no phase in the file at this epoch: the offset is sent as 0
    kPhaseBack,     // first phase after epochs without one
    kPowerFailure,  // the epoch carries the power failure flag
};

// What was sent for one carrier of one satellite.
struct CarrierReport {
    bool sent = false;      // L1 always; L2 only with both P2 and L2 phase present and fitting
    bool hasPhase = false;  // false: the file had no phase, the offset is 0
    double k = 0.0;         // arc constant: decoded phase = -RINEX phase + k
    uint8_t counter = 0;    // 4-bit lock counter sent
    ArcStart start = ArcStart::kContinued;
};

struct SatReport {
    int prn = 0;
    uint32_t caUnits = 0;   // C/A range, 1/16 L1 cycle
    int16_t p2Delta = 0;    // P2 minus C/A, 1/16 L1 cycle (L2 sent only)
    int strengthCode = 0;
    CarrierReport l1, l2;
};

// Observations that could not be sent as the file gives them.
enum class NoteKind {
    kPrnOutOfRange,    // PRN 32: the block's field holds 1..31; satellite left out
    kOverFifteen,      // a 16th or later satellite in the epoch; left out
    kNoCaRange,        // no C1 in the file; satellite left out
    kCaRangeOutOfRange,// C1 negative or too long for 32 bits; satellite left out
    kL2DeltaTooLarge,  // P2 - C1 beyond the 16-bit delta; sent without L2 data
    kL2Incomplete,     // only one of P2 and L2 phase; sent without L2 data
    kP1DeltaTooLarge,  // P1 - C1 beyond the 16-bit delta; sent without P1
    kL1PhaseMissing,   // no L1 phase; sent with offset 0 and a new lock count
    kTimeNotWholeMs,   // epoch time rounded to the millisecond
};

struct EpochNote {
    NoteKind kind;
    int prn = 0;  // 0 for notes about the whole epoch
};

// Human-readable explanation of a note kind.
const char* NoteText(NoteKind kind);

struct EpochReport {
    GpsTime time;             // epoch time as sent (after any shift)
    uint32_t timeMs = 0;      // time field of the frame
    std::vector<SatReport> sats;  // blocks in frame order
    std::vector<EpochNote> notes;
};

// Builds MEASUREMENT frames epoch by epoch, keeping per satellite and carrier the phase arc
// (its constant K) and the 4-bit lock counter.
//
// The receiver sends each phase as a 20-bit offset, in 1/256 cycle, from the code range
// (C/A for L1, P2 turned into L2 cycles for L2), and the decoder reads phase = -(offset + code).
// For each continuous arc an integer K is chosen so that the decoded phase equals minus the
// RINEX phase plus K; a new arc, with a new K, starts when the loss-of-lock indicator is set,
// when the offset would no longer fit, and around epochs without phase. The lock counter
// advances at every new arc, so the decoder sees a cycle slip exactly there.
class MeasurementEncoder {
public:
    // One frame for one epoch. `week` goes into the frame's first two (unread) bytes.
    std::vector<uint8_t> Encode(const GpsTime& time, const std::vector<SatMeasurement>& sats, bool powerFailure,
                                EpochReport& report);

private:
    struct Arc {
        bool active = false;  // a phase arc is running; false before the first phase and after a gap in it
        bool seen = false;    // the carrier has been sent at least once
        double k = 0.0;
        uint8_t counter = 0;
    };
    // Works out the phase word of one carrier; `reference` is the code range in cycles of that
    // carrier as the decoder will compute it.
    uint32_t PhaseWord(Arc& arc, const std::optional<double>& phase, double reference, bool lockLost,
                       bool powerFailure, CarrierReport& out);

    Arc l1_[kMaxBlockPrn + 1];
    Arc l2_[kMaxBlockPrn + 1];
};

}  // namespace kestrel::rinex
