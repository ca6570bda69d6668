// SPDX-License-Identifier: BSD-2-Clause
#include "batch.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include <CLI/CLI.hpp>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "commands.h"
#include "files/output_file.h"
#include "help.h"
#include "outputs.h"
#include "kestrel/kestrel.h"
#include "session.h"

namespace kestrel::cli {
namespace {

namespace fs = std::filesystem;

constexpr int kPollMilliseconds = 200;
constexpr double kBytesPerMegabyte = 1e6;

// After a stop was passed on to the workers, those still running after this long are ended
// at once (SIGTERM, their second signal): a worker blocked on its input must not hold the batch.
constexpr double kStopGraceSeconds = 2.0;

// Stop requests the batch received (Ctrl-C, SIGTERM, SIGHUP); the first one's signal is the
// run's stop signal.
volatile std::sig_atomic_t stopRequests = 0;

extern "C" void OnBatchStop(int signal) {
    files::NoteStopSignal(signal);
    stopRequests = stopRequests + 1;
}

// The stop signals held back while a worker is forked, so that none reaches it before it has
// its own handlers.
sigset_t StopSignalSet() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : files::kStopSignals) sigaddset(&set, signal);
    return set;
}

class HoldStopSignals {
public:
    HoldStopSignals() {
        const sigset_t set = StopSignalSet();
        sigprocmask(SIG_BLOCK, &set, &previous_);
    }
    ~HoldStopSignals() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }
    HoldStopSignals(const HoldStopSignals&) = delete;
    HoldStopSignals& operator=(const HoldStopSignals&) = delete;

private:
    sigset_t previous_;
};

// A report crosses from a worker to the batch as fields "<tag> <length>\n<bytes>"; progress
// comes before it as lines "P <bytes read>\n".
void PutField(std::string& out, char tag, const std::string& value) {
    out += tag;
    out += ' ';
    out += std::to_string(value.size());
    out += '\n';
    out += value;
}

std::string Serialise(const LogReport& r) {
    std::string out;
    PutField(out, 'R', std::to_string(r.status));
    PutField(out, 'S', r.summary);
    PutField(out, 'E', r.error);
    PutField(out, 'D', r.payload);
    PutField(out, 'N', std::to_string(r.epochs));
    PutField(out, 'H', std::to_string(r.ephemerides));
    for (const std::string& o : r.outputs) PutField(out, 'O', o);
    return out;
}

// Reads what a worker sent: its progress so far and, once it has ended, its report. False
// when the report is not whole (the worker died before it could send one).
bool Parse(const std::string& text, LogReport& r, long long& bytesRead) {
    std::size_t at = 0;
    bool ended = false;
    while (at < text.size()) {
        const std::size_t eol = text.find('\n', at);
        if (eol == std::string::npos || eol < at + 2) return ended;
        const char tag = text[at];
        const std::string number = text.substr(at + 2, eol - at - 2);
        if (tag == 'P') {
            bytesRead = std::atoll(number.c_str());
            at = eol + 1;
            continue;
        }
        const std::size_t length = static_cast<std::size_t>(std::atoll(number.c_str()));
        if (eol + 1 + length > text.size()) return false;
        const std::string value = text.substr(eol + 1, length);
        at = eol + 1 + length;
        switch (tag) {
            case 'R': r.status = std::atoi(value.c_str()); ended = true; break;
            case 'S': r.summary = value; break;
            case 'E': r.error = value; break;
            case 'D': r.payload = value; break;
            case 'N': r.epochs = std::atoll(value.c_str()); break;
            case 'H': r.ephemerides = std::atoll(value.c_str()); break;
            case 'O': r.outputs.push_back(value); break;
            default: return false;
        }
    }
    return ended;
}

long long SizeOf(const std::string& input) {
    std::error_code error;
    const auto size = fs::file_size(input, error);
    return error ? 0 : static_cast<long long>(size);
}

std::string ResultText(const LogReport& r) {
    if (r.status == kExitOk) return r.summary;
    return std::string(IsStoppedStatus(r.status) ? "stopped: " : "failed: ") + (r.error.empty() ? r.summary : r.error);
}

// One log's run in a worker process.
struct Worker {
    pid_t pid = -1;
    std::size_t index = 0;
    int outFd = -1;     // the log's messages
    int reportFd = -1;  // progress and the report
    std::string out;
    std::string report;
    bool exited = false;
    int waitStatus = 0;
    long long bytesRead = 0;
};

// Starts a worker for `input`; its messages and errors go into one pipe, its progress and
// report into another.
bool StartWorker(Worker& w, const std::string& input, const LogRunner& run) {
    int out[2];
    int report[2];
    if (pipe(out) != 0) return false;
    if (pipe(report) != 0) {
        close(out[0]);
        close(out[1]);
        return false;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = fork();
    if (pid < 0) {
        for (int fd : {out[0], out[1], report[0], report[1]}) close(fd);
        return false;
    }
    if (pid == 0) {
        // Its own process group: a Ctrl-C at the terminal reaches the batch, which passes it on.
        // Until its run takes the stop signals, any of them ends it with its files removed.
        setpgid(0, 0);
        files::InstallSignalCleanup();
        const sigset_t set = StopSignalSet();
        sigprocmask(SIG_UNBLOCK, &set, nullptr);
        close(out[0]);
        close(report[0]);
        dup2(out[1], STDOUT_FILENO);
        dup2(out[1], STDERR_FILENO);
        close(out[1]);
        // Fully buffered whatever the batch's own standard output was; errors flush it first.
        std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
        SetProgressPipe(report[1]);
        const LogReport r = run(input);
        std::fflush(stdout);
        std::fflush(stderr);
        const std::string text = Serialise(r);
        files::WriteAll(report[1], text.data(), text.size());
        close(report[1]);
        _exit(r.status);
    }
    close(out[1]);
    close(report[1]);
    fcntl(out[0], F_SETFL, O_NONBLOCK);
    fcntl(report[0], F_SETFL, O_NONBLOCK);
    w.pid = pid;
    w.outFd = out[0];
    w.reportFd = report[0];
    return true;
}

// Reads what is waiting on a pipe; closes it at its end.
void Drain(int& fd, std::string& into) {
    if (fd < 0) return;
    char buffer[65536];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            into.append(buffer, static_cast<std::size_t>(n));
            if (static_cast<std::size_t>(n) < sizeof buffer) return;
            continue;
        }
        if (n < 0 && (errno == EINTR)) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        close(fd);
        fd = -1;
        return;
    }
}

// The progress of a batch on standard error.
class BatchDisplay {
public:
    BatchDisplay(std::size_t logs, long long bytes, bool quiet)
        : logs_(logs), bytes_(bytes), quiet_(quiet), terminal_(isatty(STDERR_FILENO) != 0),
          started_(std::chrono::steady_clock::now()) {}

    void Finished(const std::string& input, const LogReport& r) {
        ++done_;
        Clear();
        std::string line = "[" + std::to_string(done_) + "/" + std::to_string(logs_) + "] " + input + ": ";
        line += ResultText(r);
        std::fprintf(stderr, "%s\n", line.c_str());
    }

    void Update(long long bytesDone) {
        if (quiet_ || !terminal_) return;
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
        const double rate = seconds > 0.0 ? static_cast<double>(bytesDone) / seconds : 0.0;
        char text[200];
        int n = std::snprintf(text, sizeof text, "\r\033[K%zu/%zu logs, %.1f/%.1f MB, %.1f MB/s", done_, logs_,
                              static_cast<double>(bytesDone) / kBytesPerMegabyte,
                              static_cast<double>(bytes_) / kBytesPerMegabyte, rate / kBytesPerMegabyte);
        if (rate > 0.0 && bytes_ > bytesDone && n > 0 && static_cast<std::size_t>(n) < sizeof text) {
            const auto left = static_cast<long long>(static_cast<double>(bytes_ - bytesDone) / rate);
            std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n), ", %lld:%02lld left", left / 60,
                          left % 60);
        }
        std::fputs(text, stderr);
        std::fflush(stderr);
        shown_ = true;
    }

    void Clear() {
        if (shown_) std::fputs("\r\033[K", stderr);
        shown_ = false;
    }

private:
    std::size_t logs_;
    long long bytes_;
    bool quiet_;
    bool terminal_;
    bool shown_ = false;
    std::size_t done_ = 0;
    std::chrono::steady_clock::time_point started_;
};

// A log's block of messages: on standard output under a line naming the log, or into its
// own file.
void EmitBlock(const std::string& input, const std::string& messages, const BatchOptions& options) {
    if (options.logFiles) {
        const std::string file = MessagesFileOf(input, options.logDirectory);
        files::OutputFile out;
        if (out.Create(file, options.noClobber ? files::Existing::kRefuse : files::Existing::kReplace) &&
            out.Write(messages) && out.Commit()) {
            if (out.replacing()) AnnounceReplaced(file);
            return;
        }
        // Ending on a signal, the batch keeps no new file: the messages go to standard output.
        if (!files::Ending()) {
            std::fprintf(stderr, "kestrel: the messages of %s go to standard output: %s\n", input.c_str(),
                         out.error().c_str());
        }
    }
    std::printf("==> %s <==\n%s", input.c_str(), messages.c_str());
    if (!messages.empty() && messages.back() != '\n') std::putchar('\n');
    std::fflush(stdout);
}

// With --log-files, a log run in this process writes its messages into its file: standard
// output points at the file's temporary while the log runs, and the file takes its name at the
// end (after SIGTERM or SIGHUP it is not kept, as in workers). When the file cannot be made
// the messages stay on standard output.
class MessagesToFile {
public:
    MessagesToFile(const std::string& input, const BatchOptions& options) {
        if (!options.logFiles) return;
        const std::string file = MessagesFileOf(input, options.logDirectory);
        std::fflush(stdout);
        if (!out_.Create(file, options.noClobber ? files::Existing::kRefuse : files::Existing::kReplace) ||
            (saved_ = dup(STDOUT_FILENO)) < 0 || dup2(fileno(out_.stream()), STDOUT_FILENO) < 0) {
            std::fprintf(stderr, "kestrel: the messages of %s go to standard output: %s\n", input.c_str(),
                         out_.open() ? std::strerror(errno) : out_.error().c_str());
            if (saved_ >= 0) close(saved_);
            saved_ = -1;
            out_.Abandon();
        }
    }
    ~MessagesToFile() {
        if (saved_ < 0) return;
        std::fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
        if (out_.Commit()) {
            if (out_.replacing()) AnnounceReplaced(out_.finalPath());
        } else if (!files::Ending()) {
            std::fprintf(stderr, "kestrel: the messages were not kept: %s\n", out_.error().c_str());
        }
    }
    MessagesToFile(const MessagesToFile&) = delete;
    MessagesToFile& operator=(const MessagesToFile&) = delete;

private:
    files::OutputFile out_;
    int saved_ = -1;  // the standard output the command started with
};

int RunInWorkers(const std::vector<std::string>& inputs, const BatchOptions& options, const LogRunner& run,
                 std::vector<LogReport>& reports) {
    long long totalBytes = 0;
    std::vector<long long> sizes;
    for (const std::string& input : inputs) {
        sizes.push_back(SizeOf(input));
        totalBytes += sizes.back();
    }
    BatchDisplay display(inputs.size(), totalBytes, options.quiet);
    // Stop requests are counted by the handler and acted on in the loop below.
    stopRequests = 0;
    files::ClearStopSignal();
    const files::StopHandlers signals(OnBatchStop);
    std::vector<Worker> running;
    std::size_t next = 0;
    long long finishedBytes = 0;
    int stopsPassedOn = 0;
    std::chrono::steady_clock::time_point stopAt;
    bool endedAtOnce = false;

    // No log starts once a stop was asked; the batch ends when its running workers have.
    while (!running.empty() || (stopRequests == 0 && next < inputs.size())) {
        if (stopRequests > stopsPassedOn) {
            // The first stop goes to each worker as it came: it finishes its chunk and, after
            // Ctrl-C, closes its files whole. A second stop ends them at once.
            const int signal = stopsPassedOn == 0 ? files::StopSignal() : SIGTERM;
            for (const Worker& w : running) kill(w.pid, signal);
            if (stopsPassedOn == 0) stopAt = std::chrono::steady_clock::now();
            endedAtOnce = endedAtOnce || stopsPassedOn > 0;
            stopsPassedOn = stopRequests;
        }
        if (stopsPassedOn > 0 && !endedAtOnce &&
            std::chrono::duration<double>(std::chrono::steady_clock::now() - stopAt).count() > kStopGraceSeconds) {
            for (const Worker& w : running) kill(w.pid, SIGTERM);
            endedAtOnce = true;
        }
        while (stopRequests == 0 && next < inputs.size() && static_cast<int>(running.size()) < options.jobs) {
            Worker w;
            w.index = next;
            bool started = false;
            {
                const HoldStopSignals hold;
                started = StartWorker(w, inputs[next], run);
            }
            if (!started) {
                reports[next].status = kExitFailure;
                reports[next].ran = true;
                reports[next].error = std::string("cannot start a worker: ") + std::strerror(errno);
                display.Finished(inputs[next], reports[next]);
                ++next;
                continue;
            }
            running.push_back(w);
            ++next;
        }
        std::vector<pollfd> fds;
        for (const Worker& w : running) {
            if (w.outFd >= 0) fds.push_back({w.outFd, POLLIN, 0});
            if (w.reportFd >= 0) fds.push_back({w.reportFd, POLLIN, 0});
        }
        if (!fds.empty()) {
            poll(fds.data(), fds.size(), kPollMilliseconds);
        } else if (!running.empty()) {
            // Workers whose pipes have ended are being waited for below; nothing to poll.
            usleep(1000);
        }
        long long bytesDone = finishedBytes;
        for (auto it = running.begin(); it != running.end();) {
            Worker& w = *it;
            Drain(w.outFd, w.out);
            Drain(w.reportFd, w.report);
            LogReport r;
            long long read = 0;
            Parse(w.report, r, read);
            w.bytesRead = std::min(read, sizes[w.index]);
            if (!w.exited) {
                // A worker whose pipes are both at their end is inside _exit: wait for it
                // rather than for the next poll's timeout, which would hold its slot idle.
                const bool ending = w.outFd < 0 && w.reportFd < 0;
                pid_t got;
                do {
                    got = waitpid(w.pid, &w.waitStatus, ending ? 0 : WNOHANG);
                } while (got < 0 && errno == EINTR && ending);
                if (got == w.pid) w.exited = true;
            }
            if (!w.exited || w.outFd >= 0 || w.reportFd >= 0) {
                bytesDone += w.bytesRead;
                ++it;
                continue;
            }
            if (!Parse(w.report, r, read)) {
                if (WIFSIGNALED(w.waitStatus) && IsStoppedStatus(StoppedStatus(WTERMSIG(w.waitStatus)))) {
                    r.status = StoppedStatus(WTERMSIG(w.waitStatus));
                    r.error = EndedBy(WTERMSIG(w.waitStatus));
                } else {
                    r.status = kExitFailure;
                    r.error = WIFSIGNALED(w.waitStatus)
                                  ? std::string("the worker ended on signal ") + std::to_string(WTERMSIG(w.waitStatus))
                                  : "the worker ended without a report";
                }
            }
            r.ran = true;
            reports[w.index] = r;
            finishedBytes += sizes[w.index];
            display.Clear();
            EmitBlock(inputs[w.index], w.out, options);
            display.Finished(inputs[w.index], r);
            it = running.erase(it);
        }
        display.Update(bytesDone);
    }
    display.Clear();
    return files::StopSignal() != 0 ? StoppedStatus(files::StopSignal()) : kExitOk;
}

}  // namespace

void AddBatchOptions(CLI::App& sub, BatchArgs& args) {
    sub.add_option("-d,--directory", args.directory, "folder of the outputs (made when missing)")->type_name("DIR");
    sub.add_flag("-r,--recursive", args.recursive, "take the NavCom logs found in the folders named, at any depth");
    sub.add_option("-j,--jobs", args.jobs, "worker processes (default: one per processor; 1 runs the logs in turn)")
        ->type_name("N")
        ->check(WholeNumberValidator(1, kMostJobs));
    sub.add_flag("--log-files", args.logFiles,
                 "each log's messages to DIR/NAME.messages (or beside the log) instead of standard output");
    sub.add_flag("--skip-existing", args.skipExisting,
                 "leave out logs whose outputs exist and are newer (the outputs of a stopped log are dated "
                 "before it, so it is converted again)");
    sub.add_flag("--no-clobber", args.noClobber, "refuse to replace an existing file instead of replacing it");
}

BatchOptions MakeBatchOptions(const BatchArgs& args, bool quiet) {
    BatchOptions batch;
    batch.jobs = args.jobs > 0 ? args.jobs : DefaultJobs();
    batch.quiet = quiet;
    batch.logFiles = args.logFiles;
    batch.logDirectory = args.directory;
    batch.noClobber = args.noClobber;
    return batch;
}

bool MakeOutputFolder(const std::string& directory) {
    if (directory.empty()) return true;
    std::error_code made;
    fs::create_directories(directory, made);
    if (!made) return true;
    std::fprintf(stderr, "kestrel: cannot create the folder %s: %s\n", directory.c_str(), made.message().c_str());
    return false;
}

std::string LogStem(const std::string& input) {
    if (input == "-") return "stdin";
    std::string stem = fs::path(input).filename().string();
    const std::size_t dot = stem.rfind('.');
    if (dot != std::string::npos && dot > 0) stem.erase(dot);
    return stem;
}

int DefaultJobs() {
    const long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<int>(n) : 1;
}

std::vector<std::string> CollectInputs(const std::vector<std::string>& paths, bool recursive, int& refused) {
    std::vector<std::string> inputs;
    refused = 0;
    for (const std::string& path : paths) {
        if (path == "-") {
            inputs.push_back(path);
            continue;
        }
        // A file named is run as asked, even one that cannot be read: its run says why.
        std::error_code error;
        if (!fs::is_directory(path, error)) {
            inputs.push_back(path);
            continue;
        }
        if (!recursive) {
            std::fprintf(stderr, "kestrel: %s is a folder (give -r to convert the NavCom logs inside)\n", path.c_str());
            ++refused;
            continue;
        }
        std::vector<std::string> found;
        for (auto it = fs::recursive_directory_iterator(path, fs::directory_options::skip_permission_denied, error);
             !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
            if (it->is_regular_file(error)) found.push_back(it->path().string());
        }
        if (error) {
            std::fprintf(stderr, "kestrel: cannot read the folder %s: %s\n", path.c_str(), error.message().c_str());
            ++refused;
        }
        std::sort(found.begin(), found.end());
        for (const std::string& file : found) {
            if (AutoDetect(file.c_str()) == 1) {
                inputs.push_back(file);
            } else {
                std::fprintf(stderr, "kestrel: note: %s skipped: not NavCom data\n", file.c_str());
            }
        }
    }
    return inputs;
}

bool ClaimOutputs(std::map<std::string, std::string>& claimed, const std::string& input,
                  const std::vector<std::string>& outputs) {
    for (const std::string& file : outputs) {
        const auto [it, fresh] = claimed.emplace(file, input);
        if (!fresh) {
            PrintError(input + " would write " + file + " as " + it->second + " does; not converted");
            return false;
        }
    }
    return true;
}

bool RunsInTurn(const BatchOptions& options, std::size_t logs) { return options.jobs <= 1 || logs <= 1; }

int CommandStatus(int runs, int refused, bool badArguments) {
    if (runs != kExitOk) return runs;
    if (badArguments) return kExitUsage;
    return refused > 0 ? kExitFailure : kExitOk;
}

int RunBatch(const std::vector<std::string>& inputs, const BatchOptions& options, const LogRunner& run,
             std::vector<LogReport>* reportsOut) {
    std::vector<LogReport> reports(inputs.size());
    int status = kExitOk;
    if (RunsInTurn(options, inputs.size())) {
        // In this process, one after the other, each as a single run; none starts after a stop.
        const InterruptGuard guard;
        for (std::size_t i = 0; i < inputs.size() && files::StopSignal() == 0; ++i) {
            MessagesToFile messages(inputs[i], options);
            reports[i] = run(inputs[i]);
            reports[i].ran = true;
        }
        if (files::StopSignal() != 0) status = StoppedStatus(files::StopSignal());
    } else {
        status = RunInWorkers(inputs, options, run, reports);
    }

    std::size_t failed = 0;
    std::size_t stopped = 0;
    std::size_t notStarted = 0;
    for (const LogReport& r : reports) {
        if (!r.ran) {
            ++notStarted;
        } else if (IsStoppedStatus(r.status)) {
            ++stopped;
        } else if (r.status != kExitOk) {
            ++failed;
        }
    }
    if (inputs.size() > 1 && (failed > 0 || status != kExitOk)) {
        if (status != kExitOk) {
            std::fprintf(stderr, "kestrel: stopped by %s: %zu of %zu logs done, %zu stopped, %zu failed, %zu not started\n",
                         StopName(files::StopSignal()).c_str(), inputs.size() - failed - stopped - notStarted,
                         inputs.size(), stopped, failed, notStarted);
        } else {
            std::fprintf(stderr, "kestrel: %zu of %zu logs failed:\n", failed, inputs.size());
        }
        for (std::size_t i = 0; i < inputs.size(); ++i) {
            const LogReport& r = reports[i];
            if (r.ran && r.status == kExitOk) continue;
            const std::string what = !r.ran                      ? "not started"
                                     : IsStoppedStatus(r.status) ? "stopped: " + r.error
                                     : status != kExitOk         ? "failed: " + r.error
                                                                 : r.error;
            std::fprintf(stderr, "  %s: %s\n", inputs[i].c_str(), what.c_str());
        }
    }
    if (reportsOut != nullptr) *reportsOut = reports;
    if (status != kExitOk) return status;
    if (failed == 0) return kExitOk;
    // A single log keeps its own status (2 for its arguments).
    return inputs.size() == 1 ? reports[0].status : kExitFailure;
}

}  // namespace kestrel::cli
