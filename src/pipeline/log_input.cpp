// SPDX-License-Identifier: BSD-2-Clause
#include "pipeline/log_input.h"

#include <filesystem>
#include <system_error>

namespace kestrel {
namespace {

constexpr const char* kStandardInput = "-";
constexpr const char* kStandardInputName = "standard input";

}  // namespace

LogInput::LogInput(const std::string& path) : name_(NameOf(path)) {
    if (path == kStandardInput) {
        file_ = stdin;
        return;
    }
    file_ = std::fopen(path.c_str(), "rb");
    owned_ = file_ != nullptr;
}

LogInput::~LogInput() {
    if (owned_) std::fclose(file_);
}

std::string LogInput::NameOf(const std::string& path) { return path == kStandardInput ? kStandardInputName : path; }

bool SameExistingFile(const std::string& a, const std::string& b) {
    std::error_code error;
    return std::filesystem::equivalent(a, b, error) && !error;
}

bool WouldOverwriteLog(const std::string& input, const std::string& output) {
    return input != kStandardInput && !output.empty() && SameExistingFile(input, output);
}

}  // namespace kestrel
