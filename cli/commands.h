// The subcommands of the `kestrel` command. Each takes the arguments after its name and
// returns the process exit status.
#pragma once

#include <string>
#include <vector>

namespace kestrel::cli {

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;  // as a shell reports a command ended by Ctrl-C

int RunConvert(const std::vector<std::string>& args);
int RunDetect(const std::vector<std::string>& args);
int RunInspect(const std::vector<std::string>& args);

// Prints "kestrel: <text>" on standard error.
void PrintError(const std::string& text);

}  // namespace kestrel::cli
