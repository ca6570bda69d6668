// SPDX-License-Identifier: BSD-2-Clause
// `kestrel rtcm`: NavCom logs to RTCM 3 files, as a reference station would send them: the
// observations (1004, MSM4, MSM7), the broadcast ephemerides (1019), the station's position
// (1005, 1006) and its antenna and receiver (1033), each message on its schedule in the data's
// own time. One decoding session per log, the epochs thinned by nothing but repeats.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include "args.h"
#include "batch.h"
#include "commands.h"
#include "help.h"
#include "common/error_text.h"
#include "files/output_file.h"
#include "outputs.h"
#include "pipeline/epoch_selector.h"
#include "pipeline/log_input.h"
#include "pipeline/session.h"
#include "rtcm/bits.h"
#include "rtcm/station_stream.h"
#include "rtcm_station.h"
#include "session.h"

namespace kestrel::cli {
namespace {

constexpr const char* kExtension = ".rtcm3";
constexpr const char* kStandardOutput = "-";  // -o - : the frames on standard output
constexpr int kLastWeek = 9999;  // the GPS weeks --week takes, counted without rollover

struct RtcmArgs {
    std::vector<std::string> inputs;
    BatchArgs batch;
    std::string output;
    StationOptions station;
    int week = 0;
    bool quiet = false;
};

// The epochs and ephemerides of a session into the station's stream, and the stream's frames
// into the file. While the position is being gathered from the solutions the frames wait in
// memory (ten minutes of data at most), so that the file starts with the position messages.
// Where the frames go: the output file under its temporary name, or standard output (for a
// program reading the stream as it comes, which the file's renaming would keep waiting).
class FrameOutput {
public:
    // Standard output when `path` is "-", otherwise the file's temporary; false (error() set)
    // when it cannot be made.
    bool Create(const std::string& path, files::Existing existing) {
        if (path != kStandardOutput) return file_.Create(path, existing);
        standardOutput_ = true;
        // A closed standard output would be the number of the next file opened.
        if (fcntl(STDOUT_FILENO, F_GETFD) == -1) return Failed(EBADF);
        return true;
    }
    bool Write(const void* data, std::size_t size) {
        if (!standardOutput_) return file_.Write(data, size);
        if (!error_.empty()) return false;
        return std::fwrite(data, 1, size, stdout) == size || Failed(errno);
    }
    bool Commit() {
        if (!standardOutput_) return file_.Commit();
        return error_.empty() && (std::fflush(stdout) == 0 || Failed(errno));
    }
    bool standardOutput() const { return standardOutput_; }
    bool replacing() const { return !standardOutput_ && file_.replacing(); }
    const std::string& error() const { return standardOutput_ ? error_ : file_.error(); }
    std::string reason() const { return standardOutput_ ? std::string() : file_.reason(); }

private:
    bool Failed(int error) {
        error_ = "cannot write standard output: " + files::Reason(error != 0 ? error : EIO);
        return false;
    }
    files::OutputFile file_;
    bool standardOutput_ = false;
    std::string error_;
};

class RtcmSink : public ObservationSink {
public:
    RtcmSink(rtcm::StationStream& stream, FrameOutput& file) : stream_(stream), file_(file) {}

    bool OnEpoch(const ObservationEpoch& given) override {
        ObservationEpoch epoch = given;
        if (selector_.Select(epoch) != EpochSelector::Verdict::kKept) {
            ++notLater_;
            return true;
        }
        if (epoch.satCount > 0) ++epochs_;
        stream_.OnEpoch(epoch, waiting_);
        return Write();
    }

    bool OnEphemeris(const DecodedEphemeris& ephemeris) override {
        ++ephemerides_;
        stream_.OnEphemeris(ephemeris, waiting_);
        return Write();
    }

    // The session whose solver stops once the position is known.
    void SetSession(DecodingSession* session) { session_ = session; }

    // The log has ended: what still waits is written.
    bool Finish() {
        stream_.Finish();
        return Write();
    }

    int64_t epochs() const { return epochs_; }
    int64_t ephemerides() const { return ephemerides_; }
    int64_t notLater() const { return notLater_; }
    // The frames written, by message number: the stream's, and the position sent first.
    std::map<int, int64_t> framesByMessage() const {
        std::map<int, int64_t> frames = stream_.framesByMessage();
        for (const auto& [number, count] : headFrames_) frames[number] += count;
        return frames;
    }

private:
    void CountFrames(const std::vector<uint8_t>& bytes) {
        for (std::size_t at = 0; at < bytes.size();) {
            const std::size_t frame = rtcm::CompleteFrameBytes(bytes.data() + at, bytes.size() - at);
            if (frame == 0) break;
            rtcm::BitReader payload(bytes.data() + at + rtcm::kHeaderBytes, frame - rtcm::kFrameOverheadBytes);
            ++headFrames_[static_cast<int>(payload.Unsigned(12))];
            at += frame;
        }
    }

    bool Write() {
        if (stream_.positionPending()) return true;
        if (!started_) {
            started_ = true;
            // The solutions served the position only.
            if (session_ != nullptr) session_->SetClockCorrection(false);
            // Frames waited for the position: it goes first.
            if (stream_.positionFromSolutions()) {
                std::vector<uint8_t> head;
                stream_.AppendPositionFrames(head);
                CountFrames(head);
                if (!file_.Write(head.data(), head.size())) return false;
            }
        }
        if (waiting_.empty()) return true;
        const bool written = file_.Write(waiting_.data(), waiting_.size());
        waiting_.clear();
        return written;
    }

    rtcm::StationStream& stream_;
    FrameOutput& file_;
    DecodingSession* session_ = nullptr;
    EpochSelector selector_;
    std::vector<uint8_t> waiting_;
    std::map<int, int64_t> headFrames_;
    bool started_ = false;
    int64_t epochs_ = 0;
    int64_t ephemerides_ = 0;
    int64_t notLater_ = 0;
};

std::string FramesText(const std::map<int, int64_t>& frames) {
    std::string text;
    for (const auto& [number, count] : frames) {
        text += (text.empty() ? "" : ", ") + std::to_string(count) + " x " + std::to_string(number);
    }
    return text.empty() ? "no frames" : text;
}

// Where the position messages' position came from, for the run's messages.
void ReportPosition(const rtcm::StationStream& stream, bool positionChosen, std::FILE* notes) {
    if (!positionChosen || !stream.positionFromSolutions()) return;
    if (const auto& p = stream.position()) {
        std::fprintf(notes, "1005/1006 carry the median of %zu single-point solutions of the first ten minutes: "
                    "%.4f, %.4f, %.4f m (give --position for the surveyed one)\n",
                    stream.positionSamples(), (*p)[0], (*p)[1], (*p)[2]);
    } else {
        std::fprintf(stderr, "kestrel: no single-point solution in the first ten minutes: no 1005/1006 written; "
                             "give the position with --position\n");
    }
}

struct Station : StationChoice {
    std::optional<int> week;  // of the first epoch, for logs whose frames carry none
};

LogReport ConvertOne(const std::string& input, const std::string& output, const Station& station, const RtcmArgs& a) {
    LogReport report;
    const auto fail = [&](const std::string& text, int status) {
        PrintError(text);
        report.error = text;
        report.status = status;
        return report;
    };
    const bool toStandardOutput = output == kStandardOutput;
    const std::string refusal = toStandardOutput ? std::string() : OverwritesInput(output);
    if (!refusal.empty()) return fail(refusal, kExitUsage);
    // The log is opened once, for good: a probe that opened and closed a FIFO would cut a
    // receiver's stream and lose what it had written.
    const LogInput log(input);
    if (log.file() == nullptr) {
        return fail("Error: Unable to open " + input + ": " + files::Reason(log.openError()), kExitFailure);
    }
    // The temporary is made before any decoding: a folder that takes no file fails at once.
    FrameOutput file;
    if (!file.Create(output, a.batch.noClobber ? files::Existing::kRefuse : files::Existing::kReplace)) {
        return fail(file.error() + (a.batch.noClobber && file.reason() == files::Reason(EEXIST) ? " (--no-clobber)" : ""),
                    kExitFailure);
    }
    rtcm::StationStream stream(station.messages, station.description, station.doppler);
    RtcmSink sink(stream, file);
    SessionOptions options;
    options.week = station.week;
    // The observations are the receiver's own; the single-point solutions serve only the
    // station's position, which needs none when it is given.
    options.decoder.clockCorrection = station.description.positionM ? 0 : 1;
    // Standard output carries the frames: everything else goes to standard error.
    std::FILE* const notes = toStandardOutput ? stderr : stdout;
    SetMessageStream(toStandardOutput ? stderr : nullptr);
    CallbackBlock callbacks = DisplayCallbacks();
    StartDisplay(a.quiet);
    const auto started = std::chrono::steady_clock::now();
    RunEnd end = RunEnd::kComplete;
    bool interrupted = false;
    {
        InterruptGuard guard;
        DecodingSession session(options, callbacks, nullptr, &sink);
        if (session.IsOpen()) {
            sink.SetSession(&session);
            end = session.ReadLog(log.file(), log.name());
            if (end == RunEnd::kComplete || end == RunEnd::kAborted) {
                if (!sink.Finish()) end = RunEnd::kSinkFailed;
            }
        } else {
            end = RunEnd::kRefused;
        }
        interrupted = InterruptGuard::Interrupted();
    }
    EndDisplay();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    report.epochs = sink.epochs();
    report.ephemerides = sink.ephemerides();

    const bool complete = end == RunEnd::kComplete || end == RunEnd::kAborted;
    // SIGTERM and SIGHUP keep nothing; Ctrl-C keeps what was written, whole frames.
    if (interrupted && files::Ending()) return fail(EndedBy(files::StopSignal()), StoppedStatus(files::StopSignal()));
    if (end == RunEnd::kSinkFailed && !file.error().empty()) return fail(file.error(), kExitFailure);
    if (complete && sink.epochs() == 0 && sink.ephemerides() == 0 && end == RunEnd::kComplete) {
        return fail(NothingDecoded(input), kExitFailure);
    }
    if (!complete) return fail(error_text(), kExitFailure);
    if (!file.Commit()) return fail(file.error(), kExitFailure);
    if (file.replacing()) AnnounceReplaced(output);
    if (!toStandardOutput) report.outputs = {output};
    ReportNonAdvancing(sink.notLater(), "dropped");
    ReportPosition(stream, station.positionChosen, notes);
    char summary[512];
    std::snprintf(summary, sizeof summary, "%lld epochs, %lld ephemerides: %s written to %s in %.2f s",
                  static_cast<long long>(sink.epochs()), static_cast<long long>(sink.ephemerides()),
                  FramesText(sink.framesByMessage()).c_str(), toStandardOutput ? "standard output" : output.c_str(),
                  seconds);
    report.summary = summary;
    if (end == RunEnd::kAborted) {
        // Dated before its log, so that --skip-existing converts it again.
        if (input != "-" && !toStandardOutput) files::DateBefore(output, input);
        std::fflush(notes);
        report.error = error_text();
        PrintError(report.error);
        std::fprintf(stderr, "kestrel: stopped after %s\n", summary);
        report.status = interrupted ? StoppedStatus(files::StopSignal()) : kExitFailure;
        return report;
    }
    std::fprintf(notes, "%s\n", summary);
    return report;
}

// The station as the arguments describe it; false (the reason printed) when they do not.
bool StationFromArgs(CLI::App& sub, const RtcmArgs& a, Station& s) {
    if (!StationFromOptions(a.station, "rtcm", s)) return false;
    if (sub.count("--week") != 0) s.week = a.week;
    if (!a.output.empty() && a.inputs.size() > 1) {
        PrintUsageError("rtcm", "-o names the file of one LOG; with several, give a folder with -d");
        return false;
    }
    const std::string folder = NamesFolder("--output", a.output);
    if (!folder.empty()) {
        PrintUsageError("rtcm", folder);
        return false;
    }
    return true;
}

std::string OutputOf(const std::string& input, const RtcmArgs& a) {
    if (!a.output.empty()) return a.output;
    const std::string name = LogStem(input) + kExtension;
    if (a.batch.directory.empty()) return name;
    return a.batch.directory.back() == '/' ? a.batch.directory + name : a.batch.directory + "/" + name;
}

int RunRtcm(CLI::App& sub, const RtcmArgs& a) {
    Station station;
    if (!StationFromArgs(sub, a, station) || !StandardInputAtMostOnce(a.inputs, "rtcm")) return kExitUsage;
    if (!MakeOutputFolder(a.batch.directory)) return kExitFailure;
    int refused = 0;
    int duplicates = 0;
    const std::vector<std::string> inputs = DistinctInputs(CollectInputs(a.inputs, a.batch.recursive, refused), duplicates);
    refused += duplicates;
    if (inputs.empty()) return CommandStatus(kExitOk, refused);
    std::map<std::string, std::string> writers;
    std::vector<std::string> accepted;
    bool badArguments = false;
    for (const std::string& input : inputs) {
        const std::string output = OutputOf(input, a);
        const std::vector<std::string> files = output == kStandardOutput ? std::vector<std::string>{} : std::vector{output};
        const Admission admitted =
            Admit(writers, input, files, a.batch.logFiles ? MessagesFileOf(input, a.batch.directory) : "");
        if (admitted == Admission::kBadArgument) badArguments = true;
        if (admitted == Admission::kRefused) ++refused;
        if (admitted != Admission::kAdmitted) continue;
        if (a.batch.skipExisting && input != "-" && !files.empty() && files::NewerThan(output, input)) {
            std::printf("%s: skipped: %s is up to date\n", input.c_str(), output.c_str());
            continue;
        }
        if (a.batch.noClobber && !files.empty() && files::IdOf(output)) {
            PrintError("cannot write " + output + ": " + files::Reason(EEXIST) + " (--no-clobber); " + input +
                       " not converted");
            ++refused;
            continue;
        }
        accepted.push_back(input);
    }
    const int status = RunBatch(accepted, MakeBatchOptions(a.batch, a.quiet),
                                [&](const std::string& input) { return ConvertOne(input, OutputOf(input, a), station, a); });
    return CommandStatus(status, refused, badArguments);
}

}  // namespace

Runner AddRtcmCommand(CLI::App& app) {
    static RtcmArgs a;
    CLI::App* sub = app.add_subcommand(
        "rtcm",
        "Converts NavCom logs into RTCM 3 files, as a reference station sends them: observations, "
        "ephemerides, the station's position and its antenna and receiver, each on its schedule in the "
        "data's own time. Default name: the log's name with .rtcm3.");
    sub->add_option("LOG", a.inputs, "NavCom logs (folders with -r); - reads standard input")->required();
    sub->add_option("-o,--output", a.output,
                    "RTCM 3 file name (one LOG); - writes the frames on standard output, and the messages go to "
                    "standard error")
        ->type_name("OUT");
    AddStationOptions(*sub, a.station);
    sub->add_option("--week", a.week, "GPS week of the first epoch, when the log's frames carry none")
        ->type_name("N")
        ->check(WholeNumberValidator(0, kLastWeek));
    sub->add_flag("-q,--quiet", a.quiet, "no progress display");
    AddBatchOptions(*sub, a.batch);
    return [sub] { return RunRtcm(*sub, a); };
}

}  // namespace kestrel::cli
