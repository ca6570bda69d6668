// SPDX-License-Identifier: BSD-2-Clause
// What the command does with a user's files, whatever happens: a log is never written (its
// messages file never takes its name), outputs appear whole or not at all, a log that gives
// nothing is a failure, failures carry the system's reason, an earlier run's file is replaced
// only with a word (or not at all with --no-clobber), epochs that do not advance in time are
// summed up once, and a log stopped by Ctrl-C is converted again by --skip-existing.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "obx_read.h"
#include "support/cli_process.h"
#include "support/frame_builder.h"
#include "support/test_files.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using test::CliRun;
using test::ReadFileBytes;

constexpr uint8_t kMeasurementId = 0xB0;
constexpr const char* kNothingDecoded = "holds no NavCom measurement or ephemeris frame";
constexpr const char* kNavComHint = "is it a NavCom log?";

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::size_t Count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// Every file under a folder, at any depth, by its path below it.
std::vector<std::string> FilesUnder(const std::string& folder) {
    std::vector<std::string> files;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(folder, error); !error && it != fs::recursive_directory_iterator();
         it.increment(error)) {
        if (!it->is_directory()) files.push_back(fs::relative(it->path(), folder).string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

class Safety : public ::testing::Test {
protected:
    void SetUp() override {
        if (test::CliPath() == nullptr) GTEST_SKIP() << "KESTREL_CLI does not name the built command";
        fs::create_directories(dir.file("in"));
        fs::create_directories(dir.file("out"));
        Copy("navcom/gsi-0759-2005-092.nav", "in/gsi.nav");
        Copy("navcom/gpsd-navcom.log", "in/short.log");
        Copy("navcom/gpsd-navcom-long-2012.log", "in/long.log");
    }
    void Copy(const std::string& data, const std::string& name) {
        test::WriteFileBytes(dir.file(name), ReadFileBytes(test::DataPath(data)));
    }
    CliRun Run(const std::vector<std::string>& args) { return test::RunCli(dir.path(), args); }
    std::string In(const std::string& name) const { return dir.file("in/" + name); }
    std::string Out(const std::string& name) const { return dir.file("out/" + name); }
    test::ScratchDir dir;
};

TEST_F(Safety, MessagesFilesNeverTakeALogsName) {
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::string messagesFolder;
    };
    const Case cases[] = {
        {"qc", {"qc", "-q", "-j", "2", "--log-files", In("short.log"), In("long.log")}, "in"},
        {"convert beside the logs", {"convert", "-q", "-j", "2", "--log-files", In("short.log"), In("long.log")}, "in"},
        {"rinex beside the logs", {"rinex", "-q", "-j", "2", "--log-files", In("short.log"), In("long.log")}, "in"},
        {"convert into the logs' folder",
         {"convert", "-q", "-j", "2", "--log-files", "-d", dir.file("in"), In("short.log"), In("long.log")},
         "in"},
        // In the command's own process: standard output is pointed at each messages file in turn.
        {"convert in turn", {"convert", "-q", "-j", "1", "--log-files", In("short.log"), In("long.log")}, "in"},
        {"qc in turn", {"qc", "-q", "-j", "1", "--log-files", In("short.log"), In("long.log")}, "in"},
    };
    const auto shortLog = ReadFileBytes(In("short.log"));
    const auto longLog = ReadFileBytes(In("long.log"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(dir.file(c.messagesFolder + "/short.messages"));
        fs::remove(dir.file(c.messagesFolder + "/long.messages"));
        const CliRun run = Run(c.args);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(ReadFileBytes(In("short.log")), shortLog);
        EXPECT_EQ(ReadFileBytes(In("long.log")), longLog);
        EXPECT_FALSE(test::ReadFileText(dir.file(c.messagesFolder + "/short.messages")).empty());
        EXPECT_FALSE(test::ReadFileText(dir.file(c.messagesFolder + "/long.messages")).empty());
        for (const std::string& log : {In("short.log"), In("long.log")}) {
            test::WriteFileBytes(log, log == In("short.log") ? shortLog : longLog);  // whatever happened
        }
    }
}

TEST_F(Safety, AnOutputOrMessagesFileThatIsALogIsRefusedBeforeAnythingRuns) {
    Copy("navcom/gpsd-navcom.log", "in/x.obx");
    ASSERT_EQ(link(In("gsi.nav").c_str(), In("gsi-link.epp").c_str()), 0);
    ASSERT_EQ(link(In("gsi.nav").c_str(), In("gsi-link.png").c_str()), 0);
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::string log;  // the log that would be written
    };
    const Case cases[] = {
        {"convert beside a log named .obx", {"convert", "-q", In("x.obx")}, In("x.obx")},
        {"convert -o onto a hard link of the log", {"convert", "-q", In("gsi.nav"), "-o", In("gsi-link")}, In("gsi.nav")},
        {"rinex -o onto the log", {"rinex", "-q", In("gsi.nav"), "-o", In("gsi.nav")}, In("gsi.nav")},
        {"rinex -n onto the other log", {"rinex", "-q", In("gsi.nav"), In("short.log"), "-n", In("short.log")}, ""},
        {"qc --json onto a log", {"qc", "-q", In("gsi.nav"), In("long.log"), "--json", dir.path() + "/in/../in/long.log"},
         In("long.log")},
        {"qc --plot onto a log", {"qc", "-q", In("gsi.nav"), "--plot", In("gsi-link.png")}, In("gsi.nav")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const CliRun run = Run(c.args);
        EXPECT_NE(run.status, 0);
        if (!c.log.empty()) {
            EXPECT_TRUE(Has(run.err, c.log)) << run.err;
        }
        EXPECT_TRUE(Has(run.err, "would be") || Has(run.err, "with -d")) << run.err;
    }
    EXPECT_EQ(FilesUnder(dir.file("in")),
              (std::vector<std::string>{"gsi-link.epp", "gsi-link.png", "gsi.nav", "long.log", "short.log", "x.obx"}));

    // Two logs of one name in one folder: the second, which would write the first's outputs,
    // is refused, and the first's messages never go into it.
    Copy("navcom/gpsd-navcom.log", "in/twin.nav");
    Copy("navcom/gpsd-navcom-long-2012.log", "in/twin.log");
    const CliRun run = Run({"convert", "-q", "-j", "2", "--log-files", In("twin.nav"), In("twin.log")});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(Has(run.err, In("twin.log") + " would write " + In("twin.obx"))) << run.err;
    EXPECT_EQ(ReadFileBytes(In("twin.log")), ReadFileBytes(test::DataPath("navcom/gpsd-navcom-long-2012.log")));
    EXPECT_EQ(obx::ReadObx(In("twin.obx")).epochs.size(), 6u);  // the first one's
}

TEST_F(Safety, ALogNamedTwiceRunsOnce) {
    ASSERT_EQ(link(In("gsi.nav").c_str(), In("linked.nav").c_str()), 0);
    const std::vector<std::vector<std::string>> names = {
        {In("gsi.nav"), In("gsi.nav")},
        {In("gsi.nav"), dir.path() + "/in/./gsi.nav"},
        {In("gsi.nav"), In("linked.nav")},
    };
    for (const auto& twice : names) {
        for (const char* jobs : {"1", "2"}) {
            SCOPED_TRACE(twice[1] + " -j " + jobs);
            fs::remove_all(dir.file("out"));
            std::vector<std::string> args = {"convert", "-q", "-d", dir.file("out"), "-j", jobs};
            args.insert(args.end(), twice.begin(), twice.end());
            const CliRun run = Run(args);
            EXPECT_EQ(run.status, 1);
            EXPECT_TRUE(Has(run.err, "'" + twice[1] + "' is the same file as '" + twice[0] + "'")) << run.err;
            EXPECT_EQ(FilesUnder(dir.file("out")), (std::vector<std::string>{"gsi.epp", "gsi.obx"}));
        }
    }
}

TEST_F(Safety, AnOutputFileOptionNamingAFolderIsRefused) {
    struct Case {
        std::vector<std::string> args;
        std::string option;
    };
    const Case cases[] = {
        {{"convert", In("gsi.nav"), "-o", dir.file("out")}, "-o"},
        {{"convert", In("gsi.nav"), "-o", dir.file("out") + "/"}, "-o"},
        {{"convert", In("gsi.nav"), "-o", dir.file("new/")}, "-o"},
        {{"rinex", In("gsi.nav"), "-o", dir.file("out")}, "--obs"},
        {{"rinex", In("gsi.nav"), "-n", dir.file("out") + "/"}, "--nav"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args.back());
        std::vector<std::string> args = c.args;
        args.push_back("-q");
        const CliRun run = Run(args);
        EXPECT_EQ(run.status, 2);
        EXPECT_TRUE(Has(run.err, c.option + ": '" + c.args.back() + "' is a folder")) << run.err;
        EXPECT_TRUE(Has(run.err, "-d")) << run.err;
        EXPECT_EQ(FilesUnder(dir.file("out")), std::vector<std::string>{});
        EXPECT_FALSE(fs::exists(dir.file("new")));
    }
    // qc writes files only: a folder is a file it cannot write.
    for (const std::string& path : {dir.file("out"), dir.file("new/")}) {
        for (const char* option : {"--json", "--plot"}) {
            SCOPED_TRACE(std::string(option) + " " + path);
            const CliRun run = Run({"qc", In("gsi.nav"), option, path, "-q"});
            EXPECT_EQ(run.status, 1);
            EXPECT_TRUE(Has(run.err, "cannot write " + path + ": " + std::strerror(EISDIR))) << run.err;
            EXPECT_EQ(run.out, "");
        }
    }
    EXPECT_FALSE(fs::exists(dir.file("new")));
}

TEST_F(Safety, ALogThatGivesNothingIsAFailureAndLeavesNothing) {
    test::WriteFileBytes(In("passwd"), {'r', 'o', 'o', 't', ':', 'x', ':', '0', ':', '0', '\n'});
    test::WriteFileBytes(In("empty.nav"), {});
    for (const std::string& log : {In("passwd"), In("empty.nav")}) {
        const std::vector<std::vector<std::string>> commands = {
            {"convert", log, "-d", dir.file("out")},
            {"rinex", log, "-d", dir.file("out")},
            {"qc", log, "--json", Out("qc.json"), "--plot", Out("qc.png")},
        };
        for (std::vector<std::string> args : commands) {
            SCOPED_TRACE(args[0] + " " + log);
            args.push_back("-q");
            const CliRun run = Run(args);
            EXPECT_EQ(run.status, 1);
            EXPECT_EQ(Count(run.err, kNothingDecoded), 1u) << run.err;
            EXPECT_EQ(Count(run.err, kNavComHint), log == In("passwd") ? 1u : 0u) << run.err;
            EXPECT_EQ(FilesUnder(dir.file("out")), std::vector<std::string>{});
        }
    }
    // --allow-empty: empty outputs for scripts that want them.
    CliRun run = Run({"convert", In("passwd"), "-d", dir.file("out"), "-q", "--allow-empty"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(obx::ReadObx(Out("passwd.obx")).state, obx::ObxState::kComplete);
    run = Run({"qc", In("empty.nav"), "--json", Out("qc.json"), "-q", "--allow-empty"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(Has(test::ReadFileText(Out("qc.json")), "\"status\": \"complete\"")) << test::ReadFileText(Out("qc.json"));
}

TEST_F(Safety, TheNavComHintIsGivenOnlyForALogReadThatGaveNothing) {
    auto frames = test::SplitFrames(ReadFileBytes(In("gsi.nav")));
    std::erase_if(frames, [](const auto& f) { return f[3] == kMeasurementId; });
    test::WriteFileBytes(In("ephemerides.nav"), test::JoinFrames(frames));
    const std::vector<std::vector<std::string>> cases = {
        {"rinex", In("missing.nav"), "-d", dir.file("out")},
        {"rinex", In("gsi.nav"), "-o", In("gsi.nav/x.obs")},
        {"rinex", In("gsi.nav"), "-d", dir.file("out"), "--from", "2040-01-01T00:00:00"},
        {"rinex", In("ephemerides.nav"), "-d", dir.file("out")},
        {"rinex", In("gsi.nav"), In("missing.nav"), "-d", dir.file("out"), "-j", "2"},
        {"qc", In("missing.nav")},
        {"qc", In("gsi.nav"), "--json", In("gsi.nav/x.json")},
        {"convert", In("missing.nav"), In("short.log"), "-d", dir.file("out"), "-j", "2"},
    };
    for (std::vector<std::string> args : cases) {
        SCOPED_TRACE(args[0] + " " + args[1] + " " + args.back());
        args.push_back("-q");
        const CliRun run = Run(args);
        EXPECT_NE(run.status, 0);
        EXPECT_FALSE(Has(run.err, kNavComHint)) << run.err;
        EXPECT_FALSE(Has(run.err, "gave no epoch")) << run.err;
    }
}

TEST_F(Safety, FailuresCarryTheSystemsReason) {
    struct Case {
        std::vector<std::string> args;
        std::string expected;
    };
    const Case cases[] = {
        {{"convert", In("missing.nav")}, "Error: Unable to open " + In("missing.nav") + ": " + std::strerror(ENOENT)},
        {{"convert", In("gsi.nav/x.nav")}, "Error: Unable to open " + In("gsi.nav/x.nav") + ": " + std::strerror(ENOTDIR)},
        {{"convert", In("gsi.nav"), "-o", dir.file("nosuch/dir/out")},
         "cannot write " + dir.file("nosuch/dir/out.obx") + ": " + std::strerror(ENOENT)},
        {{"rinex", In("missing.nav")}, "Error: Unable to open " + In("missing.nav") + ": " + std::strerror(ENOENT)},
        {{"rinex", In("gsi.nav"), "-n", dir.file("nosuch/x.nav"), "-d", dir.file("out")},
         "Error: Unable to write to " + dir.file("nosuch/x.nav") + ": " + std::strerror(ENOENT)},
        {{"qc", In("gsi.nav"), "--json", dir.file("nosuch/x.json")},
         "cannot write " + dir.file("nosuch/x.json") + ": " + std::strerror(ENOENT)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args.back());
        std::vector<std::string> args = c.args;
        args.push_back("-q");
        const CliRun run = Run(args);
        EXPECT_EQ(run.status, 1);
        EXPECT_TRUE(Has(run.err, c.expected)) << run.err;
        // Found before the log is decoded: no message of the decoder, no output.
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(FilesUnder(dir.file("out")), std::vector<std::string>{});
    }
    if (geteuid() != 0) {
        fs::permissions(dir.file("out"), fs::perms::owner_read | fs::perms::owner_exec);
        const CliRun run = Run({"convert", In("gsi.nav"), "-d", dir.file("out"), "-q"});
        EXPECT_EQ(run.status, 1);
        EXPECT_TRUE(Has(run.err, std::strerror(EACCES))) << run.err;
        fs::permissions(dir.file("out"), fs::perms::owner_all);
    }
}

TEST_F(Safety, AFullDiskIsAFailureWithTheReasonAndLeavesNothing) {
    // Files limited to 8 KiB, as with `ulimit -f 8`: the station hour's outputs do not fit.
    const std::vector<std::vector<std::string>> commands = {
        {"convert", In("gsi.nav"), "-d", dir.file("out")},
        {"rinex", In("gsi.nav"), "-d", dir.file("out")},
        {"qc", In("gsi.nav"), "--plot", Out("qc.png")},
    };
    for (std::vector<std::string> args : commands) {
        SCOPED_TRACE(args[0]);
        args.push_back("-q");
        const CliRun run = test::RunCliWithFileLimit(dir.path(), args, 8192);
        EXPECT_EQ(run.status, 1);
        EXPECT_TRUE(Has(run.err, std::strerror(EFBIG))) << run.err;
        EXPECT_EQ(FilesUnder(dir.file("out")), std::vector<std::string>{});
    }
}

TEST_F(Safety, StandardOutputThatCannotBeWrittenIsAFailure) {
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"detect", In("gsi.nav")}, {"convert", In("gsi.nav"), "-d", dir.file("out"), "-q"}, {"--help"}}) {
        SCOPED_TRACE(args[0]);
        const pid_t pid = test::StartCli(args, "/dev/full", dir.file("stderr.txt"));
        ASSERT_GT(pid, 0);
        EXPECT_EQ(test::WaitCli(pid), 1);
        EXPECT_TRUE(Has(test::ReadFileText(dir.file("stderr.txt")),
                        std::string("cannot write to standard output: ") + std::strerror(ENOSPC)));
    }
}

TEST_F(Safety, ReplacingAnEarlierRunsFileIsAnnouncedAndNoClobberRefusesIt) {
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> files;
    };
    const Case cases[] = {
        {{"convert", In("gsi.nav"), "-d", dir.file("out")}, {Out("gsi.obx"), Out("gsi.epp")}},
        {{"rinex", In("gsi.nav"), "-d", dir.file("out"), "--marker", "0759"},
         {Out("075900XXX_R_20050920000_01H_30S_GO.rnx"), Out("075900XXX_R_20050920000_01H_GN.rnx")}},
        {{"qc", In("gsi.nav"), "--json", Out("qc.json")}, {Out("qc.json")}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0]);
        std::vector<std::string> args = c.args;
        args.push_back("-q");
        CliRun run = Run(args);
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_FALSE(Has(run.err, "replaced")) << run.err;
        // A second run (another log of the station and hour, say) replaces them, saying so.
        run = Run(args);
        ASSERT_EQ(run.status, 0) << run.err;
        for (const std::string& file : c.files) EXPECT_EQ(Count(run.err, "replaced the existing " + file), 1u) << run.err;
        // With --no-clobber it refuses and leaves them as they were.
        std::vector<std::vector<uint8_t>> before;
        for (const std::string& file : c.files) before.push_back(ReadFileBytes(file));
        args.push_back("--no-clobber");
        run = Run(args);
        EXPECT_EQ(run.status, 1);
        EXPECT_TRUE(Has(run.err, std::strerror(EEXIST))) << run.err;
        for (std::size_t i = 0; i < c.files.size(); ++i) EXPECT_EQ(ReadFileBytes(c.files[i]), before[i]) << c.files[i];
        fs::remove_all(dir.file("out"));
        fs::create_directories(dir.file("out"));
    }
}

TEST_F(Safety, EpochsThatDoNotAdvanceInTimeAreSummedUpOnce) {
    // Three copies of a log, one after the other: the second and third go back in time. The
    // station hour goes back by an hour (every satellite starts afresh), the capture by less
    // than a minute (the decoder leaves out each observation not later than its last).
    for (const std::string name : {"gsi.nav", "long.log"}) {
        std::vector<uint8_t> thrice;
        const auto log = ReadFileBytes(In(name));
        for (int i = 0; i < 3; ++i) thrice.insert(thrice.end(), log.begin(), log.end());
        test::WriteFileBytes(In("thrice-" + name), thrice);
    }
    CliRun run = Run({"convert", In("gsi.nav"), "-o", Out("once"), "-q"});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::size_t once = obx::ReadObx(Out("once.obx")).epochs.size();
    run = Run({"convert", In("thrice-gsi.nav"), "-o", Out("thrice"), "-q"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(obx::ReadObx(Out("thrice.obx")).epochs.size(), 3 * once);  // written as received
    EXPECT_EQ(run.err, "kestrel: warning: " + std::to_string(2 * once) +
                           " epochs not later than an epoch before them: written as received\n");

    // inspect calls it damage; the log once converted is sound.
    run = Run({"inspect", Out("thrice.obx")});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(Has(run.out, "damage:       time going back at offset ")) << run.out;
    EXPECT_TRUE(Has(run.out, "(" + std::to_string(2 * once) + " epochs not later than an epoch before them)"))
        << run.out;
    run = Run({"inspect", Out("once.obx")});
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(Has(run.out, "damage:       none")) << run.out;

    // rinex drops them, and says how many.
    // The summary line, last, starts with the epochs written.
    const auto epochsWritten = [](const std::string& out) {
        const std::size_t line = out.rfind('\n', out.size() - 2);
        return std::stoul(out.substr(line == std::string::npos ? 0 : line + 1));
    };
    run = Run({"rinex", In("gsi.nav"), "-o", Out("once.obs"), "--no-nav", "-q"});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::size_t kept = epochsWritten(run.out);
    run = Run({"rinex", In("thrice-gsi.nav"), "-o", Out("thrice.obs"), "--no-nav", "-q"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(epochsWritten(run.out), kept);
    EXPECT_TRUE(Has(run.err, "warning: " + std::to_string(2 * kept) +
                                 " epochs not later than an epoch before them: dropped\n"))
        << run.err;

    // The decoder's message for each observation left out is shown once, and counted.
    for (const char* command : {"convert", "rinex"}) {
        SCOPED_TRACE(command);
        run = Run({command, In("thrice-long.log"), "-o", Out(std::string("dt-") + command), "-q"});
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(Count(run.out, "Zero or negative DT!!!"), 1u);
        EXPECT_TRUE(Has(run.err, "warning: \"Zero or negative DT!!!\" ")) << run.err;
        EXPECT_TRUE(Has(run.err, " times (shown once): observations not later than their satellite's last one were "
                                 "left out\n"))
            << run.err;
    }
}

TEST_F(Safety, ALogStoppedByCtrlCIsConvertedAgainBySkipExisting) {
    const std::string fifo = In("live.log");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const auto log = ReadFileBytes(In("long.log"));
    {
        test::FifoFeeder receiver(fifo, log);
        const pid_t pid = test::StartCli({"convert", fifo, "-d", dir.file("out"), "-q", "--skip-existing"},
                                         dir.file("stdout.txt"), dir.file("stderr.txt"));
        ASSERT_GT(pid, 0);
        for (int waited = 0; !receiver.connected() && waited < test::kCliWaitSeconds * 1000; ++waited) usleep(1000);
        usleep(300000);
        ASSERT_EQ(kill(pid, SIGINT), 0);
        EXPECT_EQ(test::WaitCliFor(pid, test::kCliWaitSeconds), 130) << test::ReadFileText(dir.file("stderr.txt"));
    }
    const auto stopped = obx::ReadObx(Out("live.obx"));
    ASSERT_EQ(stopped.state, obx::ObxState::kComplete) << stopped.problem;
    // The log is the same file, unchanged since: what was converted of it is not up to date.
    struct stat fifoStatus;
    ASSERT_EQ(stat(fifo.c_str(), &fifoStatus), 0);
    fs::remove(fifo);
    test::WriteFileBytes(fifo, log);
    const timespec times[2] = {fifoStatus.st_mtim, fifoStatus.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, fifo.c_str(), times, 0), 0);
    const CliRun run = Run({"convert", fifo, "-d", dir.file("out"), "-q", "--skip-existing"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_FALSE(Has(run.out, "skipped")) << run.out;
    EXPECT_EQ(obx::ReadObx(Out("live.obx")).epochs.size(), 22u);
    // Once whole, it is up to date.
    EXPECT_TRUE(Has(Run({"convert", fifo, "-d", dir.file("out"), "-q", "--skip-existing"}).out, "skipped")) << run.out;
}

TEST_F(Safety, SigtermAndSighupLeaveNothingOfTheRunningConversion) {
    const std::string fifo = In("live.log");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const auto log = ReadFileBytes(In("long.log"));
    struct Case {
        int signal;
        std::vector<std::string> args;
    };
    const Case cases[] = {
        {SIGTERM, {"convert", fifo, "-d", dir.file("out")}},
        {SIGHUP, {"convert", fifo, "-d", dir.file("out")}},
        {SIGTERM, {"rinex", fifo, "-d", dir.file("out")}},
        {SIGTERM, {"qc", fifo, "--json", Out("qc.json"), "--plot", Out("qc.html")}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + strsignal(c.signal));
        test::FifoFeeder receiver(fifo, log);
        std::vector<std::string> args = c.args;
        args.push_back("-q");
        const pid_t pid = test::StartCli(args, dir.file("stdout.txt"), dir.file("stderr.txt"));
        ASSERT_GT(pid, 0);
        for (int waited = 0; !receiver.connected() && waited < test::kCliWaitSeconds * 1000; ++waited) usleep(1000);
        usleep(200000);
        ASSERT_EQ(kill(pid, c.signal), 0);
        EXPECT_EQ(test::WaitCliFor(pid, 5.0), 128 + c.signal) << test::ReadFileText(dir.file("stderr.txt"));
        EXPECT_EQ(FilesUnder(dir.file("out")), std::vector<std::string>{});
    }
}

}  // namespace
}  // namespace kestrel
