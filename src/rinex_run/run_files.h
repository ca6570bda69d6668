// SPDX-License-Identifier: BSD-2-Clause
// The files of a RINEX run: outputs written under a temporary name in their final folder and
// renamed when whole, and scratch files that live only while open.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

namespace kestrel {

constexpr std::size_t kWriteBufferBytes = 1 << 20;

// The folder of a path ("." for a bare name).
std::string DirectoryOf(const std::string& path);
// `name` in `directory` (empty or ".": the name alone).
std::string JoinPath(const std::string& directory, const std::string& name);

// A scratch file in `directory` that lives only as long as it is open: unlinked as soon as
// made. Null when none can be made there.
std::FILE* OpenScratch(const std::string& directory);

// Closes a scratch file when it goes.
struct ScratchFile {
    std::FILE* file = nullptr;
    ScratchFile() = default;
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;
    ~ScratchFile() {
        if (file != nullptr) std::fclose(file);
    }
};

// An output written under a temporary name in its final folder and renamed when whole; the
// temporary is removed when the owner goes without renaming it.
class OutputFile {
public:
    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile() { Discard(); }

    bool Create(const std::string& directory);
    void Write(const std::string& text);
    // Closes the file; false when any byte was lost.
    bool Finish();
    // Gives the finished file its final name; false (and the file gone) when it cannot.
    bool Rename(const std::string& finalPath);
    void Discard();

private:
    std::FILE* file_ = nullptr;
    std::string temp_;
};

}  // namespace kestrel
