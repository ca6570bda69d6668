// SPDX-License-Identifier: BSD-2-Clause
#include "session.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include <signal.h>
#include <unistd.h>

#include "files/output_file.h"

namespace kestrel::cli {
namespace {

constexpr int kBarWidth = 40;                   // characters of the terminal progress bar
constexpr int kPlainStepPercent = 10;           // plain progress lines every 10 %
constexpr long long kPlainStepBytes = 1 << 20;  // or every MiB when the length is unknown
// The decoder's message for an epoch no later than a satellite's last one, per satellite.
constexpr const char* kNonAdvancingMessage = "Zero or negative DT!!!";

// What the callbacks need; they carry no context of their own.
struct Display {
    bool progress = true;   // show progress at all
    bool terminal = false;  // standard error is a terminal: draw a bar in place
    bool barShown = false;  // a bar is on the current line of standard error
    int lastPercent = -1;
    long long nextBytes = 0;
};
Display display;
int progressPipe = -1;
std::string rewriteFrom;
std::string rewriteTo;

long long nonAdvancingMessages = 0;

// Guards alive, and the outermost one's handlers.
int guardDepth = 0;
std::optional<files::StopHandlers> guardHandlers;

extern "C" void OnStopSignal(int signal) {
    if (files::StopSignal() != 0) files::EndOnSignal(signal);
    files::NoteStopSignal(signal);
    Abort();
}

void ClearBar() {
    if (display.barShown) {
        std::fputs("\r\033[K", stderr);
        display.barShown = false;
        display.lastPercent = -1;  // draw it again at the next progress call
    }
}

}  // namespace

void StartDisplay(bool quiet) {
    display = Display{};
    nonAdvancingMessages = 0;
    display.nextBytes = 0;
    display.progress = !quiet;
    display.terminal = isatty(fileno(stderr)) != 0;
}

void EndDisplay() {
    if (display.barShown) {
        std::fputc('\n', stderr);
        display.barShown = false;
    }
}

void KESTREL_STDCALL OnMessage(double time, const char* text) {
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
        std::printf("%s\n", text);
    } else {
        std::printf("%.3f  %s\n", time, text);
    }
    // A batch worker's messages go to the batch in blocks: a write per message would wake
    // the batch for every line.
    if (progressPipe < 0) std::fflush(stdout);
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

void SetProgressPipe(int fd) { progressPipe = fd; }

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
    // Reads of a pipe or terminal go on after the handler: the library stops between chunks.
    guardHandlers.emplace(OnStopSignal);
}

InterruptGuard::~InterruptGuard() {
    if (--guardDepth == 0) guardHandlers.reset();
}

bool InterruptGuard::Interrupted() { return files::StopSignal() != 0; }

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
