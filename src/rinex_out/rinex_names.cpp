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

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsUpper(char c) { return c >= 'A' && c <= 'Z'; }

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }
char Lower(char c) { return IsUpper(c) ? static_cast<char>(c - 'A' + 'a') : c; }

// The first `width` letters (and digits, unless `lettersOnly`) of `text`, upper case, then
// `pad` up to the width.
std::string Code(const std::string& text, std::size_t width, bool lettersOnly, char pad) {
    std::string code;
    for (char c : text) {
        if (code.size() == width) break;
        if (!IsAlnum(c) || (lettersOnly && IsDigit(c))) continue;
        code += Upper(c);
    }
    code.resize(width, pad);
    return code;
}

// An unknown station is UNK, an unknown country the placeholder XXX.
constexpr const char* kUnknownStation = "UNK";
constexpr char kStationPad = '0';
constexpr char kCountryPad = 'X';
constexpr std::size_t kStationChars = 4;

std::string NineCharacterId(const RinexNameParts& p) {
    if (IsNineCharacterId(p.stationId)) {
        std::string id = p.stationId;
        for (char& c : id) c = Upper(c);
        return id;
    }
    return RinexStationCode(p.marker) + "00" + Code(p.country, 3, true, kCountryPad);
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

std::string RinexStationCode(const std::string& marker) {
    std::string code = Code(marker, kStationChars, false, kStationPad);
    if (code == std::string(kStationChars, kStationPad)) code = Code(kUnknownStation, kStationChars, false, kStationPad);
    return code;
}

bool IsNineCharacterId(const std::string& id) {
    if (id.size() != 9) return false;
    for (std::size_t i = 0; i < 9; ++i) {
        const char c = id[i];
        const bool fits = i < 4 ? IsAlnum(c) : i < 6 ? IsDigit(c) : IsAlnum(c) && !IsDigit(c);
        if (!fits) return false;
    }
    return true;
}

std::string RinexLongName(const RinexNameParts& p, RinexFileKind kind) {
    const CalendarTime start = CalendarFromGpsTime(p.first);
    char time[32];
    std::snprintf(time, sizeof time, "%04d%03d%02d%02d", start.year, DayOfYear(start.year, start.month, start.day),
                  start.hour, start.minute);
    std::string name = NineCharacterId(p) + "_R_" + time + "_" + RinexPeriodCode(Span(p)) + "_";
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
    std::string station = IsNineCharacterId(p.stationId) ? p.stationId.substr(0, kStationChars)
                                                         : RinexStationCode(p.marker);
    for (char& c : station) c = Lower(c);
    return station + tail;
}

}  // namespace kestrel
