// SPDX-License-Identifier: BSD-2-Clause
#include "support/receiver_sim.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "support/cli_process.h"

namespace kestrel::test {
namespace {

int Status(int raw) { return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw); }

}  // namespace

const char* ReceiverSim::Path() {
    if (const char* path = std::getenv("KESTREL_SIM")) return path;
#ifdef KESTREL_SIM_PATH
    return KESTREL_SIM_PATH;
#else
    return nullptr;
#endif
}

bool ReceiverSim::Start(const std::vector<std::string>& args) {
    if (Path() == nullptr) return false;
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return false;
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(pipeFds[1], STDOUT_FILENO);
        std::vector<char*> argv{const_cast<char*>(Path())};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(Path(), argv.data());
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    out_ = pipeFds[0];
    if (pid_ < 0) return false;
    std::string seen;
    if (!AwaitText(out_, "\n", seen)) return false;
    input_ = seen.substr(0, seen.find('\n'));
    return !input_.empty();
}

ReceiverSim::~ReceiverSim() {
    Stop();
    if (out_ >= 0) ::close(out_);
}

bool ReceiverSim::Ended(int& status) {
    if (pid_ <= 0) return true;
    int raw = 0;
    if (::waitpid(pid_, &raw, WNOHANG) != pid_) return false;
    pid_ = -1;
    status = Status(raw);
    return true;
}

int ReceiverSim::Wait() {
    if (pid_ <= 0) return -1;
    int raw = 0;
    ::waitpid(pid_, &raw, 0);
    pid_ = -1;
    return Status(raw);
}

void ReceiverSim::Stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    Wait();
}

}  // namespace kestrel::test
