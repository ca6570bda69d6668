// SPDX-License-Identifier: BSD-2-Clause
// The library's own elementary functions. They are computed with IEEE double addition,
// subtraction, multiplication and division only (and integer arithmetic), all correctly
// rounded on every platform, so a position solved by the native library and by the
// 32-bit plug-in agrees to the last bit, whichever C math library each is linked with.
// Each is accurate to within one unit in the last place over its whole domain; zeros,
// infinities and NaN follow the C library's conventions.
#pragma once

namespace kestrel {

double fp_sin(double x);
double fp_cos(double x);

// Sine and cosine of one angle with one reduction of the argument; bit for bit what
// fp_sin and fp_cos give.
struct SineCosine {
    double sin;
    double cos;
};
SineCosine fp_sincos(double x);

// The angle of the point (x, y) from the positive x axis, in [-pi, pi].
double fp_atan2(double y, double x);

double fp_exp(double x);

// Natural logarithm.
double fp_log(double x);

// x raised to the power y. The logarithm and the product y log x are carried with twice
// the precision of a double, so the result keeps its accuracy for large exponents.
double fp_pow(double x, double y);

}  // namespace kestrel
