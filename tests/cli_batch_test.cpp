// SPDX-License-Identifier: BSD-2-Clause
// Many logs at once through the `kestrel` command: worker processes write what each log
// gives alone, failures do not stop the others, clashing outputs are refused, reruns skip
// what is up to date, messages stay together per log, GNU parallel gives the same files,
// and Ctrl-C leaves no half-written file.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "obx_read.h"
#include "support/cli_process.h"
#include "support/eph_text.h"
#include "support/test_files.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using test::CliRun;
using test::ReadFileBytes;
using test::ReadFileText;
using test::WriteFileBytes;

constexpr std::size_t kObxCreationTimeAt = 8;  // six int16 fields: month .. second
constexpr std::size_t kObxCreationTimeBytes = 12;

// Every file of a folder, by name, with the OBX creation time blanked.
std::map<std::string, std::vector<uint8_t>> FilesOf(const std::string& folder) {
    std::map<std::string, std::vector<uint8_t>> files;
    for (const auto& entry : fs::directory_iterator(folder)) {
        auto bytes = ReadFileBytes(entry.path().string());
        if (entry.path().extension() == ".obx" && bytes.size() >= kObxCreationTimeAt + kObxCreationTimeBytes) {
            std::fill_n(bytes.begin() + kObxCreationTimeAt, kObxCreationTimeBytes, 0);
        }
        files[entry.path().filename().string()] = std::move(bytes);
    }
    return files;
}

class Batch : public ::testing::Test {
protected:
    void SetUp() override {
        if (test::CliPath() == nullptr) GTEST_SKIP() << "KESTREL_CLI does not name the built command";
        fs::create_directories(dir.file("in/sub"));
        Copy("navcom/gsi-0759-2005-092.nav", "in/gsi.nav");
        Copy("navcom/gpsd-navcom.log", "in/short.log");
        Copy("navcom/gpsd-navcom-long-2012.log", "in/sub/long.log");
        WriteFileBytes(dir.file("in/notes.txt"), {'n', 'o', 't', 'e', 's', '\n'});
    }
    void Copy(const std::string& data, const std::string& name) {
        WriteFileBytes(dir.file(name), ReadFileBytes(test::DataPath(data)));
    }
    std::vector<std::string> Logs() const {
        return {dir.file("in/gsi.nav"), dir.file("in/short.log"), dir.file("in/sub/long.log")};
    }
    test::ScratchDir dir;
};

TEST_F(Batch, WorkersWriteWhatEachLogGivesAlone) {
    // Each log alone, one after the other, into one folder.
    std::map<std::string, std::string> aloneMessages;
    for (const std::string& log : Logs()) {
        const CliRun run = test::RunCli(dir.path(), {"convert", log, "-d", dir.file("out"), "-q"});
        ASSERT_EQ(run.status, 0) << run.err;
        aloneMessages[log] = run.out.substr(0, run.out.rfind(" in "));
    }
    const auto alone = FilesOf(dir.file("out"));
    ASSERT_EQ(alone.size(), 6u);
    fs::remove_all(dir.file("out"));

    const CliRun run = test::RunCli(dir.path(), {"convert", "-r", dir.file("in"), "-d", dir.file("out"), "-j", "2"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(FilesOf(dir.file("out")), alone);  // no temporary file left either
    // Each log's messages come together under its name, as the log alone gives them.
    for (const auto& [log, messages] : aloneMessages) {
        const std::size_t block = run.out.find("==> " + log + " <==\n");
        ASSERT_NE(block, std::string::npos) << run.out;
        EXPECT_EQ(run.out.compare(block + log.size() + 9, messages.size(), messages), 0) << log;
    }
    EXPECT_NE(run.err.find("note: " + dir.file("in/notes.txt") + " skipped: not NavCom data"), std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("[3/3] "), std::string::npos) << run.err;
}

// In turn in one process, a log's files are still what it gives alone: each conversion starts
// from a fresh decoding session, not from the solution the log before it ended with.
TEST_F(Batch, OneWorkerWritesEachLogAsItsOwnRunDoes) {
    // Into one folder both times: an OBX file keeps the name it was written under.
    ASSERT_EQ(test::RunCli(dir.path(), {"convert", dir.file("in/gsi.nav"), "-d", dir.file("out"), "-q"}).status, 0);
    const auto alone = FilesOf(dir.file("out"));
    fs::remove_all(dir.file("out"));
    const CliRun run = test::RunCli(dir.path(), {"convert", "-j", "1", dir.file("in/sub/long.log"),
                                                 dir.file("in/gsi.nav"), "-d", dir.file("out"), "-q"});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto both = FilesOf(dir.file("out"));
    ASSERT_EQ(both.size(), 4u);
    EXPECT_TRUE(both.at("gsi.obx") == alone.at("gsi.obx"));
    EXPECT_TRUE(both.at("gsi.epp") == alone.at("gsi.epp"));
}

TEST_F(Batch, AFailedLogDoesNotStopTheOthers) {
    for (const char* jobs : {"1", "2"}) {
        SCOPED_TRACE(std::string("-j ") + jobs);
        fs::remove_all(dir.file("out"));
        const CliRun run = test::RunCli(dir.path(), {"convert", dir.file("in/gsi.nav"), dir.file("in/missing.nav"),
                                        dir.file("in/short.log"), "-d", dir.file("out"), "-q", "-j", jobs});
        EXPECT_EQ(run.status, 1);
        EXPECT_TRUE(test::FileExists(dir.file("out/gsi.obx")));
        EXPECT_TRUE(test::FileExists(dir.file("out/short.epp")));
        EXPECT_FALSE(test::FileExists(dir.file("out/missing.obx")));
        const std::size_t table = run.err.find("kestrel: 1 of 3 logs failed:\n");
        ASSERT_NE(table, std::string::npos) << run.err;
        EXPECT_NE(run.err.find(dir.file("in/missing.nav") + ": Error: Unable to open", table), std::string::npos)
            << run.err;
    }
}

TEST_F(Batch, InputsThatCannotBeConvertedAsAskedAreNamed) {
    // Two logs that would write the same outputs: the later one is refused before any runs.
    Copy("navcom/gpsd-navcom.log", "in/sub/gsi.nav");
    CliRun run = test::RunCli(dir.path(), {"convert", dir.file("in/gsi.nav"), dir.file("in/sub/gsi.nav"), "-d", dir.file("out"),
                              "-q", "-j", "2"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find(dir.file("in/sub/gsi.nav") + " would write " + dir.file("out/gsi.obx")), std::string::npos)
        << run.err;
    EXPECT_EQ(obx::ReadObx(dir.file("out/gsi.obx")).epochs.size(), 119u);  // the first one's

    // A file named that holds no NavCom data is a failure, and leaves nothing.
    run = test::RunCli(dir.path(), {"convert", dir.file("in/notes.txt"), "-d", dir.file("out"), "-q"});
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_NE(run.err.find(dir.file("in/notes.txt") + " holds no NavCom measurement or ephemeris frame"),
              std::string::npos)
        << run.err;
    EXPECT_FALSE(test::FileExists(dir.file("out/notes.obx")));

    // A folder without -r, and an output folder that cannot be made.
    run = test::RunCli(dir.path(), {"convert", dir.file("in"), "-d", dir.file("out"), "-q"});
    EXPECT_NE(run.err.find("is a folder (give -r"), std::string::npos) << run.err;
    EXPECT_EQ(run.status, 1);
    run = test::RunCli(dir.path(), {"convert", dir.file("in/gsi.nav"), "-d", dir.file("in/gsi.nav/x"), "-q"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("cannot create the folder " + dir.file("in/gsi.nav/x")), std::string::npos) << run.err;
}

TEST_F(Batch, RerunsSkipLogsWhoseOutputsAreUpToDate) {
    CliRun run = test::RunCli(dir.path(), {"convert", "-r", dir.file("in"), "-d", dir.file("out"), "-q", "-j", "2"});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto before = fs::last_write_time(dir.file("out/gsi.obx"));
    // One log's outputs are older than the log (it grew since): only it is converted again.
    const auto stale = fs::last_write_time(dir.file("in/short.log")) - std::chrono::hours(1);
    fs::last_write_time(dir.file("out/short.obx"), stale);
    fs::last_write_time(dir.file("out/short.epp"), stale);
    run = test::RunCli(dir.path(), {"convert", "-r", dir.file("in"), "-d", dir.file("out"), "-q", "-j", "2", "--skip-existing"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(fs::last_write_time(dir.file("out/gsi.obx")), before);
    EXPECT_NE(run.out.find("skipped: " + dir.file("out/gsi.obx") + " and " + dir.file("out/gsi.epp") +
                           " are up to date"),
              std::string::npos)
        << run.out;
    EXPECT_GT(fs::last_write_time(dir.file("out/short.obx")), stale);
    EXPECT_GT(fs::last_write_time(dir.file("out/short.epp")), stale);
}

TEST_F(Batch, MessagesGoToOneFilePerLogWhenAsked) {
    // In workers, in turn, and with a single log: the same files, nothing on standard output.
    const std::vector<std::vector<std::string>> runs = {
        {"-r", dir.file("in"), "-j", "2"},
        {"-r", dir.file("in"), "-j", "1"},
        {dir.file("in/gsi.nav")},
    };
    for (const auto& args : runs) {
        fs::remove_all(dir.file("out"));
        std::vector<std::string> command = {"convert", "-d", dir.file("out"), "-q", "--log-files"};
        command.insert(command.end(), args.begin(), args.end());
        const CliRun run = test::RunCli(dir.path(), command);
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.out, "") << args[0];
        const std::string messages = ReadFileText(dir.file("out/gsi.messages"));
        EXPECT_NE(messages.find("521790.004  L2 cycle slip on PRN 23\n"), std::string::npos) << messages;
        EXPECT_NE(messages.find("119 epochs, 23 ephemerides written to"), std::string::npos) << messages;
    }
}

TEST_F(Batch, GnuParallelGivesTheSameFilesAsWorkers) {
    if (std::system("parallel --version > /dev/null 2>&1") != 0) GTEST_SKIP() << "GNU parallel is not installed";
    CliRun run = test::RunCli(dir.path(), {"convert", "-r", dir.file("in"), "-d", dir.file("out"), "-q", "-j", "2"});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto workers = FilesOf(dir.file("out"));
    fs::remove_all(dir.file("out"));
    // One log per job, as the README shows for a cluster; each job's own status.
    std::string command = "parallel --will-cite --halt never -j 2 " + std::string(test::CliPath()) +
                          " convert -q -j 1 -d " + dir.file("out") + " {} ::: ";
    for (const std::string& log : Logs()) command += log + " ";
    command += "> " + dir.file("parallel.out") + " 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << ReadFileText(dir.file("parallel.out"));
    EXPECT_EQ(FilesOf(dir.file("out")), workers);
}

TEST_F(Batch, CtrlCStopsEveryWorkerAndLeavesWholeFiles) {
    const std::string fifo = dir.file("in/live.log");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const auto log = ReadFileBytes(test::DataPath("navcom/gpsd-navcom-long-2012.log"));
    std::signal(SIGPIPE, SIG_IGN);
    const pid_t pid = test::StartCli({"convert", fifo, dir.file("in/gsi.nav"), "-d", dir.file("out"), "-j", "2", "-q"},
                                  dir.file("stdout.txt"), dir.file("stderr.txt"));
    ASSERT_GT(pid, 0);
    const int fd = test::OpenFifoForWriting(fifo);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(test::WriteAll(fd, log.data(), 4096));
    usleep(300000);
    ASSERT_EQ(kill(pid, SIGINT), 0);
    usleep(300000);
    test::WriteAll(fd, log.data() + 4096, 4096);
    close(fd);
    EXPECT_EQ(test::WaitCli(pid), 130) << ReadFileText(dir.file("stderr.txt"));
    const std::string out = ReadFileText(dir.file("stdout.txt"));
    // The stopped log's block: its messages, then the error and what was kept, in that order
    // although a worker buffers its messages.
    const std::size_t block = out.find("==> " + fifo + " <==\n");
    ASSERT_NE(block, std::string::npos) << out;
    const std::string text = out.substr(block, out.find("==>", block + 1) - block);
    const std::size_t quit = text.find("kestrel: User Quit\n");
    ASSERT_NE(quit, std::string::npos) << text;
    EXPECT_LT(quit, text.find("kestrel: stopped after ")) << text;
    for (std::size_t line = text.find('\n', quit); line != std::string::npos && line + 1 < text.size();
         line = text.find('\n', line + 1)) {
        EXPECT_FALSE(std::isdigit(static_cast<unsigned char>(text[line + 1]))) << "a message after the error:\n" << text;
    }
    // The stopped log's files are whole and under their names; nothing else is left.
    const auto obx = obx::ReadObx(dir.file("out/live.obx"));
    EXPECT_EQ(obx.state, obx::ObxState::kComplete) << obx.problem;
    EXPECT_EQ(test::CheckEphemerisText(ReadFileText(dir.file("out/live.epp"))).problem, "");
    for (const auto& entry : fs::directory_iterator(dir.file("out"))) {
        EXPECT_EQ(entry.path().string().find(".part"), std::string::npos) << entry.path();
    }
}

}  // namespace
}  // namespace kestrel
