// SPDX-License-Identifier: BSD-2-Clause
#include "plugin/feed.h"

#include <cerrno>
#include <climits>
#include <cstring>

#include "common/bytes.h"
#include "common/error_text.h"
#include "navcom/frame_parser.h"
#include "plugin/plugin.h"
#include "threadbuf/threadbuf.h"

namespace kestrel {
namespace {

constexpr const char* kCannotRead = "Error: Unable to read %s: %s";
constexpr const char* kUserQuit = "User Quit";
constexpr const char* kStandardInputName = "standard input";
// Messages about no particular epoch carry this time.
constexpr double kNoTime = -1.0;

// The input's length in bytes, measured on the open stream and left at its start; -1 when
// the stream cannot tell (a pipe, for one).
long long MeasureLength(std::FILE* input) {
    if (std::fseek(input, 0, SEEK_END) != 0) {
        std::clearerr(input);
        return -1;
    }
    const long end = std::ftell(input);
    std::rewind(input);
    return end < 0 ? -1 : end;
}

int32_t ClampToInt32(long long value) { return value > INT32_MAX ? INT32_MAX : static_cast<int32_t>(value); }

void ReportProgress(const CallbackBlock& callbacks, long long done, long long total) {
    if (callbacks.progressCallback != nullptr) callbacks.progressCallback(ClampToInt32(done), ClampToInt32(total));
}

}  // namespace

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

bool FeedBytes(int32_t port, const uint8_t* bytes, std::size_t count, uint8_t* threadBuf, RecordSink& sink) {
    for (std::size_t i = 0; i < count; ++i) {
        const int32_t result = FeedByte(port, bytes[i], threadBuf);
        if (result > 0) {
            if (!sink.Collect(threadBuf)) return false;
        } else if (result == -1) {
            relayMessage(kNoTime, error_text());
        }
    }
    return true;
}

bool FeedEnd(int32_t port, uint8_t* threadBuf, RecordSink& sink) {
    for (;;) {
        const int32_t result = FeedEndOfInput(port, threadBuf);
        if (result <= 0) return true;
        if (!sink.Collect(threadBuf)) return false;
    }
}

LogInput::LogInput(const std::string& path) : name_(NameOf(path)) {
    if (path == "-") {
        file_ = stdin;
        return;
    }
    file_ = std::fopen(path.c_str(), "rb");
    owned_ = file_ != nullptr;
}

std::string LogInput::NameOf(const std::string& path) { return path == "-" ? kStandardInputName : path; }

LogInput::~LogInput() {
    if (owned_) std::fclose(file_);
}

RunEnd FeedInput(std::FILE* input, const char* inputName, const CallbackBlock& callbacks, uint8_t* threadBuf,
                 RecordSink& sink, long long& bytesRead, bool inputEnds) {
    const long long length = MeasureLength(input);
    uint8_t chunk[kChunkBytes];
    bytesRead = 0;
    RunEnd end = RunEnd::kComplete;
    for (;;) {
        if (AbortCount() != 0) {
            set_error_text(kUserQuit);
            end = RunEnd::kAborted;
            break;
        }
        if (std::feof(input)) break;
        errno = 0;
        const std::size_t n = std::fread(chunk, 1, kChunkBytes, input);
        const int readError = errno;
        bytesRead += static_cast<long long>(n);
        const bool sinkFailed = !FeedBytes(kDecoderPort, chunk, n, threadBuf, sink);
        const bool readFailed = !sinkFailed && n < kChunkBytes && std::ferror(input);
        if (readFailed) format_error_text(kCannotRead, inputName, std::strerror(readError));
        ReportProgress(callbacks, bytesRead, length < 0 ? 0 : length);
        if (sinkFailed || readFailed) {
            end = sinkFailed ? RunEnd::kSinkFailed : RunEnd::kReadFailed;
            break;
        }
    }
    // What still waits in the port is decoded before the end, unless the run was stopped.
    if (end == RunEnd::kComplete && inputEnds && !FeedEnd(kDecoderPort, threadBuf, sink)) {
        end = RunEnd::kSinkFailed;
    }
    // A stream that cannot tell its length reports what was read as the whole.
    const long long total = length < 0 ? bytesRead : length;
    ReportProgress(callbacks, total, total);
    return end;
}

}  // namespace kestrel
