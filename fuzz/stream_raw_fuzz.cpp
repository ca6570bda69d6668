// SPDX-License-Identifier: BSD-2-Clause
// Bytes through the live stream's raw output: split into reads of arbitrary sizes, scanned
// for frames, cut into periods of the data's own time and written as period files. Byte 0
// chooses the period (15 min, 1 h, 1 day), byte 1 seeds the read sizes; the rest is the
// stream. Checks that the files together are the stream, that no frame the decoder decodes
// is split between two files, and that each epoch lies in the file of its period.
#include <sys/mman.h>
#include <unistd.h>

#include <optional>
#include <random>
#include <span>
#include <vector>

#include "fuzz_support.h"
#include "live/frame_scanner.h"
#include "live/period_clock.h"
#include "live/raw_periods.h"

namespace {

using kestrel::GpsTime;
using kestrel::fuzz::Fail;
using namespace kestrel::live;

struct MemoryFile {
    int fd = -1;
    std::optional<int64_t> periodMs;
    bool closed = false;
};

// Period files in memory, in the order they were opened.
class MemoryFiles : public RawFileMaker {
public:
    ~MemoryFiles() override {
        for (const MemoryFile& f : files) ::close(f.fd);
    }
    int Open(const std::optional<GpsTime>& start) override {
        const int fd = ::memfd_create("period", 0);
        if (fd < 0) Fail("memfd_create failed");
        files.push_back({fd, start ? std::optional(GpsMilliseconds(*start)) : std::nullopt, false});
        return fd;
    }
    void Assign(int fd, const GpsTime& start) override {
        MemoryFile& f = Find(fd);
        if (f.periodMs) Fail("a file placed twice");
        f.periodMs = GpsMilliseconds(start);
    }
    void Close(int fd) override {
        MemoryFile& f = Find(fd);
        if (f.closed) Fail("a file closed twice");
        f.closed = true;
    }
    void WriteFailed(int, int) override { Fail("a write to a memory file failed"); }

    std::vector<uint8_t> Bytes(const MemoryFile& f) const {
        std::vector<uint8_t> out(static_cast<std::size_t>(::lseek(f.fd, 0, SEEK_END)));
        if (!out.empty() && ::pread(f.fd, out.data(), out.size(), 0) != static_cast<ssize_t>(out.size())) {
            Fail("cannot read a memory file back");
        }
        return out;
    }

    std::vector<MemoryFile> files;

private:
    MemoryFile& Find(int fd) {
        for (MemoryFile& f : files) {
            if (f.fd == fd) return f;
        }
        Fail("unknown file %d", fd);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const int64_t periodS = kPeriodLengths[data[0] % std::size(kPeriodLengths)].seconds;
    std::minstd_rand reads(data[1]);
    const std::span<const uint8_t> stream(data + 2, size - 2);

    MemoryFiles files;
    {
        RawPeriodWriter writer(files);
        PeriodCutter cutter(periodS, FrameEpochs());
        std::vector<PeriodCut> cuts;
        for (std::size_t at = 0; at < stream.size();) {
            const std::size_t n = std::min<std::size_t>(1 + reads() % 300, stream.size() - at);
            cutter.Feed(stream.subspan(at, n), cuts);
            writer.Write(stream.subspan(at, n), cuts);
            at += n;
        }
        cutter.End(cuts);
        writer.Write({}, cuts);
        writer.Finish();
        if (writer.droppedBytes() != 0) Fail("%llu bytes dropped", static_cast<unsigned long long>(writer.droppedBytes()));
    }

    // The files together are the stream; where each begins.
    std::vector<uint8_t> joined;
    std::vector<uint64_t> starts;
    for (const MemoryFile& f : files.files) {
        if (!f.closed) Fail("a file left open");
        starts.push_back(joined.size());
        const std::vector<uint8_t> bytes = files.Bytes(f);
        joined.insert(joined.end(), bytes.begin(), bytes.end());
    }
    if (!std::equal(joined.begin(), joined.end(), stream.begin(), stream.end())) Fail("the files are not the stream");

    // Every decoded frame inside one file; every epoch in the file of its period.
    FrameScanner scanner;
    FrameEpochs epochs;
    PeriodClock clock(periodS);
    auto check = [&](const ScannedFrame& frame) {
        if (!frame.decoded) return;
        const auto file = static_cast<std::size_t>(std::upper_bound(starts.begin(), starts.end(), frame.offset) -
                                                   starts.begin() - 1);
        const uint64_t fileEnd = file + 1 < starts.size() ? starts[file + 1] : joined.size();
        if (frame.end() > fileEnd) Fail("a frame at %llu split between files", static_cast<unsigned long long>(frame.offset));
        if (const std::optional<GpsTime> t = epochs(frame)) {
            clock.Observe(*t);
            if (files.files[file].periodMs != clock.periodStartMs()) Fail("an epoch in the file of another period");
        }
    };
    scanner.Feed(stream, check);
    scanner.End(check);
    return 0;
}
