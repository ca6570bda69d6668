// SPDX-License-Identifier: BSD-2-Clause
#include "session.h"

#include <csignal>
#include <cstdio>
#include <cstring>

#include <unistd.h>

namespace kestrel::cli {
namespace {

constexpr int kBarWidth = 40;                   // characters of the terminal progress bar
constexpr int kPlainStepPercent = 10;           // plain progress lines every 10 %
constexpr long long kPlainStepBytes = 1 << 20;  // or every MiB when the length is unknown

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

volatile std::sig_atomic_t interrupted = 0;

extern "C" void OnInterrupt(int) {
    interrupted = 1;
    Abort();
    // A second Ctrl-C ends the program at once.
    std::signal(SIGINT, SIG_DFL);
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
    interrupted = 0;
    std::signal(SIGINT, OnInterrupt);
}

InterruptGuard::~InterruptGuard() { std::signal(SIGINT, SIG_DFL); }

bool InterruptGuard::Interrupted() { return interrupted != 0; }

}  // namespace kestrel::cli
