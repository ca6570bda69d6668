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

class BitWriter;

enum class ObservationKind { k1004, kMsm4, kMsm7 };

// The message number of a kind: 1004, 1074, 1077.
int MessageNumber(ObservationKind kind);

// Lock time indicators for a lock of `ms` milliseconds: 1004 (seconds, 7 bits), MSM4 (4 bits)
// and MSM7 (10 bits). Each is the largest indicator whose minimum lock time has passed.
int LegacyLockIndicator(int64_t ms);
int MsmLockIndicator(int64_t ms);
int MsmExtendedLockIndicator(int64_t ms);

class ObservationEncoder {
public:
    ObservationEncoder(ObservationKind kind, int stationId);

    // Appends the epoch's message; false (nothing appended) when no satellite has a range the
    // message can carry. `moreFollow`: other observation messages of the same epoch follow
    // (the 1004's synchronous flag, the MSM's multiple message bit).
    bool Append(const ObservationEpoch& epoch, bool moreFollow, std::vector<uint8_t>& out);
    // An epoch not sent (the message has an interval): a loss of lock in it restarts the lock
    // time at the next epoch sent.
    void Skip(const ObservationEpoch& epoch);

    ObservationKind kind() const { return kind_; }

    // Phases rolled over so far.
    int64_t rollovers() const { return rollovers_; }
    // Satellites left out so far: no range a message can carry (none, negative, or further
    // than 254 light milliseconds).
    int64_t satellitesLeftOut() const { return leftOut_; }

private:
    struct CarrierState {
        bool locked = false;
        bool lossPending = false;     // lock lost at an epoch since the last one sent
        int64_t lockStartMs = 0;      // GPS time of the epoch sent when lock last restarted
        double offsetCycles = 0.0;    // whole cycles added to the phase since then
    };
    // Per PRN, per carrier.
    using Carriers = std::array<CarrierState, kCarrierCount>;

    // Notes the epoch's losses of lock; when `sent`, lock restarts where one is pending.
    void Track(const ObservationEpoch& epoch, bool sent);
    // The phase in metres, rolled over (and its lock restarted) when it lies further than
    // `limitM` from `referenceM`; false when the carrier has no phase.
    bool Phase(CarrierState& c, const SatelliteObservation& sat, Carrier carrier, double referenceM, double limitM,
               int64_t epochMs, double& phaseM);
    int64_t LockMs(const CarrierState& c, int64_t epochMs) const;
    // Message number, station, time of week and whether more of the epoch follow.
    void PutHeader(BitWriter& w, int64_t epochMs, bool moreFollow) const;

    bool AppendLegacy(const ObservationEpoch& epoch, bool moreFollow, std::vector<uint8_t>& out);
    bool AppendMsm(const ObservationEpoch& epoch, bool moreFollow, std::vector<uint8_t>& out);

    ObservationKind kind_;
    int stationId_;
    std::array<Carriers, kGpsPrnSlots> state_{};
    int64_t rollovers_ = 0;
    int64_t leftOut_ = 0;
};

}  // namespace kestrel::rtcm
