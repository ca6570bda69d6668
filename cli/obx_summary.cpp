// SPDX-License-Identifier: BSD-2-Clause
// `kestrel inspect`: walks OBX files and prints each one's header and a summary of its
// epochs: how many, the time span, the satellites seen, the epoch flags, and any damage.
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "commands.h"
#include "kestrel/records.h"
#include "obx_read.h"
#include "session.h"

namespace kestrel::cli {
namespace {

constexpr int kCalendarYearBase = 1900;  // the header counts years from 1900, months from 0

struct Summary {
    std::map<int, int> epochsPerPrn;  // PRN -> epochs in which it has a measurement record
    std::size_t measurements = 0;
    std::size_t mostPerEpoch = 0;
    std::size_t withL2 = 0;           // measurement records with an L2 P-code range
    std::size_t clockCorrected = 0;
    std::size_t marked = 0;
};

Summary Summarise(const obx::ObxContents& contents) {
    Summary s;
    for (const obx::ObxEpoch& epoch : contents.epochs) {
        if (epoch.position.flags & KESTREL_EPOCH_FLAG_CLOCK_CORRECTED) ++s.clockCorrected;
        if (epoch.position.flags & KESTREL_EPOCH_FLAG_MARKED) ++s.marked;
        s.measurements += epoch.measurements.size();
        if (epoch.measurements.size() > s.mostPerEpoch) s.mostPerEpoch = epoch.measurements.size();
        for (const SatObservation& m : epoch.measurements) {
            ++s.epochsPerPrn[m.prn];
            if (m.p2_range != 0.0) ++s.withL2;
        }
    }
    return s;
}

void PrintHeader(const ObxHeader& h) {
    // The stored name is NUL-terminated within its field; never read past it.
    const void* end = std::memchr(h.file_name, '\0', sizeof h.file_name);
    const std::size_t length = end ? static_cast<std::size_t>(static_cast<const char*>(end) - h.file_name)
                                   : sizeof h.file_name;
    const std::string storedName(h.file_name, length);
    std::printf("header:       version %.2f, satellite limit %u, %u channels, buffer %d bytes, nominal %.2f\n",
                static_cast<double>(h.version), static_cast<unsigned>(h.sat_limit), static_cast<unsigned>(h.channels),
                static_cast<int>(h.buffer_size), static_cast<double>(h.nominal_value));
    std::printf("created:      %04d-%02d-%02d %02d:%02d:%02d local time\n", h.create_year + kCalendarYearBase,
                h.create_month + 1, h.create_day, h.create_hour, h.create_minute, h.create_second);
    std::printf("written as:   %s\n", storedName.c_str());
}

void PrintEpochs(const obx::ObxContents& contents) {
    const Summary s = Summarise(contents);
    std::printf("epochs:       %zu\n", contents.epochs.size());
    if (!contents.epochs.empty()) {
        const double first = contents.epochs.front().position.time_tag;
        const double last = contents.epochs.back().position.time_tag;
        std::printf("time span:    %.3f to %.3f s of GPS week (%.3f s)\n", first, last, last - first);
    }
    std::printf("measurements: %zu (at most %zu in one epoch, %zu with L2)\n", s.measurements, s.mostPerEpoch,
                s.withL2);
    std::printf("satellites:   %zu", s.epochsPerPrn.size());
    const char* separator = ":";
    for (const auto& [prn, epochs] : s.epochsPerPrn) {
        std::printf("%s PRN %d (%d)", separator, prn, epochs);
        separator = ",";
    }
    std::printf("\n");
    std::printf("flags:        %zu clock-corrected, %zu marked\n", s.clockCorrected, s.marked);
}

// One file's summary; false when it is unreadable, not an OBX file, or damaged.
bool InspectOne(const std::string& arg) {
    const std::string name = ShownName(arg);
    obx::ObxContents contents = obx::ReadObx(ReadablePath(arg));
    if (contents.state == obx::ObxState::kUnreadable) {
        PrintError(arg == "-" ? "cannot read standard input" : contents.problem);
        return false;
    }
    std::printf("file:         %s\n", name.c_str());
    if (contents.state == obx::ObxState::kBadHeader) {
        std::printf("damage:       not an OBX file: %s\n", contents.problem.c_str());
        return false;
    }
    PrintHeader(contents.header);
    PrintEpochs(contents);
    // Epochs follow one another in time: one not later than an epoch before it is damage.
    std::size_t notAdvancing = 0;
    std::size_t firstBack = 0;
    obx::TimeOrder order;
    for (std::size_t i = 0; i < contents.epochs.size(); ++i) {
        if (order.Advances(contents.epochs[i].position.time_tag)) continue;
        if (notAdvancing++ == 0) firstBack = i;
    }
    if (contents.state == obx::ObxState::kComplete && notAdvancing == 0) {
        std::printf("damage:       none\n");
        return true;
    }
    if (contents.state != obx::ObxState::kComplete) {
        std::printf("damage:       %s at offset %llu: %s\n", obx::ObxStateName(contents.state),
                    static_cast<unsigned long long>(contents.problemOffset), contents.problem.c_str());
    }
    if (notAdvancing > 0) {
        const obx::ObxEpoch& back = contents.epochs[firstBack];
        std::printf("damage:       time going back at offset %llu: epoch %.3f s follows %.3f s (%zu epochs not "
                    "later than an epoch before them)\n",
                    static_cast<unsigned long long>(back.offset), double{back.position.time_tag},
                    double{contents.epochs[firstBack - 1].position.time_tag}, notAdvancing);
    }
    return false;
}

int RunInspect(const std::vector<std::string>& args) {
    if (!StandardInputAtMostOnce(args, "inspect")) return kExitUsage;
    bool allSound = true;
    for (std::size_t i = 0; i < args.size(); ++i) {
        // Summaries of several files stand apart by an empty line.
        if (i > 0) std::printf("\n");
        allSound = InspectOne(args[i]) && allSound;
        std::fflush(stdout);
    }
    return allSound ? kExitOk : kExitFailure;
}

}  // namespace

Runner AddInspectCommand(CLI::App& app) {
    static std::vector<std::string> paths;
    CLI::App* sub = app.add_subcommand(
        "inspect",
        "Walks OBX files by their reading rules and summarises each one's header and epochs. "
        "Exit status 0 when every file is complete and sound.");
    sub->add_option("FILE", paths, "OBX files; - reads standard input")->required();
    return [] { return RunInspect(paths); };
}

}  // namespace kestrel::cli
