// SPDX-License-Identifier: BSD-2-Clause
#include "args.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include <CLI/CLI.hpp>

namespace kestrel::cli {
namespace {

std::string Trim(const std::string& s) {
    const std::size_t a = s.find_first_not_of(" \t");
    if (a == std::string::npos) return {};
    const std::size_t b = s.find_last_not_of(" \t");
    return s.substr(a, b - a + 1);
}

bool ParseDouble(const std::string& text, double& value) {
    const std::string t = Trim(text);
    if (t.empty()) return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtod(t.c_str(), &end);
    return errno == 0 && end == t.c_str() + t.size() && std::isfinite(value);
}

bool ParseInt(const std::string& text, int& value) {
    double v = 0.0;
    if (!ParseDouble(text, v) || v != std::floor(v) || std::fabs(v) > 1e9) return false;
    value = static_cast<int>(v);
    return true;
}

}  // namespace

std::optional<GpsTime> ParseTime(const std::string& text, std::string& error) {
    error.clear();
    const std::size_t colon = text.find(':');
    if (colon != std::string::npos && text.find('-') == std::string::npos) {
        int week = 0;
        double sow = 0.0;
        if (!ParseInt(text.substr(0, colon), week) || !ParseDouble(text.substr(colon + 1), sow) || week < 0 ||
            sow < 0.0 || sow >= kSecondsPerWeek) {
            error = "'" + text + "' is not a GPS time WEEK:SOW (week 0 or later, seconds 0 to 604799.999)";
            return std::nullopt;
        }
        return GpsTime{week, sow};
    }
    CalendarTime utc;
    char sep = 0;
    double second = 0.0;
    int consumed = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2d%c%2d:%2d:%lf%n", &utc.year, &utc.month, &utc.day, &sep, &utc.hour,
                    &utc.minute, &second, &consumed) != 7 ||
        static_cast<std::size_t>(consumed) != text.size() || (sep != 'T' && sep != ' ') || utc.year < 1980 ||
        utc.month < 1 || utc.month > 12 || utc.day < 1 || utc.day > 31 || utc.hour > 23 || utc.minute > 59 ||
        second < 0.0 || second >= 61.0) {
        error = "'" + text + "' is not a time: give WEEK:SOW (GPS) or YYYY-MM-DDTHH:MM:SS (UTC)";
        return std::nullopt;
    }
    utc.second = second;
    const GpsTime t = GpsFromUtc(utc);
    if (t.week < 0) {
        error = "'" + text + "' lies before GPS time began (1980-01-06)";
        return std::nullopt;
    }
    return t;
}

std::optional<std::vector<double>> ParseNumbers(const std::string& text, std::size_t count, std::string& error) {
    error.clear();
    std::vector<double> values;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        double v = 0.0;
        if (!ParseDouble(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start), v)) {
            values.clear();
            break;
        }
        values.push_back(v);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    if (values.size() != count) {
        error = "'" + text + "' is not " + std::to_string(count) + " comma-separated numbers";
        return std::nullopt;
    }
    return values;
}

std::vector<std::string> SplitFields(const std::string& text, std::size_t count) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    while (fields.size() + 1 < count) {
        const std::size_t comma = text.find(',', start);
        if (comma == std::string::npos) break;
        fields.push_back(Trim(text.substr(start, comma - start)));
        start = comma + 1;
    }
    fields.push_back(Trim(text.substr(start)));
    fields.resize(count);
    return fields;
}

CLI::Validator TimeValidator() {
    return CLI::Validator(
        [](std::string& value) {
            std::string error;
            ParseTime(value, error);
            return error;
        },
        "", "time");
}

CLI::Validator NumbersValidator(std::size_t count) {
    return CLI::Validator(
        [count](std::string& value) {
            std::string error;
            ParseNumbers(value, count, error);
            return error;
        },
        "", "numbers");
}

CLI::Validator IntervalValidator() {
    return CLI::Validator(
        [](std::string& value) {
            // Time tags are whole milliseconds; a grid coarser than a week keeps one epoch.
            double v = 0.0;
            if (!ParseDouble(value, v) || !(v >= 0.001 && v <= kSecondsPerWeek)) {
                return "'" + value + "' is not a number of seconds from 0.001 to 604800";
            }
            return std::string();
        },
        "", "seconds");
}

std::optional<CalendarTime> CreationTimeFromEnvironment() {
    const char* epoch = std::getenv("SOURCE_DATE_EPOCH");
    if (epoch == nullptr || *epoch == '\0') return std::nullopt;
    char* end = nullptr;
    const long long seconds = std::strtoll(epoch, &end, 10);
    if (*end != '\0' || seconds < 0) return std::nullopt;
    return CalendarFromUnixSeconds(seconds);
}

}  // namespace kestrel::cli
