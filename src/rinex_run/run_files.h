// SPDX-License-Identifier: BSD-2-Clause
// The scratch files of a RINEX run, which live only while open, the paths of its files, and
// where each file's text goes (RunOutput: through files::OutputFile, or standard output).
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>

#include "files/output_file.h"
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

// Where the text of one of the run's files goes: an output file (files::OutputFile: a
// temporary beside its final name, renamed when whole), or standard output; compressed on the
// way when asked.
class RunOutput {
public:
    RunOutput() = default;
    RunOutput(const RunOutput&) = delete;
    RunOutput& operator=(const RunOutput&) = delete;

    // The file `finalPath`; false with reason() when its temporary cannot be made.
    bool Create(const std::string& finalPath, files::Existing existing, bool gzip);
    // Standard output, which stays open.
    void CreateStandardOutput(bool gzip);
    // False once a byte was lost.
    bool Write(const std::string& text);
    // Ends the text (the compressed stream's trailer, standard output flushed) and gives a
    // file its final name. False with reason() when a byte was lost or the name cannot be
    // given; nothing is left under a temporary name.
    bool Commit();

    bool replacing() const { return file_.replacing(); }
    // The system's words for what failed.
    const std::string& reason() const { return reason_.empty() ? file_.reason() : reason_; }

private:
    bool EndText();

    files::OutputFile file_;
    std::FILE* stream_ = nullptr;
    std::unique_ptr<GzipWriter> gzip_;
    bool standardOutput_ = false;
    std::string reason_;
};

}  // namespace kestrel
