// SPDX-License-Identifier: BSD-2-Clause
#include "obx_read.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "plugin/obx_writer.h"

namespace kestrel::obx {
namespace {

constexpr double kHalfWeekS = 302400.0;

// The record sizes the writer puts in the file.
constexpr uint16_t kHeaderSize = kObxHeaderSize;
constexpr uint16_t kPositionSize = kObxPositionRecordSize;
constexpr uint16_t kMeasurementSize = kObxMeasurementRecordSize;

template <typename Record>
Record Load(const uint8_t* bytes) {
    Record record;
    std::memcpy(&record, bytes, sizeof record);
    return record;
}

uint16_t SizeField(const uint8_t* bytes) { return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8)); }

ObxContents& Stop(ObxContents& contents, ObxState state, uint64_t offset, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 4, 5)))
#endif
    ;

ObxContents& Stop(ObxContents& contents, ObxState state, uint64_t offset, const char* format, ...) {
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    contents.state = state;
    contents.problemOffset = offset;
    contents.problem = text;
    return contents;
}

}  // namespace

ObxContents ParseObx(const uint8_t* bytes, std::size_t size) {
    ObxContents contents;
    if (size < kHeaderSize) {
        return Stop(contents, ObxState::kBadHeader, 0, "file of %llu bytes is shorter than the %u-byte header",
                    static_cast<unsigned long long>(size), static_cast<unsigned>(kHeaderSize));
    }
    contents.header = Load<ObxHeader>(bytes);
    if (contents.header.header_size != kHeaderSize) {
        return Stop(contents, ObxState::kBadHeader, 0, "header size field is %u, not %u",
                    static_cast<unsigned>(contents.header.header_size), static_cast<unsigned>(kHeaderSize));
    }
    std::size_t at = contents.header.header_size;
    while (at < size) {
        const std::size_t left = size - at;
        if (left < kPositionSize) {
            return Stop(contents, ObxState::kCutShort, at, "file ends %u bytes into a position record",
                        static_cast<unsigned>(left));
        }
        ObxEpoch epoch;
        epoch.offset = at;
        epoch.position = Load<EpochHeader>(bytes + at);
        const double time = epoch.position.time_tag;
        if (epoch.position.record_size != kPositionSize) {
            return Stop(contents, ObxState::kDamaged, at, "position record size field is %u, not %u",
                        static_cast<unsigned>(epoch.position.record_size), static_cast<unsigned>(kPositionSize));
        }
        const unsigned count = epoch.position.sat_count;
        if (count > contents.header.channels) {
            return Stop(contents, ObxState::kDamaged, at, "epoch %.1f holds %u measurement records, more than %u channels",
                        time, count, static_cast<unsigned>(contents.header.channels));
        }
        const std::size_t need = static_cast<std::size_t>(count) * kMeasurementSize;
        if (left - kPositionSize < need) {
            return Stop(contents, ObxState::kCutShort, at,
                        "file ends inside epoch %.1f: %llu of its %u measurement bytes present", time,
                        static_cast<unsigned long long>(left - kPositionSize), static_cast<unsigned>(need));
        }
        const uint8_t* records = bytes + at + kPositionSize;
        for (unsigned i = 0; i < count; ++i) {
            const uint8_t* record = records + static_cast<std::size_t>(i) * kMeasurementSize;
            if (SizeField(record) != kMeasurementSize) {
                return Stop(contents, ObxState::kDamaged, static_cast<uint64_t>(record - bytes),
                            "measurement record %u of epoch %.1f has size field %u, not %u", i + 1, time,
                            static_cast<unsigned>(SizeField(record)), static_cast<unsigned>(kMeasurementSize));
            }
            epoch.measurements.push_back(Load<SatObservation>(record));
        }
        contents.epochs.push_back(std::move(epoch));
        at += kPositionSize + need;
    }
    contents.state = ObxState::kComplete;
    return contents;
}

ObxContents ReadObx(const std::string& path) {
    ObxContents contents;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return Stop(contents, ObxState::kUnreadable, 0, "cannot open %s: %s", path.c_str(), std::strerror(errno));
    }
    std::vector<uint8_t> bytes;
    uint8_t chunk[65536];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) bytes.insert(bytes.end(), chunk, chunk + n);
    const bool readFailed = std::ferror(file) != 0;
    std::fclose(file);
    if (readFailed) return Stop(contents, ObxState::kUnreadable, bytes.size(), "cannot read %s", path.c_str());
    return ParseObx(bytes.data(), bytes.size());
}

bool TimeOrder::Advances(double time) {
    const bool advances = !any_ || time > latest_ || latest_ - time > kHalfWeekS;
    if (advances) latest_ = time;
    any_ = true;
    return advances;
}

long long CountEpochsNotAdvancing(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return -1;
    long long count = 0;
    TimeOrder order;
    uint8_t record[kPositionSize];
    bool sound = std::fseek(file, kHeaderSize, SEEK_SET) == 0;
    while (sound && std::fread(record, 1, sizeof record, file) == sizeof record) {
        const EpochHeader position = Load<EpochHeader>(record);
        if (!order.Advances(position.time_tag)) ++count;
        sound = std::fseek(file, static_cast<long>(position.sat_count) * kMeasurementSize, SEEK_CUR) == 0;
    }
    sound = sound && std::ferror(file) == 0;
    std::fclose(file);
    return sound ? count : -1;
}

const char* ObxStateName(ObxState state) {
    switch (state) {
        case ObxState::kComplete: return "complete";
        case ObxState::kUnreadable: return "unreadable";
        case ObxState::kBadHeader: return "bad header";
        case ObxState::kDamaged: return "damaged";
        case ObxState::kCutShort: return "cut short";
    }
    return "unknown";
}

}  // namespace kestrel::obx
