// SPDX-License-Identifier: BSD-2-Clause
// Periods of the data's own GPS time: the live command cuts its files where an epoch falls
// into a later period than the one before it, or earlier in time than the one before it (a
// receiver that was reset), never by the computer's clock.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "common/gps_time.h"

namespace kestrel::live {

// Period lengths a user may ask for, by their names: "15m", "1h", "1d".
struct PeriodLength {
    std::string_view name;
    int64_t seconds;
};
inline constexpr PeriodLength kPeriodLengths[] = {{"15m", 900}, {"1h", 3600}, {"1d", 86400}};
inline constexpr int64_t kDefaultPeriodS = 3600;

// The seconds of a period name; none for a name not in kPeriodLengths.
std::optional<int64_t> ParsePeriod(std::string_view name);

// Milliseconds of GPS time, rounded: epoch times are whole milliseconds.
int64_t GpsMilliseconds(const GpsTime& time);

class PeriodClock {
public:
    enum class Change {
        kSame,       // the epoch belongs to the open period
        kFirst,      // the first epoch: it opens the first period
        kNext,       // a later period: the open one is complete
        kBackwards,  // earlier than the last epoch: the open period closes, a new one opens
    };

    // `periodSeconds` divides a day (periods are aligned to GPS midnight, and so to weeks).
    explicit PeriodClock(int64_t periodSeconds) : periodMs_(periodSeconds * 1000) {}

    Change Observe(const GpsTime& epoch);

    bool started() const { return started_; }
    // Start of the open period.
    GpsTime periodStart() const;
    int64_t periodStartMs() const { return startMs_; }
    int64_t periodMs() const { return periodMs_; }

private:
    int64_t periodMs_;
    bool started_ = false;
    int64_t startMs_ = 0;
    int64_t lastEpochMs_ = 0;
};

}  // namespace kestrel::live
