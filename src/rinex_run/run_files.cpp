// SPDX-License-Identifier: BSD-2-Clause
#include "rinex_run/run_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

bool OutputFile::Create(const std::string& directory) {
    temp_ = JoinPath(directory.empty() ? "." : directory, ".kestrel-rinex-XXXXXX");
    const int fd = mkstemp(temp_.data());
    if (fd < 0) {
        temp_.clear();
        return false;
    }
    // Readable as any file the user makes (mkstemp gives 0600).
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    file_ = fdopen(fd, "wb");
    if (file_ == nullptr) {
        close(fd);
        return false;
    }
    std::setvbuf(file_, nullptr, _IOFBF, kWriteBufferBytes);
    return true;
}

void OutputFile::Write(const std::string& text) {
    if (file_ != nullptr && !text.empty()) std::fwrite(text.data(), 1, text.size(), file_);
}

bool OutputFile::Finish() {
    const bool written = file_ != nullptr && std::ferror(file_) == 0;
    const bool closed = file_ != nullptr && std::fclose(file_) == 0;
    file_ = nullptr;
    return written && closed;
}

bool OutputFile::Rename(const std::string& finalPath) {
    if (temp_.empty() || std::rename(temp_.c_str(), finalPath.c_str()) != 0) {
        Discard();
        return false;
    }
    temp_.clear();
    return true;
}

void OutputFile::Discard() {
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
    if (!temp_.empty()) unlink(temp_.c_str());
    temp_.clear();
}

}  // namespace kestrel
