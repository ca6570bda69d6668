// SPDX-License-Identifier: BSD-2-Clause
#include "rinex_out/rinex_names.h"

#include <cmath>
#include <cstdio>

namespace kestrel {

namespace {

constexpr double kTolerance = 1e-6;  // s, for spans and intervals computed from time tags
// Receiver time tags stray from the nominal grid by milliseconds (the receiver steers its
// clock in steps): a span up to a second past a period still belongs to it.
constexpr double kPeriodSlackS = 1.0;

struct PeriodStep {
    double seconds;
    const char* code;
};
constexpr PeriodStep kPeriods[] = {{900.0, "15M"}, {3600.0, "01H"}, {kSecondsPerDay, "01D"}};
constexpr int kMostUnits = 99;  // two digits

// Units of a frequency or period code, longest first.
struct Unit {
    double seconds;
    char letter;
};
constexpr Unit kUnits[] = {{kSecondsPerDay, 'D'}, {3600.0, 'H'}, {60.0, 'M'}, {1.0, 'S'}};

bool IsAlnum(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }

// The first `width` letters and digits of `text` in upper or lower case, padded with X or x.
std::string Code(const std::string& text, std::size_t width, bool upper, bool lettersOnly) {
    std::string code;
    for (char c : text) {
        if (code.size() == width) break;
        if (!IsAlnum(c) || (lettersOnly && c >= '0' && c <= '9')) continue;
        if (upper && c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (!upper && c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        code += c;
    }
    code.resize(width, upper ? 'X' : 'x');
    return code;
}

// The time the data cover: first to last epoch, and one interval more.
double Span(const RinexNameParts& p) {
    const double interval = p.intervalS > 0.0 && std::isfinite(p.intervalS) ? p.intervalS : 0.0;
    return p.last.Total() - p.first.Total() + interval;
}

std::string TwoDigits(int n, char unit) {
    char text[8];
    std::snprintf(text, sizeof text, "%02d%c", n, unit);
    return text;
}

}  // namespace

std::string RinexPeriodCode(double spanS) {
    if (!std::isfinite(spanS) || spanS < 0.0) return "00U";
    for (const PeriodStep& step : kPeriods) {
        if (spanS <= step.seconds + kPeriodSlackS) return step.code;
    }
    const double days = std::ceil((spanS - kPeriodSlackS) / kSecondsPerDay);
    if (days <= kMostUnits) return TwoDigits(static_cast<int>(days), 'D');
    return "00U";
}

std::string RinexFrequencyCode(double intervalS) {
    if (!std::isfinite(intervalS) || intervalS <= 0.0) return "00U";
    if (intervalS < 1.0 - kTolerance) {
        const double hertz = 1.0 / intervalS;
        const double whole = std::round(hertz);
        if (std::fabs(hertz - whole) <= kTolerance * hertz && whole >= 2.0 && whole <= kMostUnits)
            return TwoDigits(static_cast<int>(whole), 'Z');
        return "00U";
    }
    for (const Unit& unit : kUnits) {
        const double count = intervalS / unit.seconds;
        const double whole = std::round(count);
        if (whole >= 1.0 && whole <= kMostUnits && std::fabs(count - whole) * unit.seconds <= kTolerance)
            return TwoDigits(static_cast<int>(whole), unit.letter);
    }
    return "00U";
}

std::string RinexLongName(const RinexNameParts& p, RinexFileKind kind) {
    const CalendarTime start = CalendarFromGpsTime(p.first);
    char time[32];
    std::snprintf(time, sizeof time, "%04d%03d%02d%02d", start.year, DayOfYear(start.year, start.month, start.day),
                  start.hour, start.minute);
    std::string name = Code(p.marker, 4, true, false) + "00" + Code(p.country, 3, true, true) + "_R_" + time + "_" +
                       RinexPeriodCode(Span(p)) + "_";
    if (kind == RinexFileKind::kObservation) name += RinexFrequencyCode(p.intervalS) + "_GO.rnx";
    else name += "GN.rnx";
    return name;
}

std::string RinexShortName(const RinexNameParts& p, RinexFileKind kind) {
    const CalendarTime start = CalendarFromGpsTime(p.first);
    const bool hourly = Span(p) <= 3600.0 + kPeriodSlackS;
    const char session = hourly ? static_cast<char>('a' + start.hour) : '0';
    char tail[32];
    std::snprintf(tail, sizeof tail, "%03d%c.%02d%c", DayOfYear(start.year, start.month, start.day), session,
                  start.year % 100, kind == RinexFileKind::kObservation ? 'o' : 'n');
    return Code(p.marker, 4, false, false) + tail;
}

}  // namespace kestrel
