// SPDX-License-Identifier: BSD-2-Clause
// `kestrel rinex` over many logs: workers write what each log gives alone, clashing names
// are refused, reruns skip what is done; and consecutive logs of one receiver spliced into
// files per period, which read as the unbroken log does.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "rinex/rinex_obs.h"
#include "support/cli_process.h"
#include "support/frame_builder.h"
#include "support/test_files.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using test::CliRun;
using test::ReadFileBytes;
using test::WriteFileBytes;

constexpr const char* kStation = "navcom/gsi-0759-2005-092.nav";
constexpr const char* kCapture = "navcom/gpsd-navcom-long-2012.log";

std::map<std::string, std::vector<uint8_t>> FilesOf(const std::string& folder) {
    std::map<std::string, std::vector<uint8_t>> files;
    for (const auto& entry : fs::directory_iterator(folder)) {
        files[entry.path().filename().string()] = ReadFileBytes(entry.path().string());
    }
    return files;
}

class RinexBatch : public ::testing::Test {
protected:
    void SetUp() override {
        if (test::CliPath() == nullptr) GTEST_SKIP() << "KESTREL_CLI does not name the built command";
        // Files of runs at different times are the same bytes.
        setenv("SOURCE_DATE_EPOCH", "1700000000", 1);
    }
    void TearDown() override { unsetenv("SOURCE_DATE_EPOCH"); }
    CliRun Run(const std::vector<std::string>& args) { return test::RunCli(dir.path(), args); }
    test::ScratchDir dir;
};

TEST_F(RinexBatch, WorkersWriteWhatEachLogGivesAloneAndRerunsSkipIt) {
    fs::create_directories(dir.file("in"));
    WriteFileBytes(dir.file("in/gsi.nav"), ReadFileBytes(test::DataPath(kStation)));
    WriteFileBytes(dir.file("in/rx.log"), ReadFileBytes(test::DataPath(kCapture)));
    for (const char* log : {"in/gsi.nav", "in/rx.log"}) {
        ASSERT_EQ(Run({"rinex", dir.file(log), "-d", dir.file("alone"), "-q"}).status, 0);
    }
    const auto alone = FilesOf(dir.file("alone"));
    ASSERT_EQ(alone.size(), 4u);

    CliRun run = Run({"rinex", "-r", dir.file("in"), "-d", dir.file("out"), "-j", "2", "-q"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(FilesOf(dir.file("out")), alone);

    run = Run({"rinex", "-r", dir.file("in"), "-d", dir.file("out"), "-j", "2", "-q", "--skip-existing"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find(dir.file("in/gsi.nav") + ": skipped: its files are up to date"), std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find(dir.file("in/rx.log") + ": skipped"), std::string::npos) << run.out;

    // The same log under two names would write the same files: the second is refused.
    WriteFileBytes(dir.file("in/gsi-copy.nav"), ReadFileBytes(test::DataPath(kStation)));
    run = Run({"rinex", dir.file("in/gsi.nav"), dir.file("in/gsi-copy.nav"), "--marker", "GSI", "-d",
               dir.file("clash"), "-q"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find(dir.file("in/gsi-copy.nav") + " would write "), std::string::npos) << run.err;
    EXPECT_EQ(FilesOf(dir.file("clash")).size(), 2u);

    // -o names the files of one log only.
    run = Run({"rinex", dir.file("in/gsi.nav"), dir.file("in/rx.log"), "-o", dir.file("x.rnx")});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("-o and -n name the files of one LOG"), std::string::npos) << run.err;
}

TEST_F(RinexBatch, PiecesOfOneLogSplicedReadAsTheWholeLog) {
    // The station hour cut at byte offsets that fall inside frames, named out of order.
    const auto log = ReadFileBytes(test::DataPath(kStation));
    const std::size_t cuts[] = {0, 5003, 11111, log.size()};
    fs::create_directories(dir.file("pieces"));
    std::vector<std::string> pieces;
    for (int i = 2; i >= 0; --i) {
        const std::string name = dir.file("pieces/piece" + std::to_string(i) + ".nav");
        WriteFileBytes(name, std::vector<uint8_t>(log.begin() + static_cast<std::ptrdiff_t>(cuts[i]),
                                                  log.begin() + static_cast<std::ptrdiff_t>(cuts[i + 1])));
        pieces.push_back(name);
    }
    for (const char* version : {"3.04", "2.11"}) {
        SCOPED_TRACE(version);
        const std::string whole = dir.file(std::string("whole") + version);
        const std::string spliced = dir.file(std::string("spliced") + version);
        ASSERT_EQ(Run({"rinex", test::DataPath(kStation), "--marker", "GSI1", "-v", version, "-d", whole, "-q"}).status,
                  0);
        std::vector<std::string> args = {"rinex", "--splice", "--marker", "GSI1", "-v", version, "-d", spliced, "-q"};
        args.insert(args.end(), pieces.begin(), pieces.end());
        const CliRun run = Run(args);
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(FilesOf(spliced), FilesOf(whole));
    }
}

// Two logs across an hour's end, with --period 1h: one pair of files per hour; a satellite
// whose lock counter did not move is not flagged at the join, one whose counter moved is.
TEST_F(RinexBatch, SplicedFilesSplitAtThePeriodAndKeepLockAcrossTheJoin) {
    constexpr uint16_t kWeek = 1316;
    constexpr uint32_t kHourEndMs = 518400000 + 3600000;  // 01:00 of the station's day
    auto epoch = [](uint32_t timeMs, uint8_t lock5, uint8_t lock9) {
        test::MeasurementFrame frame(timeMs);
        frame.Week(kWeek);
        for (const auto& [prn, lock] : {std::pair<uint8_t, uint8_t>{5, lock5}, {9, lock9}, {12, 0}, {17, 0}}) {
            test::SatBlock b;
            b.prn = prn;
            b.caRange = 0x6000000 + prn * 1000u + timeMs / 1000u;
            b.l1Lock = lock;
            b.l2 = true;
            frame.Sat(b);
        }
        return frame.Bytes();
    };
    std::vector<uint8_t> first, second;
    for (uint32_t t = kHourEndMs - 5000; t < kHourEndMs; t += 1000) {
        const auto f = epoch(t, 3, 7);
        first.insert(first.end(), f.begin(), f.end());
    }
    for (uint32_t t = kHourEndMs; t < kHourEndMs + 5000; t += 1000) {
        const auto f = epoch(t, 3, 8);  // PRN 9's counter moved at the join
        second.insert(second.end(), f.begin(), f.end());
    }
    WriteFileBytes(dir.file("a.nav"), first);
    WriteFileBytes(dir.file("b.nav"), second);
    const CliRun run = Run({"rinex", dir.file("b.nav"), dir.file("a.nav"), "--splice", "--period", "1h", "-v",
                            "2.11", "--marker", "JOIN", "-d", dir.file("out"), "-q", "--no-clock-correction"});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::vector<std::string> expected = {"join092a.05o", "join092b.05o"};  // hours 00 and 01
    std::vector<std::string> names;
    for (const auto& [name, bytes] : FilesOf(dir.file("out"))) names.push_back(name);
    ASSERT_EQ(names, expected);

    rinex::ObsFile before;
    rinex::ObsFile after;
    std::string error;
    ASSERT_TRUE(rinex::ReadObsFile(dir.file("out/join092a.05o"), before, error)) << error;
    ASSERT_TRUE(rinex::ReadObsFile(dir.file("out/join092b.05o"), after, error)) << error;
    ASSERT_EQ(before.epochs.size(), 5u);
    ASSERT_EQ(after.epochs.size(), 5u);
    const int l1 = after.header.TypeIndex("L1");
    ASSERT_GE(l1, 0);
    std::map<int, int> lliAtJoin;
    for (const auto& sat : after.epochs.front().satellites) lliAtJoin[sat.prn] = sat.values[l1].lli & 1;
    EXPECT_EQ(lliAtJoin, (std::map<int, int>{{5, 0}, {9, 1}, {12, 0}, {17, 0}}));
}

}  // namespace
}  // namespace kestrel
