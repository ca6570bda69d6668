// SPDX-License-Identifier: BSD-2-Clause
// Runs the receiver simulator (named by KESTREL_SIM, or the one of the build) for tests: started with its arguments,
// the input it announces read from its first line of output, waited for or stopped.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace kestrel::test {

class ReceiverSim {
public:
    // The simulator's path: KESTREL_SIM, else the build's; null when there is none.
    static const char* Path();

    // Starts it; false when it could not start or announced no input.
    bool Start(const std::vector<std::string>& args);
    ~ReceiverSim();

    // What it announced: serial:DEVICE or tcp:ADDRESS:PORT.
    const std::string& input() const { return input_; }
    pid_t pid() const { return pid_; }
    // True once it has ended (not waiting); its exit status in `status`.
    bool Ended(int& status);
    // Waits for its end: its exit status, or 128 + the signal that ended it.
    int Wait();
    void Stop();

private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string input_;
};

}  // namespace kestrel::test
