// SPDX-License-Identifier: BSD-2-Clause
// Record 0x81, EPHEMERIS: subframes 1 to 3 of one GPS satellite's navigation message,
// decoded into a GpsEphRecord.
#pragma once

#include <cstdint>

#include "kestrel/records.h"

namespace kestrel {

// Decodes the 72-byte payload (words 3..10 of subframes 1..3, big-endian, parity removed)
// into `record`, which the caller has zero-filled. Returns -1 for a PRN outside 1..32
// (only Prn is stored), else the 6-bit satellite health (0 = healthy).
int32_t DecodeEphemeris(const uint8_t* payload, int32_t prn, GpsEphRecord& record);

// The record handler: 2 when a healthy ephemeris was queued, else 0.
int32_t HandleEphemeris(int32_t port, uint8_t* threadBuf);

}  // namespace kestrel
