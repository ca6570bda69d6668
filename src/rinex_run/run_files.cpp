// SPDX-License-Identifier: BSD-2-Clause
#include "rinex_run/run_files.h"

#include <fcntl.h>
#include <cerrno>
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

int ErrnoOrIo() { return errno != 0 ? errno : EIO; }

int FlushScratch(std::FILE* scratch, int earlier) {
    if (scratch == nullptr) return 0;
    if (earlier != 0) return earlier;
    errno = 0;
    return std::fflush(scratch) != 0 || std::ferror(scratch) ? ErrnoOrIo() : 0;
}

}  // namespace kestrel
