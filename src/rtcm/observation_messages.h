// SPDX-License-Identifier: BSD-2-Clause
// GPS observations of one epoch as RTCM 3 messages: the legacy 1004 (L1 C/A and L2 P(Y)
// semi-codeless ranges and phases) and the multiple signal messages MSM4 (1074) and MSM7
// (1077) with the signals 1C, 1W (the L1 P-code range, when the receiver sent one) and 2W.
//
// Each encoder keeps, per satellite and carrier, the time lock was last lost and any whole
// number of cycles added to the phase, so that:
//   - the lock time it sends restarts exactly at the epochs whose phase the observation epoch
//     flags for loss of lock (where the RINEX file has its loss-of-lock indicator), and only
//     there or where a phase had to be rolled over;
//   - a phase that drifts out of the message's range of phase minus range is moved by 1500
//     cycles (the 1004 message's rollover, used for the MSM too), and its lock time restarts,
//     as the ambiguity a decoder holds no longer applies.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "common/gps_prn.h"
#include "pipeline/observation_epoch.h"

namespace kestrel::rtcm {

enum class ObservationKind { k1004, kMsm4, kMsm7 };

// The message number of a kind: 1004, 1074, 1077.
int MessageNumber(ObservationKind kind);

// The most satellites one message of a kind carries with `signals` signals each (1004 carries
// one L1 and one L2 per satellite).
int SatellitesPerMessage(ObservationKind kind, int signals);

// Lock time indicators for a lock of `ms` milliseconds: 1004 (seconds, 7 bits), MSM4 (4 bits)
// and MSM7 (10 bits). Each is the largest indicator whose minimum lock time has passed.
int LegacyLockIndicator(int64_t ms);
int MsmLockIndicator(int64_t ms);
int MsmExtendedLockIndicator(int64_t ms);

class ObservationEncoder {
public:
    ObservationEncoder(ObservationKind kind, int stationId);

    // Appends the frames of one epoch (none when no satellite has a range); more than one
    // when the satellites do not fit one message. `moreFollow`: other observation messages of
    // the same epoch follow these, and the last of these says so too. Returns the number of
    // frames appended.
    int Append(const ObservationEpoch& epoch, bool moreFollow, std::vector<uint8_t>& out);

    ObservationKind kind() const { return kind_; }

    // Phases rolled over so far.
    int64_t rollovers() const { return rollovers_; }
    // Satellites left out so far: no range a message can carry (none, negative, or further
    // than 254 light milliseconds).
    int64_t satellitesLeftOut() const { return leftOut_; }

private:
    struct CarrierState {
        bool locked = false;
        int64_t lockStartMs = 0;      // GPS time of the epoch lock was last lost
        double offsetCycles = 0.0;    // whole cycles added to the phase since then
    };
    // Per PRN, per carrier.
    using Carriers = std::array<CarrierState, kCarrierCount>;

    // Brings the carrier's state to this epoch: lock restarts on loss of lock.
    void Track(Carriers& c, const SatelliteObservation& sat, Carrier carrier, int64_t epochMs);
    // The phase in metres, rolled over (and its lock restarted) when it lies further than
    // `limitM` from `referenceM`; false when the carrier has no phase.
    bool Phase(CarrierState& c, const SatelliteObservation& sat, Carrier carrier, double referenceM, double limitM,
               int64_t epochMs, double& phaseM);
    int64_t LockMs(const CarrierState& c, int64_t epochMs) const;

    int AppendLegacy(const ObservationEpoch& epoch, bool moreFollow, std::vector<uint8_t>& out);
    int AppendMsm(const ObservationEpoch& epoch, bool moreFollow, std::vector<uint8_t>& out);

    ObservationKind kind_;
    int stationId_;
    std::array<Carriers, kGpsPrnSlots> state_{};
    int64_t rollovers_ = 0;
    int64_t leftOut_ = 0;
};

}  // namespace kestrel::rtcm
