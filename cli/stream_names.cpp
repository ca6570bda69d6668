// SPDX-License-Identifier: BSD-2-Clause
#include "stream_names.h"

#include <filesystem>
#include <system_error>

#include "gzip/gzip_writer.h"

namespace kestrel::cli {

namespace fs = std::filesystem;

std::string OpenNameOf(const std::string& finalPath) {
    const fs::path p(finalPath);
    return (p.parent_path() / (kStreamOpenPrefix + p.filename().string())).string();
}

std::string UntakenPath(const std::string& path) {
    std::error_code ec;
    if (!fs::exists(path, ec)) return path;
    const std::string gz = kGzipExtension;
    const bool compressed = path.size() > gz.size() && path.compare(path.size() - gz.size(), gz.size(), gz) == 0;
    const fs::path p(compressed ? path.substr(0, path.size() - gz.size()) : path);
    const std::string stem = (p.parent_path() / p.stem()).string();
    const std::string extensions = p.extension().string() + (compressed ? gz : "");
    for (int n = 2;; ++n) {
        const std::string candidate = stem + "-" + std::to_string(n) + extensions;
        if (!fs::exists(candidate, ec)) return candidate;
    }
}

}  // namespace kestrel::cli
