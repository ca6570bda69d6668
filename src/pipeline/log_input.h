// SPDX-License-Identifier: BSD-2-Clause
// A log named by a command: a file opened for reading, or standard input for "-".
#pragma once

#include <cstdio>
#include <string>

namespace kestrel {

class LogInput {
public:
    explicit LogInput(const std::string& path);
    ~LogInput();
    LogInput(const LogInput&) = delete;
    LogInput& operator=(const LogInput&) = delete;
    // Null when the file cannot be opened; then openError() is the system's errno value.
    std::FILE* file() const { return file_; }
    int openError() const { return openError_; }
    // What messages call the log: its path, or "standard input" for "-".
    const std::string& name() const { return name_; }
    static std::string NameOf(const std::string& path);

private:
    std::FILE* file_ = nullptr;
    bool owned_ = false;
    std::string name_;
    int openError_ = 0;
};

}  // namespace kestrel
