// SPDX-License-Identifier: BSD-2-Clause
// One receiver epoch as every output of the command reads it (RINEX, the quality check, RTCM,
// live files): produced once by the decoding session from each MEASUREMENT frame, in full GPS
// time, with the values in the RINEX sense and, per satellite and carrier, why the phase may
// not continue the one before it. The rules that turn those reasons into "slip" and
// "loss-of-lock flag" live here and nowhere else.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "common/gps_prn.h"
#include "common/gps_time.h"
#include "positioning/position_record.h"

namespace kestrel {

// The values one satellite can have at an epoch, in the RINEX sense: ranges in metres, phases
// in cycles that grow as the range grows, Doppler in Hz (positive when the satellite
// approaches), strength in dB-Hz.
enum class Observable : uint8_t {
    kC1,  // C/A-code range on L1
    kL1,  // L1 carrier phase
    kD1,  // L1 Doppler, derived from successive C/A ranges (the receiver sends none)
    kS1,  // L1 signal strength, a whole number of dB-Hz
    kP1,  // P-code range on L1, when the receiver sent one
    kP2,  // P-code range on L2
    kL2,  // L2 carrier phase
};
constexpr std::size_t kObservableCount = 7;

enum class Carrier : uint8_t { kL1, kL2 };
constexpr std::size_t kCarrierCount = 2;

// Why a carrier's phase at this epoch may not continue the phase before it. Each output sees
// the reasons gathered since that carrier's phase was last handed to it: the session gathers
// them over epochs where the carrier had no phase, an EpochSelector also over the epochs it
// drops.
namespace lock_reason {
constexpr uint8_t kCounterChanged = 1u << 0;  // the receiver's lock counter moved since the previous epoch
constexpr uint8_t kArcStart = 1u << 1;        // the satellite's first epoch in the session
constexpr uint8_t kReturnAfterGap = 1u << 2;  // back after more than 60 s without an epoch
constexpr uint8_t kNoPhase = 1u << 3;         // the carrier had no phase (no L2 data) at an epoch since
}  // namespace lock_reason

// "Loss-of-lock flag" (RINEX LLI bit 0, an RTCM lock-time reset): the phase starts a new
// ambiguity. The receiver's lock counter moved, or the satellite's arc (re)starts. A carrier
// that merely went without phase for a while is not flagged by that alone: the receiver's
// lock counter, compared across the missing epochs, tells whether it kept lock.
constexpr uint8_t kLossOfLockReasons =
    lock_reason::kCounterChanged | lock_reason::kArcStart | lock_reason::kReturnAfterGap;
constexpr bool IsLossOfLock(uint8_t reasons) { return (reasons & kLossOfLockReasons) != 0; }

// "Slip" (the counts `rinex` and `qc` print): lock lost inside an arc, as the receiver's lock
// counter says. A satellite's first epoch and its return after a gap start a new arc: its
// phase is flagged, but nothing slipped, as there was no phase to slip from.
constexpr uint8_t kSlipReasons = lock_reason::kCounterChanged;
constexpr bool IsSlip(uint8_t reasons) { return (reasons & kSlipReasons) != 0; }
// The words every summary counts them in (L1 slips, L2 slips).
inline constexpr char kSlipCountsFormat[] = "%lld L1 and %lld L2 slips";

// One satellite at one epoch.
struct SatelliteObservation {
    int prn = 0;                                         // kFirstGpsPrn..kLastGpsPrn
    uint8_t present = 0;                                 // bit i: values[i] holds a value
    std::array<double, kObservableCount> values{};       // indexed by Observable
    std::array<uint8_t, kCarrierCount> lockReasons{};    // indexed by Carrier; lock_reason bits
    std::array<double, kCarrierCount> lockTimeS{};       // the receiver's continuous lock, 0 at an arc start

    bool Has(Observable o) const { return (present & Bit(o)) != 0; }
    double Value(Observable o) const { return values[static_cast<std::size_t>(o)]; }
    uint8_t Reasons(Carrier c) const { return lockReasons[static_cast<std::size_t>(c)]; }
    // The carrier's phase is present and the rules above hold for it.
    bool LossOfLock(Carrier c) const { return HasPhase(c) && IsLossOfLock(Reasons(c)); }
    bool Slip(Carrier c) const { return HasPhase(c) && IsSlip(Reasons(c)); }
    bool HasPhase(Carrier c) const { return Has(c == Carrier::kL1 ? Observable::kL1 : Observable::kL2); }

    void Set(Observable o, double value) {
        values[static_cast<std::size_t>(o)] = value;
        present = static_cast<uint8_t>(present | Bit(o));
    }
    static constexpr uint8_t Bit(Observable o) { return static_cast<uint8_t>(1u << static_cast<unsigned>(o)); }
};

// The most satellites one MEASUREMENT frame can carry.
constexpr int kMaxEpochSatellites = 15;

// One MEASUREMENT frame placed in GPS time. Holds every satellite block that decoded to a GPS
// satellite whose time moved on since its previous epoch, first epochs of an arc included; it
// may hold none (every block repeated its time or named no GPS satellite).
struct ObservationEpoch {
    GpsTime time;            // the receiver's time tag, not corrected for its clock
    bool weekKnown = true;   // false: the frames carry no week; counted from week 0
    // The receiver clock offset of this epoch's single-point solution, as the solver gives it:
    // in metres (times the speed of light); none when the epoch was not solved.
    std::optional<double> clockOffsetM;
    // The antenna's Earth-fixed position of that solution, m; none without one.
    std::optional<std::array<double, 3>> positionM;
    int satCount = 0;
    std::array<SatelliteObservation, kMaxEpochSatellites> sats{};

    // The clock offset in seconds: the receiver's time tag less this is GPS time.
    std::optional<double> ClockOffsetS() const {
        return clockOffsetM ? std::optional<double>(*clockOffsetM / kSpeedOfLight) : std::nullopt;
    }
};

}  // namespace kestrel
