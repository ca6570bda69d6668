// SPDX-License-Identifier: BSD-2-Clause
// Runs the built `kestrel` command (named by KESTREL_CLI) as a user runs it, for the tests
// of the command: its exit status, standard output and error, a FIFO as a live input.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/test_files.h"

namespace kestrel::test {

constexpr int kWaitSeconds = 30;  // bound on waiting for the program; never a measured figure

struct CliRun {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
};

// The built command, or null when KESTREL_CLI is not set.
const char* CliPath();

// Starts the command with `args`, standard output to `outPath`; standard error to
// `errPath`, or to a pipe whose reading end is returned in `errPipe`.
pid_t Start(const std::vector<std::string>& args, const std::string& outPath, const std::string& errPath,
            int* errPipe = nullptr);

// Waits for the program's end: its exit status, or 128 + the signal that ended it.
int Wait(pid_t pid);

// Runs the command to its end with standard output and error kept in `dir`.
CliRun RunCli(const ScratchDir& dir, const std::vector<std::string>& args);

// True when the text's last line starts with `prefix`, ends with `suffix`, and holds
// only a decimal number between them.
bool LastLineIs(const std::string& text, const std::string& prefix, const std::string& suffix);

// Reads from `fd` until `text` has arrived; false at end of stream or after kWaitSeconds.
bool AwaitText(int fd, const std::string& text, std::string& seen);

// Opens the writing end of a FIFO once the program has opened its reading end.
int OpenFifoForWriting(const std::string& path);

bool WriteAll(int fd, const uint8_t* data, std::size_t size);

}  // namespace kestrel::test
