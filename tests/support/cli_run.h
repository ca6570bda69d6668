// Runs the built `kestrel` command (named by KESTREL_CLI) as a user runs it, for the tests of
// its subcommands.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "support/test_files.h"

namespace kestrel::test {

struct CliRun {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
};

// The command's path, or null when KESTREL_CLI is not set.
const char* CliPath();

// Starts the command with `args`, standard output to `outPath`; standard error to
// `errPath`, or to a pipe whose reading end is returned in `errPipe`.
pid_t StartCli(const std::vector<std::string>& args, const std::string& outPath, const std::string& errPath,
               int* errPipe = nullptr);

// Waits for the command; its exit status, or 128 + the signal that ended it.
int WaitCli(pid_t pid);

// Runs the command to its end with its outputs in `dir`.
CliRun RunCli(const ScratchDir& dir, const std::vector<std::string>& args);

}  // namespace kestrel::test
