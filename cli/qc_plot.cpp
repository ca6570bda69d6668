// SPDX-License-Identifier: BSD-2-Clause
#include "qc_plot.h"

#include <algorithm>
#include <cctype>
#include <map>

#include <cairo-svg.h>
#include <cairo.h>
#include <fontconfig/fontconfig.h>
#include <cmath>
#include <cstdio>
#include <numbers>

#include "qc_summary.h"

namespace kestrel::cli {
namespace {

constexpr double kPanelWidth = 600.0;
constexpr double kPanelHeight = 420.0;
constexpr double kTitleHeight = 40.0;
// Plot area inside a panel: room for the title above, tick labels left and below.
constexpr double kMarginLeft = 64.0;
constexpr double kMarginRight = 20.0;
constexpr double kMarginTop = 42.0;
constexpr double kMarginBottom = 46.0;
constexpr double kFontSize = 12.0;
constexpr double kTitleFontSize = 14.0;
constexpr double kDotRadius = 1.25;  // half the side of a dot
constexpr double kMostRowHeight = 22.0;  // of a satellite on the visibility chart
constexpr double kDegreesToRadians = std::numbers::pi / 180.0;
constexpr double kMicrosecondsPerSecond = 1e6;
constexpr double kElevationBinDeg = 5.0;  // bins of the RMS line on the multipath plots
constexpr double kScatterQuantile = 0.99;   // of |values|: the extent of symmetric axes
constexpr double kAxisHeadroom = 1.2;
constexpr const char* kFont = "DejaVu Sans";

struct Rgb {
    double r, g, b;
};
// Satellite colours, by PRN modulo their count: greens, purples, browns and slate, none of
// them near the markers' red, blue and orange or the light grey of missing observations, so a
// slip stands out on any satellite's bar.
constexpr Rgb kPalette[] = {
    {0.17, 0.63, 0.17}, {0.58, 0.40, 0.74}, {0.55, 0.34, 0.29}, {0.09, 0.62, 0.66}, {0.64, 0.64, 0.10},
    {0.10, 0.40, 0.30}, {0.36, 0.40, 0.50}, {0.45, 0.20, 0.45}, {0.50, 0.65, 0.45},
};
constexpr Rgb kL1SlipColour{0.85, 0.0, 0.0};
constexpr Rgb kL2SlipColour{0.0, 0.2, 0.9};
constexpr Rgb kIonosphereColour{1.0, 0.55, 0.0};
constexpr Rgb kMissingColour{0.85, 0.85, 0.85};
constexpr Rgb kPaper{1.0, 1.0, 1.0};
constexpr double kMarkerOutline = 1.5;  // pixels of paper around a slip tick
constexpr Rgb kGridColour{0.88, 0.88, 0.88};
constexpr Rgb kInk{0.1, 0.1, 0.1};

const Rgb& PrnColour(int prn) { return kPalette[static_cast<std::size_t>(prn) % std::size(kPalette)]; }

void SetColour(cairo_t* cr, const Rgb& c, double alpha = 1.0) { cairo_set_source_rgba(cr, c.r, c.g, c.b, alpha); }

enum class Panel { kVisibility, kSky, kStrength, kMp1, kMp2, kClock, kEastNorth, kUp };
constexpr Panel kPanels[kPlotPanels] = {Panel::kVisibility, Panel::kSky, Panel::kStrength, Panel::kMp1,
                                        Panel::kMp2,        Panel::kClock, Panel::kEastNorth, Panel::kUp};

struct Box {
    double x, y, w, h;
};

// Where each picture sits on the page: two columns, the time charts across both.
Box PageBox(Panel p) {
    const double top = kTitleHeight;
    switch (p) {
        case Panel::kVisibility: return {0, top, 2 * kPanelWidth, kPanelHeight};
        case Panel::kSky: return {0, top + kPanelHeight, kPanelWidth, kPanelHeight};
        case Panel::kStrength: return {kPanelWidth, top + kPanelHeight, kPanelWidth, kPanelHeight};
        case Panel::kMp1: return {0, top + 2 * kPanelHeight, kPanelWidth, kPanelHeight};
        case Panel::kMp2: return {kPanelWidth, top + 2 * kPanelHeight, kPanelWidth, kPanelHeight};
        case Panel::kClock: return {0, top + 3 * kPanelHeight, 2 * kPanelWidth, kPanelHeight};
        case Panel::kEastNorth: return {0, top + 4 * kPanelHeight, kPanelWidth, kPanelHeight};
        case Panel::kUp: return {kPanelWidth, top + 4 * kPanelHeight, kPanelWidth, kPanelHeight};
    }
    return {0, 0, kPanelWidth, kPanelHeight};
}
static_assert(kTitleHeight + 5 * kPanelHeight == kPlotPageHeight);
static_assert(2 * kPanelWidth == kPlotPageWidth);

// A linear axis from `lo` to `hi` onto pixels `p0` to `p1`.
struct Axis {
    double lo, hi, p0, p1;
    double operator()(double v) const { return p0 + (v - lo) / (hi - lo) * (p1 - p0); }
};

// Round tick values: steps of 1, 2 or 5 times a power of ten, about `count` of them.
std::vector<double> Ticks(double lo, double hi, int count) {
    std::vector<double> ticks;
    if (!(hi > lo)) return ticks;
    const double raw = (hi - lo) / count;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    double step = power;
    for (double m : {1.0, 2.0, 5.0, 10.0}) {
        step = m * power;
        if (step >= raw) break;
    }
    for (double v = std::ceil(lo / step) * step; v <= hi + step * 1e-9; v += step) {
        ticks.push_back(std::fabs(v) < step * 1e-9 ? 0.0 : v);
    }
    return ticks;
}

std::string Number(double v) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%g", v);
    return buffer;
}

void Text(cairo_t* cr, double x, double y, const std::string& text, double alignX = 0.0, double alignY = 0.0) {
    cairo_text_extents_t e;
    cairo_text_extents(cr, text.c_str(), &e);
    cairo_move_to(cr, x - alignX * e.width - e.x_bearing, y - alignY * e.height - e.y_bearing);
    cairo_show_text(cr, text.c_str());
}

void Font(cairo_t* cr, double size, bool bold = false) {
    cairo_select_font_face(cr, kFont, CAIRO_FONT_SLANT_NORMAL, bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, size);
}

// The time axis of a log: seconds, minutes or hours since its first epoch.
struct TimeScale {
    double originS = 0.0;  // seconds since the start of GPS time
    double unitS = 1.0;
    std::string label;
    double spanUnits = 1.0;
};

TimeScale MakeTimeScale(const QcReport& r) {
    TimeScale t;
    if (!r.first || !r.last) return t;
    t.originS = r.first->Total();
    const double span = std::max(r.last->Total() - t.originS, 1.0);
    const char* unit = "s";
    if (span > 6 * 3600.0) {
        t.unitS = 3600.0;
        unit = "h";
    } else if (span > 600.0) {
        t.unitS = 60.0;
        unit = "min";
    }
    t.spanUnits = span / t.unitS;
    const std::string since = r.weekKnown ? UtcText(*r.first, true).substr(0, 19) + " UTC"
                                          : "second " + Number(r.first->sow) + " of an unknown week";
    t.label = "time since " + since + " (" + unit + ")";
    return t;
}

// Frame, grid, ticks and labels of a plot area; returns the area.
Box DrawFrame(cairo_t* cr, const Box& panel, const std::string& title, const Axis& x, const Axis& y,
              const std::string& xLabel, const std::string& yLabel, bool yTicks = true) {
    const Box area{kMarginLeft, kMarginTop, panel.w - kMarginLeft - kMarginRight, panel.h - kMarginTop - kMarginBottom};
    SetColour(cr, kInk);
    Font(cr, kTitleFontSize, true);
    Text(cr, panel.w / 2, 6, title, 0.5, 0.0);
    Font(cr, kFontSize);
    cairo_set_line_width(cr, 1.0);
    for (double v : Ticks(x.lo, x.hi, 8)) {
        const double px = x(v);
        SetColour(cr, kGridColour);
        cairo_move_to(cr, px, area.y);
        cairo_line_to(cr, px, area.y + area.h);
        cairo_stroke(cr);
        SetColour(cr, kInk);
        Text(cr, px, area.y + area.h + 6, Number(v), 0.5, 0.0);
    }
    for (double v : yTicks ? Ticks(y.lo, y.hi, 6) : std::vector<double>{}) {
        const double py = y(v);
        SetColour(cr, kGridColour);
        cairo_move_to(cr, area.x, py);
        cairo_line_to(cr, area.x + area.w, py);
        cairo_stroke(cr);
        SetColour(cr, kInk);
        Text(cr, area.x - 6, py, Number(v), 1.0, 0.5);
    }
    SetColour(cr, kInk);
    cairo_rectangle(cr, area.x, area.y, area.w, area.h);
    cairo_stroke(cr);
    Text(cr, area.x + area.w / 2, panel.h - 18, xLabel, 0.5, 0.0);
    cairo_save(cr);
    cairo_translate(cr, 14, area.y + area.h / 2);
    cairo_rotate(cr, -std::numbers::pi / 2);
    Text(cr, 0, 0, yLabel, 0.5, 0.5);
    cairo_restore(cr);
    return area;
}

void NoData(cairo_t* cr, const Box& panel, const std::string& title, const std::string& why) {
    SetColour(cr, kInk);
    Font(cr, kTitleFontSize, true);
    Text(cr, panel.w / 2, 6, title, 0.5, 0.0);
    Font(cr, kFontSize);
    cairo_set_line_width(cr, 1.0);
    cairo_rectangle(cr, kMarginLeft, kMarginTop, panel.w - kMarginLeft - kMarginRight,
                    panel.h - kMarginTop - kMarginBottom);
    cairo_stroke(cr);
    Text(cr, panel.w / 2, panel.h / 2, why, 0.5, 0.5);
}

void Clip(cairo_t* cr, const Box& area) {
    cairo_rectangle(cr, area.x, area.y, area.w, area.h);
    cairo_clip(cr);
}

// A dot of a scatter plot: a small square, added to the path; the caller fills many at once,
// so that a vector picture holds one element per colour rather than one per dot.
// Corners fall on quarter pixels, which a vector picture writes in few digits.
void Dot(cairo_t* cr, double x, double y) {
    const double left = std::round((x - kDotRadius) * 4.0) / 4.0, top = std::round((y - kDotRadius) * 4.0) / 4.0;
    cairo_rectangle(cr, left, top, 2 * kDotRadius, 2 * kDotRadius);
}

// The value below which a share `q` of |values| lies; 0 for none.
double AbsQuantile(std::vector<double> values, double q) {
    if (values.empty()) return 0.0;
    for (double& v : values) v = std::fabs(v);
    const auto at = static_cast<std::size_t>(q * static_cast<double>(values.size() - 1));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(at), values.end());
    return values[at];
}

// Values beyond an axis's range are drawn at its edge as triangles pointing outwards and
// counted, so that no value leaves a picture without a word.
struct OffScale {
    int count = 0;
    double farthest = 0.0;  // the largest size of a value beyond the range of the values' axis
};

// `v` kept within [lo, hi]; `beyond` tells which way it was moved (-1, 0, 1).
double Fit(double v, double lo, double hi, int& beyond) {
    beyond = v < lo ? -1 : v > hi ? 1 : 0;
    return std::clamp(v, lo, hi);
}

// A triangle at (px, py) pointing along (dx, dy), added to the path.
void EdgeMark(cairo_t* cr, double px, double py, double dx, double dy) {
    constexpr double kSize = 5.0;
    const double length = std::hypot(dx, dy);
    const double ux = dx / length, uy = dy / length;
    cairo_move_to(cr, px + ux * kSize, py + uy * kSize);
    cairo_line_to(cr, px - ux * kSize - uy * kSize * 0.8, py - uy * kSize + ux * kSize * 0.8);
    cairo_line_to(cr, px - ux * kSize + uy * kSize * 0.8, py - uy * kSize - ux * kSize * 0.8);
    cairo_close_path(cr);
}

// A point of a scatter plot at (x, y) on the axes: a dot within them, an edge mark beyond,
// counted in `off`. `size` is the point's value in the unit of the y axis (of both axes when
// `bothAxesHoldIt`), which `off` keeps the largest of.
void ScatterPoint(cairo_t* cr, const Axis& ax, const Axis& ay, double x, double y, double size, OffScale& off,
                  bool bothAxesHoldIt = false) {
    int bx = 0, by = 0;
    const double px = ax(Fit(x, ax.lo, ax.hi, bx)), py = ay(Fit(y, ay.lo, ay.hi, by));
    if (bx == 0 && by == 0) {
        Dot(cr, px, py);
        return;
    }
    ++off.count;
    if (by != 0 || bothAxesHoldIt) off.farthest = std::max(off.farthest, size);
    // Inside the frame, pointing out of it (pixel y grows downwards).
    const double inset = 5.0;
    EdgeMark(cr, px - bx * inset, py + by * inset, bx, -by);
}

// "2 points off scale, up to 12.9 m: triangles at the edge", over the plot area's top right
// corner, clear of the data.
void LabelOffScale(cairo_t* cr, const Box& area, const OffScale& off, const char* unit) {
    if (off.count == 0) return;
    char farthest[48] = "";
    if (off.farthest > 0.0) std::snprintf(farthest, sizeof farthest, ", up to %.1f %s", off.farthest, unit);
    char text[128];
    std::snprintf(text, sizeof text, "%d point%s off scale%s: triangles at the edge", off.count,
                  off.count == 1 ? "" : "s", farthest);
    SetColour(cr, kInk);
    Text(cr, area.x + area.w, area.y - 4, text, 1.0, 1.0);
}

// The satellites with a row on the visibility chart, in PRN order.
std::vector<int> ChartedPrns(const QcPlotData& plot) {
    std::vector<int> prns;
    for (std::size_t prn = 0; prn < plot.bins.size(); ++prn) {
        const auto& row = plot.bins[prn];
        if (std::any_of(row.begin(), row.end(), [](const QcPlotData::Bin& b) { return b.observations + b.missing > 0; })) {
            prns.push_back(static_cast<int>(prn));
        }
    }
    return prns;
}

// A slip tick from y0 to y1, outlined in the paper's colour so that it stands out on a bar.
void Tick(cairo_t* cr, double x, double y0, double y1, const Rgb& colour) {
    cairo_set_line_width(cr, 2.0 + 2 * kMarkerOutline);
    SetColour(cr, kPaper);
    cairo_move_to(cr, x, y0);
    cairo_line_to(cr, x, y1);
    cairo_stroke(cr);
    cairo_set_line_width(cr, 2.0);
    SetColour(cr, colour);
    cairo_move_to(cr, x, y0);
    cairo_line_to(cr, x, y1);
    cairo_stroke(cr);
}

// A diamond of half-diagonal `d`, filled and outlined in ink.
void Diamond(cairo_t* cr, double x, double y, double d, const Rgb& colour) {
    cairo_move_to(cr, x, y - d);
    cairo_line_to(cr, x + d, y);
    cairo_line_to(cr, x, y + d);
    cairo_line_to(cr, x - d, y);
    cairo_close_path(cr);
    SetColour(cr, colour);
    cairo_fill_preserve(cr);
    cairo_set_line_width(cr, 1.0);
    SetColour(cr, kInk);
    cairo_stroke(cr);
}

enum class LegendMark { kSwatch, kTick, kDiamond };

void LegendItem(cairo_t* cr, double& x, double y, const Rgb& colour, const std::string& text, LegendMark marker) {
    if (marker == LegendMark::kTick) {
        Tick(cr, x + 5, y - 6, y + 6, colour);
    } else if (marker == LegendMark::kDiamond) {
        Diamond(cr, x + 6, y, 5, colour);
    } else {
        SetColour(cr, colour);
        cairo_rectangle(cr, x, y - 5, 12, 10);
        cairo_fill(cr);
    }
    SetColour(cr, kInk);
    Text(cr, x + 16, y, text, 0.0, 0.5);
    cairo_text_extents_t e;
    cairo_text_extents(cr, text.c_str(), &e);
    x += 16 + e.x_advance + 18;
}

void DrawVisibility(cairo_t* cr, const Box& panel, const QcReport& r) {
    const char* title = "Satellite visibility";
    const std::vector<int> prns = ChartedPrns(r.plot);
    if (prns.empty() || !r.first) {
        NoData(cr, panel, title, "no observations");
        return;
    }
    const TimeScale ts = MakeTimeScale(r);
    const Box inner{kMarginLeft, kMarginTop, panel.w - kMarginLeft - kMarginRight, panel.h - kMarginTop - kMarginBottom};
    const double rowHeight = std::min(kMostRowHeight, inner.h / static_cast<double>(prns.size()));
    const double rowsHeight = rowHeight * static_cast<double>(prns.size());
    const Axis x{0.0, ts.spanUnits, inner.x, inner.x + inner.w};
    // Rows from the top; the y axis carries no numbers of its own.
    const Axis y{0.0, 1.0, inner.y + inner.h, inner.y + inner.h};
    const Box area = DrawFrame(cr, panel, title, x, y, ts.label, "PRN", false);

    const QcPlotData& plot = r.plot;
    const double interval = r.intervalS.value_or(plot.binWidthS);
    const double top = area.y + (area.h - rowsHeight) / 2;
    cairo_save(cr);
    Clip(cr, area);
    for (std::size_t row = 0; row < prns.size(); ++row) {
        const int prn = prns[row];
        const double y0 = top + rowHeight * static_cast<double>(row);
        const double barTop = y0 + rowHeight * 0.2;
        const double barHeight = rowHeight * 0.6;
        const auto& bins = plot.bins[static_cast<std::size_t>(prn)];
        // Runs of bins, observed or expected but missing, joined where the next one starts
        // within half an interval of the last one's end.
        const double reachS = std::max(plot.binWidthS, interval);
        for (int pass = 0; pass < 2; ++pass) {
            const bool observedPass = pass == 1;  // missing first, observed drawn over them
            SetColour(cr, observedPass ? PrnColour(prn) : kMissingColour);
            double runStart = 0.0, runEnd = -1.0;
            bool open = false;
            const auto flush = [&]() {
                if (!open) return;
                const double px0 = x((runStart - ts.originS) / ts.unitS);
                const double px1 = std::max(x((runEnd - ts.originS) / ts.unitS), px0 + 1.0);
                cairo_rectangle(cr, px0, barTop, px1 - px0, barHeight);
                cairo_fill(cr);
                open = false;
            };
            for (int32_t i = 0; i < plot.binCount; ++i) {
                const QcPlotData::Bin& b = bins[static_cast<std::size_t>(i)];
                if ((observedPass ? b.observations : b.missing) == 0) continue;
                const double startS = plot.binOriginS + i * plot.binWidthS;
                if (open && startS > runEnd + 0.5 * reachS) flush();
                if (!open) {
                    runStart = startS;
                    open = true;
                }
                runEnd = startS + reachS;
            }
            flush();
        }
        // Slips over the bars: L1 above the middle, L2 below, ionospheric jumps as diamonds.
        for (int32_t i = 0; i < plot.binCount; ++i) {
            const QcPlotData::Bin& b = bins[static_cast<std::size_t>(i)];
            if (b.l1Slips + b.l2Slips + b.ionosphereSlips == 0) continue;
            const double px = x((plot.binOriginS + (i + 0.5) * plot.binWidthS - ts.originS) / ts.unitS);
            if (b.l1Slips > 0) Tick(cr, px, y0, y0 + rowHeight / 2, kL1SlipColour);
            if (b.l2Slips > 0) Tick(cr, px, y0 + rowHeight / 2, y0 + rowHeight, kL2SlipColour);
            if (b.ionosphereSlips > 0) Diamond(cr, px, y0 + rowHeight / 2, rowHeight * 0.3, kIonosphereColour);
        }
    }
    cairo_restore(cr);
    SetColour(cr, kInk);
    Font(cr, std::min(kFontSize, rowHeight * 0.8));
    for (std::size_t row = 0; row < prns.size(); ++row) {
        Text(cr, area.x - 6, top + rowHeight * (static_cast<double>(row) + 0.5), "G" + std::string(prns[row] < 10 ? "0" : "") + std::to_string(prns[row]), 1.0, 0.5);
    }
    Font(cr, kFontSize);
    double lx = area.x;
    const double ly = kMarginTop - 10;
    LegendItem(cr, lx, ly, kPalette[0], "observed (colour per satellite)", LegendMark::kSwatch);
    LegendItem(cr, lx, ly, kMissingColour, "above the mask, not observed", LegendMark::kSwatch);
    LegendItem(cr, lx, ly, kL1SlipColour, "L1 slip", LegendMark::kTick);
    LegendItem(cr, lx, ly, kL2SlipColour, "L2 slip", LegendMark::kTick);
    LegendItem(cr, lx, ly, kIonosphereColour, "ionospheric jump", LegendMark::kDiamond);
}

void DrawSky(cairo_t* cr, const Box& panel, const QcReport& r) {
    const char* title = "Sky plot";
    const QcPlotData& plot = r.plot;
    SetColour(cr, kInk);
    Font(cr, kTitleFontSize, true);
    Text(cr, panel.w / 2, 6, title, 0.5, 0.0);
    Font(cr, kFontSize);
    const double cx = panel.w / 2, cy = (panel.h + kMarginTop - 10) / 2;
    const double radius = std::min(panel.w, panel.h - kMarginTop) / 2 - 28;
    const auto project = [&](double elevation, double azimuth, double& px, double& py) {
        const double rr = radius * (90.0 - elevation) / 90.0;
        px = cx + rr * std::sin(azimuth * kDegreesToRadians);
        py = cy - rr * std::cos(azimuth * kDegreesToRadians);
    };
    cairo_set_line_width(cr, 1.0);
    for (double el : {0.0, 30.0, 60.0}) {
        SetColour(cr, el == 0.0 ? kInk : kGridColour);
        cairo_new_sub_path(cr);
        cairo_arc(cr, cx, cy, radius * (90.0 - el) / 90.0, 0, 2 * std::numbers::pi);
        cairo_stroke(cr);
        SetColour(cr, kInk);
        Text(cr, cx + 3, cy - radius * (90.0 - el) / 90.0 + 2, Number(el) + "°", 0.0, 0.0);
    }
    for (int az = 0; az < 360; az += 30) {
        double px, py;
        project(0.0, az, px, py);
        SetColour(cr, kGridColour);
        cairo_move_to(cr, cx, cy);
        cairo_line_to(cr, px, py);
        cairo_stroke(cr);
    }
    SetColour(cr, kInk);
    const char* compass[] = {"N", "E", "S", "W"};
    for (int i = 0; i < 4; ++i) {
        double px, py;
        project(-12.0, i * 90.0, px, py);
        Text(cr, px, py, compass[i], 0.5, 0.5);
    }
    if (r.maskDeg > 0.0) {
        const double dash[] = {4.0, 3.0};
        cairo_set_dash(cr, dash, 2, 0);
        SetColour(cr, kL1SlipColour, 0.6);
        cairo_new_sub_path(cr);
        cairo_arc(cr, cx, cy, radius * (90.0 - r.maskDeg) / 90.0, 0, 2 * std::numbers::pi);
        cairo_stroke(cr);
        cairo_set_dash(cr, nullptr, 0, 0);
    }
    bool any = false;
    const double joinS = std::max(2.0 * r.intervalS.value_or(plot.binWidthS), 2.0 * plot.binWidthS);
    cairo_set_line_width(cr, 1.8);
    // Round ends: a track of one point (a short log) still shows as a dot.
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    for (std::size_t prn = 0; prn < plot.bins.size(); ++prn) {
        const auto& row = plot.bins[prn];
        double lastT = -1e300, lastX = 0, lastY = 0;
        bool open = false;
        const auto endSegment = [&]() {
            if (!open) return;
            cairo_stroke(cr);
            SetColour(cr, kInk);
            Text(cr, lastX + 4, lastY, std::to_string(prn), 0.0, 0.5);
            open = false;
        };
        for (int32_t i = 0; i < static_cast<int32_t>(row.size()); ++i) {
            const QcPlotData::Bin& b = row[static_cast<std::size_t>(i)];
            if (b.observations == 0 || !std::isfinite(b.elevationDeg) || b.elevationDeg < 0.0f) continue;
            const double t = plot.binOriginS + (i + 0.5) * plot.binWidthS;
            double px, py;
            project(b.elevationDeg, b.azimuthDeg, px, py);
            if (open && t - lastT > joinS) endSegment();
            SetColour(cr, PrnColour(static_cast<int>(prn)));
            if (!open) {
                cairo_move_to(cr, px, py);
                cairo_line_to(cr, px, py);
                open = true;
            } else {
                cairo_move_to(cr, lastX, lastY);
                cairo_line_to(cr, px, py);
            }
            lastT = t;
            lastX = px;
            lastY = py;
            any = true;
        }
        endSegment();
    }
    if (!any) {
        SetColour(cr, kInk);
        Text(cr, cx, cy, "no directions: no position or no ephemeris", 0.5, 0.5);
    }
}

// Values against elevation, with the RMS of each 5° of elevation as a line when `rmsLine`.
void DrawAgainstElevation(cairo_t* cr, const Box& panel, const QcReport& r, const char* title, const char* yLabel,
                          float QcPlotData::Point::*member, bool symmetric) {
    std::vector<double> values;
    for (const auto& p : r.plot.points) {
        if (std::isfinite(p.*member) && std::isfinite(p.elevationDeg)) values.push_back(p.*member);
    }
    if (values.empty()) {
        NoData(cr, panel, title, r.plot.points.empty() ? "no observations" : "no values with known elevation");
        return;
    }
    double lo, hi;
    if (symmetric) {
        hi = std::max(0.5, AbsQuantile(values, kScatterQuantile) * kAxisHeadroom);
        lo = -hi;
    } else {
        const auto [mn, mx] = std::minmax_element(values.begin(), values.end());
        lo = std::floor(*mn) - 2.0;
        hi = std::ceil(*mx) + 2.0;
    }
    const Axis x{0.0, 90.0, kMarginLeft, panel.w - kMarginRight};
    const Axis y{lo, hi, panel.h - kMarginBottom, kMarginTop};
    const Box area = DrawFrame(cr, panel, title, x, y, "elevation (°)", yLabel);
    cairo_save(cr);
    Clip(cr, area);
    constexpr int kBins = static_cast<int>(90.0 / kElevationBinDeg);
    double squares[kBins] = {};
    int counts[kBins] = {};
    OffScale off;
    for (std::size_t colour = 0; colour < std::size(kPalette); ++colour) {
        for (const auto& p : r.plot.points) {
            const double v = p.*member;
            if (!std::isfinite(v) || !std::isfinite(p.elevationDeg) || &PrnColour(p.prn) != &kPalette[colour]) continue;
            ScatterPoint(cr, x, y, p.elevationDeg, v, std::fabs(v), off);
            const int bin = std::clamp(static_cast<int>(p.elevationDeg / kElevationBinDeg), 0, kBins - 1);
            squares[bin] += v * v;
            ++counts[bin];
        }
        SetColour(cr, kPalette[colour], 0.55);
        cairo_fill(cr);
    }
    if (symmetric) {
        SetColour(cr, kInk);
        cairo_set_line_width(cr, 2.0);
        bool open = false;
        for (int b = 0; b < kBins; ++b) {
            if (counts[b] == 0) {
                open = false;
                continue;
            }
            const double px = x((b + 0.5) * kElevationBinDeg), py = y(std::sqrt(squares[b] / counts[b]));
            if (open) {
                cairo_line_to(cr, px, py);
            } else {
                cairo_move_to(cr, px, py);
                open = true;
            }
        }
        cairo_stroke(cr);
        Text(cr, area.x + area.w - 6, area.y + 6, "line: RMS per 5° of elevation", 1.0, 0.0);
    }
    cairo_restore(cr);
    LabelOffScale(cr, area, off, "m");
}

void DrawClock(cairo_t* cr, const Box& panel, const QcReport& r) {
    const char* title = "Receiver clock offset";
    const auto& samples = r.plot.clock;
    if (samples.empty() || !r.first) {
        NoData(cr, panel, title, "no solved clock offset");
        return;
    }
    const TimeScale ts = MakeTimeScale(r);
    double lo = samples.front().offsetS, hi = lo;
    for (const auto& s : samples) {
        lo = std::min(lo, s.offsetS);
        hi = std::max(hi, s.offsetS);
    }
    // Microseconds, or milliseconds when the offset wanders over more than one.
    const bool millis = hi - lo > 1e-3;
    const double scale = millis ? 1e3 : kMicrosecondsPerSecond;
    double ylo = lo * scale, yhi = hi * scale;
    const double pad = std::max((yhi - ylo) * 0.08, 0.01);
    ylo -= pad;
    yhi += pad;
    const Axis x{0.0, ts.spanUnits, kMarginLeft, panel.w - kMarginRight};
    const Axis y{ylo, yhi, panel.h - kMarginBottom, kMarginTop};
    const Box area = DrawFrame(cr, panel, title, x, y, ts.label, millis ? "offset (ms)" : "offset (µs)");
    cairo_save(cr);
    Clip(cr, area);
    cairo_set_line_width(cr, 1.0);
    const double dash[] = {3.0, 3.0};
    SetColour(cr, kL1SlipColour, 0.8);
    cairo_set_dash(cr, dash, 2, 0);
    for (const QcClockStep& s : r.clockSteps) {
        const double px = x((s.time.Total() - ts.originS) / ts.unitS);
        cairo_move_to(cr, px, area.y);
        cairo_line_to(cr, px, area.y + area.h);
    }
    cairo_stroke(cr);
    cairo_set_dash(cr, nullptr, 0, 0);
    SetColour(cr, kPalette[0]);
    for (const auto& s : samples) Dot(cr, x((s.timeS - ts.originS) / ts.unitS), y(s.offsetS * scale));
    cairo_fill(cr);
    cairo_restore(cr);
    SetColour(cr, kL1SlipColour);
    Text(cr, area.x + area.w - 6, kMarginTop - 14,
         std::to_string(r.clockStepCount) + " steps (dashed)", 1.0, 0.5);
}

void DrawEastNorth(cairo_t* cr, const Box& panel, const QcReport& r) {
    const char* title = "Position scatter, east and north of the median";
    const auto& positions = r.plot.positions;
    if (positions.empty()) {
        NoData(cr, panel, title, "no single-point solution");
        return;
    }
    std::vector<double> values;
    for (const auto& p : positions) {
        values.push_back(p.enuM[0]);
        values.push_back(p.enuM[1]);
    }
    const double extent = std::max(1.0, AbsQuantile(values, kScatterQuantile) * kAxisHeadroom);
    // Equal scales on both axes: the plot area is made square.
    const double side = std::min(panel.w - kMarginLeft - kMarginRight, panel.h - kMarginTop - kMarginBottom);
    const double left = kMarginLeft + (panel.w - kMarginLeft - kMarginRight - side) / 2;
    const Box square{left - kMarginLeft, 0, side + kMarginLeft + kMarginRight, panel.h};
    cairo_save(cr);
    cairo_translate(cr, square.x, 0);
    const Axis x{-extent, extent, kMarginLeft, kMarginLeft + side};
    const Axis y{-extent, extent, kMarginTop + side, kMarginTop};
    const Box area = DrawFrame(cr, square, title, x, y, "east (m)", "north (m)");
    cairo_save(cr);
    Clip(cr, area);
    SetColour(cr, kPalette[0], 0.6);
    OffScale off;
    for (const auto& p : positions) {
        ScatterPoint(cr, x, y, p.enuM[0], p.enuM[1], std::hypot(p.enuM[0], p.enuM[1]), off, true);
    }
    cairo_fill(cr);
    SetColour(cr, kInk);
    cairo_set_line_width(cr, 1.0);
    cairo_move_to(cr, x(0) - 6, y(0));
    cairo_line_to(cr, x(0) + 6, y(0));
    cairo_move_to(cr, x(0), y(0) - 6);
    cairo_line_to(cr, x(0), y(0) + 6);
    cairo_stroke(cr);
    if (r.referenceOffsetEnuM) {
        // The reference lies at minus the median's offset from it; beyond the axes, at the
        // edge with its distance.
        const double east = -(*r.referenceOffsetEnuM)[0], north = -(*r.referenceOffsetEnuM)[1];
        int bx = 0, by = 0;
        const double ex = x(Fit(east, x.lo, x.hi, bx)), ny = y(Fit(north, y.lo, y.hi, by));
        SetColour(cr, kL1SlipColour);
        std::string label = "reference";
        if (bx != 0 || by != 0) {
            EdgeMark(cr, ex - bx * 6.0, ny + by * 6.0, bx, -by);
            cairo_fill(cr);
            char distance[48];
            std::snprintf(distance, sizeof distance, ", %.1f m off scale", std::hypot(east, north));
            label += distance;
        } else {
            cairo_set_line_width(cr, 2.0);
            cairo_move_to(cr, ex - 6, ny - 6);
            cairo_line_to(cr, ex + 6, ny + 6);
            cairo_move_to(cr, ex - 6, ny + 6);
            cairo_line_to(cr, ex + 6, ny - 6);
            cairo_stroke(cr);
        }
        // On the side of the mark that faces the plot.
        const bool right = ex < area.x + area.w / 2;
        Text(cr, ex + (right ? 14 : -14), std::clamp(ny, area.y + 8, area.y + area.h - 8), label, right ? 0.0 : 1.0,
             0.5);
    }
    cairo_restore(cr);
    LabelOffScale(cr, area, off, "m");
    cairo_restore(cr);
}

void DrawUp(cairo_t* cr, const Box& panel, const QcReport& r) {
    const char* title = "Height above the median";
    const auto& positions = r.plot.positions;
    if (positions.empty() || !r.first) {
        NoData(cr, panel, title, "no single-point solution");
        return;
    }
    std::vector<double> ups;
    for (const auto& p : positions) ups.push_back(p.enuM[2]);
    const double extent = std::max(1.0, AbsQuantile(ups, kScatterQuantile) * kAxisHeadroom);
    const TimeScale ts = MakeTimeScale(r);
    const Axis x{0.0, ts.spanUnits, kMarginLeft, panel.w - kMarginRight};
    const Axis y{-extent, extent, panel.h - kMarginBottom, kMarginTop};
    const Box area = DrawFrame(cr, panel, title, x, y, ts.label, "up (m)");
    cairo_save(cr);
    Clip(cr, area);
    SetColour(cr, kPalette[1], 0.7);
    OffScale off;
    for (const auto& p : positions) {
        ScatterPoint(cr, x, y, (p.timeS - ts.originS) / ts.unitS, p.enuM[2], std::fabs(p.enuM[2]), off);
    }
    cairo_fill(cr);
    cairo_restore(cr);
    LabelOffScale(cr, area, off, "m");
}

void DrawPanel(cairo_t* cr, Panel panel, const Box& box, const QcReport& r) {
    cairo_save(cr);
    cairo_translate(cr, box.x, box.y);
    const Box local{0, 0, box.w, box.h};
    SetColour(cr, kPaper);
    cairo_rectangle(cr, 0, 0, box.w, box.h);
    cairo_fill(cr);
    switch (panel) {
        case Panel::kVisibility: DrawVisibility(cr, local, r); break;
        case Panel::kSky: DrawSky(cr, local, r); break;
        case Panel::kStrength:
            DrawAgainstElevation(cr, local, r, "Signal strength", "strength (dB-Hz)", &QcPlotData::Point::strengthDbHz, false);
            break;
        case Panel::kMp1:
            DrawAgainstElevation(cr, local, r, "MP1 (arc mean removed)", "MP1 (m)", &QcPlotData::Point::mp1M, true);
            break;
        case Panel::kMp2:
            DrawAgainstElevation(cr, local, r, "MP2 (arc mean removed)", "MP2 (m)", &QcPlotData::Point::mp2M, true);
            break;
        case Panel::kClock: DrawClock(cr, local, r); break;
        case Panel::kEastNorth: DrawEastNorth(cr, local, r); break;
        case Panel::kUp: DrawUp(cr, local, r); break;
    }
    cairo_restore(cr);
}

cairo_status_t AppendBytes(void* closure, const unsigned char* data, unsigned int length) {
    static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
    return CAIRO_STATUS_SUCCESS;
}

bool Finish(cairo_surface_t* surface, cairo_t* cr, std::string& error) {
    const cairo_status_t drawn = cairo_status(cr);
    cairo_destroy(cr);
    cairo_surface_finish(surface);
    const cairo_status_t finished = cairo_surface_status(surface);
    if (drawn != CAIRO_STATUS_SUCCESS || finished != CAIRO_STATUS_SUCCESS) {
        error = cairo_status_to_string(drawn != CAIRO_STATUS_SUCCESS ? drawn : finished);
        return false;
    }
    return true;
}

cairo_surface_t* SvgSurface(std::string& bytes, double width, double height) {
    cairo_surface_t* surface = cairo_svg_surface_create_for_stream(AppendBytes, &bytes, width, height);
    cairo_svg_surface_restrict_to_version(surface, CAIRO_SVG_VERSION_1_1);
    cairo_svg_surface_set_document_unit(surface, CAIRO_SVG_UNIT_PX);
    return surface;
}

void DrawPage(cairo_t* cr, const QcReport& r) {
    SetColour(cr, kPaper);
    cairo_paint(cr);
    SetColour(cr, kInk);
    Font(cr, 16.0, true);
    std::string title = "kestrel qc: " + r.file;
    if (r.first && r.last && r.weekKnown) {
        title += "   " + UtcText(*r.first, true).substr(0, 19) + " to " + UtcText(*r.last, true).substr(0, 19) + " UTC";
    }
    Text(cr, kPlotPageWidth / 2.0, kTitleHeight / 2, title, 0.5, 0.5);
    for (Panel p : kPanels) DrawPanel(cr, p, PageBox(p), r);
}

// Ids of one inline SVG made unique on the page: cairo numbers them the same way in every
// picture it draws.
std::string PrefixIds(const std::string& svg, const std::string& prefix) {
    std::string out;
    out.reserve(svg.size() + svg.size() / 16);
    const std::string patterns[] = {"id=\"", "href=\"#", "url(#"};
    // cairo numbers its surfaces process-wide ("surface41"): the numbers are taken in order of
    // appearance instead, so a picture reads the same whichever process drew it.
    const std::string surface = "surface";
    std::map<std::string, std::string> renumbered;
    std::size_t i = 0;
    while (i < svg.size()) {
        bool matched = false;
        for (const std::string& p : patterns) {
            if (svg.compare(i, p.size(), p) == 0) {
                out += p + prefix;
                i += p.size();
                matched = true;
                if (svg.compare(i, surface.size(), surface) == 0) {
                    std::size_t end = i + surface.size();
                    while (end < svg.size() && std::isdigit(static_cast<unsigned char>(svg[end]))) ++end;
                    const std::string number = svg.substr(i + surface.size(), end - i - surface.size());
                    const auto [it, fresh] = renumbered.emplace(number, std::to_string(renumbered.size() + 1));
                    out += surface + it->second;
                    i = end;
                }
                break;
            }
        }
        if (!matched) out += svg[i++];
    }
    // Inline in HTML: no XML declaration.
    const std::size_t start = out.find("<svg");
    return start == std::string::npos ? out : out.substr(start);
}

std::string EscapeHtml(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '&': out += "&amp;"; break;
            case '"': out += "&quot;"; break;
            default: out += c;
        }
    }
    return out;
}

}  // namespace

std::optional<PlotFormat> PlotFormatOf(const std::string& path) {
    const std::size_t dot = path.find_last_of('.');
    const std::size_t slash = path.find_last_of('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return std::nullopt;
    std::string ext = path.substr(dot + 1);
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (ext == "png") return PlotFormat::kPng;
    if (ext == "svg") return PlotFormat::kSvg;
    if (ext == "html" || ext == "htm") return PlotFormat::kHtml;
    return std::nullopt;
}

bool RenderQcPage(const QcReport& report, PlotFormat format, std::string& bytes, std::string& error) {
    bytes.clear();
    cairo_surface_t* surface = format == PlotFormat::kSvg
                                   ? SvgSurface(bytes, kPlotPageWidth, kPlotPageHeight)
                                   : cairo_image_surface_create(CAIRO_FORMAT_RGB24, kPlotPageWidth, kPlotPageHeight);
    cairo_t* cr = cairo_create(surface);
    DrawPage(cr, report);
    if (format == PlotFormat::kPng) {
        cairo_surface_flush(surface);
        const cairo_status_t written = cairo_surface_write_to_png_stream(surface, AppendBytes, &bytes);
        if (written != CAIRO_STATUS_SUCCESS) {
            cairo_destroy(cr);
            cairo_surface_destroy(surface);
            error = cairo_status_to_string(written);
            return false;
        }
    }
    const bool ok = Finish(surface, cr, error);
    cairo_surface_destroy(surface);
    return ok;
}

void ReleasePlotCaches() {
    cairo_debug_reset_static_data();
    FcFini();
}

bool RenderQcHtmlSection(const QcReport& r, const std::string& summary, std::size_t index, std::string& html,
                         std::string& error) {
    html = "<section>\n<h1>" + EscapeHtml(r.file) + "</h1>\n<pre>" + EscapeHtml(summary) + "</pre>\n";
    if (r.status != QcStatus::kUnreadable) {
        html += "<div class=\"pictures\">\n";
        int picture = 0;
        for (Panel p : kPanels) {
            const Box box = PageBox(p);
            std::string svg;
            cairo_surface_t* surface = SvgSurface(svg, box.w, box.h);
            cairo_t* cr = cairo_create(surface);
            DrawPanel(cr, p, Box{0, 0, box.w, box.h}, r);
            const bool ok = Finish(surface, cr, error);
            cairo_surface_destroy(surface);
            if (!ok) return false;
            // Ids stay apart across the page's pictures: the log's place, then the picture's.
            // The time charts take a whole row, as on the page of a PNG or SVG file.
            html += std::string(box.w > kPanelWidth ? "<figure class=\"wide\">" : "<figure>") +
                    PrefixIds(svg, "q" + std::to_string(index) + "-" + std::to_string(picture++) + "-") + "</figure>\n";
        }
        html += "</div>\n";
    }
    html += "</section>\n";
    return true;
}

std::string QcHtmlPage(const std::vector<std::string>& sections) {
    std::string html =
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\"/>\n<title>kestrel qc</title>\n"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\"/>\n"
        // Pictures two to a row, the time charts across both, as on a PNG page; one to a row on
        // a narrow screen. Each scales to its cell.
        "<style>body{font-family:sans-serif;margin:1em 2em}section{max-width:1600px}"
        "h1{font-size:1.4em;overflow-wrap:anywhere}"
        "pre{background:#f6f6f6;padding:1em;overflow-x:auto}"
        ".pictures{display:grid;grid-template-columns:1fr 1fr;gap:1em;align-items:start}"
        ".pictures figure{margin:0;min-width:0}.pictures .wide{grid-column:1/-1}"
        "@media (max-width:60em){.pictures{grid-template-columns:1fr}}"
        "svg{display:block;width:100%;height:auto}</style>\n</head>\n<body>\n";
    for (const std::string& section : sections) html += section;
    html += "</body>\n</html>\n";
    return html;
}

}  // namespace kestrel::cli
