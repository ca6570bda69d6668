// `kestrel convert`: fills the host records, runs ConvertFile with a progress display and
// the decoder's messages, and sums up what was written.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include <CLI/CLI.hpp>

#include "commands.h"
#include "kestrel/kestrel.h"
#include "plugin/feed.h"
#include "plugin/plugin.h"
#include "session.h"

namespace kestrel::cli {
namespace {

constexpr int32_t kCounterUnset = -1;  // marks result counters ConvertFile left alone

struct ConvertArgs {
    std::string input;
    std::string outputBase;  // empty: the input path
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

int RunConvert(const ConvertArgs& parsed) {
    const std::string base = parsed.outputBase.empty() ? parsed.input : parsed.outputBase;
    const std::string obxName = OutputName(base, kObxExtension);
    const std::string ephemerisName = OutputName(base, kEphemerisExtension);
    // The outputs are created before the log is read: never let one of them be the log.
    for (const std::string& output : {obxName, ephemerisName}) {
        if (SameFile(parsed.input, output)) {
            PrintError("LOG '" + parsed.input + "' would be overwritten by the output " + output +
                       "; choose another OUTBASE with -o");
            return kExitUsage;
        }
    }
    // The host records, prepared as the library expects: factory defaults, then switches.
    static OptionBlock options;
    static CallbackBlock callbacks;
    std::memset(&options, 0, sizeof options);
    options.blockSize = KESTREL_OPTION_BLOCK_SIZE;
    options.optionSize = KESTREL_OPTION_RECORD_SIZE;
    if (!FillName(options.inputPath, parsed.input)) {
        PrintError("LOG path '" + parsed.input + "' is too long (255 bytes at most)");
        return kExitUsage;
    }
    if (!FillName(options.outputName, base)) {
        PrintError("OUTBASE '" + base + "' is too long (255 bytes at most)");
        return kExitUsage;
    }
    SetFactoryDefaults(KESTREL_OPTION_RECORD_SIZE, &options.options);
    if (parsed.noClockCorrection) options.options.clockCorrection = 0;
    if (parsed.flagEpochs) options.options.flagEpochs = 1;
    if (parsed.noL2Slips) options.options.reportL2Slips = 0;
    if (parsed.verbose) options.options.verboseDecoder = 1;
    options.epochsWritten = kCounterUnset;
    options.ephemeridesWritten = kCounterUnset;

    callbacks = DisplayCallbacks();
    StartDisplay(parsed.quiet);

    const auto started = std::chrono::steady_clock::now();
    int32_t result = 0;
    bool interrupted = false;
    {
        InterruptGuard guard;
        result = ConvertFile(&options, &callbacks, 0);
        interrupted = InterruptGuard::Interrupted();
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EndDisplay();

    if (result == 0) {
        std::printf("%d epochs, %d ephemerides written to %s and %s in %.2f s\n", options.epochsWritten,
                    options.ephemeridesWritten, obxName.c_str(), ephemerisName.c_str(), seconds);
        return kExitOk;
    }
    char text[KESTREL_ERROR_TEXT_SIZE];
    GetErrString(text);
    std::fflush(stdout);
    PrintError(text);
    if (options.epochsWritten != kCounterUnset) {
        std::fprintf(stderr, "kestrel: stopped after %d epochs, %d ephemerides written to %s and %s in %.2f s\n",
                     options.epochsWritten, options.ephemeridesWritten, obxName.c_str(), ephemerisName.c_str(),
                     seconds);
    }
    return interrupted ? kExitInterrupted : kExitFailure;
}


}  // namespace

Runner AddConvertCommand(CLI::App& app) {
    static ConvertArgs args;
    CLI::App* sub = app.add_subcommand(
        "convert",
        "Converts a NavCom binary log into OUTBASE.obx (observations) and OUTBASE.epp (ephemerides). "
        "OUTBASE defaults to LOG; whatever extension it has is replaced.");
    sub->add_option("LOG", args.input, "the NavCom log to convert")->required();
    sub->add_option("-o,--output", args.outputBase, "base name of the two output files")
        ->type_name("OUTBASE")
        ->check(CLI::Validator([](std::string& v) { return v.empty() ? std::string("needs a non-empty OUTBASE") : ""; },
                               "", ""));
    sub->add_flag("--no-clock-correction", args.noClockCorrection,
                  "keep the receiver's time tags; solve no position, store no ephemeris");
    sub->add_flag("--flag-epochs", args.flagEpochs, "mark every epoch with flag value 2");
    sub->add_flag("--no-l2-slips", args.noL2Slips, "do not report L2 cycle slips (L1 slips always are)");
    sub->add_flag("--verbose", args.verbose, "also report the frame parser's frame-length diagnostics");
    sub->add_flag("-q,--quiet", args.quiet, "no progress display");
    return [] { return RunConvert(args); };
}

}  // namespace kestrel::cli
