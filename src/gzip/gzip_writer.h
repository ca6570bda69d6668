// SPDX-License-Identifier: BSD-2-Clause
// Text compressed on its way into a file: one gzip member (RFC 1952), as `gzip` writes and
// `gzip -d`, `zcat` and RTKLIB read, made with zlib as the bytes come, so memory stays the
// same however long the file.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>

namespace kestrel {

class GzipWriter {
public:
    // Compresses into `out`, which stays the caller's (open after Finish). Level 1..9.
    explicit GzipWriter(std::FILE* out, int level = 6);
    ~GzipWriter();
    GzipWriter(const GzipWriter&) = delete;
    GzipWriter& operator=(const GzipWriter&) = delete;

    // Compresses `size` bytes; false once anything failed (zlib, or a write to `out`).
    bool Write(const void* data, std::size_t size);

    // Compresses what is held back and writes the member's trailer. False when anything
    // failed; the stream takes no more bytes after it.
    bool Finish();

    bool ok() const { return ok_; }

private:
    bool Deflate(int flush);

    struct Stream;
    std::unique_ptr<Stream> stream_;
    std::FILE* out_;
    bool ok_ = true;
    bool finished_ = false;
};

// ".gz", the extension of a compressed file's name.
inline constexpr const char* kGzipExtension = ".gz";

}  // namespace kestrel
