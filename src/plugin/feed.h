// SPDX-License-Identifier: BSD-2-Clause
// The conversion loop without its files: an input read in chunks through decoder port 0,
// every record a handler queues collected after the byte that completed it, progress after
// each chunk and the abort counter before it. ConvertFile writes what it collects into the
// OBX and ephemeris files; the command's other outputs and the tests collect through the
// same loop, so every output sees the same bytes decoded the same way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "kestrel/kestrel.h"
#include "kestrel/records.h"

namespace kestrel {

constexpr int32_t kDecoderPort = 0;
constexpr std::size_t kChunkBytes = 2048;
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

// Takes the records of every positive byte-feed result.
class RecordSink {
public:
    virtual ~RecordSink() = default;
    // False ends the run at once (an output could not be written; the error text says why).
    virtual bool Collect(const uint8_t* threadBuf) = 0;
};

// Feeds bytes through an open port; after each byte whose result is positive the sink
// collects what is queued; a port that is not open has its text relayed as a message.
// False when the sink ended the run.
bool FeedBytes(int32_t port, const uint8_t* bytes, std::size_t count, uint8_t* threadBuf, RecordSink& sink);

// The input has ended: bytes of rejected or unfinished frames that still wait in the port
// are examined, and what they give is collected. False when the sink ended the run.
bool FeedEnd(int32_t port, uint8_t* threadBuf, RecordSink& sink);

enum class RunEnd {
    kComplete,    // the whole input was read and decoded
    kAborted,     // Abort was called: "User Quit" is in the error text
    kReadFailed,  // the input could not be read to its end: "Error: Unable to read <name>: <reason>"
    kSinkFailed,  // the sink ended the run; its text is in the error text
};

// Reads `input` to its end in chunks of kChunkBytes through decoder port 0, which the
// caller has opened with its options. The abort counter is tested before each chunk and
// progress (bytes read, input length or 0 when the input cannot tell it) reported after
// each, then (length, length) once at the end. `bytesRead` receives the bytes read.
// With `inputEnds` false the input is one of several read one after the other as one stream
// (logs of one receiver spliced): a frame still open at its end goes on in the next, so what
// waits in the port is left for it.
RunEnd FeedInput(std::FILE* input, const char* inputName, const CallbackBlock& callbacks, uint8_t* threadBuf,
                 RecordSink& sink, long long& bytesRead, bool inputEnds = true);

// A log named by a command: a file opened for reading, or standard input for "-" (left open
// when done). `file` is null when the file cannot be opened; `name` is what messages call it.
class LogInput {
public:
    explicit LogInput(const std::string& path);
    ~LogInput();
    LogInput(const LogInput&) = delete;
    LogInput& operator=(const LogInput&) = delete;
    std::FILE* file() const { return file_; }
    const std::string& name() const { return name_; }
    // How messages name the log of `path`: "standard input" for "-".
    static std::string NameOf(const std::string& path);

private:
    std::FILE* file_ = nullptr;
    bool owned_ = false;
    std::string name_;
};

}  // namespace kestrel
