// SPDX-License-Identifier: BSD-2-Clause
// The `kestrel` command, run as a user runs it: exit statuses, files, summary, messages
// and progress, argument errors, detection, inspection, and Ctrl-C mid-conversion.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "kestrel_build_commit.h"
#include "obx_read.h"
#include "plugin/obx_writer.h"
#include "support/cli_process.h"
#include "support/eph_text.h"
#include "support/test_files.h"

namespace kestrel {
namespace {

using test::AwaitText;
using test::CliPath;
using test::CliRun;
using test::LastLineIs;
using test::OpenFifoForWriting;
using test::ReadFileBytes;
using test::ReadFileText;
using test::ScratchDir;
using test::WriteAll;
using test::WriteFileBytes;

pid_t Start(const std::vector<std::string>& args, const std::string& outPath, const std::string& errPath,
            int* errPipe = nullptr) {
    return test::StartCli(args, outPath, errPath, errPipe);
}
int Wait(pid_t pid) { return test::WaitCli(pid); }
CliRun RunCli(const ScratchDir& dir, const std::vector<std::string>& args) { return test::RunCli(dir.path(), args); }

class Cli : public ::testing::Test {
protected:
    void SetUp() override {
        if (CliPath() == nullptr) GTEST_SKIP() << "KESTREL_CLI does not name the built command";
    }
    ScratchDir dir;
};

TEST_F(Cli, ConvertsARealCaptureAndSumsItUp) {
    WriteFileBytes(dir.file("sample.log"), ReadFileBytes(test::DataPath("navcom/gpsd-navcom.log")));
    const CliRun run = RunCli(dir, {"convert", dir.file("sample.log")});
    ASSERT_EQ(run.status, 0) << run.err;

    const auto obx = obx::ReadObx(dir.file("sample.obx"));
    ASSERT_EQ(obx.state, obx::ObxState::kComplete) << obx.problem;
    const auto eph = test::CheckEphemerisText(ReadFileText(dir.file("sample.epp")));
    EXPECT_EQ(eph.problem, "");
    const std::string summary = std::to_string(obx.epochs.size()) + " epochs, " + std::to_string(eph.gpsEphBlocks) +
                                " ephemerides written to " + dir.file("sample.obx") + " and " +
                                dir.file("sample.epp") + " in ";
    EXPECT_TRUE(LastLineIs(run.out, summary, " s")) << run.out;
    // Standard error is no terminal here: plain percentages, ending at the whole.
    EXPECT_NE(run.err.find("100%\n"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find('\r'), std::string::npos);
}

TEST_F(Cli, SwitchesReachTheConversion) {
    const CliRun run = RunCli(dir, {"convert", test::DataPath("navcom/gpsd-navcom-long-2012.log"), "-o",
                                 dir.file("out.bin"), "--flag-epochs", "--no-clock-correction", "--no-l2-slips",
                                 "--quiet"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");  // quiet: no progress
    const auto obx = obx::ReadObx(dir.file("out.obx"));
    ASSERT_EQ(obx.state, obx::ObxState::kComplete) << obx.problem;
    EXPECT_TRUE(test::FileExists(dir.file("out.epp")));
    for (const auto& epoch : obx.epochs) {
        EXPECT_EQ(epoch.position.flags, KESTREL_EPOCH_FLAG_MARKED);  // marked, never clock-corrected
        EXPECT_EQ(double{epoch.position.corrected_time}, double{epoch.position.time_tag});
    }
    EXPECT_EQ(run.out.find("L2 cycle slip"), std::string::npos);
}

TEST_F(Cli, FailureShowsTheErrorTextAndExitsNonZero) {
    const CliRun run = RunCli(dir, {"convert", dir.file("nothere.log"), "-q"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "kestrel: Error: Unable to open " + dir.file("nothere.log") + ": " + std::strerror(ENOENT) + "\n");
    EXPECT_FALSE(test::FileExists(dir.file("nothere.obx")));
}

TEST_F(Cli, BadArgumentsAreNamed) {
    struct Case {
        std::vector<std::string> args;
        std::string named;
    };
    const std::string longPath(300, 'p');
    const Case cases[] = {
        {{}, "Usage: kestrel"},
        {{"frobnicate"}, "'frobnicate'"},
        {{"convert"}, "no LOG given"},
        {{"convert", "a.log", "b.log", "-o", "x"}, "-o names the outputs of one LOG"},
        {{"convert", "a.log", "-j", "0"}, "--jobs"},
        {{"convert", "--bogus", "a.log"}, "unknown option --bogus"},
        {{"convert", "a.log", "-o"}, "--output"},
        {{"convert", "a.log", "-o", ""}, "non-empty OUTBASE"},
        {{"convert", longPath}, longPath},
        {{"convert", "a.log", "-o", longPath}, longPath},
        {{"detect"}, "no FILE given"},
    };
    for (const Case& c : cases) {
        const CliRun run = RunCli(dir, c.args);
        EXPECT_EQ(run.status, 2) << run.err;
        EXPECT_NE(run.err.find(c.named), std::string::npos) << run.err;
    }
}

TEST_F(Cli, RefusesToOverwriteTheLogWithAnOutput) {
    const auto log = ReadFileBytes(test::DataPath("navcom/gpsd-navcom.log"));
    for (const char* name : {"day1.obx", "day1.epp"}) {
        WriteFileBytes(dir.file(name), log);
        const CliRun run = RunCli(dir, {"convert", dir.file(name)});
        EXPECT_EQ(run.status, 2);
        EXPECT_NE(run.err.find("would be overwritten"), std::string::npos) << run.err;
        EXPECT_EQ(ReadFileBytes(dir.file(name)), log);
    }
}

TEST_F(Cli, HelpAndVersion) {
    CliRun run = RunCli(dir, {"--help"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out.rfind("Usage: kestrel COMMAND [OPTIONS] [ARGUMENTS]\n", 0), 0u) << run.out;
    // The overview names every subcommand, the exit statuses and where each command's options are.
    for (const char* text : {"convert", "detect", "inspect", "rinex", "qc", "Exit status", "kestrel help COMMAND"}) {
        EXPECT_NE(run.out.find(text), std::string::npos) << text;
    }
    run = RunCli(dir, {"convert", "--help"});
    EXPECT_EQ(run.status, 0);
    for (const char* option : {"--no-clock-correction", "--flag-epochs", "--no-l2-slips", "--verbose",
                               "-o, --output OUTBASE", "-j, --jobs N "}) {
        EXPECT_NE(run.out.find(option), std::string::npos) << option;
    }
    EXPECT_EQ(run.out.find("inspect"), std::string::npos) << run.out;
    // MAJOR.MINOR.PATCH, then " (git DESCRIPTION)" when the build knows its commit: always
    // when it is made from a git checkout.
    const std::string version = KESTREL_VERSION;
    EXPECT_EQ(std::count(version.begin(), version.end(), '.'), 2) << version;
    EXPECT_EQ(version.find_first_not_of("0123456789."), std::string::npos) << version;
    const std::string commit = KESTREL_BUILD_COMMIT;
    if (std::filesystem::exists(std::filesystem::path(KESTREL_SOURCE_DIR) / ".git")) {
        EXPECT_FALSE(commit.empty()) << "built from a git checkout without knowing the commit";
    }
    for (const char* flag : {"--version", "-V"}) {
        run = RunCli(dir, {flag});
        EXPECT_EQ(run.status, 0) << flag;
        EXPECT_EQ(run.out, "kestrel " + version + (commit.empty() ? "" : " (git " + commit + ")") + "\n") << flag;
    }
}

TEST_F(Cli, DetectTellsNavComLogsFromOtherFiles) {
    const std::string log = test::DataPath("navcom/gpsd-navcom.log");
    WriteFileBytes(dir.file("notes.txt"), std::vector<uint8_t>(3000, 'a'));
    CliRun run = RunCli(dir, {"detect", log});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, log + ": NavCom binary\n");

    run = RunCli(dir, {"detect", log, dir.file("notes.txt"), dir.file("nothere")});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, log + ": NavCom binary\n" + dir.file("notes.txt") + ": not NavCom binary\n" +
                           dir.file("nothere") + ": cannot open: " + std::strerror(ENOENT) + "\n");
}

TEST_F(Cli, InspectSummarisesAnObxFileAndReportsDamage) {
    const std::string path = dir.file("made.obx");
    ObxFile* file = obx_create(path.c_str(), 32, 1.0f, 2048, 12);
    ASSERT_NE(file, nullptr);
    for (int i = 0; i < 3; ++i) {
        EpochHeader epoch{};
        epoch.time_tag = 123624.0 + i;
        epoch.corrected_time = epoch.time_tag;
        epoch.flags = i == 0 ? KESTREL_EPOCH_FLAG_CLOCK_CORRECTED : 0;
        epoch.sat_count = static_cast<uint8_t>(i == 2 ? 2 : 3);
        SatObservation obs[3] = {};
        obs[0].prn = 7;
        obs[1].prn = 3;
        obs[2].prn = 21;
        obs[1].p2_range = 21000000.0;
        ASSERT_EQ(obx_write_epoch(file, &epoch, obs), 0);
    }
    ASSERT_EQ(obx_close(file), 0);

    CliRun run = RunCli(dir, {"inspect", path});
    EXPECT_EQ(run.status, 0) << run.err;
    for (const char* line : {"epochs:       3\n", "time span:    123624.000 to 123626.000 s of GPS week (2.000 s)\n",
                             "measurements: 8 (at most 3 in one epoch, 3 with L2)\n",
                             "satellites:   3: PRN 3 (3), PRN 7 (3), PRN 21 (2)\n",
                             "flags:        1 clock-corrected, 0 marked\n", "damage:       none\n"}) {
        EXPECT_NE(run.out.find(line), std::string::npos) << line << run.out;
    }
    EXPECT_NE(run.out.find("written as:   " + path + "\n"), std::string::npos) << run.out;

    auto bytes = ReadFileBytes(path);
    bytes.resize(bytes.size() - 10);
    WriteFileBytes(path, bytes);
    run = RunCli(dir, {"inspect", path});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("epochs:       2\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("damage:       cut short at offset 602: "), std::string::npos) << run.out;

    WriteFileBytes(path, std::vector<uint8_t>(100, 0));
    run = RunCli(dir, {"inspect", path});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("not an OBX file"), std::string::npos) << run.out;
}

TEST_F(Cli, InterruptEndsTheConversionCleanly) {
    // The log arrives through a FIFO, so the program waits for bytes while the signal is
    // sent: the first chunk is converted, Ctrl-C comes, the second chunk ends the run.
    const std::string fifo = dir.file("live.log");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const auto log = ReadFileBytes(test::DataPath("navcom/gpsd-navcom-long-2012.log"));
    std::signal(SIGPIPE, SIG_IGN);

    int errPipe = -1;
    const pid_t pid = Start({"convert", fifo, "-o", dir.file("live")}, dir.file("stdout.txt"), "", &errPipe);
    ASSERT_GT(pid, 0);
    const int fd = OpenFifoForWriting(fifo);
    ASSERT_GE(fd, 0);
    std::string err;
    ASSERT_TRUE(WriteAll(fd, log.data(), 2048));
    ASSERT_TRUE(AwaitText(errPipe, "2048 bytes read\n", err)) << err;  // the first chunk is through
    ASSERT_EQ(kill(pid, SIGINT), 0);
    WriteAll(fd, log.data() + 2048, 2048);
    AwaitText(errPipe, "\x01", err);  // everything up to the end of the program's output
    close(fd);
    close(errPipe);
    const int status = Wait(pid);

    EXPECT_EQ(status, 130);
    EXPECT_NE(err.find("kestrel: User Quit\n"), std::string::npos) << err;
    const std::size_t stopped = err.find("kestrel: stopped after ");
    ASSERT_NE(stopped, std::string::npos) << err;
    EXPECT_NE(err.find(" ephemerides written to " + dir.file("live.obx") + " and " + dir.file("live.epp"), stopped),
              std::string::npos)
        << err;
    EXPECT_EQ(err.find("4096 bytes read"), std::string::npos) << err;  // counted in MiB steps only
    const auto obx = obx::ReadObx(dir.file("live.obx"));
    EXPECT_EQ(obx.state, obx::ObxState::kComplete) << obx.problem;
    const auto eph = test::CheckEphemerisText(ReadFileText(dir.file("live.epp")));
    EXPECT_EQ(eph.problem, "");
}

}  // namespace
}  // namespace kestrel
