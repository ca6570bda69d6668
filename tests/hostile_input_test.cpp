// SPDX-License-Identifier: BSD-2-Clause
// A catalogue of bad logs and bad surroundings, each converted through the exported
// functions as a host would: logs cut, flipped, random or made of frames the parser must
// refuse, epochs the slip test and the writer must turn away, and inputs and output
// folders that cannot be used. Every case checks the result and the error text, that both
// output files read back whole by the formats' reading rules, and that the counters
// written back match the files.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "kestrel/kestrel.h"
#include "kestrel/records.h"
#include "navcom/record_layout.h"
#include "support/conversion_check.h"
#include "support/frame_builder.h"
#include "support/hostile_logs.h"
#include "support/test_files.h"
#include "threadbuf/threadbuf.h"

namespace kestrel {
namespace {

using Bytes = std::vector<uint8_t>;
using test::Concat;
using test::ConversionRun;
using test::MakeFrameWithLength;
using test::MeasurementFrame;
using test::OutputCheck;
using test::SatBlock;
using test::ScratchDir;

constexpr uint8_t kMeasurementId = layout::measurement::kId;
constexpr uint8_t kEphemerisId = layout::ephemeris::kId;
constexpr uint32_t kStartMs = test::kHostileStartMs;
constexpr double kStartS = 345600.0;
constexpr int kFileChannels = 12;
constexpr std::size_t kObxHeaderBytes = 202;
const std::string kEphemerisHeader = "$EPHREC Ver6.03 KESTREL NavComBinary\n";

Bytes Slice(const Bytes& log, std::size_t from, std::size_t to) {
    return Bytes(log.begin() + static_cast<std::ptrdiff_t>(from), log.begin() + static_cast<std::ptrdiff_t>(to));
}

Bytes RealLog(const std::string& name) { return test::ReadFileBytes(test::DataPath("navcom/" + name)); }

// A copy of a packed field: the records' doubles do not lie on 8-byte boundaries.
double TimeTag(const obx::ObxEpoch& epoch) { return epoch.position.time_tag; }

std::vector<double> TimeTags(const OutputCheck& check) {
    std::vector<double> times;
    for (const auto& epoch : check.obx.epochs) times.push_back(TimeTag(epoch));
    return times;
}

int CountMessages(const ConversionRun& run, const std::string& prefix) {
    int n = 0;
    for (const auto& m : run.messages) n += m.text.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
}

OptionRecord Defaults() {
    OptionRecord options;
    SetFactoryDefaults(KESTREL_OPTION_RECORD_SIZE, &options);
    return options;
}

class HostileLog : public ::testing::Test {
protected:
    struct Outcome {
        ConversionRun run;
        OutputCheck check;
    };

    // Writes `log` as the input file and converts it into dir/out.obx and dir/out.epp.
    Outcome Convert(const Bytes& log, const OptionRecord* options = nullptr) {
        const std::string input = dir_.file("in.log");
        test::WriteFileBytes(input, log);
        Outcome outcome;
        outcome.run = test::RunConversion(input, dir_.file("out"), options);
        outcome.check = test::CheckOutputs(outcome.run);
        return outcome;
    }

    // A conversion that ran to the end of its input: result 0, sound files whose contents
    // the counters report, and progress that ends at the input's length.
    static void ExpectConvertedToTheEnd(const Outcome& o, std::size_t inputBytes) {
        EXPECT_EQ(o.run.result, 0) << o.run.errorText;
        EXPECT_EQ(o.check.problem, "");
        ASSERT_FALSE(o.run.progress.empty());
        const auto length = static_cast<int32_t>(inputBytes);
        EXPECT_EQ(o.run.progress.back(), std::make_pair(length, length));
    }

    // A conversion refused before any file was made: the counters keep the host's values.
    void ExpectRefusedWithoutFiles(const ConversionRun& run, const std::string& errorText) {
        EXPECT_EQ(run.result, 1);
        EXPECT_EQ(run.errorText, errorText);
        EXPECT_EQ(run.epochsWritten, test::kCountersUntouched);
        EXPECT_EQ(run.ephemeridesWritten, test::kCountersUntouched);
        EXPECT_EQ(run.otherWritten, test::kCountersUntouched);
        EXPECT_FALSE(test::FileExists(run.obxPath));
        EXPECT_FALSE(test::FileExists(run.ephemerisPath));
    }

    ScratchDir dir_;
};

// A real capture, cut short at every byte offset of a stretch holding four ephemerides and
// three epochs with the receiver's other records between them: every cut converts to the
// end, and what it writes is the start of what the whole stretch writes.
TEST_F(HostileLog, RealLogCutAtEveryOffsetKeepsEveryWholeRecordBeforeTheCut) {
    const Bytes real = RealLog("gpsd-navcom.log");
    const auto frames = test::FindFrames(real);
    // From the fourth-last ephemeris frame to the end of the third MEASUREMENT frame.
    std::vector<test::FoundFrame> ephemerides, epochs;
    for (const auto& f : frames) {
        if (f.id == kEphemerisId) ephemerides.push_back(f);
        if (f.id == kMeasurementId) epochs.push_back(f);
    }
    ASSERT_GE(ephemerides.size(), 4u);
    ASSERT_GE(epochs.size(), 3u);
    const std::size_t from = ephemerides[ephemerides.size() - 4].offset;
    const std::size_t to = epochs[2].offset + epochs[2].bytes.size();
    const Bytes stretch = Slice(real, from, to);

    const Outcome whole = Convert(stretch);
    ExpectConvertedToTheEnd(whole, stretch.size());
    ASSERT_EQ(whole.run.ephemeridesWritten, 4);
    ASSERT_EQ(whole.run.epochsWritten, 2);  // a satellite's first epoch gives no observation
    const std::string wholeEphemerides = test::ReadFileText(whole.run.ephemerisPath);

    int32_t lastEpochs = 0;
    int32_t lastEphemerides = 0;
    for (std::size_t cut = 0; cut < stretch.size(); ++cut) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        const Outcome o = Convert(Slice(stretch, 0, cut));
        ExpectConvertedToTheEnd(o, cut);
        // Records only ever appear as the cut moves on, and only whole.
        ASSERT_GE(o.run.epochsWritten, lastEpochs);
        ASSERT_GE(o.run.ephemeridesWritten, lastEphemerides);
        ASSERT_LE(o.run.epochsWritten, whole.run.epochsWritten);
        lastEpochs = o.run.epochsWritten;
        lastEphemerides = o.run.ephemeridesWritten;
        for (std::size_t e = 0; e < o.check.obx.epochs.size(); ++e) {
            const auto& got = o.check.obx.epochs[e];
            const auto& want = whole.check.obx.epochs[e];
            ASSERT_EQ(TimeTag(got), TimeTag(want));
            ASSERT_EQ(got.measurements.size(), want.measurements.size());
            ASSERT_EQ(0, std::memcmp(got.measurements.data(), want.measurements.data(),
                                     got.measurements.size() * sizeof(SatObservation)));
        }
        const std::string text = test::ReadFileText(o.run.ephemerisPath);
        ASSERT_EQ(wholeEphemerides.compare(0, text.size(), text), 0) << "not a start of the whole file";
        if (::testing::Test::HasFailure()) return;
    }
}

TEST_F(HostileLog, RandomBytesConvertToEmptyButSoundFiles) {
    for (const uint32_t seed : {1u, 2u, 3u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        const Bytes noise = test::RandomBytesWithFrameStarts(seed);
        const Outcome o = Convert(noise);
        ExpectConvertedToTheEnd(o, noise.size());
        EXPECT_EQ(o.run.epochsWritten, 0);
    }
}

// Frames whose length and checksum are right but whose contents are random: the decoders
// and the clock solution see values no receiver sends.
TEST_F(HostileLog, RandomContentsInWellFormedFramesConvertSoundly) {
    const Bytes log = test::RandomContentsInWellFormedFrames();
    for (const uint8_t switches : {0x00, 0x06, 0x0F}) {
        SCOPED_TRACE("switches " + std::to_string(switches));
        const OptionRecord options = {switches & 1, (switches >> 1) & 1, (switches >> 2) & 1, (switches >> 3) & 1};
        const Outcome o = Convert(log, &options);
        ExpectConvertedToTheEnd(o, log.size());
        EXPECT_GT(o.run.epochsWritten, 0);
        EXPECT_GT(o.run.ephemeridesWritten, 0);
        if (options.clockCorrection != 0) {
            // The single-point solution ran on these values, whatever it made of them.
            int solved = 0;
            for (const auto& epoch : o.check.obx.epochs) solved += epoch.position.flags & KESTREL_EPOCH_FLAG_CLOCK_CORRECTED;
            EXPECT_GT(solved + CountMessages(o.run, "Could not apply clock correction--single point solution failed"), 0);
        }
    }
}

// Every 100th byte of a real capture inverted. One inverted byte breaks its frame's XOR
// checksum, so a frame hit once is reported and lost; two inversions in the same frame
// cancel in the XOR, so such a frame passes and is decoded with its damaged values, which
// the decoders must take like any other.
TEST_F(HostileLog, EveryHundredthByteInvertedLosesTheFramesTheChecksumCatches) {
    Bytes log = RealLog("gpsd-navcom-long-2012.log");
    const auto frames = test::FindFrames(log);
    constexpr std::size_t kStep = 100;
    constexpr std::size_t kHeaderBytes = layout::frame::kBodyOffset;  // sync, id and length: a hit there loses the frame
    int keptEphemerides = 0;
    int caughtMeasurements = 0;
    int passingMeasurements = 0;
    for (const auto& f : frames) {
        int hits = 0;
        bool headerHit = false;
        for (std::size_t at = kStep - 1; at < f.offset + f.bytes.size(); at += kStep) {
            if (at < f.offset) continue;
            ++hits;
            headerHit = headerHit || at < f.offset + kHeaderBytes;
        }
        if (f.id == kEphemerisId && hits == 0) ++keptEphemerides;
        if (f.id == kMeasurementId && !headerHit) (hits % 2 == 1 ? caughtMeasurements : passingMeasurements)++;
    }
    ASSERT_GT(caughtMeasurements, 0);
    log = test::EveryHundredthByteInverted(log);

    const Outcome o = Convert(log);
    ExpectConvertedToTheEnd(o, log.size());
    EXPECT_EQ(o.run.ephemeridesWritten, keptEphemerides);
    EXPECT_EQ(CountMessages(o.run, "Checksum failure on 'MEASUREMENT' record (0xb0) on port 0"), caughtMeasurements);
    EXPECT_LE(o.run.epochsWritten, passingMeasurements);
}

// Lengths the length rule refuses, each followed by two good epochs: the refused frame is
// re-examined and dropped, and the epochs after it still convert.
TEST_F(HostileLog, FrameLengthsTheParserRefusesDoNotHideTheFramesAfterThem) {
    struct Case {
        uint8_t id;
        uint16_t length;
        const char* name;
    };
    const Case cases[] = {
        {kMeasurementId, 0, "MEASUREMENT"}, {kMeasurementId, 3, "MEASUREMENT"},
        {kMeasurementId, 4, "MEASUREMENT"}, {kMeasurementId, 65535, "MEASUREMENT"},
        {kEphemerisId, 0, "EPHEMERIS"},     {kEphemerisId, 3, "EPHEMERIS"},
        {kEphemerisId, 4, "EPHEMERIS"},     {kEphemerisId, 65535, "EPHEMERIS"},
    };
    OptionRecord verbose = Defaults();
    verbose.verboseDecoder = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " length " + std::to_string(c.length));
        const Bytes log = test::RefusedLengthThenTwoEpochs(c.id, c.length);
        const Outcome o = Convert(log, &verbose);
        ExpectConvertedToTheEnd(o, log.size());
        EXPECT_EQ(o.run.epochsWritten, 1);
        EXPECT_EQ(TimeTags(o.check), std::vector<double>{kStartS + 1.0});
        char expected[128];
        std::snprintf(expected, sizeof expected, "Invalid record length for '%s' record (0x%x) on port 0", c.name, c.id);
        EXPECT_EQ(CountMessages(o.run, expected), 1);
    }
}

// More satellites than the file's 12 channels: the epoch goes to the message callback with
// its time, is neither written nor counted, and the conversion goes on.
TEST_F(HostileLog, EpochWithMoreSatellitesThanChannelsIsReportedAndSkipped) {
    for (const uint8_t satellites : {13, 15}) {
        SCOPED_TRACE(std::to_string(satellites) + " satellites");
        const Bytes log = test::MoreSatellitesThanChannels(satellites);
        const Outcome o = Convert(log);
        ExpectConvertedToTheEnd(o, log.size());
        EXPECT_EQ(o.run.epochsWritten, 1);
        EXPECT_EQ(TimeTags(o.check), std::vector<double>{kStartS + 2.0});
        EXPECT_EQ(o.check.obx.epochs.at(0).measurements.size(), static_cast<std::size_t>(kFileChannels));
        char text[KESTREL_ERROR_TEXT_SIZE];
        std::snprintf(text, sizeof text, "Error: Epoch %.1lf has %d measurements %d channels in %s", kStartS + 1.0,
                      satellites, kFileChannels, o.run.obxPath.c_str());
        int reported = 0;
        for (const auto& m : o.run.messages) {
            if (m.text == text) {
                ++reported;
                EXPECT_EQ(m.time, kStartS + 1.0);
            }
        }
        EXPECT_EQ(reported, 1);
    }
}

// Epoch times that do not move forward by the usual second.
TEST_F(HostileLog, RepeatedBackwardAndRolloverTimesKeepTheFileInOrder) {
    constexpr uint32_t kWeekMs = 604800000;
    struct Case {
        const char* name;
        std::vector<uint32_t> timesMs;
        std::vector<double> written;  // time tags in the file
        int nonPositiveSteps;         // "Zero or negative DT!!!" messages
    };
    const Case cases[] = {
        {"same epoch twice", {kStartMs, kStartMs + 1000, kStartMs + 1000, kStartMs + 2000}, {kStartS + 1, kStartS + 2}, 6},
        {"a step back", {kStartMs, kStartMs + 1000, kStartMs - 5000, kStartMs + 2000}, {kStartS + 1, kStartS + 2}, 6},
        // More than a minute back: every satellite starts afresh, twice.
        {"a jump back", {kStartMs, kStartMs + 1000, kStartMs - 100000, kStartMs + 2000}, {kStartS + 1}, 0},
        {"week rollover", {kWeekMs - 1500, kWeekMs - 500, 500, 1500}, {604799.5, 0.5, 1.5}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes log = test::SixSatellitesAt(c.timesMs);
        const Outcome o = Convert(log);
        ExpectConvertedToTheEnd(o, log.size());
        EXPECT_EQ(TimeTags(o.check), c.written);
        EXPECT_EQ(CountMessages(o.run, "Zero or negative DT!!!"), c.nonPositiveSteps);
        for (const auto& epoch : o.check.obx.epochs) {
            for (const auto& m : epoch.measurements) EXPECT_TRUE(std::isfinite(m.l1_doppler));
        }
    }
}

// PRN 0 in a measurement block is dropped without a word; ephemerides of PRN 0 and of
// numbers above 32 are reported and never written.
TEST_F(HostileLog, PrnZeroAndOutOfRangePrnsAreNeverWritten) {
    const Bytes log = test::OutOfRangePrns();
    const Outcome o = Convert(log);
    ExpectConvertedToTheEnd(o, log.size());
    EXPECT_EQ(o.run.ephemeridesWritten, 0);
    EXPECT_EQ(CountMessages(o.run, "Ephemeris received with invalid PRN number"), 4);
    for (const char* text : {"Ephemeris received with invalid PRN number (0)", "Ephemeris received with invalid PRN number (33)",
                             "Ephemeris received with invalid PRN number (255)"}) {
        EXPECT_EQ(CountMessages(o.run, text), 1) << text;
    }
    ASSERT_EQ(o.run.epochsWritten, 2);
    for (const auto& epoch : o.check.obx.epochs) {
        ASSERT_EQ(epoch.measurements.size(), 2u);
        EXPECT_EQ(epoch.measurements[0].prn, 31);
        EXPECT_EQ(epoch.measurements[1].prn, 7);
    }
}

TEST_F(HostileLog, LogOfEphemeridesOnlyWritesBlocksAndAHeaderOnlyObxFile) {
    const Bytes log = test::EphemeridesOnly(RealLog("gpsd-navcom.log"));
    const Outcome o = Convert(log);
    ExpectConvertedToTheEnd(o, log.size());
    EXPECT_EQ(o.run.epochsWritten, 0);
    EXPECT_EQ(o.run.ephemeridesWritten, 13);
    EXPECT_EQ(test::ReadFileBytes(o.run.obxPath).size(), kObxHeaderBytes);
    // Not taken for a NavCom log: detection counts MEASUREMENT frames only.
    EXPECT_EQ(AutoDetect(dir_.file("in.log").c_str()), 0);
}

TEST_F(HostileLog, EmptyFileGivesHeaderOnlyFiles) {
    const Outcome o = Convert({});
    ExpectConvertedToTheEnd(o, 0);
    EXPECT_EQ(o.run.progress, (std::vector<std::pair<int32_t, int32_t>>{{0, 0}, {0, 0}}));
    EXPECT_EQ(o.run.epochsWritten, 0);
    EXPECT_EQ(o.run.ephemeridesWritten, 0);
    EXPECT_EQ(o.run.otherWritten, 0);
    EXPECT_EQ(test::ReadFileBytes(o.run.obxPath).size(), kObxHeaderBytes);
    EXPECT_EQ(test::ReadFileText(o.run.ephemerisPath), kEphemerisHeader);
}

// A folder opens like a file on some systems and then fails to read: the conversion must
// say so and still leave two sound files; where it does not open, nothing is made.
TEST_F(HostileLog, DirectoryAsInputIsAFailureNeverAnEmptySuccess) {
    const std::string folder = dir_.file("a-folder");
    std::filesystem::create_directory(folder);
    const ConversionRun run = test::RunConversion(folder, dir_.file("out"));
    EXPECT_EQ(run.result, 1);
    if (run.errorText == "Error: Unable to open " + folder) {
        ExpectRefusedWithoutFiles(run, run.errorText);
    } else {
        EXPECT_EQ(run.errorText, "Error: Unable to read " + folder + ": Is a directory");
        EXPECT_EQ(test::CheckOutputs(run).problem, "");
        EXPECT_EQ(run.epochsWritten, 0);
    }
    EXPECT_EQ(AutoDetect(folder.c_str()), 0);
}

TEST_F(HostileLog, MissingInputMakesNoFiles) {
    const std::string missing = dir_.file("no-such.log");
    ExpectRefusedWithoutFiles(test::RunConversion(missing, dir_.file("out")), "Error: Unable to open " + missing);
    EXPECT_EQ(AutoDetect(missing.c_str()), 0);
}

// Output folders that cannot take the OBX file: one that does not exist, and a "folder"
// that is a regular file (which stops root too, where permissions would not).
TEST_F(HostileLog, UnusableOutputFolderIsRefusedBeforeAnythingIsWritten) {
    const std::string input = dir_.file("in.log");
    test::WriteFileBytes(input, Concat({test::HandMadeEpoch(kStartMs, test::PrnRange(1, 5)), test::HandMadeEpoch(kStartMs + 1000, test::PrnRange(1, 5))}));
    const std::string regular = dir_.file("regular-file");
    test::WriteFileBytes(regular, {1, 2, 3});
    for (const std::string& folder : {dir_.file("missing-folder"), regular}) {
        SCOPED_TRACE(folder);
        const ConversionRun run = test::RunConversion(input, folder + "/out");
        ExpectRefusedWithoutFiles(run, "Error: Unable to open " + folder + "/out.obx for writing");
    }
    EXPECT_EQ(test::ReadFileBytes(regular), (Bytes{1, 2, 3}));
}

// Each conversion starts afresh: the port, the counters and the stored ephemerides of one
// do not leak into the next, also after a failed one.
TEST_F(HostileLog, ConversionsInARowGiveTheSameFilesForTheSameLog) {
    const Bytes longLog = RealLog("gpsd-navcom-long-2012.log");
    const Bytes shortLog = RealLog("gpsd-navcom.log");
    const Outcome first = Convert(longLog);
    ExpectConvertedToTheEnd(first, longLog.size());
    const std::string firstEphemerides = test::ReadFileText(first.run.ephemerisPath);

    const Outcome other = Convert(shortLog);
    ExpectConvertedToTheEnd(other, shortLog.size());
    const ConversionRun failed = test::RunConversion(dir_.file("missing.log"), dir_.file("out"));
    EXPECT_EQ(failed.result, 1);

    const Outcome again = Convert(longLog);
    ExpectConvertedToTheEnd(again, longLog.size());
    EXPECT_EQ(again.run.epochsWritten, first.run.epochsWritten);
    EXPECT_EQ(again.run.ephemeridesWritten, first.run.ephemeridesWritten);
    EXPECT_EQ(test::ReadFileText(again.run.ephemerisPath), firstEphemerides);
    ASSERT_EQ(again.check.obx.epochs.size(), first.check.obx.epochs.size());
    for (std::size_t e = 0; e < first.check.obx.epochs.size(); ++e) {
        const auto& a = first.check.obx.epochs[e];
        const auto& b = again.check.obx.epochs[e];
        EXPECT_EQ(TimeTag(a), TimeTag(b));
        EXPECT_EQ(a.position.flags, b.position.flags);
        ASSERT_EQ(a.measurements.size(), b.measurements.size());
        EXPECT_EQ(0, std::memcmp(a.measurements.data(), b.measurements.data(), a.measurements.size() * sizeof(SatObservation)));
    }
    EXPECT_EQ(first.run.messages.size(), again.run.messages.size());
}

// ThreadBuf blocks with damaged headers, as a host may hand them in.
TEST(HostileThreadBuf, AppendOntoABlockWhoseEntryCountIsAtItsLimitKeepsTheCount) {
    Bytes block(kThreadBufMemoryBytes, 0);
    ResetThreadBuf(block.data());
    put_le32(block.data(), INT32_MAX);  // entryCount
    const SatObservation observation{};
    EXPECT_EQ(AddThreadBufData(block.data(), &observation, 1, KESTREL_TYPE_SAT_OBSERVATION), kThreadBufNoError);
    EXPECT_EQ(le_s32(block.data()), INT32_MAX);
    EXPECT_EQ(GetThreadBufRecCount(block.data(), KESTREL_TYPE_SAT_OBSERVATION), 1);
}

}  // namespace
}  // namespace kestrel
