// Ephemeris store: every healthy GPS broadcast ephemeris received during a conversion,
// keyed by (Prn, Toe) and found by nearest reference time.
#pragma once

#include <cstdint>

#include "kestrel/records.h"

namespace kestrel {

// Releases every stored ephemeris and empties the lookup cache.
void eph_store_clear();

// Stores a copy of `record` unless one with the same Prn and Toe is held. 0 when stored or
// a duplicate; 1 when no memory could be had ("Error: Not enough memory").
int32_t eph_store_insert(const GpsEphRecord* record);

// The GPS ephemeris of `prn` chosen for `time` (whole seconds of week), or null.
const GpsEphRecord* eph_store_find(int32_t prn, int32_t time);

// The same lookup for satellite numbers 33 and above; that list is never filled.
const GpsEphRecord* eph_store_find_second(int32_t prn, int32_t time);

}  // namespace kestrel
