// SPDX-License-Identifier: BSD-2-Clause
// Runs the built `kestrel` command (named by KESTREL_CLI) as a user runs it: arguments,
// standard input from a file, standard output and error captured, the exit status; and the
// pieces the signal tests need (a FIFO to feed, standard error read as it comes, a bounded
// wait). Every run checks that the files it was given to read are unchanged when it ends.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace kestrel::test {

constexpr int kCliWaitSeconds = 30;  // bound on waiting for the program; never a measured figure

struct CliRun {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
};

// The command's path, or null when KESTREL_CLI is not set.
const char* CliPath();

// Starts the command with `args`, standard output to `outPath`; standard error to
// `errPath`, or to a pipe whose reading end is returned in `errPipe` (with `errTerminal`, a
// pseudo-terminal whose master end is returned: the command sees a terminal); standard input
// from `inPath` when not empty.
pid_t StartCli(const std::vector<std::string>& args, const std::string& outPath, const std::string& errPath,
               int* errPipe = nullptr, const std::string& inPath = "", bool errTerminal = false);

// Waits for the program: its exit status, or 128 + the signal that ended it.
int WaitCli(pid_t pid);

// Waits at most `seconds` for the program; past that it is killed and -1 returned.
int WaitCliFor(pid_t pid, double seconds);

// Runs the command to its end with output and error in files of `dir` (stdout.txt,
// stderr.txt), standard input from `inPath` when not empty.
CliRun RunCli(const std::string& dir, const std::vector<std::string>& args, const std::string& inPath = "");

// As RunCli, with the size of the files the command may write limited to `bytes` (as `ulimit
// -f` does): a disk that fills up.
CliRun RunCliWithFileLimit(const std::string& dir, const std::vector<std::string>& args, long bytes);

// True when the text's last line starts with `prefix`, ends with `suffix`, and holds only a
// decimal number between them.
bool LastLineIs(const std::string& text, const std::string& prefix, const std::string& suffix);

// Reads from `fd` until `text` has arrived; false at end of stream or after kCliWaitSeconds.
bool AwaitText(int fd, const std::string& text, std::string& seen);

// Opens the writing end of a FIFO once the program has opened its reading end; -1 on failure.
int OpenFifoForWriting(const std::string& path);

bool WriteAll(int fd, const uint8_t* data, std::size_t size);

// A receiver sending a log into a FIFO: from when the command opens the FIFO, `data` is written
// over and over, a little at a time, until Stop() or until the command closes it.
class FifoFeeder {
public:
    FifoFeeder(const std::string& path, std::vector<uint8_t> data);
    ~FifoFeeder();
    FifoFeeder(const FifoFeeder&) = delete;
    FifoFeeder& operator=(const FifoFeeder&) = delete;
    // True once the command has opened the FIFO.
    bool connected() const { return connected_; }
    // Stops sending; the FIFO stays open (a receiver gone quiet) until the feeder goes.
    void Pause() { paused_ = true; }
    void Stop();

private:
    void Run();
    std::string path_;
    std::vector<uint8_t> data_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> paused_{false};
    std::atomic<bool> connected_{false};
    std::thread thread_;
};

}  // namespace kestrel::test
