// SPDX-License-Identifier: BSD-2-Clause
// The command's manners, as its users meet them: help that starts with the command's usage and
// has an example, `kestrel help COMMAND`, argument errors in plain words pointing to the
// command's help, "-" as standard input for every command that reads a log, and progress on
// a terminal for an input of unknown length.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "obx_read.h"
#include "support/cli_process.h"
#include "support/test_files.h"

namespace kestrel {
namespace {

using test::CliRun;
using test::ReadFileBytes;
using test::ScratchDir;

const char* const kCommands[] = {"convert", "rinex", "qc", "rtcm", "detect", "inspect", "stream"};

class CliManners : public ::testing::Test {
protected:
    void SetUp() override {
        if (test::CliPath() == nullptr) GTEST_SKIP() << "KESTREL_CLI does not name the built command";
    }
    CliRun Run(const std::vector<std::string>& args, const std::string& in = "") {
        return test::RunCli(dir.path(), args, in);
    }
    ScratchDir dir;
};

TEST_F(CliManners, CommandHelpAndHelpCommandPrintTheSameUsageFirstWithAnExample) {
    for (const std::string command : kCommands) {
        const CliRun flag = Run({command, "--help"});
        const CliRun topic = Run({"help", command});
        EXPECT_EQ(flag.status, 0) << command;
        EXPECT_EQ(topic.status, 0) << command;
        EXPECT_EQ(flag.out, topic.out) << command;
        EXPECT_EQ(flag.out.rfind("Usage: kestrel " + command + " [OPTIONS] ", 0), 0u) << flag.out;
        EXPECT_NE(flag.out.find("\nExamples:\n  kestrel " + command + " "), std::string::npos) << flag.out;
        // Values named in words: none of the parser's type tags.
        for (const char* tag : {":INT", ":{", "TEXT", "REQUIRED", " in ["}) {
            EXPECT_EQ(flag.out.find(tag), std::string::npos) << command << ": " << tag;
        }
    }
    const CliRun overview = Run({"help"});
    EXPECT_EQ(overview.status, 0);
    EXPECT_EQ(overview.out, Run({"--help"}).out);
    for (const std::string command : kCommands) {
        EXPECT_NE(overview.out.find("\n  " + command + " "), std::string::npos) << command;
    }
}

TEST_F(CliManners, ArgumentErrorsSayWhatIsWrongAndPointToTheHelp) {
    struct Case {
        std::vector<std::string> args;
        std::string error;  // the whole of standard error
    };
    const Case cases[] = {
        {{"help", "bogus"},
         "no command 'bogus'; the commands are convert, rinex, qc, rtcm, detect, inspect or stream (see kestrel --help)"},
        {{"help", "convert", "rinex"}, "help takes one COMMAND (see kestrel --help)"},
        {{"-v"}, "unknown option -v; the version is -V or --version (see kestrel --help)"},
        {{"convert", "a.log", "-j", "abc"}, "--jobs: 'abc' is not a whole number from 1 to 4096 (see kestrel convert --help)"},
        {{"qc", "a.log", "-j", "0"}, "--jobs: '0' is not a whole number from 1 to 4096 (see kestrel qc --help)"},
        {{"qc", "a.log", "--plot", "a.png", "--plot", "b.png"},
         "--plot is given more than once; give it once (see kestrel qc --help)"},
        {{"rinex", "a.log", "-v", "3.4"}, "--rinex-version: '3.4' is not 3.04 or 2.11 (see kestrel rinex --help)"},
        {{"rinex", "a.log", "--week", "10000"},
         "--week: '10000' is not a whole number from 0 to 9999 (see kestrel rinex --help)"},
        {{"convert", "a.log", "--bogus"}, "unknown option --bogus (see kestrel convert --help)"},
        {{"convert"}, "no LOG given (see kestrel convert --help)"},
        {{"convert", "a.log", "-o"}, "--output needs a value: OUTBASE (see kestrel convert --help)"},
        {{"qc", "a.log", "--mask", "90.5"},
         "--mask: '90.5' is not an elevation of 0 to 90 degrees (see kestrel qc --help)"},
        {{"inspect", "-", "-"}, "- (standard input) is named more than once; it can be read once (see kestrel inspect --help)"},
        {{"convert", "a.log", "b.log", "-o", "x"},
         "-o names the outputs of one LOG; with several, give a folder with -d (see kestrel convert --help)"},
        {{"rtcm", "a.log", "b.log", "-o", "x"},
         "-o names the file of one LOG; with several, give a folder with -d (see kestrel rtcm --help)"},
        {{"rtcm", "a.log", "--station-id", "4096"},
         "--station-id: '4096' is not a whole number from 0 to 4095 (see kestrel rtcm --help)"},
        {{"rtcm", "a.log", "--antenna-height", "6.6"},
         "--antenna-height: '6.6' is not a height in metres from 0 to 6.5535 (see kestrel rtcm --help)"},
        {{"rtcm", "a.log", "--msg", "1074,1045"},
         "--msg: '1045' is not a message this stream carries (1004, 1074, 1077, 1019, 1005, 1006, 1033) (see kestrel "
         "rtcm --help)"},
        {{"rtcm", "-", "-"}, "- (standard input) is named more than once; it can be read once (see kestrel rtcm --help)"},
        {{"stream", "-", "--raw", "r", "--period", "2h"}, "--period: '2h' is not 15m, 1h or 1d (see kestrel stream --help)"},
        {{"stream", "-", "--raw", "r", "--speed", "-1"},
         "--speed: '-1' is not a number of 0 or more (see kestrel stream --help)"},
        {{"stream", "-", "--raw", "r", "--configure", "--rate", "0"},
         "--rate: '0' is not a number above 0 (see kestrel stream --help)"},
        {{"stream", "-", "--raw", "r", "--configure", "--rate", "3"},
         "--rate: 3 Hz is not a whole number of tenths of a second apart (see kestrel stream --help)"},
        {{"stream", "-"}, "no output given; give --raw DIR, --rinex DIR, --rtcm URL or several (see kestrel stream --help)"},
        {{"stream", "-", "--raw", "r", "--speed", "2"}, "--speed: goes with a file: input (see kestrel stream --help)"},
        {{"stream", "-", "--raw", "r", "--gzip"}, "--gzip: goes with --rinex (see kestrel stream --help)"},
        {{"stream", "-", "--raw", "r", "--qc"}, "--qc: goes with --rinex (see kestrel stream --help)"},
        {{"stream", "bogus:x", "--raw", "r"},
         "INPUT: input 'bogus:x' is not serial:DEVICE[:BAUD], tcp:HOST:PORT, - (standard input) or file:LOG "
         "(see kestrel stream --help)"},
    };
    for (const Case& c : cases) {
        const CliRun run = Run(c.args);
        EXPECT_EQ(run.status, 2) << c.error;
        EXPECT_EQ(run.err, "kestrel: " + c.error + "\n");
        EXPECT_EQ(run.out, "") << c.error;
    }
}

TEST_F(CliManners, QcTakesEveryElevationMaskFromZeroToNinety) {
    for (const char* mask : {"0", "90"}) {
        const CliRun run =
            Run({"qc", test::DataPath("navcom/gpsd-navcom.log"), "--mask", mask, "-q", "--json", dir.file("qc.json")});
        ASSERT_EQ(run.status, 0) << run.err;
        const auto document = nlohmann::json::parse(test::ReadFileText(dir.file("qc.json")));
        EXPECT_EQ(document["logs"][0]["elevation_mask_deg"], std::stod(mask));
    }
}

TEST_F(CliManners, DashReadsStandardInputInEveryCommandThatReadsALog) {
    const std::string log = test::DataPath("navcom/gsi-0759-2005-092.nav");
    // The log converted from its file, and from standard input.
    ASSERT_EQ(Run({"convert", log, "-o", dir.file("file"), "-q"}).status, 0);
    CliRun run = Run({"convert", "-", "-o", dir.file("piped"), "-q"}, log);
    ASSERT_EQ(run.status, 0) << run.err;
    const auto fromFile = obx::ReadObx(dir.file("file.obx"));
    const auto fromInput = obx::ReadObx(dir.file("piped.obx"));
    ASSERT_EQ(fromInput.state, obx::ObxState::kComplete) << fromInput.problem;
    EXPECT_EQ(fromInput.epochs.size(), fromFile.epochs.size());
    EXPECT_EQ(ReadFileBytes(dir.file("piped.epp")), ReadFileBytes(dir.file("file.epp")));

    struct Case {
        std::vector<std::string> args;
        std::string input;
        int status;
        std::string out;  // a line standard output holds
    };
    const Case cases[] = {
        {{"detect", "-"}, log, 0, "standard input: NavCom binary\n"},
        {{"detect", "-"}, dir.file("file.obx"), 1, "standard input: not NavCom binary\n"},
        {{"inspect", "-"}, dir.file("file.obx"), 0, "file:         standard input\n"},
        {{"inspect", "-"}, dir.file("file.obx"), 0, "damage:       none\n"},
        {{"rinex", "-", "-d", dir.path(), "-q"}, log, 0, "120 epochs, 11 satellites"},
        {{"rtcm", "-", "-d", dir.path(), "-q"}, log, 0, "120 epochs, 23 ephemerides"},
    };
    for (const Case& c : cases) {
        run = Run(c.args, c.input);
        EXPECT_EQ(run.status, c.status) << c.args[0] << run.err;
        EXPECT_NE(run.out.find(c.out), std::string::npos) << run.out;
    }

    // Without -o the outputs of standard input are named stdin.
    run = Run({"convert", "-", "-d", dir.file("out"), "-q"}, log);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(ReadFileBytes(dir.file("out/stdin.epp")), ReadFileBytes(dir.file("file.epp")));
}

TEST_F(CliManners, QcJsonDashWritesTheDocumentAloneOnStandardOutput) {
    const CliRun run = Run({"qc", "-", "--json", "-", "-q"}, test::DataPath("navcom/gsi-0759-2005-092.nav"));
    ASSERT_EQ(run.status, 0) << run.err;
    const nlohmann::json document = nlohmann::json::parse(run.out);  // throws on anything else
    EXPECT_EQ(document["logs"][0]["file"], "standard input");
    EXPECT_EQ(document["logs"][0]["epochs"], 120);
    // The summary a user reads goes to standard error, and no file named "-" is made.
    EXPECT_NE(run.err.find("== standard input\n"), std::string::npos) << run.err;
    EXPECT_FALSE(test::FileExists(dir.file("-")));
}

TEST_F(CliManners, InspectSummarisesEveryFileAndFailsWhenAnyIsDamaged) {
    ASSERT_EQ(Run({"convert", test::DataPath("navcom/gpsd-navcom.log"), "-o", dir.file("good"), "-q"}).status, 0);
    auto bytes = ReadFileBytes(dir.file("good.obx"));
    bytes.resize(bytes.size() - 10);
    test::WriteFileBytes(dir.file("cut.obx"), bytes);

    CliRun run = Run({"inspect", dir.file("good.obx"), dir.file("good.obx")});
    EXPECT_EQ(run.status, 0) << run.err;
    run = Run({"inspect", dir.file("good.obx"), dir.file("cut.obx")});
    EXPECT_EQ(run.status, 1);
    const std::size_t second = run.out.find("\n\nfile:         " + dir.file("cut.obx") + "\n");
    ASSERT_NE(second, std::string::npos) << run.out;
    EXPECT_NE(run.out.find("damage:       none\n"), std::string::npos);
    EXPECT_NE(run.out.find("damage:       cut short", second), std::string::npos) << run.out;
}

TEST_F(CliManners, TerminalShowsBytesOfAStreamAsItComesAndKeepsThemAfterCtrlC) {
    // The log comes through a FIFO, a stream of unknown length, with standard error a terminal.
    const std::string fifo = dir.file("live.log");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const auto log = ReadFileBytes(test::DataPath("navcom/gpsd-navcom-long-2012.log"));
    ASSERT_GT(log.size(), 8192u);
    std::signal(SIGPIPE, SIG_IGN);
    int terminal = -1;
    const pid_t pid = test::StartCli({"convert", fifo, "-o", dir.file("live")}, dir.file("stdout.txt"), "", &terminal,
                                     "", true);
    ASSERT_GT(pid, 0);
    const int fd = test::OpenFifoForWriting(fifo);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(test::WriteAll(fd, log.data(), 4096));
    // Bytes and rate appear while the stream waits, long before a MiB has come.
    std::string seen;
    ASSERT_TRUE(test::AwaitText(terminal, "4.1 kB read, ", seen)) << seen;
    ASSERT_EQ(kill(pid, SIGINT), 0);
    test::WriteAll(fd, log.data() + 4096, 4096);
    close(fd);
    test::AwaitText(terminal, "\x01", seen);  // all the program writes there, to its end
    close(terminal);
    EXPECT_EQ(test::WaitCli(pid), 130);
    // The line stays where the run stopped: the end is not drawn as a whole read.
    const std::size_t stopped = seen.find("User Quit");
    ASSERT_NE(stopped, std::string::npos) << seen;
    EXPECT_EQ(seen.find("100%"), std::string::npos) << seen;
    EXPECT_EQ(seen.find("6.1 kB read"), std::string::npos) << seen;
}

}  // namespace
}  // namespace kestrel
