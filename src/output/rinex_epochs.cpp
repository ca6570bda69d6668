// SPDX-License-Identifier: BSD-2-Clause
#include "output/rinex_epochs.h"

#include <algorithm>
#include <cmath>

namespace kestrel {
namespace {

constexpr double kWindowSlackS = 1e-6;  // epoch times are whole milliseconds
constexpr int64_t kGridToleranceMs = 25;  // an epoch this near a decimation grid point is on it

}  // namespace

EpochPlacer::Outcome EpochPlacer::Place(int32_t frameWeek, double sow, GpsTime& time) {
    int week = frameWeek;
    if (givenWeek_) {
        // The given week, rolled over where the time of week starts again.
        week = !placed_ ? *givenWeek_ : sow < sow_ - kHalfWeekS ? week_ + 1 : week_;
        if (frameWeek > 0 && frameWeek != week) return Outcome::kWeekConflict;
    } else if (week <= 0) {
        return Outcome::kNoWeek;
    } else if (placed_ && week != week_ && !(week == week_ + 1 && sow < sow_)) {
        return Outcome::kWeekJump;
    }
    week_ = week;
    sow_ = sow;
    placed_ = true;
    time = GpsTime{week, sow};
    return Outcome::kPlaced;
}

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

void SpacingCounter::Add(double spacingS) {
    const auto ms = static_cast<int64_t>(std::llround(spacingS * 1000.0));
    auto it = counts_.find(ms);
    if (it != counts_.end()) {
        ++it->second;
    } else if (counts_.size() < kKinds) {
        counts_[ms] = 1;
    }
}

double SpacingCounter::MostFrequentS() const {
    int64_t best = 0;
    std::size_t bestCount = 0;
    for (const auto& [ms, n] : counts_) {
        if (n > bestCount) {
            best = ms;
            bestCount = n;
        }
    }
    return static_cast<double>(best) / 1000.0;
}

std::optional<std::array<double, 3>> AxisMedian(const std::vector<std::array<double, 3>>& positions) {
    if (positions.empty()) return std::nullopt;
    std::array<double, 3> median{};
    std::vector<double> axis(positions.size());
    for (std::size_t k = 0; k < 3; ++k) {
        for (std::size_t i = 0; i < positions.size(); ++i) axis[i] = positions[i][k];
        auto middle = axis.begin() + static_cast<std::ptrdiff_t>(axis.size() / 2);
        std::nth_element(axis.begin(), middle, axis.end());
        median[k] = *middle;
    }
    return median;
}

}  // namespace kestrel
