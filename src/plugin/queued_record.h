// SPDX-License-Identifier: BSD-2-Clause
// What the plug-in's conversion reads from the ThreadBuf after each record a handler queued,
// and the names of its two outputs.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kestrel/kestrel.h"
#include "kestrel/records.h"

namespace kestrel {

// SatObservation records read per epoch: more than the 15 a MEASUREMENT frame can carry.
constexpr int32_t kObservationCapacity = 24;
constexpr std::size_t kEphemerisEntryBytes = 184;  // the queued GpsEphRecord and 4 zero bytes
static_assert(kEphemerisEntryBytes >= sizeof(GpsEphRecord));

// The names of a conversion's two outputs: the output base with this extension.
constexpr const char* kObxExtension = ".obx";
constexpr const char* kEphemerisExtension = ".epp";

// The record one positive byte-feed result left in the ThreadBuf, read as the driver reads
// it: an epoch when an epoch header and observations are queued, otherwise an ephemeris
// when one is; the lock records that follow an epoch are left where they are.
struct QueuedRecord {
    enum Kind { kNothing, kEpoch, kEphemeris };
    Kind kind = kNothing;
    EpochHeader epoch;
    int32_t observationCount = 0;
    SatObservation observations[kObservationCapacity];
    GpsEphRecord ephemeris;
};
QueuedRecord::Kind ReadQueuedRecord(const uint8_t* threadBuf, QueuedRecord& record);

}  // namespace kestrel
