// SPDX-License-Identifier: BSD-2-Clause
// `kestrel convert`: fills the host records, runs ConvertFile with a progress display and
// the decoder's messages, and sums up what was written.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <system_error>
#include <vector>

#include <unistd.h>

#include <CLI/CLI.hpp>

#include "batch.h"
#include "commands.h"
#include "kestrel/kestrel.h"
#include "kestrel/records.h"
#include "pipeline/log_input.h"
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

// The output base of a log: as given with -o, in the output folder, or beside the log.
std::string OutputBase(const ConvertArgs& a, const std::string& input) {
    if (!a.outputBase.empty()) return a.outputBase;
    if (!a.batch.directory.empty()) return (std::filesystem::path(a.batch.directory) / LogStem(input)).string();
    return input;
}

// An OBX file keeps the name it was written under; a file written under a temporary name
// and renamed gets the name it now has, as if written there.
bool RenameObx(const std::string& from, const std::string& to) {
    std::FILE* f = std::fopen(from.c_str(), "r+b");
    if (f == nullptr) return false;
    ObxHeader header;
    bool ok = std::fread(&header, sizeof header, 1, f) == 1;
    if (ok) {
        obx_store_file_name(header, to.c_str());
        ok = std::fseek(f, 0, SEEK_SET) == 0 && std::fwrite(&header, sizeof header, 1, f) == 1;
    }
    ok = std::fclose(f) == 0 && ok;
    return ok && std::rename(from.c_str(), to.c_str()) == 0;
}

LogReport ConvertOne(const ConvertArgs& a, const std::string& input) {
    LogReport report;
    const std::string base = OutputBase(a, input);
    const std::string obxName = OutputName(base, kObxExtension);
    const std::string ephemerisName = OutputName(base, kEphemerisExtension);
    auto refuse = [&](const std::string& text) {
        PrintError(text);
        report.status = kExitUsage;
        report.error = text;
        return report;
    };
    // The outputs are created before the log is read: never let one of them be the log.
    for (const std::string& output : {obxName, ephemerisName}) {
        if (WouldOverwriteLog(input, output)) {
            return refuse("LOG '" + input + "' would be overwritten by the output " + output +
                          "; choose another OUTBASE with -o");
        }
    }
    if (a.batch.skipExisting && NewerThan(obxName, input) && NewerThan(ephemerisName, input)) {
        report.summary = "skipped: " + obxName + " and " + ephemerisName + " are up to date";
        std::printf("%s\n", report.summary.c_str());
        return report;
    }
    // Written under a temporary name beside the outputs, renamed when closed whole.
    const std::string folder = std::filesystem::path(obxName).parent_path().string();
    static int runs = 0;
    const std::string tempBase = (folder.empty() ? std::string() : folder + "/") + ".kestrel-" +
                                 std::to_string(getpid()) + "-" + std::to_string(runs++) + ".part";
    const std::string tempObx = OutputName(tempBase, kObxExtension);
    const std::string tempEphemeris = OutputName(tempBase, kEphemerisExtension);

    // The host records, prepared as the library expects: factory defaults, then switches.
    static OptionBlock options;
    static CallbackBlock callbacks;
    std::memset(&options, 0, sizeof options);
    options.blockSize = KESTREL_OPTION_BLOCK_SIZE;
    options.optionSize = KESTREL_OPTION_RECORD_SIZE;
    if (!FillName(options.inputPath, input)) return refuse("LOG path '" + input + "' is too long (255 bytes at most)");
    if (obxName.empty() || !FillName(options.outputName, tempBase)) {
        return refuse("OUTBASE '" + base + "' is too long (255 bytes at most)");
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
    bool interrupted = false;
    {
        InterruptGuard guard;
        // As ConvertFile, but from a fresh session: a log's files do not depend on the logs
        // this process converted before it.
        result = RunConversion(&options, &callbacks, SolverStart::kFresh);
        interrupted = InterruptGuard::Interrupted();
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EndDisplay();
    SetMessageRewrite("", "");

    char text[KESTREL_ERROR_TEXT_SIZE];
    GetErrString(text);
    std::string error = text;
    // What was converted stands when the run ended well or was stopped; after any other
    // failure nothing is left under the outputs' names.
    bool kept = false;
    if (result == 0 || interrupted) {
        kept = RenameObx(tempObx, obxName) && std::rename(tempEphemeris.c_str(), ephemerisName.c_str()) == 0;
        if (!kept) {
            error = "Error: Unable to write to " + obxName;
            result = 1;
            interrupted = false;
        }
    }
    if (!kept) {
        std::remove(tempObx.c_str());
        std::remove(tempEphemeris.c_str());
    }
    for (std::size_t at = error.find(tempObx); at != std::string::npos; at = error.find(tempObx)) {
        error.replace(at, tempObx.size(), obxName);
    }
    for (std::size_t at = error.find(tempEphemeris); at != std::string::npos; at = error.find(tempEphemeris)) {
        error.replace(at, tempEphemeris.size(), ephemerisName);
    }

    report.epochs = options.epochsWritten;
    report.ephemerides = options.ephemeridesWritten;
    char summary[2 * KESTREL_PATH_SIZE + 128];
    std::snprintf(summary, sizeof summary, "%d epochs, %d ephemerides written to %s and %s in %.2f s",
                  options.epochsWritten, options.ephemeridesWritten, obxName.c_str(), ephemerisName.c_str(), seconds);
    report.summary = summary;
    if (result == 0) {
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
    report.status = interrupted ? kExitInterrupted : kExitFailure;
    report.error = error;
    return report;
}

int RunConvert(const ConvertArgs& a) {
    if (!a.outputBase.empty() && a.inputs.size() > 1) {
        PrintError("-o names the outputs of one LOG; with several, give a folder with -d");
        return kExitUsage;
    }
    if (!MakeOutputFolder(a.batch.directory)) return kExitFailure;
    int refused = 0;
    std::vector<std::string> inputs = CollectInputs(a.inputs, a.batch.recursive, refused);
    // Two logs that would write the same outputs: the later ones are refused before any runs.
    std::map<std::string, std::string> writers;
    std::vector<std::string> accepted;
    for (const std::string& input : inputs) {
        if (!ClaimOutputs(writers, input, {OutputName(OutputBase(a, input), kObxExtension)})) {
            ++refused;
            continue;
        }
        accepted.push_back(input);
    }
    const int status = RunBatch(accepted, MakeBatchOptions(a.batch, a.quiet),
                                [&a](const std::string& input) { return ConvertOne(a, input); });
    if (status == kExitOk && refused > 0) return kExitFailure;
    return status;
}

}  // namespace

Runner AddConvertCommand(CLI::App& app) {
    static ConvertArgs args;
    CLI::App* sub = app.add_subcommand(
        "convert",
        "Converts a NavCom binary log into OUTBASE.obx (observations) and OUTBASE.epp (ephemerides). "
        "OUTBASE defaults to LOG; whatever extension it has is replaced.");
    sub->add_option("LOG", args.inputs, "NavCom logs to convert (folders with -r)")->required();
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
    AddBatchOptions(*sub, args.batch);
    return [] { return RunConvert(args); };
}

}  // namespace kestrel::cli
