// SPDX-License-Identifier: BSD-2-Clause
// The subcommands of the `kestrel` command. Each adds itself to the command line and returns
// what runs it once it has been chosen and its arguments parsed; that returns the process
// exit status.
#pragma once

#include <functional>
#include <string>

namespace CLI {
class App;
}

namespace kestrel::cli {

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
// A run stopped by a signal exits 128 + the signal: 130 for Ctrl-C, 143 for SIGTERM, 129 for
// SIGHUP (session.h).

using Runner = std::function<int()>;

Runner AddConvertCommand(CLI::App& app);
Runner AddDetectCommand(CLI::App& app);
Runner AddInspectCommand(CLI::App& app);
Runner AddRinexCommand(CLI::App& app);
Runner AddQcCommand(CLI::App& app);
Runner AddRtcmCommand(CLI::App& app);
Runner AddStreamCommand(CLI::App& app);

// Prints "kestrel: <text>" on standard error.
void PrintError(const std::string& text);

}  // namespace kestrel::cli
