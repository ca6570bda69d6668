// SPDX-License-Identifier: BSD-2-Clause
// Ephemeris store: every healthy GPS broadcast ephemeris received during a conversion,
// keyed by (Prn, Toe) and found by nearest reference time.
#pragma once

#include <cstdint>

#include "kestrel/records.h"

namespace kestrel {

// An ephemeris serves a time up to this far from its reference time, s (exclusive).
constexpr int32_t kEphemerisServesS = 21600;

// Releases every stored ephemeris and empties the lookup caches.
void eph_store_clear();

// Stores a copy of `record` unless one with the same Prn and Toe is held. 0 when stored or
// a duplicate; 1 when no memory could be had ("Error: Not enough memory").
int32_t eph_store_insert(const GpsEphRecord* record);

// The GPS ephemeris of `prn` chosen for `time` (whole seconds of week), or null. Among
// ephemerides strictly within kEphemerisServesS of `time`, the walk in insertion order keeps the
// nearest so far and stops at the first one within 4000 s; a satellite's last choice is
// answered again without a walk while it stays within 4000 s.
const GpsEphRecord* eph_store_find(int32_t prn, int32_t time);

// The same lookup for satellite numbers 33 and above, with its own limits (answered from
// the cache within 900 s, taken within 2000 s). Nothing in a conversion fills that list,
// so this finds nothing there.
const GpsEphRecord* eph_store_find_second(int32_t prn, int32_t time);

// Stores into the list that eph_store_find_second searches, with the same key and memory
// rules as eph_store_insert. No decoder calls it; it lets that lookup be exercised.
int32_t eph_store_insert_second(const GpsEphRecord* record);

// While `fail` is true every node allocation fails, so the out-of-memory path can be
// exercised.
void eph_store_fail_allocations(bool fail);

}  // namespace kestrel
