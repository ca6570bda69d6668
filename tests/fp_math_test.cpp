// SPDX-License-Identifier: BSD-2-Clause
// The library's own elementary functions: accuracy against extended-precision references
// over the ranges the solution meets, argument reduction where it is hardest, and the C
// library's conventions at zeros, infinities and NaN.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "common/fp_math.h"

namespace kestrel {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kMaxUlp = 1.0;  // the promise: within one unit in the last place

bool HaveExtendedReference() { return std::numeric_limits<long double>::digits >= 64; }

// |got - exact| in units in the last place of the double nearest the exact value.
double UlpError(double got, long double exact) {
    const double nearest = static_cast<double>(exact);
    if (std::isnan(got) || std::isnan(nearest)) return std::isnan(got) && std::isnan(nearest) ? 0.0 : kInf;
    if (got == nearest) return 0.0;
    int exponent = 0;
    std::frexp(nearest, &exponent);
    const double ulp = std::ldexp(1.0, std::max(exponent - 53, -1074));
    return static_cast<double>(std::fabs(static_cast<long double>(got) - exact)) / ulp;
}

struct Domain {
    const char* name;
    double (*own)(double);
    long double (*exact)(long double);
    double lo, hi;
    bool logarithmic;  // x = e^t for t evenly spread over [lo, hi]
};

// Sine and cosine: the Kepler, node and latitude angles (tens to hundreds of radians), and
// the far range a damaged log can produce. atan2: ratios of every size in all four
// quadrants. pow: the troposphere's two powers and the orbit's (1 - e^2)^1.5.
const Domain kDomains[] = {
    {"sin, one turn", fp_sin, [](long double x) { return sinl(x); }, -7.0, 7.0, false},
    {"sin, orbit angles", fp_sin, [](long double x) { return sinl(x); }, -2000.0, 2000.0, false},
    {"sin, far", fp_sin, [](long double x) { return sinl(x); }, 13.0, 709.0, true},
    {"cos, one turn", fp_cos, [](long double x) { return cosl(x); }, -7.0, 7.0, false},
    {"cos, orbit angles", fp_cos, [](long double x) { return cosl(x); }, -2000.0, 2000.0, false},
    {"cos, far", fp_cos, [](long double x) { return cosl(x); }, 13.0, 709.0, true},
    {"atan2(t, 1)", [](double t) { return fp_atan2(t, 1.0); },
     [](long double t) { return atan2l(t, 1.0L); }, -3.0, 3.0, false},
    {"atan2(t, -1)", [](double t) { return fp_atan2(t, -1.0); },
     [](long double t) { return atan2l(t, -1.0L); }, -3.0, 3.0, false},
    {"atan2(-1, t)", [](double t) { return fp_atan2(-1.0, t); },
     [](long double t) { return atan2l(-1.0L, t); }, -3.0, 3.0, false},
    {"atan2(t, 1), all sizes", [](double t) { return fp_atan2(t, 1.0); },
     [](long double t) { return atan2l(t, 1.0L); }, -700.0, 700.0, true},
    {"atan2(-1, -t), all sizes", [](double t) { return fp_atan2(-1.0, -t); },
     [](long double t) { return atan2l(-1.0L, -t); }, -700.0, 700.0, true},
    {"exp, troposphere", fp_exp, [](long double x) { return expl(x); }, -30.0, 5.0, false},
    {"exp, whole range", fp_exp, [](long double x) { return expl(x); }, -708.0, 709.7, false},
    {"log", fp_log, [](long double x) { return logl(x); }, -745.0, 709.0, true},
    {"pow(x, 5.255876)", [](double x) { return fp_pow(x, 5.255876); },
     [](long double x) { return powl(x, static_cast<long double>(5.255876)); }, 0.3, 1.05, false},
    {"pow(x, -5.3)", [](double x) { return fp_pow(x, -5.3); },
     [](long double x) { return powl(x, static_cast<long double>(-5.3)); }, 0.3, 1.2, false},
    {"pow(x, 1.5)", [](double x) { return fp_pow(x, 1.5); },
     [](long double x) { return powl(x, 1.5L); }, 0.98, 1.0, false},
    {"pow(1.7, y), near overflow", [](double y) { return fp_pow(1.7, y); },
     [](long double y) { return powl(static_cast<long double>(1.7), y); }, -1300.0, 1300.0, false},
};

TEST(FpMath, AccuracyOverTheRangesTheSolutionUses) {
    if (!HaveExtendedReference()) GTEST_SKIP() << "long double is no wider than double here";
    constexpr int kSamples = 200000;
    for (const Domain& d : kDomains) {
        SCOPED_TRACE(d.name);
        std::mt19937_64 random(20050402);
        std::uniform_real_distribution<double> pick(d.lo, d.hi);
        double worst = 0.0, worstAt = 0.0;
        int buckets[4] = {};  // <= 0.5, <= 0.75, <= 1, > 1 ulp
        for (int i = 0; i < kSamples; ++i) {
            double x = pick(random);
            if (d.logarithmic) x = std::exp(x);
            const double e = UlpError(d.own(x), d.exact(x));
            ++buckets[e <= 0.5 ? 0 : e <= 0.75 ? 1 : e <= 1.0 ? 2 : 3];
            if (e > worst) worst = e, worstAt = x;
        }
        std::printf("%-28s max %.3f ulp at %-24.17g  <=0.5: %d  <=0.75: %d  <=1: %d  >1: %d\n", d.name,
                    worst, worstAt, buckets[0], buckets[1], buckets[2], buckets[3]);
        EXPECT_LE(worst, kMaxUlp) << "at " << worstAt;
    }
}

TEST(FpMath, SineAndCosineNearMultiplesOfHalfPi) {
    if (!HaveExtendedReference()) GTEST_SKIP() << "long double is no wider than double here";
    // There the remainder is tiny and every bit of pi/2 counts; the two reduction methods
    // meet at 2^20.
    const long double halfPi = 1.5707963267948966192313216916397514L;
    std::vector<double> xs;
    for (long k = 1; k < (1L << 24); k = k < 4096 ? k + 1 : k * 5 / 4) {
        const double x = static_cast<double>(k * halfPi);
        xs.insert(xs.end(), {x, std::nextafter(x, 0.0), std::nextafter(x, kInf)});
    }
    xs.insert(xs.end(), {0x1p20, std::nextafter(0x1p20, 0.0), 0x1p52, 1e22, 0x1p1023,
                         std::numeric_limits<double>::max(), std::ldexp(6381956970095103.0, 797)});
    for (double x : xs) {
        SCOPED_TRACE(x);
        EXPECT_LE(UlpError(fp_sin(x), sinl(x)), kMaxUlp);
        EXPECT_LE(UlpError(fp_cos(x), cosl(x)), kMaxUlp);
        EXPECT_LE(UlpError(fp_sin(-x), sinl(-static_cast<long double>(x))), kMaxUlp);
    }
}

bool SameValue(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return std::memcmp(&a, &b, sizeof a) == 0;  // tells -0 from +0
}

// Zeros of both signs, infinities, NaN, subnormals, the largest doubles, the edges of
// exp's range, odd and even integers and numbers near 1: every pair of them.
const double kEdgeValues[] = {0.0, -0.0, 1.0, -1.0, 0.5, -0.5, 2.0, -2.0, 3.0, -3.0, 1.5, -2.5,
                           kInf, -kInf, kNaN, 1e-310, -1e-310, 4.9406564584124654e-324, 1e300,
                           -1e300, 1.7976931348623157e308, -1.7976931348623157e308, 709.78, 709.8,
                           -745.1, -745.2, 1e-20, 0.999999999999, 1.000000000001, 0x1p53 + 2.0};

// The C library decides what these cases return: compared bit for bit where the result is
// a zero, an infinity or NaN, and to an ulp elsewhere.
void ExpectLikeTheCLibrary(const char* what, double own, double c) {
    SCOPED_TRACE(what);
    if (std::isnan(c) || std::isinf(c) || c == 0.0 || std::isnan(own) || std::isinf(own) || own == 0.0)
        EXPECT_TRUE(SameValue(own, c)) << own << " against " << c;
    else
        EXPECT_LE(UlpError(own, c), kMaxUlp) << own << " against " << c;
}

TEST(FpMath, ZerosInfinitiesAndNanFollowTheCLibrary) {
    char what[96];
    for (double x : kEdgeValues) {
        std::snprintf(what, sizeof what, "x = %a", x);
        ExpectLikeTheCLibrary(what, fp_sin(x), std::sin(x));
        ExpectLikeTheCLibrary(what, fp_cos(x), std::cos(x));
        ExpectLikeTheCLibrary(what, fp_exp(x), std::exp(x));
        ExpectLikeTheCLibrary(what, fp_log(x), std::log(x));
        for (double y : kEdgeValues) {
            std::snprintf(what, sizeof what, "x = %a, y = %a", x, y);
            ExpectLikeTheCLibrary(what, fp_atan2(y, x), std::atan2(y, x));
            ExpectLikeTheCLibrary(what, fp_pow(x, y), std::pow(x, y));
        }
    }
}

TEST(FpMath, SinCosGivesTheBitsOfSinAndCos) {
    std::vector<double> xs(std::begin(kEdgeValues), std::end(kEdgeValues));
    std::mt19937_64 random(92);
    std::uniform_real_distribution<double> angle(-100.0, 100.0);
    for (int i = 0; i < 10000; ++i) xs.push_back(angle(random));
    for (double x : xs) {
        SCOPED_TRACE(x);
        const SineCosine sc = fp_sincos(x);
        EXPECT_TRUE(SameValue(sc.sin, fp_sin(x)));
        EXPECT_TRUE(SameValue(sc.cos, fp_cos(x)));
    }
}

TEST(FpMath, RepresentableResultsAreExact) {
    struct Case {
        double own, exact;
    };
    const Case cases[] = {
        {fp_pow(2.0, 10.0), 1024.0},     {fp_pow(3.0, 3.0), 27.0},     {fp_pow(-2.0, -3.0), -0.125},
        {fp_pow(10.0, 2.0), 100.0},      {fp_pow(0.25, 0.5), 0.5},     {fp_pow(2.0, -1074.0), 0x1p-1074},
        {fp_pow(1.0 - 0x1p-53, 0.0), 1}, {fp_exp(0.0), 1.0},           {fp_log(1.0), 0.0},
        {fp_log(0.5), -0x1.62e42fefa39efp-1}, {fp_atan2(1.0, 1.0), 0x1.921fb54442d18p-1},
        {fp_atan2(0.0, -1.0), 0x1.921fb54442d18p+1}, {fp_sin(1e-300), 1e-300}, {fp_cos(-1e-300), 1.0},
    };
    for (const Case& c : cases) EXPECT_TRUE(SameValue(c.own, c.exact)) << c.own << " against " << c.exact;
}

}  // namespace
}  // namespace kestrel
