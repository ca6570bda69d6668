// SPDX-License-Identifier: BSD-2-Clause
#include "pipeline/session.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <new>

#include "common/error_text.h"
#include "navcom/frame_parser.h"
#include "pipeline/epoch_builder.h"
#include "pipeline/host_link.h"
#include "positioning/eph_store.h"
#include "positioning/single_point.h"

namespace kestrel {
namespace {

constexpr const char* kSessionRunning = "Error: a decoding session is already running";
// Messages about no particular epoch carry this time.
constexpr double kNoTime = -1.0;

// The session decoding now, if any: port 0, the solver and the ephemeris store serve one.
DecodingSession* activeSession = nullptr;

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

DecodingSession::DecodingSession(const SessionOptions& options, const CallbackBlock& callbacks, RecordSink* records,
                                 ObservationSink* observations)
    : options_(options), callbacks_(callbacks), records_(records), observations_(observations) {
    if (activeSession != nullptr) {
        set_error_text(kSessionRunning);
        return;
    }
    previousCallbacks_ = HostCallbacks();
    SetHostCallbacks(&callbacks);
    ResetAbortCount();
    eph_store_clear();
    if (options.solver == SolverStart::kFresh) reset_single_point_state();
    std::memset(threadBuf_, 0, sizeof threadBuf_);
    if (OpenPort(kDecoderPort, relayMessage) != 0) {
        SetHostCallbacks(previousCallbacks_);
        return;
    }
    SetPortOptions(kDecoderPort, &options.decoder, KESTREL_OPTION_RECORD_SIZE);
    if (observations_ != nullptr) {
        builder_.reset(new (std::nothrow) EpochBuilder(options_, *observations_, counts_));
        if (!builder_) {
            set_error_text(kNoMemoryText);
            SetHostCallbacks(previousCallbacks_);
            return;
        }
        SetPortObserver(kDecoderPort, builder_.get());
        SetPortExtraRecords(kDecoderPort, options.extraRecords, options.extraRecordCount);
    }
    activeSession = this;
    open_ = true;
}

DecodingSession::~DecodingSession() {
    if (!open_) return;
    SetPortObserver(kDecoderPort, nullptr);
    SetHostCallbacks(previousCallbacks_);
    activeSession = nullptr;
}

bool DecodingSession::IsOpen() const { return open_; }

const DecodeCounts& DecodingSession::Counts() const {
    if (const PortState* port = open_ ? GetPortState(kDecoderPort) : nullptr) counts_.parser = port->counts;
    return counts_;
}

void DecodingSession::Stop(RunEnd end) {
    if (end_ == RunEnd::kComplete) end_ = end;
}

// After a handler queued records: the record sink takes them; then whether the observation
// sink (called from inside the handler) let the run go on.
bool DecodingSession::Collect() {
    if (records_ != nullptr && !records_->Collect(threadBuf_)) {
        Stop(RunEnd::kSinkFailed);
        return false;
    }
    return ObserverGoesOn();
}

bool DecodingSession::ObserverGoesOn() {
    if (builder_ && builder_->end() != RunEnd::kComplete) {
        Stop(builder_->end());
        // Messages decoded since may have used the error text: the reason goes back in.
        set_error_text(builder_->stopText().c_str());
        return false;
    }
    return true;
}

bool DecodingSession::Push(const uint8_t* bytes, std::size_t count) {
    if (!open_ || end_ != RunEnd::kComplete) return false;
    for (std::size_t i = 0; i < count; ++i) {
        const int32_t result = FeedByte(kDecoderPort, bytes[i], threadBuf_);
        if (result > 0) {
            if (!Collect()) return false;
        } else if (result == -1) {
            relayMessage(kNoTime, error_text());
        }
    }
    // An observation sink may have ended the run in a frame that queued nothing.
    return ObserverGoesOn();
}

bool DecodingSession::Finish() {
    if (!open_ || end_ != RunEnd::kComplete) return false;
    for (;;) {
        const int32_t result = FeedEndOfInput(kDecoderPort, threadBuf_);
        if (result <= 0) break;
        if (!Collect()) return false;
    }
    return ObserverGoesOn();
}

void DecodingSession::NameSource(const std::string& name) {
    if (builder_) builder_->SetLogName(name);
}

RunEnd DecodingSession::ReadLog(std::FILE* input, const std::string& name, bool lastOfStream) {
    NameSource(name);
    bytesRead_ = 0;
    if (!open_) return RunEnd::kSinkFailed;
    const long long length = MeasureLength(input);
    uint8_t chunk[kChunkBytes];
    while (end_ == RunEnd::kComplete) {
        if (AbortCount() != 0) {
            set_error_text(kUserQuitText);
            Stop(RunEnd::kAborted);
            break;
        }
        if (std::feof(input)) break;
        errno = 0;
        const std::size_t n = std::fread(chunk, 1, kChunkBytes, input);
        const int readError = errno;
        bytesRead_ += static_cast<long long>(n);
        const bool pushed = Push(chunk, n);
        const bool readFailed = pushed && n < kChunkBytes && std::ferror(input);
        if (readFailed) {
            format_error_text(kCannotReadReasonFormat, name.c_str(), std::strerror(readError));
            Stop(RunEnd::kReadFailed);
        }
        ReportProgress(callbacks_, bytesRead_, length < 0 ? 0 : length);
    }
    // What still waits in the port is decoded before the end, unless the run was stopped.
    if (end_ == RunEnd::kComplete && lastOfStream) Finish();
    // A stream that cannot tell its length reports what was read as the whole.
    const long long total = length < 0 ? bytesRead_ : length;
    ReportProgress(callbacks_, total, total);
    return end_;
}

bool AbortRequested() { return AbortCount() != 0; }

}  // namespace kestrel
