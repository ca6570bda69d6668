// SPDX-License-Identifier: BSD-2-Clause
// The live command's inputs behind one face: a serial device or a TCP connection, brought
// back after a loss with a back-off from 1 s to 30 s; standard input; a log replayed at the
// pace of its own epochs. Reads wait at most the time given, so that the caller keeps its
// own clock (status, signals) running.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "live/input_source.h"

namespace kestrel::live {

// Monotonic seconds, for timeouts and pacing only (the data's own time names periods).
double MonotonicSeconds();

struct ReadResult {
    enum class Kind {
        kBytes,    // `size` bytes arrived
        kNothing,  // none within the time given (or a signal came), the link may be down
        kEnded,    // the input has ended for good: a log or standard input at its end
    };
    Kind kind = Kind::kNothing;
    std::size_t size = 0;
};

struct LinkCounters {
    bool connected = false;
    uint64_t reconnects = 0;  // links brought back after a loss
    uint64_t bytes = 0;
};

struct InputOptions {
    double speed = 1.0;                 // file: replays, times the data's pace; 0 as fast as possible
    double connectTimeoutS = 10.0;      // a host that does not answer
    double silenceS = 60.0;             // a TCP link silent this long is dropped and made again
    std::function<void(const std::string&)> report;  // one line for the user (losses, returns)
};

class Input {
public:
    virtual ~Input() = default;
    // Waits at most `timeoutMs` for bytes, bringing a lost link back as the back-off allows.
    virtual ReadResult Read(std::span<uint8_t> buffer, int timeoutMs) = 0;
    // Sends bytes to the receiver: false with the reason when this input cannot carry them
    // or the link is down.
    virtual bool Send(std::span<const uint8_t> bytes, std::string& error) = 0;
    // The link is up now and has been (re)made since this was last asked: the receiver may
    // need its set-up again.
    virtual bool TakeFreshLink() { return false; }

    const LinkCounters& counters() const { return counters_; }
    const std::string& name() const { return name_; }

protected:
    LinkCounters counters_;
    std::string name_;
};

// Opens the input. Null, with the reason in `error`, when it cannot be opened the first time
// (a missing or busy device, a host that refuses, is silent or unknown, a missing log): later
// losses are brought back, never fatal.
std::unique_ptr<Input> OpenInput(const InputSource& source, const InputOptions& options, std::string& error);

}  // namespace kestrel::live
