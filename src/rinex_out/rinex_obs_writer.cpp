// SPDX-License-Identifier: BSD-2-Clause
#include "rinex_out/rinex_obs_writer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <utility>

#include "rinex_out/rinex_fields.h"

namespace kestrel {

namespace {

using rinex_field::AppendHeaderLine;
using rinex_field::Field;
using rinex_field::FormatFixed;

struct TypeNames {
    const char* v304;
    const char* v211;
};
constexpr TypeNames kTypeNames[kRinexObsTypeCount] = {
    {"C1C", "C1"}, {"L1C", "L1"}, {"D1C", "D1"}, {"S1C", "S1"}, {"C1W", "P1"}, {"C2W", "P2"}, {"L2W", "L2"},
};

constexpr int kHighestPrn = 99;
constexpr std::size_t kMostSatellites = 999;
constexpr std::size_t kTypesPerLine211 = 9;
constexpr std::size_t kTypesPerLine304 = 13;
constexpr std::size_t kCountsPerLine = 9;
constexpr uint32_t kLargestCount = 999999;    // I6
constexpr std::size_t kSatsPerEpochLine = 12;  // 2.11 epoch line and each continuation line
constexpr std::size_t kValuesPerLine211 = 5;
constexpr std::size_t kValueWidth = 16;        // F14.3, loss-of-lock digit, strength digit
constexpr std::size_t kClockColumn211 = 68;    // F12.9 in columns 69..80
constexpr std::size_t kClockColumn304 = 41;    // F15.12 in columns 42..56
constexpr int64_t kTicksPerSecond = 10'000'000;  // epochs are written to 0.1 microsecond
constexpr int64_t kTicksPerMinute = 60 * kTicksPerSecond;
constexpr int64_t kTicksPerHour = 60 * kTicksPerMinute;
constexpr int64_t kTicksPerDay = 24 * kTicksPerHour;
constexpr int64_t kDaysBeforeGpsEpoch = 3657;  // 1970-01-01 to 1980-01-06
// Times the epoch fields take: weeks to the year 9600, and seconds of week that may run a
// little into the weeks around.
constexpr double kLargestSecondsOfWeek = 1e9;

bool IsFlagWithObservations(int flag) { return flag == 0 || flag == 1 || flag == 6; }

// One to seven known types (a satellite line has room for each type once).
bool TypesAreValid(const std::vector<RinexObsType>& types) {
    if (types.empty() || types.size() > kRinexObsTypeCount) return false;
    for (RinexObsType t : types) {
        if (static_cast<std::size_t>(t) >= kRinexObsTypeCount) return false;
    }
    return true;
}

// A calendar epoch to 0.1 microsecond, from a GPS time rounded once to that step, so that a
// time just short of a full minute never shows as second 60.
struct EpochFields {
    int year, month, day, hour, minute;
    int64_t secondTicks;  // seconds of the minute, in 0.1 microsecond
};

bool EpochOf(const GpsTime& time, EpochFields& f) {
    if (!(std::fabs(time.sow) <= kLargestSecondsOfWeek) || time.week < 0 || time.week > kLastWeek) return false;
    const double sowTicks = std::nearbyint(time.sow * static_cast<double>(kTicksPerSecond));
    const int64_t ticks = static_cast<int64_t>(time.week) * 7 * kTicksPerDay + static_cast<int64_t>(sowTicks);
    if (ticks < 0) return false;
    const int64_t days = ticks / kTicksPerDay;
    int64_t rest = ticks % kTicksPerDay;
    CivilFromDays(kDaysBeforeGpsEpoch + days, f.year, f.month, f.day);
    f.hour = static_cast<int>(rest / kTicksPerHour);
    rest %= kTicksPerHour;
    f.minute = static_cast<int>(rest / kTicksPerMinute);
    f.secondTicks = rest % kTicksPerMinute;
    return f.year <= 9999;
}

// `v` right-aligned in `width` columns, padded with `pad` (zeros or blanks).
char* PutNumber(char* p, uint64_t v, int width, char pad) {
    char* end = p + width;
    char* q = end;
    do {
        *--q = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0 && q > p);
    while (q > p) *--q = pad;
    return end;
}

// Seconds as F11.7 (epoch lines) or F13.7 (TIME OF FIRST / LAST OBS).
char* PutSeconds(char* p, int64_t ticks, int width) {
    p = PutNumber(p, static_cast<uint64_t>(ticks / kTicksPerSecond), width - 8, ' ');
    *p++ = '.';
    return PutNumber(p, static_cast<uint64_t>(ticks % kTicksPerSecond), 7, '0');
}

// "  f nnn": the epoch flag and the satellite count.
char* PutFlagAndCount(char* p, int flag, std::size_t count) {
    *p++ = ' ';
    *p++ = ' ';
    *p++ = static_cast<char>('0' + flag);
    return PutNumber(p, count, 3, ' ');
}

// Two-digit field: zero-padded ("04") or blank-padded (" 4").
char* PutTwo(char* p, int v, bool zeroPad) {
    p[0] = v >= 10 ? static_cast<char>('0' + v / 10) : (zeroPad ? '0' : ' ');
    p[1] = static_cast<char>('0' + v % 10);
    return p + 2;
}

char* PutValue(char* p, const RinexObsValue& v) {
    if (!v.present || !rinex_field::FormatF14_3(v.value, p)) {
        std::memset(p, ' ', kValueWidth);
        return p + kValueWidth;
    }
    p[14] = v.lli >= 1 && v.lli <= 9 ? static_cast<char>('0' + v.lli) : ' ';
    p[15] = v.strength >= 1 && v.strength <= 9 ? static_cast<char>('0' + v.strength) : ' ';
    return p + kValueWidth;
}

// Appends [begin, end) without its trailing blanks, and a line end.
void AppendLine(std::string& out, const char* begin, const char* end) {
    while (end > begin && end[-1] == ' ') --end;
    out.append(begin, end);
    out += '\n';
}

// Writes the clock offset at `column` of the line in `line` (padding it with blanks), when it
// fits `width` columns with `decimals` decimals.
char* PutClock(char* line, char* end, std::size_t column, double offset, int width, int decimals) {
    char text[40];
    if (!std::isfinite(offset)) return end;
    const int n = std::snprintf(text, sizeof text, "%*.*f", width, decimals, offset);
    if (n != width) return end;
    while (end < line + column) *end++ = ' ';
    std::memcpy(end, text, static_cast<std::size_t>(n));
    return end + n;
}

std::string TimeOfObsContent(const GpsTime& time) {
    EpochFields f{};
    if (!EpochOf(time, f)) return std::string();
    char text[80];
    char* p = text + std::snprintf(text, sizeof text, "%6d%6d%6d%6d%6d", f.year, f.month, f.day, f.hour, f.minute);
    p = PutSeconds(p, f.secondTicks, 13);
    std::snprintf(p, 16, "     GPS");
    return text;
}

void AppendTypes(std::string& out, const RinexObsHeader& h) {
    const bool v3 = h.version == RinexVersion::k304;
    const std::size_t n = h.types.size();
    const std::size_t perLine = v3 ? kTypesPerLine304 : kTypesPerLine211;
    char text[16];
    for (std::size_t first = 0; first < n; first += perLine) {
        std::string content;
        if (first == 0) {
            std::snprintf(text, sizeof text, v3 ? "G  %3zu" : "%6zu", n);
            content = text;
        } else {
            content = std::string(6, ' ');
        }
        for (std::size_t k = first; k < n && k < first + perLine; ++k) {
            std::snprintf(text, sizeof text, v3 ? " %3s" : "%6s", RinexObsTypeName(h.types[k], h.version));
            content += text;
        }
        AppendHeaderLine(out, content, v3 ? "SYS / # / OBS TYPES" : "# / TYPES OF OBSERV");
    }
}

// The receiver's L1 C/A and L2 P(Y) phases are the reference signals of their bands: no
// quarter-cycle shift applies to them.
void AppendPhaseShifts(std::string& out, const RinexObsHeader& h) {
    bool any = false;
    for (RinexObsType t : h.types) {
        if (t != RinexObsType::kL1 && t != RinexObsType::kL2) continue;
        AppendHeaderLine(out, std::string("G ") + RinexObsTypeName(t, h.version) + "  0.00000", "SYS / PHASE SHIFT");
        any = true;
    }
    if (!any) AppendHeaderLine(out, "G", "SYS / PHASE SHIFT");
}

void AppendSatCounts(std::string& out, const RinexObsHeader& h) {
    std::vector<RinexSatCount> counts = h.satCounts;
    std::stable_sort(counts.begin(), counts.end(),
                     [](const RinexSatCount& a, const RinexSatCount& b) { return a.prn < b.prn; });
    char text[16];
    std::snprintf(text, sizeof text, "%6zu", counts.size());
    AppendHeaderLine(out, text, "# OF SATELLITES");
    for (const RinexSatCount& s : counts) {
        std::snprintf(text, sizeof text, "   G%02d", s.prn);
        std::string content = text;
        for (std::size_t k = 0; k < h.types.size(); ++k) {
            if (k > 0 && k % kCountsPerLine == 0) {
                AppendHeaderLine(out, content, "PRN / # OF OBS");
                content = std::string(6, ' ');
            }
            const uint32_t count = s.counts[static_cast<std::size_t>(h.types[k])];
            if (count <= kLargestCount) {
                std::snprintf(text, sizeof text, "%6u", static_cast<unsigned>(count));
                content += text;
            } else {
                content += std::string(6, ' ');  // too many for the field: not given
            }
        }
        AppendHeaderLine(out, content, "PRN / # OF OBS");
    }
}

// Widths of the header's text fields, in the order of their records.
constexpr std::size_t kMarkerNameWidth = 60;
constexpr std::size_t kWide = 40;    // AGENCY
constexpr std::size_t kNarrow = 20;  // the other text fields
constexpr std::size_t kAntennaNameWidth = 16;
constexpr std::size_t kRadomeWidth = 4;

// The antenna's IGS name and radome, split where the radome was given with the name.
std::pair<std::string, std::string> AntennaNameAndRadome(const RinexObsHeader& h) {
    if (!h.antennaRadome.empty()) return {h.antennaType, h.antennaRadome};
    const std::size_t blank = h.antennaType.find(' ');
    if (blank == std::string::npos) return {h.antennaType, std::string()};
    const std::size_t radome = h.antennaType.find_first_not_of(' ', blank);
    if (radome == std::string::npos) return {h.antennaType.substr(0, blank), std::string()};
    return {h.antennaType.substr(0, blank), h.antennaType.substr(radome)};
}

std::string AntennaTypeField(const RinexObsHeader& h) {
    const auto [name, radome] = AntennaNameAndRadome(h);
    if (radome.empty()) return Field(name, kNarrow);
    return Field(name, kAntennaNameWidth) + Field(radome, kRadomeWidth);
}

// A GPS file of 3.02 and later still lists the GLONASS records, with no satellite and no bias.
void AppendGlonassRecords(std::string& out) {
    AppendHeaderLine(out, "  0", "GLONASS SLOT / FRQ #");
    AppendHeaderLine(out, "", "GLONASS COD/PHS/BIS");
}

std::string Triple(const std::array<double, 3>& v) {
    std::string text;
    for (double x : v) {
        if (!FormatFixed(x, 14, 4, text)) return "        0.0000        0.0000        0.0000";
    }
    return text;
}

}  // namespace

const char* RinexObsTypeName(RinexObsType type, RinexVersion version) {
    const TypeNames& names = kTypeNames[static_cast<std::size_t>(type) % kRinexObsTypeCount];
    return version == RinexVersion::k304 ? names.v304 : names.v211;
}

std::vector<RinexObsType> RinexObsTypesFor(bool receiverSentP1, bool dopplerRequested) {
    std::vector<RinexObsType> types{RinexObsType::kC1, RinexObsType::kL1};
    if (dopplerRequested) types.push_back(RinexObsType::kD1);
    types.push_back(RinexObsType::kS1);
    if (receiverSentP1) types.push_back(RinexObsType::kP1);
    types.push_back(RinexObsType::kP2);
    types.push_back(RinexObsType::kL2);
    return types;
}

bool AppendRinexObsHeader(std::string& out, const RinexObsHeader& h) {
    if (!TypesAreValid(h.types)) return false;
    for (const RinexSatCount& s : h.satCounts) {
        if (s.prn < 1 || s.prn > kHighestPrn) return false;
    }
    const std::string firstObs = TimeOfObsContent(h.firstObs);
    if (firstObs.empty()) return false;
    const bool v3 = h.version == RinexVersion::k304;

    std::string text;
    text.reserve(2048);
    AppendHeaderLine(text,
                     v3 ? "     3.04           OBSERVATION DATA    G: GPS"
                        : "     2.11           OBSERVATION DATA    G",
                     "RINEX VERSION / TYPE");
    rinex_field::AppendProgramLine(text, h.program, h.runBy, h.createdUtc);
    rinex_field::AppendComments(text, h.comments);
    AppendHeaderLine(text, h.markerName, "MARKER NAME");
    if (!h.markerNumber.empty()) AppendHeaderLine(text, Field(h.markerNumber, kNarrow), "MARKER NUMBER");
    if (v3) AppendHeaderLine(text, Field(h.markerType, kNarrow), "MARKER TYPE");
    AppendHeaderLine(text, Field(h.observer, kNarrow) + Field(h.agency, kWide), "OBSERVER / AGENCY");
    AppendHeaderLine(text, Field(h.receiverNumber, kNarrow) + Field(h.receiverType, kNarrow) + Field(h.receiverVersion, kNarrow),
                     "REC # / TYPE / VERS");
    AppendHeaderLine(text, Field(h.antennaNumber, kNarrow) + AntennaTypeField(h), "ANT # / TYPE");
    AppendHeaderLine(text, Triple(h.approxPositionM), "APPROX POSITION XYZ");
    AppendHeaderLine(text, Triple(h.antennaDeltaHenM), "ANTENNA: DELTA H/E/N");
    if (!v3) AppendHeaderLine(text, "     1     1", "WAVELENGTH FACT L1/2");
    AppendTypes(text, h);
    if (v3) AppendHeaderLine(text, "DBHZ", "SIGNAL STRENGTH UNIT");
    std::string interval;
    if (h.intervalS > 0.0 && FormatFixed(h.intervalS, 10, 3, interval)) AppendHeaderLine(text, interval, "INTERVAL");
    AppendHeaderLine(text, firstObs, "TIME OF FIRST OBS");
    if (h.lastObs) {
        const std::string lastObs = TimeOfObsContent(*h.lastObs);
        if (!lastObs.empty()) AppendHeaderLine(text, lastObs, "TIME OF LAST OBS");
    }
    char number[16];
    if (h.clockOffsetApplied) {
        std::snprintf(number, sizeof number, "%6d", *h.clockOffsetApplied != 0 ? 1 : 0);
        AppendHeaderLine(text, number, "RCV CLOCK OFFS APPL");
    }
    if (v3) {
        AppendPhaseShifts(text, h);
        AppendGlonassRecords(text);
    }
    if (h.leapSeconds) {
        std::snprintf(number, sizeof number, "%6d", std::clamp(*h.leapSeconds, -99999, 999999));
        AppendHeaderLine(text, number, "LEAP SECONDS");
    }
    if (!h.satCounts.empty()) AppendSatCounts(text, h);
    AppendHeaderLine(text, "", "END OF HEADER");
    out += text;
    return true;
}

std::vector<std::string> RinexObsHeaderWarnings(const RinexObsHeader& h) {
    const auto [antennaName, radome] = AntennaNameAndRadome(h);
    const struct {
        const char* name;
        const std::string& text;
        std::size_t width;
    } fields[] = {
        {"PGM", h.program, kNarrow},
        {"RUN BY", h.runBy, kNarrow},
        {"MARKER NAME", h.markerName, kMarkerNameWidth},
        {"MARKER NUMBER", h.markerNumber, kNarrow},
        {"OBSERVER", h.observer, kNarrow},
        {"AGENCY", h.agency, kWide},
        {"REC #", h.receiverNumber, kNarrow},
        {"REC TYPE", h.receiverType, kNarrow},
        {"REC VERS", h.receiverVersion, kNarrow},
        {"ANT #", h.antennaNumber, kNarrow},
        {"ANT TYPE", antennaName, radome.empty() ? kNarrow : kAntennaNameWidth},
        {"ANT RADOME", radome, kRadomeWidth},
    };
    std::vector<std::string> warnings;
    for (const auto& f : fields) {
        std::string w = rinex_field::FieldWarning(f.name, f.text, f.width);
        if (!w.empty()) warnings.push_back(std::move(w));
    }
    for (const std::string& comment : h.comments) {
        std::string w = rinex_field::FieldWarning("COMMENT", comment, 0);
        if (!w.empty()) warnings.push_back(std::move(w));
    }
    return warnings;
}

bool AppendRinexObsEpoch(std::string& out, const RinexObsHeader& h, const RinexObsEpoch& e) {
    const std::size_t count = e.satellites.size();
    if (!IsFlagWithObservations(e.flag) || count > kMostSatellites) return false;
    for (const RinexSatObs& s : e.satellites) {
        if (s.prn < 1 || s.prn > kHighestPrn) return false;
    }
    if (!TypesAreValid(h.types)) return false;
    EpochFields f{};
    if (!EpochOf(e.time, f)) return false;
    const bool v3 = h.version == RinexVersion::k304;
    const std::size_t typeCount = h.types.size();

    // The longest line: a 2.11 epoch line with its clock, or a 3.04 satellite line.
    char line[3 + kValueWidth * kRinexObsTypeCount + 96];
    char* p = line;
    if (v3) {
        // > yyyy mm dd hh mm ss.sssssss  f nnn      clock
        *p++ = '>';
        *p++ = ' ';
        p = PutNumber(p, static_cast<uint64_t>(f.year), 4, '0');
        *p++ = ' ';
        p = PutTwo(p, f.month, true);
        *p++ = ' ';
        p = PutTwo(p, f.day, true);
        *p++ = ' ';
        p = PutTwo(p, f.hour, true);
        *p++ = ' ';
        p = PutTwo(p, f.minute, true);
        p = PutSeconds(p, f.secondTicks, 11);
        p = PutFlagAndCount(p, e.flag, count);
        if (e.clockOffsetS) p = PutClock(line, p, kClockColumn304, *e.clockOffsetS, 15, 12);
        AppendLine(out, line, p);
    } else {
        //  yy mm dd hh mm ss.sssssss  f nnGnnGnn...   clock
        *p++ = ' ';
        p = PutTwo(p, f.year % 100, true);
        *p++ = ' ';
        p = PutTwo(p, f.month, false);
        *p++ = ' ';
        p = PutTwo(p, f.day, false);
        *p++ = ' ';
        p = PutTwo(p, f.hour, false);
        *p++ = ' ';
        p = PutTwo(p, f.minute, false);
        p = PutSeconds(p, f.secondTicks, 11);
        p = PutFlagAndCount(p, e.flag, count);
        for (std::size_t i = 0; i < count; ++i) {
            if (i == kSatsPerEpochLine) {
                if (e.clockOffsetS) p = PutClock(line, p, kClockColumn211, *e.clockOffsetS, 12, 9);
                AppendLine(out, line, p);
                p = line;
                std::memset(p, ' ', 32);
                p += 32;
            } else if (i > kSatsPerEpochLine && i % kSatsPerEpochLine == 0) {
                AppendLine(out, line, p);
                p = line + 32;
            }
            *p++ = 'G';
            p = PutTwo(p, e.satellites[i].prn, true);
        }
        if (count <= kSatsPerEpochLine && e.clockOffsetS) p = PutClock(line, p, kClockColumn211, *e.clockOffsetS, 12, 9);
        AppendLine(out, line, p);
    }

    for (const RinexSatObs& s : e.satellites) {
        p = line;
        if (v3) {
            *p++ = 'G';
            p = PutTwo(p, s.prn, true);
        }
        for (std::size_t k = 0; k < typeCount; ++k) {
            if (!v3 && k > 0 && k % kValuesPerLine211 == 0) {
                AppendLine(out, line, p);
                p = line;
            }
            p = PutValue(p, s.values[static_cast<std::size_t>(h.types[k])]);
        }
        AppendLine(out, line, p);
    }
    return true;
}

}  // namespace kestrel
