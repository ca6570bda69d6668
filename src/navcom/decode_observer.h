// SPDX-License-Identifier: BSD-2-Clause
// What the decoders hand to an observer besides the ThreadBuf records, for outputs that
// need more than the OBX file holds: every valid satellite block of every MEASUREMENT frame
// (a satellite's first epoch and its first epoch after a gap too, which the queue leaves
// out) with the receiver's lock counters and the frame's GPS week, and every decoded
// ephemeris with the broadcast fields the ephemeris file leaves out. The ThreadBuf records,
// and so the OBX and ephemeris files, are the same with or without an observer.
#pragma once

#include <cstdint>

#include "kestrel/records.h"
#include "navcom/port_state.h"

namespace kestrel {

// What the cycle-slip test made of one satellite block.
enum class SlipOutcome : uint8_t {
    kBadPrn,      // PRN outside 1..32: not a GPS satellite this system decodes
    kNewArc,      // first epoch of the satellite on the port, or back after more than 60 s
    kNoTimeStep,  // its time did not move on since its previous epoch ("Zero or negative DT!!!")
    kContinued,   // continues its arc: the observation the queue (and the OBX file) gets
};

// One valid satellite block of a MEASUREMENT frame, decoded and put through the slip test.
struct DecodedSat {
    SatState sat;  // time, Doppler and lock times are set only for a continued arc
    SlipOutcome outcome;
    bool l1Slip;   // continued, and the L1 lock counter changed since the previous epoch
    bool l2Slip;   // continued with L2 data, and the L2 lock counter changed
};

// One MEASUREMENT frame.
struct DecodedEpoch {
    int32_t week;  // full GPS week from the frame (uint16 at offset 6); 0 when not sent
    double time;   // receiver time tag, seconds of week
    int32_t satCount;
    DecodedSat sats[kMaxSatBlocks];
    // The epoch as queued, after the clock step; null when no satellite continued its arc
    // (nothing is queued then and the clock step does not run).
    const EpochHeader* header;
    // Earth-fixed receiver position (m) of this epoch's single-point solution, when
    // `solved`: the clock step succeeded with a clock offset from enough satellites.
    bool solved;
    double position[3];
};

// One EPHEMERIS frame with a PRN of 1..32, whatever the satellite's health.
struct DecodedEphemeris {
    GpsEphRecord record;      // as queued (Week is the 10-bit broadcast week)
    int32_t health;           // the six health bits; 0 = healthy (only these are queued)
    int32_t transmitWeek;     // full GPS week from the frame (uint16 at offset 7)
    uint32_t transmitTime;    // seconds of that week, from the frame (offset 9)
    int32_t uraIndex;         // user range accuracy index 0..15
    int32_t l2Codes;          // codes on L2: 1 P code, 2 C/A code
    int32_t l2PDataFlag;      // 1: no navigation data on L2 P
    int32_t fitIntervalFlag;  // 0: 4-hour fit; 1: longer, told by the IODC
};

class DecodeObserver {
public:
    virtual ~DecodeObserver() = default;
    // After every MEASUREMENT frame with at least one valid block, once its records are queued.
    virtual void OnEpoch(const DecodedEpoch& epoch) = 0;
    // After every EPHEMERIS frame with a valid PRN, once its record is queued (when healthy).
    virtual void OnEphemeris(const DecodedEphemeris& ephemeris) = 0;
    // A whole frame, checksum checked, of one of the records SetPortExtraRecords added:
    // `length` bytes from the first sync byte through the checksum. Nothing is queued for it.
    virtual void OnExtraRecord(const uint8_t* frame, int32_t length) {
        (void)frame;
        (void)length;
    }
};

// Sets the observer of an open port (null: none); OpenPort forgets it. It must outlive its
// use.
void SetPortObserver(int32_t port, DecodeObserver* observer);

// Makes an open port accept `table`'s records too, besides the record table: their frames go
// through the same length, count and checksum rules and, when whole, to the observer's
// OnExtraRecord instead of a handler (the table's handlers are not called). Null: none; the
// plug-in's ports never have any, so its outputs do not depend on them. OpenPort forgets it.
// `table` must outlive its use.
void SetPortExtraRecords(int32_t port, const RecordDef* table, int32_t size);

}  // namespace kestrel
