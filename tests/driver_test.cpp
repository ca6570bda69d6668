// SPDX-License-Identifier: BSD-2-Clause
// ConvertFile through the exported functions, as a host drives it: checks of the host's
// blocks and names, the files it makes, progress, abort, and every way the files can fail.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "kestrel/kestrel.h"
#include "obx_read.h"
#include "plugin/plugin.h"
#include "support/conversion_check.h"
#include "support/eph_text.h"
#include "support/frame_builder.h"
#include "support/test_files.h"

namespace kestrel {
namespace {

using test::FileExists;
using test::ReadFileBytes;
using test::ReadFileText;
using test::ScratchDir;
using test::WriteFileBytes;

constexpr int32_t kUntouched = test::kCountersUntouched;  // what the host puts in the result counters beforehand
const std::string kEphemerisHeader = "$EPHREC Ver6.03 KESTREL NavComBinary\n";

using Progress = std::pair<int32_t, int32_t>;
struct Message {
    double time;
    std::string text;
};

// What the host's callbacks saw; the callbacks carry no context of their own.
struct Seen {
    std::vector<Progress> progress;
    std::vector<Message> messages;
    std::function<void(int32_t, int32_t)> onProgress;
};
Seen seen;

void KESTREL_STDCALL OnMessage(double time, const char* text) { seen.messages.push_back({time, text}); }
void KESTREL_STDCALL OnProgress(int32_t done, int32_t total) {
    seen.progress.emplace_back(done, total);
    if (seen.onProgress) seen.onProgress(done, total);
}

// A host's blocks for one conversion.
struct Host {
    OptionBlock options;
    CallbackBlock callbacks;

    Host(const std::string& input, const std::string& outputBase) {
        test::PrepareHostBlocks(options, callbacks, input, outputBase, nullptr, OnMessage, OnProgress);
        seen = Seen{};
    }

    int32_t Convert() { return ConvertFile(&options, &callbacks, 0); }

    bool CountersUntouched() const {
        return options.epochsWritten == kUntouched && options.ephemeridesWritten == kUntouched &&
               options.otherWritten == kUntouched;
    }
};

std::string ErrorString() {
    char text[KESTREL_ERROR_TEXT_SIZE];
    GetErrString(text);
    return text;
}

std::size_t FilesIn(const std::string& dir) {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir)) ++n;
    return n;
}

TEST(ReplaceExtension, ReplacesTheLastExtensionAfterEveryDirectorySeparator) {
    struct Case {
        const char* name;
        const char* result;
    };
    const Case cases[] = {
        {"D:\\data\\run1.dat", "D:\\data\\run1.obx"},
        {"D:\\data\\run1", "D:\\data\\run1.obx"},
        {"D:\\my.dir\\run1", "D:\\my.dir\\run1.obx"},
        {"run1.", "run1.obx"},
        {"  D:\\out\\day1.bin", "D:\\out\\day1.obx"},
        {"D:/my.dir/run1", "D:/my.dir/run1.obx"},
        {"/home/gnss/my.dir/run1", "/home/gnss/my.dir/run1.obx"},
        {"/home/gnss/run1.tar.gz", "/home/gnss/run1.tar.obx"},
        {"\trun1.dat", "\trun1.obx"},  // only spaces are leading blanks
        {"run1 ", "run1 .obx"},        // trailing blanks stay
    };
    for (const Case& c : cases) {
        char name[KESTREL_PATH_SIZE];
        std::snprintf(name, sizeof name, "%s", c.name);
        EXPECT_TRUE(replaceExtension(name, sizeof name, ".obx"));
        EXPECT_STREQ(name, c.result) << c.name;
    }
}

TEST(ReplaceExtension, RefusesAResultThatDoesNotFitAndLeavesTheName) {
    char name[KESTREL_PATH_SIZE];
    const std::string fits(251, 'a');  // 251 + ".obx" + NUL = 256
    std::snprintf(name, sizeof name, "%s", fits.c_str());
    EXPECT_TRUE(replaceExtension(name, sizeof name, ".obx"));
    EXPECT_EQ(std::strlen(name), 255u);

    const std::string tooLong(252, 'a');
    std::snprintf(name, sizeof name, "%s", tooLong.c_str());
    EXPECT_FALSE(replaceExtension(name, sizeof name, ".obx"));
    EXPECT_EQ(std::string(name), tooLong);

    // Replacing a long extension shortens the name: it fits.
    const std::string longExtension = std::string(250, 'a') + ".dat0";
    std::snprintf(name, sizeof name, "%s", longExtension.c_str());
    EXPECT_TRUE(replaceExtension(name, sizeof name, ".epp"));
    EXPECT_EQ(std::string(name), std::string(250, 'a') + ".epp");
}

TEST(ConvertFile, WrongBlockSizesAreVersionMismatches) {
    struct Case {
        int32_t optionBlock, callbackBlock, optionSize;
        const char* text;
    };
    const char* kShort = "Incorrect version of NAVCOM Conversion DLL";
    const char* kLong = "Incorrect version of NAVCOM Conversion DLL, Invalid options";
    const Case cases[] = {
        {2671, 272, 16, kShort}, {2672, 271, 16, kShort}, {2672, 273, 15, kShort},
        {2671, 272, 15, kShort}, {2672, 272, 15, kLong},  {2672, 272, 0, kLong},
    };
    ScratchDir dir;
    WriteFileBytes(dir.file("in.log"), {});
    for (const Case& c : cases) {
        Host host(dir.file("in.log"), dir.file("out"));
        host.options.blockSize = c.optionBlock;
        host.callbacks.blockSize = c.callbackBlock;
        host.options.optionSize = c.optionSize;
        EXPECT_EQ(host.Convert(), 1);
        EXPECT_EQ(ErrorString(), c.text) << c.optionBlock << " " << c.callbackBlock << " " << c.optionSize;
        EXPECT_TRUE(host.CountersUntouched());
        EXPECT_TRUE(seen.progress.empty());
    }
    EXPECT_EQ(FilesIn(dir.path()), 1u);  // only the input
}

TEST(ConvertFile, NamesThatDoNotFitAreRefusedBeforeAnyFileIsTouched) {
    ScratchDir dir;
    WriteFileBytes(dir.file("in.log"), {});
    // A base name whose ".obx" name needs 257 bytes, inside the scratch folder.
    const std::string tooLongBase = dir.path() + "/" + std::string(252 - dir.path().size() - 1, 'b');
    ASSERT_EQ(tooLongBase.size(), 252u);
    enum Field { kInput, kOutput };
    struct Case {
        const char* what;
        Field field;
        bool unterminated;
    };
    for (const Case& c : {Case{"input without NUL", kInput, true}, Case{"output without NUL", kOutput, true},
                          Case{"output plus extension too long", kOutput, false}}) {
        SCOPED_TRACE(c.what);
        Host host(dir.file("in.log"), dir.file("out"));
        if (c.unterminated) {
            char* field = c.field == kInput ? host.options.inputPath : host.options.outputName;
            std::memset(field, 'x', KESTREL_PATH_SIZE);
        } else {
            std::snprintf(host.options.outputName, KESTREL_PATH_SIZE, "%s", tooLongBase.c_str());
        }
        EXPECT_EQ(host.Convert(), 1);
        EXPECT_EQ(ErrorString(), "Error: File name too long");
        EXPECT_TRUE(host.CountersUntouched());
        EXPECT_EQ(FilesIn(dir.path()), 1u);
    }
    // One byte shorter fits exactly.
    Host host(dir.file("in.log"), tooLongBase.substr(0, 251));
    EXPECT_EQ(host.Convert(), 0) << ErrorString();
    EXPECT_TRUE(FileExists(tooLongBase.substr(0, 251) + ".obx"));
}

TEST(ConvertFile, EmptyInputMakesBothFilesWithTheirHeadersOnly) {
    ScratchDir dir;
    WriteFileBytes(dir.file("empty.log"), {});
    Host host(dir.file("empty.log"), "  " + dir.file("empty.bin"));
    EXPECT_EQ(host.Convert(), 0);
    EXPECT_EQ(seen.progress, (std::vector<Progress>{{0, 0}, {0, 0}}));
    EXPECT_EQ(host.options.epochsWritten, 0);
    EXPECT_EQ(host.options.ephemeridesWritten, 0);
    EXPECT_EQ(host.options.otherWritten, 0);
    EXPECT_EQ(ReadFileBytes(dir.file("empty.obx")).size(), 202u);
    EXPECT_EQ(ReadFileText(dir.file("empty.epp")), kEphemerisHeader);
}

TEST(ConvertFile, ProgressFollowsEveryChunkAndEndsWithTheWhole) {
    struct Case {
        int32_t size;
        std::vector<Progress> progress;
    };
    const Case cases[] = {
        {4096, {{2048, 4096}, {4096, 4096}, {4096, 4096}, {4096, 4096}}},
        {5000, {{2048, 5000}, {4096, 5000}, {5000, 5000}, {5000, 5000}}},
        {1, {{1, 1}, {1, 1}}},
    };
    ScratchDir dir;
    for (const Case& c : cases) {
        WriteFileBytes(dir.file("in.log"), std::vector<uint8_t>(static_cast<std::size_t>(c.size), 0x55));
        Host host(dir.file("in.log"), dir.file("out"));
        EXPECT_EQ(host.Convert(), 0);
        EXPECT_EQ(seen.progress, c.progress) << c.size;
    }
}

TEST(ConvertFile, NullCallbacksAreSimplyNotCalled) {
    ScratchDir dir;
    const std::string log = test::DataPath("navcom/gpsd-navcom.log");
    Host host(log, dir.file("out"));
    host.callbacks.messageCallback = nullptr;
    host.callbacks.progressCallback = nullptr;
    EXPECT_EQ(host.Convert(), 0);
    EXPECT_TRUE(seen.progress.empty());
    EXPECT_TRUE(seen.messages.empty());
}

TEST(ConvertFile, AbortEndsTheConversionAfterTheCurrentChunk) {
    ScratchDir dir;
    WriteFileBytes(dir.file("in.log"), std::vector<uint8_t>(6000, 0));
    Host host(dir.file("in.log"), dir.file("out"));
    seen.onProgress = [](int32_t done, int32_t) {
        if (done == 2048) Abort();
    };
    EXPECT_EQ(host.Convert(), 1);
    EXPECT_EQ(ErrorString(), "User Quit");
    EXPECT_EQ(seen.progress, (std::vector<Progress>{{2048, 6000}, {6000, 6000}}));
    EXPECT_EQ(host.options.epochsWritten, 0);
    EXPECT_EQ(host.options.otherWritten, 0);
    EXPECT_EQ(ReadFileBytes(dir.file("out.obx")).size(), 202u);
}

TEST(ConvertFile, AbortBeforeAConversionIsForgotten) {
    ScratchDir dir;
    WriteFileBytes(dir.file("in.log"), std::vector<uint8_t>(3000, 0));
    Abort();
    Abort();
    Host host(dir.file("in.log"), dir.file("out"));
    EXPECT_EQ(host.Convert(), 0);
    EXPECT_EQ(seen.progress.size(), 3u);
}

TEST(ConvertFile, AbortMidwayKeepsWhatWasWrittenAndCountsIt) {
    ScratchDir dir;
    Host host(test::DataPath("navcom/gpsd-navcom-long-2012.log"), dir.file("long"));
    seen.onProgress = [](int32_t done, int32_t) {
        if (done == 3 * 2048) Abort();
    };
    EXPECT_EQ(host.Convert(), 1);
    EXPECT_EQ(ErrorString(), "User Quit");
    EXPECT_EQ(seen.progress.back(), Progress(15141, 15141));
    const auto obx = obx::ReadObx(dir.file("long.obx"));
    EXPECT_EQ(obx.state, obx::ObxState::kComplete) << obx.problem;
    EXPECT_EQ(static_cast<int32_t>(obx.epochs.size()), host.options.epochsWritten);
    const auto eph = test::CheckEphemerisText(ReadFileText(dir.file("long.epp")));
    EXPECT_EQ(eph.problem, "");
    EXPECT_EQ(eph.gpsEphBlocks, host.options.ephemeridesWritten);
}

TEST(ConvertFile, SuccessLeavesTheLastMessageInTheErrorText) {
    ScratchDir dir;
    auto damaged = test::MeasurementFrame(1000).Bytes();
    damaged.back() ^= 0xFF;
    WriteFileBytes(dir.file("damaged.log"), damaged);
    Host host(dir.file("damaged.log"), dir.file("out"));
    EXPECT_EQ(host.Convert(), 0);
    const std::string report = "Checksum failure on 'MEASUREMENT' record (0xb0) on port 0";
    EXPECT_EQ(ErrorString(), report);
    ASSERT_FALSE(seen.messages.empty());
    EXPECT_EQ(seen.messages.back().text, report);
    EXPECT_EQ(seen.messages.back().time, -1.0);

    // A conversion that formats nothing leaves the text as it was.
    WriteFileBytes(dir.file("quiet.log"), std::vector<uint8_t>(100, 0));
    Host quiet(dir.file("quiet.log"), dir.file("out"));
    EXPECT_EQ(quiet.Convert(), 0);
    EXPECT_EQ(ErrorString(), report);
}

TEST(ConvertFile, MissingInputMakesNoFiles) {
    ScratchDir dir;
    Host host(dir.file("nothere.log"), dir.file("out"));
    EXPECT_EQ(host.Convert(), 1);
    EXPECT_EQ(ErrorString(), "Error: Unable to open " + dir.file("nothere.log"));
    EXPECT_EQ(FilesIn(dir.path()), 0u);
    EXPECT_TRUE(host.CountersUntouched());
}

TEST(ConvertFile, UncreatableObxFileStopsBeforeTheEphemerisFile) {
    ScratchDir dir;
    WriteFileBytes(dir.file("in.log"), {});
    std::filesystem::create_directory(dir.file("out.obx"));
    Host host(dir.file("in.log"), dir.file("out"));
    EXPECT_EQ(host.Convert(), 1);
    EXPECT_EQ(ErrorString(), "Error: Unable to open " + dir.file("out.obx") + " for writing");
    EXPECT_FALSE(FileExists(dir.file("out.epp")));
    EXPECT_TRUE(host.CountersUntouched());
}

TEST(ConvertFile, UnopenableEphemerisFileLeavesTheObxHeader) {
    ScratchDir dir;
    WriteFileBytes(dir.file("in.log"), {});
    std::filesystem::create_directory(dir.file("out.epp"));
    Host host(dir.file("in.log"), dir.file("out"));
    EXPECT_EQ(host.Convert(), 1);
    EXPECT_EQ(ErrorString(), "Error: Unable to open " + dir.file("out.epp"));
    EXPECT_EQ(ReadFileBytes(dir.file("out.obx")).size(), 202u);
    EXPECT_TRUE(host.CountersUntouched());
}

TEST(ConvertFile, OutputThatNeverReachesTheDiskIsAFailure) {
    if (!FileExists("/dev/full")) GTEST_SKIP() << "no /dev/full on this platform";
    for (const char* extension : {".obx", ".epp"}) {
        SCOPED_TRACE(extension);
        ScratchDir dir;
        std::filesystem::create_symlink("/dev/full", dir.file(std::string("out") + extension));
        Host host(test::DataPath("navcom/gpsd-navcom.log"), dir.file("out"));
        EXPECT_EQ(host.Convert(), 1);
        EXPECT_EQ(ErrorString().rfind("Error: Unable to write to " + dir.file(std::string("out") + extension), 0), 0u)
            << ErrorString();
        EXPECT_GE(host.options.epochsWritten, 0);  // the conversion ran to its end
        EXPECT_EQ(seen.progress.back(), Progress(6627, 6627));
    }
}

// Converts the long capture with files limited to 100 bytes, and exits 0 when the conversion
// ended as a failed write must: result 1, the OBX file named, the counters written back.
[[noreturn]] void ConvertUnderFileSizeLimit(const std::string& base) {
    rlimit limit{100, 100};
    setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, SIG_IGN);
    Host host(test::DataPath("navcom/gpsd-navcom-long-2012.log"), base);
    const int32_t result = host.Convert();
    const std::string text = ErrorString();
    const int32_t epochs = host.options.epochsWritten;
    const bool named = text.rfind("Error: Unable to write to " + base + ".obx", 0) == 0;
    // With decoded epochs the failing write names its epoch; without, the close fails.
    const bool precise = epochs == 0 || (epochs < 23 && text.find("(disk full). Epoch") != std::string::npos);
    std::fprintf(stderr, "result %d, epochs %d, text '%s'\n", result, epochs, text.c_str());
    std::_Exit(result == 1 && named && precise && epochs >= 0 ? 0 : 1);
}

TEST(ConvertFile, FileSizeLimitEndsTheConversionLikeAnAbort) {
    // The limit applies to the child that the death-test machinery forks, not to this process.
    ScratchDir dir;
    EXPECT_EXIT(ConvertUnderFileSizeLimit(dir.file("limited")), ::testing::ExitedWithCode(0), "result 1");
}

TEST(ConvertFile, ReadErrorEndsTheConversion) {
    ScratchDir dir;
    std::filesystem::create_directory(dir.file("folder.log"));
    Host host(dir.file("folder.log"), dir.file("out"));
    std::FILE* probe = std::fopen(dir.file("folder.log").c_str(), "rb");
    if (probe == nullptr) GTEST_SKIP() << "this platform does not open folders as streams";
    std::fclose(probe);
    EXPECT_EQ(host.Convert(), 1);
    EXPECT_EQ(ErrorString(), "Error: Unable to read " + dir.file("folder.log") + ": Is a directory");
    EXPECT_EQ(host.options.epochsWritten, 0);
    EXPECT_EQ(ReadFileBytes(dir.file("out.obx")).size(), 202u);
    EXPECT_EQ(ReadFileText(dir.file("out.epp")), kEphemerisHeader);
}

TEST(ConvertFile, RealCaptureConvertsToSoundFiles) {
    ScratchDir dir;
    Host host(test::DataPath("navcom/gpsd-navcom.log"), dir.file("sample.log"));
    EXPECT_EQ(host.Convert(), 0) << ErrorString();
    EXPECT_EQ(seen.progress, (std::vector<Progress>{{2048, 6627}, {4096, 6627}, {6144, 6627}, {6627, 6627},
                                                    {6627, 6627}}));
    for (const Message& m : seen.messages) EXPECT_EQ(m.text.find("Checksum failure"), std::string::npos);
    const auto obx = obx::ReadObx(dir.file("sample.obx"));
    EXPECT_EQ(obx.state, obx::ObxState::kComplete) << obx.problem;
    EXPECT_EQ(static_cast<int32_t>(obx.epochs.size()), host.options.epochsWritten);
    for (std::size_t i = 1; i < obx.epochs.size(); ++i) {
        EXPECT_GT(double{obx.epochs[i].position.time_tag}, double{obx.epochs[i - 1].position.time_tag});
    }
    const auto eph = test::CheckEphemerisText(ReadFileText(dir.file("sample.epp")));
    EXPECT_EQ(eph.problem, "");
    EXPECT_EQ(eph.gpsEphBlocks, host.options.ephemeridesWritten);
    EXPECT_EQ(host.options.otherWritten, 0);
}

// Two epochs of 13 satellites (the first only starts their history) and one of 5.
std::vector<uint8_t> BusyLog() {
    std::vector<uint8_t> log;
    const uint32_t startMs = 100000000;
    for (int epoch = 0; epoch < 3; ++epoch) {
        test::MeasurementFrame frame(startMs + 1000u * static_cast<uint32_t>(epoch));
        const int sats = epoch < 2 ? 13 : 5;
        for (int prn = 1; prn <= sats; ++prn) {
            test::SatBlock block;
            block.prn = static_cast<uint8_t>(prn);
            block.strengthCode = 8;
            block.caRange = 1700000000u + 100000u * static_cast<uint32_t>(prn) + 50u * static_cast<uint32_t>(epoch);
            block.l1Lock = 5;
            frame.Sat(block);
        }
        const auto bytes = frame.Bytes();
        log.insert(log.end(), bytes.begin(), bytes.end());
    }
    return log;
}

TEST(ConvertFile, EpochWithMoreSatellitesThanChannelsIsReportedAndSkipped) {
    ScratchDir dir;
    WriteFileBytes(dir.file("busy.log"), BusyLog());
    Host host(dir.file("busy.log"), dir.file("busy"));
    host.options.options.clockCorrection = 0;
    EXPECT_EQ(host.Convert(), 0) << ErrorString();
    const std::string expected = "Error: Epoch 100001.0 has 13 measurements 12 channels in " + dir.file("busy.obx");
    const Message* report = nullptr;
    for (const Message& m : seen.messages) {
        if (m.text == expected) report = &m;
    }
    if (report == nullptr && host.options.epochsWritten == 0) {
        GTEST_SKIP() << "the measurement decoder is not built in: no epoch was decoded";
    }
    ASSERT_NE(report, nullptr);
    EXPECT_EQ(report->time, 100001.0);
    EXPECT_EQ(host.options.epochsWritten, 1);
    const auto obx = obx::ReadObx(dir.file("busy.obx"));
    ASSERT_EQ(obx.epochs.size(), 1u);
    EXPECT_EQ(double{obx.epochs[0].position.time_tag}, 100002.0);
    EXPECT_EQ(obx.epochs[0].measurements.size(), 5u);
}

}  // namespace
}  // namespace kestrel
