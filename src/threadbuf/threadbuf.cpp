// SPDX-License-Identifier: BSD-2-Clause
#include "threadbuf/threadbuf.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "common/bytes.h"
#include "kestrel/kestrel.h"

namespace kestrel {
namespace {

// Record size in bytes of types 1..18; type 10 is variable (a length-prefixed record).
constexpr int32_t kRecordSizes[kThreadBufTypeCount] = {
    68, 44, 184, 32, 20, 64, 72, 272, 4, 0, 40, 92, 28, 136, 224, 32, 64, 32,
};

constexpr const char* kErrorTexts[] = {
    "No Error",
    "Thread Buffer overrun--No more space for output data",
    "Zero record size or invalid ThreadBuf record type received",
    "Internal error filling ThreadBuf",
};
constexpr const char* kUnknownErrorText = "Unknown ThreadBuf error";
constexpr std::size_t kErrorTextBytes = 256;

// Header fields, byte offsets from the start of the block.
constexpr int32_t kEntryCountAt = 0;
constexpr int32_t kTypeMaskAt = 4;
constexpr int32_t kHasEntriesAt = 8;
constexpr int32_t kUsedBytesAt = 12;
// Entry header fields, byte offsets from the start of the entry.
constexpr int32_t kInUseAt = 0;
constexpr int32_t kTypeAt = 4;
constexpr int32_t kCountAt = 8;
constexpr int32_t kDataSizeAt = 12;
constexpr int32_t kHasNextAt = 16;

struct ThreadBufState {
    int32_t capacity = kThreadBufDefaultSize;  // threadBufSize, as set by the host
    char errorText[kErrorTextBytes] = {};
};
ThreadBufState state;

bool ValidType(int32_t type) { return type >= 1 && type <= kThreadBufTypeCount; }

int32_t Field(const uint8_t* p, int32_t at) { return le_s32(p + at); }
void SetField(uint8_t* p, int32_t at, int32_t value) { put_le32(p + at, static_cast<uint32_t>(value)); }

// One entry as found by a walk that stays inside the used part of the block.
struct EntryView {
    int32_t offset = 0;  // of the entry header
    int32_t type = 0;
    int32_t count = 0;
    int32_t dataSize = 0;
    bool hasNext = false;
};

// Walks the entry chain of a block whose first `limit` bytes are trusted. Calls
// visit(entry) for every entry that lies wholly inside the limit, in chain order, until
// visit returns true. Returns false when the chain is damaged (an entry that runs past
// the limit or a negative data size); entries from the damaged one on are not visited.
// Offsets only grow along the chain, so the walk always ends.
template <typename Visit>
bool WalkEntries(const uint8_t* buf, int32_t limit, Visit visit) {
    int64_t offset = kThreadBufHeaderBytes;
    while (true) {
        if (offset + kThreadBufEntryHeaderBytes > limit) return false;
        const uint8_t* entry = buf + offset;
        EntryView view;
        view.offset = static_cast<int32_t>(offset);
        view.type = Field(entry, kTypeAt);
        view.count = Field(entry, kCountAt);
        view.dataSize = Field(entry, kDataSizeAt);
        view.hasNext = Field(entry, kHasNextAt) != 0;
        if (view.dataSize < 0) return false;
        const int64_t end = offset + kThreadBufEntryHeaderBytes + view.dataSize;
        if (end > limit) return false;
        if (visit(view)) return true;
        if (!view.hasNext) return true;
        offset = end;
    }
}

// An entry whose size agrees with its records: count records of the type's size, or for
// the variable type one length-prefixed record. Anything else is damage.
bool EntryConsistent(const uint8_t* buf, const EntryView& e) {
    if (e.type == kThreadBufVariableType) {
        if (e.dataSize < 4) return false;
        const int32_t prefix = le_s32(buf + e.offset + kThreadBufEntryHeaderBytes);
        return static_cast<int64_t>(prefix) + 4 == e.dataSize;
    }
    if (e.count < 1) return false;
    return static_cast<int64_t>(e.count) * ThreadBufRecordSize(e.type) == e.dataSize;
}

// The first entry of `type`, for the readers. The part of the block trusted is
// 16..usedBytes, and usedBytes itself must lie within the capacity, which the memory of
// every ThreadBuf is at least as long as.
bool FindFirstEntry(const void* threadBuf, int32_t type, EntryView& found) {
    if (threadBuf == nullptr || !ValidType(type)) return false;
    const auto* buf = static_cast<const uint8_t*>(threadBuf);
    if (Field(buf, kHasEntriesAt) == 0) return false;
    const uint32_t mask = static_cast<uint32_t>(Field(buf, kTypeMaskAt));
    if ((mask & (1u << (type - 1))) == 0) return false;
    const int32_t used = Field(buf, kUsedBytesAt);
    if (used < kThreadBufHeaderBytes || used > state.capacity) return false;
    bool hit = false;
    WalkEntries(buf, used, [&](const EntryView& e) {
        if (e.type != type) return false;
        hit = EntryConsistent(buf, e);
        if (hit) found = e;
        return true;
    });
    return hit;
}

}  // namespace

int32_t ThreadBufRecordSize(int32_t type) { return ValidType(type) ? kRecordSizes[type - 1] : 0; }

void ResetThreadBuf(uint8_t* threadBuf) {
    if (threadBuf == nullptr) return;
    std::memset(threadBuf, 0, kThreadBufHeaderBytes);
    SetField(threadBuf, kUsedBytesAt, kThreadBufHeaderBytes);
}

int32_t AddThreadBufData(uint8_t* threadBuf, const void* data, int32_t count, int32_t type) {
    if (!ValidType(type)) return kThreadBufBadType;
    if (threadBuf == nullptr || data == nullptr) return kThreadBufInternal;

    int64_t size = 0;
    if (type == kThreadBufVariableType) {
        const int32_t prefix = le_s32(static_cast<const uint8_t*>(data));
        size = prefix < 0 ? 0 : static_cast<int64_t>(prefix) + 4;
    } else if (count >= 1) {
        size = static_cast<int64_t>(ThreadBufRecordSize(type)) * count;
    }
    if (size == 0) return kThreadBufBadType;

    // Every block the library appends to is kThreadBufMemoryBytes long: a larger capacity
    // set by the host must not carry an append past it.
    const int32_t limit = state.capacity < kThreadBufMemoryBytes ? state.capacity : kThreadBufMemoryBytes;
    const int32_t used = Field(threadBuf, kUsedBytesAt);
    if (used < kThreadBufHeaderBytes || used > kThreadBufMemoryBytes) return kThreadBufInternal;
    if (used + kThreadBufEntryHeaderBytes + size > limit) return kThreadBufOverrun;

    const bool first = Field(threadBuf, kHasEntriesAt) == 0;
    int64_t at = kThreadBufHeaderBytes;
    int32_t last = -1;
    if (!first) {
        EntryView tail;
        const bool sound = WalkEntries(threadBuf, used, [&](const EntryView& e) {
            tail = e;
            return false;
        });
        if (!sound) return kThreadBufInternal;
        last = tail.offset;
        at = static_cast<int64_t>(tail.offset) + kThreadBufEntryHeaderBytes + tail.dataSize;
    }
    // The chain lies within usedBytes, so this holds whenever the capacity test passed;
    // checked again because it is what keeps the copy inside the block.
    if (at + kThreadBufEntryHeaderBytes + size > limit) return kThreadBufOverrun;

    uint8_t* entry = threadBuf + at;
    SetField(entry, kInUseAt, 1);
    SetField(entry, kTypeAt, type);
    SetField(entry, kCountAt, count);
    SetField(entry, kDataSizeAt, static_cast<int32_t>(size));
    SetField(entry, kHasNextAt, 0);
    std::memcpy(entry + kThreadBufEntryHeaderBytes, data, static_cast<std::size_t>(size));

    if (first) {
        SetField(threadBuf, kHasEntriesAt, 1);
    } else {
        SetField(threadBuf + last, kHasNextAt, 1);
    }
    // A host's block may carry any entry count; it stops at the largest int32 rather than
    // overflow.
    const int32_t entries = Field(threadBuf, kEntryCountAt);
    SetField(threadBuf, kEntryCountAt, entries < INT32_MAX ? entries + 1 : entries);
    SetField(threadBuf, kUsedBytesAt, static_cast<int32_t>(used + kThreadBufEntryHeaderBytes + size));
    const uint32_t mask = static_cast<uint32_t>(Field(threadBuf, kTypeMaskAt)) | (1u << (type - 1));
    SetField(threadBuf, kTypeMaskAt, static_cast<int32_t>(mask));
    return kThreadBufNoError;
}

const char* GetThreadBufErrorText(int32_t code) {
    const uint32_t index = static_cast<uint32_t>(code);
    const char* text = index < std::size(kErrorTexts) ? kErrorTexts[index] : kUnknownErrorText;
    std::snprintf(state.errorText, sizeof state.errorText, "%s", text);
    return state.errorText;
}

}  // namespace kestrel

extern "C" {

int32_t KESTREL_STDCALL GetThreadBufRecCount(const void* threadBuf, int32_t type) {
    kestrel::EntryView e;
    return kestrel::FindFirstEntry(threadBuf, type, e) ? e.count : 0;
}

int32_t KESTREL_STDCALL GetThreadBufRecSize(const void* threadBuf, int32_t type) {
    kestrel::EntryView e;
    return kestrel::FindFirstEntry(threadBuf, type, e) ? e.dataSize : 0;
}

int32_t KESTREL_STDCALL ReadThreadBufData(const void* threadBuf, int32_t type, int32_t maxRecords,
                                          void* destination) {
    kestrel::EntryView e;
    if (!kestrel::FindFirstEntry(threadBuf, type, e) || e.count > maxRecords || destination == nullptr) {
        return 0;
    }
    const auto* data = static_cast<const uint8_t*>(threadBuf) + e.offset + kestrel::kThreadBufEntryHeaderBytes;
    std::memcpy(destination, data, static_cast<std::size_t>(e.dataSize));
    return e.count;
}

int32_t KESTREL_STDCALL GetThreadBufSize(void) { return kestrel::state.capacity; }

void KESTREL_STDCALL SetThreadBufSize(int32_t size) { kestrel::state.capacity = size; }

}  // extern "C"
