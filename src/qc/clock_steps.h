// SPDX-License-Identifier: BSD-2-Clause
// Steps of the receiver clock in the solved clock offsets. Between consecutive solved epochs
// the offset changes at the oscillator's drift rate; a receiver that keeps its clock near GPS
// time steps it now and then (by one C/A chip, or by a whole millisecond). A change whose rate
// stands apart from the rates of the two changes before and the two after it is a step; the
// drift is the mean rate of the changes that are not.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace kestrel {

// Smallest step reported: well above the scatter of single-point clock offsets, well below a
// C/A chip (293 m).
constexpr double kClockStepMinM = 50.0;

class ClockStepFinder {
public:
    struct Step {
        double timeS;  // the epoch after the jump
        double sizeM;  // the jump less what the drift explains
    };

    // The next solved epoch (time in seconds, increasing; offset in metres). Steps decided
    // by it are appended to `steps`: a change is decided once the two after it are known.
    void Add(double timeS, double offsetM, std::vector<Step>& steps);
    // The log has ended: the last changes are decided with the neighbours they have.
    void Finish(std::vector<Step>& steps);

    int64_t epochs() const { return epochs_; }
    std::optional<double> firstOffsetM() const;
    std::optional<double> lastOffsetM() const;
    // Mean rate of the changes that are not steps, m/s; none before two epochs.
    std::optional<double> DriftMps() const;
    // Pairs of opposite jumps around one epoch: an outlying solution, not two steps.
    int64_t outliers() const { return outliers_; }

private:
    struct Change {
        int64_t index;  // of the change, from 0
        double timeS;   // epoch after it
        double dtS;
        double rateMps;
    };
    static constexpr std::size_t kWindow = 5;  // the change decided and two on either side

    void Decide(std::size_t slot, std::vector<Step>& steps);
    void Emit(const Step& step, int64_t index, std::vector<Step>& steps);

    int64_t epochs_ = 0;
    double firstOffsetM_ = 0.0;
    double lastTimeS_ = 0.0;
    double lastOffsetM_ = 0.0;
    std::array<Change, kWindow> window_{};  // the last changes, oldest first
    std::size_t inWindow_ = 0;
    int64_t changes_ = 0;   // changes seen
    int64_t decided_ = 0;   // changes decided
    double driftChangeM_ = 0.0;  // Σ changes that are not steps
    double driftTimeS_ = 0.0;    // Σ their time steps
    std::optional<Step> held_;   // the last step, kept until the next change is decided
    int64_t heldIndex_ = -1;
    int64_t outliers_ = 0;
};

}  // namespace kestrel
