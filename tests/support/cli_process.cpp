// SPDX-License-Identifier: BSD-2-Clause
#include "support/cli_process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <map>
#include <set>

#include "support/test_files.h"

extern char** environ;

namespace kestrel::test {

const char* CliPath() { return std::getenv("KESTREL_CLI"); }

namespace {

// Options whose value names a file the command writes: the value is no input of the run.
const std::set<std::string> kOutputOptions = {"-o", "--output", "--obs", "-n", "--nav", "--json", "--plot", "--status"};

// The regular files a command was given to read, each with a digest of its bytes and its
// status change time, taken before the run.
struct InputSnapshot {
    std::string path;
    std::size_t digest;
    std::size_t size;
    struct timespec changed;
};
std::map<pid_t, std::vector<InputSnapshot>> snapshots;

std::vector<InputSnapshot> SnapshotInputs(const std::vector<std::string>& args) {
    std::vector<InputSnapshot> inputs;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (i > 0 && kOutputOptions.count(args[i - 1]) != 0) continue;
        struct stat s;
        if (args[i].empty() || args[i][0] == '-' || stat(args[i].c_str(), &s) != 0 || !S_ISREG(s.st_mode)) continue;
        const std::string bytes = ReadFileText(args[i]);
        inputs.push_back({args[i], std::hash<std::string>{}(bytes), bytes.size(), s.st_ctim});
    }
    return inputs;
}

// No file given to read was written, replaced or removed by the run.
void ExpectInputsUnchanged(const std::vector<InputSnapshot>& inputs) {
    for (const InputSnapshot& before : inputs) {
        struct stat s;
        ASSERT_EQ(stat(before.path.c_str(), &s), 0) << "the command removed its input " << before.path;
        const std::string bytes = ReadFileText(before.path);
        EXPECT_EQ(bytes.size(), before.size) << "the command changed its input " << before.path;
        EXPECT_EQ(std::hash<std::string>{}(bytes), before.digest) << "the command changed its input " << before.path;
        EXPECT_TRUE(s.st_ctim.tv_sec == before.changed.tv_sec && s.st_ctim.tv_nsec == before.changed.tv_nsec)
            << "the command wrote to or renamed onto its input " << before.path;
    }
}

int DecodeStatus(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

}  // namespace

pid_t StartCli(const std::vector<std::string>& args, const std::string& outPath, const std::string& errPath,
               int* errPipe, const std::string& inPath, bool errTerminal) {
    std::vector<std::string> argv = {CliPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (auto& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!inPath.empty()) posix_spawn_file_actions_addopen(&actions, 0, inPath.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int fds[2] = {-1, -1};
    if (errPipe != nullptr && errTerminal) {
        // The command's standard error is the terminal end; the master end is read here.
        fds[0] = posix_openpt(O_RDWR | O_NOCTTY);
        if (fds[0] < 0 || grantpt(fds[0]) != 0 || unlockpt(fds[0]) != 0) return -1;
        posix_spawn_file_actions_addopen(&actions, 2, ptsname(fds[0]), O_RDWR | O_NOCTTY, 0);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
    } else if (errPipe != nullptr) {
        if (pipe(fds) != 0) return -1;
        posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        posix_spawn_file_actions_addclose(&actions, fds[1]);
    } else {
        posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    std::vector<InputSnapshot> inputs = SnapshotInputs(args);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, CliPath(), &actions, nullptr, cargv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (errPipe != nullptr) {
        if (fds[1] >= 0) close(fds[1]);
        *errPipe = fds[0];
    }
    if (rc != 0) return -1;
    snapshots[pid] = std::move(inputs);
    return pid;
}

int WaitCli(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    ExpectInputsUnchanged(snapshots[pid]);
    snapshots.erase(pid);
    return DecodeStatus(status);
}

int WaitCliFor(pid_t pid, double seconds) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    int status = 0;
    for (;;) {
        const pid_t got = waitpid(pid, &status, WNOHANG);
        if (got == pid) break;
        if (std::chrono::steady_clock::now() > until) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            snapshots.erase(pid);
            return -1;
        }
        usleep(10000);
    }
    ExpectInputsUnchanged(snapshots[pid]);
    snapshots.erase(pid);
    return DecodeStatus(status);
}

CliRun RunCliWithFileLimit(const std::string& dir, const std::vector<std::string>& args, long bytes) {
    CliRun run;
    const std::string out = dir + "/stdout.txt";
    const std::string err = dir + "/stderr.txt";
    std::vector<std::string> argv = {CliPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (auto& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    const std::vector<InputSnapshot> inputs = SnapshotInputs(args);
    const pid_t pid = fork();
    if (pid == 0) {
        const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (o < 0 || e < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0) _exit(127);
        const rlimit limit{static_cast<rlim_t>(bytes), static_cast<rlim_t>(bytes)};
        setrlimit(RLIMIT_FSIZE, &limit);
        execv(CliPath(), cargv.data());
        _exit(127);
    }
    if (pid < 0) return run;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.status = DecodeStatus(status);
    ExpectInputsUnchanged(inputs);
    run.out = ReadFileText(out);
    run.err = ReadFileText(err);
    return run;
}

CliRun RunCli(const std::string& dir, const std::vector<std::string>& args, const std::string& inPath) {
    CliRun run;
    const std::string out = dir + "/stdout.txt";
    const std::string err = dir + "/stderr.txt";
    const pid_t pid = StartCli(args, out, err, nullptr, inPath);
    if (pid < 0) return run;
    run.status = WaitCli(pid);
    run.out = ReadFileText(out);
    run.err = ReadFileText(err);
    return run;
}

bool LastLineIs(const std::string& text, const std::string& prefix, const std::string& suffix) {
    if (text.empty() || text.back() != '\n') return false;
    const std::size_t start = text.rfind('\n', text.size() - 2);
    const std::string line = text.substr(start == std::string::npos ? 0 : start + 1, text.size() - 1 - (start + 1));
    if (line.size() < prefix.size() + suffix.size() + 1 || line.rfind(prefix, 0) != 0) return false;
    if (line.compare(line.size() - suffix.size(), suffix.size(), suffix) != 0) return false;
    const std::string number = line.substr(prefix.size(), line.size() - prefix.size() - suffix.size());
    return number.find_first_not_of("0123456789.") == std::string::npos;
}

bool AwaitText(int fd, const std::string& text, std::string& seen) {
    while (seen.find(text) == std::string::npos) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, kCliWaitSeconds * 1000) <= 0) return false;
        char chunk[256];
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n <= 0) return false;
        seen.append(chunk, static_cast<std::size_t>(n));
    }
    return true;
}

int OpenFifoForWriting(const std::string& path) {
    for (int tries = 0; tries < kCliWaitSeconds * 100; ++tries) {
        const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) {
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
            return fd;
        }
        if (errno != ENXIO) return -1;
        usleep(10000);
    }
    return -1;
}

bool WriteAll(int fd, const uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

FifoFeeder::FifoFeeder(const std::string& path, std::vector<uint8_t> data)
    : path_(path), data_(std::move(data)) {
    // A write to a FIFO whose reader has gone fails instead of ending the test.
    std::signal(SIGPIPE, SIG_IGN);
    thread_ = std::thread([this] { Run(); });
}

FifoFeeder::~FifoFeeder() { Stop(); }

void FifoFeeder::Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

void FifoFeeder::Run() {
    constexpr std::size_t kPiece = 512;            // bytes per write
    constexpr useconds_t kPauseMicroseconds = 5000;  // between writes
    int fd = -1;
    while (!stop_ && fd < 0) {
        fd = open(path_.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd < 0) usleep(kPauseMicroseconds);
    }
    if (fd < 0) return;
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    connected_ = true;
    std::size_t at = 0;
    while (!stop_) {
        if (!paused_) {
            const std::size_t n = std::min(kPiece, data_.size() - at);
            if (write(fd, data_.data() + at, n) < 0) break;  // the reader is gone
            at = (at + n) % data_.size();
        }
        usleep(kPauseMicroseconds);
    }
    close(fd);
}

}  // namespace kestrel::test
