// SPDX-License-Identifier: BSD-2-Clause
// What every converting subcommand shares: the decoder's messages on standard output with
// the GPS time of week they concern, progress on standard error (a bar on a terminal, plain
// lines otherwise), and Ctrl-C turned into the library's Abort.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

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

// Where the messages go: standard output (null, the default) or standard error, when standard
// output carries a file.
void SetMessageStream(std::FILE* stream);

// Messages that name `from` name `to` instead (a conversion writing under a temporary name
// tells the final one); empty `from`: none rewritten.
void SetMessageRewrite(const std::string& from, const std::string& to);

// A callback block for a conversion, with the two callbacks above.
CallbackBlock DisplayCallbacks();

// While one lives, Ctrl-C, SIGTERM and SIGHUP ask the library to stop (at its next chunk) and
// are noted as the run's stop signal; a second signal ends the program at once, its temporary
// files removed. Guards nest: the outermost one forgets an earlier stop, and the last to go
// puts back what was there before.
class InterruptGuard {
public:
    InterruptGuard();
    ~InterruptGuard();
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;
    // True once a stop was asked during the guard's life.
    static bool Interrupted();
};

// "-" on the command line is standard input: the path that opens it, and the name messages
// give it ("standard input"); other arguments are their own path and name.
std::string ReadablePath(const std::string& arg);
std::string ShownName(const std::string& arg);

// Standard input can be read once: false (with a usage error of `command` printed) when "-"
// is named more than once.
bool StandardInputAtMostOnce(const std::vector<std::string>& args, const std::string& command);

// The exit status of a run stopped by `signal`: 128 + signal (130 for Ctrl-C, 143 for SIGTERM,
// 129 for SIGHUP), as a shell reports a command the signal ended.
int StoppedStatus(int signal);
// True for those statuses.
bool IsStoppedStatus(int status);
// How the summary names a stop: "Ctrl-C", "SIGTERM", "SIGHUP".
std::string StopName(int signal);
// The error of a run that SIGTERM or SIGHUP ended: "ended by SIGTERM; nothing kept".
std::string EndedBy(int signal);

// The decoder says "Zero or negative DT!!!" for every satellite whose observation is not later
// than its last one (and leaves the observation out): the message is shown the first time of a
// run only. At the run's end this says, on standard error, how many epochs did not advance in
// time (not later than an epoch before them) and what was done with them (`done`: "written as
// received", "dropped"), and how many times the decoder's message came.
void ReportNonAdvancing(long long epochs, const std::string& done);

}  // namespace kestrel::cli
