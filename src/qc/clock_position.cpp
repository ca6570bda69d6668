// SPDX-License-Identifier: BSD-2-Clause
#include "qc/clock_position.h"

#include <algorithm>
#include <cmath>

#include "qc/sky.h"

namespace kestrel {
namespace {

constexpr double kScatterQuantile = 0.95;

}  // namespace

void ClockPositionWatch::AddEpoch(const ObservationEpoch& epoch, QcReport& report) {
    const double total = epoch.time.Total();
    if (epoch.clockOffsetM) {
        clock_.Add(total, *epoch.clockOffsetM, steps_);
        clockSamples_.Add({total, *epoch.ClockOffsetS()});
    }
    if (epoch.positionM) {
        ++report.solutions;
        positions_.Add({total, *epoch.positionM});
    }
}

void ClockPositionWatch::AddReceiverFix(const std::array<double, 3>& xyz, QcReport& report) {
    fixes_.Add(xyz);
    ++report.receiverFixes;
}

void ClockPositionWatch::Finish(QcReport& report) {
    clock_.Finish(steps_);
    FinishClock(report);
    FinishPosition(report);
}

void ClockPositionWatch::FinishClock(QcReport& report) {
    report.clockEpochs = clock_.epochs();
    if (const auto first = clock_.firstOffsetM()) report.clockStartS = *first / kSpeedOfLight;
    if (const auto last = clock_.lastOffsetM()) report.clockEndS = *last / kSpeedOfLight;
    if (const auto drift = clock_.DriftMps()) report.clockDrift = *drift / kSpeedOfLight;
    report.clockStepCount = static_cast<int64_t>(steps_.size());
    for (const ClockStepFinder::Step& s : steps_) {
        if (report.clockSteps.size() == kQcListedClockSteps) break;
        report.clockSteps.push_back(QcClockStep{GpsTimeFromTotal(s.timeS), s.sizeM / kSpeedOfLight});
    }
    for (const auto& c : clockSamples_.samples()) report.plot.clock.push_back({c.timeS, c.offsetS});
}

void ClockPositionWatch::FinishPosition(QcReport& report) const {
    std::vector<std::array<double, 3>> xyz;
    xyz.reserve(positions_.samples().size());
    for (const TimedPosition& p : positions_.samples()) xyz.push_back(p.xyz);
    report.position = AxisMedian(xyz);
    if (!report.position) return;
    const auto place = MakeSkyPlace(*report.position);
    if (!place) return;
    report.geodetic = std::array<double, 3>{place->latitudeRad * kDegreesPerRadian,
                                            place->longitudeRad * kDegreesPerRadian, place->heightM};
    std::array<std::vector<double>, 3> axes;
    std::array<double, 3> sum{}, sumSq{};
    for (const TimedPosition& p : positions_.samples()) {
        const std::array<double, 3> enu = EastNorthUp(*place, p.xyz);
        report.plot.positions.push_back({p.timeS, enu});
        for (std::size_t k = 0; k < 3; ++k) {
            axes[k].push_back(std::fabs(enu[k]));
            sum[k] += enu[k];
            sumSq[k] += enu[k] * enu[k];
        }
    }
    const double n = static_cast<double>(axes[0].size());
    std::array<double, 3> std{}, p95{};
    for (std::size_t k = 0; k < 3; ++k) {
        const double mean = sum[k] / n;
        std[k] = std::sqrt(std::max(0.0, sumSq[k] / n - mean * mean));
        auto& a = axes[k];
        const auto at = static_cast<std::size_t>(std::ceil(kScatterQuantile * n)) - 1;
        std::nth_element(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(at), a.end());
        p95[k] = a[at];
    }
    report.scatterStdM = std;
    report.scatter95M = p95;
    if (report.reference) {
        if (const auto ref = MakeSkyPlace(*report.reference)) {
            report.referenceOffsetEnuM = EastNorthUp(*ref, *report.position);
        }
    }
    report.receiverFixPosition = AxisMedian(fixes_.samples());
    if (report.receiverFixPosition) {
        if (const auto fix = MakeSkyPlace(*report.receiverFixPosition)) {
            const std::array<double, 3> enu = EastNorthUp(*fix, *report.position);
            report.solutionLessFixEnuM = enu;
            report.solutionToFixM = std::hypot(enu[0], enu[1], enu[2]);
        }
    }
}

}  // namespace kestrel
