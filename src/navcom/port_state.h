// SPDX-License-Identifier: BSD-2-Clause
// Per-port decoder state: the frame being collected, the port's options, the
// measurement output area and the per-satellite history of the cycle-slip test.
#pragma once

#include <cstdint>

#include "common/gps_prn.h"
#include "kestrel/kestrel.h"
#include "kestrel/records.h"

namespace kestrel {

constexpr int32_t kPortCount = 1024;
constexpr int32_t kFrameBufferBytes = 1024;
// Bytes waiting to be examined again after a rejected frame. A rejection puts back at most
// the frame's bytes after its first (fewer than kFrameBufferBytes), and the bytes that wait
// never span more than the longest frame plus one, so twice the frame buffer always holds
// them.
constexpr int32_t kPendingBytes = 2 * kFrameBufferBytes;
constexpr int32_t kMaxSatBlocks = 15;  // the largest count the 4-bit item field can give
constexpr int32_t kHistorySlots = kGpsPrnSlots;  // indexed by PRN; slot 0 is never used

// Parser states besides a record id (0..255) whose body is being read.
constexpr int32_t kParseHunting = -1;
constexpr int32_t kParseHeader = -2;
// Between frames, with bytes of a rejected frame still waiting to be examined before new
// input (a call returned a handler's result before it reached them).
constexpr int32_t kParseWaiting = -3;

using PortCallback = KestrelMessageCallback;
class DecodeObserver;
using RecordHandler = int32_t (*)(int32_t port, uint8_t* threadBuf);

// One entry of the record table.
struct RecordDef {
    int32_t id;
    char name[32];
    int32_t baseLength;   // frame length with zero items (the whole length for fixed records)
    int32_t itemLength;   // bytes per item; 0 marks a fixed-length record
    int32_t countOffset;  // frame offset of the item count (variable records)
    int32_t countWidth;   // 1 (low nibble), 2 or 4 bytes; 0: no count field, any whole number of items
    RecordHandler handler;  // may be null
};

// One satellite at one epoch, as decoded from a measurement block and completed by the
// cycle-slip test; also the per-PRN history slot.
struct SatState {
    uint8_t status;        // block byte 0 as received
    uint8_t strength_byte; // block byte 1 as received
    int32_t strength;      // 35 + (byte 1 >> 4)
    int32_t prn;
    double ca_range;       // metres
    double p1_range;       // metres; 0 without an L1 P-code delta
    double l1_phase;       // L1 cycles
    int32_t l1_lock_counter;
    double p2_range;       // metres; 0 without L2 data
    double l2_phase;       // L2 cycles; 0 without L2 data
    int32_t l2_lock_counter;
    double time;           // seconds of week
    double doppler;        // Hz
    double l1_lock_time;   // seconds
    double l2_lock_time;   // seconds
};

// What the frame parser counted since the port was opened: its own record of the frames it
// gave up, whether or not a message told of them.
struct ParserCounts {
    int64_t checksumFailures;  // frames of a decoded record whose checksum failed
    int64_t lengthFailures;    // headers whose length, or item counts, fit no frame of their record
    int64_t resyncs;           // frames given up after one of the failures above: parsing resumed
                               // at their second byte
    int64_t bufferOverruns;    // frames longer than the frame buffer
    int64_t otherRecords;      // frames of records not decoded here, passed over
};

struct PortState {
    int32_t isOpen;
    int32_t portNumber;
    PortCallback portCallback;
    int32_t parseState;
    int32_t byteCount;
    int32_t frameLength;
    const RecordDef* recordDef;
    int32_t countCheckAt;
    uint8_t frame[kFrameBufferBytes];
    // Bytes of the input to examine before the next byte fed: those of rejected frames after
    // their first byte, in input order, at pending[pendingStart .. pendingEnd). Both indexes
    // are 0 when nothing waits.
    uint8_t pending[kPendingBytes];
    int32_t pendingStart;
    int32_t pendingEnd;
    // Measurement output area, overwritten by every MEASUREMENT frame.
    EpochHeader epoch;
    SatObservation observations[kMaxSatBlocks];
    SatLockInfo lockInfo[kMaxSatBlocks];
    OptionRecord options;
    int32_t ephemerisCounter;  // healthy ephemerides queued while clock correction is on
    int32_t clockWarnings;     // epochs in a row without clock correction
    double aprioriLatitude;    // degrees; nothing sets the a-priori position
    double aprioriLongitude;   // degrees
    double aprioriHeight;      // metres
    double clockOffset;        // metres, of the last solution
    SatState history[kHistorySlots];
    DecodeObserver* observer;  // told of every decoded frame when set (decode_observer.h)
    // Records the port accepts besides the record table, handed whole to the observer
    // (SetPortExtraRecords); none when null.
    const RecordDef* extraRecords;
    int32_t extraRecordCount;
    ParserCounts counts;
};

// Hands `text` to the port's message callback, when one is set.
void ReportToPort(const PortState& port, double time, const char* text);

}  // namespace kestrel
