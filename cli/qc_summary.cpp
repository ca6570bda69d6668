// SPDX-License-Identifier: BSD-2-Clause
#include "qc_summary.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>

#include "pipeline/observation_epoch.h"

namespace kestrel::cli {
namespace {

constexpr std::size_t kListedInSummary = 10;  // gaps, steps and ionospheric slips shown one by one

// printf into a string.
std::string Text(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Text(const char* format, ...) {
    char buffer[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return buffer;
}

std::string Count(const std::optional<int64_t>& value) {
    return value ? std::to_string(*value) : std::string("-");
}

std::string TimeText(const GpsTime& t, bool weekKnown) {
    const std::string utc = UtcText(t, weekKnown);
    if (!weekKnown) return Text("week unknown %11.3f s", t.sow);
    return Text("GPS week %4d %11.3f s   %s UTC", t.week, t.sow, utc.c_str());
}

std::string Hemisphere(double degrees, char positive, char negative) {
    return Text("%.7f%c", std::fabs(degrees), degrees < 0.0 ? negative : positive);
}

std::string ElevationSourceText(const QcReport& r) {
    switch (r.elevationSource) {
        case ElevationSource::kReference: return "the reference position";
        case ElevationSource::kFirstSolutions: return Text("the median of the first %d solutions", r.elevationSolutions);
        case ElevationSource::kNone: break;
    }
    return "nothing";
}

void Line(std::string& out, const char* label, const std::string& text) {
    out += Text("%-14s%s\n", label, text.c_str());
}

void SpanLines(std::string& out, const QcReport& r) {
    if (r.epochs == 0) {
        Line(out, "Epochs", "none: the log holds no MEASUREMENT epoch that could be used");
        return;
    }
    Line(out, "Span", "first  " + TimeText(*r.first, r.weekKnown));
    Line(out, "", "last   " + TimeText(*r.last, r.weekKnown));
    Line(out, "Interval", Figure(r.intervalS, "%.3f s"));
    std::string epochs = std::to_string(r.epochs) + " of " + Count(r.expectedEpochs) + " expected";
    if (r.expectedEpochs && *r.expectedEpochs > 0) {
        epochs += Text(" (%.1f %%)", 100.0 * static_cast<double>(r.epochs) / static_cast<double>(*r.expectedEpochs));
    }
    if (r.epochsOutsideWindow > 0) {
        epochs += Text("; %lld outside --from/--to/--interval", static_cast<long long>(r.epochsOutsideWindow));
    }
    if (r.epochsOutOfOrder > 0) {
        epochs += Text("; %lld left out, not later than the epoch before", static_cast<long long>(r.epochsOutOfOrder));
    }
    Line(out, "Epochs", epochs);
    if (!r.intervalS) return;
    if (r.gapCount == 0) {
        Line(out, "Gaps", Text("none longer than %.3f s", 2.0 * *r.intervalS));
        return;
    }
    Line(out, "Gaps", Text("%lld longer than %.3f s; longest %.3f s after %s", static_cast<long long>(r.gapCount),
                           2.0 * *r.intervalS, r.longestGap->lengthS, TimeText(r.longestGap->start, r.weekKnown).c_str()));
    for (std::size_t i = 0; i < r.gaps.size() && i < kListedInSummary; ++i) {
        Line(out, "", Text("%10.3f s after %s", r.gaps[i].lengthS, TimeText(r.gaps[i].start, r.weekKnown).c_str()));
    }
    if (r.gapCount > static_cast<int64_t>(kListedInSummary)) {
        Line(out, "", Text("... and %lld more", static_cast<long long>(r.gapCount) - static_cast<long long>(kListedInSummary)));
    }
}

void SatelliteTable(std::string& out, const QcReport& r) {
    std::size_t observed = 0;
    for (const QcSatellite& s : r.satellites) observed += s.observations > 0 ? 1 : 0;
    std::string elevations = r.elevationSource == ElevationSource::kNone
                                 ? "no elevations (no reference position and no solution)"
                                 : Text("elevations from %s, mask %.1f deg", ElevationSourceText(r).c_str(), r.maskDeg);
    Line(out, "Satellites", Text("%zu observed; ", observed) + elevations);
    if (r.satellites.empty()) return;
    out += "\n";
    out += " PRN    obs  with L2  missing  L1 slips  L2 slips  iono slips  S/N dB-Hz  MP1 RMS m  MP2 RMS m  eph\n";
    double strengthSum = 0.0;
    int64_t ephemerides = 0;
    for (const QcSatellite& s : r.satellites) {
        std::string missing = s.missing ? std::to_string(*s.missing) : std::string("no elev");
        out += Text("  %2d %6lld  %7lld  %7s  %8lld  %8lld  %10lld  %9s  %9s  %9s  %3d%s\n", s.prn,
                    static_cast<long long>(s.observations), static_cast<long long>(s.withL2), missing.c_str(),
                    static_cast<long long>(s.l1Slips), static_cast<long long>(s.l2Slips),
                    static_cast<long long>(s.ionosphereSlips), Figure(s.meanStrengthDbHz, "%.1f").c_str(),
                    Figure(s.mp1RmsM, "%.3f").c_str(), Figure(s.mp2RmsM, "%.3f").c_str(), s.ephemerides,
                    s.unhealthy ? " unhealthy" : "");
        if (s.meanStrengthDbHz) strengthSum += *s.meanStrengthDbHz * static_cast<double>(s.observations);
        ephemerides += s.ephemerides;
    }
    const std::optional<double> strength =
        r.observations > 0 ? std::optional<double>(strengthSum / static_cast<double>(r.observations)) : std::nullopt;
    out += Text(" all %6lld  %7lld  %7s  %8lld  %8lld  %10lld  %9s  %9s  %9s  %3lld\n",
                static_cast<long long>(r.observations), static_cast<long long>(r.observationsWithL2),
                Count(r.missing).c_str(), static_cast<long long>(r.l1Slips), static_cast<long long>(r.l2Slips),
                static_cast<long long>(r.ionosphereSlips), Figure(strength, "%.1f").c_str(), Figure(r.mp1RmsM, "%.3f").c_str(),
                Figure(r.mp2RmsM, "%.3f").c_str(), static_cast<long long>(ephemerides));
    out += "\n";
}

void TotalLines(std::string& out, const QcReport& r) {
    Line(out, "Observations", Text("%lld: %lld L1 only, %lld with L2", static_cast<long long>(r.observations),
                                   static_cast<long long>(r.observationsL1Only), static_cast<long long>(r.observationsWithL2)));
    Line(out, "Slips", Text(kSlipCountsFormat, static_cast<long long>(r.l1Slips), static_cast<long long>(r.l2Slips)) +
                           Text(", %lld ionospheric only; %lld observations flagged: ",
                                static_cast<long long>(r.ionosphereSlips), static_cast<long long>(r.slipObservations)) +
                           Figure(r.slipsPer1000, "%.2f") + " per 1000 obs, " +
                           Figure(r.observationsPerSlip, "%.1f") + " obs per slip");
    std::size_t listed = 0;
    for (const QcSlip& s : r.slips) {
        if (!s.ionosphere) continue;
        if (listed++ == kListedInSummary) {
            Line(out, "", "... more in --json");
            break;
        }
        Line(out, "", Text("PRN %2d: ionospheric delay jump at ", s.prn) + TimeText(s.time, r.weekKnown));
    }
    int32_t arcs = 0, shortArcs = 0;
    for (const QcSatellite& s : r.satellites) {
        arcs += s.multipathArcs;
        shortArcs += s.shortArcs;
    }
    Line(out, "Multipath", "MP1 RMS " + Figure(r.mp1RmsM, "%.3f m") + ", MP2 RMS " + Figure(r.mp2RmsM, "%.3f m") +
                               Text(" over %d arcs of 10 epochs or more (%d shorter arcs left out)", arcs, shortArcs));
}

void ClockLines(std::string& out, const QcReport& r) {
    if (r.clockEpochs == 0) {
        Line(out, "Clock", "no solved clock offset");
        return;
    }
    Line(out, "Clock", "offset " + Figure(r.clockStartS, "%.9f s") + " at start, " + Figure(r.clockEndS, "%.9f s") +
                           " at end; drift " + Figure(r.clockDrift, "%.3e s/s") +
                           Text("; clock steps: %lld", static_cast<long long>(r.clockStepCount)));
    for (std::size_t i = 0; i < r.clockSteps.size() && i < kListedInSummary; ++i) {
        Line(out, "", Text("step %+.3e s at ", r.clockSteps[i].sizeS) + TimeText(r.clockSteps[i].time, r.weekKnown));
    }
    if (r.clockStepCount > static_cast<int64_t>(kListedInSummary)) {
        Line(out, "", Text("... and %lld more", static_cast<long long>(r.clockStepCount) - static_cast<long long>(kListedInSummary)));
    }
}

void PositionLines(std::string& out, const QcReport& r) {
    if (!r.position) {
        Line(out, "Position", "no single-point solution");
        return;
    }
    const auto& p = *r.position;
    std::string where;
    if (r.geodetic) {
        where = Hemisphere((*r.geodetic)[0], 'N', 'S') + " " + Hemisphere((*r.geodetic)[1], 'E', 'W') +
                Text(" %.3f m, ", (*r.geodetic)[2]);
    }
    Line(out, "Position", where + Text("median of %lld solutions", static_cast<long long>(r.solutions)));
    Line(out, "", Text("X %.3f Y %.3f Z %.3f m", p[0], p[1], p[2]));
    if (r.scatterStdM && r.scatter95M) {
        const auto& s = *r.scatterStdM;
        const auto& q = *r.scatter95M;
        Line(out, "Scatter", Text("std E %.3f N %.3f U %.3f m; 95 %% within E %.3f N %.3f U %.3f m", s[0], s[1], s[2],
                                  q[0], q[1], q[2]));
    }
    if (r.referenceOffsetEnuM) {
        const auto& o = *r.referenceOffsetEnuM;
        Line(out, "Reference", Text("median less reference: E %.3f N %.3f U %.3f m", o[0], o[1], o[2]));
    }
    if (r.solutionLessFixEnuM && r.solutionToFixM) {
        const auto& o = *r.solutionLessFixEnuM;
        Line(out, "Receiver fix",
             Text("median of %lld fixes; the solutions' median lies %.3f m from it (E %.3f N %.3f U %.3f m)",
                  static_cast<long long>(r.receiverFixes), *r.solutionToFixM, o[0], o[1], o[2]));
    }
}

void EphemerisLines(std::string& out, const QcReport& r) {
    std::size_t withEphemeris = 0;
    for (const QcSatellite& s : r.satellites) withEphemeris += s.ephemerides > 0 ? 1 : 0;
    if (r.ephemerides == 0) {
        Line(out, "Ephemerides", "none received: no clock solution, no elevations from the orbits");
    } else {
        Line(out, "Ephemerides", Text("%lld received for %zu satellites", static_cast<long long>(r.ephemerides), withEphemeris));
    }
    std::string without;
    for (int prn : r.observedWithoutEphemeris) without += (without.empty() ? "" : " ") + std::to_string(prn);
    if (!without.empty()) Line(out, "", "observed without one: PRN " + without);
}

void ParserLines(std::string& out, const QcReport& r) {
    const QcParserCounts& p = r.parser;
    Line(out, "Frame parser", Text("%lld checksum failures, %lld length failures, %lld resyncs (%lld frames of other records skipped)",
                                   static_cast<long long>(p.checksumFailures), static_cast<long long>(p.lengthFailures),
                                   static_cast<long long>(p.resyncs), static_cast<long long>(p.otherRecords)));
    if (p.receiverRecords > 0) {
        Line(out, "", Text("%lld receiver identification and fix frames read", static_cast<long long>(p.receiverRecords)));
    }
    if (p.bufferOverruns + p.invalidPrnBlocks + p.noTimeStep + p.weekFaults > 0) {
        Line(out, "", Text("%lld buffer overruns, %lld blocks with an invalid PRN, %lld blocks whose time did not move on, "
                           "%lld epochs with a missing or inconsistent GPS week",
                           static_cast<long long>(p.bufferOverruns), static_cast<long long>(p.invalidPrnBlocks),
                           static_cast<long long>(p.noTimeStep), static_cast<long long>(p.weekFaults)));
    }
}

}  // namespace

std::string UtcText(const GpsTime& time, bool weekKnown) {
    if (!weekKnown) return {};
    const CalendarTime u = UtcFromGps(time);
    return Text("%04d-%02d-%02d %02d:%02d:%06.3f", u.year, u.month, u.day, u.hour, u.minute, u.second);
}

std::string Figure(const std::optional<double>& value, const char* format) {
    if (!value) return "-";
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, format, *value);
    return buffer;
}

std::string FormatQcSummary(const QcReport& r) {
    std::string out = "== " + r.file + "\n";
    if (r.status == QcStatus::kUnreadable) {
        out += r.error + "\n";
        return out;
    }
    if (r.status == QcStatus::kAborted) out += "Stopped by the user: what follows covers the log up to there.\n";
    if (!r.weekKnown) out += "The frames carry no GPS week: times are seconds of an unknown week, no UTC.\n";
    SpanLines(out, r);
    SatelliteTable(out, r);
    if (r.epochs > 0) TotalLines(out, r);
    ClockLines(out, r);
    PositionLines(out, r);
    EphemerisLines(out, r);
    ParserLines(out, r);
    return out;
}

}  // namespace kestrel::cli
