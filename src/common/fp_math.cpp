// SPDX-License-Identifier: BSD-2-Clause
#include "common/fp_math.h"

#include <bit>
#include <cstdint>
#include <limits>

// Everything below relies on each operation being rounded once, to double, to nearest: no
// wider intermediate registers, and no fused multiply-add (the build turns contraction off).
#if defined(__FLT_EVAL_METHOD__) && __FLT_EVAL_METHOD__ != 0
#error "the deterministic math needs doubles evaluated in double precision (SSE2, not x87)"
#endif

namespace kestrel {
namespace {

// ---------------------------------------------------------------------------------------
// Bits of a double.

constexpr int kMantissaBits = 52;
constexpr int kExponentBias = 1023;
constexpr uint64_t kMantissaMask = (uint64_t{1} << kMantissaBits) - 1;
constexpr uint32_t kExponentAllOnes = 0x7FF;

uint64_t bits_of(double x) { return std::bit_cast<uint64_t>(x); }
double from_bits(uint64_t b) { return std::bit_cast<double>(b); }

// The biased exponent field: 0 for zeros and subnormals, 0x7FF for infinities and NaN.
uint32_t exponent_field(double x) {
    return static_cast<uint32_t>(bits_of(x) >> kMantissaBits) & kExponentAllOnes;
}

bool is_nan(double x) { return x != x; }
bool is_inf(double x) { return (bits_of(x) << 1) == (uint64_t{kExponentAllOnes} << 53); }
bool sign_bit(double x) { return (bits_of(x) >> 63) != 0; }
double abs_of(double x) { return from_bits(bits_of(x) & ~(uint64_t{1} << 63)); }
double with_sign_of(double magnitude, double sign) {
    return sign_bit(sign) ? -abs_of(magnitude) : abs_of(magnitude);
}

// 2^n for n in the normal range [-1022, 1023], built from its bits (exact).
double pow2(int n) { return from_bits(static_cast<uint64_t>(n + kExponentBias) << kMantissaBits); }

constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Adding and subtracting this rounds a double below 2^51 in magnitude to the nearest
// integer (ties to even) in the default rounding mode.
constexpr double kRoundingShifter = 0x1.8p52;
double round_to_integer(double x) { return (x + kRoundingShifter) - kRoundingShifter; }

// ---------------------------------------------------------------------------------------
// Double-double arithmetic: a value carried as an unevaluated sum hi + lo, |lo| at most
// half an ulp of hi, for about 106 bits of precision.

struct Wide {
    double hi;
    double lo;
};

// The small exact-arithmetic steps are always inlined: called tens of thousands of times
// per conversion, their calls would cost more than their work.
#if defined(__GNUC__)
#define KESTREL_FP_INLINE [[gnu::always_inline]] inline
#else
#define KESTREL_FP_INLINE inline
#endif

// a + b exactly, for any a and b.
KESTREL_FP_INLINE Wide two_sum(double a, double b) {
    const double s = a + b;
    const double bb = s - a;
    return {s, (a - (s - bb)) + (b - bb)};
}

// a + b exactly, when |a| >= |b| (or a is zero).
KESTREL_FP_INLINE Wide fast_two_sum(double a, double b) {
    const double s = a + b;
    return {s, b - (s - a)};
}

// a * b exactly (as long as nothing overflows or underflows), by splitting each factor
// into two halves of 26 bits whose products are exact.
constexpr double kSplitter = 134217729.0;  // 2^27 + 1
KESTREL_FP_INLINE Wide split(double a) {
    const double c = kSplitter * a;
    const double hi = c - (c - a);
    return {hi, a - hi};
}
KESTREL_FP_INLINE Wide two_prod(double a, double b) {
    const double p = a * b;
    const Wide as = split(a);
    const Wide bs = split(b);
    return {p, ((as.hi * bs.hi - p) + as.hi * bs.lo + as.lo * bs.hi) + as.lo * bs.lo};
}

// a * a exactly, with a single split.
KESTREL_FP_INLINE Wide two_square(double a) {
    const double p = a * a;
    const Wide as = split(a);
    return {p, ((as.hi * as.hi - p) + 2.0 * as.hi * as.lo) + as.lo * as.lo};
}

// ---------------------------------------------------------------------------------------
// Constants, each the exact value rounded to the bits shown.

constexpr Wide kPi = {0x1.921fb54442d18p+1, 0x1.1a62633145c07p-53};
constexpr Wide kHalfPi = {0x1.921fb54442d18p+0, 0x1.1a62633145c07p-54};
constexpr Wide kLn2 = {0x1.62e42fefa39efp-1, 0x1.abc9e3b39803fp-56};

// ---------------------------------------------------------------------------------------
// Sine and cosine: x = k pi/2 + r with |r| <= pi/4, then a Taylor polynomial in r.

constexpr double kQuarterPi = 0x1.921fb54442d18p-1;
constexpr double kThreeQuarterPi = 0x1.2d97c7f3321d2p+1;
constexpr double kTwoOverPi = 0x1.45f306dc9c883p-1;

// pi/2 in four pieces, the first three of 33 significant bits, so that k times each is
// exact for k below 2^20, and the sum good to 2^-160: near a multiple of pi/2, where the
// remainder is tiny, it keeps its relative accuracy.
constexpr double kHalfPi1 = 0x1.921fb544p+0;
constexpr double kHalfPi2 = 0x1.0b4611a6p-34;
constexpr double kHalfPi3 = 0x1.3198a2ep-69;
constexpr double kHalfPi4 = 0x1.b839a252049c1p-104;
constexpr double kPieceLimit = 0x1p20;  // rad; beyond it the multiple is found exactly

// The bits of 2/pi after the binary point, 32 at a time: the largest double needs them up
// to bit 1162.
constexpr uint32_t kTwoOverPiBits[] = {
    0xA2F9836E, 0x4E441529, 0xFC2757D1, 0xF534DDC0, 0xDB629599, 0x3C439041, 0xFE5163AB,
    0xDEBBC561, 0xB7246E3A, 0x424DD2E0, 0x06492EEA, 0x09D1921C, 0xFE1DEB1C, 0xB129A73E,
    0xE88235F5, 0x2EBB4484, 0xE99C7026, 0xB45F7E41, 0x3991D639, 0x835339F4, 0x9C845F8B,
    0xBDF9283B, 0x1FF897FF, 0xDE05980F, 0xEF2F118B, 0x5A0A6D1F, 0x6D367ECF, 0x27CB09B7,
    0x4F463F66, 0x9E5FEA2D, 0x7527BAC7, 0xEBE5F17B, 0x3D0739F7, 0x8A5292EA, 0x6BFB5FB1,
    0x1F8D5D08, 0x56033046, 0xFC7B6BAB, 0xF0CFBC20, 0x9AF4361D,
};
constexpr int kWindowWords = 6;  // bits of 2/pi multiplied with the 53-bit significand

// The argument as a quarter-turn count (modulo 4) and a remainder in [-pi/4, pi/4]. The
// remainder's second word may exceed half an ulp of the first, but never by enough to
// matter beyond the linear term of a series.
struct Reduced {
    int quadrant;
    Wide r;
};

// For |x| below kPieceLimit.
KESTREL_FP_INLINE Reduced reduce_moderate(double ax) {
    const double k = round_to_integer(ax * kTwoOverPi);
    const double t1 = ax - k * kHalfPi1;  // exact
    const Wide a = two_sum(t1, -(k * kHalfPi2));
    const Wide b = two_sum(a.hi, -(k * kHalfPi3));
    return {static_cast<int>(k) & 3, {b.hi, (a.lo + b.lo) - k * kHalfPi4}};
}

// 32 bits of a little-endian multi-word integer, from bit `pos` up; zeros past its end.
uint32_t bits_at(const uint32_t* words, int count, int pos) {
    const int word = pos / 32;
    const int shift = pos % 32;
    const uint32_t low = word < count ? words[word] : 0;
    if (shift == 0) return low;
    const uint32_t high = word + 1 < count ? words[word + 1] : 0;
    return (low >> shift) | (high << (32 - shift));
}

// For large |x|: x = m 2^e with an integer m of 53 bits, and x 2/pi taken modulo 4 from
// m times the few bits of 2/pi that fall near the binary point, in integer arithmetic.
// Earlier bits only add multiples of 4; later ones stay below 2^-130 of a quarter turn.
Reduced reduce_large(double ax) {
    const uint64_t b = bits_of(ax);
    const uint64_t m = (b & kMantissaMask) | (uint64_t{1} << kMantissaBits);
    const int e = static_cast<int>(b >> kMantissaBits) - kExponentBias - kMantissaBits;

    // Bits of 2/pi numbered from 1 after the binary point; bit i weighs m 2^(e - i).
    const int first = e - 1 > 1 ? e - 1 : 1;
    constexpr int kWordCount = static_cast<int>(sizeof kTwoOverPiBits / sizeof kTwoOverPiBits[0]);
    uint32_t window[kWindowWords];  // little-endian
    for (int n = 0; n < kWindowWords; ++n) {
        const int bit = first - 1 + 32 * (kWindowWords - 1 - n);  // 0-based start of this word
        const int word = bit / 32;
        const int shift = bit % 32;
        uint32_t w = kTwoOverPiBits[word] << shift;
        if (shift != 0 && word + 1 < kWordCount) w |= kTwoOverPiBits[word + 1] >> (32 - shift);
        window[n] = w;
    }

    constexpr int kProductWords = kWindowWords + 2;
    uint32_t product[kProductWords] = {};
    const uint32_t factor[2] = {static_cast<uint32_t>(m), static_cast<uint32_t>(m >> 32)};
    for (int j = 0; j < kWindowWords; ++j) {
        uint64_t carry = 0;
        for (int i = 0; i < 2; ++i) {
            const uint64_t t = static_cast<uint64_t>(window[j]) * factor[i] + product[i + j] + carry;
            product[i + j] = static_cast<uint32_t>(t);
            carry = t >> 32;
        }
        product[j + 2] = static_cast<uint32_t>(carry);
    }

    // The product's binary point: below it the fraction of a quarter turn, above it the
    // count of quarter turns.
    const int point = 32 * kWindowWords + first - 1 - e;
    int quadrant = static_cast<int>(bits_at(product, kProductWords, point) & 3);
    uint32_t f[4];
    for (int n = 0; n < 4; ++n) f[n] = bits_at(product, kProductWords, point - 32 * (n + 1));

    // A fraction of a half turn or more counts as the next quarter, less what it lacks.
    const bool negative = (f[0] >> 31) != 0;
    if (negative) {
        quadrant = (quadrant + 1) & 3;
        uint32_t carry = 1;
        for (int n = 3; n >= 0; --n) {
            f[n] = ~f[n] + carry;
            carry = (carry != 0 && f[n] == 0) ? 1 : 0;
        }
    }
    Wide frac = two_sum(f[0] * 0x1p-32, f[1] * 0x1p-64);
    const Wide more = two_sum(frac.hi, f[2] * 0x1p-96);
    frac = fast_two_sum(more.hi, more.lo + frac.lo + f[3] * 0x1p-128);

    // Quarter turns to radians.
    Wide r = two_prod(frac.hi, kHalfPi.hi);
    r = fast_two_sum(r.hi, r.lo + (frac.hi * kHalfPi.lo + frac.lo * kHalfPi.hi));
    if (negative) r = {-r.hi, -r.lo};
    return {quadrant, r};
}

// Reduces |x|, which is finite.
KESTREL_FP_INLINE Reduced reduce(double ax) {
    if (ax <= kQuarterPi) return {0, {ax, 0.0}};
    if (ax < kPieceLimit) return reduce_moderate(ax);
    return reduce_large(ax);
}

// Taylor coefficients (-1)^n / (2n+1)! and (-1)^n / (2n)!; on |r| <= pi/4 the first
// omitted terms stay below 2^-60 of the result. The series here and below are summed in
// pairs of terms and powers z^2, z^4 (not term by term from the highest), which shortens
// the chain of dependent operations that bounds the speed of the Kepler iteration.
constexpr double kSin3 = -1.0 / 6.0;
constexpr double kSin5 = 1.0 / 120.0;
constexpr double kSin7 = -1.0 / 5040.0;
constexpr double kSin9 = 1.0 / 362880.0;
constexpr double kSin11 = -1.0 / 39916800.0;
constexpr double kSin13 = 1.0 / 6227020800.0;
constexpr double kSin15 = -1.0 / 1307674368000.0;
constexpr double kSin17 = 1.0 / 355687428096000.0;
constexpr double kCos4 = 1.0 / 24.0;
constexpr double kCos6 = -1.0 / 720.0;
constexpr double kCos8 = 1.0 / 40320.0;
constexpr double kCos10 = -1.0 / 3628800.0;
constexpr double kCos12 = 1.0 / 479001600.0;
constexpr double kCos14 = -1.0 / 87178291200.0;
constexpr double kCos16 = 1.0 / 20922789888000.0;

// sin(r) for |r| <= pi/4: r + r^3 S(r^2), the small lo part entering through cos r ~ 1 - r^2/2.
KESTREL_FP_INLINE double sin_kernel(Wide r) {
    const double z = r.hi * r.hi;
    const double z2 = z * z;
    const double z4 = z2 * z2;
    const double s = ((kSin3 + z * kSin5) + z2 * (kSin7 + z * kSin9)) +
                     z4 * ((kSin11 + z * kSin13) + z2 * (kSin15 + z * kSin17));
    return r.hi + ((r.hi * z) * s + r.lo * (1.0 - 0.5 * z));
}

// cos(r) for |r| <= pi/4: 1 - r^2/2 + r^4 C(r^2), with 1 - r^2/2 carried exactly so the
// one large term adds no rounding of its own.
KESTREL_FP_INLINE double cos_kernel(Wide r) {
    const double z = r.hi * r.hi;
    const Wide zz = two_square(r.hi);
    const double half = 0.5 * zz.hi;
    const double w = 1.0 - half;
    const double lost = (1.0 - w) - half;  // exact: what rounding w dropped
    const double z2 = z * z;
    const double z4 = z2 * z2;
    const double c = ((kCos4 + z * kCos6) + z2 * (kCos8 + z * kCos10)) +
                     z4 * ((kCos12 + z * kCos14) + z2 * kCos16);
    return w + ((lost - 0.5 * zz.lo) + (z2 * c - r.hi * r.lo));
}

// Below this, sin x rounds to x and cos x to 1.
constexpr double kTinyAngle = 0x1p-27;

// ---------------------------------------------------------------------------------------
// Arctangent of a ratio n/d in [0, 1]: atan(n/d) = atan c + atan u with the nearest
// c = j/8 and u = (n - c d) / (d + c n), |u| <= 1/16, from the operands themselves (not from
// a rounded quotient), then a Taylor series in u.

constexpr Wide kAtanOfEighths[] = {
    {0.0, 0.0},                                        // atan(0)
    {0x1.fd5ba9aac2f6ep-4, -0x1.cd37686760c17p-59},    // atan(1/8)
    {0x1.f5b75f92c80ddp-3, 0x1.8ab6e3cf7afbdp-57},     // atan(2/8)
    {0x1.6f61941e4def1p-2, -0x1.c63aae6f6e918p-56},    // atan(3/8)
    {0x1.dac670561bb4fp-2, 0x1.a2b7f222f65e2p-56},     // atan(4/8)
    {0x1.1e00babdefeb4p-1, -0x1.928df287a668fp-58},    // atan(5/8)
    {0x1.4978fa3269ee1p-1, 0x1.2419a87f2a458p-56},     // atan(6/8)
    {0x1.700a7c5784634p-1, -0x1.8c34d25aadef6p-56},    // atan(7/8)
    {0x1.921fb54442d18p-1, 0x1.1a62633145c07p-55},     // atan(1)
};
constexpr double kAtanSteps = 8.0;  // table entries per unit of n/d

constexpr double kAtan3 = -1.0 / 3.0;
constexpr double kAtan5 = 1.0 / 5.0;
constexpr double kAtan7 = -1.0 / 7.0;
constexpr double kAtan9 = 1.0 / 9.0;
constexpr double kAtan11 = -1.0 / 11.0;
constexpr double kAtan13 = 1.0 / 13.0;
constexpr double kAtan15 = -1.0 / 15.0;

// atan(n/d) for 0 < n <= d, both near 1 in size (their products neither overflow nor
// underflow), to about 2^-100, as a sum of two doubles.
KESTREL_FP_INLINE Wide atan_ratio(double n, double d) {
    const double steps = round_to_integer((n / d) * kAtanSteps);
    const int j = static_cast<int>(steps);
    const double c = steps / kAtanSteps;  // exact
    // u = (n - c d) / (d + c n), numerator and denominator each with a second word.
    const Wide cd = two_prod(c, d);
    const Wide num = two_sum(n - cd.hi, -cd.lo);  // n - cd.hi is exact: they lie close
    const Wide cn = two_prod(c, n);
    Wide den = two_sum(d, cn.hi);
    den.lo += cn.lo;
    const double inverse = 1.0 / den.hi;
    const double uh = num.hi * inverse;
    const Wide back = two_prod(uh, den.hi);
    const double ul = (((num.hi - back.hi) - back.lo) + num.lo - uh * den.lo) * inverse;

    const double z = uh * uh;
    const double z2 = z * z;
    const double z4 = z2 * z2;
    const double tail = (uh * z) * (((kAtan3 + z * kAtan5) + z2 * (kAtan7 + z * kAtan9)) +
                                    z4 * ((kAtan11 + z * kAtan13) + z2 * kAtan15));
    const Wide base = kAtanOfEighths[j];
    const Wide s = two_sum(base.hi, uh);
    return {s.hi, s.lo + base.lo + ul + tail};  // left unnormalised: the caller adds it up
}

// Ratios below 2^-kTinyRatioExponent need no second word: atan t = t to double precision.
constexpr int kTinyRatioExponent = 60;
// Operands are brought near 1 before the exact products of atan_ratio.
constexpr int kScaleThreshold = 500;
constexpr int kScaleStep = 600;

struct Octant {
    Wide base;
    double sign;
};
constexpr Octant kOctants[4] = {
    {{0.0, 0.0}, 1.0},  // |y| <= |x|, x > 0
    {kPi, -1.0},        // |y| <= |x|, x < 0
    {kHalfPi, -1.0},    // |y| > |x|, x > 0
    {kHalfPi, 1.0},     // |y| > |x|, x < 0
};
constexpr uint64_t kSignBit = uint64_t{1} << 63;

// Unbiased exponent of a finite nonzero double (subnormals counted as if normalised).
int exponent_of(double x) {
    const uint32_t field = exponent_field(x);
    if (field != 0) return static_cast<int>(field) - kExponentBias;
    return exponent_of(x * 0x1p64) - 64;
}

// ---------------------------------------------------------------------------------------
// Exponential: x = (32 n + j) ln2/32 + r with |r| <= ln2/64, exp x = 2^n 2^(j/32) e^r.

constexpr Wide kTwoToEighths[32] = {
    {0x1.0000000000000p+0, 0.0},
    {0x1.059b0d3158574p+0, 0x1.d73e2a475b465p-55},
    {0x1.0b5586cf9890fp+0, 0x1.8a62e4adc610bp-54},
    {0x1.11301d0125b51p+0, -0x1.6c51039449b3ap-54},
    {0x1.172b83c7d517bp+0, -0x1.19041b9d78a76p-55},
    {0x1.1d4873168b9aap+0, 0x1.e016e00a2643cp-54},
    {0x1.2387a6e756238p+0, 0x1.9b07eb6c70573p-54},
    {0x1.29e9df51fdee1p+0, 0x1.612e8afad1255p-55},
    {0x1.306fe0a31b715p+0, 0x1.6f46ad23182e4p-55},
    {0x1.371a7373aa9cbp+0, -0x1.63aeabf42eae2p-54},
    {0x1.3dea64c123422p+0, 0x1.ada0911f09ebcp-55},
    {0x1.44e086061892dp+0, 0x1.89b7a04ef80d0p-59},
    {0x1.4bfdad5362a27p+0, 0x1.d4397afec42e2p-56},
    {0x1.5342b569d4f82p+0, -0x1.07abe1db13cadp-55},
    {0x1.5ab07dd485429p+0, 0x1.6324c054647adp-54},
    {0x1.6247eb03a5585p+0, -0x1.383c17e40b497p-54},
    {0x1.6a09e667f3bcdp+0, -0x1.bdd3413b26456p-54},
    {0x1.71f75e8ec5f74p+0, -0x1.16e4786887a99p-55},
    {0x1.7a11473eb0187p+0, -0x1.41577ee04992fp-55},
    {0x1.82589994cce13p+0, -0x1.d4c1dd41532d8p-54},
    {0x1.8ace5422aa0dbp+0, 0x1.6e9f156864b27p-54},
    {0x1.93737b0cdc5e5p+0, -0x1.75fc781b57ebcp-57},
    {0x1.9c49182a3f090p+0, 0x1.c7c46b071f2bep-56},
    {0x1.a5503b23e255dp+0, -0x1.d2f6edb8d41e1p-54},
    {0x1.ae89f995ad3adp+0, 0x1.7a1cd345dcc81p-54},
    {0x1.b7f76f2fb5e47p+0, -0x1.5584f7e54ac3bp-56},
    {0x1.c199bdd85529cp+0, 0x1.11065895048ddp-55},
    {0x1.cb720dcef9069p+0, 0x1.503cbd1e949dbp-56},
    {0x1.d5818dcfba487p+0, 0x1.2ed02d75b3707p-55},
    {0x1.dfc97337b9b5fp+0, -0x1.1a5cd4f184b5cp-54},
    {0x1.ea4afa2a490dap+0, -0x1.e9c23179c2893p-54},
    {0x1.f50765b6e4540p+0, 0x1.9d3e12dd8a18bp-54},
};
constexpr double kThirtyTwoOverLn2 = 0x1.71547652b82fep+5;
// ln2/32 in two pieces, the first of 29 significant bits: k times it is exact for every k
// that leaves exp finite and nonzero.
constexpr double kLn2Over32Hi = 0x1.62e42ffp-6;
constexpr double kLn2Over32Lo = -0x1.718432a1b0e26p-40;

// Past these, exp overflows to infinity or underflows to zero.
constexpr double kExpOverflowArgument = 709.79;
constexpr double kExpUnderflowArgument = -745.2;

constexpr double kExp2 = 1.0 / 2.0;
constexpr double kExp3 = 1.0 / 6.0;
constexpr double kExp4 = 1.0 / 24.0;
constexpr double kExp5 = 1.0 / 120.0;
constexpr double kExp6 = 1.0 / 720.0;
constexpr double kExp7 = 1.0 / 5040.0;

// Scaling of a result in [0.98, 2.05] by 2^n, rounded once even where it turns subnormal.
constexpr int kSubnormalPrescale = 200;
double scale_by_power_of_two(double v, int n) {
    if (n > kExponentBias) return v * pow2(kExponentBias) * pow2(n - kExponentBias);
    if (n < 1 - kExponentBias) return v * pow2(n + kSubnormalPrescale) * pow2(-kSubnormalPrescale);
    return v * pow2(n);
}

// e^(x.hi + x.lo), |x.lo| at most half an ulp of x.hi.
double exp_wide(Wide x) {
    if (is_nan(x.hi)) return x.hi;
    if (x.hi > kExpOverflowArgument) return kInfinity;
    if (x.hi < kExpUnderflowArgument) return 0.0;

    const double kd = round_to_integer(x.hi * kThirtyTwoOverLn2);
    const int k = static_cast<int>(kd);
    const Wide r = two_sum(x.hi - kd * kLn2Over32Hi, -(kd * kLn2Over32Lo));
    // e^(h + l) = e^h (1 + l): the second word, with x.lo (up to 2^-44 for a product
    // y log x near 700), enters as l (1 + h), its product with h kept.
    const double h = r.hi;
    const double l = r.lo + x.lo;
    const double h2 = h * h;
    const double h4 = h2 * h2;
    const double q = ((kExp2 + h * kExp3) + h2 * (kExp4 + h * kExp5)) + h4 * (kExp6 + h * kExp7);
    const double p = h + (l * (1.0 + h) + h2 * q);
    const Wide t = kTwoToEighths[k & 31];
    const double v = t.hi + (t.hi * p + t.lo * (1.0 + p));
    return scale_by_power_of_two(v, k >> 5);
}

// ---------------------------------------------------------------------------------------
// Logarithm: x = 2^e m, m = c (1 + ...) for the nearest c = 1 + j/16, and
// log m = log c + 2 atanh s with s = (m - c) / (m + c), |s| <= 1/64.

constexpr Wide kLogOfSixteenths[16] = {
    {0.0, 0.0},                                        // log(1)
    {0x1.f0a30c01162a6p-5, 0x1.85f325c5bbacdp-59},     // log(1 + 1/16)
    {0x1.e27076e2af2e6p-4, -0x1.61578001e0162p-60},    // log(1 + 2/16)
    {0x1.5ff3070a793d4p-3, -0x1.bc60efafc6f6ep-58},    // log(1 + 3/16)
    {0x1.c8ff7c79a9a22p-3, -0x1.4f689f8434012p-57},    // log(1 + 4/16)
    {0x1.1675cababa60ep-2, 0x1.ce63eab883717p-61},     // log(1 + 5/16)
    {0x1.4618bc21c5ec2p-2, 0x1.f42decdeccf1dp-56},     // log(1 + 6/16)
    {0x1.739d7f6bbd007p-2, -0x1.8c76ceb014b04p-56},    // log(1 + 7/16)
    {0x1.9f323ecbf984cp-2, -0x1.a92e513217f5cp-59},    // log(1 + 8/16)
    {0x1.c8ff7c79a9a22p-2, -0x1.4f689f8434012p-56},    // log(1 + 9/16)
    {0x1.f128f5faf06edp-2, -0x1.328df13bb38c3p-56},    // log(1 + 10/16)
    {0x1.0be72e4252a83p-1, -0x1.259da11330801p-55},    // log(1 + 11/16)
    {0x1.1e85f5e7040d0p-1, 0x1.ef62cd2f9f1e3p-56},     // log(1 + 12/16)
    {0x1.307d7334f10bep-1, 0x1.fb590a1f566dap-57},     // log(1 + 13/16)
    {0x1.41d8fe84672aep-1, 0x1.9192f30bd1806p-55},     // log(1 + 14/16)
    {0x1.52a2d265bc5abp-1, -0x1.1883750ea4d0ap-57},    // log(1 + 15/16)
};
constexpr int kLogSteps = 16;  // table entries per unit of m

// Coefficients of 2 atanh s = 2s + s^3 (2/3 + s^2 (2/5 + ...)).
constexpr double kAtanh3 = 2.0 / 3.0;
constexpr double kAtanh5 = 2.0 / 5.0;
constexpr double kAtanh7 = 2.0 / 7.0;
constexpr double kAtanh9 = 2.0 / 9.0;

// log x for a finite x > 0, to about 2^-70 of the result.
Wide log_wide(double x) {
    int e = 0;
    if (exponent_field(x) == 0) {  // subnormal: normalise first
        x *= 0x1p64;
        e = -64;
    }
    const uint64_t b = bits_of(x);
    e += static_cast<int>(b >> kMantissaBits) - kExponentBias;
    double m = from_bits((b & kMantissaMask) | (uint64_t{kExponentBias} << kMantissaBits));  // [1, 2)
    // The nearest sixteenth, from the top five bits of the significand.
    int j = static_cast<int>((((b & kMantissaMask) >> (kMantissaBits - 5)) + 1) >> 1);
    if (j == kLogSteps) {  // nearer 2: take it as half of m, one power up
        m *= 0.5;
        e += 1;
        j = 0;
    }
    const double c = from_bits((uint64_t{kExponentBias} << kMantissaBits) |
                               (static_cast<uint64_t>(j) << (kMantissaBits - 4)));  // 1 + j/16
    const double num = m - c;  // exact: m and c lie close
    const Wide den = two_sum(m, c);
    const double inverse = 1.0 / den.hi;
    const double s = num * inverse;
    const Wide back = two_prod(s, den.hi);
    const double slo = (((num - back.hi) - back.lo) - s * den.lo) * inverse;
    const double z = s * s;
    const double tail = (s * z) * ((kAtanh3 + z * kAtanh5) + (z * z) * (kAtanh7 + z * kAtanh9));

    const double ed = e;
    const Wide eln2 = two_prod(ed, kLn2.hi);
    const Wide base = kLogOfSixteenths[j];
    const Wide a = two_sum(eln2.hi, base.hi);
    const Wide b2 = two_sum(a.hi, 2.0 * s);
    return fast_two_sum(b2.hi, b2.lo + a.lo + (eln2.lo + ed * kLn2.lo) + base.lo + (2.0 * slo + tail));
}

// ---------------------------------------------------------------------------------------
// Power.

enum class IntegerKind { kNotInteger, kOdd, kEven };

IntegerKind integer_kind(double y) {
    const uint32_t field = exponent_field(y);
    if (field == kExponentAllOnes) return IntegerKind::kNotInteger;
    if (y == 0.0) return IntegerKind::kEven;
    const int e = static_cast<int>(field) - kExponentBias;
    if (e < 0) return IntegerKind::kNotInteger;
    if (e > kMantissaBits) return IntegerKind::kEven;
    const uint64_t significand = (bits_of(y) & kMantissaMask) | (uint64_t{1} << kMantissaBits);
    const int fraction_bits = kMantissaBits - e;
    if (fraction_bits > 0 && (significand & ((uint64_t{1} << fraction_bits) - 1)) != 0)
        return IntegerKind::kNotInteger;
    return ((significand >> fraction_bits) & 1) != 0 ? IntegerKind::kOdd : IntegerKind::kEven;
}

// Beyond this |y log x| the power has certainly overflowed or underflowed; the limit also
// keeps the exact product clear of overflow.
constexpr double kPowExponentLimit = 2000.0;

}  // namespace

double fp_sin(double x) {
    const double ax = abs_of(x);
    if (exponent_field(x) == kExponentAllOnes) return x - x;  // NaN for infinities and NaN
    if (ax < kTinyAngle) return x;
    const Reduced red = reduce(ax);
    double v = 0.0;
    switch (red.quadrant) {
        case 0: v = sin_kernel(red.r); break;
        case 1: v = cos_kernel(red.r); break;
        case 2: v = -sin_kernel(red.r); break;
        default: v = -cos_kernel(red.r); break;
    }
    return sign_bit(x) ? -v : v;
}

double fp_cos(double x) {
    const double ax = abs_of(x);
    if (exponent_field(x) == kExponentAllOnes) return x - x;
    if (ax < kTinyAngle) return 1.0;
    const Reduced red = reduce(ax);
    switch (red.quadrant) {
        case 0: return cos_kernel(red.r);
        case 1: return -sin_kernel(red.r);
        case 2: return -cos_kernel(red.r);
        default: return sin_kernel(red.r);
    }
}

SineCosine fp_sincos(double x) {
    if (exponent_field(x) == kExponentAllOnes) {
        const double nan = x - x;
        return {nan, nan};
    }
    const double ax = abs_of(x);
    if (ax < kTinyAngle) return {x, 1.0};
    const Reduced red = reduce(ax);
    const double s = sin_kernel(red.r);
    const double c = cos_kernel(red.r);
    SineCosine v;
    switch (red.quadrant) {
        case 0: v = {s, c}; break;
        case 1: v = {c, -s}; break;
        case 2: v = {-s, -c}; break;
        default: v = {-c, s}; break;
    }
    if (sign_bit(x)) v.sin = -v.sin;
    return v;
}

double fp_atan2(double y, double x) {
    if (is_nan(x) || is_nan(y)) return x + y;
    const double ax = abs_of(x);
    const double ay = abs_of(y);
    const bool x_negative = sign_bit(x);

    // Zeros and infinities: the limits the angle takes, quadrant by the signs.
    if (y == 0.0) return with_sign_of(x_negative ? kPi.hi : 0.0, y);
    if (is_inf(y)) {
        if (!is_inf(x)) return with_sign_of(kHalfPi.hi, y);
        return with_sign_of(x_negative ? kThreeQuarterPi : kQuarterPi, y);
    }
    if (x == 0.0) return with_sign_of(kHalfPi.hi, y);
    if (is_inf(x)) return with_sign_of(x_negative ? kPi.hi : 0.0, y);

    // The ratio of the smaller to the larger, in (0, 1].
    const bool steep = ay > ax;
    double num = ax < ay ? ax : ay;
    double den = ax < ay ? ay : ax;
    const int den_exponent = exponent_of(den);
    Wide a;
    if (den_exponent - exponent_of(num) > kTinyRatioExponent) {
        a = {num / den, 0.0};
    } else {
        if (den_exponent > kScaleThreshold) {
            num *= pow2(-kScaleStep);
            den *= pow2(-kScaleStep);
        } else if (den_exponent < -kScaleThreshold) {
            num *= pow2(kScaleStep);
            den *= pow2(kScaleStep);
        }
        a = atan_ratio(num, den);
    }

    // Into the right octant, by table rather than by branches: a, pi - a for x < 0, and
    // pi/2 - a, pi/2 + a above the diagonal.
    const Octant& o = kOctants[(steep ? 2 : 0) + (x_negative ? 1 : 0)];
    const Wide s = two_sum(o.base.hi, o.sign * a.hi);
    const double angle = s.hi + (s.lo + (o.base.lo + o.sign * a.lo));
    return from_bits(bits_of(angle) ^ (bits_of(y) & kSignBit));
}

double fp_exp(double x) { return exp_wide({x, 0.0}); }

double fp_log(double x) {
    if (is_nan(x)) return x;
    if (x == 0.0) return -kInfinity;
    if (x < 0.0) return kNaN;
    if (is_inf(x)) return x;
    return log_wide(x).hi;
}

double fp_pow(double x, double y) {
    if (y == 0.0) return 1.0;
    if (x == 1.0) return 1.0;
    if (is_nan(x) || is_nan(y)) return x + y;

    const double ax = abs_of(x);
    if (is_inf(y)) {
        if (ax == 1.0) return 1.0;
        return (ax < 1.0) == (y < 0.0) ? kInfinity : 0.0;
    }

    const IntegerKind kind = integer_kind(y);
    const bool odd = kind == IntegerKind::kOdd;
    if (x == 0.0 || is_inf(x)) {
        // 0^y and inf^y: zero or infinity by the sign of y (and of log |x|), the sign of
        // x kept for odd integer powers.
        const bool large = (x == 0.0) == (y < 0.0);
        const double magnitude = large ? kInfinity : 0.0;
        return odd && sign_bit(x) ? -magnitude : magnitude;
    }
    bool negate = false;
    if (x < 0.0) {
        if (kind == IntegerKind::kNotInteger) return kNaN;
        negate = odd;
    }
    if (ax == 1.0) return negate ? -1.0 : 1.0;  // (-1)^y for any integer y, however large

    const Wide l = log_wide(ax);
    const double product = y * l.hi;
    double v = 0.0;
    if (product > kPowExponentLimit) {
        v = kInfinity;
    } else if (product < -kPowExponentLimit) {
        v = 0.0;
    } else {
        const Wide p = two_prod(y, l.hi);
        v = exp_wide(fast_two_sum(p.hi, p.lo + y * l.lo));
    }
    return negate ? -v : v;
}

}  // namespace kestrel
