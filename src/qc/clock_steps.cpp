// SPDX-License-Identifier: BSD-2-Clause
#include "qc/clock_steps.h"

#include <algorithm>
#include <cmath>

namespace kestrel {
namespace {

constexpr int64_t kNeighbourReach = 2;  // changes on either side that decide one

}  // namespace

void ClockStepFinder::Add(double timeS, double offsetM, std::vector<Step>& steps) {
    if (epochs_ == 0) {
        ++epochs_;
        firstOffsetM_ = offsetM;
        lastTimeS_ = timeS;
        lastOffsetM_ = offsetM;
        return;
    }
    const double dt = timeS - lastTimeS_;
    if (!(dt > 0.0)) return;  // not later than the last: nothing to compare
    ++epochs_;
    const Change change{changes_++, timeS, dt, (offsetM - lastOffsetM_) / dt};
    lastTimeS_ = timeS;
    lastOffsetM_ = offsetM;
    if (inWindow_ == kWindow) {
        std::rotate(window_.begin(), window_.begin() + 1, window_.end());
        window_[kWindow - 1] = change;
    } else {
        window_[inWindow_++] = change;
    }
    while (decided_ + kNeighbourReach < changes_) Decide(static_cast<std::size_t>(decided_ - window_[0].index), steps);
}

void ClockStepFinder::Finish(std::vector<Step>& steps) {
    while (decided_ < changes_) Decide(static_cast<std::size_t>(decided_ - window_[0].index), steps);
    if (held_) steps.push_back(*held_);
    held_.reset();
}

void ClockStepFinder::Decide(std::size_t slot, std::vector<Step>& steps) {
    const Change& c = window_[slot];
    double rates[kWindow];
    std::size_t neighbours = 0;
    std::size_t agreeing = 0;
    for (std::size_t i = 0; i < inWindow_; ++i) {
        const Change& n = window_[i];
        if (i == slot || std::llabs(n.index - c.index) > kNeighbourReach) continue;
        rates[neighbours++] = n.rateMps;
        if (std::fabs(c.rateMps - n.rateMps) * c.dtS <= kClockStepMinM) ++agreeing;
    }
    ++decided_;
    // A step stands apart from most of its neighbours; with fewer than two there is no telling
    // which of a pair stepped.
    const bool step = neighbours >= 2 && 2 * agreeing < neighbours;
    if (!step) {
        driftChangeM_ += c.rateMps * c.dtS;
        driftTimeS_ += c.dtS;
        if (held_) steps.push_back(*held_);
        held_.reset();
        return;
    }
    // At most four rates: sorted in place (std::sort's large-array path only draws a false
    // bounds warning here).
    for (std::size_t i = 1; i < neighbours; ++i) {
        for (std::size_t j = i; j > 0 && rates[j - 1] > rates[j]; --j) std::swap(rates[j - 1], rates[j]);
    }
    const double reference = neighbours % 2 == 1 ? rates[neighbours / 2]
                                                 : 0.5 * (rates[neighbours / 2 - 1] + rates[neighbours / 2]);
    Emit(Step{c.timeS, (c.rateMps - reference) * c.dtS}, c.index, steps);
}

void ClockStepFinder::Emit(const Step& step, int64_t index, std::vector<Step>& steps) {
    if (held_ && heldIndex_ == index - 1 && std::fabs(held_->sizeM + step.sizeM) <= kClockStepMinM) {
        // Out and back again: one solution off, not two steps.
        held_.reset();
        ++outliers_;
        return;
    }
    if (held_) steps.push_back(*held_);
    held_ = step;
    heldIndex_ = index;
}

std::optional<double> ClockStepFinder::firstOffsetM() const {
    return epochs_ > 0 ? std::optional<double>(firstOffsetM_) : std::nullopt;
}

std::optional<double> ClockStepFinder::lastOffsetM() const {
    return epochs_ > 0 ? std::optional<double>(lastOffsetM_) : std::nullopt;
}

std::optional<double> ClockStepFinder::DriftMps() const {
    if (!(driftTimeS_ > 0.0)) return std::nullopt;
    return driftChangeM_ / driftTimeS_;
}

}  // namespace kestrel
