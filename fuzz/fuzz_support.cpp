// SPDX-License-Identifier: BSD-2-Clause
#include "fuzz_support.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace kestrel::fuzz {
namespace {

namespace fs = std::filesystem;

struct Scratch {
    std::string path;
    ~Scratch() {
        std::error_code ignored;
        if (!path.empty()) fs::remove_all(path, ignored);
    }
};

}  // namespace

const std::string& ScratchFolder() {
    static Scratch scratch = [] {
        std::error_code error;
        const fs::path shm = "/dev/shm";
        const fs::path base = fs::is_directory(shm, error) ? shm : fs::temp_directory_path();
        std::string pattern = (base / "kestrel-fuzz-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) Fail("cannot make a scratch folder under %s", base.c_str());
        return Scratch{pattern};
    }();
    return scratch.path;
}

void WriteBytes(const std::string& path, const uint8_t* data, std::size_t size) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) Fail("cannot create %s", path.c_str());
    const bool written = size == 0 || std::fwrite(data, 1, size, f) == size;
    if (std::fclose(f) != 0 || !written) Fail("cannot write %s", path.c_str());
}

OptionRecord OptionsFromByte(uint8_t byte) {
    OptionRecord options;
    options.flagEpochs = byte & 1;
    options.reportL2Slips = (byte >> 1) & 1;
    options.clockCorrection = (byte >> 2) & 1;
    options.verboseDecoder = (byte >> 3) & 1;
    return options;
}

void Fail(const char* format, ...) {
    std::fputs("fuzz check failed: ", stderr);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
    std::abort();
}

}  // namespace kestrel::fuzz
