// SPDX-License-Identifier: BSD-2-Clause
// `kestrel convert`: fills the host records, runs ConvertFile with a progress display and
// the decoder's messages, and sums up what was written.
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <system_error>
#include <vector>

#include <CLI/CLI.hpp>

#include "batch.h"
#include "commands.h"
#include "files/output_file.h"
#include "help.h"
#include "obx_read.h"
#include "outputs.h"
#include "kestrel/kestrel.h"
#include "kestrel/records.h"
#include "plugin/obx_writer.h"
#include "plugin/plugin.h"
#include "plugin/queued_record.h"
#include "session.h"

namespace kestrel::cli {
namespace {

constexpr int32_t kCounterUnset = -1;  // marks result counters ConvertFile left alone

struct ConvertArgs {
    std::vector<std::string> inputs;
    std::string outputBase;  // one log only; empty: in the output folder, or beside the log
    BatchArgs batch;
    bool noClockCorrection = false;
    bool flagEpochs = false;
    bool noL2Slips = false;
    bool verbose = false;
    bool quiet = false;
    bool allowEmpty = false;  // a log that gives nothing is converted into empty outputs
};

// The name the library gives an output of `base`, to name the files in the summary; empty
// when it would not fit the host record.
std::string OutputName(const std::string& base, const char* extension) {
    char name[KESTREL_PATH_SIZE] = {};
    if (base.size() >= sizeof name) return {};
    std::memcpy(name, base.data(), base.size());
    if (!replaceExtension(name, sizeof name, extension)) return {};
    return name;
}

// Copies a path into a host record's name field; false when it does not fit.
bool FillName(char (&field)[KESTREL_PATH_SIZE], const std::string& path) {
    if (path.size() >= sizeof field) return false;
    std::memset(field, 0, sizeof field);
    std::memcpy(field, path.data(), path.size());
    return true;
}

// The output base of a log: as given with -o, in the output folder, or beside the log;
// standard input's is "stdin" in the output folder or the current one.
std::string OutputBase(const ConvertArgs& a, const std::string& input) {
    if (!a.outputBase.empty()) return a.outputBase;
    if (!a.batch.directory.empty() || input == "-") {
        return (std::filesystem::path(a.batch.directory) / LogStem(input)).string();
    }
    return input;
}

// An OBX file keeps the name it was written under; a file written under a temporary name
// gets the name it will have, as if written there.
bool StoreFinalName(const std::string& temporary, const std::string& finalName) {
    std::FILE* f = std::fopen(temporary.c_str(), "r+b");
    if (f == nullptr) return false;
    ObxHeader header;
    bool ok = std::fread(&header, sizeof header, 1, f) == 1;
    if (ok) {
        obx_store_file_name(header, finalName.c_str());
        ok = std::fseek(f, 0, SEEK_SET) == 0 && std::fwrite(&header, sizeof header, 1, f) == 1;
    }
    return std::fclose(f) == 0 && ok;
}

// The library's text of a failed conversion, with the temporary names it wrote under replaced
// by the final ones and, for a failed write, the system's reason.
std::string FailureText(std::string error, int osError, const std::string& tempObx, const std::string& obxName,
                        const std::string& tempEphemeris, const std::string& ephemerisName) {
    for (std::size_t at = error.find(tempObx); at != std::string::npos; at = error.find(tempObx)) {
        error.replace(at, tempObx.size(), obxName);
    }
    for (std::size_t at = error.find(tempEphemeris); at != std::string::npos; at = error.find(tempEphemeris)) {
        error.replace(at, tempEphemeris.size(), ephemerisName);
    }
    if (error.rfind("Error: Unable to write to ", 0) == 0 && osError != 0) error += ": " + files::Reason(osError);
    return error;
}

LogReport ConvertOne(const ConvertArgs& a, const std::string& input) {
    LogReport report;
    const std::string base = OutputBase(a, input);
    const std::string obxName = OutputName(base, kObxExtension);
    const std::string ephemerisName = OutputName(base, kEphemerisExtension);
    auto fail = [&](const std::string& text, int status) {
        PrintError(text);
        report.status = status;
        report.error = text;
        return report;
    };
    // The outputs are made before the log is read: never let one of them be a log.
    for (const std::string& output : {obxName, ephemerisName}) {
        const std::string refusal = OverwritesInput(output);
        if (!refusal.empty()) return fail(refusal, kExitUsage);
    }
    if (a.batch.skipExisting && files::NewerThan(obxName, input) && files::NewerThan(ephemerisName, input)) {
        report.summary = "skipped: " + obxName + " and " + ephemerisName + " are up to date";
        std::printf("%s\n", report.summary.c_str());
        return report;
    }

    // The host records, prepared as the library expects: factory defaults, then switches.
    static OptionBlock options;
    static CallbackBlock callbacks;
    std::memset(&options, 0, sizeof options);
    options.blockSize = KESTREL_OPTION_BLOCK_SIZE;
    options.optionSize = KESTREL_OPTION_RECORD_SIZE;
    if (!FillName(options.inputPath, ReadablePath(input))) {
        return fail("LOG path '" + input + "' is too long (255 bytes at most)", kExitUsage);
    }
    // Written under temporary names beside the outputs (one base, as the library derives both
    // names from it), renamed when whole.
    const std::string tempBase = files::TemporaryNameBeside(obxName, ".part");
    const std::string tempObx = OutputName(tempBase, kObxExtension);
    const std::string tempEphemeris = OutputName(tempBase, kEphemerisExtension);
    if (obxName.empty() || tempObx.empty() || !FillName(options.outputName, tempBase)) {
        return fail("OUTBASE '" + base + "' is too long (255 bytes at most)", kExitUsage);
    }
    const std::string unreadable = UnreadableInput(input);
    if (!unreadable.empty()) return fail(unreadable, kExitFailure);
    const files::Existing existing = a.batch.noClobber ? files::Existing::kRefuse : files::Existing::kReplace;
    files::OutputFile obx;
    files::OutputFile ephemeris;
    if (!obx.CreateAt(obxName, tempObx, existing) || !ephemeris.CreateAt(ephemerisName, tempEphemeris, existing)) {
        const files::OutputFile& failed = obx.error().empty() ? ephemeris : obx;
        return fail(failed.error() + (failed.reason() == files::Reason(EEXIST) ? " (--no-clobber)" : ""), kExitFailure);
    }
    SetFactoryDefaults(KESTREL_OPTION_RECORD_SIZE, &options.options);
    if (a.noClockCorrection) options.options.clockCorrection = 0;
    if (a.flagEpochs) options.options.flagEpochs = 1;
    if (a.noL2Slips) options.options.reportL2Slips = 0;
    if (a.verbose) options.options.verboseDecoder = 1;
    options.epochsWritten = kCounterUnset;
    options.ephemeridesWritten = kCounterUnset;

    callbacks = DisplayCallbacks();
    StartDisplay(a.quiet);
    SetMessageRewrite(tempObx, obxName);
    const auto started = std::chrono::steady_clock::now();
    int32_t result = 0;
    int osError = 0;
    bool interrupted = false;
    {
        InterruptGuard guard;
        errno = 0;
        // As ConvertFile, but from a fresh session: a log's files do not depend on the logs
        // this process converted before it.
        result = RunConversion(&options, &callbacks, SolverStart::kFresh);
        osError = errno;
        interrupted = InterruptGuard::Interrupted();
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EndDisplay();
    SetMessageRewrite("", "");

    char text[KESTREL_ERROR_TEXT_SIZE];
    GetErrString(text);
    std::string error = FailureText(text, osError, tempObx, obxName, tempEphemeris, ephemerisName);
    // Standard input is opened by its device's name: messages name it in words.
    for (std::size_t at = error.find(ReadablePath(input)); input == "-" && at != std::string::npos;
         at = error.find(ReadablePath(input))) {
        error.replace(at, ReadablePath(input).size(), ShownName(input));
    }
    report.epochs = options.epochsWritten;
    report.ephemerides = options.ephemeridesWritten;
    char summary[2 * KESTREL_PATH_SIZE + 128];
    std::snprintf(summary, sizeof summary, "%d epochs, %d ephemerides written to %s and %s in %.2f s",
                  options.epochsWritten, options.ephemeridesWritten, obxName.c_str(), ephemerisName.c_str(), seconds);
    report.summary = summary;

    // After SIGTERM or SIGHUP nothing unfinished is kept; after Ctrl-C what was converted stands
    // (dated before the log, so that --skip-existing converts it again); a log that gave
    // nothing is a failure unless empty outputs are asked for.
    const int stop = files::StopSignal();
    const bool ending = files::Ending();
    const bool empty = result == 0 && options.epochsWritten == 0 && options.ephemeridesWritten == 0;
    if (ending) {
        error = EndedBy(stop);
    } else if (empty && !a.allowEmpty) {
        error = NothingDecoded(input);
    }
    const bool keep = !ending && (result == 0 || interrupted) && (!empty || a.allowEmpty);
    bool kept = false;
    if (keep) {
        const long long notAdvancing = obx::CountEpochsNotAdvancing(tempObx);
        const bool named = StoreFinalName(tempObx, obxName);
        const int nameError = errno;
        const bool obxCommitted = named && obx.Commit();
        kept = obxCommitted && ephemeris.Commit();
        if (!kept) {
            // Both files take their names, or neither keeps one.
            if (obxCommitted) std::remove(obxName.c_str());
            error = !named ? "cannot write " + obxName + ": " + files::Reason(nameError)
                           : (obx.error().empty() ? ephemeris : obx).error();
            result = 1;
            interrupted = false;
        } else {
            for (const files::OutputFile* out : {&obx, &ephemeris}) {
                if (out->replacing()) AnnounceReplaced(out->finalPath());
            }
            if (result != 0 && input != "-") {  // stopped part-way by Ctrl-C
                files::DateBefore(obxName, input);
                files::DateBefore(ephemerisName, input);
            }
            ReportNonAdvancing(notAdvancing, "written as received");
        }
    }
    if (!kept) {
        obx.Abandon();
        ephemeris.Abandon();
    }

    if (kept && result == 0) {
        report.outputs = {obxName, ephemerisName};
        std::printf("%s\n", summary);
        return report;
    }
    std::fflush(stdout);
    PrintError(error);
    if (kept) {
        std::fprintf(stderr, "kestrel: stopped after %s\n", summary);
        report.outputs = {obxName, ephemerisName};
    }
    report.status = interrupted || ending ? StoppedStatus(stop) : kExitFailure;
    report.error = error;
    return report;
}

int RunConvert(const ConvertArgs& a) {
    if (!a.outputBase.empty() && a.inputs.size() > 1) {
        PrintUsageError("convert", "-o names the outputs of one LOG; with several, give a folder with -d");
        return kExitUsage;
    }
    if (!StandardInputAtMostOnce(a.inputs, "convert")) return kExitUsage;
    const std::string folder = NamesFolder("-o", a.outputBase);
    if (!folder.empty()) {
        PrintUsageError("convert", folder);
        return kExitUsage;
    }
    if (!MakeOutputFolder(a.batch.directory)) return kExitFailure;
    int refused = 0;
    int duplicates = 0;
    const std::vector<std::string> inputs =
        DistinctInputs(CollectInputs(a.inputs, a.batch.recursive, refused), duplicates);
    refused += duplicates;
    // Before any log runs: two logs that would write the same outputs (the later ones are
    // refused), and outputs or messages files that are logs (those logs are refused).
    std::map<std::string, std::string> writers;
    std::vector<std::string> accepted;
    bool badArguments = false;
    for (const std::string& input : inputs) {
        const std::string base = OutputBase(a, input);
        std::vector<std::string> outputs;
        for (const std::string& output : {OutputName(base, kObxExtension), OutputName(base, kEphemerisExtension)}) {
            if (!output.empty()) outputs.push_back(output);  // a name too long is refused when the log runs
        }
        switch (Admit(writers, input, outputs, a.batch.logFiles ? MessagesFileOf(input, a.batch.directory) : "")) {
            case Admission::kAdmitted: accepted.push_back(input); break;
            case Admission::kRefused: ++refused; break;
            case Admission::kBadArgument: badArguments = true; break;
        }
    }
    const int status = RunBatch(accepted, MakeBatchOptions(a.batch, a.quiet),
                                [&a](const std::string& input) { return ConvertOne(a, input); });
    return CommandStatus(status, refused, badArguments);
}

}  // namespace

Runner AddConvertCommand(CLI::App& app) {
    static ConvertArgs args;
    CLI::App* sub = app.add_subcommand(
        "convert",
        "Converts a NavCom binary log into OUTBASE.obx (observations) and OUTBASE.epp (ephemerides). "
        "OUTBASE defaults to LOG (stdin for standard input); whatever extension it has is replaced.");
    sub->add_option("LOG", args.inputs, "NavCom logs to convert (folders with -r); - reads standard input")
        ->required();
    sub->add_option("-o,--output", args.outputBase, "base name of the two output files (one LOG only)")
        ->type_name("OUTBASE")
        ->check(CLI::Validator([](std::string& v) { return v.empty() ? std::string("needs a non-empty OUTBASE") : ""; },
                               "", ""));
    sub->add_flag("--no-clock-correction", args.noClockCorrection,
                  "keep the receiver's time tags; solve no position, store no ephemeris");
    sub->add_flag("--flag-epochs", args.flagEpochs, "mark every epoch with flag value 2");
    sub->add_flag("--no-l2-slips", args.noL2Slips, "do not report L2 cycle slips (L1 slips always are)");
    sub->add_flag("--verbose", args.verbose, "also report the frame parser's frame-length diagnostics");
    sub->add_flag("-q,--quiet", args.quiet, "no progress display");
    sub->add_flag("--allow-empty", args.allowEmpty,
                  "a log that gives no epoch and no ephemeris is converted into empty outputs, not a failure");
    AddBatchOptions(*sub, args.batch);
    return [] { return RunConvert(args); };
}

}  // namespace kestrel::cli
