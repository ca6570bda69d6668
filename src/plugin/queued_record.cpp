// SPDX-License-Identifier: BSD-2-Clause
#include "plugin/queued_record.h"

#include "common/bytes.h"

namespace kestrel {

QueuedRecord::Kind ReadQueuedRecord(const uint8_t* threadBuf, QueuedRecord& record) {
    record.kind = QueuedRecord::kNothing;
    if (GetThreadBufRecCount(threadBuf, KESTREL_TYPE_EPOCH_HEADER) != 0 &&
        GetThreadBufRecCount(threadBuf, KESTREL_TYPE_SAT_OBSERVATION) != 0) {
        if (ReadThreadBufData(threadBuf, KESTREL_TYPE_EPOCH_HEADER, 1, &record.epoch) == 0) return record.kind;
        record.observationCount =
            ReadThreadBufData(threadBuf, KESTREL_TYPE_SAT_OBSERVATION, kObservationCapacity, record.observations);
        if (record.observationCount == 0) return record.kind;
        record.kind = QueuedRecord::kEpoch;
    } else if (GetThreadBufRecCount(threadBuf, KESTREL_TYPE_GPS_EPHEMERIS) != 0) {
        uint8_t entry[kEphemerisEntryBytes];
        if (ReadThreadBufData(threadBuf, KESTREL_TYPE_GPS_EPHEMERIS, 1, entry) == 0) return record.kind;
        load_record(record.ephemeris, entry);
        record.kind = QueuedRecord::kEphemeris;
    }
    return record.kind;
}

}  // namespace kestrel
