// SPDX-License-Identifier: BSD-2-Clause
// The epochs an output keeps of the session's stream (--from, --to, --interval, and never one
// that is not later than the last kept), with the loss-of-lock reasons of the epochs it drops
// carried to each satellite's next kept epoch: an output that thins the stream passes the
// flags on rather than losing or inventing them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "common/gps_prn.h"
#include "common/gps_time.h"
#include "pipeline/observation_epoch.h"

namespace kestrel {

// --from, --to and --interval.
class EpochWindow {
public:
    std::optional<GpsTime> from;  // first epoch kept (inclusive)
    std::optional<GpsTime> to;    // last epoch kept (inclusive)
    double intervalS = 0.0;       // keep epochs on a grid of this step in time of week; 0 keeps all

    // Inside the window, on the decimation grid and later than `last` (the last epoch kept).
    // An epoch within a few milliseconds (at most a quarter of the interval) of a grid point
    // is on it; each grid point keeps only the first epoch found on it.
    bool Keeps(const GpsTime& time, const std::optional<GpsTime>& last);

private:
    bool haveGridPoint_ = false;
    int64_t lastGridPoint_ = 0;  // ms of GPS time of the grid point last kept
};

class EpochSelector {
public:
    enum class Verdict {
        kKept,
        kNotLater,       // not later than the last kept epoch: repeated or out of order
        kOutsideWindow,  // before --from, after --to or off the --interval grid
    };

    explicit EpochSelector(const EpochWindow& window = {}) : window_(window) {}

    // Decides on `epoch`. A kept epoch gets, for each satellite and carrier, the reasons of the
    // epochs dropped since that carrier's phase was last kept, folded into its own; a carrier
    // without phase in it passes them on to the next. A kept epoch with satellites becomes the
    // one later epochs must follow.
    Verdict Select(ObservationEpoch& epoch);

    const std::optional<GpsTime>& last() const { return last_; }

private:
    EpochWindow window_;
    std::optional<GpsTime> last_;
    // Reasons waiting for each satellite's next kept phase, by PRN and carrier.
    std::array<std::array<uint8_t, kCarrierCount>, kGpsPrnSlots> waiting_{};
};

// Folds the reasons waiting for a satellite into its observation, and keeps waiting those of a
// carrier that has no phase in it: the one rule the session applies over epochs and an
// EpochSelector over the epochs it drops.
void FoldLockReasons(SatelliteObservation& sat, std::array<uint8_t, kCarrierCount>& waiting);

}  // namespace kestrel
