// SPDX-License-Identifier: BSD-2-Clause
// The time bins of the visibility picture: per PRN and bin the observations, missing epochs
// and slips, in bins that double their width when the log outgrows them, so that memory stays
// bounded whatever the length of the log.
#pragma once

#include <cstdint>

#include "qc/qc_report.h"

namespace kestrel {

constexpr int32_t kVisibilityBins = 1024;

class VisibilityBins {
public:
    // Bin of `timeS` (seconds since the start of GPS time); the first call fixes the origin.
    int32_t Index(double timeS, QcPlotData& plot);
    // The bin of a PRN, its row made when first asked for.
    static QcPlotData::Bin& Row(QcPlotData& plot, int prn, int32_t bin);

private:
    static void Merge(QcPlotData& plot);
};

}  // namespace kestrel
