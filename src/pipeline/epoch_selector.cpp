// SPDX-License-Identifier: BSD-2-Clause
#include "pipeline/epoch_selector.h"

#include <algorithm>
#include <cmath>

namespace kestrel {
namespace {

constexpr double kWindowSlackS = 1e-6;    // epoch times are whole milliseconds
constexpr int64_t kGridToleranceMs = 25;  // an epoch this near a decimation grid point is on it

}  // namespace

bool EpochWindow::Keeps(const GpsTime& time, const std::optional<GpsTime>& last) {
    const double total = time.Total();
    if (last && total <= last->Total()) return false;
    if (from && total < from->Total() - kWindowSlackS) return false;
    if (to && total > to->Total() + kWindowSlackS) return false;
    const auto step = static_cast<int64_t>(std::llround(intervalS * 1000.0));
    if (intervalS > 0.0 && step > 0) {
        // Receivers tag epochs a few milliseconds off the whole second (the clock is steered
        // in steps): an epoch belongs to the grid point it lies within the tolerance of, at
        // most a quarter of the interval, and each point keeps only its first such epoch.
        const int64_t tolerance = std::min(kGridToleranceMs, step / 4);
        const auto ms = static_cast<int64_t>(std::llround(time.sow * 1000.0));
        const int64_t off = ms - (ms + step / 2) / step * step;
        if (off > tolerance || off < -tolerance) return false;
        const int64_t point = static_cast<int64_t>(std::llround(total * 1000.0)) - off;
        if (haveGridPoint_ && point == lastGridPoint_) return false;
        lastGridPoint_ = point;
        haveGridPoint_ = true;
    }
    return true;
}

void FoldLockReasons(SatelliteObservation& sat, std::array<uint8_t, kCarrierCount>& waiting) {
    for (std::size_t c = 0; c < kCarrierCount; ++c) {
        sat.lockReasons[c] = static_cast<uint8_t>(sat.lockReasons[c] | waiting[c]);
        waiting[c] = sat.HasPhase(static_cast<Carrier>(c)) ? 0 : sat.lockReasons[c];
    }
}

EpochSelector::Verdict EpochSelector::Select(ObservationEpoch& epoch) {
    const bool notLater = last_ && epoch.time.Total() <= last_->Total();
    if (!window_.Keeps(epoch.time, last_)) {
        for (int i = 0; i < epoch.satCount; ++i) {
            const SatelliteObservation& sat = epoch.sats[static_cast<std::size_t>(i)];
            auto& waiting = waiting_[static_cast<std::size_t>(sat.prn)];
            for (std::size_t c = 0; c < kCarrierCount; ++c) {
                waiting[c] = static_cast<uint8_t>(waiting[c] | sat.lockReasons[c]);
            }
        }
        return notLater ? Verdict::kNotLater : Verdict::kOutsideWindow;
    }
    for (int i = 0; i < epoch.satCount; ++i) {
        SatelliteObservation& sat = epoch.sats[static_cast<std::size_t>(i)];
        FoldLockReasons(sat, waiting_[static_cast<std::size_t>(sat.prn)]);
    }
    if (epoch.satCount > 0) last_ = epoch.time;
    return Verdict::kKept;
}

}  // namespace kestrel
