// SPDX-License-Identifier: BSD-2-Clause
// rinex2navcom: writes a NavCom receiver log from a RINEX (2 or 3) observation file and a GPS
// navigation file, so that the converter can be run on real observations.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "rinex/navcom_log.h"

namespace {

using namespace kestrel::rinex;

constexpr const char* kUsage =
    "usage: rinex2navcom OBS NAV -o OUT [--start SOW] [--end SOW] [--repeat-days N | --repeat-weeks N]\n";

constexpr const char* kHelp =
    "Writes a NavCom binary log (MEASUREMENT and EPHEMERIS frames) from a RINEX 2 or 3\n"
    "observation file OBS (its GPS satellites) and a GPS navigation file NAV of either version.\n"
    "\n"
    "  -o OUT            the log to write\n"
    "  --start SOW       leave out epochs before this second of the GPS week\n"
    "  --end SOW         leave out epochs after this second of the GPS week\n"
    "  --repeat-days N   after the data, write it N more times, each copy one day later than\n"
    "                    the one before (for long logs, e.g. benchmarks). Times of week, weeks\n"
    "                    and the ephemerides' Toc, Toe and transmission times move with each\n"
    "                    copy, so every copy is consistent in itself: the orbits of the shifted\n"
    "                    ephemerides at the shifted times are the recorded ones. The data must\n"
    "                    span less than a day.\n"
    "  --repeat-weeks N  the same with copies one week apart: times of week stay as recorded\n"
    "                    and only the weeks advance.\n"
    "\n"
    "One MEASUREMENT frame per epoch: the time of week in ms; up to 15 GPS satellites (PRN 1 to\n"
    "31) with the C/A range (C1), P1 when present, and L2 data (P2 and L2 phase) when both are\n"
    "present. Each phase goes as a 20-bit offset from its code range; per continuous arc an\n"
    "integer K is chosen so that the decoded phase is minus the RINEX phase plus K. A new arc\n"
    "(with a new lock count, seen by the decoder as a cycle slip) starts where the RINEX\n"
    "loss-of-lock indicator is set, where the offset would no longer fit, at a power failure\n"
    "epoch, and around epochs without L1 phase (sent with offset 0).\n"
    "Each ephemeris goes before the first epoch at or after its transmission time; those sent\n"
    "after the last epoch are left out.\n"
    "\n"
    "A summary of what was written, and of every observation that could not be sent as the\n"
    "file gives it, goes to standard error.\n";

constexpr const char* kArcStartNames[] = {"continued", "first", "loss of lock", "offset out of range",
                                          "no phase", "phase back", "power failure"};

bool ParseNumber(const char* text, double& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtod(text, &end);
    return end != text && *end == '\0' && errno == 0;
}

bool ParseCount(const char* text, int& value) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || v < 0 || v > 100000) return false;
    value = static_cast<int>(v);
    return true;
}

struct Arguments {
    std::string obs, nav, out;
    LogOptions options;
};

int Fail(const std::string& text) {
    std::fprintf(stderr, "rinex2navcom: %s\n", text.c_str());
    return 1;
}

// Returns -1 when the arguments are good, else the exit code.
int ParseArguments(int argc, char** argv, Arguments& args) {
    std::vector<std::string> positional;
    bool days = false, weeks = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "-h" || a == "--help") {
            std::fputs(kUsage, stdout);
            std::fputs("\n", stdout);
            std::fputs(kHelp, stdout);
            return 0;
        } else if (a == "-o" && hasValue) {
            args.out = argv[++i];
        } else if ((a == "--start" || a == "--end") && hasValue) {
            double v = 0.0;
            if (!ParseNumber(argv[++i], v) || v < 0.0 || v >= kSecondsPerWeek)
                return Fail(a + " wants seconds of the GPS week, 0 to 604800");
            if (a == "--start") {
                args.options.hasStart = true;
                args.options.start = v;
            } else {
                args.options.hasEnd = true;
                args.options.end = v;
            }
        } else if ((a == "--repeat-days" || a == "--repeat-weeks") && hasValue) {
            if (!ParseCount(argv[++i], args.options.repeatCount)) return Fail(a + " wants a count, 0 to 100000");
            (a == "--repeat-days" ? days : weeks) = true;
            args.options.repeatStep = a == "--repeat-days" ? kSecondsPerDay : kSecondsPerWeek;
        } else if (!a.empty() && a[0] == '-' && a != "-") {
            std::fputs(kUsage, stderr);
            return Fail("unknown option or missing value: " + a);
        } else {
            positional.push_back(a);
        }
    }
    if (positional.size() != 2 || args.out.empty()) {
        std::fputs(kUsage, stderr);
        return 1;
    }
    if (days && weeks) return Fail("--repeat-days and --repeat-weeks exclude each other");
    args.obs = positional[0];
    args.nav = positional[1];
    return -1;
}

void PrintSummary(const Arguments& args, const LogContents& log) {
    const EpochReport& first = log.epochs.front();
    const EpochReport& last = log.epochs.back();
    std::fprintf(stderr, "rinex2navcom: wrote %s, %zu bytes\n", args.out.c_str(), log.bytes.size());
    std::fprintf(stderr, "  epochs: %zu, week %d %.3f s to week %d %.3f s", log.epochs.size(), first.time.week,
                 first.time.sow, last.time.week, last.time.sow);
    if (args.options.repeatCount > 0) std::fprintf(stderr, " (%d copies)", args.options.repeatCount + 1);
    std::fprintf(stderr, "; %zu outside the window\n", log.epochsOutsideWindow);
    std::fprintf(stderr, "  satellite blocks: %zu, %zu with L2 data\n", log.blocks, log.l2Blocks);
    std::fprintf(stderr, "  ephemerides: %zu written, %zu transmitted after the last epoch left out", log.ephemerides.size(),
                 log.ephemeridesAfterLastEpoch);
    if (log.ephemeridesUnfit) std::fprintf(stderr, ", %zu unfit left out", log.ephemeridesUnfit);
    std::fputs("\n", stderr);
    for (int carrier = 1; carrier <= 2; ++carrier) {
        const std::size_t* counts = carrier == 1 ? log.l1Restarts : log.l2Restarts;
        std::fprintf(stderr, "  L%d arcs:", carrier);
        const char* sep = " ";
        for (int k = 1; k < 7; ++k) {
            if (counts[k] == 0) continue;
            std::fprintf(stderr, "%s%zu %s", sep, counts[k], kArcStartNames[k]);
            sep = ", ";
        }
        std::fputs("\n", stderr);
    }
    if (log.otherSystems) std::fprintf(stderr, "  non-GPS satellites left out: %zu\n", log.otherSystems);
    for (const NoteCount& n : log.notes) {
        if (n.prn)
            std::fprintf(stderr, "  warning: PRN %d %s: %zu epoch(s), first at %.3f s\n", n.prn, NoteText(n.kind),
                         n.count, n.firstTime);
        else
            std::fprintf(stderr, "  warning: %s: %zu epoch(s), first at %.3f s\n", NoteText(n.kind), n.count,
                         n.firstTime);
    }
    for (const std::string& w : log.warnings) std::fprintf(stderr, "  warning: %s\n", w.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    Arguments args;
    if (const int code = ParseArguments(argc, argv, args); code >= 0) return code;
    ObsFile obs;
    std::vector<NavRecord> nav;
    std::string error;
    if (!ReadObsFile(args.obs, obs, error) || !ReadNavFile(args.nav, nav, error)) return Fail(error);
    LogContents log;
    if (!BuildNavComLog(obs, nav, args.options, log, error)) return Fail(error);
    std::FILE* f = std::fopen(args.out.c_str(), "wb");
    if (!f) return Fail(args.out + ": cannot create the file: " + std::strerror(errno));
    const bool written = std::fwrite(log.bytes.data(), 1, log.bytes.size(), f) == log.bytes.size();
    if (std::fclose(f) != 0 || !written) {
        std::remove(args.out.c_str());
        return Fail(args.out + ": cannot write the file");
    }
    PrintSummary(args, log);
    return 0;
}
