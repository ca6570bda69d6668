// SPDX-License-Identifier: BSD-2-Clause
// Figures over a run of epochs that the outputs share: the log's interval as the spacing seen
// most often, evenly spread samples of a long run, and the median of positions. Header only:
// the plug-in, built from the same folder, has no use for them and exports nothing of them.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace kestrel {

// The spacing of consecutive epochs seen most often, in whole milliseconds (the smaller on a
// tie); at most kKinds distinct spacings are counted.
class SpacingCounter {
public:
    static constexpr std::size_t kKinds = 64;

    void Add(double spacingS) {
        const auto ms = static_cast<int64_t>(std::llround(spacingS * 1000.0));
        auto it = counts_.find(ms);
        if (it != counts_.end()) {
            ++it->second;
        } else if (counts_.size() < kKinds) {
            counts_[ms] = 1;
        }
    }

    // Seconds; 0 before any spacing.
    double MostFrequentS() const {
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
inline std::optional<std::array<double, 3>> AxisMedian(const std::vector<std::array<double, 3>>& positions) {
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
