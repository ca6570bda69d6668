// SPDX-License-Identifier: BSD-2-Clause
#include "navcom/frame_parser.h"

#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <type_traits>

#include "common/bytes.h"
#include "common/error_text.h"
#include "navcom/decode_observer.h"
#include "navcom/ephemeris.h"
#include "navcom/measurement.h"
#include "navcom/record_layout.h"
#include "threadbuf/threadbuf.h"

namespace kestrel {
namespace {

// The records this system decodes. A MEASUREMENT frame is 15 + 16 n bytes with n in the
// low nibble of byte 13; an EPHEMERIS frame is always 89 bytes.
constexpr RecordDef kReceiverRecords[] = {
    {0xB0, "MEASUREMENT", 15, 16, 13, 1, HandleMeasurement},
    {0x81, "EPHEMERIS", 89, 0, 0, 0, HandleEphemeris},
};
constexpr int32_t kReceiverRecordCount = static_cast<int32_t>(std::size(kReceiverRecords));

constexpr uint8_t kSync1 = layout::frame::kSync[0];
constexpr uint8_t kSync2 = layout::frame::kSync[1];
constexpr uint8_t kSync3 = layout::frame::kSync[2];
constexpr int32_t kIdOffset = layout::frame::kIdOffset;
constexpr int32_t kLengthOffset = layout::frame::kLengthOffset;
// Header byte counts at which something is decided.
constexpr int32_t kHaveSync2 = 2;
constexpr int32_t kHaveSync3 = 3;
constexpr int32_t kHaveId = 4;
constexpr int32_t kHaveLengthLow = 5;
// Parser messages concern no epoch.
constexpr double kNoTime = -1.0;

constexpr char kInvalidPortText[] = "Invalid port number";
constexpr char kPortNoMemoryText[] = "Not enough memory";
constexpr char kNotOpenText[] = "OpenPort not called";

static_assert(std::is_trivially_copyable_v<PortState>, "a port state is wiped with memset");

struct ParserState {
    bool portsInitialised = false;
    std::unique_ptr<PortState> ports[kPortCount];
    const RecordDef* table = kReceiverRecords;
    int32_t tableSize = kReceiverRecordCount;
};
ParserState parser;

bool ValidPort(int32_t port) { return port >= 0 && port < kPortCount; }

// The state of a port that OpenPort has set up, or null.
PortState* OpenState(int32_t port) {
    // Every slot is empty until the first OpenPort, so an empty slot also stands for ports
    // not yet initialised; the byte feed asks this for every byte.
    if (!ValidPort(port)) return nullptr;
    PortState* state = parser.ports[port].get();
    return state != nullptr && state->isOpen != 0 ? state : nullptr;
}

// The record of `id` among the receiver's records, then among the port's extra records.
const RecordDef* FindRecord(const PortState& p, int32_t id) {
    if (const RecordDef* def = FindRecordDef(id)) return def;
    for (int32_t i = 0; i < p.extraRecordCount; ++i) {
        if (p.extraRecords[i].id == id) return &p.extraRecords[i];
    }
    return nullptr;
}

bool IsExtraRecord(const PortState& p, const RecordDef& def) {
    return p.extraRecordCount > 0 && &def >= p.extraRecords && &def < p.extraRecords + p.extraRecordCount;
}

unsigned RecordId(const PortState& p) { return p.frame[kIdOffset]; }

bool Verbose(const PortState& p) { return p.options.verboseDecoder != 0; }

void BackToHunting(PortState& p) { p.parseState = kParseHunting; }

// The length rule, checked when the header is complete.
bool LengthRuleHolds(PortState& p, const RecordDef& def) {
    const int32_t frameLength = FrameLengthByRule(def, le_u16(p.frame + kLengthOffset));
    if (frameLength == 0) return false;
    p.countCheckAt = CountCheckAt(def);
    p.frameLength = frameLength;
    return true;
}

// Gives up the frame being collected and puts its bytes after the first back in front of
// whatever already waits, so that parsing resumes with the byte after the rejected frame's
// 0x02 and every byte is examined as if it were fed afresh: a good frame that began inside
// the rejected one, or right behind a false sync byte, is not lost. The bytes are worked
// off by WorkOffPending before any later input.
void GiveUpFrame(PortState& p) {
    const int32_t replayed = p.byteCount - 1;
    const int32_t waiting = p.pendingEnd - p.pendingStart;
    BackToHunting(p);
    if (replayed <= 0) return;
    // The waiting bytes and a frame's bytes together never exceed the buffer (the bytes that
    // wait span at most one frame); should they, the frame's bytes are dropped rather than
    // written past it.
    if (replayed + waiting > kPendingBytes) return;
    if (p.pendingStart < replayed) {
        std::memmove(p.pending + replayed, p.pending + p.pendingStart, static_cast<std::size_t>(waiting));
        p.pendingStart = replayed;
        p.pendingEnd = replayed + waiting;
    }
    p.pendingStart -= replayed;
    std::memcpy(p.pending + p.pendingStart, p.frame + 1, static_cast<std::size_t>(replayed));
}

// A rejection by the record table, the length rule, the count rule or the checksum: the
// verbose notice, then the frame's bytes go back to be examined again. `counter` counts the
// cause; a frame that failed a check (not one of a record passed over) is a resynchronisation.
void RejectFrame(PortState& p, int64_t ParserCounts::*counter) {
    ++(p.counts.*counter);
    if (counter != &ParserCounts::otherRecords) ++p.counts.resyncs;
    if (Verbose(p)) ReportToPort(p, kNoTime, kRescanText);
    GiveUpFrame(p);
}

void FeedHeaderByte(PortState& p, int32_t port, uint8_t byte) {
    p.frame[p.byteCount++] = byte;
    switch (p.byteCount) {
        case kHaveSync2:
            // A wrong sync byte is examined again: it may itself be the 0x02 of a frame.
            if (byte != kSync2) GiveUpFrame(p);
            return;
        case kHaveSync3:
            if (byte != kSync3) GiveUpFrame(p);
            return;
        case kHaveId:
            p.recordDef = FindRecord(p, byte);
            if (p.recordDef == nullptr) RejectFrame(p, &ParserCounts::otherRecords);
            return;
        case kHaveLengthLow:
            return;
        default:  // the sixth byte completes the length: the length rule decides
            break;
    }
    if (p.recordDef == nullptr) {  // set with the id; never trust it blindly
        BackToHunting(p);
        return;
    }
    const RecordDef& def = *p.recordDef;
    if (LengthRuleHolds(p, def)) {
        p.parseState = def.id;
        return;
    }
    if (Verbose(p) && p.portCallback != nullptr) {
        ReportToPort(p, kNoTime, format_error_text(kBadLengthFormat, def.name, RecordId(p), port));
    }
    RejectFrame(p, &ParserCounts::lengthFailures);
}

int32_t FeedBodyByte(PortState& p, int32_t port, uint8_t byte, uint8_t* threadBuf) {
    const RecordDef& def = *p.recordDef;
    p.frame[p.byteCount++] = byte;
    if (p.byteCount >= kFrameBufferBytes) {
        ++p.counts.bufferOverruns;
        format_error_text(kOverrunFormat, RecordId(p), port);
        ReportToPort(p, kNoTime, error_text());
        BackToHunting(p);
        return 0;
    }
    if (p.byteCount == p.countCheckAt && !CountRuleHolds(def, p.frame, p.frameLength)) {
        if (p.portCallback != nullptr) {
            ReportToPort(p, kNoTime, format_error_text(kBadCountFormat, RecordId(p), port));
        }
        RejectFrame(p, &ParserCounts::lengthFailures);
        return 0;
    }
    if (p.byteCount < p.frameLength) return 0;
    if (!VerifyChecksum(p.frame, p.frameLength)) {
        if (p.portCallback != nullptr) {
            ReportToPort(p, kNoTime, format_error_text(kChecksumFormat, def.name, RecordId(p), port));
        }
        RejectFrame(p, &ParserCounts::checksumFailures);
        return 0;
    }
    BackToHunting(p);
    if (IsExtraRecord(p, def)) {
        if (p.observer != nullptr) p.observer->OnExtraRecord(p.frame, p.frameLength);
        return 0;
    }
    ResetThreadBuf(threadBuf);
    return def.handler != nullptr ? def.handler(port, threadBuf) : 0;
}

}  // namespace

const RecordDef* FindRecordDef(int32_t id) {
    for (int32_t i = 0; i < parser.tableSize; ++i) {
        if (parser.table[i].id == id) return &parser.table[i];
    }
    return nullptr;
}

int32_t FrameLengthByRule(const RecordDef& def, uint16_t lengthField) {
    // F = L + 3 must be the record's fixed length, or its base length plus whole items.
    const int32_t frameLength = layout::frame::FrameBytes(lengthField);
    if (def.itemLength == 0) return frameLength == def.baseLength ? frameLength : 0;
    if (frameLength < def.baseLength || (frameLength - def.baseLength) % def.itemLength != 0) return 0;
    return frameLength;
}

// A record without a count field is checked by its length alone.
int32_t CountCheckAt(const RecordDef& def) {
    return def.itemLength == 0 || def.countWidth == 0 ? 0 : def.countOffset + def.countWidth;
}

bool CountRuleHolds(const RecordDef& def, const uint8_t* frame, int32_t frameLength) {
    if (def.itemLength == 0 || def.countWidth == 0) return true;
    const uint8_t* field = frame + def.countOffset;
    int64_t count = 0;
    switch (def.countWidth) {
        case 1: count = field[0] & 0x0F; break;
        case 2: count = le_u16(field); break;
        case 4: count = le_u32(field); break;
        default: return false;
    }
    return count * def.itemLength + def.baseLength == frameLength;
}

int32_t OpenPort(int32_t port, PortCallback callback) {
    if (!ValidPort(port)) {
        set_error_text(kInvalidPortText);
        return 1;
    }
    if (!parser.portsInitialised) {
        for (auto& slot : parser.ports) slot.reset();
        parser.portsInitialised = true;
    }
    auto& slot = parser.ports[port];
    if (!slot) {
        slot.reset(new (std::nothrow) PortState);
        if (!slot) {
            set_error_text(kPortNoMemoryText);
            return 1;
        }
    }
    PortState& p = *slot;
    std::memset(&p, 0, sizeof p);
    p.isOpen = 1;
    p.portNumber = port;
    p.portCallback = callback;
    p.parseState = kParseHunting;
    return 0;
}

void SetPortOptions(int32_t port, const void* record, int32_t size) {
    if (size != static_cast<int32_t>(sizeof(OptionRecord)) || record == nullptr) return;
    if (!parser.portsInitialised || !ValidPort(port) || !parser.ports[port]) return;
    std::memcpy(&parser.ports[port]->options, record, sizeof(OptionRecord));
}

namespace {

// Every byte that starts, ends or decides something about a frame.
inline int32_t DecideByte(PortState& p, int32_t port, uint8_t b, uint8_t* threadBuf) {
    if (p.parseState == kParseHunting) {
        if (b == kSync1) {
            p.frame[0] = b;
            p.byteCount = 1;
            p.parseState = kParseHeader;
            p.recordDef = nullptr;
        }
        return 0;
    }
    if (p.parseState == kParseHeader) {
        FeedHeaderByte(p, port, b);
        return 0;
    }
    if (p.recordDef == nullptr) {  // set with the id; never trust it blindly
        BackToHunting(p);
        return 0;
    }
    return FeedBodyByte(p, port, b, threadBuf);
}

// True when the byte decides nothing and has been taken: a byte inside a frame body short of
// its count field and its end is only stored, and a byte between frames that is not 0x02 is
// passed over.
inline bool TakeQuietByte(PortState& p, uint8_t b) {
    if (p.parseState >= 0) {
        const int32_t count = p.byteCount + 1;
        if (count < p.frameLength && count != p.countCheckAt && count < kFrameBufferBytes &&
            p.recordDef != nullptr) {
            p.frame[p.byteCount] = b;
            p.byteCount = count;
            return true;
        }
        return false;
    }
    return p.parseState == kParseHunting && b != kSync1;
}

// DecideByte for the bytes that are examined again, out of line: they are rare, and the
// bytes of the input keep DecideByte to themselves.
__attribute__((noinline)) int32_t DecideWaitingByte(PortState& p, int32_t port, uint8_t b, uint8_t* threadBuf) {
    return DecideByte(p, port, b, threadBuf);
}

// Examines the waiting bytes in order until a handler gives a result, which is returned at
// once (the rest wait for the next call, the port marked as waiting); 0 when every waiting
// byte has been examined.
__attribute__((noinline)) int32_t WorkOffPending(PortState& p, int32_t port, uint8_t* threadBuf) {
    if (p.parseState == kParseWaiting) p.parseState = kParseHunting;
    while (p.pendingStart < p.pendingEnd) {
        const uint8_t b = p.pending[p.pendingStart++];
        if (TakeQuietByte(p, b)) continue;
        const int32_t result = DecideWaitingByte(p, port, b, threadBuf);
        if (result != 0) {
            // A handler has just run on a good frame, so the parser is between frames.
            if (p.pendingStart < p.pendingEnd && p.parseState == kParseHunting) p.parseState = kParseWaiting;
            return result;
        }
    }
    p.pendingStart = 0;
    p.pendingEnd = 0;
    return 0;
}

// Puts a byte of new input behind the bytes that wait.
__attribute__((noinline)) void AppendPending(PortState& p, uint8_t b) {
    if (p.pendingEnd == kPendingBytes) {
        const int32_t waiting = p.pendingEnd - p.pendingStart;
        std::memmove(p.pending, p.pending + p.pendingStart, static_cast<std::size_t>(waiting));
        p.pendingStart = 0;
        p.pendingEnd = waiting;
    }
    // Never full here: the bytes that wait span at most one frame.
    if (p.pendingEnd < kPendingBytes) p.pending[p.pendingEnd++] = b;
}

// A byte that decides something, or any byte while bytes wait: these go first, and the first
// handler result among them (or among the bytes a rejection puts back) is this byte's result.
// Kept out of line so that the bytes that decide nothing cost a store and a few comparisons.
__attribute__((noinline)) int32_t FeedSlowByte(PortState& p, int32_t port, uint8_t b, uint8_t* threadBuf) {
    if (p.parseState == kParseWaiting) {
        AppendPending(p, b);
        return WorkOffPending(p, port, threadBuf);
    }
    const int32_t result = DecideByte(p, port, b, threadBuf);
    if (result != 0 || p.pendingEnd == 0) return result;
    return WorkOffPending(p, port, threadBuf);
}

}  // namespace

int32_t FeedByte(int32_t port, int32_t byte, uint8_t* threadBuf) {
    PortState* state = OpenState(port);
    if (state == nullptr) {
        set_error_text(kNotOpenText);
        return -1;
    }
    PortState& p = *state;
    const auto b = static_cast<uint8_t>(byte);
    // Bytes that wait keep the port out of both quiet states, so this test alone serves.
    if (TakeQuietByte(p, b)) return 0;
    return FeedSlowByte(p, port, b, threadBuf);
}

int32_t FeedEndOfInput(int32_t port, uint8_t* threadBuf) {
    PortState* state = OpenState(port);
    if (state == nullptr) {
        set_error_text(kNotOpenText);
        return -1;
    }
    PortState& p = *state;
    for (;;) {
        const int32_t result = WorkOffPending(p, port, threadBuf);
        if (result != 0) return result;
        if (p.parseState == kParseHunting) return 0;
        // A frame still open when the input ends can never be completed: its bytes after
        // the first are examined again, without a message, as no check has failed.
        GiveUpFrame(p);
    }
}

bool VerifyChecksum(const uint8_t* frame, int32_t n) {
    if (frame == nullptr || n < 4) return false;
    // Eight bytes at a time, folded to one at the end: XOR does not care how the bytes
    // are grouped.
    const int32_t last = n - 2;
    int32_t i = kIdOffset;
    uint64_t wide = 0;
    for (; i + 8 <= last + 1; i += 8) {
        uint64_t word;
        std::memcpy(&word, frame + i, sizeof word);
        wide ^= word;
    }
    wide ^= wide >> 32;
    wide ^= wide >> 16;
    wide ^= wide >> 8;
    auto x = static_cast<uint8_t>(wide);
    for (; i <= last; ++i) x ^= frame[i];
    return x == frame[n - 1];
}

int32_t FrameAt(const uint8_t* bytes, std::size_t available, uint8_t id) {
    if (available < static_cast<std::size_t>(kLengthOffset + 2)) return 0;
    if (bytes[0] != kSync1 || bytes[1] != kSync2 || bytes[2] != kSync3 || bytes[kIdOffset] != id) return 0;
    const int32_t length = layout::frame::FrameBytes(le_u16(bytes + kLengthOffset));
    if (static_cast<std::size_t>(length) > available || !VerifyChecksum(bytes, length)) return 0;
    return length;
}

const RecordDef* RecordTable() { return parser.table; }
int32_t RecordTableSize() { return parser.tableSize; }

void UseRecordTable(const RecordDef* table, int32_t size) {
    if (table == nullptr || size <= 0) {
        parser.table = kReceiverRecords;
        parser.tableSize = kReceiverRecordCount;
    } else {
        parser.table = table;
        parser.tableSize = size;
    }
}

PortState* GetPortState(int32_t port) { return OpenState(port); }

void SetPortObserver(int32_t port, DecodeObserver* observer) {
    PortState* state = OpenState(port);
    if (state != nullptr) state->observer = observer;
}

void SetPortExtraRecords(int32_t port, const RecordDef* table, int32_t size) {
    PortState* state = OpenState(port);
    if (state == nullptr) return;
    const bool none = table == nullptr || size <= 0;
    state->extraRecords = none ? nullptr : table;
    state->extraRecordCount = none ? 0 : size;
}

void ReportToPort(const PortState& port, double time, const char* text) {
    if (port.portCallback != nullptr) port.portCallback(time, text);
}

}  // namespace kestrel
