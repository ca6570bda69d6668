// SPDX-License-Identifier: BSD-2-Clause
// The OBX writer keeps the file's header image in its handle (the channel limit and the
// stored file name are read back from it) and writes through a stream buffer of its own,
// so that each epoch's two writes normally cost a memory copy.
#include "plugin/obx_writer.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include "common/error_text.h"

namespace kestrel {

namespace {

constexpr const char* kNoMemoryForHeader = "Error: Not enough memory in header";
constexpr const char* kNoMemoryForBuffer = "Error: Not enough memory in buffer";
constexpr const char* kCannotOpen = "Error: Unable to open %s for writing";
constexpr const char* kCannotSetBuffer = "Error: Unable to initialize file buffer";
constexpr const char* kTooManyRecords = "Error: Epoch %.1lf has %d measurements %d channels in %s";
constexpr const char* kDiskFull = "Error: Unable to write to %s (disk full). Epoch %.1lf";

// Local civil time now, broken down; all zero when the clock cannot be read. struct tm
// counts months from 0 and years from 1900, as the header does.
std::tm LocalTimeNow() {
    std::tm local{};
    const std::time_t now = std::time(nullptr);
    if (now == static_cast<std::time_t>(-1)) return local;
#if defined(_WIN32)
    localtime_s(&local, &now);
#else
    localtime_r(&now, &local);
#endif
    return local;
}

}  // namespace

struct ObxFile {
    ObxHeader header;    // as written at creation; header_size 202 marks a valid handle
    std::FILE* stream;
    char* buffer;        // the stream buffer; null when buffer_size is 0
};

void obx_store_file_name(ObxHeader& header, const char* path) {
    std::memset(header.file_name, 0, sizeof header.file_name);
    const std::size_t length = std::strlen(path);
    std::memcpy(header.file_name, path,
                length < kObxFileNameMaxLength ? length : static_cast<std::size_t>(kObxFileNameMaxLength));
}

ObxFile* obx_create(const char* path, uint8_t sat_limit, float nominal_value, int16_t buffer_size,
                    uint8_t channels) {
    auto* file = new (std::nothrow) ObxFile{};
    if (file == nullptr) {
        set_error_text(kNoMemoryForHeader);
        return nullptr;
    }
    ObxHeader& h = file->header;
    h.header_size = kObxHeaderSize;
    h.version = kObxVersion;
    h.sat_limit = sat_limit;
    h.channels = channels;
    h.nominal_value = nominal_value;
    h.buffer_size = buffer_size;
    obx_store_file_name(h, path);

    const std::tm local = LocalTimeNow();
    h.create_month = static_cast<int16_t>(local.tm_mon);
    h.create_day = static_cast<int16_t>(local.tm_mday);
    h.create_year = static_cast<int16_t>(local.tm_year);
    h.create_hour = static_cast<int16_t>(local.tm_hour);
    h.create_minute = static_cast<int16_t>(local.tm_min);
    h.create_second = static_cast<int16_t>(local.tm_sec);

    file->stream = std::fopen(path, "wb");
    if (file->stream == nullptr) {
        format_error_text(kCannotOpen, path);
        delete file;
        return nullptr;
    }
    if (buffer_size > 0) {
        file->buffer = new (std::nothrow) char[static_cast<std::size_t>(buffer_size)];
        if (file->buffer == nullptr) {
            std::fclose(file->stream);
            delete file;
            set_error_text(kNoMemoryForBuffer);
            return nullptr;
        }
        if (std::setvbuf(file->stream, file->buffer, _IOFBF, static_cast<std::size_t>(buffer_size)) != 0) {
            set_error_text(kCannotSetBuffer);
            std::fclose(file->stream);
            delete[] file->buffer;
            delete file;
            return nullptr;
        }
    }
    if (std::fwrite(&file->header, sizeof file->header, 1, file->stream) != 1) {
        format_error_text(kCannotWriteFormat, path);
        std::fclose(file->stream);
        delete[] file->buffer;
        delete file;
        return nullptr;
    }
    return file;
}

int32_t obx_write_epoch(ObxFile* file, EpochHeader* position, SatObservation* measurements) {
    const ObxHeader& h = file->header;
    const double timeTag = position->time_tag;
    const std::size_t count = position->sat_count;
    if (count > h.channels) {
        format_error_text(kTooManyRecords, timeTag, static_cast<int>(count), static_cast<int>(h.channels),
                          h.file_name);
        return 1;
    }
    position->record_size = kObxPositionRecordSize;
    if (std::fwrite(position, sizeof *position, 1, file->stream) != 1) {
        format_error_text(kDiskFull, h.file_name, timeTag);
        return 1;
    }
    if (count == 0) return 0;
    for (std::size_t i = 0; i < count; ++i) measurements[i].record_size = kObxMeasurementRecordSize;
    if (std::fwrite(measurements, sizeof *measurements * count, 1, file->stream) != 1) {
        format_error_text(kDiskFull, h.file_name, timeTag);
        return 1;
    }
    return 0;
}

int32_t obx_close(ObxFile* file) {
    if (file == nullptr || file->header.header_size != kObxHeaderSize) return 1;
    // Closing writes out what is still buffered; the buffer goes only after the stream.
    const bool hadError = std::ferror(file->stream) != 0;
    const bool closed = std::fclose(file->stream) == 0;
    delete[] file->buffer;
    file->header.header_size = 0;
    delete file;
    return hadError || !closed ? 1 : 0;
}

}  // namespace kestrel
