// SPDX-License-Identifier: BSD-2-Clause
// `kestrel rtcm` run as a user runs it: the file's name and summary, the station's position
// from the solutions (said so, and first in the file), options refused with a reason, logs
// that give no position or nothing at all, standard input, several logs at once, and a run
// stopped by Ctrl-C.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "rtcm/bits.h"
#include "support/cli_process.h"
#include "support/frame_builder.h"
#include "support/rtcm_reader.h"
#include "support/test_files.h"

namespace kestrel {
namespace {

using test::CliRun;

constexpr const char* kStationLog = "navcom/gsi-0759-2005-092.nav";
constexpr const char* kShortCapture = "navcom/gpsd-navcom.log";

class RtcmCli : public ::testing::Test {
protected:
    void SetUp() override {
        if (test::CliPath() == nullptr) GTEST_SKIP() << "KESTREL_CLI does not name the built command";
    }
    CliRun Run(const std::vector<std::string>& args, const std::string& in = "") {
        return test::RunCli(dir.path(), args, in);
    }
    test::ScratchDir dir;
};

std::vector<std::vector<uint8_t>> Frames(const std::string& path) {
    std::vector<std::vector<uint8_t>> frames;
    std::string error;
    EXPECT_TRUE(test::SplitRtcmFrames(test::ReadFileBytes(path), frames, error)) << error;
    return frames;
}

int Count(const std::vector<std::vector<uint8_t>>& frames, int number) {
    return static_cast<int>(std::count_if(frames.begin(), frames.end(),
                                          [number](const auto& f) { return test::RtcmMessageNumber(f) == number; }));
}

// X, Y, Z of a 1005 or 1006 frame, m.
std::array<double, 3> PositionOf(const std::vector<uint8_t>& frame) {
    rtcm::BitReader r(frame.data() + rtcm::kHeaderBytes, frame.size() - rtcm::kFrameOverheadBytes);
    r.Unsigned(12 + 12 + 6 + 4);
    std::array<double, 3> p{};
    for (int k = 0; k < 3; ++k) {
        p[static_cast<std::size_t>(k)] = static_cast<double>(r.Signed(38)) * 1e-4;
        r.Unsigned(2);
    }
    return p;
}

TEST_F(RtcmCli, WritesTheLogUnderItsNameWithThePositionOfItsSolutionsFirst) {
    const CliRun run = Run({"rtcm", test::DataPath(kStationLog), "-d", dir.file("out"), "-q"});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string file = dir.file("out/gsi-0759-2005-092.rtcm3");
    ASSERT_TRUE(test::FileExists(file));
    EXPECT_NE(run.out.find("120 epochs, 23 ephemerides: 101 x 1006, 23 x 1019, 120 x 1033, 120 x 1074 written to " + file),
              std::string::npos)
        << run.out;
    // The default messages: MSM4, ephemerides, 1006 and 1033 every 10 s; the position, the
    // median of the first ten minutes' solutions, is said and goes first.
    const std::string said = "1005/1006 carry the median of ";
    const std::size_t at = run.out.find(said);
    ASSERT_NE(at, std::string::npos) << run.out;
    std::array<double, 3> printed{};
    ASSERT_EQ(std::sscanf(run.out.c_str() + run.out.find(": ", at) + 2, "%lf, %lf, %lf", &printed[0], &printed[1],
                          &printed[2]),
              3);
    const auto frames = Frames(file);
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(test::RtcmMessageNumber(frames.front()), 1006);
    const std::array<double, 3> sent = PositionOf(frames.front());
    const double station[3] = {-3976219.5082, 3382372.5671, 3652512.9849};
    for (int k = 0; k < 3; ++k) {
        EXPECT_NEAR(sent[k], printed[k], 0.0001);
        EXPECT_NEAR(sent[k], station[k], 10.0) << "a single-point position, metres from the surveyed one";
    }
    // The summary counts the frames in the file, the position sent first among them.
    const std::pair<int, int> counted[] = {{1006, 101}, {1019, 23}, {1033, 120}, {1074, 120}};
    for (const auto& [number, count] : counted) EXPECT_EQ(Count(frames, number), count) << number;
}

TEST_F(RtcmCli, RefusesOptionsThatDoNotHoldWithTheReason) {
    const std::string log = test::DataPath(kStationLog);
    struct Case {
        std::vector<std::string> args;
        const char* reason;
    };
    const Case cases[] = {
        {{"--msg", "1074,1075"}, "'1075' is not a message"},
        {{"--msg", "1074,,1019"}, "empty item"},
        {{"--msg", "1005(0)"}, "interval"},
        {{"--antenna", std::string(32, 'A')}, "antenna type is longer than 31 characters"},
        {{"--receiver", "X,Y,\x01"}, "receiver serial number holds characters"},
        {{"--position", "1,2"}, "--position"},
        {{"--position", "1,2,3e9"}, "coordinate"},
        {{"--antenna-height", "7"}, "--antenna-height"},
        {{"--station-id", "4096"}, "--station-id"},
        {{"-o", "a.rtcm3", test::DataPath(kShortCapture)}, "-o names the file of one LOG"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"rtcm", log, "-q"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const CliRun run = Run(args);
        EXPECT_EQ(run.status, 2) << c.reason;
        EXPECT_NE(run.err.find(c.reason), std::string::npos) << run.err;
        EXPECT_FALSE(test::FileExists(dir.file("gsi-0759-2005-092.rtcm3")));
    }
}

TEST_F(RtcmCli, ALogWithoutSolutionsSaysSoAndALogOfNothingFails) {
    // The station's hour without its ephemerides: observations, but no solution to place it.
    std::vector<uint8_t> epochsOnly;
    for (const test::FoundFrame& f : test::FindFrames(test::ReadFileBytes(test::DataPath(kStationLog)))) {
        if (f.id != 0x81) epochsOnly.insert(epochsOnly.end(), f.bytes.begin(), f.bytes.end());
    }
    test::WriteFileBytes(dir.file("epochs.nav"), epochsOnly);
    const CliRun run = Run({"rtcm", dir.file("epochs.nav"), "-o", dir.file("epochs.rtcm3"), "-q"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("no single-point solution in the first ten minutes: no 1005/1006 written"), std::string::npos)
        << run.err;
    const auto frames = Frames(dir.file("epochs.rtcm3"));
    EXPECT_EQ(Count(frames, 1074), 120);
    EXPECT_EQ(Count(frames, 1006), 0);

    test::WriteFileBytes(dir.file("nothing.nav"), std::vector<uint8_t>(4096, 0x55));
    const CliRun nothing = Run({"rtcm", dir.file("nothing.nav"), "-o", dir.file("nothing.rtcm3"), "-q"});
    EXPECT_EQ(nothing.status, 1);
    EXPECT_FALSE(test::FileExists(dir.file("nothing.rtcm3")));
}

TEST_F(RtcmCli, ReadsStandardInputAndManyLogsAtOnce) {
    const CliRun piped = Run({"rtcm", "-", "-o", dir.file("piped.rtcm3"), "-q", "--msg", "1077,1019"},
                             test::DataPath(kStationLog));
    ASSERT_EQ(piped.status, 0) << piped.err;
    EXPECT_EQ(Count(Frames(dir.file("piped.rtcm3")), 1077), 120);

    const std::vector<std::string> logs = {test::DataPath(kStationLog), test::DataPath(kShortCapture),
                                           test::DataPath("navcom/gpsd-navcom-long-2012.log")};
    std::vector<std::string> args = {"rtcm", "-d", dir.file("many"), "-j", "2", "-q", "--msg", "1004,1019"};
    args.insert(args.end(), logs.begin(), logs.end());
    const CliRun many = Run(args);
    ASSERT_EQ(many.status, 0) << many.err;
    const std::pair<const char*, int> files[] = {
        {"many/gsi-0759-2005-092.rtcm3", 120}, {"many/gpsd-navcom.rtcm3", 7}, {"many/gpsd-navcom-long-2012.rtcm3", 23}};
    for (const auto& [name, epochs] : files) EXPECT_EQ(Count(Frames(dir.file(name)), 1004), epochs) << name;

    const CliRun again = Run({"rtcm", "-d", dir.file("many"), "--skip-existing", "-q", logs[0]});
    EXPECT_EQ(again.status, 0);
    EXPECT_NE(again.out.find("skipped"), std::string::npos) << again.out;
}

TEST_F(RtcmCli, DashAsOutputSendsTheFileItWouldWriteOnStandardOutput) {
    // Standard output carries the frames alone, byte for byte those of the file, with the
    // position gathered first as in a file; the summary and notes go to standard error.
    struct Case {
        std::vector<std::string> options;
        const char* note;  // standard error holds it
    };
    const Case cases[] = {
        {{"--msg", "1074,1019,1006(10),1033(10)"}, "1005/1006 carry the median of "},
        {{"--msg", "1004,1019,1005", "--position", "-3976219.5082,3382372.5671,3652512.9849"}, "written to standard output"},
    };
    const std::string log = test::DataPath(kStationLog);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options[1]);
        std::vector<std::string> toFile = {"rtcm", log, "-o", dir.file("file.rtcm3"), "-q"};
        toFile.insert(toFile.end(), c.options.begin(), c.options.end());
        ASSERT_EQ(Run(toFile).status, 0);
        const std::vector<uint8_t> file = test::ReadFileBytes(dir.file("file.rtcm3"));
        for (const std::string& input : {log, std::string("-")}) {
            std::vector<std::string> args = {"rtcm", input, "-o", "-", "-q"};
            args.insert(args.end(), c.options.begin(), c.options.end());
            const CliRun run = Run(args, input == "-" ? log : "");
            ASSERT_EQ(run.status, 0) << run.err;
            EXPECT_EQ(std::vector<uint8_t>(run.out.begin(), run.out.end()), file) << input;
            EXPECT_NE(run.err.find(c.note), std::string::npos) << run.err;
            EXPECT_NE(run.err.find("120 epochs, 23 ephemerides: "), std::string::npos) << run.err;
        }
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("-")));
    // Standard output is one log's.
    const CliRun two = Run({"rtcm", log, test::DataPath(kShortCapture), "-o", "-"});
    EXPECT_EQ(two.status, 2);
    EXPECT_EQ(two.out, "");
}

TEST_F(RtcmCli, CtrlCKeepsWholeFramesThatSkipExistingConvertsAgain) {
    // A receiver sending its log into a FIFO, over and over, until Ctrl-C.
    const std::string fifo = dir.file("live.log");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::vector<uint8_t> log = test::ReadFileBytes(test::DataPath("navcom/gpsd-navcom-long-2012.log"));
    const std::vector<std::string> args = {"rtcm", fifo, "-d", dir.file("out"), "-q", "--skip-existing"};
    {
        test::FifoFeeder receiver(fifo, log);
        const pid_t pid = test::StartCli(args, dir.file("stdout.txt"), dir.file("stderr.txt"));
        ASSERT_GT(pid, 0);
        for (int waited = 0; !receiver.connected() && waited < test::kCliWaitSeconds * 1000; ++waited) usleep(1000);
        usleep(300000);
        ASSERT_EQ(kill(pid, SIGINT), 0);
        EXPECT_EQ(test::WaitCliFor(pid, test::kCliWaitSeconds), 130) << test::ReadFileText(dir.file("stderr.txt"));
    }
    EXPECT_NE(test::ReadFileText(dir.file("stderr.txt")).find("stopped after"), std::string::npos);
    const std::string file = dir.file("out/live.rtcm3");
    const auto frames = Frames(file);  // whole frames, each with its CRC
    EXPECT_EQ(Count(frames, 1074), 23) << "the log's epochs, its repeats (earlier in time) dropped";
    // The log, now a file of the same age: what Ctrl-C kept is older, so it runs again, and
    // once whole it is up to date.
    struct stat fifoStatus;
    ASSERT_EQ(stat(fifo.c_str(), &fifoStatus), 0);
    std::filesystem::remove(fifo);
    test::WriteFileBytes(fifo, log);
    const timespec times[2] = {fifoStatus.st_mtim, fifoStatus.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, fifo.c_str(), times, 0), 0);
    CliRun run = Run(args);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out.find("skipped"), std::string::npos) << run.out;
    run = Run(args);
    EXPECT_NE(run.out.find("skipped"), std::string::npos) << run.out;
}

}  // namespace
}  // namespace kestrel
