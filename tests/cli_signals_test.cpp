// SPDX-License-Identifier: BSD-2-Clause
// Ctrl-C and SIGTERM end a batch in every state: logs running (receivers sending into FIFOs),
// none to several queued, with one worker or two. The batch ends in a bounded time with the
// signal's status, leaves no temporary file, keeps the stopped logs' files after Ctrl-C and
// nothing of them after SIGTERM, and its summary tells stopped, failed and never-started logs
// apart. A second Ctrl-C ends it at once.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "obx_read.h"
#include "support/cli_process.h"
#include "support/test_files.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;

constexpr double kStopBoundSeconds = 5.0;  // how long a stopped batch may take to end

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Files under a folder whose name marks a temporary of the command.
std::vector<std::string> TemporariesUnder(const std::string& folder) {
    std::vector<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        if (entry.path().filename().string().rfind(".kestrel-", 0) == 0) found.push_back(entry.path().string());
    }
    return found;
}

class BatchSignals : public ::testing::Test {
protected:
    void SetUp() override {
        if (test::CliPath() == nullptr) GTEST_SKIP() << "KESTREL_CLI does not name the built command";
        log = test::ReadFileBytes(test::DataPath("navcom/gpsd-navcom-long-2012.log"));
    }

    // Runs `command` over `running` logs fed through FIFOs, followed by `queued` logs on disk,
    // with `jobs` workers; once every running log is being read, sends `signal` (twice when
    // `twice`, the receivers gone quiet first). Returns the exit status, or -1 when the
    // command did not end in time.
    int StopBatch(const std::string& command, int jobs, int running, int queued, int signal, bool twice = false) {
        fs::remove_all(dir.file("in"));
        fs::remove_all(dir.file("out"));
        fs::create_directories(dir.file("in"));
        fs::create_directories(dir.file("out"));
        std::vector<std::unique_ptr<test::FifoFeeder>> receivers;
        std::vector<std::string> args = {command, "-q", "-j", std::to_string(jobs)};
        for (int i = 0; i < running; ++i) {
            const std::string fifo = dir.file("in/live" + std::to_string(i) + ".log");
            EXPECT_EQ(mkfifo(fifo.c_str(), 0600), 0);
            receivers.push_back(std::make_unique<test::FifoFeeder>(fifo, log));
            args.push_back(fifo);
        }
        for (int i = 0; i < queued; ++i) {
            const std::string file = dir.file("in/queued" + std::to_string(i) + ".log");
            test::WriteFileBytes(file, log);
            args.push_back(file);
        }
        if (command == "qc") {
            args.insert(args.end(), {"--json", dir.file("out/qc.json")});
        } else {
            args.insert(args.end(), {"-d", dir.file("out")});
        }
        const pid_t pid = test::StartCli(args, dir.file("stdout.txt"), dir.file("stderr.txt"));
        EXPECT_GT(pid, 0);
        for (const auto& r : receivers) {
            for (int waited = 0; !r->connected() && waited < test::kCliWaitSeconds * 1000; ++waited) usleep(1000);
            EXPECT_TRUE(r->connected()) << "the command never read a log";
        }
        usleep(200000);
        if (twice) {
            for (const auto& r : receivers) r->Pause();
        }
        kill(pid, signal);
        if (twice) {
            usleep(300000);
            kill(pid, signal);
        }
        const int status = test::WaitCliFor(pid, kStopBoundSeconds);
        err = test::ReadFileText(dir.file("stderr.txt"));
        return status;
    }

    std::vector<uint8_t> log;
    std::string err;
    test::ScratchDir dir;
};

TEST_F(BatchSignals, CtrlCAndSigtermEndTheBatchInEveryState) {
    for (const int signal : {SIGINT, SIGTERM}) {
        for (const int jobs : {1, 2}) {
            for (const int queued : {0, 1, 2}) {
                SCOPED_TRACE(std::string(strsignal(signal)) + ", -j " + std::to_string(jobs) + ", " +
                             std::to_string(queued) + " queued");
                const int status = StopBatch("convert", jobs, jobs, queued, signal);
                ASSERT_EQ(status, 128 + signal) << err;
                EXPECT_EQ(TemporariesUnder(dir.path()), std::vector<std::string>{});
                // After Ctrl-C the running logs' files stand whole; after SIGTERM nothing of them.
                for (int i = 0; i < jobs; ++i) {
                    const std::string obx = dir.file("out/live" + std::to_string(i) + ".obx");
                    if (signal == SIGINT) {
                        EXPECT_EQ(obx::ReadObx(obx).state, obx::ObxState::kComplete) << obx;
                    } else {
                        EXPECT_FALSE(fs::exists(obx)) << obx;
                    }
                }
                for (int i = 0; i < queued; ++i) {
                    EXPECT_FALSE(fs::exists(dir.file("out/queued" + std::to_string(i) + ".obx")));
                }
                if (jobs + queued > 1) {
                    const std::string name = signal == SIGINT ? "Ctrl-C" : "SIGTERM";
                    EXPECT_TRUE(Has(err, "kestrel: stopped by " + name + ": 0 of " + std::to_string(jobs + queued) +
                                             " logs done, " + std::to_string(jobs) + " stopped, 0 failed, " +
                                             std::to_string(queued) + " not started\n"))
                        << err;
                    for (int i = 0; i < queued; ++i) {
                        EXPECT_TRUE(Has(err, "  " + dir.file("in/queued" + std::to_string(i) + ".log") +
                                                 ": not started\n"))
                            << err;
                    }
                    EXPECT_TRUE(Has(err, "  " + dir.file("in/live0.log") + ": stopped: ")) << err;
                }
            }
        }
    }
}

TEST_F(BatchSignals, RinexAndQcBatchesEndOnCtrlCAndQcWritesWhatWasRead) {
    ASSERT_EQ(StopBatch("rinex", 2, 2, 1, SIGINT), 130) << err;
    EXPECT_EQ(TemporariesUnder(dir.path()), std::vector<std::string>{});
    ASSERT_EQ(StopBatch("qc", 2, 2, 1, SIGINT), 130) << err;
    EXPECT_EQ(TemporariesUnder(dir.path()), std::vector<std::string>{});
    const std::string json = test::ReadFileText(dir.file("out/qc.json"));
    EXPECT_TRUE(Has(json, "\"status\": \"aborted\"")) << json;
    ASSERT_EQ(StopBatch("qc", 2, 2, 1, SIGTERM), 143) << err;
    EXPECT_FALSE(fs::exists(dir.file("out/qc.json")));
    EXPECT_EQ(TemporariesUnder(dir.path()), std::vector<std::string>{});
}

TEST_F(BatchSignals, ASecondCtrlCEndsAtOnceWhenTheLogsHaveGoneQuiet) {
    // One worker in the command's own process blocked on a receiver that sends nothing more:
    // the first Ctrl-C waits for the next chunk, the second ends it, its files removed.
    for (const int jobs : {1, 2}) {
        SCOPED_TRACE("-j " + std::to_string(jobs));
        ASSERT_EQ(StopBatch("convert", jobs, jobs, 1, SIGINT, /*twice=*/true), 130) << err;
        EXPECT_EQ(TemporariesUnder(dir.path()), std::vector<std::string>{});
        // Workers are ended by the batch, which then sums up; in its own process the
        // command ends at once.
        if (jobs == 2) {
            EXPECT_TRUE(Has(err, "1 not started")) << err;
        }
    }
}

}  // namespace
}  // namespace kestrel
