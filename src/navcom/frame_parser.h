// SPDX-License-Identifier: BSD-2-Clause
// NavCom frame parser: finds frames in a byte stream one byte at a time, checks record id,
// length, item count and checksum against the record table, and hands good frames to
// their record handlers. Frame: 02 99 66 id lenLo lenHi payload... checksum, where the
// length L counts from the id through the checksum (the frame is L + 3 bytes) and the
// checksum is the XOR of the id through the last payload byte.
#pragma once

#include <cstddef>
#include <cstdint>

#include "navcom/port_state.h"

namespace kestrel {

// The parser's messages to the port's callback: the rejected frames (the record-length
// message and the rescan notice only with the verbose decoder option) and an overrun.
inline constexpr char kBadLengthFormat[] = "Invalid record length for '%s' record (0x%x) on port %d";
inline constexpr char kBadCountFormat[] = "Invalid variable data length on record 0x%x on port %d";
inline constexpr char kOverrunFormat[] = "NavCom Buffer overrun for record 0x%x on port %d";
inline constexpr char kChecksumFormat[] = "Checksum failure on '%s' record (0x%x) on port %d";
inline constexpr char kRescanText[] = "Record decoding failed, recursively trying to look for more valid data";

// Opens (or reopens, wiping it) a decoder port. 0 on success; 1 with the reason in the
// error text.
int32_t OpenPort(int32_t port, PortCallback callback);

// Copies the 16-byte option record into the port when size is 16 and the port exists.
void SetPortOptions(int32_t port, const void* record, int32_t size);

// Gives the parser one input byte. >0: a handler queued records in threadBuf (its result);
// 0: nothing to collect; -1: the port is not open ("OpenPort not called").
// After any rejected frame parsing resumes with the byte after that frame's first byte: the
// bytes to examine again wait in the port and are worked off by this and the following
// calls, before the bytes fed later, one handler result per call at most.
int32_t FeedByte(int32_t port, int32_t byte, uint8_t* threadBuf);

// The input has ended: works off the bytes still waiting, and the bytes of a frame left
// incomplete (after its first), as FeedByte would. Returns each handler result as it comes
// (>0; call again after collecting it), 0 once nothing is left, -1 for a port not open.
int32_t FeedEndOfInput(int32_t port, uint8_t* threadBuf);

// True when n >= 4 and the XOR of bytes 3..n-2 equals byte n-1.
bool VerifyChecksum(const uint8_t* frame, int32_t n);

// The record table's entry for `id`, or null.
const RecordDef* FindRecordDef(int32_t id);

// The length rule: the frame length F = L + 3 that the length field L gives when F is the
// record's fixed length, or its base length plus a whole number of items; 0 otherwise.
int32_t FrameLengthByRule(const RecordDef& def, uint16_t lengthField);

// The frame byte count at which the count rule is checked (the count field complete); 0 for
// fixed-length records and records without a count field.
int32_t CountCheckAt(const RecordDef& def);

// The count rule: the items the count field announces make up exactly `frameLength` (a
// one-byte count is the low nibble of that byte). Always true for fixed-length records and
// records without a count field;
// `frame` holds at least CountCheckAt(def) bytes.
bool CountRuleHolds(const RecordDef& def, const uint8_t* frame, int32_t frameLength);

// A whole frame of record `id` starting at `bytes`, within the `available` bytes there: its
// sync bytes, id and checksum hold. Its length in bytes, or 0. For looking into a log outside
// a port (detection, the first epoch of a log).
int32_t FrameAt(const uint8_t* bytes, std::size_t available, uint8_t id);

// The record table in use, in search order, and its length.
const RecordDef* RecordTable();
int32_t RecordTableSize();

// Makes the parser search `table` instead of the receiver's record table; null restores
// the receiver's. Lets tests drive the parser with records of other shapes and with
// handlers of their own. `table` must outlive its use.
void UseRecordTable(const RecordDef* table, int32_t size);

// The state of an open port, for the record handlers; null when the port is not open.
PortState* GetPortState(int32_t port);

}  // namespace kestrel
