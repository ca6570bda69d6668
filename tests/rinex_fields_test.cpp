// SPDX-License-Identifier: BSD-2-Clause
// The fixed-column number fields of the RINEX writers: the hand-made F14.3 formatter must
// print exactly what printf's "%14.3f" prints, or refuse what does not fit.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <string>

#include "rinex_out/rinex_fields.h"

namespace kestrel::rinex_field {
namespace {

// Compares the formatter with printf for one value; returns a message when they differ.
std::string F14Mismatch(double v) {
    char want[64];
    const int n = std::snprintf(want, sizeof want, "%14.3f", v);
    char got[15] = {};
    const bool ok = FormatF14_3(v, got);
    const bool fits = n == 14 && std::isfinite(v);  // printf's "nan" fits, but is no number
    if (ok != fits || (ok && std::string(got, 14) != want)) {
        char text[160];
        std::snprintf(text, sizeof text, "%a: printf '%s', formatter %s '%s'", v, want, ok ? "wrote" : "refused",
                      ok ? got : "");
        return text;
    }
    return std::string();
}

TEST(RinexFields, F14_3MatchesPrintfAtEdgeValues) {
    const double cases[] = {
        0.0, -0.0, 0.0005, -0.0005, 0.0004999, -0.0004999, 0.0015, 0.0025, 1.0005, 2.5e-4,
        0.0625,  // 62.5 thousandths exactly: a tie, rounded to even (0.062)
        0.1875,  // 187.5: rounded up to even (0.188)
        -0.0625, 1.9375, 123456.0625, 4096.5625,
        9999999999.999, 9999999999.9994, 9999999999.9995, 9999999999.9996, 10000000000.0,
        -999999999.999, -999999999.9994, -999999999.9995, -999999999.9996, -1000000000.0,
        20000000.123, -691177.898, 129017555.114, 45.25, 1e-300, -1e-300,
        std::numeric_limits<double>::denorm_min(), -std::numeric_limits<double>::denorm_min(),
        std::numeric_limits<double>::min(), std::numeric_limits<double>::max(), -std::numeric_limits<double>::max(),
        std::ldexp(1.0, 52), std::ldexp(1.0, 33), std::ldexp(1.0, -11), std::ldexp(1.0, -12),
        std::nextafter(0.0005, 1.0), std::nextafter(0.0005, 0.0), std::nextafter(0.0625, 1.0),
        std::nextafter(0.0625, 0.0),
    };
    for (double v : cases) EXPECT_EQ(F14Mismatch(v), "");
}

TEST(RinexFields, F14_3RefusesWhatPrintfCannotFitAndNonFiniteValues) {
    char field[14];
    const double refused[] = {1e10, -1e9, 1e300, std::numeric_limits<double>::infinity(),
                              -std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN()};
    for (double v : refused) EXPECT_FALSE(FormatF14_3(v, field)) << v;
}

TEST(RinexFields, F14_3MatchesPrintfOnExactTiesAndTheirNeighbours) {
    // Values of n + j/16 with j odd lie exactly half-way between two thousandths.
    std::mt19937_64 random(7);
    for (int i = 0; i < 100000; ++i) {
        const double whole = static_cast<double>(random() % 10000000000ull);
        const double v = (whole + static_cast<double>(2 * (random() % 8) + 1) / 16.0) * (i % 2 ? -1.0 : 1.0);
        ASSERT_EQ(F14Mismatch(v), "");
        ASSERT_EQ(F14Mismatch(std::nextafter(v, 0.0)), "");
        ASSERT_EQ(F14Mismatch(std::nextafter(v, v * 2.0)), "");
    }
}

TEST(RinexFields, F14_3MatchesPrintfOnRandomValues) {
    std::mt19937_64 random(2024);
    std::uniform_real_distribution<double> exponent(-8.0, 11.0);
    for (int i = 0; i < 300000; ++i) {
        // Magnitudes from 1e-8 to 1e11, either sign, and every pattern of bits.
        const double scaled = std::pow(10.0, exponent(random)) * (random() % 2 ? -1.0 : 1.0);
        ASSERT_EQ(F14Mismatch(scaled), "");
        ASSERT_EQ(F14Mismatch(std::bit_cast<double>(random())), "");
        // Observations as receivers give them: thousandths of metres or cycles.
        const double milli = static_cast<double>(static_cast<int64_t>(random() % 20000000000000ull) - 10000000000000ll) / 1000.0;
        ASSERT_EQ(F14Mismatch(milli), "");
    }
}

TEST(RinexFields, D19_12MatchesPrintfWithTheExponentLetter) {
    std::mt19937_64 random(19);
    std::uniform_real_distribution<double> exponent(-20.0, 20.0);
    for (int i = 0; i < 50000; ++i) {
        const double v = std::pow(10.0, exponent(random)) * (random() % 2 ? -1.0 : 1.0);
        char want[32];
        std::snprintf(want, sizeof want, "%19.12E", v);
        want[15] = 'D';
        char got[20] = {};
        ASSERT_TRUE(FormatD19_12(v, 'D', got)) << v;
        ASSERT_EQ(std::string(got, 19), want);
    }
}

TEST(RinexFields, D19_12EdgeValues) {
    struct Case {
        double value;
        const char* text;  // nullptr: refused
    };
    const Case cases[] = {
        {0.0, " 0.000000000000E+00"},
        {-3.259629011150e-09, "-3.259629011150E-09"},
        {5.153636478420e+03, " 5.153636478420E+03"},
        {1e-100, " 0.000000000000E+00"},   // below two exponent digits: zero
        {9.9e99, " 9.900000000000E+99"},
        {9.9999999999999e99, nullptr},     // rounds to 1E+100
        {1e100, nullptr},
        {std::numeric_limits<double>::quiet_NaN(), nullptr},
    };
    for (const Case& c : cases) {
        char got[20] = {};
        const bool ok = FormatD19_12(c.value, 'E', got);
        EXPECT_EQ(ok, c.text != nullptr) << c.value;
        if (ok && c.text) {
            EXPECT_STREQ(got, c.text);
        }
    }
}

TEST(RinexFields, HeaderLinesAreSixtyColumnsAndTheLabel) {
    std::string out;
    AppendHeaderLine(out, std::string(70, 'x'), "MARKER NAME");
    AppendHeaderLine(out, "tab\there\nand a line end", "COMMENT");
    EXPECT_EQ(out, std::string(60, 'x') + "MARKER NAME         \n" + "tab?here?and a line end" + std::string(37, ' ') +
                       "COMMENT             \n");
}

TEST(RinexFields, LongCommentsWrapBetweenWords) {
    struct Case {
        std::string comment;
        std::vector<std::string> lines;
    };
    const std::string word59(59, 'w');
    const Case cases[] = {
        {"short", {"short"}},
        {"", {""}},
        {word59 + " next", {word59, "next"}},
        {std::string(60, 'a') + " b", {std::string(60, 'a'), "b"}},
        {std::string(130, 'z'), {std::string(60, 'z'), std::string(60, 'z'), std::string(10, 'z')}},
    };
    for (const Case& c : cases) {
        std::string out;
        AppendComments(out, {c.comment});
        std::string want;
        for (const std::string& line : c.lines) want += line + std::string(60 - line.size(), ' ') + "COMMENT             \n";
        EXPECT_EQ(out, want) << c.comment;
    }
}

}  // namespace
}  // namespace kestrel::rinex_field
