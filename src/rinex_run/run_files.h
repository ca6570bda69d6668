// SPDX-License-Identifier: BSD-2-Clause
// The files of a RINEX run: outputs written under a temporary name in their final folder and
// renamed when whole, and scratch files that live only while open.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>

#include "gzip/gzip_writer.h"

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

// An output written under a temporary name in its final folder and renamed when whole, or to
// standard output; compressed on the way when asked. The temporary is removed when the owner
// goes without renaming it.
class OutputFile {
public:
    OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();

    bool Create(const std::string& directory, bool gzip = false);
    // Writes to standard output, which stays open; there is nothing to rename.
    void CreateStandardOutput(bool gzip);
    void Write(const std::string& text);
    // Closes the file (flushes standard output); false when any byte was lost.
    bool Finish();
    // Gives the finished file its final name; false (and the file gone) when it cannot.
    bool Rename(const std::string& finalPath);
    void Discard();

private:
    std::FILE* file_ = nullptr;
    std::string temp_;
    std::unique_ptr<GzipWriter> gzip_;
    bool toStandardOutput_ = false;
};

}  // namespace kestrel
