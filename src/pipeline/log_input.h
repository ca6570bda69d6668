// SPDX-License-Identifier: BSD-2-Clause
// A log named by a command: a file opened for reading, or standard input for "-", and the one
// test of whether an output would overwrite it.
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
    // Null when the file cannot be opened.
    std::FILE* file() const { return file_; }
    // What messages call the log: its path, or "standard input" for "-".
    const std::string& name() const { return name_; }
    static std::string NameOf(const std::string& path);

private:
    std::FILE* file_ = nullptr;
    bool owned_ = false;
    std::string name_;
};

// True when both paths name one existing file: the same device and inode, whatever the names.
bool SameExistingFile(const std::string& a, const std::string& b);

// True when writing `output` would overwrite the log `input`. Standard input and an empty
// output never do.
bool WouldOverwriteLog(const std::string& input, const std::string& output);

}  // namespace kestrel
