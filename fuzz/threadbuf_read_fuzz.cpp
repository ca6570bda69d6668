// SPDX-License-Identifier: BSD-2-Clause
// The exported ThreadBuf readers on a hostile ThreadBuf image, and an append onto one.
// Input: byte 0 the record type (0..19, so invalid types too), byte 1 the reader's
// capacity in records (signed), byte 2 how the capacity relates to the image, then the
// image. The image sits in a heap block of exactly its size, so that the sanitizer sees
// any read outside it; the readers may trust a host's block up to the capacity only.
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz_support.h"
#include "threadbuf/threadbuf.h"

namespace {

using kestrel::fuzz::Fail;

constexpr int32_t kTypeChoices = 20;
constexpr std::size_t kPrefixBytes = 3;

void CheckReaders(const uint8_t* image, int32_t capacity, int32_t type, int32_t maxRecords) {
    const int32_t count = GetThreadBufRecCount(image, type);
    const int32_t bytes = GetThreadBufRecSize(image, type);
    const int32_t recordSize = kestrel::ThreadBufRecordSize(type);
    if (bytes < 0 || bytes > capacity - kestrel::kThreadBufHeaderBytes - kestrel::kThreadBufEntryHeaderBytes) {
        if (bytes != 0) Fail("type %d: %d bytes in a block of capacity %d", type, bytes, capacity);
    }
    if (recordSize > 0 && static_cast<int64_t>(count) * recordSize != bytes) {
        Fail("type %d: %d records but %d bytes", type, count, bytes);
    }
    // The destination a host would provide: maxRecords records, or for the variable type
    // the size the reader announced.
    std::size_t room = 0;
    if (recordSize > 0 && maxRecords > 0) room = static_cast<std::size_t>(maxRecords) * static_cast<std::size_t>(recordSize);
    if (recordSize == 0) room = static_cast<std::size_t>(bytes);
    std::unique_ptr<uint8_t[]> destination(new uint8_t[room + 1]);
    std::unique_ptr<uint8_t[]> again(new uint8_t[room + 1]);
    const int32_t read = ReadThreadBufData(image, type, maxRecords, destination.get());
    if (read != 0 && (read != count || read > maxRecords)) Fail("read %d records of %d, capacity %d", read, count, maxRecords);
    // Reading removes nothing.
    const int32_t reread = ReadThreadBufData(image, type, maxRecords, again.get());
    if (reread != read || (read > 0 && std::memcmp(destination.get(), again.get(), static_cast<std::size_t>(bytes)) != 0)) {
        Fail("a second read differs from the first");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    using namespace kestrel;
    if (size < kPrefixBytes) return 0;
    const int32_t type = data[0] % kTypeChoices;
    const int32_t maxRecords = static_cast<int8_t>(data[1]);
    const uint8_t mode = data[2];
    const uint8_t* body = data + kPrefixBytes;
    const std::size_t bodySize = size - kPrefixBytes;

    // A host's block: the image, at least a header long, in memory of exactly that size.
    const std::size_t imageSize = bodySize < static_cast<std::size_t>(kThreadBufHeaderBytes)
                                      ? static_cast<std::size_t>(kThreadBufHeaderBytes)
                                      : bodySize;
    std::vector<uint8_t> image(imageSize, 0);
    if (bodySize > 0) std::memcpy(image.data(), body, bodySize);
    int32_t capacity = static_cast<int32_t>(imageSize);
    if ((mode & 1) != 0) capacity = kThreadBufHeaderBytes + (capacity - kThreadBufHeaderBytes) / 2;
    SetThreadBufSize(capacity);
    CheckReaders(image.data(), capacity, type, maxRecords);

    // The library's own block: driver-sized, holding the image, whatever capacity the
    // host set (mode bits 1..7 scale it up to past the block).
    std::vector<uint8_t> block(kThreadBufMemoryBytes, 0);
    std::memcpy(block.data(), image.data(), imageSize < block.size() ? imageSize : block.size());
    SetThreadBufSize(static_cast<int32_t>((mode >> 1) * 512));
    const uint8_t record[2 * 272] = {4, 0, 0, 0};  // two of the largest fixed records; type 10 takes 4 + 4 bytes
    const int32_t code = AddThreadBufData(block.data(), record, 1 + (mode & 1), type);
    if (code < 0 || code > 3) Fail("append returned %d", code);
    SetThreadBufSize(kThreadBufMemoryBytes);
    CheckReaders(block.data(), kThreadBufMemoryBytes, type, maxRecords);
    SetThreadBufSize(kThreadBufDefaultSize);
    return 0;
}
