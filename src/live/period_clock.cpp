// SPDX-License-Identifier: BSD-2-Clause
#include "live/period_clock.h"

#include <cmath>

namespace kestrel::live {

std::optional<int64_t> ParsePeriod(std::string_view name) {
    for (const PeriodLength& length : kPeriodLengths) {
        if (length.name == name) return length.seconds;
    }
    return std::nullopt;
}

int64_t GpsMilliseconds(const GpsTime& time) {
    constexpr auto kMsPerWeek = static_cast<int64_t>(kSecondsPerWeek) * 1000;
    return static_cast<int64_t>(time.week) * kMsPerWeek + std::llround(time.sow * 1000.0);
}

PeriodClock::Change PeriodClock::Observe(const GpsTime& epoch) {
    const int64_t ms = GpsMilliseconds(epoch);
    // Floor division: GPS time before week 0 does not occur, but a damaged week must not
    // round towards zero into a wrong period.
    int64_t start = ms / periodMs_ * periodMs_;
    if (start > ms) start -= periodMs_;
    Change change = Change::kSame;
    if (!started_) {
        change = Change::kFirst;
    } else if (ms < lastEpochMs_) {
        change = Change::kBackwards;
    } else if (start != startMs_) {
        change = Change::kNext;
    }
    started_ = true;
    startMs_ = start;
    lastEpochMs_ = ms;
    return change;
}

GpsTime PeriodClock::periodStart() const { return GpsTimeFromTotal(static_cast<double>(startMs_) / 1000.0); }

}  // namespace kestrel::live
