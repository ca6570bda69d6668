// SPDX-License-Identifier: BSD-2-Clause
// The receiver clock and the antenna position of a log, from the epochs' single-point
// solutions: the clock's offset, drift and steps, and the median position with the scatter of
// the solutions about it, with the bounded samples of their pictures.
#pragma once

#include <array>
#include <vector>

#include "common/run_figures.h"
#include "pipeline/observation_epoch.h"
#include "qc/clock_steps.h"
#include "qc/qc_report.h"

namespace kestrel {

class ClockPositionWatch {
public:
    // The solution of the next epoch checked, if it has one.
    void AddEpoch(const ObservationEpoch& epoch, QcReport& report);
    // One of the receiver's own valid 3-D fixes (Earth-fixed, m).
    void AddReceiverFix(const std::array<double, 3>& xyz, QcReport& report);
    // The log has ended: the clock's and the position's figures.
    void Finish(QcReport& report);

private:
    static constexpr std::size_t kClockSamples = 4096;     // clock offsets kept for the clock plot
    static constexpr std::size_t kPositionSamples = 4096;  // solutions kept for the median and scatter

    struct TimedPosition {
        double timeS;
        std::array<double, 3> xyz;
    };

    void FinishClock(QcReport& report);
    void FinishPosition(QcReport& report) const;

    ClockStepFinder clock_;
    std::vector<ClockStepFinder::Step> steps_;
    EvenSampler<QcPlotData::ClockSample, kClockSamples> clockSamples_;
    EvenSampler<TimedPosition, kPositionSamples> positions_;
    EvenSampler<std::array<double, 3>, kPositionSamples> fixes_;
};

}  // namespace kestrel
