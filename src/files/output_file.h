// SPDX-License-Identifier: BSD-2-Clause
// The life of every file the command writes. An output is created under a temporary name in
// its final folder (".kestrel-<pid>-<n>" and the final name's extension), written, and renamed
// to its final name only when whole; abandoned, it leaves nothing. Every temporary of the
// process is registered, so that SIGINT, SIGTERM and SIGHUP remove them all before the process
// ends, whatever it was doing. Files registered as inputs are never written: no output is
// renamed onto one of them (same device and inode, whatever the names).
//
// A program may hold any number of outputs at once (a resident program its files of several
// periods, a conversion its pair of files) and commit or abandon each on its own.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdio>
#include <optional>
#include <string>

namespace kestrel::files {

// A file as the system knows it, whatever the name it is reached by.
struct FileId {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FileId& other) const { return device == other.device && inode == other.inode; }
};

// The file `path` names (symbolic links followed); none when it does not exist.
std::optional<FileId> IdOf(const std::string& path);

// True when both names exist and are one file.
bool SameFile(const std::string& a, const std::string& b);

// The operating system's words for an errno value: "Permission denied".
std::string Reason(int errorNumber);

// Registers `path` as an input of the run (nothing when it does not exist): no output is ever
// renamed onto it.
void ProtectInput(const std::string& path);
// The input registered for the file `path` names; empty when it is none.
std::string ProtectedInputAt(const std::string& path);
void ClearProtectedInputs();

// Why `finalPath` cannot be written as an output, in the system's words ("Is a directory",
// "No such file or directory", "Permission denied", "Read-only file system"); empty when it
// can. A file is made and removed in the final folder to find out.
std::string WhyUnwritable(const std::string& finalPath);
// Why no file can be made in `folder` (empty: the current folder); empty when one can.
std::string WhyFolderUnwritable(const std::string& folder);

// What Commit does when the final name already exists.
enum class Existing {
    kReplace,  // the new file takes the name; `replaced()` says it did
    kRefuse,   // the new file is removed and Commit fails; the existing file stays as it was
};

class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile();  // abandons a file not committed
    OutputFile(OutputFile&& other) noexcept;
    OutputFile& operator=(OutputFile&& other) noexcept;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Creates the empty temporary file beside `finalPath`. False with error() set when the
    // final name is a folder or an input, the folder takes no file, or the program is Ending().
    bool Create(const std::string& finalPath, Existing existing = Existing::kReplace);

    // Reserves a temporary name for a writer that creates the file itself (the plug-in): as
    // Create, but the temporary is `temporaryPath`, which lies in the final folder and whose
    // name starts with ".kestrel-" (see TemporaryNameBeside).
    bool CreateAt(const std::string& finalPath, const std::string& temporaryPath,
                  Existing existing = Existing::kReplace);

    // The stream to write through (opened on first use, fully buffered); null when not created.
    std::FILE* stream();

    // The file's descriptor, for a writer that must hand every byte to the operating system at
    // once (write(2), ftruncate(2); no buffer of the helper's in between): a live stream's raw
    // file. -1 when not created or once stream() or Write() has been used; one file takes one
    // of the two ways. Commit and Abandon close it.
    int descriptor() const { return stream_ == nullptr ? fd_ : -1; }

    // Writes all of `size` bytes; false (error() set) on the first failure, and every write
    // after it does nothing.
    bool Write(const void* data, std::size_t size);
    bool Write(const std::string& text) { return Write(text.data(), text.size()); }

    // Closes the file and gives it its final name (`finalPath`, or the one given to Create).
    // False with error() set, and the temporary removed, when a byte was lost, the name is an
    // input's, it exists and is refused, or the program is Ending().
    bool Commit(const std::string& finalPath = {});

    // Closes and removes the temporary file; nothing is left.
    void Abandon();

    bool open() const { return !temporary_.empty(); }
    // The final name existed when the file was created (or, after Commit, was replaced).
    bool replacing() const { return replacing_; }
    const std::string& temporaryPath() const { return temporary_; }
    const std::string& finalPath() const { return final_; }
    // "cannot write PATH: REASON", and the reason alone ("Permission denied", "File exists",
    // "it is the input LOG").
    const std::string& error() const { return error_; }
    const std::string& reason() const { return reason_; }

private:
    bool Begin(const std::string& finalPath, Existing existing);
    bool CheckFinal(const std::string& finalPath);
    bool Fail(const std::string& path, int errorNumber);
    bool Fail(const std::string& path, const std::string& reason);
    bool CloseStream();
    void Release();

    std::string final_;
    std::string temporary_;
    std::string error_;
    std::string reason_;
    std::FILE* stream_ = nullptr;
    int fd_ = -1;
    int slot_ = -1;
    Existing existing_ = Existing::kReplace;
    bool replacing_ = false;
    bool failed_ = false;
};

// A fresh temporary name in the folder of `finalPath`: ".kestrel-<pid>-<n>" followed by
// `extension` (a conversion whose writer derives several names from one base passes its base's
// extension and replaces it).
std::string TemporaryNameBeside(const std::string& finalPath, const std::string& extension);

// The signals that stop a run: SIGINT (Ctrl-C), SIGTERM, SIGHUP.
inline constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
inline constexpr std::size_t kStopSignalCount = sizeof kStopSignals / sizeof kStopSignals[0];

// While one lives, `handler` takes the stop signals (system calls it interrupts go on after
// it); the handlers before are put back when it goes.
class StopHandlers {
public:
    explicit StopHandlers(void (*handler)(int));
    ~StopHandlers();
    StopHandlers(const StopHandlers&) = delete;
    StopHandlers& operator=(const StopHandlers&) = delete;

private:
    struct sigaction previous_[kStopSignalCount];
};

// The signal a stop was asked with (SIGINT, SIGTERM or SIGHUP), 0 while none came.
int StopSignal();
// Records a stop asked with `signal` (async-signal-safe); a command's own handler calls it.
void NoteStopSignal(int signal);
// Forgets the stop (the start of a run).
void ClearStopSignal();
// True once a stop was asked with SIGTERM or SIGHUP: the program is ending and keeps nothing
// unfinished, so no output is created or committed any more (Ctrl-C keeps what was done).
bool Ending();

// From now on, SIGINT, SIGTERM and SIGHUP remove every temporary of the process and end it as
// the signal would (status 128 + signal); a file too large for the process's limit is a write
// error ("File too large"), not the end of the process. A command that stops gently on a
// signal installs its own handler over this one and calls EndOnSignal on a second signal.
void InstallSignalCleanup();

// Removes every temporary this process registered and ends it as `signal` would.
// Async-signal-safe.
[[noreturn]] void EndOnSignal(int signal);

// Removes every temporary this process registered. Async-signal-safe.
void RemoveTemporaries();

// Sets the modification time of `path` to one second before that of `reference`: a file
// stopped part-way is then older than its log, and a re-run that skips up-to-date outputs
// converts the log again. False when it could not be done.
bool DateBefore(const std::string& path, const std::string& reference);

// True when `output` exists and was modified no earlier than `input`.
bool NewerThan(const std::string& output, const std::string& input);

// Writes all `size` bytes to the descriptor `fd` with write(2), again after a signal: 0, or the
// errno of the write that failed (ENOSPC for one that took nothing). For writers that hand every
// byte to the operating system at once (see OutputFile::descriptor) and for pipes.
int WriteAll(int fd, const void* data, std::size_t size);

}  // namespace kestrel::files
