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
#include <sys/wait.h>
#include <unistd.h>

#include "commands.h"
#include "help.h"
#include "kestrel/kestrel.h"
#include "session.h"

namespace kestrel::cli {
namespace {

namespace fs = std::filesystem;

constexpr int kPollMilliseconds = 200;
constexpr double kBytesPerMegabyte = 1e6;

volatile std::sig_atomic_t batchInterrupted = 0;

extern "C" void OnBatchInterrupt(int) { batchInterrupted = 1; }

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

bool WriteAll(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

long long SizeOf(const std::string& input) {
    std::error_code error;
    const auto size = fs::file_size(input, error);
    return error ? 0 : static_cast<long long>(size);
}

void WarnIfEmpty(const std::string& input, const LogReport& r) {
    if (r.epochs == 0 && r.ephemerides == 0) {
        std::fprintf(stderr, "kestrel: warning: %s gave no epoch and no ephemeris: is it a NavCom log?\n",
                     ShownName(input).c_str());
    }
}

std::string ResultText(const LogReport& r) {
    if (r.status == kExitOk) return r.summary;
    return "failed: " + (r.error.empty() ? r.summary : r.error);
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
        // Its own process group: a Ctrl-C at the terminal reaches the batch, which asks each
        // worker once to stop.
        setpgid(0, 0);
        std::signal(SIGINT, SIG_DFL);
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
        WriteAll(report[1], Serialise(r));
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

// The file of a log's messages with --log-files: NAME.log in the output folder or beside the
// log; empty (with a note) when that would be the log itself.
std::string MessagesFileOf(const std::string& input, const BatchOptions& options) {
    const fs::path folder = options.logDirectory.empty() ? fs::path(input).parent_path()
                                                         : fs::path(options.logDirectory);
    const std::string file = (folder / (LogStem(input) + ".log")).string();
    if (SameFile(ReadablePath(input), file)) {
        std::fprintf(stderr, "kestrel: the messages of %s stay on standard output: %s is the log itself\n",
                     input.c_str(), file.c_str());
        return {};
    }
    return file;
}

// A log's block of messages: on standard output under a line naming the log, or into its
// own file.
void EmitBlock(const std::string& input, const std::string& messages, const BatchOptions& options) {
    const std::string file = options.logFiles ? MessagesFileOf(input, options) : std::string();
    if (!file.empty()) {
        std::FILE* f = std::fopen(file.c_str(), "w");
        if (f != nullptr) {
            std::fwrite(messages.data(), 1, messages.size(), f);
            if (std::fclose(f) == 0) return;
        }
        std::fprintf(stderr, "kestrel: cannot write the messages of %s to %s\n", input.c_str(), file.c_str());
    }
    std::printf("==> %s <==\n%s", input.c_str(), messages.c_str());
    if (!messages.empty() && messages.back() != '\n') std::putchar('\n');
    std::fflush(stdout);
}

// With --log-files, a log run in this process writes its messages into its file: standard
// output points there while the log runs.
class MessagesToFile {
public:
    MessagesToFile(const std::string& input, const BatchOptions& options) {
        const std::string file = options.logFiles ? MessagesFileOf(input, options) : std::string();
        if (file.empty()) return;
        std::fflush(stdout);
        const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        saved_ = fd < 0 ? -1 : dup(STDOUT_FILENO);
        if (saved_ < 0 || dup2(fd, STDOUT_FILENO) < 0) {
            std::fprintf(stderr, "kestrel: cannot write the messages of %s to %s\n", input.c_str(), file.c_str());
            if (saved_ >= 0) close(saved_);
            saved_ = -1;
        }
        if (fd >= 0) close(fd);
    }
    ~MessagesToFile() {
        if (saved_ < 0) return;
        std::fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
    }
    MessagesToFile(const MessagesToFile&) = delete;
    MessagesToFile& operator=(const MessagesToFile&) = delete;

private:
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
    batchInterrupted = 0;
    auto previous = std::signal(SIGINT, OnBatchInterrupt);
    std::vector<Worker> running;
    std::size_t next = 0;
    long long finishedBytes = 0;
    bool stopAsked = false;

    while (next < inputs.size() || !running.empty()) {
        if (batchInterrupted && !stopAsked) {
            // Each worker is asked once to stop: it finishes its chunk and closes its files.
            for (const Worker& w : running) kill(w.pid, SIGINT);
            stopAsked = true;
        }
        while (!stopAsked && next < inputs.size() && static_cast<int>(running.size()) < options.jobs) {
            Worker w;
            w.index = next;
            if (!StartWorker(w, inputs[next], run)) {
                reports[next].status = kExitFailure;
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
        if (!fds.empty()) poll(fds.data(), fds.size(), kPollMilliseconds);
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
                } while (got < 0 && errno == EINTR && ending && !batchInterrupted);
                if (got == w.pid) w.exited = true;
            }
            if (!w.exited || w.outFd >= 0 || w.reportFd >= 0) {
                bytesDone += w.bytesRead;
                ++it;
                continue;
            }
            if (!Parse(w.report, r, read)) {
                r.status = kExitFailure;
                r.error = WIFSIGNALED(w.waitStatus)
                              ? std::string("the worker ended on signal ") + std::to_string(WTERMSIG(w.waitStatus))
                              : "the worker ended without a report";
            }
            reports[w.index] = r;
            finishedBytes += sizes[w.index];
            display.Clear();
            EmitBlock(inputs[w.index], w.out, options);
            WarnIfEmpty(inputs[w.index], r);
            display.Finished(inputs[w.index], r);
            it = running.erase(it);
        }
        display.Update(bytesDone);
    }
    display.Clear();
    std::signal(SIGINT, previous);
    return batchInterrupted ? kExitInterrupted : kExitOk;
}

}  // namespace

void AddBatchOptions(CLI::App& sub, BatchArgs& args) {
    sub.add_option("-d,--directory", args.directory, "folder of the outputs (made when missing)")->type_name("DIR");
    sub.add_flag("-r,--recursive", args.recursive, "take the NavCom logs found in the folders named, at any depth");
    sub.add_option("-j,--jobs", args.jobs, "worker processes (default: one per processor; 1 runs the logs in turn)")
        ->type_name("N")
        ->check(WholeNumberValidator(1, kMostJobs));
    sub.add_flag("--log-files", args.logFiles, "each log's messages to DIR/NAME.log instead of standard output");
    sub.add_flag("--skip-existing", args.skipExisting, "leave out logs whose outputs exist and are newer");
}

BatchOptions MakeBatchOptions(const BatchArgs& args, bool quiet) {
    BatchOptions batch;
    batch.jobs = args.jobs > 0 ? args.jobs : DefaultJobs();
    batch.quiet = quiet;
    batch.logFiles = args.logFiles;
    batch.logDirectory = args.directory;
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

bool NewerThan(const std::string& output, const std::string& input) {
    std::error_code e1;
    std::error_code e2;
    const auto out = fs::last_write_time(output, e1);
    const auto in = fs::last_write_time(input, e2);
    return !e1 && !e2 && out >= in;
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

int RunBatch(const std::vector<std::string>& inputs, const BatchOptions& options, const LogRunner& run,
             std::vector<LogReport>* reportsOut) {
    std::vector<LogReport> reports(inputs.size());
    int status = kExitOk;
    if (RunsInTurn(options, inputs.size())) {
        // In this process, one after the other, each as a single run.
        for (std::size_t i = 0; i < inputs.size(); ++i) {
            {
                MessagesToFile messages(inputs[i], options);
                reports[i] = run(inputs[i]);
            }
            WarnIfEmpty(inputs[i], reports[i]);
            if (reports[i].status == kExitInterrupted) {
                status = kExitInterrupted;
                break;
            }
        }
    } else {
        status = RunInWorkers(inputs, options, run, reports);
    }

    std::size_t failed = 0;
    for (const LogReport& r : reports) failed += r.status != kExitOk ? 1 : 0;
    if (failed > 0 && inputs.size() > 1) {
        std::fprintf(stderr, "kestrel: %zu of %zu logs failed:\n", failed, inputs.size());
        for (std::size_t i = 0; i < inputs.size(); ++i) {
            if (reports[i].status != kExitOk) {
                std::fprintf(stderr, "  %s: %s\n", inputs[i].c_str(),
                             reports[i].error.empty() ? "not run" : reports[i].error.c_str());
            }
        }
    }
    if (reportsOut != nullptr) *reportsOut = reports;
    if (status == kExitInterrupted) return status;
    if (failed == 0) return kExitOk;
    // A single log keeps its own status (2 for its arguments, 130 for Ctrl-C).
    return inputs.size() == 1 ? reports[0].status : kExitFailure;
}

}  // namespace kestrel::cli
