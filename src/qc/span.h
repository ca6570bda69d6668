// SPDX-License-Identifier: BSD-2-Clause
// How complete a log is in time: its first and last epochs, the epochs it holds and should
// hold at its interval (the spacing seen most often, unless one is given), and its gaps.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "common/gps_time.h"
#include "common/run_figures.h"
#include "qc/qc_report.h"

namespace kestrel {

class SpanWatch {
public:
    // The next epoch checked (later than the one before).
    void AddEpoch(const GpsTime& time, QcReport& report);
    // The log has ended: the interval, the expected epochs and the gaps. `givenIntervalS` > 0
    // is the interval asked for.
    void Finish(double givenIntervalS, QcReport& report) const;

private:
    std::optional<GpsTime> last_;
    SpacingCounter spacings_;
    std::optional<double> smallestSpacingS_;
    std::vector<QcGap> gapCandidates_;
    int64_t gapCandidatesUnlisted_ = 0;
};

}  // namespace kestrel
