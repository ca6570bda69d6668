// SPDX-License-Identifier: BSD-2-Clause
// What every converting subcommand shares: the decoder's messages on standard output with
// the GPS time of week they concern, progress on standard error (a bar on a terminal, plain
// lines otherwise), and Ctrl-C turned into the library's Abort.
#pragma once

#include <cstdint>
#include <string>

#include "kestrel/kestrel.h"

namespace kestrel::cli {

// Sets the progress display up for one run: none when `quiet`, a bar when standard error is
// a terminal, plain lines otherwise.
void StartDisplay(bool quiet);
// Ends the bar's line, when one is shown.
void EndDisplay();

// The library's message and progress callbacks, writing as described above.
void KESTREL_STDCALL OnMessage(double time, const char* text);
void KESTREL_STDCALL OnProgress(int32_t done, int32_t total);

// In a worker process of a batch: progress goes to `fd` as lines "P <bytes read>\n" for the
// batch to show, instead of to the display.
void SetProgressPipe(int fd);

// Messages that name `from` name `to` instead (a conversion writing under a temporary name
// tells the final one); empty `from`: none rewritten.
void SetMessageRewrite(const std::string& from, const std::string& to);

// A callback block for a conversion, with the two callbacks above.
CallbackBlock DisplayCallbacks();

// While one lives, Ctrl-C asks the library to stop (a second Ctrl-C ends the program).
class InterruptGuard {
public:
    InterruptGuard();
    ~InterruptGuard();
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;
    // True once Ctrl-C was pressed during this guard's life.
    static bool Interrupted();
};

}  // namespace kestrel::cli
