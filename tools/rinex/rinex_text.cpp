// SPDX-License-Identifier: BSD-2-Clause
#include "rinex/rinex_text.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

namespace kestrel::rinex {

namespace {
constexpr std::size_t kLabelColumn = 60;
constexpr std::size_t kLabelWidth = 20;
constexpr std::size_t kLongestNumber = 64;
}  // namespace

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::size_t stop = end;
        if (stop > start && text[stop - 1] == '\r') --stop;
        lines.emplace_back(text, start, stop - start);
        start = end + 1;
    }
    return lines;
}

bool ReadTextFile(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    if (in.bad()) return false;
    text = buffer.str();
    return true;
}

std::string_view Columns(const std::string& line, std::size_t begin, std::size_t width) {
    if (begin >= line.size()) return {};
    return std::string_view(line).substr(begin, width);
}

std::string_view HeaderLabel(const std::string& line) {
    std::string_view label = Columns(line, kLabelColumn, kLabelWidth);
    while (!label.empty() && label.back() == ' ') label.remove_suffix(1);
    return label;
}

bool IsBlank(std::string_view field) {
    for (char c : field) {
        if (c != ' ' && c != '\t') return false;
    }
    return true;
}

namespace {

// Reads a whole non-blank field with `convert` (strtod or strtol over a terminated copy): the
// number may be followed by spaces only. A Fortran exponent letter D is read as E; strtol stops
// at either letter, so an integer field with one is refused all the same.
template <typename Number, typename Convert>
bool ReadWholeField(std::string_view field, Number& number, Convert convert) {
    if (field.size() >= kLongestNumber) return false;
    char buffer[kLongestNumber];
    std::size_t n = 0;
    for (char c : field) buffer[n++] = (c == 'D' || c == 'd') ? 'E' : c;
    buffer[n] = '\0';
    char* end = nullptr;
    errno = 0;
    number = convert(buffer, &end);
    if (end == buffer || errno == ERANGE) return false;
    while (*end == ' ') ++end;
    return *end == '\0';
}

}  // namespace

bool ParseReal(std::string_view field, double& value) {
    if (IsBlank(field)) {
        value = 0.0;
        return true;
    }
    const auto convert = [](const char* text, char** end) { return std::strtod(text, end); };
    return ReadWholeField(field, value, convert) && std::isfinite(value);
}

bool ParseInt(std::string_view field, int& value) {
    if (IsBlank(field)) {
        value = 0;
        return true;
    }
    long parsed = 0;
    const auto convert = [](const char* text, char** end) { return std::strtol(text, end, 10); };
    if (!ReadWholeField(field, parsed, convert) || parsed < -2147483647L || parsed > 2147483647L) return false;
    value = static_cast<int>(parsed);
    return true;
}

}  // namespace kestrel::rinex
