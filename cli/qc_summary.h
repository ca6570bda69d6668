// SPDX-License-Identifier: BSD-2-Clause
// The quality check's summary of one log as text (one screen, aligned columns, units named),
// and the time and number formats it shares with the pictures and the JSON document.
#pragma once

#include <optional>
#include <string>

#include "common/gps_time.h"
#include "qc/qc_report.h"

namespace kestrel::cli {

std::string FormatQcSummary(const QcReport& report);

// "2005-04-02 00:00:00" (UTC), or empty when the week is unknown.
std::string UtcText(const GpsTime& time, bool weekKnown);

// "-" for a figure that could not be computed.
std::string Figure(const std::optional<double>& value, const char* format);

}  // namespace kestrel::cli
