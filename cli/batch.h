// SPDX-License-Identifier: BSD-2-Clause
// Many logs at once: the inputs (files, and NavCom logs found in folders), one run per log
// in this process (-j 1) or in worker processes (the library keeps its conversion state per
// process, so a process is the unit of parallel work), each log's messages kept together,
// progress for the whole batch, and a table of the failures at the end.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace kestrel::cli {

// What the run of one log leaves for the batch to report.
struct LogReport {
    int status = 0;                    // the exit status the log alone would give
    std::string summary;               // one line: what was written, or how far it got
    std::string error;                 // why it failed, when it did
    std::vector<std::string> outputs;  // files written
    std::string payload;               // what the command combines after the batch (JSON)
    int64_t epochs = -1;               // epochs written; -1 when the command counts none
    int64_t ephemerides = -1;          // ephemerides written; -1 when not counted
    bool ran = false;                  // the log was run (not left out by a stop)
};

// Runs one log: messages go to standard output as they come (in a worker, into the log's
// block), progress through the session's display.
using LogRunner = std::function<LogReport(const std::string& input)>;

struct BatchOptions {
    int jobs = 1;               // worker processes; 1 runs every log in this process
    bool quiet = false;         // no progress display
    bool logFiles = false;      // each log's messages to LOGDIR/NAME.messages instead of standard output
    std::string logDirectory;   // folder of those files; empty: the log's own folder
    bool noClobber = false;     // an existing messages file is an error, not replaced
};

// The logs to run: each file as named (its run says why when it cannot be read), and with
// `recursive` the files inside each folder named that hold NavCom data (others are passed
// over with a note on standard error). A folder named without `recursive`, or one that
// cannot be read, is named on standard error and counted in `refused`.
std::vector<std::string> CollectInputs(const std::vector<std::string>& paths, bool recursive, int& refused);

// Two logs never write the same file: records `outputs` as written by `input` in `claimed`
// (file to log), or, when an earlier log claimed one of them, names both on standard error
// and returns false (the log is then not run).
bool ClaimOutputs(std::map<std::string, std::string>& claimed, const std::string& input,
                  const std::vector<std::string>& outputs);

// The most worker processes -j takes.
constexpr int kMostJobs = 4096;

// Worker processes by default: the number of processors.
int DefaultJobs();

// True when RunBatch runs `logs` logs one after the other in this process, not in workers.
bool RunsInTurn(const BatchOptions& options, std::size_t logs);

// Runs every log and reports: with one log and -j 1 exactly as a single run does; otherwise
// one block of messages per log as it finishes, a line per finished log, and at the end a
// table of the failures. Returns 0 when every log succeeded, 1 when any failed, and 130, 143
// or 129 when Ctrl-C, SIGTERM or SIGHUP stopped the batch: the running logs are passed the
// signal (after Ctrl-C they close their files whole; after the others they keep nothing), no
// other starts, a second signal or two seconds' wait ends them at once, and the summary names
// the logs stopped, failed and not started. `reports`, when given, receives each log's report
// in input order.
int RunBatch(const std::vector<std::string>& inputs, const BatchOptions& options, const LogRunner& run,
             std::vector<LogReport>* reports = nullptr);

// The command's status after its runs: theirs (`runs`), unless they all succeeded while an
// argument was bad (2) or a log was refused before it could run (1).
int CommandStatus(int runs, int refused, bool badArguments = false);

// The options every subcommand that takes many logs has: -d DIR, -r, -j N, --log-files,
// --skip-existing, --no-clobber.
struct BatchArgs {
    std::string directory;   // folder of the outputs
    bool recursive = false;
    int jobs = 0;            // 0: one worker per processor
    bool logFiles = false;
    bool skipExisting = false;
    bool noClobber = false;
};
void AddBatchOptions(CLI::App& sub, BatchArgs& args);

// The batch's options from the arguments (and the command's -q).
BatchOptions MakeBatchOptions(const BatchArgs& args, bool quiet);

// Makes the output folder when one is named and missing; false (the reason printed) when it
// cannot be made.
bool MakeOutputFolder(const std::string& directory);

// The stem of a log's name: its file name without folder and extension.
std::string LogStem(const std::string& input);

}  // namespace kestrel::cli
