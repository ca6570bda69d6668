// SPDX-License-Identifier: BSD-2-Clause
#include "qc/span.h"

#include <cmath>

namespace kestrel {
namespace {

constexpr std::size_t kGapCandidates = 10000;
constexpr double kGapFactor = 2.0;  // a gap is longer than twice the interval
constexpr double kSpacingSlackS = 1e-6;

}  // namespace

void SpanWatch::AddEpoch(const GpsTime& time, QcReport& report) {
    if (!report.first) report.first = time;
    if (last_) {
        const double spacing = time.Total() - last_->Total();
        spacings_.Add(spacing);
        if (!smallestSpacingS_ || spacing < *smallestSpacingS_) smallestSpacingS_ = spacing;
        // Any spacing of more than twice the smallest so far may turn out a gap once the
        // interval is known.
        if (spacing > kGapFactor * *smallestSpacingS_ + kSpacingSlackS) {
            if (gapCandidates_.size() < kGapCandidates) {
                gapCandidates_.push_back(QcGap{*last_, spacing});
            } else {
                ++gapCandidatesUnlisted_;
            }
        }
    }
    last_ = time;
    report.last = time;
    ++report.epochs;
}

void SpanWatch::Finish(double givenIntervalS, QcReport& report) const {
    if (report.epochs == 0) return;
    const double interval = givenIntervalS > 0.0 ? givenIntervalS : spacings_.MostFrequentS();
    if (interval > 0.0) report.intervalS = interval;
    if (report.epochs == 1) {
        report.expectedEpochs = 1;
    } else if (interval > 0.0) {
        const double span = report.last->Total() - report.first->Total();
        report.expectedEpochs = std::llround(span / interval) + 1;
    }
    if (!report.intervalS) return;
    const double limit = kGapFactor * interval + kSpacingSlackS;
    for (const QcGap& g : gapCandidates_) {
        if (g.lengthS <= limit) continue;
        ++report.gapCount;
        if (!report.longestGap || g.lengthS > report.longestGap->lengthS) report.longestGap = g;
        if (report.gaps.size() < kQcListedGaps) report.gaps.push_back(g);
    }
    report.gapCount += gapCandidatesUnlisted_;
}

}  // namespace kestrel
