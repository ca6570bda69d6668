// SPDX-License-Identifier: BSD-2-Clause
// kestrel-abi-test: a host that knows the library only by its contract (kestrel.h and
// records.h). It loads the library, finds every export, and checks through them the
// option defaults, the version checks, conversions of sample logs with both callbacks,
// Abort from a second thread, file detection and the ThreadBuf readers.
//
//   kestrel-abi-test LIBRARY OUTPUT_FOLDER LOG...
//
// Output files go to OUTPUT_FOLDER, named after each log. Every check prints one line;
// the last line is "N passed, N failed", and the exit status is non-zero on any failure.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "host_platform.h"
#include "kestrel/kestrel.h"
#include "kestrel/records.h"
#include "output_files.h"

namespace fs = std::filesystem;

namespace {

constexpr int32_t kChunkBytes = 2048;
constexpr int32_t kDefaultThreadBufSize = 16384;
constexpr auto kHandshakeTimeout = std::chrono::seconds(120);
// The abort thread acts when the conversion reports its third chunk.
constexpr int kAbortAtProgressCall = 3;
// Chunks in the long log that the abort check converts.
constexpr int32_t kLongLogChunks = 64;
constexpr uint8_t kHostAreaFill = 0x5A;
constexpr int32_t kCounterSentinels[3] = {111, 222, 333};
constexpr double kSecondsPerWeek = 604800.0;

constexpr const char* kVersionText = "Incorrect version of NAVCOM Conversion DLL";
constexpr const char* kOptionsText = "Incorrect version of NAVCOM Conversion DLL, Invalid options";
constexpr const char* kUserQuitText = "User Quit";
constexpr const char* kUnableToOpen = "Error: Unable to open ";

// ---------------------------------------------------------------------------------------
// Reporting.

struct Tally {
    int passed = 0;
    int failed = 0;
} tally;

bool check(bool ok, const std::string& what, const std::string& detail = {}) {
    if (ok) {
        ++tally.passed;
        std::printf("PASS %s\n", what.c_str());
    } else {
        ++tally.failed;
        std::printf("FAIL %s%s%s\n", what.c_str(), detail.empty() ? "" : ": ", detail.c_str());
    }
    std::fflush(stdout);
    return ok;
}

template <typename T>
bool check_equal(const T& got, const T& want, const std::string& what) {
    if constexpr (std::is_convertible_v<T, std::string>) {
        return check(got == want, what, "got \"" + std::string(got) + "\", want \"" + std::string(want) + "\"");
    } else {
        return check(got == want, what, "got " + std::to_string(got) + ", want " + std::to_string(want));
    }
}

// ---------------------------------------------------------------------------------------
// Host callbacks: they count and keep what the library hands them.

using Progress = std::pair<int32_t, int32_t>;

struct CallbackLog {
    std::thread::id caller;
    int32_t messages = 0;
    std::vector<Progress> progress;
    std::set<std::string> texts;
    int bad_times = 0;
    int unterminated_texts = 0;
    int foreign_thread_calls = 0;

    // Abort handshake: at progress call `abort_at`, the conversion waits until the
    // abort thread has called Abort, so the abort lands at a known chunk.
    int abort_at = 0;
    std::mutex mutex;
    std::condition_variable changed;
    bool abort_wanted = false;
    bool abort_issued = false;
    bool abort_landed = false;  // Abort returned while the conversion waited in its callback

    void reset() {
        caller = std::this_thread::get_id();
        messages = 0;
        progress.clear();
        texts.clear();
        bad_times = unterminated_texts = foreign_thread_calls = 0;
        abort_at = 0;
        abort_wanted = abort_issued = abort_landed = false;
    }
} callback_log;

void KESTREL_STDCALL on_message(double time, const char* text) {
    CallbackLog& log = callback_log;
    ++log.messages;
    if (std::this_thread::get_id() != log.caller) ++log.foreign_thread_calls;
    if (!(time == -1.0 || (time >= 0.0 && time <= kSecondsPerWeek))) ++log.bad_times;
    if (text == nullptr || strnlen(text, KESTREL_ERROR_TEXT_SIZE) >= KESTREL_ERROR_TEXT_SIZE) {
        ++log.unterminated_texts;
        return;
    }
    log.texts.insert(text);
}

void KESTREL_STDCALL on_progress(int32_t done, int32_t total) {
    CallbackLog& log = callback_log;
    if (std::this_thread::get_id() != log.caller) ++log.foreign_thread_calls;
    log.progress.emplace_back(done, total);
    if (static_cast<int>(log.progress.size()) != log.abort_at) return;
    std::unique_lock<std::mutex> lock(log.mutex);
    log.abort_wanted = true;
    log.changed.notify_all();
    log.abort_landed = log.changed.wait_for(lock, kHandshakeTimeout, [&] { return log.abort_issued; });
}

// Progress calls of a conversion of `length` bytes: one per chunk read (the read that
// meets the end of the input included), then the closing (length, length).
std::vector<Progress> expected_progress(int32_t length, int chunks_read) {
    std::vector<Progress> calls;
    for (int k = 1; k <= chunks_read; ++k)
        calls.emplace_back(std::min(k * kChunkBytes, length), length);
    calls.emplace_back(length, length);
    return calls;
}

int chunks_to_end(int32_t length) { return length / kChunkBytes + 1; }

std::string describe(const std::vector<Progress>& calls) {
    std::string s;
    for (std::size_t i = 0; i < calls.size() && i < 8; ++i)
        s += "(" + std::to_string(calls[i].first) + "," + std::to_string(calls[i].second) + ")";
    if (calls.size() > 8) s += "... " + std::to_string(calls.size()) + " calls";
    return s;
}

// ---------------------------------------------------------------------------------------
// One ConvertFile call as a host makes it.

struct Run {
    int32_t result = -1;
    OptionBlock options{};
    CallbackBlock callbacks{};
    std::string error_text;
    bool host_areas_intact = false;
};

std::string error_string(const abi::Exports& k) {
    char text[KESTREL_ERROR_TEXT_SIZE + 1] = {};
    k.GetErrString(text);
    return std::string(text, strnlen(text, KESTREL_ERROR_TEXT_SIZE));
}

bool fill_path(char (&field)[KESTREL_PATH_SIZE], const std::string& value) {
    if (value.size() >= KESTREL_PATH_SIZE) return false;
    std::memset(field, 0, sizeof field);
    std::memcpy(field, value.data(), value.size());
    return true;
}

bool all_bytes(const uint8_t* p, std::size_t n, uint8_t value) {
    return std::all_of(p, p + n, [value](uint8_t b) { return b == value; });
}

// With `misaligned_stack`, where the platform allows, ConvertFile is entered with a stack
// aligned to 4 bytes only, as a host built by another compiler may call it.
Run convert(const abi::Exports& k, const std::string& input, const std::string& output_name,
            const std::function<void(OptionBlock&, CallbackBlock&)>& adjust = {},
            bool misaligned_stack = false) {
    Run run;
    std::memset(&run.options, kHostAreaFill, sizeof run.options);
    std::memset(&run.callbacks, kHostAreaFill, sizeof run.callbacks);
    run.options.blockSize = KESTREL_OPTION_BLOCK_SIZE;
    if (!fill_path(run.options.inputPath, input) || !fill_path(run.options.outputName, output_name)) {
        check(false, "paths fit the option block", input + " / " + output_name);
        return run;
    }
    run.options.optionSize = KESTREL_OPTION_RECORD_SIZE;
    k.SetFactoryDefaults(KESTREL_OPTION_RECORD_SIZE, &run.options.options);
    run.options.epochsWritten = kCounterSentinels[0];
    run.options.ephemeridesWritten = kCounterSentinels[1];
    run.options.otherWritten = kCounterSentinels[2];
    run.callbacks.blockSize = KESTREL_CALLBACK_BLOCK_SIZE;
    run.callbacks.messageCallback = on_message;
    run.callbacks.progressCallback = on_progress;
    if (adjust) adjust(run.options, run.callbacks);

    const OptionRecord options_before = run.options.options;
    if (misaligned_stack && abi::can_measure_stack()) {
        constexpr int kMisalignBytes = 4;
        const uint32_t arguments[] = {abi::pointer_argument(&run.options),
                                      abi::pointer_argument(&run.callbacks), 0x7EADBEEF};
        int32_t popped = 0;
        abi::call_measuring_stack(reinterpret_cast<const void*>(k.ConvertFile), arguments, 3,
                                  &run.result, &popped, kMisalignBytes);
    } else {
        run.result = k.ConvertFile(&run.options, &run.callbacks, 0x7EADBEEF);
    }
    run.error_text = error_string(k);
    run.host_areas_intact =
        all_bytes(run.options.hostArea1, sizeof run.options.hostArea1, kHostAreaFill) &&
        all_bytes(run.options.hostArea2, sizeof run.options.hostArea2, kHostAreaFill) &&
        all_bytes(run.callbacks.hostArea1, sizeof run.callbacks.hostArea1, kHostAreaFill) &&
        all_bytes(run.callbacks.hostArea2, sizeof run.callbacks.hostArea2, kHostAreaFill) &&
        std::memcmp(&options_before, &run.options.options, sizeof options_before) == 0;
    return run;
}

bool counters_kept(const Run& run) {
    return run.options.epochsWritten == kCounterSentinels[0] &&
           run.options.ephemeridesWritten == kCounterSentinels[1] &&
           run.options.otherWritten == kCounterSentinels[2];
}

bool any_output(const std::string& name) {
    return fs::exists(name + ".obx") || fs::exists(name + ".epp");
}

// Checks common to every conversion that ran its loop: the callbacks, the host's areas,
// and both output files against the counters written back.
void check_finished_run(const Run& run, const std::string& label, const std::string& name,
                        const std::vector<Progress>& progress_wanted) {
    check(run.host_areas_intact, label + ": host areas and option record untouched");
    check(callback_log.progress == progress_wanted, label + ": progress calls",
          "got " + describe(callback_log.progress) + ", want " + describe(progress_wanted));
    check(callback_log.foreign_thread_calls == 0, label + ": callbacks run on the calling thread",
          std::to_string(callback_log.foreign_thread_calls) + " calls on another thread");
    check(callback_log.bad_times == 0 && callback_log.unterminated_texts == 0,
          label + ": every message has a week time or -1.0 and a terminated text",
          std::to_string(callback_log.bad_times) + " bad times, " +
              std::to_string(callback_log.unterminated_texts) + " bad texts");
    check_equal(run.options.otherWritten, 0, label + ": otherWritten");

    const auto obx = abi::inspect_obx(abi::read_file(name + ".obx"), name + ".obx");
    if (check(obx.problem.empty(), label + ": OBX file follows the format", obx.problem))
        check_equal(obx.records, run.options.epochsWritten, label + ": OBX epochs = epochsWritten");
    const auto epp = abi::inspect_epp(abi::read_file(name + ".epp"), abi::kTextModeWritesCrlf);
    if (check(epp.problem.empty(),
              label + (abi::kTextModeWritesCrlf ? ": ephemeris file follows the format, CRLF lines"
                                                : ": ephemeris file follows the format, LF lines"),
              epp.problem))
        check_equal(epp.records, run.options.ephemeridesWritten,
                    label + ": GpsEph blocks = ephemeridesWritten");
}

// ---------------------------------------------------------------------------------------
// The checks.

bool resolve_exports(const abi::Library& library, abi::Exports& exports) {
    bool all = true;
    for (int i = 0; i < abi::kExportCount; ++i) {
        const abi::ExportInfo& e = abi::kExportTable[i];
        void* by_name = library.by_name(abi::platform_name(e));
        all &= check(by_name != nullptr, std::string("export ") + abi::platform_name(e) + " found by name");
        if (abi::kHasOrdinals) {
            void* by_ordinal = library.by_ordinal(e.ordinal);
            all &= check(by_ordinal != nullptr && by_ordinal == by_name,
                         std::string("export ") + e.decorated + " is ordinal " + std::to_string(e.ordinal));
            // The undecorated name is no export of its own.
            check(library.by_name(e.name) == nullptr, std::string("no undecorated export ") + e.name);
        }
        abi::assign_export(exports, i, by_name);
    }
    if (abi::kHasOrdinals) {
        check(library.by_ordinal(abi::kExportCount + 1) == nullptr, "no export at ordinal 11");
    }
    return all;
}

// Every export removes exactly its own arguments from the stack (stdcall).
void check_calling_convention(const abi::Exports& k) {
    if (!abi::can_measure_stack()) return;
    OptionRecord record{};
    char text[KESTREL_ERROR_TEXT_SIZE] = {};
    OptionBlock bad_block{};  // blockSize 0: refused before anything else is looked at
    CallbackBlock callbacks{};
    uint8_t threadbuf[64] = {};
    threadbuf[12] = 16;  // an empty ThreadBuf: usedBytes 16
    uint8_t destination[256] = {};
    const uint32_t size = static_cast<uint32_t>(k.GetThreadBufSize());
    const char* missing = "no-such-file.log";

    struct Call {
        const void* function;
        std::vector<uint32_t> arguments;
        int index;
    };
    using abi::pointer_argument;
    const Call calls[] = {
        {reinterpret_cast<const void*>(k.SetFactoryDefaults), {16, pointer_argument(&record)}, 0},
        {reinterpret_cast<const void*>(k.AutoDetect), {pointer_argument(missing)}, 1},
        {reinterpret_cast<const void*>(k.GetErrString), {pointer_argument(text)}, 3},
        {reinterpret_cast<const void*>(k.ConvertFile),
         {pointer_argument(&bad_block), pointer_argument(&callbacks), 0}, 4},
        {reinterpret_cast<const void*>(k.GetThreadBufRecCount), {pointer_argument(threadbuf), 1}, 5},
        {reinterpret_cast<const void*>(k.GetThreadBufRecSize), {pointer_argument(threadbuf), 1}, 6},
        {reinterpret_cast<const void*>(k.ReadThreadBufData),
         {pointer_argument(threadbuf), 1, 1, pointer_argument(destination)}, 7},
        {reinterpret_cast<const void*>(k.GetThreadBufSize), {}, 8},
        {reinterpret_cast<const void*>(k.SetThreadBufSize), {size}, 9},
        // Last: the abort it asks for is forgotten by the next conversion.
        {reinterpret_cast<const void*>(k.Abort), {}, 2},
    };
    for (const Call& c : calls) {
        const abi::ExportInfo& e = abi::kExportTable[c.index];
        int32_t result = 0, popped = -1;
        abi::call_measuring_stack(c.function, c.arguments.data(), static_cast<int>(c.arguments.size()),
                                  &result, &popped);
        check_equal(popped, e.argument_bytes, std::string(e.decorated) + " removes its arguments (stdcall)");
    }
}

void check_factory_defaults(const abi::Exports& k) {
    // The record sits between guard bytes, so a write beyond its 16 bytes shows.
    struct Guarded {
        uint8_t before[8];
        OptionRecord record;
        uint8_t after[8];
    };
    Guarded g;
    std::memset(&g, 0xFF, sizeof g);
    k.SetFactoryDefaults(16, &g.record);
    check(g.record.flagEpochs == 0 && g.record.reportL2Slips == 1 && g.record.clockCorrection == 1 &&
              g.record.verboseDecoder == 0,
          "SetFactoryDefaults(16) writes 0, 1, 1, 0",
          std::to_string(g.record.flagEpochs) + " " + std::to_string(g.record.reportL2Slips) + " " +
              std::to_string(g.record.clockCorrection) + " " + std::to_string(g.record.verboseDecoder));
    check(all_bytes(g.before, sizeof g.before, 0xFF) && all_bytes(g.after, sizeof g.after, 0xFF),
          "SetFactoryDefaults(16) writes nothing beside the record");

    for (int32_t size : {15, 17, 0, -16, 32}) {
        std::memset(&g, 0xFF, sizeof g);
        k.SetFactoryDefaults(size, &g.record);
        check(all_bytes(reinterpret_cast<const uint8_t*>(&g), sizeof g, 0xFF),
              "SetFactoryDefaults(" + std::to_string(size) + ") leaves the record unchanged");
    }
}

void check_error_string_bounds(const abi::Exports& k) {
    char text[KESTREL_ERROR_TEXT_SIZE + 64];
    std::memset(text, 0x7E, sizeof text);
    k.GetErrString(text);
    check(strnlen(text, KESTREL_ERROR_TEXT_SIZE) < KESTREL_ERROR_TEXT_SIZE &&
              all_bytes(reinterpret_cast<const uint8_t*>(text) + KESTREL_ERROR_TEXT_SIZE, 64, 0x7E),
          "GetErrString writes a terminated text within 512 bytes");
}

void check_version_mismatch(const abi::Exports& k, const std::string& log) {
    struct Case {
        const char* label;
        int32_t option_block_size;
        int32_t callback_block_size;
        int32_t option_size;
        const char* text;
    };
    const Case cases[] = {
        {"option block size 2671", 2671, KESTREL_CALLBACK_BLOCK_SIZE, 16, kVersionText},
        {"callback block size 271", KESTREL_OPTION_BLOCK_SIZE, 271, 16, kVersionText},
        {"both block sizes and option size wrong", 2673, 273, 15, kVersionText},
        {"option size 15", KESTREL_OPTION_BLOCK_SIZE, KESTREL_CALLBACK_BLOCK_SIZE, 15, kOptionsText},
        {"option size 0", KESTREL_OPTION_BLOCK_SIZE, KESTREL_CALLBACK_BLOCK_SIZE, 0, kOptionsText},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string name = "version-" + std::to_string(++n);
        callback_log.reset();
        Run run = convert(k, log, name, [&](OptionBlock& o, CallbackBlock& cb) {
            o.blockSize = c.option_block_size;
            cb.blockSize = c.callback_block_size;
            o.optionSize = c.option_size;
        });
        const std::string label = std::string("ConvertFile with ") + c.label;
        check_equal(run.result, 1, label + ": result");
        check_equal(run.error_text, std::string(c.text), label + ": error text");
        check(counters_kept(run) && run.host_areas_intact, label + ": host's fields untouched");
        check(callback_log.messages == 0 && callback_log.progress.empty() && !any_output(name),
              label + ": no callback, no output file");
    }
}

void check_missing_input(const abi::Exports& k) {
    const std::string input = (fs::current_path() / "no-such-input.log").string();
    callback_log.reset();
    Run run = convert(k, input, "missing-input");
    check_equal(run.result, 1, "ConvertFile of a missing input: result");
    check_equal(run.error_text, kUnableToOpen + input, "ConvertFile of a missing input: error text");
    check(counters_kept(run) && !any_output("missing-input") && callback_log.progress.empty(),
          "ConvertFile of a missing input: counters kept, no output file, no progress");
}

// Converts one sample log; returns its epochsWritten (or -1).
int32_t check_sample_conversion(const abi::Exports& k, const std::string& log, const std::string& name) {
    const std::string label = "convert " + name;
    const auto length = static_cast<int32_t>(fs::file_size(log));
    const std::string text_before = error_string(k);
    callback_log.reset();
    Run run = convert(k, log, name);
    if (!check_equal(run.result, 0, label + ": result")) {
        std::printf("     error text: %s\n", run.error_text.c_str());
    }
    check_finished_run(run, label, name, expected_progress(length, chunks_to_end(length)));
    check(run.options.otherWritten == 0 && run.options.epochsWritten > 0, label + ": wrote epochs",
          std::to_string(run.options.epochsWritten));
    check(run.error_text == text_before || callback_log.texts.count(run.error_text) == 1,
          label + ": GetErrString holds the earlier text or a message of the conversion",
          "\"" + run.error_text + "\"");
    std::printf("     %s: %d bytes, %d epochs, %d ephemerides, %d messages, %d progress calls\n",
                name.c_str(), length, run.options.epochsWritten, run.options.ephemeridesWritten,
                callback_log.messages, static_cast<int>(callback_log.progress.size()));
    return run.result == 0 ? run.options.epochsWritten : -1;
}

// Abort twice before a conversion: forgotten once the conversion starts.
void check_abort_before(const abi::Exports& k, const std::string& log, int32_t epochs_expected) {
    const std::string label = "Abort twice before a conversion";
    const auto length = static_cast<int32_t>(fs::file_size(log));
    k.Abort();
    k.Abort();
    callback_log.reset();
    Run run = convert(k, log, "abort-before");
    check_equal(run.result, 0, label + ": result");
    check_finished_run(run, label, "abort-before", expected_progress(length, chunks_to_end(length)));
    if (epochs_expected >= 0)
        check_equal(run.options.epochsWritten, epochs_expected, label + ": epochs as without Abort");
}

// A conversion entered on a stack aligned to 4 bytes only gives what an aligned one gave.
void check_misaligned_stack(const abi::Exports& k, const std::string& log, int32_t epochs_expected) {
    const std::string label = abi::can_measure_stack() ? "ConvertFile on a stack aligned to 4 bytes"
                                                        : "ConvertFile again";
    const auto length = static_cast<int32_t>(fs::file_size(log));
    callback_log.reset();
    Run run = convert(k, log, "misaligned-stack", {}, true);
    check_equal(run.result, 0, label + ": result");
    check_finished_run(run, label, "misaligned-stack", expected_progress(length, chunks_to_end(length)));
    if (epochs_expected >= 0)
        check_equal(run.options.epochsWritten, epochs_expected, label + ": epochs as on an aligned stack");
}

// A long log (a sample log repeated), aborted from a second thread while it converts.
void check_abort_from_thread(const abi::Exports& k, const std::string& log) {
    const std::string label = "Abort from a second thread";
    const auto sample = abi::read_file(log);
    std::vector<uint8_t> long_log;
    while (!sample.empty() && long_log.size() < static_cast<std::size_t>(kLongLogChunks * kChunkBytes))
        long_log.insert(long_log.end(), sample.begin(), sample.end());
    const std::string long_path = (fs::current_path() / "long-input.log").string();
    if (!check(abi::write_file(long_path, long_log), label + ": long log written")) return;
    const auto length = static_cast<int32_t>(long_log.size());

    callback_log.reset();
    callback_log.abort_at = kAbortAtProgressCall;
    std::thread aborter([&] {
        std::unique_lock<std::mutex> lock(callback_log.mutex);
        if (!callback_log.changed.wait_for(lock, kHandshakeTimeout, [] { return callback_log.abort_wanted; }))
            return;
        lock.unlock();
        k.Abort();
        lock.lock();
        callback_log.abort_issued = true;
        callback_log.changed.notify_all();
    });
    Run run = convert(k, long_path, "long-aborted");
    {
        // Release the abort thread if the conversion never reached the handshake.
        std::lock_guard<std::mutex> lock(callback_log.mutex);
        callback_log.abort_wanted = true;
        callback_log.changed.notify_all();
    }
    aborter.join();

    check(callback_log.abort_landed, label + ": Abort called while the conversion ran");
    check_equal(run.result, 1, label + ": result");
    check_equal(run.error_text, std::string(kUserQuitText), label + ": error text");
    check_finished_run(run, label, "long-aborted", expected_progress(length, kAbortAtProgressCall));
    std::printf("     long-aborted: %d bytes, stopped after %d chunks, %d epochs, %d ephemerides\n",
                length, kAbortAtProgressCall, run.options.epochsWritten, run.options.ephemeridesWritten);
}

// One MEASUREMENT frame with one satellite block (31 bytes) and a good checksum.
std::vector<uint8_t> one_item_measurement_frame(uint8_t seed) {
    constexpr std::size_t kFrameBytes = 31;
    std::vector<uint8_t> f(kFrameBytes, 0);
    f[0] = 0x02;
    f[1] = 0x99;
    f[2] = 0x66;
    f[3] = 0xB0;
    f[4] = static_cast<uint8_t>(kFrameBytes - 3);  // L
    f[5] = 0;
    for (std::size_t i = 6; i < kFrameBytes - 1; ++i) f[i] = static_cast<uint8_t>(seed + i * 7);
    f[13] = 1;  // item count
    uint8_t x = 0;
    for (std::size_t i = 3; i < kFrameBytes - 1; ++i) x ^= f[i];
    f[kFrameBytes - 1] = x;
    return f;
}

void check_autodetect(const abi::Exports& k, const std::vector<std::string>& logs) {
    for (const std::string& log : logs)
        check_equal(k.AutoDetect(log.c_str()), 1, "AutoDetect " + fs::path(log).filename().string());

    auto frames = [](int count, std::size_t pad_to, bool break_last_checksum = false) {
        std::vector<uint8_t> bytes;
        for (int i = 0; i < count; ++i) {
            auto f = one_item_measurement_frame(static_cast<uint8_t>(i * 13));
            if (break_last_checksum && i == count - 1) f.back() ^= 0x01;
            bytes.insert(bytes.end(), f.begin(), f.end());
        }
        if (bytes.size() < pad_to) bytes.resize(pad_to, 0);
        return bytes;
    };
    struct Case {
        const char* label;
        std::vector<uint8_t> bytes;
        int32_t want;
    };
    const Case cases[] = {
        {"four frames and 1024 more bytes", frames(4, 4 * 31 + 1024), 1},
        {"three frames and 1024 more bytes", frames(3, 3 * 31 + 1024), 0},
        {"four frames, the last with a bad checksum", frames(4, 4 * 31 + 1024, true), 0},
        {"four frames in a 1000-byte file", frames(4, 1000), 0},
        {"an empty file", {}, 0},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string path = (fs::current_path() / ("detect-" + std::to_string(++n) + ".bin")).string();
        abi::write_file(path, c.bytes);
        check_equal(k.AutoDetect(path.c_str()), c.want, std::string("AutoDetect ") + c.label);
    }
    check_equal(k.AutoDetect((fs::current_path() / "no-such-file.log").string().c_str()), 0,
                "AutoDetect of a missing file");
}

// A ThreadBuf laid out by hand: a type-2 entry of three records, a type-1 entry, and a
// second type-2 entry that readers never reach.
void check_threadbuf(const abi::Exports& k) {
    constexpr std::size_t kBytes = 1024;
    std::vector<uint8_t> buf(kBytes, 0);
    auto put32 = [&](std::size_t at, int32_t v) { std::memcpy(buf.data() + at, &v, 4); };
    std::size_t at = 16;
    std::vector<std::size_t> data_at;
    auto entry = [&](int32_t type, int32_t count, int32_t size, bool has_next, uint8_t fill) {
        put32(at, 1);
        put32(at + 4, type);
        put32(at + 8, count);
        put32(at + 12, size);
        put32(at + 16, has_next ? 1 : 0);
        data_at.push_back(at + 20);
        for (int32_t i = 0; i < size; ++i) buf[at + 20 + i] = static_cast<uint8_t>(fill + i);
        at += 20 + size;
    };
    entry(2, 3, 132, true, 0x10);
    entry(1, 1, 68, true, 0x80);
    entry(2, 1, 44, false, 0xC0);
    put32(0, 3);              // entryCount
    put32(4, (1 << 1) | 1);   // typeMask: types 1 and 2
    put32(8, 1);              // hasEntries
    put32(12, static_cast<int32_t>(at));
    const std::vector<uint8_t> pristine = buf;

    check_equal(k.GetThreadBufRecCount(buf.data(), 2), 3, "GetThreadBufRecCount type 2");
    check_equal(k.GetThreadBufRecSize(buf.data(), 2), 132, "GetThreadBufRecSize type 2");
    check_equal(k.GetThreadBufRecCount(buf.data(), 1), 1, "GetThreadBufRecCount type 1");
    check_equal(k.GetThreadBufRecSize(buf.data(), 1), 68, "GetThreadBufRecSize type 1");

    std::vector<uint8_t> dest(256, 0xEE);
    check(k.ReadThreadBufData(buf.data(), 2, 2, dest.data()) == 0 && all_bytes(dest.data(), dest.size(), 0xEE),
          "ReadThreadBufData type 2 into 2 records gives 0 and copies nothing");
    for (int32_t capacity : {3, 24}) {
        std::fill(dest.begin(), dest.end(), 0xEE);
        const int32_t got = k.ReadThreadBufData(buf.data(), 2, capacity, dest.data());
        check(got == 3 && std::memcmp(dest.data(), buf.data() + data_at[0], 132) == 0 &&
                  all_bytes(dest.data() + 132, dest.size() - 132, 0xEE),
              "ReadThreadBufData type 2 into " + std::to_string(capacity) +
                  " records copies the first entry's 132 bytes",
              "returned " + std::to_string(got));
    }
    std::fill(dest.begin(), dest.end(), 0xEE);
    check(k.ReadThreadBufData(buf.data(), 1, 1, dest.data()) == 1 &&
              std::memcmp(dest.data(), buf.data() + data_at[1], 68) == 0,
          "ReadThreadBufData type 1 copies the type-1 entry");

    for (int32_t type : {0, 3, 4, 18, 19, -1}) {
        check(k.GetThreadBufRecCount(buf.data(), type) == 0 && k.GetThreadBufRecSize(buf.data(), type) == 0 &&
                  k.ReadThreadBufData(buf.data(), type, 24, dest.data()) == 0,
              "ThreadBuf readers give 0 for absent or invalid type " + std::to_string(type));
    }
    check(buf == pristine, "ThreadBuf readers leave the buffer unchanged");

    // The type mask is consulted first: an entry whose bit is clear is not seen, and a
    // set bit without an entry finds nothing.
    std::vector<uint8_t> masked = pristine;
    const uint32_t only_type1_and_4 = 1u | (1u << 3);
    std::memcpy(masked.data() + 4, &only_type1_and_4, 4);
    check(k.GetThreadBufRecCount(masked.data(), 2) == 0 && k.GetThreadBufRecCount(masked.data(), 4) == 0 &&
              k.GetThreadBufRecCount(masked.data(), 1) == 1,
          "ThreadBuf readers follow the type mask");
    std::vector<uint8_t> empty = pristine;
    std::memset(empty.data() + 8, 0, 4);  // hasEntries 0
    check_equal(k.GetThreadBufRecCount(empty.data(), 2), 0, "ThreadBuf readers see nothing when hasEntries is 0");
}

void check_threadbuf_size(const abi::Exports& k) {
    check_equal(k.GetThreadBufSize(), kDefaultThreadBufSize, "GetThreadBufSize at load");
    k.SetThreadBufSize(100);
    check_equal(k.GetThreadBufSize(), 100, "GetThreadBufSize after SetThreadBufSize(100)");
    k.SetThreadBufSize(kDefaultThreadBufSize);
    check_equal(k.GetThreadBufSize(), kDefaultThreadBufSize, "GetThreadBufSize restored");
}

int finish() {
    std::printf("%d passed, %d failed\n", tally.passed, tally.failed);
    std::fflush(stdout);
    return tally.failed == 0 ? 0 : 1;
}

}  // namespace

// Compares the output files two hosts wrote to two folders (see abi::compare_obx).
int compare_folders(const fs::path& windows, const fs::path& native) {
    auto outputs = [](const fs::path& folder) {
        std::set<std::string> names;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(folder, ec)) {
            const std::string ext = entry.path().extension().string();
            if (ext == ".obx" || ext == ".epp") names.insert(entry.path().filename().string());
        }
        return names;
    };
    const auto names = outputs(windows);
    check(!names.empty() && names == outputs(native),
          "both hosts wrote the same " + std::to_string(names.size()) + " output files");
    for (const std::string& name : names) {
        if (!fs::exists(native / name)) continue;
        const auto w = abi::read_file((windows / name).string());
        const auto n = abi::read_file((native / name).string());
        if (fs::path(name).extension() == ".obx") {
            const std::string problem = abi::compare_obx(w, n);
            check(problem.empty(), name + ": Windows and native OBX files agree to the bit", problem);
        } else {
            const std::string problem = abi::compare_epp(w, n);
            check(problem.empty(), name + ": Windows and native ephemeris files agree apart from CR LF",
                  problem);
        }
    }
    return finish();
}

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--compare") return compare_folders(argv[2], argv[3]);
    if (argc < 4) {
        std::fprintf(stderr,
                     "usage: kestrel-abi-test LIBRARY OUTPUT_FOLDER LOG...\n"
                     "       kestrel-abi-test --compare WINDOWS_OUTPUT_FOLDER NATIVE_OUTPUT_FOLDER\n");
        return 2;
    }
    const std::string library_path = fs::absolute(argv[1]).string();
    const fs::path out = fs::absolute(argv[2]);
    std::vector<std::string> logs;
    for (int i = 3; i < argc; ++i) logs.push_back(fs::absolute(argv[i]).string());

    std::error_code ec;
    fs::create_directories(out, ec);
    // Outputs are named relative to the output folder, so the names stored in the OBX
    // headers are the same on every platform.
    if (!check(abi::change_directory(out.string()), "output folder " + out.string() + " usable")) return finish();

    abi::Library library;
    std::string reason;
    if (!check(library.open(library_path, reason), "library " + library_path + " loads", reason)) return finish();
    abi::Exports k;
    if (!resolve_exports(library, k)) return finish();

    check_threadbuf_size(k);  // first: the capacity as loaded
    check_calling_convention(k);
    check_factory_defaults(k);
    check_error_string_bounds(k);
    check_threadbuf(k);
    check_version_mismatch(k, logs.front());
    check_missing_input(k);

    int32_t first_epochs = -1;
    std::set<std::string> names;
    for (const std::string& log : logs) {
        std::string name = fs::path(log).stem().string();
        while (!names.insert(name).second) name += "-again";
        const int32_t epochs = check_sample_conversion(k, log, name);
        if (log == logs.front()) first_epochs = epochs;
    }
    check_abort_before(k, logs.front(), first_epochs);
    check_misaligned_stack(k, logs.front(), first_epochs);
    check_abort_from_thread(k, logs.back());
    check_autodetect(k, logs);
    return finish();
}
