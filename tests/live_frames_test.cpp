// SPDX-License-Identifier: BSD-2-Clause
// The frames, periods and raw period files of a live stream: the scanner finds the frames the
// decoder decodes, wherever the reads split them; periods follow the data's own time; the raw
// files together are the stream, each frame whole in the period of its epoch.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <cerrno>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "live/frame_scanner.h"
#include "live/inputs.h"
#include "live/period_clock.h"
#include "live/raw_periods.h"
#include "navcom/frame_parser.h"
#include "support/frame_builder.h"
#include "support/receiver_sim.h"
#include "support/test_files.h"
#include "threadbuf/threadbuf.h"

namespace kestrel::live {
namespace {

using test::Concat;
using test::MeasurementFrame;
using test::SatBlock;

constexpr uint16_t kWeek = 1316;

std::vector<uint8_t> Epoch(uint32_t timeMs, uint16_t week = kWeek) {
    SatBlock sat;
    sat.prn = 7;
    sat.caRange = 0x01234567;
    return MeasurementFrame(timeMs).Week(week).Sat(sat).Bytes();
}

std::vector<uint8_t> Head(const std::vector<uint8_t>& f, std::size_t n) { return {f.begin(), f.begin() + static_cast<std::ptrdiff_t>(n)}; }

struct Found {
    uint64_t offset;
    std::vector<uint8_t> bytes;
    bool decoded;
};

// Scans `stream` in reads of the given sizes (cycled); the frames in the order reported.
std::vector<Found> Scan(const std::vector<uint8_t>& stream, const std::vector<std::size_t>& reads) {
    FrameScanner scanner;
    std::vector<Found> found;
    std::size_t at = 0;
    for (std::size_t r = 0; at < stream.size(); ++r) {
        const std::size_t n = std::min(reads[r % reads.size()], stream.size() - at);
        scanner.Feed({stream.data() + at, n}, [&](const ScannedFrame& f) {
            found.push_back({f.offset, {f.bytes.begin(), f.bytes.end()}, f.decoded});
        });
        at += n;
    }
    scanner.End([&](const ScannedFrame& f) { found.push_back({f.offset, {f.bytes.begin(), f.bytes.end()}, f.decoded}); });
    return found;
}

std::vector<std::vector<uint8_t>> DecodedOnly(const std::vector<Found>& found) {
    std::vector<std::vector<uint8_t>> out;
    for (const Found& f : found) {
        if (f.decoded) out.push_back(f.bytes);
    }
    return out;
}

// ---- the frames the decoder accepts, recorded by handlers of its own table -------------

std::vector<std::vector<uint8_t>> accepted;
int32_t Record(int32_t port, uint8_t*) {
    const PortState* p = GetPortState(port);
    accepted.emplace_back(p->frame, p->frame + p->frameLength);
    return 1;
}
const RecordDef kRecordingTable[] = {
    {0xB0, "MEASUREMENT", 15, 16, 13, 1, Record},
    {0x81, "EPHEMERIS", 89, 0, 0, 0, Record},
};

std::vector<std::vector<uint8_t>> DecoderFrames(const std::vector<uint8_t>& stream) {
    UseRecordTable(kRecordingTable, 2);
    accepted.clear();
    std::vector<uint8_t> queue(kThreadBufMemoryBytes);
    ResetThreadBuf(queue.data());
    EXPECT_EQ(OpenPort(0, nullptr), 0);
    for (uint8_t b : stream) FeedByte(0, b, queue.data());
    while (FeedEndOfInput(0, queue.data()) > 0) {
    }
    UseRecordTable(nullptr, 0);
    return accepted;
}

// Flips one bit in about one byte in `oneIn`.
std::vector<uint8_t> Damaged(std::vector<uint8_t> bytes, unsigned seed, int oneIn) {
    std::mt19937 random(seed);
    for (uint8_t& b : bytes) {
        if (random() % static_cast<unsigned>(oneIn) == 0) b ^= static_cast<uint8_t>(1u << (random() % 8));
    }
    return bytes;
}

TEST(FrameScanner, FindsTheFramesTheDecoderDecodesInRealAndDamagedCaptures) {
    for (const char* log : {"navcom/gpsd-navcom.log", "navcom/gpsd-navcom-long-2012.log", "navcom/gsi-0759-2005-092.nav"}) {
        const std::vector<uint8_t> clean = test::ReadFileBytes(test::DataPath(log));
        for (int oneIn : {0, 500, 60}) {
            const std::vector<uint8_t> stream = oneIn == 0 ? clean : Damaged(clean, 7u + static_cast<unsigned>(oneIn), oneIn);
            const auto expected = DecoderFrames(stream);
            if (oneIn == 0) {
                ASSERT_GE(expected.size(), 20u) << log;
            }
            for (const std::vector<std::size_t>& reads :
                 std::vector<std::vector<std::size_t>>{{stream.size()}, {1}, {7, 300, 2, 64}, {4096}}) {
                EXPECT_EQ(DecodedOnly(Scan(stream, reads)), expected)
                    << log << " damaged 1 in " << oneIn << ", first read " << reads[0];
            }
        }
    }
}

TEST(FrameScanner, ChecklistOfStreams) {
    const std::vector<uint8_t> e1 = Epoch(1000), e2 = Epoch(2000);
    std::vector<uint8_t> badSum = e1;
    badSum.back() ^= 0x01;
    const std::vector<uint8_t> ack = {0x02, 0x99, 0x66, 0x06, 0x06, 0x00, 0x20, 0x00, 0x20};
    std::vector<uint8_t> falseLength = Head(e1, 6);
    falseLength[4] = 0xFF;  // an unknown-length header that hides the frame after it
    struct Case {
        const char* name;
        std::vector<uint8_t> stream;
        std::vector<std::pair<uint64_t, std::size_t>> frames;  // offset, size
    };
    const std::size_t n = e1.size();
    const std::vector<Case> cases = {
        {"complete", e1, {{0, n}}},
        {"incomplete", Head(e1, n - 1), {}},
        {"sync error", Concat({{0x02, 0x99, 0x67}, e1}), {{3, n}}},
        {"bad checksum, then a good frame", Concat({badSum, e2}), {{n, n}}},
        {"sync bytes inside the header", Concat({{0x02, 0x02, 0x99}, e1}), {{3, n}}},
        {"a good frame inside a rejected one", Concat({Head(e1, 10), e2}), {{10, n}}},
        {"other records are frames, trailers are not", Concat({ack, {0x03}, e1, {0x03}}), {{0, 9}, {10, n}}},
        {"a header claiming a long frame", Concat({{0x02, 0x99, 0x66, 0x44, 0xF0, 0x00}, e1}), {{6, n}}},
    };
    for (const Case& c : cases) {
        for (std::size_t read : {std::size_t{1}, std::size_t{5}, c.stream.size() + 1}) {
            std::vector<std::pair<uint64_t, std::size_t>> got;
            for (const Found& f : Scan(c.stream, {read})) got.emplace_back(f.offset, f.bytes.size());
            EXPECT_EQ(got, c.frames) << c.name << ", reads of " << read;
        }
    }
}

// ---- periods ------------------------------------------------------------------------

TEST(PeriodClock, CutsByTheDataOwnTime) {
    using C = PeriodClock::Change;
    struct Step {
        int week;
        double sow;
        C change;
        double periodSow;
    };
    struct Case {
        const char* name;
        int64_t periodS;
        std::vector<Step> steps;
    };
    const std::vector<Case> cases = {
        {"hours", 3600, {{1316, 518400.001, C::kFirst, 518400}, {1316, 521999.999, C::kSame, 518400},
                         {1316, 522000.0, C::kNext, 522000}, {1316, 522030.0, C::kSame, 522000}}},
        {"quarter hours and a gap of several", 900, {{1316, 100.0, C::kFirst, 0}, {1316, 4000.0, C::kNext, 3600}}},
        {"a day across the week's end", 86400, {{1316, 604799.0, C::kFirst, 518400}, {1317, 0.5, C::kNext, 0}}},
        {"a repeated epoch stays", 3600, {{1316, 10.0, C::kFirst, 0}, {1316, 10.0, C::kSame, 0}}},
        {"time backwards in the same hour", 3600,
         {{1316, 3000.0, C::kFirst, 0}, {1316, 1000.0, C::kBackwards, 0}, {1316, 1001.0, C::kSame, 0}}},
        {"time backwards by weeks", 3600, {{1316, 3000.0, C::kFirst, 0}, {1200, 3000.0, C::kBackwards, 0}}},
    };
    for (const Case& c : cases) {
        PeriodClock clock(c.periodS);
        for (std::size_t i = 0; i < c.steps.size(); ++i) {
            const Step& s = c.steps[i];
            EXPECT_EQ(clock.Observe({s.week, s.sow}), s.change) << c.name << " step " << i;
            EXPECT_EQ(clock.periodStart().week, s.week) << c.name << " step " << i;
            EXPECT_EQ(clock.periodStart().sow, s.periodSow) << c.name << " step " << i;
        }
    }
    EXPECT_EQ(ParsePeriod("15m"), 900);
    EXPECT_EQ(ParsePeriod("1d"), 86400);
    EXPECT_FALSE(ParsePeriod("2h"));
    EXPECT_FALSE(ParsePeriod("1H"));
}

// Raw period files in a folder, named by their period's start, with what happened to them.
class FolderFiles : public RawFileMaker {
public:
    explicit FolderFiles(std::string dir) : dir_(std::move(dir)) {}

    int Open(const std::optional<GpsTime>& start) override {
        if (failOpens > 0) {
            --failOpens;
            events.push_back("cannot open");
            return -1;
        }
        const std::string path = Unused(start ? Name(*start) : "unplaced");
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        EXPECT_GE(fd, 0) << path;
        paths_[fd] = path;
        events.push_back("open " + path.substr(dir_.size() + 1));
        return fd;
    }
    void Assign(int fd, const GpsTime& start) override {
        const std::string path = Unused(Name(start));
        EXPECT_EQ(::rename(paths_[fd].c_str(), path.c_str()), 0);
        paths_[fd] = path;
        events.push_back("assign " + Name(start));
    }
    void Close(int fd) override {
        events.push_back("close " + paths_[fd].substr(dir_.size() + 1));
        order.push_back(paths_[fd]);
        ::close(fd);
    }
    void WriteFailed(int fd, int) override { events.push_back("failed " + paths_[fd].substr(dir_.size() + 1)); }

    static std::string Name(const GpsTime& t) {
        return std::to_string(t.week) + "-" + std::to_string(static_cast<long>(t.sow));
    }

    // The files' names, and their bytes one after the other, in the order they were closed.
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const std::string& path : order) names.push_back(path.substr(dir_.size() + 1));
        return names;
    }
    std::vector<uint8_t> Joined() const {
        std::vector<uint8_t> joined;
        for (const std::string& path : order) {
            const std::vector<uint8_t> bytes = test::ReadFileBytes(path);
            joined.insert(joined.end(), bytes.begin(), bytes.end());
        }
        return joined;
    }

    int failOpens = 0;
    std::vector<std::string> events;
    std::vector<std::string> order;  // files as closed

private:
    // The path of a new file of that name (a second period of one name, after a reset,
    // gets "+1").
    std::string Unused(const std::string& name) const {
        std::string path = dir_ + "/" + name;
        for (int n = 1; test::FileExists(path); ++n) path = dir_ + "/" + name + "+" + std::to_string(n);
        return path;
    }

    std::string dir_;
    std::map<int, std::string> paths_;
};

// Runs a stream through cutter and writer in reads of `read` bytes.
void WriteRaw(const std::vector<uint8_t>& stream, std::size_t read, int64_t periodS, RawPeriodWriter& writer) {
    PeriodCutter cutter(periodS, FrameEpochs());
    std::vector<PeriodCut> cuts;
    for (std::size_t at = 0; at < stream.size(); at += read) {
        const std::span<const uint8_t> chunk(stream.data() + at, std::min(read, stream.size() - at));
        cutter.Feed(chunk, cuts);
        writer.Write(chunk, cuts);
    }
    writer.Finish();
}

TEST(RawPeriods, EachFrameGoesWholeIntoThePeriodOfItsEpoch) {
    const std::vector<uint8_t> junk = {0x41, 0x42, 0x02, 0x99};
    // Epochs at 10 s, 899.9 s (first quarter hour), 900 s and 1799 s (second), 2700 s (fourth),
    // then 100 s after a reset: five periods, each file starting with its first epoch's frame.
    const std::vector<std::vector<uint8_t>> parts = {junk,         Epoch(10000),   test::MakeFrame(0x44, {1, 2, 3}),
                                                     Epoch(899900), Epoch(900000), junk,
                                                     Epoch(1799000), Epoch(2700000), Epoch(100000)};
    std::vector<uint8_t> stream;
    for (const auto& p : parts) stream.insert(stream.end(), p.begin(), p.end());
    for (std::size_t read : {std::size_t{1}, std::size_t{3}, std::size_t{40}, std::size_t{100}, stream.size()}) {
        test::ScratchDir dir;
        FolderFiles files(dir.path());
        RawPeriodWriter writer(files);
        WriteRaw(stream, read, 900, writer);
        ASSERT_EQ(files.order.size(), 4u) << "reads of " << read;
        EXPECT_EQ(files.Joined(), stream) << "reads of " << read;
        // The first file holds what came before the first epoch; the others start with one.
        EXPECT_EQ(files.Names(), (std::vector<std::string>{"1316-0", "1316-900", "1316-2700", "1316-0+1"}));
        const std::vector<uint8_t> second = test::ReadFileBytes(files.order[1]);
        EXPECT_TRUE(std::equal(parts[4].begin(), parts[4].end(), second.begin())) << "reads of " << read;
        const std::vector<uint8_t> last = test::ReadFileBytes(files.order[3]);
        EXPECT_EQ(last, parts[8]) << "reads of " << read;
        EXPECT_EQ(writer.droppedBytes(), 0u);
    }
}

// A disk that is full for the first files: /dev/full fails every write with ENOSPC.
class FullDisk : public FolderFiles {
public:
    using FolderFiles::FolderFiles;
    int Open(const std::optional<GpsTime>& start) override {
        if (fullOpens-- <= 0) return FolderFiles::Open(start);
        events.push_back("open full");
        full_ = ::open("/dev/full", O_WRONLY);
        return full_;
    }
    void Assign(int fd, const GpsTime& start) override {
        if (fd != full_) FolderFiles::Assign(fd, start);
    }
    void Close(int fd) override {
        if (fd != full_) return FolderFiles::Close(fd);
        events.push_back("close full");
        ::close(fd);
        full_ = -1;
    }
    void WriteFailed(int, int error) override { events.push_back(error == ENOSPC ? "no space" : "failed"); }
    int fullOpens = 0;

private:
    int full_ = -1;
};

TEST(RawPeriods, AFailedFileIsSaidOnceAndTheNextPeriodIsWritten) {
    const std::vector<uint8_t> stream = Concat({Epoch(0), Epoch(1000), Epoch(2000), Epoch(900000), Epoch(901000)});
    for (std::size_t read : {std::size_t{1}, std::size_t{50}}) {
        test::ScratchDir dir;
        FullDisk files(dir.path());
        files.fullOpens = 1;
        RawPeriodWriter writer(files);
        WriteRaw(stream, read, 900, writer);
        EXPECT_EQ(files.events, (std::vector<std::string>{"open full", "no space", "close full", "open 1316-900",
                                                          "close 1316-900"}))
            << "reads of " << read;
        EXPECT_EQ(test::ReadFileBytes(dir.file("1316-900")), Concat({Epoch(900000), Epoch(901000)}));
        EXPECT_EQ(writer.droppedBytes(), 3 * Epoch(0).size());
    }
    // A file that cannot be made: its period's bytes are dropped, the next period's written.
    test::ScratchDir dir;
    FolderFiles files(dir.path());
    files.failOpens = 1;
    RawPeriodWriter writer(files);
    WriteRaw(stream, 7, 900, writer);
    EXPECT_EQ(files.events, (std::vector<std::string>{"cannot open", "open 1316-900", "close 1316-900"}));
}

TEST(RawPeriods, ALiveStationHourInQuarterHoursIsTheStream) {
    if (test::ReceiverSim::Path() == nullptr) GTEST_SKIP() << "no receiver simulator (tools not built)";
    const std::string log = test::DataPath("navcom/gsi-0759-2005-092.nav");
    test::ReceiverSim sim;
    ASSERT_TRUE(sim.Start({log, "--pty", "--speed", "0"}));
    std::string error;
    const std::unique_ptr<Input> input = OpenInput(*ParseInputSource(sim.input(), error), {}, error);
    ASSERT_NE(input, nullptr) << error;
    test::ScratchDir dir;
    FolderFiles files(dir.path());
    RawPeriodWriter writer(files);
    PeriodCutter cutter(900, FrameEpochs());
    std::vector<PeriodCut> cuts;
    std::vector<uint8_t> buffer(4096);
    const std::vector<uint8_t> expected = test::ReadFileBytes(log);
    const double start = MonotonicSeconds();
    while (writer.streamBytes() < expected.size() && MonotonicSeconds() - start < 60.0) {
        const ReadResult r = input->Read(buffer, 50);
        if (r.kind != ReadResult::Kind::kBytes) continue;
        cutter.Feed({buffer.data(), r.size}, cuts);
        writer.Write({buffer.data(), r.size}, cuts);
    }
    writer.Finish();
    const std::vector<std::string> names = files.Names();
    EXPECT_EQ(names, (std::vector<std::string>{"1316-518400", "1316-519300", "1316-520200", "1316-521100"}));
    EXPECT_TRUE(files.Joined() == expected);
    // Each file holds its quarter hour's epochs only.
    for (std::size_t i = 0; i < names.size(); ++i) {
        const double periodStart = std::stod(names[i].substr(5));
        FrameEpochs epochs;
        FrameScanner scanner;
        scanner.Feed(test::ReadFileBytes(files.order[i]), [&](const ScannedFrame& f) {
            if (const auto t = epochs(f)) {
                EXPECT_GE(t->sow, periodStart) << names[i];
                EXPECT_LT(t->sow, periodStart + 900) << names[i];
            }
        });
    }
}

}  // namespace
}  // namespace kestrel::live
