// SPDX-License-Identifier: BSD-2-Clause
#include "rinex_run/run_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace kestrel {

std::string DirectoryOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string JoinPath(const std::string& directory, const std::string& name) {
    if (directory.empty() || directory == ".") return name;
    return directory.back() == '/' ? directory + name : directory + "/" + name;
}

std::FILE* OpenScratch(const std::string& directory) {
    std::string pattern = JoinPath(directory.empty() ? "." : directory, ".kestrel-scratch-XXXXXX");
    const int fd = mkstemp(pattern.data());
    if (fd < 0) return nullptr;
    unlink(pattern.c_str());
    std::FILE* file = fdopen(fd, "w+b");
    if (file == nullptr) close(fd);
    return file;
}

int ErrnoOrIo() { return errno != 0 ? errno : EIO; }

int FlushScratch(std::FILE* scratch, int earlier) {
    if (scratch == nullptr) return 0;
    if (earlier != 0) return earlier;
    errno = 0;
    return std::fflush(scratch) != 0 || std::ferror(scratch) ? ErrnoOrIo() : 0;
}

bool RunOutput::Create(const std::string& finalPath, files::Existing existing, bool gzip) {
    if (!file_.Create(finalPath, existing)) return false;
    stream_ = file_.stream();
    if (stream_ == nullptr) {
        file_.Abandon();
        reason_ = files::Reason(ErrnoOrIo());
        return false;
    }
    if (gzip) gzip_ = std::make_unique<GzipWriter>(stream_);
    return true;
}

void RunOutput::CreateStandardOutput(bool gzip) {
    standardOutput_ = true;
    stream_ = stdout;
    if (gzip) gzip_ = std::make_unique<GzipWriter>(stream_);
}

bool RunOutput::Write(const std::string& text) {
    if (text.empty() || !reason_.empty()) return reason_.empty();
    if (!gzip_ && !standardOutput_) return file_.Write(text);
    errno = 0;
    const bool written = gzip_ ? gzip_->Write(text.data(), text.size())
                               : std::fwrite(text.data(), 1, text.size(), stream_) == text.size();
    if (!written) reason_ = files::Reason(ErrnoOrIo());
    return written;
}

bool RunOutput::EndText() {
    errno = 0;
    const bool compressed = !gzip_ || gzip_->Finish();
    gzip_.reset();
    const bool flushed = !standardOutput_ || (std::fflush(stream_) == 0 && std::ferror(stream_) == 0);
    if ((!compressed || !flushed) && reason_.empty()) reason_ = files::Reason(ErrnoOrIo());
    return compressed && flushed;
}

bool RunOutput::Commit() {
    if (!EndText()) {
        if (!standardOutput_) file_.Abandon();
        return false;
    }
    return standardOutput_ || file_.Commit();
}

}  // namespace kestrel
