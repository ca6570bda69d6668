// SPDX-License-Identifier: BSD-2-Clause
// ThreadBuf: a flat block of typed record entries between the record handlers and their
// consumer. Layout (little-endian, packed): a 16-byte header {entryCount, typeMask,
// hasEntries, usedBytes}, then entries back to back, each a 20-byte entry header
// {inUse, type, count, dataSize, hasNext} followed by its data. The reading side is also
// exported to hosts (see kestrel/kestrel.h).
//
// Readers trust a block only as far as its header allows: bytes 16 to usedBytes, and only
// when usedBytes lies between 16 and the capacity. An entry that runs outside that part,
// has a negative size, or whose size disagrees with its record count is treated as absent,
// together with every entry after it in the chain.
#pragma once

#include <cstdint>

namespace kestrel {

constexpr int32_t kThreadBufHeaderBytes = 16;
constexpr int32_t kThreadBufEntryHeaderBytes = 20;
constexpr int32_t kThreadBufTypeCount = 18;
// Capacity at load, and the size of every ThreadBuf block the library itself appends to:
// whatever capacity SetThreadBufSize sets, no append goes past this many bytes.
constexpr int32_t kThreadBufDefaultSize = 16384;
constexpr int32_t kThreadBufMemoryBytes = 16384;
// Type 10 records are variable: an int32 length n followed by n bytes.
constexpr int32_t kThreadBufVariableType = 10;

enum ThreadBufError : int32_t {
    kThreadBufNoError = 0,
    kThreadBufOverrun = 1,
    kThreadBufBadType = 2,
    kThreadBufInternal = 3,
};

// Record size in bytes of a valid type (1..18); 0 for type 10 and for invalid types.
int32_t ThreadBufRecordSize(int32_t type);

// Empties the ThreadBuf: zeroes its header and sets usedBytes to 16.
void ResetThreadBuf(uint8_t* threadBuf);

// Appends `count` records of `type` as one entry; returns a ThreadBufError code. Never
// writes past kThreadBufMemoryBytes, whatever the capacity; a damaged chain gives
// kThreadBufInternal and changes nothing.
int32_t AddThreadBufData(uint8_t* threadBuf, const void* data, int32_t count, int32_t type);

// The text of an append error code, in a process-wide 256-byte buffer.
const char* GetThreadBufErrorText(int32_t code);

}  // namespace kestrel
