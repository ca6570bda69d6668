// SPDX-License-Identifier: BSD-2-Clause
#include "session.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <signal.h>
#include <unistd.h>

#include "files/output_file.h"
#include "help.h"
#include "pipeline/log_input.h"

namespace kestrel::cli {
namespace {

// Standard input opened by name, for what takes a path (the library's ConvertFile, AutoDetect).
constexpr const char* kStandardInputDevice = "/dev/stdin";
constexpr int kBarWidth = 40;                   // characters of the terminal progress bar
constexpr int kPlainStepPercent = 10;           // plain progress lines every 10 %
constexpr long long kPlainStepBytes = 1 << 20;  // or every MiB when the length is unknown
constexpr auto kTickInterval = std::chrono::milliseconds(500);  // redraws of bytes read on a terminal
// The decoder's message for an epoch no later than a satellite's last one, per satellite.
constexpr const char* kNonAdvancingMessage = "Zero or negative DT!!!";

using Clock = std::chrono::steady_clock;

// What the callbacks need; they carry no context of their own. On a terminal, an input of
// unknown length (a pipe, a receiver) has its bytes and rate redrawn by a ticker thread, so
// the line moves even while the input is slow; `lock` keeps its drawing and the messages
// apart.
struct Display {
    bool progress = true;   // show progress at all
    bool terminal = false;  // standard error is a terminal: draw a bar in place
    bool barShown = false;  // a bar or a byte count is on the current line of standard error
    bool lengthKnown = false;    // the input told its length: a bar of percent
    bool lengthUnknown = false;  // it did not: bytes read and rate
    int lastPercent = -1;
    long long nextBytes = 0;
    long long bytesRead = 0;
    Clock::time_point started;
    std::mutex lock;
    std::condition_variable wake;
    bool stopTicker = false;
    std::thread ticker;
};
// Never destroyed: a ticker still running when the process ends must not end it.
Display& display = *new Display();
int progressPipe = -1;
std::string rewriteFrom;
std::string rewriteTo;
std::FILE* messageStream = nullptr;  // null: standard output

std::FILE* Messages() { return messageStream != nullptr ? messageStream : stdout; }

// A stop signal came during the run, read by the display's ticker thread too: a lock-free
// atomic beside the files library's flag, which is for the signal handlers alone.
std::atomic<int> interrupted{0};
static_assert(std::atomic<int>::is_always_lock_free);

long long nonAdvancingMessages = 0;

// Guards alive, and the outermost one's handlers.
int guardDepth = 0;
std::optional<files::StopHandlers> guardHandlers;

extern "C" void OnStopSignal(int signal) {
    if (files::StopSignal() != 0) files::EndOnSignal(signal);
    files::NoteStopSignal(signal);
    interrupted = 1;
    Abort();
}

// Called with display.lock held.
void ClearBar() {
    if (display.barShown) {
        std::fputs("\r\033[K", stderr);
        display.barShown = false;
        display.lastPercent = -1;  // draw it again at the next progress call
    }
}

// Bytes in decimal units, as storage and network rates are given: "512 B", "3.4 MB".
std::string Bytes(double bytes) {
    char text[32];
    if (bytes < 1e3) {
        std::snprintf(text, sizeof text, "%.0f B", bytes);
    } else if (bytes < 1e6) {
        std::snprintf(text, sizeof text, "%.1f kB", bytes / 1e3);
    } else if (bytes < 1e9) {
        std::snprintf(text, sizeof text, "%.1f MB", bytes / 1e6);
    } else {
        std::snprintf(text, sizeof text, "%.2f GB", bytes / 1e9);
    }
    return text;
}

// The line of an input of unknown length: bytes read and the mean rate since the start.
// Called with display.lock held.
void DrawBytes() {
    const double seconds = std::chrono::duration<double>(Clock::now() - display.started).count();
    const auto bytes = static_cast<double>(display.bytesRead);
    const std::string rate = seconds > 0.0 ? Bytes(bytes / seconds) + "/s" : std::string("-");
    std::fprintf(stderr, "\r\033[K%s read, %s", Bytes(bytes).c_str(), rate.c_str());
    std::fflush(stderr);
    display.barShown = true;
}

// Redraws the byte count until the display is stopped, unless the input turns out to tell its
// length (a bar then) or Ctrl-C came (the line stays as it was).
void Tick() {
    std::unique_lock<std::mutex> held(display.lock);
    while (!display.wake.wait_for(held, kTickInterval, [] { return display.stopTicker; })) {
        if (!display.lengthKnown && interrupted == 0) DrawBytes();
    }
}

void StopTicker() {
    if (!display.ticker.joinable()) return;
    {
        std::lock_guard<std::mutex> held(display.lock);
        display.stopTicker = true;
    }
    display.wake.notify_all();
    display.ticker.join();
}

}  // namespace

void StartDisplay(bool quiet) {
    StopTicker();
    std::lock_guard<std::mutex> held(display.lock);
    nonAdvancingMessages = 0;
    display.progress = !quiet;
    display.terminal = isatty(fileno(stderr)) != 0;
    display.barShown = false;
    display.lengthKnown = false;
    display.lengthUnknown = false;
    display.lastPercent = -1;
    display.nextBytes = 0;
    display.bytesRead = 0;
    display.started = Clock::now();
    display.stopTicker = false;
    if (display.progress && display.terminal && progressPipe < 0) display.ticker = std::thread(Tick);
}

void EndDisplay() {
    StopTicker();
    std::lock_guard<std::mutex> held(display.lock);
    // What was read in the end, unless Ctrl-C left the line where it stopped.
    if (display.progress && display.terminal && display.lengthUnknown && interrupted == 0) DrawBytes();
    if (display.barShown) {
        std::fputc('\n', stderr);
        display.barShown = false;
    }
}

void KESTREL_STDCALL OnMessage(double time, const char* text) {
    std::lock_guard<std::mutex> held(display.lock);
    // The decoder says this for every satellite of an epoch that does not advance: shown once,
    // counted, and summed up at the end.
    if (text != nullptr && std::strcmp(text, kNonAdvancingMessage) == 0 && nonAdvancingMessages++ > 0) return;
    ClearBar();
    std::string rewritten;
    if (!rewriteFrom.empty() && text != nullptr && std::strstr(text, rewriteFrom.c_str()) != nullptr) {
        rewritten = text;
        for (std::size_t at = rewritten.find(rewriteFrom); at != std::string::npos;
             at = rewritten.find(rewriteFrom, at + rewriteTo.size())) {
            rewritten.replace(at, rewriteFrom.size(), rewriteTo);
        }
        text = rewritten.c_str();
    }
    // Messages about no particular epoch carry exactly -1.0.
    if (time == -1.0) {
        std::fprintf(Messages(), "%s\n", text);
    } else {
        std::fprintf(Messages(), "%.3f  %s\n", time, text);
    }
    // A batch worker's messages go to the batch in blocks: a write per message would wake
    // the batch for every line.
    if (progressPipe < 0) std::fflush(Messages());
}

void KESTREL_STDCALL OnProgress(int32_t done, int32_t total) {
    // A stop that came before the library's run began (and reset its abort counter) ends it
    // at its next chunk all the same.
    if (files::StopSignal() != 0) Abort();
    if (progressPipe >= 0) {
        // Every MiB and at the end is enough for the batch's display.
        if (done < display.nextBytes && done != total) return;
        display.nextBytes = static_cast<long long>(done) + kPlainStepBytes;
        char line[32];
        const int n = std::snprintf(line, sizeof line, "P %d\n", done);
        if (n > 0 && write(progressPipe, line, static_cast<std::size_t>(n)) < 0) progressPipe = -1;
        return;
    }
    std::lock_guard<std::mutex> held(display.lock);
    // After Ctrl-C the display stays where the run stopped: the library's last report counts
    // what was read as the whole.
    if (!display.progress || interrupted != 0) return;
    display.bytesRead = done;
    // The first report tells whether the input knows its length; a stream that does not
    // reports what it read as the whole at its end, which is still a count of bytes.
    if (!display.lengthKnown && !display.lengthUnknown) {
        (total > 0 ? display.lengthKnown : display.lengthUnknown) = true;
    }
    if (display.lengthUnknown) {
        // A terminal's line is redrawn by the ticker; elsewhere a line every MiB.
        if (display.terminal || done < display.nextBytes) return;
        display.nextBytes = static_cast<long long>(done) + kPlainStepBytes;
        std::fprintf(stderr, "%d bytes read\n", done);
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

void SetProgressPipe(int fd) { progressPipe = fd; }

void SetMessageStream(std::FILE* stream) { messageStream = stream; }

void SetMessageRewrite(const std::string& from, const std::string& to) {
    rewriteFrom = from;
    rewriteTo = to;
}

CallbackBlock DisplayCallbacks() {
    CallbackBlock callbacks;
    std::memset(&callbacks, 0, sizeof callbacks);
    callbacks.blockSize = KESTREL_CALLBACK_BLOCK_SIZE;
    callbacks.messageCallback = OnMessage;
    callbacks.progressCallback = OnProgress;
    return callbacks;
}

InterruptGuard::InterruptGuard() {
    if (guardDepth++ > 0) return;
    files::ClearStopSignal();
    interrupted = 0;
    // Reads of a pipe or terminal go on after the handler: the library stops between chunks.
    guardHandlers.emplace(OnStopSignal);
}

InterruptGuard::~InterruptGuard() {
    if (--guardDepth == 0) guardHandlers.reset();
}

bool InterruptGuard::Interrupted() { return files::StopSignal() != 0; }

std::string ReadablePath(const std::string& arg) { return arg == "-" ? kStandardInputDevice : arg; }

std::string ShownName(const std::string& arg) { return LogInput::NameOf(arg); }

bool StandardInputAtMostOnce(const std::vector<std::string>& args, const std::string& command) {
    if (std::count(args.begin(), args.end(), "-") <= 1) return true;
    PrintUsageError(command, "- (standard input) is named more than once; it can be read once");
    return false;
}

int StoppedStatus(int signal) { return 128 + signal; }

bool IsStoppedStatus(int status) {
    for (int signal : files::kStopSignals) {
        if (status == StoppedStatus(signal)) return true;
    }
    return false;
}

std::string StopName(int signal) {
    switch (signal) {
        case SIGINT: return "Ctrl-C";
        case SIGTERM: return "SIGTERM";
        case SIGHUP: return "SIGHUP";
        default: return "signal " + std::to_string(signal);
    }
}

std::string EndedBy(int signal) { return "ended by " + StopName(signal) + "; nothing kept"; }

void ReportNonAdvancing(long long epochs, const std::string& done) {
    std::fflush(stdout);
    if (epochs > 0) {
        std::fprintf(stderr, "kestrel: warning: %lld epochs not later than an epoch before them: %s\n", epochs,
                     done.c_str());
    }
    if (nonAdvancingMessages > 0) {
        std::fprintf(stderr,
                     "kestrel: warning: \"%s\" %lld times (shown once): observations not later than their "
                     "satellite's last one were left out\n",
                     kNonAdvancingMessage, nonAdvancingMessages);
    }
}

}  // namespace kestrel::cli
