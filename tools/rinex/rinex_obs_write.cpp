#include "rinex/rinex_obs_write.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>

namespace kestrel::rinex {

namespace {

constexpr int kSatsPerEpochLine = 12;
constexpr int kValuesPerLine = 5;
constexpr int kTypesPerHeaderLine = 9;
constexpr double kLargestValue = 9999999999.999;  // what F14.3 can hold

// A header line: 60 columns of content and the label in columns 61..80.
void HeaderLine(std::string& out, const std::string& content, const char* label) {
    char line[96];
    std::snprintf(line, sizeof line, "%-60.60s%-20.20s\n", content.c_str(), label);
    out += line;
}

std::string Printed(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Printed(const char* format, ...) {
    char text[128];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

void AppendValue(std::string& out, const ObsValue& v) {
    if (!v.present || !(std::fabs(v.value) <= kLargestValue)) {
        out += "                ";
        return;
    }
    char field[32];
    std::snprintf(field, sizeof field, "%14.3f", v.value);
    out += field;
    out += v.lli > 0 && v.lli <= 9 ? static_cast<char>('0' + v.lli) : ' ';
    out += v.strength > 0 && v.strength <= 9 ? static_cast<char>('0' + v.strength) : ' ';
}

}  // namespace

std::string FormatObsHeader(const ObsHeader& header, const GpsTime& first) {
    std::string out;
    HeaderLine(out, Printed("%9.2f%11s%-20s%c%19s", 2.11, "", "OBSERVATION DATA", header.system, ""),
               "RINEX VERSION / TYPE");
    HeaderLine(out, Printed("%-20s%-20s%-20s", "kestrel tools", "", ""), "PGM / RUN BY / DATE");
    HeaderLine(out, header.markerName, "MARKER NAME");
    HeaderLine(out, "", "OBSERVER / AGENCY");
    HeaderLine(out, "", "REC # / TYPE / VERS");
    HeaderLine(out, "", "ANT # / TYPE");
    const auto& p = header.approxPosition;
    HeaderLine(out, Printed("%14.4f%14.4f%14.4f", p[0], p[1], p[2]), "APPROX POSITION XYZ");
    HeaderLine(out, Printed("%14.4f%14.4f%14.4f", 0.0, 0.0, 0.0), "ANTENNA: DELTA H/E/N");
    HeaderLine(out, Printed("%6d%6d", 1, 1), "WAVELENGTH FACT L1/2");
    const std::size_t n = header.types.size();
    for (std::size_t i = 0; i < n || i == 0; i += kTypesPerHeaderLine) {
        std::string content = i == 0 ? Printed("%6zu", n) : std::string(6, ' ');
        for (std::size_t k = i; k < n && k < i + kTypesPerHeaderLine; ++k) content += Printed("%6s", header.types[k].c_str());
        HeaderLine(out, content, "# / TYPES OF OBSERV");
    }
    if (header.interval > 0.0) HeaderLine(out, Printed("%10.3f", header.interval), "INTERVAL");
    const CalendarTime c = CalendarFromGpsTime(first);
    HeaderLine(out, Printed("%6d%6d%6d%6d%6d%13.7f%5s%3s", c.year, c.month, c.day, c.hour, c.minute, c.second, "", "GPS"),
               "TIME OF FIRST OBS");
    HeaderLine(out, "", "END OF HEADER");
    return out;
}

std::string FormatObsEpoch(const ObsEpoch& epoch, std::size_t typeCount) {
    std::string out;
    const CalendarTime c = CalendarFromGpsTime(epoch.time);
    const int count = static_cast<int>(epoch.satellites.size());
    out += Printed(" %02d %2d %2d %2d %2d%11.7f  %d%3d", c.year % 100, c.month, c.day, c.hour, c.minute, c.second,
                   epoch.flag, count);
    for (int i = 0; i < count; ++i) {
        if (i > 0 && i % kSatsPerEpochLine == 0) out += "\n" + std::string(32, ' ');
        const ObsSatellite& s = epoch.satellites[static_cast<std::size_t>(i)];
        out += Printed("%c%02d", s.system, s.prn);
    }
    if (epoch.hasClockOffset) {
        // The clock offset stands in columns 69..80 of the first epoch line only.
        const std::size_t firstLineEnd = out.find('\n');
        std::string& line = out;
        const std::size_t end = firstLineEnd == std::string::npos ? line.size() : firstLineEnd;
        const std::string clock = Printed("%12.9f", epoch.clockOffset);
        line.insert(end, std::string(end < 68 ? 68 - end : 0, ' ') + clock);
    }
    out += '\n';
    for (const ObsSatellite& s : epoch.satellites) {
        for (std::size_t k = 0; k < typeCount; ++k) {
            if (k > 0 && k % kValuesPerLine == 0) out += '\n';
            AppendValue(out, k < s.values.size() ? s.values[k] : ObsValue{});
        }
        // Trailing blanks are dropped, as RINEX writers do.
        while (!out.empty() && out.back() == ' ') out.pop_back();
        out += '\n';
    }
    return out;
}

}  // namespace kestrel::rinex
