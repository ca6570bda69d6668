// SPDX-License-Identifier: BSD-2-Clause
// The life of an output file: nothing under its final name until it is whole, nothing at all
// when abandoned, refused where it would replace a folder, an input or (when asked) any file,
// the system's reason for every failure, and no temporary left when a signal ends the process.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "files/output_file.h"
#include "support/test_files.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using test::ReadFileText;

std::vector<std::string> NamesIn(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class OutputFileTest : public ::testing::Test {
protected:
    void TearDown() override { files::ClearProtectedInputs(); }
    test::ScratchDir dir;
};

TEST_F(OutputFileTest, NothingStandsUnderTheFinalNameUntilItIsWholeAndNothingIsLeftWhenAbandoned) {
    const std::string path = dir.file("out.rnx");
    {
        files::OutputFile out;
        ASSERT_TRUE(out.Create(path)) << out.error();
        ASSERT_TRUE(out.Write("first half "));
        // Only the temporary, hidden, in the same folder and with the final extension.
        const auto names = NamesIn(dir.path());
        ASSERT_EQ(names.size(), 1u);
        EXPECT_EQ(names[0].rfind(".kestrel-", 0), 0u) << names[0];
        EXPECT_EQ(fs::path(names[0]).extension(), ".rnx");
        ASSERT_TRUE(out.Write("second half"));
        ASSERT_TRUE(out.Commit()) << out.error();
        EXPECT_FALSE(out.replacing());
    }
    EXPECT_EQ(ReadFileText(path), "first half second half");
    EXPECT_EQ(NamesIn(dir.path()), std::vector<std::string>{"out.rnx"});

    // An earlier file of the name stays as it was while a new one is written and abandoned,
    // or goes out of scope uncommitted.
    {
        files::OutputFile out;
        ASSERT_TRUE(out.Create(path));
        EXPECT_TRUE(out.replacing());
        ASSERT_TRUE(out.Write("never seen"));
        out.Abandon();
        files::OutputFile dropped;
        ASSERT_TRUE(dropped.Create(path));
        ASSERT_TRUE(dropped.Write("never seen either"));
    }
    EXPECT_EQ(ReadFileText(path), "first half second half");
    EXPECT_EQ(NamesIn(dir.path()), std::vector<std::string>{"out.rnx"});

    // Replaced when committed, and said so.
    files::OutputFile again;
    ASSERT_TRUE(again.Create(path));
    ASSERT_TRUE(again.Write("new"));
    ASSERT_TRUE(again.Commit());
    EXPECT_TRUE(again.replacing());
    EXPECT_EQ(ReadFileText(path), "new");
}

TEST_F(OutputFileTest, RefusalsNameTheReasonAndLeaveWhatWasThere) {
    fs::create_directory(dir.file("folder"));
    test::WriteFileBytes(dir.file("log.nav"), {1, 2, 3});
    test::WriteFileBytes(dir.file("earlier.obs"), {4, 5});
    ASSERT_EQ(link(dir.file("log.nav").c_str(), dir.file("alias.obs").c_str()), 0);
    files::ProtectInput(dir.file("log.nav"));
    struct Case {
        const char* name;
        std::string path;
        files::Existing existing;
        std::string reason;
    };
    const Case cases[] = {
        {"a folder", dir.file("folder"), files::Existing::kReplace, std::strerror(EISDIR)},
        {"a folder's name", dir.file("newfolder/"), files::Existing::kReplace, std::strerror(EISDIR)},
        {"a missing folder", dir.file("missing/out.obs"), files::Existing::kReplace, std::strerror(ENOENT)},
        {"a file's name as a folder", dir.file("log.nav/out.obs"), files::Existing::kReplace, std::strerror(ENOTDIR)},
        {"an input under another name", dir.file("alias.obs"), files::Existing::kReplace,
         "it is the input " + dir.file("log.nav")},
        {"an input by a path with dots", dir.path() + "/./folder/../log.nav", files::Existing::kReplace,
         "it is the input " + dir.file("log.nav")},
        {"an existing file not to be replaced", dir.file("earlier.obs"), files::Existing::kRefuse,
         std::strerror(EEXIST)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        files::OutputFile out;
        EXPECT_FALSE(out.Create(c.path, c.existing));
        EXPECT_EQ(out.reason(), c.reason);
        EXPECT_EQ(out.error(), "cannot write " + c.path + ": " + c.reason);
        EXPECT_FALSE(out.Commit());
        // WhyUnwritable finds the same before anything is made, inputs and existence aside.
        if (c.existing == files::Existing::kReplace && c.reason.rfind("it is", 0) != 0) {
            EXPECT_EQ(files::WhyUnwritable(c.path), c.reason);
        }
    }
    EXPECT_EQ(files::WhyUnwritable(dir.file("new.obs")), "");
    EXPECT_EQ(test::ReadFileBytes(dir.file("log.nav")), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(test::ReadFileBytes(dir.file("earlier.obs")), (std::vector<uint8_t>{4, 5}));
    EXPECT_EQ(NamesIn(dir.path()), (std::vector<std::string>{"alias.obs", "earlier.obs", "folder", "log.nav"}));

    // An input that turns up under the final name while the file is written is not replaced,
    // nor a file that turns up there when none may be.
    for (const auto& [existing, arrives] : {std::pair{files::Existing::kReplace, std::string("log.nav")},
                                            std::pair{files::Existing::kRefuse, std::string("earlier.obs")}}) {
        files::OutputFile out;
        ASSERT_TRUE(out.Create(dir.file("late.obs"), existing));
        ASSERT_TRUE(out.Write("new"));
        ASSERT_EQ(link(dir.file(arrives).c_str(), dir.file("late.obs").c_str()), 0);
        EXPECT_FALSE(out.Commit());
        EXPECT_EQ(test::ReadFileBytes(dir.file("late.obs")), test::ReadFileBytes(dir.file(arrives)));
        fs::remove(dir.file("late.obs"));
    }
    EXPECT_EQ(NamesIn(dir.path()), (std::vector<std::string>{"alias.obs", "earlier.obs", "folder", "log.nav"}));
}

// Runs `body` in a child process and returns how it ended (its status, or 128 + signal).
template <typename Body>
int InChild(Body body) {
    const pid_t pid = fork();
    if (pid == 0) {
        body();
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST_F(OutputFileTest, AFileTooLargeIsAWriteFailureWithTheReasonNotTheEndOfTheProcess) {
    const std::string path = dir.file("big.obx");
    const std::string expected = "cannot write " + path + ": " + std::strerror(EFBIG);
    const int status = InChild([&] {
        files::InstallSignalCleanup();
        const rlimit limit{4096, 4096};
        setrlimit(RLIMIT_FSIZE, &limit);
        bool refused = false;
        {
            files::OutputFile out;
            if (!out.Create(path)) _exit(2);
            const std::string block(1 << 16, 'x');
            refused = !(out.Write(block) && out.Commit()) && out.error() == expected;
        }
        _exit(refused ? 0 : 3);
    });
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

TEST_F(OutputFileTest, EverySignalThatEndsTheProcessRemovesItsTemporaries) {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(signal));
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        const pid_t pid = fork();
        if (pid == 0) {
            files::InstallSignalCleanup();
            files::OutputFile written;
            files::OutputFile reserved;
            files::OutputFile committed;
            // One written through the helper, one made by a writer of its own under a
            // reserved name, one finished before the signal (it stays).
            const std::string base = files::TemporaryNameBeside(dir.file("x"), ".part");
            if (!written.Create(dir.file("a.obs")) || !written.Write("data") ||
                !reserved.CreateAt(dir.file("b.obx"), base + ".obx") || !committed.Create(dir.file("c.nav")) ||
                !committed.Commit()) {
                _exit(2);
            }
            std::FILE* own = std::fopen((base + ".obx").c_str(), "wb");
            std::fputs("more", own);
            std::fflush(own);
            if (write(ready[1], "r", 1) != 1) _exit(3);
            for (;;) pause();
        }
        close(ready[1]);
        char byte = 0;
        ASSERT_EQ(read(ready[0], &byte, 1), 1);
        close(ready[0]);
        ASSERT_EQ(kill(pid, signal), 0);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status));
        EXPECT_EQ(WTERMSIG(status), signal);
        EXPECT_EQ(NamesIn(dir.path()), std::vector<std::string>{"c.nav"});
        fs::remove(dir.file("c.nav"));
    }
}

TEST_F(OutputFileTest, AStoppedFileIsDatedBeforeItsLogAndSoNotUpToDate) {
    test::WriteFileBytes(dir.file("log.nav"), {1});
    test::WriteFileBytes(dir.file("out.obx"), {2});
    EXPECT_TRUE(files::NewerThan(dir.file("out.obx"), dir.file("log.nav")));
    ASSERT_TRUE(files::DateBefore(dir.file("out.obx"), dir.file("log.nav")));
    EXPECT_FALSE(files::NewerThan(dir.file("out.obx"), dir.file("log.nav")));
    EXPECT_FALSE(files::NewerThan(dir.file("missing.obx"), dir.file("log.nav")));
}

// Writing to a descriptor: everything through a pipe larger than one write takes, the reason of
// a full device, and of a descriptor that was never open.
TEST(WriteAll, HandsOverEveryByteOrNamesTheFailure) {
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    const std::string block(200000, 'x');  // more than the pipe holds: written in several parts
    std::string got;
    std::thread reader([&] {
        char buffer[4096];
        ssize_t n;
        while ((n = read(pipeEnds[0], buffer, sizeof buffer)) > 0) got.append(buffer, static_cast<std::size_t>(n));
    });
    EXPECT_EQ(files::WriteAll(pipeEnds[1], block.data(), block.size()), 0);
    close(pipeEnds[1]);
    reader.join();
    close(pipeEnds[0]);
    EXPECT_EQ(got, block);

    const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
    if (full >= 0) {
        EXPECT_EQ(files::WriteAll(full, block.data(), 10), ENOSPC);
        close(full);
    }
    EXPECT_EQ(files::WriteAll(-1, block.data(), 10), EBADF);
    EXPECT_EQ(files::WriteAll(-1, block.data(), 0), 0) << "nothing to write is no failure";
}

}  // namespace
}  // namespace kestrel
