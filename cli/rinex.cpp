// SPDX-License-Identifier: BSD-2-Clause
// `kestrel rinex`: a NavCom log to RINEX 3.04 or 2.11 observation and navigation files, with
// the decoder's messages, progress and Ctrl-C as `kestrel convert` has them.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <map>
#include <memory>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <string>
#include <utility>
#include <vector>

#include <CLI/CLI.hpp>

#include "args.h"
#include "batch.h"
#include "commands.h"
#include "help.h"
#include "common/bytes.h"
#include "common/error_text.h"
#include "files/output_file.h"
#include "navcom/frame_parser.h"
#include "navcom/record_layout.h"
#include "outputs.h"
#include "pipeline/log_input.h"
#include "pipeline/observation_epoch.h"
#include "rinex_run/rinex_convert.h"
#include "rinex_out/rinex_names.h"
#include "sitelog/site_log.h"
#include "session.h"

namespace kestrel::cli {
namespace {

constexpr int kLastWeek = 9999;  // the GPS weeks --week takes, counted without rollover
namespace fs = std::filesystem;

struct RinexArgs {
    std::vector<std::string> inputs;
    BatchArgs batch;
    bool splice = false;
    std::string period = "1d";
    std::string obsPath;
    std::string navPath;
    std::string version = "3.04";
    std::string marker;
    std::string station;
    std::string siteLog;
    bool gzip = false;
    std::string markerNumber;
    std::string country = "XXX";
    std::string observer;
    std::string agency;
    std::string receiver;
    std::string antenna;
    std::string antennaDelta;
    std::string position;
    std::vector<std::string> comments;
    std::string from;
    std::string to;
    std::string interval;
    int week = 0;
    bool trackedOnly = false;
    bool noNav = false;
    bool noClockCorrection = false;
    bool doppler = false;
    bool noL2Slips = false;
    bool verbose = false;
    bool quiet = false;
};

// True when two output names, which need not exist yet, name one file.
bool SamePath(const std::string& a, const std::string& b) {
    if (b.empty()) return false;
    std::error_code ea, eb;
    const auto x = std::filesystem::weakly_canonical(std::filesystem::absolute(a, ea), ea);
    const auto y = std::filesystem::weakly_canonical(std::filesystem::absolute(b, eb), eb);
    return ea || eb ? a == b : x == y;
}

std::array<double, 3> Triple(const std::string& text) {
    std::string error;
    const auto v = ParseNumbers(text, 3, error);
    return v ? std::array<double, 3>{(*v)[0], (*v)[1], (*v)[2]} : std::array<double, 3>{};
}

// The conversion's options from the arguments; false (with the reason printed) for
// arguments that do not go together.
bool Options(CLI::App& sub, const RinexArgs& a, RinexRunOptions& o) {
    o.version = a.version == "2.11" ? RinexVersion::k211 : RinexVersion::k304;
    o.obsPath = a.obsPath;
    o.navPath = a.navPath;
    o.directory = a.batch.directory;
    o.writeNav = !a.noNav;
    o.trackedOnly = a.trackedOnly;
    o.clockCorrection = !a.noClockCorrection;
    o.doppler = a.doppler;
    o.reportL2Slips = !a.noL2Slips;
    o.verbose = a.verbose;
    o.noClobber = a.batch.noClobber;
    if (sub.count("--week") != 0) o.week = a.week;
    std::string error;
    if (!a.from.empty()) o.from = ParseTime(a.from, error);
    if (!a.to.empty()) o.to = ParseTime(a.to, error);
    if (o.from && o.to && o.to->Total() < o.from->Total()) {
        PrintUsageError("rinex", "--to: " + a.to + " lies before --from " + a.from);
        return false;
    }
    if (!a.interval.empty()) o.intervalS = std::stod(a.interval);
    if (a.splice) o.periodS = a.period == "1h" ? 3600.0 : kSecondsPerDay;
    o.program = std::string("kestrel ") + KESTREL_VERSION;
    o.gzip = a.gzip;
    StationOptions& st = o.station;
    st.markerName = a.marker;
    st.stationId = a.station;
    st.markerNumber = a.markerNumber;
    st.country = a.country;
    st.observer = a.observer;
    st.agency = a.agency;
    const auto receiver = SplitFields(a.receiver, 3);
    st.receiverNumber = receiver[0];
    st.receiverType = receiver[1];
    st.receiverVersion = receiver[2];
    const auto antenna = SplitFields(a.antenna, 2);
    st.antennaNumber = antenna[0];
    st.antennaType = antenna[1];
    if (!a.antennaDelta.empty()) st.antennaDeltaHenM = Triple(a.antennaDelta);
    if (!a.position.empty()) st.positionM = Triple(a.position);
    o.comments = a.comments;
    o.createdUtc = CreationTimeFromEnvironment();
    if ((!a.obsPath.empty() || !a.navPath.empty()) && (a.inputs.size() > 1 || a.splice)) {
        PrintUsageError("rinex", "-o and -n name the files of one LOG; with several, or with --splice, give a folder with -d");
        return false;
    }
    if (a.navPath == kStandardOutputName) {
        PrintUsageError("rinex", "--nav: standard output takes the observation file only (-o -)");
        return false;
    }
    for (const auto& [option, value] : {std::pair{"--obs", a.obsPath}, std::pair{"--nav", a.navPath}}) {
        const std::string folder = NamesFolder(option, value);
        if (!folder.empty()) {
            PrintUsageError("rinex", folder);
            return false;
        }
    }
    if (!a.obsPath.empty() && !a.noNav && SamePath(a.obsPath, a.navPath)) {
        PrintUsageError("rinex", "--nav: " + a.navPath + " names the observation file too");
        return false;
    }
    if (sub.count("--period") != 0 && !a.splice) {
        PrintUsageError("rinex", "--period: goes with --splice");
        return false;
    }
    return true;
}

std::string Summary(const RinexRunResult& result, double seconds) {
    std::string files;
    if (result.files.size() > 2) {
        files = std::to_string(result.files.size()) + " files from " + result.files.front() + " to " +
                result.files.back();
    } else {
        files = result.obsPath == kStandardOutputName ? "standard output" : result.obsPath;
        if (!result.navPath.empty()) files += (files.empty() ? "" : " and ") + result.navPath;
    }
    char summary[1024];
    char slips[64];
    std::snprintf(slips, sizeof slips, kSlipCountsFormat, static_cast<long long>(result.l1Slips),
                  static_cast<long long>(result.l2Slips));
    std::snprintf(summary, sizeof summary, "%d epochs, %d satellites, %s, %d ephemerides written%s%s in %.2f s",
                  result.epochs, result.satellites, slips, result.ephemerides, files.empty() ? "" : " to ",
                  files.c_str(), seconds);
    return summary;
}

// One conversion (one log, or the logs spliced), with the display, Ctrl-C and the summary.
LogReport ConvertOne(const RinexRunOptions& o, const RinexArgs& a) {
    LogReport report;
    const bool toStandardOutput = a.obsPath == kStandardOutputName;
    const std::string& input = o.spliceInputs.empty() ? o.input : o.spliceInputs.front();
    auto fail = [&](const std::string& text, int status) {
        PrintError(text);
        report.error = text;
        report.status = status;
        return report;
    };
    for (const std::string& output : {a.obsPath, a.navPath}) {
        if (output == kStandardOutputName) continue;
        const std::string refusal = OverwritesInput(output);
        if (!refusal.empty()) return fail(refusal, kExitUsage);
        if (o.noClobber && !output.empty() && files::IdOf(output)) {
            return fail("cannot write " + output + ": " + files::Reason(EEXIST) + " (--no-clobber)", kExitFailure);
        }
    }
    CallbackBlock callbacks = DisplayCallbacks();
    StartDisplay(a.quiet);
    // Standard output carries the observation file: everything else goes to standard error.
    std::FILE* const notes = toStandardOutput ? stderr : stdout;
    SetMessageStream(toStandardOutput ? stderr : nullptr);
    const auto started = std::chrono::steady_clock::now();
    RinexRunResult result;
    int32_t status = 0;
    bool interrupted = false;
    {
        InterruptGuard guard;
        status = ConvertToRinex(o, callbacks, result);
        interrupted = InterruptGuard::Interrupted();
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EndDisplay();
    report.summary = Summary(result, seconds);
    report.epochs = result.epochs;
    report.ephemerides = result.ephemerides;
    report.outputs = result.files;
    for (const std::string& file : result.replaced) AnnounceReplaced(file);
    if (!result.files.empty()) ReportNonAdvancing(result.epochsNotAdvancing, "dropped");
    const std::string logName = LogInput::NameOf(input);
    for (const std::string& warning : result.warnings) {
        std::fprintf(stderr, "kestrel: warning: %s: %s\n", logName.c_str(), warning.c_str());
    }
    // What a Ctrl-C kept is dated before its log, so that --skip-existing converts it again.
    if (result.aborted && o.spliceInputs.empty() && input != "-") {
        for (const std::string& file : result.files) {
            if (file != kStandardOutputName) files::DateBefore(file, input);
        }
    }
    if (status == 0) {
        std::fprintf(notes, "%s\n", report.summary.c_str());
        return report;
    }
    std::fflush(notes);
    report.error = error_text();
    if (files::Ending()) {
        report.error = EndedBy(files::StopSignal());
    } else if (result.noEpochs && !result.decodedAnything && o.spliceInputs.empty()) {
        report.error = NothingDecoded(input);
    }
    PrintError(report.error);
    if (!files::Ending() && (result.aborted || !result.files.empty())) {
        std::fprintf(stderr, "kestrel: stopped after %s\n", report.summary.c_str());
    }
    report.status = interrupted ? StoppedStatus(files::StopSignal()) : kExitFailure;
    return report;
}

// The time of a log's first MEASUREMENT frame with a week (total GPS seconds); the logs of a
// splice are read in this order. Logs without one go last, in the order named.
double FirstEpochOf(const std::string& input) {
    constexpr double kNone = 1e18;
    std::FILE* f = std::fopen(input.c_str(), "rb");
    if (f == nullptr) return kNone;
    std::vector<uint8_t> head(1 << 20);
    head.resize(std::fread(head.data(), 1, head.size(), f));
    std::fclose(f);
    namespace m = layout::measurement;
    for (std::size_t i = 0; i + m::kFirstBlockOffset < head.size(); ++i) {
        if (FrameAt(&head[i], head.size() - i, m::kId) == 0) continue;
        const int week = le_u16(&head[i + m::kWeekOffset]);
        if (week == 0) continue;
        return GpsTime{week, le_u32(&head[i + m::kTimeOffset]) * layout::kTimeUnitS}.Total();
    }
    return kNone;
}

int RunRinex(CLI::App& sub, const RinexArgs& a) {
    RinexRunOptions base;
    if (!Options(sub, a, base) || !StandardInputAtMostOnce(a.inputs, "rinex")) return kExitUsage;
    if (!a.siteLog.empty()) {
        auto log = std::make_shared<SiteLog>();
        std::string error;
        if (!ReadSiteLog(a.siteLog, *log, error)) {
            PrintError("--site-log: " + error);
            return kExitFailure;
        }
        base.siteLog = std::move(log);
    }
    if (!MakeOutputFolder(a.batch.directory)) return kExitFailure;
    int refused = 0;
    int duplicates = 0;
    std::vector<std::string> inputs = DistinctInputs(CollectInputs(a.inputs, a.batch.recursive, refused), duplicates);
    refused += duplicates;
    if (inputs.empty()) return CommandStatus(kExitOk, refused);

    if (a.splice) {
        // One stream of the receiver's logs, in the order of their first epochs (each log's
        // head read once).
        std::vector<std::pair<double, std::string>> keyed;
        for (std::string& input : inputs) keyed.emplace_back(FirstEpochOf(input), std::move(input));
        std::stable_sort(keyed.begin(), keyed.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
        for (std::size_t i = 0; i < inputs.size(); ++i) inputs[i] = std::move(keyed[i].second);
        RinexRunOptions o = base;
        o.spliceInputs = inputs;
        const LogReport report = ConvertOne(o, a);
        return CommandStatus(report.status, refused);
    }

    // With several logs, or to skip those done, the files each would write are named first
    // (a decoding without the solution): two logs that would write the same file are refused
    // before any runs.
    std::vector<std::string> accepted;
    const bool predict = inputs.size() > 1 || a.batch.skipExisting;
    std::map<std::string, std::string> writers;
    bool badArguments = false;
    for (const std::string& input : inputs) {
        // A log that can be read once only (standard input, a FIFO, a device) is not read
        // ahead: its names are known when it is converted.
        std::error_code error;
        RinexRunResult named;
        if (predict && fs::is_regular_file(input, error)) {
            RinexRunOptions dry = base;
            dry.input = input;
            dry.dryRun = true;
            CallbackBlock quiet{};
            quiet.blockSize = KESTREL_CALLBACK_BLOCK_SIZE;
            if (ConvertToRinex(dry, quiet, named) != 0) named = RinexRunResult{};
        }
        const Admission admitted =
            Admit(writers, input, named.files, a.batch.logFiles ? MessagesFileOf(input, a.batch.directory) : "");
        if (admitted == Admission::kBadArgument) badArguments = true;
        if (admitted == Admission::kRefused) ++refused;
        if (admitted != Admission::kAdmitted) continue;
        if (!named.files.empty()) {
            const bool done = std::all_of(named.files.begin(), named.files.end(),
                                          [&](const std::string& f) { return files::NewerThan(f, input); });
            if (a.batch.skipExisting && done) {
                std::printf("%s: skipped: its files are up to date\n", input.c_str());
                continue;
            }
            const auto existing = std::find_if(named.files.begin(), named.files.end(),
                                               [](const std::string& f) { return files::IdOf(f).has_value(); });
            if (a.batch.noClobber && existing != named.files.end()) {
                PrintError("cannot write " + *existing + ": " + files::Reason(EEXIST) + " (--no-clobber); " + input +
                           " not converted");
                ++refused;
                continue;
            }
        }
        accepted.push_back(input);
    }
    const int status = RunBatch(accepted, MakeBatchOptions(a.batch, a.quiet), [&](const std::string& input) {
        RinexRunOptions o = base;
        o.input = input;
        return ConvertOne(o, a);
    });
    return CommandStatus(status, refused, badArguments);
}

}  // namespace

Runner AddRinexCommand(CLI::App& app) {
    static RinexArgs a;
    CLI::App* sub = app.add_subcommand(
        "rinex",
        "Converts a NavCom log into RINEX observation and navigation files (GPS). Default names follow "
        "the RINEX conventions: long names for 3.04, ssssdddf.yyo/.yyn for 2.11.");
    sub->add_option("LOG", a.inputs, "NavCom logs (folders with -r); - reads standard input")->required();
    sub->add_option("-o,--obs", a.obsPath, "observation file name; - writes it to standard output")
        ->type_name("OBSFILE");
    sub->add_option("-n,--nav", a.navPath, "navigation file name")->type_name("NAVFILE");
    sub->add_option("-v,--rinex-version", a.version, "RINEX version")
        ->type_name("3.04|2.11")
        ->check(ChoiceValidator({"3.04", "2.11"}));
    sub->add_option("--marker", a.marker, "marker name (default: the site log's, else from the log's name)")
        ->type_name("NAME");
    sub->add_option("--station", a.station,
                    "nine-character station ID of the long file names (station, monument, receiver, country)")
        ->type_name("SSSSMRCCC")
        ->check(CLI::Validator(
            [](std::string& v) {
                for (char& c : v) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
                return IsNineCharacterId(v) ? std::string()
                                            : "'" + v + "' is not a nine-character ID such as ABMF00GLP";
            },
            "", ""));
    sub->add_option("--site-log", a.siteLog,
                    "the station's IGS site log: marker, DOMES number, agency, and the receiver and antenna in "
                    "force at the first epoch (the options above and below override it)")
        ->type_name("FILE");
    sub->add_flag("--gzip", a.gzip, "compress both files with gzip (names end in .gz)");
    sub->add_option("--marker-number", a.markerNumber, "marker number (default: the site log's DOMES number)")
        ->type_name("NUMBER");
    sub->add_option("--country", a.country, "ISO 3166 country code of the long file names")
        ->type_name("CCC")
        ->check(CLI::Validator(
            [](std::string& v) {
                for (char& c : v) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
                if (v.size() != 3 || v.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ") != std::string::npos) {
                    return std::string("'" + v + "' is not a three-letter country code");
                }
                return std::string();
            },
            "", ""));
    sub->add_option("--observer", a.observer, "observer")->type_name("NAME");
    sub->add_option("--agency", a.agency, "agency")->type_name("NAME");
    sub->add_option("--receiver", a.receiver, "receiver serial number, type and firmware version")
        ->type_name("NUMBER,TYPE,VERSION");
    sub->add_option("--antenna", a.antenna, "antenna serial number and IGS type with radome")
        ->type_name("NUMBER,TYPE");
    sub->add_option("--antenna-delta", a.antennaDelta, "antenna height, east and north offsets over the marker, m")
        ->type_name("H,E,N")
        ->check(NumbersValidator(3));
    sub->add_option("--position", a.position,
                    "marker position, Earth-fixed X,Y,Z in m (default: median of the single-point solutions)")
        ->type_name("X,Y,Z")
        ->check(NumbersValidator(3));
    sub->add_option("--comment", a.comments, "a header comment (repeatable)")->type_name("LINE");
    sub->add_option("--from", a.from, "first epoch kept: WEEK:SOW (GPS) or YYYY-MM-DDTHH:MM:SS (UTC)")
        ->type_name("TIME")
        ->check(TimeValidator());
    sub->add_option("--to", a.to, "last epoch kept, as --from")->type_name("TIME")->check(TimeValidator());
    sub->add_option("--interval", a.interval,
                    "keep epochs whose time of week is a multiple of S seconds (to within 25 ms); a lock "
                    "loss in a dropped epoch is flagged at the satellite's next kept epoch. INTERVAL and the "
                    "file names give the spacing written; a warning says when S is finer than the log's "
                    "spacing or not a multiple of it")
        ->type_name("S")
        ->check(IntervalValidator());
    sub->add_option("--week", a.week,
                    "GPS week of the first epoch, for logs whose frames carry none (refused when they carry another)")
        ->type_name("N")
        ->check(WholeNumberValidator(0, kLastWeek));
    sub->add_flag("--tracked-only", a.trackedOnly, "navigation records only for satellites observed");
    sub->add_flag("--no-nav", a.noNav, "no navigation file");
    sub->add_flag("--no-clock-correction", a.noClockCorrection,
                  "no single-point solution: no receiver clock offsets, position from --position or zeros");
    sub->add_flag("--doppler", a.doppler, "write the code-derived L1 Doppler (D1C / D1)");
    sub->add_flag("--no-l2-slips", a.noL2Slips, "do not report L2 cycle slips among the messages");
    sub->add_flag("--verbose", a.verbose, "also report the frame parser's frame-length diagnostics");
    sub->add_flag("-q,--quiet", a.quiet, "no progress display");
    sub->add_flag("--splice", a.splice,
                  "the logs are consecutive logs of one receiver: one pair of files per day (or --period) "
                  "across the logs, epochs in order, repeated epochs dropped, ephemerides carried over, lock "
                  "kept across the joins where the receiver kept it");
    sub->add_option("--period", a.period, "the period of the files of --splice")
        ->type_name("1h|1d")
        ->check(ChoiceValidator({"1h", "1d"}));
    AddBatchOptions(*sub, a.batch);
    return [sub] { return RunRinex(*sub, a); };
}

}  // namespace kestrel::cli
