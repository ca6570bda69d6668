// SPDX-License-Identifier: BSD-2-Clause
#include "files/output_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

namespace kestrel::files {
namespace {

// Temporaries one process may hold at once; their names, in fixed storage, are what the
// signal handlers read.
constexpr int kSlots = 256;
constexpr std::size_t kPathBytes = 4096;
constexpr std::size_t kStreamBufferBytes = 1 << 20;
constexpr const char* kTemporaryPrefix = ".kestrel-";
constexpr const char* kEndingReason = "the program is ending on a signal";

// A registered temporary: kFree, then kClaimed while its name is written, then kReady. The
// owner's process id keeps a forked worker from removing its parent's files.
enum SlotState : int { kFree = 0, kClaimed = 1, kReady = 2 };
struct Slot {
    std::atomic<int> state{kFree};
    pid_t owner = 0;
    char path[kPathBytes] = {};
};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handlers read the slots");

struct Registry {
    Slot slots[kSlots];
    std::atomic<unsigned> sequence{0};
    volatile std::sig_atomic_t stopSignal = 0;
    std::vector<std::pair<FileId, std::string>> inputs;
};
Registry registry;

int Register(const std::string& path) {
    if (path.size() >= kPathBytes) return -1;
    for (int i = 0; i < kSlots; ++i) {
        int expected = kFree;
        Slot& slot = registry.slots[i];
        if (!slot.state.compare_exchange_strong(expected, kClaimed)) continue;
        std::memcpy(slot.path, path.c_str(), path.size() + 1);
        slot.owner = getpid();
        slot.state.store(kReady);
        return i;
    }
    return -1;
}

void Unregister(int slot) {
    if (slot >= 0) registry.slots[slot].state.store(kFree);
}

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// The extension of a file name: from its last dot after the last slash; empty without one.
std::string ExtensionOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    const std::size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash) ||
        dot == (slash == std::string::npos ? 0 : slash + 1)) {
        return {};
    }
    return path.substr(dot);
}

bool NamesFolder(const std::string& path) {
    if (!path.empty() && path.back() == '/') return true;
    struct stat s;
    return stat(path.c_str(), &s) == 0 && S_ISDIR(s.st_mode);
}

extern "C" void OnEndingSignal(int signal) { EndOnSignal(signal); }

// Async-signal-safe.
void SetHandler(int signal, void (*handler)(int), int flags, struct sigaction* previous) {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = flags;
    sigaction(signal, &action, previous);
}

// Renames without replacing: the kernel's no-replace rename, or where the file system has
// none, a hard link and the removal of the temporary name.
int RenameNoReplace(const char* from, const char* to) {
#ifdef RENAME_NOREPLACE
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return -1;
#endif
    if (link(from, to) != 0) return -1;
    unlink(from);
    return 0;
}

}  // namespace

std::optional<FileId> IdOf(const std::string& path) {
    struct stat s;
    if (path.empty() || stat(path.c_str(), &s) != 0) return std::nullopt;
    return FileId{s.st_dev, s.st_ino};
}

bool SameFile(const std::string& a, const std::string& b) {
    const auto x = IdOf(a);
    const auto y = IdOf(b);
    return x && y && *x == *y;
}

std::string Reason(int errorNumber) { return std::strerror(errorNumber); }

void ProtectInput(const std::string& path) {
    const auto id = IdOf(path);
    if (id && ProtectedInputAt(path).empty()) registry.inputs.emplace_back(*id, path);
}

std::string ProtectedInputAt(const std::string& path) {
    const auto id = IdOf(path);
    if (!id) return {};
    for (const auto& [input, name] : registry.inputs) {
        if (input == *id) return name;
    }
    return {};
}

void ClearProtectedInputs() { registry.inputs.clear(); }

std::string TemporaryNameBeside(const std::string& finalPath, const std::string& extension) {
    const std::string folder = FolderOf(finalPath);
    const std::string name = kTemporaryPrefix + std::to_string(getpid()) + "-" +
                             std::to_string(registry.sequence.fetch_add(1)) + extension;
    return folder == "." && finalPath.find('/') == std::string::npos ? name
           : folder == "/"                                          ? "/" + name
                                                                    : folder + "/" + name;
}

std::string WhyUnwritable(const std::string& finalPath) {
    if (finalPath.empty()) return "it has no name";
    if (NamesFolder(finalPath)) return Reason(EISDIR);
    return WhyFolderUnwritable(FolderOf(finalPath));
}

std::string WhyFolderUnwritable(const std::string& folder) {
    const std::string probe = TemporaryNameBeside((folder.empty() ? std::string(".") : folder) + "/x", "");
    const int slot = Register(probe);
    const int fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    const int error = errno;
    if (fd >= 0) {
        close(fd);
        unlink(probe.c_str());
    }
    Unregister(slot);
    return fd >= 0 ? std::string() : Reason(error);
}

OutputFile::~OutputFile() { Abandon(); }

OutputFile::OutputFile(OutputFile&& other) noexcept { *this = std::move(other); }

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
    if (this == &other) return *this;
    Abandon();
    final_ = std::move(other.final_);
    temporary_ = std::move(other.temporary_);
    error_ = std::move(other.error_);
    reason_ = std::move(other.reason_);
    stream_ = std::exchange(other.stream_, nullptr);
    fd_ = std::exchange(other.fd_, -1);
    slot_ = std::exchange(other.slot_, -1);
    existing_ = other.existing_;
    replacing_ = other.replacing_;
    failed_ = other.failed_;
    other.temporary_.clear();
    return *this;
}

bool OutputFile::Fail(const std::string& path, int errorNumber) { return Fail(path, Reason(errorNumber)); }

bool OutputFile::Fail(const std::string& path, const std::string& reason) {
    if (!failed_) {
        reason_ = reason;
        error_ = "cannot write " + path + ": " + reason;
    }
    failed_ = true;
    return false;
}

bool OutputFile::Begin(const std::string& finalPath, Existing existing) {
    Abandon();
    error_.clear();
    reason_.clear();
    failed_ = false;
    existing_ = existing;
    return CheckFinal(finalPath);
}

bool OutputFile::CheckFinal(const std::string& finalPath) {
    final_ = finalPath;
    if (finalPath.empty()) return Fail("an output", "it has no name");
    if (Ending()) return Fail(finalPath, kEndingReason);
    if (NamesFolder(finalPath)) return Fail(finalPath, EISDIR);
    const std::string input = ProtectedInputAt(finalPath);
    if (!input.empty()) return Fail(finalPath, "it is the input " + input);
    struct stat s;
    replacing_ = lstat(finalPath.c_str(), &s) == 0;
    if (replacing_ && existing_ == Existing::kRefuse) return Fail(finalPath, EEXIST);
    return true;
}

bool OutputFile::Create(const std::string& finalPath, Existing existing) {
    return CreateAt(finalPath, TemporaryNameBeside(finalPath, ExtensionOf(finalPath)), existing);
}

bool OutputFile::CreateAt(const std::string& finalPath, const std::string& temporaryPath, Existing existing) {
    if (!Begin(finalPath, existing)) return false;
    slot_ = Register(temporaryPath);
    if (slot_ < 0) return Fail(finalPath, "too many files open at once, or too long a name");
    // Created here, empty, so that the folder is known to take files before any work is done;
    // a writer that creates the file itself truncates it.
    fd_ = ::open(temporaryPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd_ < 0) {
        const int error = errno;
        Release();
        return Fail(finalPath, error);
    }
    temporary_ = temporaryPath;
    return true;
}

std::FILE* OutputFile::stream() {
    if (stream_ == nullptr && fd_ >= 0) {
        stream_ = fdopen(fd_, "wb");
        if (stream_ == nullptr) return nullptr;
        fd_ = -1;
        std::setvbuf(stream_, nullptr, _IOFBF, kStreamBufferBytes);
    }
    return stream_;
}

bool OutputFile::Write(const void* data, std::size_t size) {
    if (failed_) return false;
    std::FILE* out = stream();
    if (out == nullptr) return Fail(final_.empty() ? temporary_ : final_, errno == 0 ? EBADF : errno);
    if (size > 0 && std::fwrite(data, 1, size, out) != size) return Fail(final_, errno);
    return true;
}

bool OutputFile::CloseStream() {
    bool closed = true;
    int error = 0;
    if (stream_ != nullptr) {
        errno = 0;
        const bool flushed = std::fflush(stream_) == 0 && std::ferror(stream_) == 0;
        if (!flushed) error = errno;
        if (std::fclose(stream_) != 0 && error == 0) error = errno;
        closed = flushed && error == 0;
        stream_ = nullptr;
    }
    if (fd_ >= 0) {
        if (close(fd_) != 0) {
            error = errno;
            closed = false;
        }
        fd_ = -1;
    }
    if (!closed) Fail(final_, error == 0 ? EIO : error);
    return closed;
}

bool OutputFile::Commit(const std::string& finalPath) {
    if (temporary_.empty()) return Fail(final_, "it was not created");
    if (!finalPath.empty() && finalPath != final_ && !CheckFinal(finalPath)) {
        Abandon();
        return false;
    }
    if (!CloseStream() || failed_) {
        Abandon();
        return false;
    }
    // Checked again at the last moment: an input may have appeared under the final name, or
    // the process may be ending.
    const std::string input = ProtectedInputAt(final_);
    if (!input.empty() || Ending()) {
        Fail(final_, Ending() ? kEndingReason : "it is the input " + input);
        Abandon();
        return false;
    }
    struct stat s;
    const bool existed = lstat(final_.c_str(), &s) == 0;
    const int renamed = existing_ == Existing::kRefuse ? RenameNoReplace(temporary_.c_str(), final_.c_str())
                                                       : std::rename(temporary_.c_str(), final_.c_str());
    if (renamed != 0) {
        Fail(final_, errno);
        Abandon();
        return false;
    }
    replacing_ = existed;
    temporary_.clear();
    Release();
    return true;
}

void OutputFile::Abandon() {
    if (stream_ != nullptr) std::fclose(stream_);
    stream_ = nullptr;
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    if (!temporary_.empty()) unlink(temporary_.c_str());
    temporary_.clear();
    Release();
}

void OutputFile::Release() {
    Unregister(slot_);
    slot_ = -1;
}

int StopSignal() { return registry.stopSignal; }

void NoteStopSignal(int signal) {
    if (registry.stopSignal == 0) registry.stopSignal = signal;
}

void ClearStopSignal() { registry.stopSignal = 0; }

bool Ending() { return registry.stopSignal != 0 && registry.stopSignal != SIGINT; }

StopHandlers::StopHandlers(void (*handler)(int)) {
    for (std::size_t i = 0; i < kStopSignalCount; ++i) SetHandler(kStopSignals[i], handler, SA_RESTART, &previous_[i]);
}

StopHandlers::~StopHandlers() {
    for (std::size_t i = 0; i < kStopSignalCount; ++i) sigaction(kStopSignals[i], &previous_[i], nullptr);
}

void InstallSignalCleanup() {
    for (const int signal : kStopSignals) SetHandler(signal, OnEndingSignal, 0, nullptr);
    SetHandler(SIGXFSZ, SIG_IGN, 0, nullptr);
}

void RemoveTemporaries() {
    const pid_t self = getpid();
    for (Slot& slot : registry.slots) {
        if (slot.state.load() == kReady && slot.owner == self) unlink(slot.path);
    }
}

void EndOnSignal(int signal) {
    RemoveTemporaries();
    SetHandler(signal, SIG_DFL, 0, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(signal);
    _exit(128 + signal);
}

bool DateBefore(const std::string& path, const std::string& reference) {
    struct stat s;
    if (stat(reference.c_str(), &s) != 0) return false;
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1] = s.st_mtim;
    times[1].tv_sec -= 1;
    return utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

bool NewerThan(const std::string& output, const std::string& input) {
    struct stat out;
    struct stat in;
    if (stat(output.c_str(), &out) != 0 || stat(input.c_str(), &in) != 0) return false;
    if (out.st_mtim.tv_sec != in.st_mtim.tv_sec) return out.st_mtim.tv_sec > in.st_mtim.tv_sec;
    return out.st_mtim.tv_nsec >= in.st_mtim.tv_nsec;
}

int WriteAll(int fd, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, bytes, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n < 0 ? errno : ENOSPC;
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return 0;
}

}  // namespace kestrel::files
