// SPDX-License-Identifier: BSD-2-Clause
#include "support/cli_process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "support/test_files.h"

extern char** environ;

namespace kestrel::test {

const char* CliPath() { return std::getenv("KESTREL_CLI"); }

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
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, CliPath(), &actions, nullptr, cargv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (errPipe != nullptr) {
        if (fds[1] >= 0) close(fds[1]);
        *errPipe = fds[0];
    }
    return rc == 0 ? pid : -1;
}

int WaitCli(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
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

}  // namespace kestrel::test
