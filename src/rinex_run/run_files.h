// SPDX-License-Identifier: BSD-2-Clause
// The scratch files of a RINEX run, which live only while open, and the paths of its files.
// The outputs themselves go through files::OutputFile.
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

// Flushes `scratch`: 0 when everything written reached it, else `earlier` when set, else why
// not (errno). Null (a dry run's) is always whole.
int FlushScratch(std::FILE* scratch, int earlier);

// The system's errno of a failed write: EIO when the system gave none.
int ErrnoOrIo();

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

}  // namespace kestrel
