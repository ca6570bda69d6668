// SPDX-License-Identifier: BSD-2-Clause
#include "qc/sky_watch.h"

#include <cmath>
#include <limits>

#include "common/run_figures.h"
#include "positioning/eph_store.h"

namespace kestrel {
namespace {

constexpr float kNoValue = std::numeric_limits<float>::quiet_NaN();

}  // namespace

SkyWatch::SkyWatch(double maskDeg, const std::optional<std::array<double, 3>>& reference, QcReport& report)
    : maskDeg_(maskDeg) {
    report.maskDeg = maskDeg;
    if (!reference) return;
    report.reference = reference;
    if (const auto place = MakeSkyPlace(*reference)) {
        sky_.SetPlace(*place);
        report.elevationSource = ElevationSource::kReference;
        report.elevationPosition = reference;
    }
}

void SkyWatch::AddEpoch(const GpsTime& time, uint64_t present, VisibilityBins& bins, QcReport& report) {
    if (sky_.HasPlace()) {
        JudgeMissing(time, present, bins, report);
        return;
    }
    if (backlog_.size() == kElevationBacklogEpochs) {
        if (!firstSolutions_.empty()) {
            PlaceFromSolutions(bins, report);
            JudgeMissing(time, present, bins, report);
            return;
        }
        backlog_.pop_front();
        ++report.epochsWithoutElevations;
    }
    backlog_.push_back({time, present});
}

void SkyWatch::AddSolution(const std::array<double, 3>& xyz, VisibilityBins& bins, QcReport& report) {
    if (sky_.HasPlace() || firstSolutions_.size() >= kSolutionsForElevations) return;
    firstSolutions_.push_back(xyz);
    if (firstSolutions_.size() == kSolutionsForElevations) PlaceFromSolutions(bins, report);
}

void SkyWatch::Finish(VisibilityBins& bins, QcReport& report) {
    if (!sky_.HasPlace() && !firstSolutions_.empty()) PlaceFromSolutions(bins, report);
}

void SkyWatch::JudgeMissing(const GpsTime& time, uint64_t present, VisibilityBins& bins, QcReport& report) {
    for (int prn = kFirstGpsPrn; prn <= kLastGpsPrn; ++prn) {
        const std::optional<double> elevation = sky_.ElevationDeg(prn, time);
        if (!elevation) continue;
        Sat& s = sats_[static_cast<std::size_t>(prn)];
        s.elevationKnown = true;
        if (*elevation < maskDeg_) continue;
        s.expected = true;
        if ((present & (uint64_t{1} << prn)) != 0) continue;
        ++s.missing;
        const int32_t bin = bins.Index(time.Total(), report.plot);
        ++VisibilityBins::Row(report.plot, prn, bin).missing;
    }
}

// The median of the first solutions places the receiver; the epochs that waited are judged.
void SkyWatch::PlaceFromSolutions(VisibilityBins& bins, QcReport& report) {
    const auto median = AxisMedian(firstSolutions_);
    const auto place = median ? MakeSkyPlace(*median) : std::nullopt;
    if (!place) return;
    sky_.SetPlace(*place);
    report.elevationSource = ElevationSource::kFirstSolutions;
    report.elevationPosition = median;
    report.elevationSolutions = static_cast<int32_t>(firstSolutions_.size());
    for (const auto& [time, present] : backlog_) JudgeMissing(time, present, bins, report);
    backlog_.clear();
}

DirectionAt SkyWatch::PlotDirections(QcReport& report) {
    QcPlotData& plot = report.plot;
    std::optional<SkyPlace> place;
    if (report.reference) place = MakeSkyPlace(*report.reference);
    if (!place && report.position) place = MakeSkyPlace(*report.position);
    DirectionAt direction = [place](int prn, double totalS) -> std::optional<SkyDirection> {
        if (!place) return std::nullopt;
        const GpsTime t = GpsTimeFromTotal(totalS);
        const GpsEphRecord* eph = eph_store_find(prn, static_cast<int32_t>(std::floor(t.sow)));
        if (eph == nullptr) return std::nullopt;
        return SatelliteDirection(*eph, t.sow, *place);
    };
    for (int prn = kFirstGpsPrn; prn <= kLastGpsPrn && !plot.bins.empty(); ++prn) {
        auto& row = plot.bins[static_cast<std::size_t>(prn)];
        for (int32_t i = 0; i < static_cast<int32_t>(row.size()); ++i) {
            QcPlotData::Bin& b = row[static_cast<std::size_t>(i)];
            b.elevationDeg = kNoValue;
            b.azimuthDeg = kNoValue;
            if (b.observations == 0) continue;
            if (const auto d = direction(prn, plot.binOriginS + (i + 0.5) * plot.binWidthS)) {
                b.elevationDeg = static_cast<float>(d->elevationDeg);
                b.azimuthDeg = static_cast<float>(d->azimuthDeg);
            }
        }
    }
    return direction;
}

}  // namespace kestrel
