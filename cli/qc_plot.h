// SPDX-License-Identifier: BSD-2-Clause
// The quality check's pictures, drawn with cairo: satellite visibility over time with the
// slips marked, the sky plot of the tracks, MP1 and MP2 and signal strength against elevation,
// the receiver clock offset with its steps, and the position scatter (east/north, and up over
// time). A PNG or SVG file holds all of them on one page; an HTML page holds, for every log,
// its summary and each picture as an inline SVG.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "qc/qc_report.h"

namespace kestrel::cli {

enum class PlotFormat { kPng, kSvg, kHtml };

// From the file name's extension (.png, .svg, .html or .htm, any case); none for others.
std::optional<PlotFormat> PlotFormatOf(const std::string& path);

// Size of the page of a PNG or SVG file, pixels.
constexpr int kPlotPageWidth = 1200;
constexpr int kPlotPageHeight = 2140;
// Pictures of one log on the HTML page.
constexpr int kPlotPanels = 8;

// The page of one log as a PNG or SVG file's bytes; false with `error` when cairo failed.
bool RenderQcPage(const QcReport& report, PlotFormat format, std::string& bytes, std::string& error);

// Releases what cairo and fontconfig keep for the whole process (font caches), once every
// picture is drawn: nothing is left for a leak checker to report.
void ReleasePlotCaches();

// One log's part of the HTML page (its summary and pictures; `index`, its place on the page,
// keeps the pictures' ids apart), and the page made of such parts.
bool RenderQcHtmlSection(const QcReport& report, const std::string& summary, std::size_t index, std::string& html,
                         std::string& error);
std::string QcHtmlPage(const std::vector<std::string>& sections);

}  // namespace kestrel::cli
