// SPDX-License-Identifier: BSD-2-Clause
// The frame parser's complaints, counted from its messages on their way to the host: the
// quality check puts its own message callback in front of the host's, which counts what the
// parser said and passes the rest on. The parser itself is unchanged; its notices about
// rejected frames are asked for (the verbose decoder option) and passed on only when the
// host asked for them too.
#pragma once

#include "kestrel/kestrel.h"
#include "qc/qc_report.h"

namespace kestrel {

enum class ParserMessage {
    kOther,           // not the frame parser's
    kChecksum,        // a frame whose checksum failed
    kRecordLength,    // a header whose length fits no record of its id (verbose notice)
    kItemCount,       // an item count that does not fill the frame
    kResync,          // a frame given up, parsing resumed at its second byte (verbose notice)
    kBufferOverrun,
};

// Counts into `counts` until the next StartCounting; messages go on to `forward` (may be
// null), the verbose notices only when `forwardNotices`.
void StartCounting(QcParserCounts* counts, KestrelMessageCallback forward, bool forwardNotices);
void StopCounting();
void KESTREL_STDCALL CountingMessageCallback(double time, const char* text);

}  // namespace kestrel
