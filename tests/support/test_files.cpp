// SPDX-License-Identifier: BSD-2-Clause
#include "support/test_files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

#include <unistd.h>

namespace kestrel::test {

namespace fs = std::filesystem;

ScratchDir::ScratchDir() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "kestrel";
    for (char& c : name) {
        if (c == '/') c = '_';
    }
    // A test's second and later folders get a number of their own; the process id keeps
    // two test runs on one machine (two builds, say) out of each other's folders.
    static std::map<std::string, int> made;
    if (const int n = made[name]++; n > 0) name += "-" + std::to_string(n + 1);
    fs::path dir = fs::temp_directory_path() / ("kestrel-test-" + std::to_string(getpid()) + "-" + name);
    fs::remove_all(dir);
    fs::create_directories(dir);
    path_ = dir.string();
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

std::string DataPath(const std::string& name) { return std::string(KESTREL_TEST_DATA_DIR) + "/" + name; }

std::vector<uint8_t> ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string ReadFileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

bool FileExists(const std::string& path) { return fs::exists(path); }

}  // namespace kestrel::test
