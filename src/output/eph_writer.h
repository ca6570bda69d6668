// Ephemeris text file writer: "GpsEph" blocks of the block-structured ephemeris format.
#pragma once

#include <cstdio>

#include "kestrel/records.h"

namespace kestrel {

// The first line of every ephemeris file this library writes.
inline constexpr const char* kEphemerisFileHeader = "$EPHREC Ver6.03 KESTREL NavComBinary\n";

// Appends one eight-line "GpsEph" block for `record` to the text stream.
void write_gps_eph_block(std::FILE* stream, const GpsEphRecord* record);

}  // namespace kestrel
