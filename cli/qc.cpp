// SPDX-License-Identifier: BSD-2-Clause
// `kestrel qc`: how complete a NavCom log is, how many slips, how noisy its codes are, whether
// the receiver clock jumped and where the antenna stood; a summary per log on standard output,
// the figures as JSON and the pictures as PNG, SVG or an HTML page when asked.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include <CLI/CLI.hpp>

#include "args.h"
#include "batch.h"
#include "commands.h"
#include "help.h"
#include "common/error_text.h"
#include "files/output_file.h"
#include "outputs.h"
#include "qc/qc_run.h"
#include "qc/sky.h"
#include "qc_json.h"
#include "qc_plot.h"
#include "qc_summary.h"
#include "session.h"

namespace kestrel::cli {
namespace {

constexpr double kHighestMaskDeg = 90.0;

struct QcArgs {
    std::vector<std::string> inputs;
    std::string jsonPath;
    std::string plotPath;
    std::string mask;
    std::string reference;
    std::string from;
    std::string to;
    std::string interval;
    bool messages = false;
    bool noL2Slips = false;
    bool verbose = false;
    bool quiet = false;
    bool allowEmpty = false;  // a log that gives nothing is summarised, not a failure
    BatchArgs batch;          // -r, -j, --log-files and --no-clobber (no output folder)
};

// Writes a whole output under a temporary name, renamed when whole; announces a file it replaced.
// False with the reason printed.
bool WriteWhole(const std::string& path, const std::string& bytes, bool noClobber) {
    files::OutputFile out;
    if (out.Create(path, noClobber ? files::Existing::kRefuse : files::Existing::kReplace) && out.Write(bytes) &&
        out.Commit()) {
        if (out.replacing()) AnnounceReplaced(path);
        return true;
    }
    PrintError(out.error() + (out.reason() == files::Reason(EEXIST) ? " (--no-clobber)" : ""));
    return false;
}

// Standard output from here on goes to standard error; returns the stream that still reaches
// the original standard output (null when it cannot be had).
std::FILE* DivertStandardOutput() {
    std::fflush(stdout);
    const int original = dup(STDOUT_FILENO);
    if (original < 0) return nullptr;
    std::FILE* out = fdopen(original, "wb");
    if (out == nullptr || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
        if (out != nullptr) std::fclose(out); else close(original);
        return nullptr;
    }
    return out;
}

// The plot file of one of several logs: the log's name before the extension.
std::string PlotPathFor(const std::string& plotPath, const std::string& log, std::size_t index, std::size_t logs) {
    if (logs == 1) return plotPath;
    const std::size_t dot = plotPath.find_last_of('.');
    std::string stem = std::filesystem::path(log).stem().string();
    if (stem.empty()) stem = "log";
    return plotPath.substr(0, dot) + "-" + std::to_string(index + 1) + "-" + stem + plotPath.substr(dot);
}

int RunQc(const QcArgs& a) {
    QcOptions o;
    std::string error;
    if (!a.from.empty()) o.window.from = ParseTime(a.from, error);
    if (!a.to.empty()) o.window.to = ParseTime(a.to, error);
    if (o.window.from && o.window.to && o.window.to->Total() < o.window.from->Total()) {
        PrintUsageError("qc", "--to: " + a.to + " lies before --from " + a.from);
        return kExitUsage;
    }
    if (!a.interval.empty()) o.window.intervalS = std::stod(a.interval);
    if (!a.mask.empty()) o.maskDeg = std::stod(a.mask);
    if (!a.reference.empty()) {
        const auto v = ParseNumbers(a.reference, 3, error);
        const std::array<double, 3> xyz{(*v)[0], (*v)[1], (*v)[2]};
        if (!MakeSkyPlace(xyz)) {
            PrintUsageError("qc", "--reference: '" + a.reference +
                       "' is not a position near the Earth's surface (Earth-fixed X,Y,Z in metres)");
            return kExitUsage;
        }
        o.reference = xyz;
    }
    o.reportL2Slips = !a.noL2Slips;
    o.parserNotices = a.verbose;
    o.plotSamples = !a.plotPath.empty();
    // A folder given for a file (qc has no folder of outputs) is found before its extension.
    for (const std::string& path : {a.jsonPath, a.plotPath}) {
        std::error_code error;
        if (!path.empty() && (path.back() == '/' || std::filesystem::is_directory(path, error))) {
            PrintError("cannot write " + path + ": " + files::Reason(EISDIR));
            return kExitFailure;
        }
    }
    std::optional<PlotFormat> plotFormat;
    if (!a.plotPath.empty()) {
        plotFormat = PlotFormatOf(a.plotPath);
        if (!plotFormat) {
            PrintUsageError("qc", "--plot: '" + a.plotPath + "' does not end in .png, .svg or .html");
            return kExitUsage;
        }
    }
    if (!a.jsonPath.empty() && (a.jsonPath == a.plotPath || files::SameFile(a.jsonPath, a.plotPath))) {
        PrintUsageError("qc", "--plot: '" + a.plotPath + "' is also the --json file");
        return kExitUsage;
    }
    if (!StandardInputAtMostOnce(a.inputs, "qc")) return kExitUsage;
    int refused = 0;
    int duplicates = 0;
    const std::vector<std::string> inputs =
        DistinctInputs(CollectInputs(a.inputs, a.batch.recursive, refused), duplicates);
    refused += duplicates;
    // Outputs that are logs, or that cannot be written, are found before any log is read.
    std::vector<std::string> outputs;
    if (!a.jsonPath.empty() && a.jsonPath != "-") outputs.push_back(a.jsonPath);
    if (plotFormat) {
        const std::size_t pages = *plotFormat == PlotFormat::kHtml ? 1 : inputs.size();
        for (std::size_t i = 0; i < pages; ++i) {
            outputs.push_back(pages == 1 ? a.plotPath : PlotPathFor(a.plotPath, inputs[i], i, pages));
        }
    }
    if (a.batch.logFiles) {
        for (const std::string& input : inputs) outputs.push_back(MessagesFileOf(input, ""));
    }
    for (const std::string& path : outputs) {
        const std::string refusal = OverwritesInput(path);
        if (!refusal.empty()) {
            PrintError(refusal);
            return kExitUsage;
        }
        std::string why = files::WhyUnwritable(path);
        if (why.empty() && a.batch.noClobber && files::IdOf(path)) why = files::Reason(EEXIST) + " (--no-clobber)";
        if (!why.empty()) {
            PrintError("cannot write " + path + ": " + why);
            return kExitFailure;
        }
    }

    // Standard output carries the JSON document alone: the summaries go to standard error.
    std::FILE* jsonOut = a.jsonPath == "-" ? DivertStandardOutput() : nullptr;
    if (a.jsonPath == "-" && jsonOut == nullptr) {
        PrintError(std::string("cannot write standard output: ") + std::strerror(errno));
        return kExitFailure;
    }

    const BatchOptions batch = MakeBatchOptions(a.batch, a.quiet);
    const bool inTurn = RunsInTurn(batch, inputs.size());
    const std::string program = std::string("kestrel ") + KESTREL_VERSION;
    // Each log is checked on its own (in a worker with -j): its summary on standard output,
    // its pictures (PNG, SVG) written, and its JSON object and part of the HTML page handed
    // back to be put together here in the logs' order.
    const auto checkOne = [&](const std::string& input) {
        const std::size_t index =
            static_cast<std::size_t>(std::find(inputs.begin(), inputs.end(), input) - inputs.begin());
        QcOptions options = o;
        options.input = input;
        CallbackBlock callbacks = DisplayCallbacks();
        if (!a.messages && !a.verbose) callbacks.messageCallback = nullptr;
        QcReport report;
        bool interrupted = false;
        StartDisplay(a.quiet);
        {
            InterruptGuard guard;
            AnalyseLog(options, callbacks, report);
            interrupted = InterruptGuard::Interrupted();
        }
        EndDisplay();
        LogReport out;
        out.epochs = report.epochs;
        out.ephemerides = report.ephemerides;
        // A log that was read and gave nothing is a failure, unless asked for.
        if (report.status == QcStatus::kComplete && report.epochs == 0 && report.ephemerides == 0 && !a.allowEmpty) {
            report.status = QcStatus::kUnreadable;
            report.error = NothingDecoded(input);
        }
        if (report.status == QcStatus::kUnreadable) {
            PrintError(report.error);
            out.status = kExitFailure;
            out.error = report.error;
        }
        const std::string summary = FormatQcSummary(report);
        // Summaries of logs checked in turn stand apart by an empty line.
        if (index > 0 && inTurn) std::fputs("\n", stdout);
        std::fputs(summary.c_str(), stdout);
        std::fflush(stdout);
        out.summary = std::to_string(report.epochs) + " epochs checked";
        std::string json;
        std::string section;
        std::string error;
        // After SIGTERM or SIGHUP nothing more is drawn or kept.
        const bool draw = plotFormat && !files::Ending();
        if (!a.jsonPath.empty()) json = QcJsonLog(report);
        if (draw && *plotFormat == PlotFormat::kHtml && !RenderQcHtmlSection(report, summary, index, section, error)) {
            out.status = kExitFailure;
            out.error = "cannot draw the pictures of " + input + ": " + error;
        } else if (draw && *plotFormat != PlotFormat::kHtml && report.status != QcStatus::kUnreadable) {
            const std::string path = PlotPathFor(a.plotPath, input, index, inputs.size());
            std::string bytes;
            if (!RenderQcPage(report, *plotFormat, bytes, error)) {
                out.status = kExitFailure;
                out.error = "cannot draw the pictures of " + input + ": " + error;
                PrintError(out.error);
            } else if (!WriteWhole(path, bytes, a.batch.noClobber)) {
                out.status = kExitFailure;
                out.error = "cannot write " + path;
            } else {
                out.outputs.push_back(path);
            }
        }
        out.payload = std::to_string(json.size()) + "\n" + json + section;
        if (interrupted) {
            out.status = StoppedStatus(files::StopSignal());
            out.error = files::Ending() ? EndedBy(files::StopSignal()) : report.error;
        }
        return out;
    };
    std::vector<LogReport> reports;
    const int status = RunBatch(inputs, batch, checkOne, &reports);
    // Drawn in this process (-j 1) or in workers, which end without tidying: once is enough.
    if (plotFormat) ReleasePlotCaches();

    std::vector<std::string> logs;
    std::vector<std::string> sections;
    bool anyRead = false;
    for (const LogReport& r : reports) {
        const std::size_t eol = r.payload.find('\n');
        if (eol == std::string::npos) continue;  // not run (stopped before it)
        const std::size_t length = std::stoul(r.payload.substr(0, eol));
        if (length > 0) logs.push_back(r.payload.substr(eol + 1, length));
        sections.push_back(r.payload.substr(eol + 1 + length));
        anyRead = anyRead || r.status == kExitOk || IsStoppedStatus(r.status);
    }
    // The document and the page hold the logs read (one stopped by Ctrl-C as "aborted"); when
    // none was, or after SIGTERM or SIGHUP, there is none.
    if (anyRead && !files::Ending()) {
        if (jsonOut != nullptr) {
            const std::string document = QcJsonDocument(logs, program);
            const bool written = std::fwrite(document.data(), 1, document.size(), jsonOut) == document.size();
            if (std::fclose(jsonOut) != 0 || !written) {
                PrintError(std::string("cannot write the JSON document to standard output: ") + std::strerror(errno));
                return kExitFailure;
            }
            jsonOut = nullptr;
        } else if (!a.jsonPath.empty() && !WriteWhole(a.jsonPath, QcJsonDocument(logs, program), a.batch.noClobber)) {
            return kExitFailure;
        }
        if (plotFormat && *plotFormat == PlotFormat::kHtml &&
            !WriteWhole(a.plotPath, QcHtmlPage(sections), a.batch.noClobber)) {
            return kExitFailure;
        }
    }
    if (jsonOut != nullptr) std::fclose(jsonOut);
    return CommandStatus(status, refused);
}

CLI::Validator MaskValidator() {
    return CLI::Validator(
        [](std::string& value) {
            std::string error;
            const auto v = ParseNumbers(value, 1, error);
            if (!v || (*v)[0] < 0.0 || (*v)[0] > kHighestMaskDeg) {
                return "'" + value + "' is not an elevation of 0 to 90 degrees";
            }
            return std::string();
        },
        "", "degrees");
}

}  // namespace

Runner AddQcCommand(CLI::App& app) {
    static QcArgs a;
    CLI::App* sub = app.add_subcommand(
        "qc",
        "Checks NavCom logs: span, completeness and gaps, per-satellite observations, slips, multipath "
        "(MP1, MP2) and signal strength, receiver clock steps, the position and its scatter, ephemerides "
        "and the frame parser's complaints. One summary per log on standard output.");
    sub->add_option("LOG", a.inputs, "NavCom logs; - reads standard input")->required();
    sub->add_option("--json", a.jsonPath,
                    "write every figure as JSON (one object per log); - writes it on standard output, and the "
                    "summaries go to standard error")
        ->type_name("FILE");
    sub->add_option("--plot", a.plotPath,
                    "draw the pictures: FILE.png or FILE.svg (one page per log), FILE.html (one page with "
                    "every log's summary and pictures)")
        ->type_name("FILE");
    sub->add_option("--mask", a.mask, "elevation mask of the expected observations, degrees (default 10)")
        ->type_name("DEG")
        ->check(MaskValidator());
    sub->add_option("--reference", a.reference,
                    "reference position, Earth-fixed X,Y,Z in m: elevations from it, and the median's offset "
                    "from it")
        ->type_name("X,Y,Z")
        ->check(NumbersValidator(3));
    sub->add_option("--from", a.from, "first epoch checked: WEEK:SOW (GPS) or YYYY-MM-DDTHH:MM:SS (UTC)")
        ->type_name("TIME")
        ->check(TimeValidator());
    sub->add_option("--to", a.to, "last epoch checked, as --from")->type_name("TIME")->check(TimeValidator());
    sub->add_option("--interval", a.interval,
                    "check epochs whose time of week is a multiple of S seconds; a lock loss in a dropped "
                    "epoch counts at the satellite's next epoch checked")
        ->type_name("S")
        ->check(IntervalValidator());
    sub->add_flag("--messages", a.messages, "also print the decoder's messages, as convert does");
    sub->add_flag("--no-l2-slips", a.noL2Slips, "with --messages: no messages about L2 slips");
    sub->add_flag("--verbose", a.verbose, "print the decoder's messages and the frame parser's notices");
    sub->add_flag("-q,--quiet", a.quiet, "no progress display");
    sub->add_flag("-r,--recursive", a.batch.recursive, "take the NavCom logs found in the folders named, at any depth");
    sub->add_option("-j,--jobs", a.batch.jobs, "worker processes (default: one per processor; 1 checks the logs in turn)")
        ->type_name("N")
        ->check(WholeNumberValidator(1, kMostJobs));
    sub->add_flag("--log-files", a.batch.logFiles, "each log's summary and messages to NAME.messages beside it");
    sub->add_flag("--allow-empty", a.allowEmpty,
                  "a log that gives no epoch and no ephemeris is summarised as it is, not a failure");
    sub->add_flag("--no-clobber", a.batch.noClobber, "refuse to replace an existing file instead of replacing it");
    return [] { return RunQc(a); };
}

}  // namespace kestrel::cli
