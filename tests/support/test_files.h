// SPDX-License-Identifier: BSD-2-Clause
// File helpers for tests: a scratch folder per test, whole-file reads and writes, and the
// path of a file in tests/data.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestrel::test {

// A fresh, empty folder for the running test (removed when the object goes).
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string DataPath(const std::string& name);
std::vector<uint8_t> ReadFileBytes(const std::string& path);
std::string ReadFileText(const std::string& path);
void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);
bool FileExists(const std::string& path);

}  // namespace kestrel::test
