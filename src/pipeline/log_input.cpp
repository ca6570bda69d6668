// SPDX-License-Identifier: BSD-2-Clause
#include "pipeline/log_input.h"

#include <cerrno>

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
    errno = 0;
    file_ = std::fopen(path.c_str(), "rb");
    owned_ = file_ != nullptr;
    if (file_ == nullptr) openError_ = errno != 0 ? errno : EIO;
}

LogInput::~LogInput() {
    if (owned_) std::fclose(file_);
}

std::string LogInput::NameOf(const std::string& path) { return path == kStandardInput ? kStandardInputName : path; }

}  // namespace kestrel
