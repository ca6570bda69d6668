// SPDX-License-Identifier: BSD-2-Clause
#include "gzip/gzip_writer.h"

#include <algorithm>
#include <climits>

#include <zlib.h>

namespace kestrel {
namespace {

constexpr std::size_t kOutBytes = 1 << 16;
constexpr int kGzipWindowBits = 15 + 16;  // the largest window, with the gzip header and trailer
constexpr int kMemoryLevel = 8;

}  // namespace

struct GzipWriter::Stream {
    z_stream z{};
    unsigned char out[kOutBytes];
    bool initialised = false;
};

GzipWriter::GzipWriter(std::FILE* out, int level) : stream_(new Stream), out_(out) {
    level = std::clamp(level, 1, 9);
    ok_ = out_ != nullptr &&
          deflateInit2(&stream_->z, level, Z_DEFLATED, kGzipWindowBits, kMemoryLevel, Z_DEFAULT_STRATEGY) == Z_OK;
    stream_->initialised = ok_;
}

GzipWriter::~GzipWriter() {
    if (stream_->initialised) deflateEnd(&stream_->z);
}

// Runs the compressor over the input it holds, writing each full output buffer.
bool GzipWriter::Deflate(int flush) {
    z_stream& z = stream_->z;
    int result = Z_OK;
    do {
        z.next_out = stream_->out;
        z.avail_out = static_cast<uInt>(kOutBytes);
        result = deflate(&z, flush);
        if (result == Z_STREAM_ERROR) return ok_ = false;
        const std::size_t produced = kOutBytes - z.avail_out;
        if (produced > 0 && std::fwrite(stream_->out, 1, produced, out_) != produced) return ok_ = false;
    } while (z.avail_out == 0 || (flush == Z_FINISH && result != Z_STREAM_END));
    return true;
}

bool GzipWriter::Write(const void* data, std::size_t size) {
    if (!ok_ || finished_) return false;
    auto* p = static_cast<const unsigned char*>(data);
    while (size > 0) {
        // zlib counts its input in uInt.
        const std::size_t take = std::min<std::size_t>(size, UINT_MAX);
        stream_->z.next_in = const_cast<unsigned char*>(p);
        stream_->z.avail_in = static_cast<uInt>(take);
        if (!Deflate(Z_NO_FLUSH)) return false;
        p += take;
        size -= take;
    }
    return true;
}

bool GzipWriter::Finish() {
    if (finished_) return ok_;
    finished_ = true;
    if (!ok_) return false;
    stream_->z.next_in = nullptr;
    stream_->z.avail_in = 0;
    return Deflate(Z_FINISH);
}

}  // namespace kestrel
