// SPDX-License-Identifier: BSD-2-Clause
#include "rinex_out/rinex_fields.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace kestrel::rinex_field {

namespace {

constexpr std::size_t kContentWidth = 60;
constexpr std::size_t kLabelWidth = 20;
constexpr int kMantissaBits = 52;
constexpr int kExponentBias = 1075;  // a double is mantissa * 2^(exponent field - 1075)
constexpr int kSubnormalShift = 1074;
constexpr uint64_t kThousandths = 1000;
// Largest count of thousandths F14.3 holds: 13 digits, or 12 after a minus sign.
constexpr uint64_t kPositiveLimit = 10'000'000'000'000ull;
constexpr uint64_t kNegativeLimit = 1'000'000'000'000ull;
constexpr double kSmallestD19 = 1e-99;

// "00" "01" ... "99": two digits at a time.
constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";
constexpr std::size_t kExponentColumn = 15;  // of D19.12: sign, digit, point, 12 digits, letter

}  // namespace

bool FormatF14_3(double value, char* out) {
    const uint64_t bits = std::bit_cast<uint64_t>(value);
    const bool negative = (bits >> 63) != 0;
    const int exponentField = static_cast<int>((bits >> kMantissaBits) & 0x7FF);
    uint64_t mantissa = bits & ((uint64_t{1} << kMantissaBits) - 1);
    if (exponentField == 0x7FF) return false;  // infinity or NaN
    // |value| = mantissa / 2^shift exactly.
    int shift = kSubnormalShift;
    if (exponentField != 0) {
        mantissa |= uint64_t{1} << kMantissaBits;
        shift = kExponentBias - exponentField;
    }
    if (shift <= 0) return false;  // 2^52 or more
    // |value| * 1000 rounded half to even, in integer arithmetic: mantissa * 1000 < 2^63.
    uint64_t milli = 0;
    if (shift < 64) {
        const uint64_t scaled = mantissa * kThousandths;
        milli = scaled >> shift;
        const uint64_t rest = scaled & ((uint64_t{1} << shift) - 1);
        const uint64_t half = uint64_t{1} << (shift - 1);
        if (rest > half || (rest == half && (milli & 1) != 0)) ++milli;
    }  // else |value| < 2^-11, which rounds to 0.000
    if (milli >= (negative ? kNegativeLimit : kPositiveLimit)) return false;

    // Blanks first (a fixed-size copy the compiler turns into two stores), then the digits
    // from the right, two at a time; the whole part of an observation (below 2^32) in 32-bit
    // arithmetic.
    std::memcpy(out, "              ", kF14Width);
    char* p = out + kF14Width;
    const auto fraction = static_cast<uint32_t>(milli % kThousandths);
    uint64_t whole = milli / kThousandths;
    p[-1] = static_cast<char>('0' + fraction % 10);
    std::memcpy(p - 3, kDigitPairs + 2 * (fraction / 10), 2);
    p[-4] = '.';
    p -= 4;
    while (whole > UINT32_MAX) {
        std::memcpy(p -= 2, kDigitPairs + 2 * (whole % 100), 2);
        whole /= 100;
    }
    auto small = static_cast<uint32_t>(whole);
    // Four digits per division while there are more than four.
    while (small >= 10000) {
        const uint32_t four = small % 10000;
        small /= 10000;
        std::memcpy(p -= 2, kDigitPairs + 2 * (four % 100), 2);
        std::memcpy(p -= 2, kDigitPairs + 2 * (four / 100), 2);
    }
    if (small >= 100) {
        std::memcpy(p -= 2, kDigitPairs + 2 * (small % 100), 2);
        small /= 100;
    }
    if (small >= 10) std::memcpy(p -= 2, kDigitPairs + 2 * small, 2);
    else *--p = static_cast<char>('0' + small);
    if (negative) *--p = '-';
    return true;
}

bool FormatD19_12(double value, char exponentLetter, char* out) {
    if (!std::isfinite(value)) return false;
    if (std::fabs(value) < kSmallestD19) value = 0.0;
    char text[32];
    const int n = std::snprintf(text, sizeof text, "%19.12E", value);
    // A three-digit exponent takes the place of the blank before a positive number.
    if (n != static_cast<int>(kD19Width) || text[kExponentColumn] != 'E') return false;
    text[kExponentColumn] = exponentLetter;
    std::memcpy(out, text, kD19Width);
    return true;
}

bool FormatFixed(double value, int width, int decimals, std::string& out) {
    if (!std::isfinite(value)) return false;
    char text[64];
    const int n = std::snprintf(text, sizeof text, "%*.*f", width, decimals, value);
    if (n != width) return false;
    out.append(text, static_cast<std::size_t>(n));
    return true;
}

namespace {

bool Printable(unsigned char c) { return c >= 0x20 && c < 0x7F; }
bool Continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// The text as the columns show it: printable ASCII as it is, every other character one '?'.
// `replaced` counts the characters replaced.
std::string Columns(std::string_view text, std::size_t& replaced) {
    std::string out;
    out.reserve(text.size());
    replaced = 0;
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i++]);
        if (Printable(c)) {
            out += static_cast<char>(c);
            continue;
        }
        out += '?';
        ++replaced;
        // A UTF-8 sequence's lead byte: its continuation bytes are part of the same character.
        if (c >= 0xC0 && c < 0xF8) {
            while (i < text.size() && Continuation(static_cast<unsigned char>(text[i]))) ++i;
        }
    }
    return out;
}

}  // namespace

std::string Field(std::string_view text, std::size_t width) {
    std::size_t replaced = 0;
    std::string field = Columns(text, replaced);
    field.resize(width, ' ');
    return field;
}

std::string FieldWarning(std::string_view fieldName, std::string_view text, std::size_t width) {
    std::size_t replaced = 0;
    const std::string columns = Columns(text, replaced);
    const bool cut = width > 0 && columns.size() > width;
    if (!cut && replaced == 0) return std::string();
    std::string warning = std::string(fieldName) + ": '" + std::string(text) + "'";
    if (cut) warning += " is cut to its " + std::to_string(width) + " columns ('" + columns.substr(0, width) + "')";
    if (cut && replaced > 0) warning += " and";
    if (replaced > 0) warning += " holds characters other than printable ASCII, written as '?'";
    return warning;
}

void AppendHeaderLine(std::string& out, std::string_view content, std::string_view label) {
    out += Field(content, kContentWidth);
    out += Field(label, kLabelWidth);
    out += '\n';
}

void AppendComments(std::string& out, const std::vector<std::string>& comments) {
    for (const std::string& comment : comments) {
        // Wrapped as the columns show it, so that no character is split between lines.
        std::size_t replaced = 0;
        const std::string shown = Columns(comment, replaced);
        std::string_view rest = shown;
        do {
            std::size_t take = rest.size();
            if (take > kContentWidth) {
                // Break at the last blank that leaves a full word on this line, else mid-word.
                const std::size_t blank = rest.substr(0, kContentWidth + 1).find_last_of(' ');
                take = blank != std::string_view::npos && blank > 0 ? blank : kContentWidth;
            }
            AppendHeaderLine(out, rest.substr(0, take), "COMMENT");
            rest.remove_prefix(take);
            while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
        } while (!rest.empty());
    }
}

void AppendProgramLine(std::string& out, std::string_view program, std::string_view runBy,
                       const std::optional<CalendarTime>& createdUtc) {
    std::string content = Field(program, 20) + Field(runBy, 20);
    if (createdUtc) {
        const CalendarTime& c = *createdUtc;
        char date[48];
        std::snprintf(date, sizeof date, "%04d%02d%02d %02d%02d%02d UTC", c.year, c.month, c.day, c.hour, c.minute,
                      static_cast<int>(c.second));
        content += date;
    }
    AppendHeaderLine(out, content, "PGM / RUN BY / DATE");
}

}  // namespace kestrel::rinex_field
