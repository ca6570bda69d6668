// SPDX-License-Identifier: BSD-2-Clause
// The epochs an output of the decoding pipeline keeps, as the RINEX conversion keeps them:
// each MEASUREMENT frame placed in full GPS time (the frame's week or a week given), the
// window of --from / --to / --interval, the log's interval as the spacing seen most often,
// and evenly spread samples of a long run (the median position of the solutions).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "common/gps_time.h"

namespace kestrel {

// Places frames in full GPS time, one log at a time.
class EpochPlacer {
public:
    enum class Outcome {
        kPlaced,
        kNoWeek,    // the frame carries no week (0) and none was given
        kWeekJump,  // the frame's week differs from the last one other than by a rollover
        kWeekConflict,  // a week was given, and the frame carries another
    };

    // `week`: the week of the first epoch, rolled over where the time of week starts again,
    // for frames that carry none; none: the frames' own weeks.
    explicit EpochPlacer(std::optional<int> week = std::nullopt) : givenWeek_(week) {}

    // The frame's full time, from its week (uint16 of the frame, 0 when not sent) and time of
    // week. On kWeekJump `lastWeek()` is the week before the jump; nothing is remembered of a
    // frame that is not placed.
    Outcome Place(int32_t frameWeek, double sow, GpsTime& time);

    int lastWeek() const { return week_; }

private:
    std::optional<int> givenWeek_;
    bool placed_ = false;
    int week_ = 0;
    double sow_ = 0.0;
};

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

// The spacing of consecutive epochs seen most often, in whole milliseconds (the smaller on a
// tie); at most kKinds distinct spacings are counted.
class SpacingCounter {
public:
    static constexpr std::size_t kKinds = 64;
    void Add(double spacingS);
    // Seconds; 0 before any spacing.
    double MostFrequentS() const;

private:
    std::map<int64_t, std::size_t> counts_;
};

// Evenly spread values of a long run, at most `Capacity`: when full, every other one goes and
// only every second value after is taken, so the samples stay evenly spread over the run.
template <typename T, std::size_t Capacity>
class EvenSampler {
public:
    static_assert(Capacity >= 2 && Capacity % 2 == 0);

    // True when the value was kept. `compacted`, when given, receives whether a compaction
    // happened (the caller's references into samples() are then stale).
    bool Add(const T& value, bool* compacted = nullptr) {
        if (compacted != nullptr) *compacted = false;
        if (seen_++ % stride_ != 0) return false;
        if (samples_.size() == Capacity) {
            std::size_t kept = 0;
            for (std::size_t i = 0; i < samples_.size(); i += 2) samples_[kept++] = samples_[i];
            samples_.resize(kept);
            stride_ *= 2;
            if (compacted != nullptr) *compacted = true;
            if ((seen_ - 1) % stride_ != 0) return false;
        }
        samples_.push_back(value);
        return true;
    }

    const std::vector<T>& samples() const { return samples_; }
    std::size_t seen() const { return seen_; }
    std::size_t stride() const { return stride_; }

private:
    std::vector<T> samples_;
    std::size_t stride_ = 1;
    std::size_t seen_ = 0;
};

// The median of each axis of Earth-fixed positions; none when there are none.
std::optional<std::array<double, 3>> AxisMedian(const std::vector<std::array<double, 3>>& positions);

}  // namespace kestrel
