#include "support/cli_run.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

extern char** environ;

namespace kestrel::test {

const char* CliPath() { return std::getenv("KESTREL_CLI"); }

pid_t StartCli(const std::vector<std::string>& args, const std::string& outPath, const std::string& errPath,
               int* errPipe) {
    std::vector<std::string> argv = {CliPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (auto& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int fds[2] = {-1, -1};
    if (errPipe != nullptr) {
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
        close(fds[1]);
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

CliRun RunCli(const ScratchDir& dir, const std::vector<std::string>& args) {
    CliRun run;
    const pid_t pid = StartCli(args, dir.file("stdout.txt"), dir.file("stderr.txt"));
    if (pid < 0) return run;
    run.status = WaitCli(pid);
    run.out = ReadFileText(dir.file("stdout.txt"));
    run.err = ReadFileText(dir.file("stderr.txt"));
    return run;
}

}  // namespace kestrel::test
