// SPDX-License-Identifier: BSD-2-Clause
#include "outputs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <map>

#include "batch.h"
#include "commands.h"
#include "files/output_file.h"
#include "session.h"

namespace kestrel::cli {
namespace {

constexpr const char* kMessagesExtension = ".messages";

}  // namespace

std::vector<std::string> DistinctInputs(const std::vector<std::string>& inputs, int& refused) {
    std::vector<std::string> distinct;
    std::vector<std::pair<files::FileId, std::string>> seen;
    for (const std::string& input : inputs) {
        const auto id = input == "-" ? std::nullopt : files::IdOf(input);
        const std::string* first = nullptr;
        for (const auto& [known, name] : seen) {
            if (id && known == *id) first = &name;
        }
        if (first != nullptr) {
            PrintError("LOG '" + input + "' is the same file as '" + *first + "', named before; run once");
            ++refused;
            continue;
        }
        if (id) {
            seen.emplace_back(*id, input);
            files::ProtectInput(input);
        }
        distinct.push_back(input);
    }
    return distinct;
}

std::string OverwritesInput(const std::string& output) {
    const std::string input = files::ProtectedInputAt(output);
    if (input.empty()) return {};
    return "the output " + output + " is the LOG '" + input + "': it would be overwritten; choose another name";
}

Admission Admit(std::map<std::string, std::string>& claimed, const std::string& input,
                const std::vector<std::string>& outputs, const std::string& messages) {
    std::vector<std::string> all = outputs;
    if (!messages.empty()) all.push_back(messages);
    for (const std::string& output : all) {
        const std::string refusal = OverwritesInput(output);
        if (!refusal.empty()) {
            PrintError(refusal + "; " + input + " not converted");
            return Admission::kBadArgument;
        }
    }
    if (!ClaimOutputs(claimed, input, all)) return Admission::kRefused;
    const std::string why = messages.empty() ? std::string() : files::WhyUnwritable(messages);
    if (!why.empty()) {
        PrintError("cannot write " + messages + ": " + why + "; " + input + " not converted");
        return Admission::kRefused;
    }
    return Admission::kAdmitted;
}

std::string NamesFolder(const std::string& option, const std::string& value) {
    std::error_code error;
    if (value.empty() || (value.back() != '/' && !std::filesystem::is_directory(value, error))) return {};
    return option + ": '" + value + "' is a folder; give it with -d for the outputs to go into it";
}

std::string UnreadableInput(const std::string& input) {
    if (input == "-") return {};
    struct stat s;
    if (stat(input.c_str(), &s) != 0) return "Error: Unable to open " + input + ": " + files::Reason(errno);
    if (S_ISDIR(s.st_mode)) return "Error: Unable to read " + input + ": " + files::Reason(EISDIR);
    // A FIFO or a device is not opened to find out: a FIFO's writer (a receiver's relay) whose
    // only reader closes gets a broken pipe before the conversion opens it again.
    if (!S_ISREG(s.st_mode)) {
        if (access(input.c_str(), R_OK) == 0) return {};
        return "Error: Unable to open " + input + ": " + files::Reason(errno);
    }
    const int fd = open(input.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return "Error: Unable to open " + input + ": " + files::Reason(errno);
    close(fd);
    return {};
}

std::string NothingDecoded(const std::string& input) {
    std::error_code error;
    const bool empty = input != "-" && std::filesystem::file_size(input, error) == 0 && !error;
    return "Error: " + (input == "-" ? std::string("standard input") : input) +
           (empty ? " is empty: it holds" : " holds") +
           " no NavCom measurement or ephemeris frame" + (empty ? "" : ": is it a NavCom log?");
}

void AnnounceReplaced(const std::string& path) {
    std::fflush(stdout);
    std::fprintf(stderr, "kestrel: note: replaced the existing %s\n", path.c_str());
}

std::string MessagesFileOf(const std::string& input, const std::string& directory) {
    const std::filesystem::path folder =
        directory.empty() ? std::filesystem::path(input).parent_path() : std::filesystem::path(directory);
    return (folder / (LogStem(input) + kMessagesExtension)).string();
}

}  // namespace kestrel::cli
