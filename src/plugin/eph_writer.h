// SPDX-License-Identifier: BSD-2-Clause
// Ephemeris text file writer: "GpsEph" blocks of the block-structured ephemeris format.
#pragma once

#include <cstddef>
#include <cstdio>

#include "kestrel/records.h"

namespace kestrel {

// The first line of every ephemeris file this library writes.
inline constexpr const char* kEphemerisFileHeader = "$EPHREC Ver6.03 KESTREL NavComBinary\n";

// Appends one eight-line "GpsEph" block for `record` to the text stream. Write failures
// show in the stream's error indicator.
void write_gps_eph_block(std::FILE* stream, const GpsEphRecord* record);

// Formats `value` in scientific notation with `digits` digits after the point and an
// exponent of at least three digits (1.50000000e-008, 0.00000000e+000), the same on every
// platform. Returns the length written, as snprintf does.
int format_scientific(char* out, std::size_t size, double value, int digits);

}  // namespace kestrel
