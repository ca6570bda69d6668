// SPDX-License-Identifier: BSD-2-Clause
#include "rinex_out/rinex_nav_writer.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "rinex_out/rinex_fields.h"

namespace kestrel {

namespace {

// Nominal user range accuracy of each URA index, m.
constexpr double kUraMetres[16] = {2.0,   2.8,   4.0,   5.7,    8.0,    11.3,   16.0,   32.0,
                                   64.0,  128.0, 256.0, 512.0,  1024.0, 2048.0, 4096.0, 8192.0};
constexpr int kNoAccuracyPrediction = 15;

// Fit intervals longer than 4 hours, by IODC, for ephemerides with the fit-interval flag set.
struct FitRange {
    int firstIodc;
    int lastIodc;
    double hours;
};
constexpr FitRange kFitRanges[] = {
    {240, 247, 8.0},  {248, 255, 14.0}, {496, 496, 14.0}, {497, 503, 26.0}, {1021, 1023, 26.0},
    {504, 510, 50.0}, {511, 511, 74.0}, {752, 756, 74.0}, {757, 757, 98.0},
};
constexpr double kShortFitHours = 4.0;
constexpr double kDefaultLongFitHours = 6.0;

constexpr int kHighestPrn = 99;
constexpr std::size_t kField = rinex_field::kD19Width;

// One line of the record: `lead` (the satellite and epoch, or the indentation) then the values.
bool AppendValues(std::string& out, const char* lead, const double* values, int count, char letter) {
    char line[96];
    const std::size_t leadWidth = std::strlen(lead);
    std::memcpy(line, lead, leadWidth);
    for (int k = 0; k < count; ++k) {
        if (!rinex_field::FormatD19_12(values[k], letter, line + leadWidth + static_cast<std::size_t>(k) * kField))
            return false;
    }
    out.append(line, leadWidth + static_cast<std::size_t>(count) * kField);
    out += '\n';
    return true;
}

}  // namespace

double RinexUraMetres(int uraIndex) {
    if (uraIndex < 0 || uraIndex > kNoAccuracyPrediction) return kUraMetres[kNoAccuracyPrediction];
    return kUraMetres[uraIndex];
}

double RinexFitIntervalHours(int fitFlag, int iodc) {
    if (fitFlag == 0) return kShortFitHours;
    for (const FitRange& r : kFitRanges) {
        if (iodc >= r.firstIodc && iodc <= r.lastIodc) return r.hours;
    }
    return kDefaultLongFitHours;
}

void AppendRinexNavHeader(std::string& out, const RinexNavHeader& h) {
    const bool v3 = h.version == RinexVersion::k304;
    rinex_field::AppendHeaderLine(out,
                                  v3 ? "     3.04           N: GNSS NAV DATA    G: GPS"
                                     : "     2.11           N: GPS NAV DATA",
                                  "RINEX VERSION / TYPE");
    rinex_field::AppendProgramLine(out, h.program, h.runBy, h.createdUtc);
    rinex_field::AppendComments(out, h.comments);
    if (h.leapSeconds) {
        char number[16];
        std::snprintf(number, sizeof number, "%6d", *h.leapSeconds);
        rinex_field::AppendHeaderLine(out, number, "LEAP SECONDS");
    }
    rinex_field::AppendHeaderLine(out, "", "END OF HEADER");
}

bool AppendRinexNavRecord(std::string& out, RinexVersion version, const RinexGpsEphemeris& e) {
    if (e.prn < 1 || e.prn > kHighestPrn || e.week < 0 || e.week > kLastWeek || !(std::fabs(e.tocS) <= kSecondsPerWeek) ||
        !(std::fabs(e.transmissionS) <= 2.0 * kSecondsPerWeek))
        return false;
    const bool v3 = version == RinexVersion::k304;
    const char letter = v3 ? 'E' : 'D';

    // Toc in the week of Toe, within half a week of the transmission time.
    const double weekStart = e.week * kSecondsPerWeek;
    double toc = weekStart + e.tocS;
    const double sent = weekStart + e.transmissionS;
    if (toc - sent > kHalfWeekS) toc -= kSecondsPerWeek;
    if (sent - toc > kHalfWeekS) toc += kSecondsPerWeek;
    // Toc is a whole number of seconds (a multiple of 16 s as broadcast).
    const CalendarTime c = CalendarFromGpsTime(GpsTimeFromTotal(std::round(toc)));
    if (c.year < 1980 || c.year > 9999) return false;
    const int second = static_cast<int>(std::lround(c.second));
    char lead[40];
    if (v3) {
        std::snprintf(lead, sizeof lead, "G%02d %04d %02d %02d %02d %02d %02d", e.prn, c.year, c.month, c.day, c.hour,
                      c.minute, second);
    } else {
        std::snprintf(lead, sizeof lead, "%2d %02d%3d%3d%3d%3d%5.1f", e.prn, c.year % 100, c.month, c.day, c.hour,
                      c.minute, static_cast<double>(second));
    }
    const char* indent = v3 ? "    " : "   ";
    const double clock[3] = {e.af0S, e.af1, e.af2PerS};
    const double orbit[7][4] = {
        {static_cast<double>(e.iode), e.crsM, e.deltaNRadPerS, e.m0Rad},
        {e.cucRad, e.eccentricity, e.cusRad, e.sqrtAM},
        {e.toeS, e.cicRad, e.omega0Rad, e.cisRad},
        {e.i0Rad, e.crcM, e.omegaRad, e.omegaDotRadPerS},
        {e.idotRadPerS, static_cast<double>(e.l2Codes), static_cast<double>(e.week), static_cast<double>(e.l2PDataFlag)},
        {e.accuracyM, static_cast<double>(e.health), e.tgdS, static_cast<double>(e.iodc)},
        {e.transmissionS, e.fitIntervalH, 0.0, 0.0},
    };
    std::string text;
    text.reserve(8 * 81);
    bool ok = AppendValues(text, lead, clock, 3, letter);
    // The last line carries the transmission time and the fit interval; its two spare
    // fields are left blank.
    for (int line = 0; line < 7 && ok; ++line) ok = AppendValues(text, indent, orbit[line], line == 6 ? 2 : 4, letter);
    if (!ok) return false;
    out += text;
    return true;
}

}  // namespace kestrel
