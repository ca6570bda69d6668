// SPDX-License-Identifier: BSD-2-Clause
// `kestrel`: converts NavCom receiver logs with the Kestrel library, tells NavCom logs from
// other files, and summarises OBX observation files.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <unistd.h>

#include "commands.h"
#include "files/output_file.h"
#include "help.h"
#include "kestrel/kestrel.h"
#include "kestrel_build_commit.h"
#include "session.h"

namespace kestrel::cli {
namespace {

constexpr const char* kFooter =
    "Exit status: 0 on success; 1 when a conversion or a check failed (a log that gives no epoch "
    "and no ephemeris, an output that cannot be written, standard output that cannot be written); "
    "2 for bad arguments, which are named; 130 when Ctrl-C stopped a conversion (what was "
    "converted so far is kept, the files closed and valid, dated before their log); 143 and 129 "
    "when SIGTERM and SIGHUP stopped it (nothing unfinished is kept). No temporary file is left. "
    "kestrel stream is a service: SIGTERM and SIGHUP close its open period as complete and end it "
    "with 0.";

// "kestrel 1.0.0", followed by " (git COMMIT)" when the build knows its commit.
std::string VersionLine() {
    std::string line = std::string("kestrel ") + KESTREL_VERSION;
    if (KESTREL_BUILD_COMMIT[0] != '\0') line += std::string(" (git ") + KESTREL_BUILD_COMMIT + ")";
    return line;
}

// "convert, rinex, qc, detect, inspect or stream".
std::string CommandList() {
    const std::vector<std::string> names = CommandNames();
    std::string list;
    for (std::size_t i = 0; i < names.size(); ++i) list += (i == 0 ? "" : i + 1 == names.size() ? " or " : ", ") + names[i];
    return list;
}

int RunDetect(const std::vector<std::string>& args) {
    if (!StandardInputAtMostOnce(args, "detect")) return kExitUsage;
    bool allNavCom = true;
    for (const std::string& arg : args) {
        const std::string path = ReadablePath(arg);
        const std::string name = ShownName(arg);
        // AutoDetect says 0 for a file it cannot open; tell the user which it was.
        std::FILE* probe = std::fopen(path.c_str(), "rb");
        if (probe == nullptr) {
            std::printf("%s: cannot open: %s\n", name.c_str(), std::strerror(errno));
            allNavCom = false;
            continue;
        }
        std::fclose(probe);
        const bool navcom = AutoDetect(path.c_str()) == 1;
        std::printf("%s: %s\n", name.c_str(), navcom ? "NavCom binary" : "not NavCom binary");
        allNavCom = allNavCom && navcom;
    }
    return allNavCom ? kExitOk : kExitFailure;
}

}  // namespace

void PrintError(const std::string& text) {
    // Messages written before the error come before it, also where standard output is buffered.
    std::fflush(stdout);
    std::fprintf(stderr, "kestrel: %s\n", text.c_str());
}

Runner AddDetectCommand(CLI::App& app) {
    static std::vector<std::string> paths;
    CLI::App* sub = app.add_subcommand(
        "detect",
        "Tells for each FILE whether it holds NavCom binary data: at least four well-formed "
        "MEASUREMENT frames in its first 8000 bytes. Exit status 0 when all do.");
    sub->add_option("FILE", paths, "files to look at; - reads standard input")->required();
    return [] { return RunDetect(paths); };
}

}  // namespace kestrel::cli

namespace {

// Ends the command: what it printed must have reached standard output (a full disk, a closed
// pipe's reader), or the status says it failed.
int Finish(int status) {
    using namespace kestrel::cli;
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        // The stream keeps no reason of a write that failed earlier: a line end written past it
        // meets the same failure and gives the system's reason.
        if (errno == 0 && write(STDOUT_FILENO, "\n", 1) == 1) errno = EIO;
        const int error = errno == 0 ? EIO : errno;
        std::fprintf(stderr, "kestrel: cannot write to standard output: %s\n", kestrel::files::Reason(error).c_str());
        return status == kExitOk ? kExitFailure : status;
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace kestrel::cli;
    // Ctrl-C, SIGTERM and SIGHUP never leave a temporary file, whatever is running.
    kestrel::files::InstallSignalCleanup();
    CLI::App app("kestrel converts logs of NavCom GNSS receivers and checks what they hold.", "kestrel");
    UseHelpLayout(app);
    app.footer(kFooter);
    app.set_version_flag("-V,--version", VersionLine(), "print the version and exit");
    app.require_subcommand(1);
    std::map<std::string, Runner> runners;
    runners["convert"] = AddConvertCommand(app);
    runners["rinex"] = AddRinexCommand(app);
    runners["qc"] = AddQcCommand(app);
    runners["rtcm"] = AddRtcmCommand(app);
    runners["detect"] = AddDetectCommand(app);
    runners["inspect"] = AddInspectCommand(app);
    runners["stream"] = AddStreamCommand(app);

    if (argc < 2) {
        std::fputs(HelpText(app, "")->c_str(), stderr);
        return kExitUsage;
    }
    const std::string first = argv[1];
    if (first == "help") {
        // "kestrel help" is the overview, "kestrel help COMMAND" the command's help.
        const std::string command = argc > 2 ? argv[2] : "";
        const std::optional<std::string> text = HelpText(app, command);
        if (argc > 3 || !text) {
            PrintError(argc > 3 ? "help takes one COMMAND (see kestrel --help)"
                                : "no command '" + command + "'; the commands are " + CommandList() +
                                      " (see kestrel --help)");
            return kExitUsage;
        }
        std::fputs(text->c_str(), stdout);
        return Finish(kExitOk);
    }
    if (first.empty() || (first[0] != '-' && runners.count(first) == 0)) {
        PrintError("unknown command '" + first + "'; the commands are " + CommandList() + " (see kestrel --help)");
        return kExitUsage;
    }
    if (first[0] == '-' && first != "-h" && first != "--help" && first != "-V" && first != "--version") {
        PrintError("unknown option " + first + (first == "-v" ? "; the version is -V or --version" : "") +
                   " (see kestrel --help)");
        return kExitUsage;
    }
    // The subcommand named, for the help and the errors.
    std::string command;
    for (int i = 1; i < argc && command.empty(); ++i) {
        if (runners.count(argv[i]) != 0) command = argv[i];
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::fputs(HelpText(app, command)->c_str(), stdout);
        return Finish(kExitOk);
    } catch (const CLI::CallForVersion&) {
        std::printf("%s\n", VersionLine().c_str());
        return Finish(kExitOk);
    } catch (const CLI::ParseError& error) {
        PrintError(PlainParseError(error, command));
        return kExitUsage;
    }
    for (const auto& [name, run] : runners) {
        if (app.got_subcommand(name)) return Finish(run());
    }
    return kExitUsage;
}
