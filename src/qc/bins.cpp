// SPDX-License-Identifier: BSD-2-Clause
#include "qc/bins.h"

#include <algorithm>
#include <cmath>

#include "common/gps_prn.h"

namespace kestrel {
namespace {

constexpr double kFirstBinWidthS = 1.0;

uint16_t Add16(uint16_t a, uint16_t b) {
    const unsigned sum = static_cast<unsigned>(a) + b;
    return static_cast<uint16_t>(std::min(sum, 0xFFFFu));
}

}  // namespace

int32_t VisibilityBins::Index(double timeS, QcPlotData& plot) {
    if (plot.binWidthS == 0.0) {
        plot.binOriginS = std::floor(timeS);
        plot.binWidthS = kFirstBinWidthS;
        plot.bins.assign(kGpsPrnSlots, {});
        plot.epochsPerBin.assign(kVisibilityBins, 0);
    }
    auto index = static_cast<int64_t>(std::floor((timeS - plot.binOriginS) / plot.binWidthS));
    while (index >= kVisibilityBins) {
        Merge(plot);
        index = static_cast<int64_t>(std::floor((timeS - plot.binOriginS) / plot.binWidthS));
    }
    index = std::max<int64_t>(index, 0);
    plot.binCount = std::max(plot.binCount, static_cast<int32_t>(index) + 1);
    return static_cast<int32_t>(index);
}

QcPlotData::Bin& VisibilityBins::Row(QcPlotData& plot, int prn, int32_t bin) {
    auto& row = plot.bins[static_cast<std::size_t>(prn)];
    if (row.empty()) row.assign(kVisibilityBins, {});
    return row[static_cast<std::size_t>(bin)];
}

void VisibilityBins::Merge(QcPlotData& plot) {
    for (auto& row : plot.bins) {
        if (row.empty()) continue;
        for (int32_t i = 0; i < kVisibilityBins / 2; ++i) {
            const QcPlotData::Bin& a = row[static_cast<std::size_t>(2 * i)];
            const QcPlotData::Bin& b = row[static_cast<std::size_t>(2 * i + 1)];
            QcPlotData::Bin m;
            m.observations = a.observations + b.observations;
            m.missing = a.missing + b.missing;
            m.l1Slips = Add16(a.l1Slips, b.l1Slips);
            m.l2Slips = Add16(a.l2Slips, b.l2Slips);
            m.ionosphereSlips = Add16(a.ionosphereSlips, b.ionosphereSlips);
            row[static_cast<std::size_t>(i)] = m;
        }
        std::fill(row.begin() + kVisibilityBins / 2, row.end(), QcPlotData::Bin{});
    }
    for (int32_t i = 0; i < kVisibilityBins / 2; ++i) {
        plot.epochsPerBin[static_cast<std::size_t>(i)] =
            plot.epochsPerBin[static_cast<std::size_t>(2 * i)] + plot.epochsPerBin[static_cast<std::size_t>(2 * i + 1)];
    }
    std::fill(plot.epochsPerBin.begin() + kVisibilityBins / 2, plot.epochsPerBin.end(), 0u);
    plot.binWidthS *= 2.0;
    plot.binCount = (plot.binCount + 1) / 2;
}

}  // namespace kestrel
