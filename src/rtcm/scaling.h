// SPDX-License-Identifier: BSD-2-Clause
// Values to the integer fields of a message: rounded to the nearest count and held inside
// the field's range, so that no value, however damaged, spills into the fields around it.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace kestrel::rtcm {

// `counts` rounded to the nearest integer within a signed field of `bits` bits (the most
// negative value, which messages keep for "invalid", excluded); 0 when it is not a number.
inline int64_t SaturatedSigned(double counts, int bits) {
    const double limit = std::ldexp(1.0, bits - 1) - 1.0;
    if (!(counts == counts)) return 0;
    return static_cast<int64_t>(std::llround(std::clamp(counts, -limit, limit)));
}

// `counts` rounded to the nearest integer within an unsigned field of `bits` bits; 0 when
// it is not a number.
inline uint64_t SaturatedUnsigned(double counts, int bits) {
    const double limit = std::ldexp(1.0, bits) - 1.0;
    if (!(counts == counts)) return 0;
    return static_cast<uint64_t>(std::llround(std::clamp(counts, 0.0, limit)));
}

// True when `counts`, rounded, fits a signed field of `bits` bits without taking its most
// negative value.
inline bool FitsSigned(double counts, int bits) {
    const double limit = std::ldexp(1.0, bits - 1) - 1.0;
    return std::fabs(std::round(counts)) <= limit;  // false for a value that is not a number
}

}  // namespace kestrel::rtcm
