// `kestrel convert`: fills the host records, runs ConvertFile with a progress display and
// the decoder's messages, and sums up what was written.
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

#include "commands.h"
#include "kestrel/kestrel.h"

namespace kestrel::cli {
namespace {

constexpr int kBarWidth = 40;                     // characters of the terminal progress bar
constexpr int kPlainStepPercent = 10;             // plain progress lines every 10 %
constexpr long long kPlainStepBytes = 1 << 20;    // or every MiB when the length is unknown
constexpr int32_t kCounterUnset = -1;             // marks result counters ConvertFile left alone

struct ConvertArgs {
    std::string input;
    std::string outputBase;  // empty: the input path
    bool noClockCorrection = false;
    bool flagEpochs = false;
    bool noL2Slips = false;
    bool verbose = false;
    bool quiet = false;
};

// What the callbacks need; they carry no context of their own.
struct Display {
    bool progress = true;   // show progress at all
    bool terminal = false;  // standard error is a terminal: draw a bar in place
    bool barShown = false;  // a bar is on the current line of standard error
    int lastPercent = -1;
    long long nextBytes = 0;
};
Display display;

volatile std::sig_atomic_t interrupted = 0;

extern "C" void OnInterrupt(int) {
    interrupted = 1;
    Abort();
    // A second Ctrl-C ends the program at once.
    std::signal(SIGINT, SIG_DFL);
}

bool IsTerminal(std::FILE* stream) {
#if defined(_WIN32)
    return _isatty(_fileno(stream)) != 0;
#else
    return isatty(fileno(stream)) != 0;
#endif
}

void ClearBar() {
    if (display.barShown) {
        std::fputs("\r\033[K", stderr);
        display.barShown = false;
        display.lastPercent = -1;  // draw it again at the next progress call
    }
}

void KESTREL_STDCALL OnMessage(double time, const char* text) {
    ClearBar();
    // Messages about no particular epoch carry exactly -1.0.
    if (time == -1.0) {
        std::printf("%s\n", text);
    } else {
        std::printf("%.3f  %s\n", time, text);
    }
    std::fflush(stdout);
}

void KESTREL_STDCALL OnProgress(int32_t done, int32_t total) {
    if (!display.progress) return;
    if (total <= 0) {
        // Length unknown (a pipe) or an empty file: count bytes.
        if (done < display.nextBytes) return;
        display.nextBytes = static_cast<long long>(done) + kPlainStepBytes;
        if (display.terminal) {
            std::fprintf(stderr, "\r%lld KiB read", static_cast<long long>(done) / 1024);
            display.barShown = true;
        } else {
            std::fprintf(stderr, "%d bytes read\n", done);
        }
        std::fflush(stderr);
        return;
    }
    const int percent = static_cast<int>(static_cast<long long>(done) * 100 / total);
    if (display.terminal) {
        if (percent == display.lastPercent) return;
        display.lastPercent = percent;
        const int filled = percent * kBarWidth / 100;
        std::fprintf(stderr, "\r[%.*s%*s] %3d%%", filled, "########################################", kBarWidth - filled,
                     "", percent);
        display.barShown = true;
    } else {
        const int step = percent / kPlainStepPercent * kPlainStepPercent;
        if (step == display.lastPercent) return;
        display.lastPercent = step;
        std::fprintf(stderr, "%d%%\n", step);
    }
    std::fflush(stderr);
}

// The output name rule of the library, to name the files in the summary: leading blanks
// go, and the extension after the last directory separator is replaced (or added).
std::string OutputName(const std::string& base, const char* extension) {
    const std::size_t start = base.find_first_not_of(' ');
    std::string name = start == std::string::npos ? std::string() : base.substr(start);
    const std::size_t separator = name.find_last_of("\\/");
    const std::size_t dot = name.find_last_of('.');
    if (dot != std::string::npos && (separator == std::string::npos || dot > separator)) name.erase(dot);
    return name + extension;
}

// True when `output` already exists and is the very file `input` names.
bool SameFile(const std::string& input, const std::string& output) {
    std::error_code error;
    return std::filesystem::equivalent(input, output, error) && !error;
}

// Parses the arguments after "convert"; false with the reason printed on a bad one.
bool ParseArgs(const std::vector<std::string>& args, ConvertArgs& out) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "-o" || arg == "--output") {
            if (i + 1 == args.size()) {
                PrintError("option '" + arg + "' needs an OUTBASE");
                return false;
            }
            out.outputBase = args[++i];
            if (out.outputBase.empty()) {
                PrintError("option '" + arg + "' needs a non-empty OUTBASE");
                return false;
            }
        } else if (arg.rfind("--output=", 0) == 0) {
            out.outputBase = arg.substr(std::strlen("--output="));
        } else if (arg == "--no-clock-correction") {
            out.noClockCorrection = true;
        } else if (arg == "--flag-epochs") {
            out.flagEpochs = true;
        } else if (arg == "--no-l2-slips") {
            out.noL2Slips = true;
        } else if (arg == "--verbose") {
            out.verbose = true;
        } else if (arg == "-q" || arg == "--quiet") {
            out.quiet = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            PrintError("unknown option '" + arg + "' for convert (see kestrel --help)");
            return false;
        } else if (out.input.empty()) {
            out.input = arg;
        } else {
            PrintError("unexpected argument '" + arg + "': convert takes one LOG");
            return false;
        }
    }
    if (out.input.empty()) {
        PrintError("convert needs a LOG to convert (see kestrel --help)");
        return false;
    }
    return true;
}

// Copies a path into a host record's name field; false when it does not fit.
bool FillName(char (&field)[KESTREL_PATH_SIZE], const std::string& path) {
    if (path.size() >= sizeof field) return false;
    std::memset(field, 0, sizeof field);
    std::memcpy(field, path.data(), path.size());
    return true;
}

}  // namespace

int RunConvert(const std::vector<std::string>& args) {
    ConvertArgs parsed;
    if (!ParseArgs(args, parsed)) return kExitUsage;
    const std::string base = parsed.outputBase.empty() ? parsed.input : parsed.outputBase;
    const std::string obxName = OutputName(base, ".obx");
    const std::string ephemerisName = OutputName(base, ".epp");
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
    std::memset(&callbacks, 0, sizeof callbacks);
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

    callbacks.blockSize = KESTREL_CALLBACK_BLOCK_SIZE;
    callbacks.messageCallback = OnMessage;
    callbacks.progressCallback = OnProgress;
    display.progress = !parsed.quiet;
    display.terminal = IsTerminal(stderr);

    const auto started = std::chrono::steady_clock::now();
    std::signal(SIGINT, OnInterrupt);
    const int32_t result = ConvertFile(&options, &callbacks, 0);
    std::signal(SIGINT, SIG_DFL);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (display.barShown) {
        std::fputc('\n', stderr);
        display.barShown = false;
    }

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

}  // namespace kestrel::cli
