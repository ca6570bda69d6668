// SPDX-License-Identifier: BSD-2-Clause
// `kestrel stream`: a live NavCom receiver (a serial device, a TCP link, standard input or a
// log replayed at its own pace) into raw and RINEX files cut into periods of the data's own GPS
// time. One decoding session takes every byte as it arrives; its observation epochs feed the
// RINEX files of the open period, and the raw bytes go to the period's raw file at every read.
// A period's files keep temporary names until the period is complete (an epoch of a later
// period came, or the stream ended), then take their final names.
//
// The open period's raw file is the source of truth: its temporary name depends only on the
// period, so a command started again after a crash finds it, replays it through the session
// (after the period before it, which sets the decoder's arcs, lock counters, ephemerides and
// clock solution as they were), and goes on live into the same period.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include <CLI/CLI.hpp>
#include <fcntl.h>
#include <unistd.h>

#include "args.h"
#include "commands.h"
#include "help.h"
#include "common/error_text.h"
#include "common/gps_time.h"
#include "files/output_file.h"
#include "live/input_source.h"
#include "live/inputs.h"
#include "live/period_clock.h"
#include "live/raw_periods.h"
#include "live/receiver_commands.h"
#include "live/stream_watch.h"
#include "pipeline/session.h"
#include "qc/qc_run.h"
#include "qc_json.h"
#include "receiver/receiver_records.h"
#include "gzip/gzip_writer.h"
#include "rinex_out/rinex_names.h"
#include "rinex_run/rinex_convert.h"
#include "session.h"
#include "stream_names.h"
#include "stream_rtcm.h"
#include "stream_status.h"

namespace kestrel::cli {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kReadBytes = 4096;
constexpr int kReadWaitMs = 200;          // the loop's clock: signals, status, set-up time-outs
constexpr double kStatusEveryS = 1.0;
constexpr double kSetUpTimeoutS = 3.0;
// The open period's raw file, under a name a later run finds again: the prefix, the final
// name. A file being replayed after a crash is renamed with the second prefix first.
constexpr const char* kReplayPrefix = ".kestrel-stream-replay-";
constexpr const char* kRawExtension = ".log";

struct StreamArgs {
    std::string input;
    std::string rawDir;
    std::string rinexDir;
    std::string period = "1h";
    std::string version = "3.04";
    std::string station;
    std::string status;
    double speed = 1.0;
    bool gzip = false;
    bool qc = false;
    bool configure = false;
    double rateHz = 0.0;
    std::vector<std::string> rtcm;
    StationOptions rtcmStation;
    std::string listen = "127.0.0.1";
    unsigned maxClients = 16;
};

volatile std::sig_atomic_t gStopSignal = 0;

// The first stop signal ends the loop after its read, the open period closed as complete; a
// second ends the program at once.
void OnStopSignal(int signal) {
    if (gStopSignal != 0) files::EndOnSignal(signal);
    gStopSignal = signal;
}

std::string Join(const std::string& directory, const std::string& name) {
    return directory.empty() || directory == "." ? name : (fs::path(directory) / name).string();
}

std::string BaseName(const std::string& path) { return fs::path(path).filename().string(); }

// The station's name parts: a nine-character ID SSSSMRCCC names the files whole and gives
// marker and country; another name is the marker.
struct Station {
    std::string marker = "UNKN";
    std::string country = "XXX";
    std::string stationId;
};

Station StationOf(const std::string& name, const live::InputSource& source) {
    Station s;
    std::string upper = name;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (IsNineCharacterId(upper)) {
        s.stationId = upper;
        s.marker = upper.substr(0, 4);
        s.country = upper.substr(6, 3);
    } else if (!name.empty()) {
        s.marker = name;
    } else if (source.kind == live::InputSource::Kind::kFile) {
        s.marker = MarkerNameFromLog(source.path);
    }
    return s;
}

// The name parts of a period's files: the period's start and length, so that every file of a
// period carries its period's name (15M, 01H, 01D) whatever epochs it holds.
RinexNameParts PeriodParts(const Station& station, const GpsTime& start, int64_t periodS, double intervalS) {
    RinexNameParts parts;
    parts.marker = station.marker;
    parts.country = station.country;
    parts.stationId = station.stationId;
    parts.first = start;
    const double interval = intervalS > 0.0 ? intervalS : 1.0;
    parts.last = GpsTimeFromTotal(start.Total() + static_cast<double>(periodS) - interval);
    parts.intervalS = interval;
    return parts;
}

std::vector<uint8_t> ReadWhole(const std::string& path) {
    std::vector<uint8_t> bytes;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return bytes;
    uint8_t buffer[1 << 16];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) bytes.insert(bytes.end(), buffer, buffer + n);
    std::fclose(f);
    return bytes;
}

// The closed raw file of the period before `finalPath`'s: the latest of the station's raw
// files whose name sorts before it (names carry the period's start, year first).
std::string PreviousPeriodFile(const std::string& finalPath) {
    const fs::path p(finalPath);
    const std::string name = p.filename().string();
    const std::string station = name.substr(0, name.find('_'));
    std::string best;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(p.parent_path().empty() ? fs::path(".") : p.parent_path(), ec)) {
        const std::string other = entry.path().filename().string();
        if (other.rfind(station + "_", 0) != 0 || other.size() != name.size() || other >= name) continue;
        if (entry.path().extension() != kRawExtension) continue;
        if (best.empty() || other > fs::path(best).filename().string()) best = entry.path().string();
    }
    return best;
}

// SSSS00CCC_R_YYYYDDDHHMM_PPU.EXT in `directory`: the RINEX long name up to its period, the
// name of a period's raw and RTCM files.
std::string PeriodFileName(const std::string& directory, const Station& station, const GpsTime& start, int64_t periodS,
                           const char* extension) {
    const std::string rinexName = RinexLongName(PeriodParts(station, start, periodS, 0.0), RinexFileKind::kNavigation);
    return Join(directory, rinexName.substr(0, rinexName.rfind('_')) + extension);
}

// What the command tells of each closed period, once all its outputs are closed.
struct ClosedPeriod {
    GpsTime start;
    std::vector<std::string> files;
    int32_t epochs = 0;
    uint64_t rawBytes = 0;
};

class PeriodReport {
public:
    ClosedPeriod& At(const GpsTime& start) {
        ClosedPeriod& p = pending_[live::GpsMilliseconds(start)];
        p.start = start;
        return p;
    }
    // One line per period closed since the last call.
    void Flush(const std::string& periodName) {
        for (auto& [ms, p] : pending_) {
            const CalendarTime t = CalendarFromGpsTime(p.start);
            char when[64];
            std::snprintf(when, sizeof when, "%04d-%02d-%02d %02d:%02d", t.year, t.month, t.day, t.hour, t.minute);
            std::string line = std::string("period ") + when + " (" + periodName + ") closed: " +
                               std::to_string(p.epochs) + " epochs, " + std::to_string(p.rawBytes) + " raw bytes";
            for (const std::string& f : p.files) line += ", " + f;
            PrintError(line);
            ++closed_;
        }
        pending_.clear();
    }
    uint64_t closed() const { return closed_; }

private:
    std::map<int64_t, ClosedPeriod> pending_;
    uint64_t closed_ = 0;
};

// The raw period files: made through the output-file helper under a temporary name that a
// later run can find (see the file's comment), written by the period writer with write(2) at
// every read, committed when the period closes.
class RawFiles : public live::RawFileMaker {
public:
    RawFiles(std::string directory, Station station, int64_t periodS, PeriodReport& report, StreamStatus& status)
        : directory_(std::move(directory)), station_(std::move(station)), periodS_(periodS), report_(report),
          status_(status) {}

    ~RawFiles() override = default;

    // The final name of the raw file of the period starting at `start`.
    std::string FinalName(const GpsTime& start) const {
        return PeriodFileName(directory_, station_, start, periodS_, kRawExtension);
    }

    int Open(const std::optional<GpsTime>& periodStart) override {
        Entry entry;
        entry.start = periodStart;
        const std::string final = periodStart ? FinalName(*periodStart) : Join(directory_, "head" + std::string(kRawExtension));
        if (!entry.file.CreateAt(final, OpenNameOf(final))) {
            Tell(entry.file.error());
            return -1;
        }
        const int fd = entry.file.descriptor();
        status_.openRaw = entry.file.temporaryPath();
        open_.emplace(fd, std::move(entry));
        return fd;
    }

    void Assign(int fd, const GpsTime& periodStart) override {
        const auto it = open_.find(fd);
        if (it != open_.end()) it->second.start = periodStart;
    }

    void Close(int fd) override {
        const auto it = open_.find(fd);
        if (it == open_.end()) return;
        Entry& e = it->second;
        const off_t size = lseek(fd, 0, SEEK_END);
        if (!e.start) {
            // Bytes before any epoch, and no epoch came: kept beside the periods.
            e.start = GpsTime{};
        }
        std::string final = FinalName(*e.start);
        // A file that missed bytes (a full disk) is kept, but never under the name of a whole period.
        if (e.failed) final += kIncompleteSuffix;
        final = UntakenPath(final);
        if (e.file.Commit(final)) {
            ClosedPeriod& p = report_.At(*e.start);
            p.files.push_back(final);
            p.rawBytes = size > 0 ? static_cast<uint64_t>(size) : 0;
        } else {
            Tell(e.file.error());
            ++status_.writeErrors;
        }
        status_.openRaw.clear();
        open_.erase(it);
    }

    void WriteFailed(int fd, int error) override {
        const auto it = open_.find(fd);
        if (it == open_.end()) return;
        it->second.failed = true;
        ++status_.writeErrors;
        Tell("cannot write " + it->second.file.temporaryPath() + ": " + files::Reason(error) +
             "; the rest of this period's raw bytes are dropped, the next period is written afresh");
    }

private:
    struct Entry {
        files::OutputFile file;
        std::optional<GpsTime> start;
        bool failed = false;
    };

    void Tell(const std::string& text) { PrintError(text); }

    std::string directory_;
    Station station_;
    int64_t periodS_;
    PeriodReport& report_;
    StreamStatus& status_;
    std::map<int, Entry> open_;
};

// The session's epochs into the RINEX files of their periods: a period closes (its files are
// written and named) at the first epoch of a later period, or of an earlier time (a reset).
// The decoder's counts since `before`.
DecodeCounts CountsSince(const DecodeCounts& now, const DecodeCounts& before) {
    DecodeCounts d = now;
    d.parser.checksumFailures -= before.parser.checksumFailures;
    d.parser.lengthFailures -= before.parser.lengthFailures;
    d.parser.resyncs -= before.parser.resyncs;
    d.parser.bufferOverruns -= before.parser.bufferOverruns;
    d.parser.otherRecords -= before.parser.otherRecords;
    d.invalidPrnBlocks -= before.invalidPrnBlocks;
    d.noTimeStepBlocks -= before.noTimeStepBlocks;
    d.weekFaults -= before.weekFaults;
    return d;
}

// NAME.qc.json beside the observation file NAME.rnx, NAME.rnx.gz or NAME (2.11's ssssdddh.yyo).
std::string QcPathBeside(const std::string& obsPath) {
    std::string base = obsPath;
    for (const std::string& tail : {std::string(kGzipExtension), std::string(".rnx")}) {
        if (base.size() > tail.size() && base.compare(base.size() - tail.size(), tail.size(), tail) == 0) {
            base.resize(base.size() - tail.size());
        }
    }
    return base + ".qc.json";
}

class RinexSide : public ObservationSink {
public:
    RinexSide(RinexPeriods* rinex, int64_t periodS, PeriodReport& report, StreamStatus& status)
        : rinex_(rinex), clock_(periodS), report_(report), status_(status) {}

    // Each period with RINEX files also gets the quality check of its epochs, beside them;
    // `session` gives the decoder's counts.
    void CheckPeriods(const DecodingSession* session) { session_ = session; }

    // While muted, epochs set the decoder's state only (the period before a recovered one);
    // ephemerides are kept, as they are in force in the periods to come.
    void Mute(bool muted) { muted_ = muted; }

    bool OnEpoch(const ObservationEpoch& epoch) override {
        if (muted_) return true;
        status_.lastEpoch = epoch.time;
        status_.satellites = epoch.satCount;
        const GpsTime before = clock_.started() ? clock_.periodStart() : GpsTime{};
        const live::PeriodClock::Change change = clock_.Observe(epoch.time);
        if (change == live::PeriodClock::Change::kNext || change == live::PeriodClock::Change::kBackwards) {
            if (!ClosePeriod(before)) return false;
        }
        // A receiver reset: its epochs make new periods' files, earlier though they are.
        if (change == live::PeriodClock::Change::kBackwards && rinex_ != nullptr) rinex_->ForgetLastEpoch();
        ++status_.periodEpochs;
        ++epochs_;
        if (session_ != nullptr) {
            if (!check_) StartCheck();
            check_->sink().OnEpoch(epoch);
        }
        return rinex_ == nullptr || rinex_->sink().OnEpoch(epoch);
    }

    bool OnEphemeris(const DecodedEphemeris& ephemeris) override {
        if (session_ != nullptr) {
            inForce_[ephemeris.record.Prn] = ephemeris;
            if (check_) check_->sink().OnEphemeris(ephemeris);
        }
        return rinex_ == nullptr || rinex_->sink().OnEphemeris(ephemeris);
    }

    bool OnExtraRecord(const uint8_t* frame, int32_t length) override {
        if (muted_) return true;
        if (check_) check_->sink().OnExtraRecord(frame, length);
        return rinex_ == nullptr || rinex_->sink().OnExtraRecord(frame, length);
    }

    // Closes the open period, if any (the stream ended). False when its files could not be written.
    bool Finish() { return !clock_.started() || ClosePeriod(clock_.periodStart()); }

    int64_t periodStartMs() const { return clock_.started() ? clock_.periodStartMs() : -1; }

private:
    bool ClosePeriod(const GpsTime& start) {
        ClosedPeriod& p = report_.At(start);
        p.epochs = epochs_;
        epochs_ = 0;
        status_.periodEpochs = 0;
        std::unique_ptr<QcCheck> check = std::move(check_);
        if (rinex_ == nullptr || !rinex_->HasEpochs()) return true;
        std::vector<std::string> written;
        rinex_->SetPeriodStart(start);
        if (!rinex_->Close(written)) {
            // One message per file; the stream goes on, the next period is written afresh.
            PrintError(error_text());
            ++status_.writeErrors;
            return true;
        }
        p.files.insert(p.files.end(), written.begin(), written.end());
        if (check && !written.empty()) WriteCheck(*check, written.front(), p);
        return true;
    }

    // A period's check starts with every ephemeris in force, as its navigation file does.
    void StartCheck() {
        checkReport_ = QcReport{};
        checkOptions_.plotSamples = false;
        check_ = std::make_unique<QcCheck>(checkOptions_, checkReport_);
        countsAtStart_ = session_->Counts();
        for (const auto& [prn, ephemeris] : inForce_) check_->sink().OnEphemeris(ephemeris);
    }

    // The check's JSON document beside the period's observation file `obsPath`.
    void WriteCheck(QcCheck& check, const std::string& obsPath, ClosedPeriod& p) {
        check.Finish(CountsSince(session_->Counts(), countsAtStart_));
        checkReport_.file = BaseName(obsPath);
        const std::string path = QcPathBeside(obsPath);
        files::OutputFile out;
        const std::string document =
            QcJsonDocument({QcJsonLog(checkReport_)}, std::string("kestrel ") + KESTREL_VERSION);
        if (out.Create(path, files::Existing::kReplace) && out.Write(document) && out.Commit()) {
            p.files.push_back(path);
        } else {
            PrintError(out.error());
            ++status_.writeErrors;
        }
    }

    RinexPeriods* rinex_;
    live::PeriodClock clock_;
    PeriodReport& report_;
    StreamStatus& status_;
    bool muted_ = false;
    int32_t epochs_ = 0;
    // The quality check of the open period.
    const DecodingSession* session_ = nullptr;
    QcOptions checkOptions_;
    QcReport checkReport_;
    std::unique_ptr<QcCheck> check_;
    DecodeCounts countsAtStart_;
    std::map<int32_t, DecodedEphemeris> inForce_;  // the latest of each satellite
};

// The session's one sink: each epoch and ephemeris to the RTCM outputs (first: rovers wait
// for them) and to the RINEX side.
class StationSink : public ObservationSink {
public:
    StationSink(RinexSide& rinex, RtcmOutputs* rtcm) : rinex_(rinex), rtcm_(rtcm) {}
    bool OnEpoch(const ObservationEpoch& epoch) override {
        if (rtcm_ != nullptr) rtcm_->OnEpoch(epoch);
        return rinex_.OnEpoch(epoch);
    }
    bool OnEphemeris(const DecodedEphemeris& ephemeris) override {
        if (rtcm_ != nullptr) rtcm_->OnEphemeris(ephemeris);
        return rinex_.OnEphemeris(ephemeris);
    }
    bool OnExtraRecord(const uint8_t* frame, int32_t length) override { return rinex_.OnExtraRecord(frame, length); }

private:
    RinexSide& rinex_;
    RtcmOutputs* rtcm_;
};

// The raw files of the stream, with the cutter that finds its periods.
struct RawSide {
    std::unique_ptr<RawFiles> files;
    std::unique_ptr<live::RawPeriodWriter> writer;
    std::unique_ptr<live::PeriodCutter> cutter;
    std::vector<live::PeriodCut> cuts;
};

class Stream {
public:
    Stream(const StreamArgs& args, const live::InputSource& source, int64_t periodS, StationChoice rtcmStation)
        : args_(args), source_(source), periodS_(periodS), station_(StationOf(args.station, source)),
          periodName_(args.period), rtcmStation_(std::move(rtcmStation)) {}

    int Run();

private:
    bool SetUpOutputs();
    bool Recover();
    // One piece of the stream, from the receiver or from a raw file being replayed: cut into
    // the raw files (unless `rawKnown`: the bytes are in a raw file already) and decoded.
    bool Take(std::span<const uint8_t> bytes);
    bool EndOfStream();
    void WriteStatus(bool force);
    void ConfigureStep(live::Input& input);
    bool StartRtcm();
    void SayRtcm();

    const StreamArgs& args_;
    const live::InputSource& source_;
    int64_t periodS_;
    Station station_;
    std::string periodName_;
    StationChoice rtcmStation_;
    StreamStatus status_;
    PeriodReport report_;
    RawSide raw_;
    std::unique_ptr<RinexPeriods> rinex_;
    std::unique_ptr<RinexSide> rinexSide_;
    std::unique_ptr<RtcmOutputs> rtcm_;
    std::unique_ptr<StationSink> sink_;
    std::unique_ptr<DecodingSession> session_;
    CallbackBlock callbacks_ = DisplayCallbacks();
    std::unique_ptr<live::ReceiverSetUp> setUp_;
    std::unique_ptr<live::StreamWatch> watch_;
    double lastStatusS_ = -1e9;
    uint64_t rtcmErrorsCounted_ = 0;
    bool statusFailed_ = false;
};

bool Stream::SetUpOutputs() {
    for (const std::string* dir : {&args_.rawDir, &args_.rinexDir}) {
        if (dir->empty()) continue;
        const std::string why = files::WhyFolderUnwritable(*dir);
        if (!why.empty()) {
            PrintError("cannot write into " + *dir + ": " + why);
            return false;
        }
    }
    if (!args_.rinexDir.empty()) {
        RinexRunOptions o;
        o.version = args_.version == "2.11" ? RinexVersion::k211 : RinexVersion::k304;
        o.directory = args_.rinexDir;
        o.periodS = static_cast<double>(periodS_);
        o.program = std::string("kestrel ") + KESTREL_VERSION;
        o.station.markerName = station_.marker;
        o.station.country = station_.country;
        o.station.stationId = station_.stationId;
        o.createdUtc = CreationTimeFromEnvironment();
        o.gzip = args_.gzip;
        const Station station = station_;
        const int64_t periodS = periodS_;
        const bool longNames = o.version == RinexVersion::k304;
        const std::string extension = args_.gzip ? kGzipExtension : "";
        o.fileName = [station, periodS, longNames, extension, dir = args_.rinexDir](
                         RinexFileKind kind, const GpsTime& start, double intervalS) {
            const RinexNameParts parts = PeriodParts(station, start, periodS, intervalS);
            std::string name = longNames ? RinexLongName(parts, kind) : RinexShortName(parts, kind);
            if (!longNames && periodS < 3600) {
                // ssssdddh.yyo names an hour: a quarter adds its minute (ssssdddhmm.yyo).
                const CalendarTime t = CalendarFromGpsTime(start);
                char minute[4];
                std::snprintf(minute, sizeof minute, "%02d", t.minute);
                name.insert(8, minute);
            }
            return UntakenPath(Join(dir, name + extension));
        };
        std::string error;
        rinex_ = RinexPeriods::Open(o, error);
        if (!rinex_) {
            PrintError(error);
            return false;
        }
    }
    rinexSide_ = std::make_unique<RinexSide>(rinex_.get(), periodS_, report_, status_);
    if (!StartRtcm()) return false;
    sink_ = std::make_unique<StationSink>(*rinexSide_, rtcm_.get());
    if (!args_.rawDir.empty()) {
        raw_.files = std::make_unique<RawFiles>(args_.rawDir, station_, periodS_, report_, status_);
        raw_.writer = std::make_unique<live::RawPeriodWriter>(*raw_.files);
    }
    // Cuts are found even without raw files: the watch and the set-up need the frames.
    auto epochs = std::make_shared<live::FrameEpochs>();
    raw_.cutter = std::make_unique<live::PeriodCutter>(periodS_, [epochs](const live::ScannedFrame& f) { return (*epochs)(f); });
    SessionOptions setup;
    setup.decoder = {0, 1, 1, 0};
    // The receiver's identification and fixes reach the RINEX headers as in a conversion.
    setup.extraRecords = ReceiverInfoRecords();
    setup.extraRecordCount = ReceiverInfoRecordCount();
    // A damaged frame whose checksum still passes can carry any week: it is left out and
    // counted, and the station goes on.
    setup.skipWeekJumps = true;
    session_ = std::make_unique<DecodingSession>(setup, callbacks_, nullptr, sink_.get());
    if (!session_->IsOpen()) {
        PrintError(error_text());
        return false;
    }
    session_->NameSource(source_.text);
    if (args_.qc) rinexSide_->CheckPeriods(session_.get());
    return true;
}

// The RTCM outputs: files cut into periods as the raw ones, and the network servers, which
// listen from here on (each says where).
bool Stream::StartRtcm() {
    if (args_.rtcm.empty()) return true;
    RtcmOutputs::Options o;
    o.station = rtcmStation_;
    o.urls = args_.rtcm;
    o.periodS = periodS_;
    o.listen = args_.listen;
    o.maxClients = args_.maxClients;
    o.mountName = station_.marker;
    o.country = station_.country;
    o.rebuilt = !args_.rawDir.empty();
    const Station station = station_;
    const int64_t periodS = periodS_;
    o.fileName = [station, periodS](const std::string& folder, const GpsTime& start) {
        return PeriodFileName(folder, station, start, periodS, kRtcmExtension);
    };
    o.closed = [this](const GpsTime& start, const std::string& path) { report_.At(start).files.push_back(path); };
    std::string error;
    rtcm_ = RtcmOutputs::Start(std::move(o), error);
    if (!rtcm_) {
        PrintError(error);
        return false;
    }
    for (const RtcmOutputState& output : rtcm_->States()) {
        PrintError(output.port != 0 ? "rtcm: " + output.name + " listening on port " + std::to_string(output.port)
                                    : "rtcm: " + output.name + " pushing to the caster");
    }
    SayRtcm();
    return true;
}

// What the RTCM outputs said from their threads, and their files' write errors.
void Stream::SayRtcm() {
    if (!rtcm_) return;
    for (const std::string& text : rtcm_->TakeMessages()) PrintError(text);
    status_.writeErrors += rtcm_->writeErrors() - rtcmErrorsCounted_;
    rtcmErrorsCounted_ = rtcm_->writeErrors();
}

bool Stream::Take(std::span<const uint8_t> bytes) {
    const double now = live::MonotonicSeconds();
    if (watch_) watch_->OnBytes(now);
    raw_.cutter->Feed(bytes, raw_.cuts, [&](const live::ScannedFrame& frame) {
        if (watch_) watch_->OnFrame(now);
        if (setUp_) setUp_->OnFrame(frame);
        ++status_.frames;
    });
    if (raw_.writer) raw_.writer->Write(bytes, raw_.cuts);
    status_.bytes += bytes.size();
    status_.periodBytes = raw_.cuts.empty() ? status_.periodBytes + bytes.size() : bytes.size();
    const bool goesOn = session_->Push(bytes.data(), bytes.size());
    report_.Flush(periodName_);
    status_.filesClosed = report_.closed();
    if (!goesOn) PrintError(error_text());
    return goesOn;
}

bool Stream::EndOfStream() {
    raw_.cutter->End(raw_.cuts);
    if (raw_.writer) {
        raw_.writer->Write({}, raw_.cuts);
        raw_.writer->Finish();
    }
    session_->Finish();
    const bool ok = rinexSide_->Finish();
    if (rtcm_) {
        rtcm_->Finish();
        SayRtcm();
    }
    report_.Flush(periodName_);
    status_.filesClosed = report_.closed();
    return ok;
}

// The raw files a run before this one left open (it was killed): each is replayed through the
// session and into a raw file of the same name, after the closed period before it has set the
// decoder's state. A file left by a replay that was itself cut short is replayed again.
bool Stream::Recover() {
    if (args_.rawDir.empty()) return true;
    std::vector<std::string> open;
    std::vector<std::string> replays;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(args_.rawDir, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(kReplayPrefix, 0) == 0) {
            replays.push_back(entry.path().string());
        } else if (name.rfind(kStreamOpenPrefix, 0) == 0) {
            open.push_back(entry.path().string());
        }
    }
    if (!replays.empty()) {
        // A replay was cut short: what it rewrote is a prefix of the replayed file.
        for (const std::string& path : open) fs::remove(path, ec);
    } else {
        for (const std::string& path : open) {
            const std::string replay = Join(args_.rawDir, kReplayPrefix + BaseName(path).substr(std::string(kStreamOpenPrefix).size()));
            if (std::rename(path.c_str(), replay.c_str()) != 0) {
                PrintError("cannot take up " + path + ": " + files::Reason(errno));
                return false;
            }
            replays.push_back(replay);
        }
    }
    std::sort(replays.begin(), replays.end());
    for (const std::string& replay : replays) {
        const std::vector<uint8_t> bytes = ReadWhole(replay);
        // The period before, if it was closed: its raw file sets the decoder's state.
        const std::string finalName = Join(args_.rawDir, BaseName(replay).substr(std::string(kReplayPrefix).size()));
        const std::string before = PreviousPeriodFile(finalName);
        if (!before.empty() && session_) {
            const std::vector<uint8_t> prime = ReadWhole(before);
            rinexSide_->Mute(true);
            if (rtcm_) rtcm_->SetMode(RtcmOutputs::Mode::kPrime);
            session_->Push(prime.data(), prime.size());
            rinexSide_->Mute(false);
        }
        // The period taken up is written to files again; rovers get the stream from now on.
        if (rtcm_) rtcm_->SetMode(RtcmOutputs::Mode::kFilesOnly);
        PrintError("taking up " + BaseName(finalName) + " left open by an earlier run: " + std::to_string(bytes.size()) +
                   " bytes");
        const bool taken = Take(bytes);
        if (rtcm_) rtcm_->SetMode(RtcmOutputs::Mode::kLive);
        if (!taken) return false;
        fs::remove(replay, ec);
    }
    return true;
}


void Stream::ConfigureStep(live::Input& input) {
    if (!setUp_) return;
    if (input.TakeFreshLink()) {
        // A link made again may be a receiver that was restarted: it is set up again.
        const auto rate = args_.rateHz > 0.0 ? live::RateWord(args_.rateHz) : std::nullopt;
        setUp_ = std::make_unique<live::ReceiverSetUp>(live::SetUpRequests(rate), kSetUpTimeoutS);
    }
    const double now = live::MonotonicSeconds();
    setUp_->OnTime(now);
    if (setUp_->state() == live::ReceiverSetUp::State::kSend) {
        std::string error;
        if (input.Send(setUp_->NextRequest(), error)) {
            setUp_->Sent(now);
        }
    }
}

void Stream::WriteStatus(bool force) {
    if (args_.status.empty()) return;
    const double now = live::MonotonicSeconds();
    if (!force && now - lastStatusS_ < kStatusEveryS) return;
    lastStatusS_ = now;
    const DecodeCounts& counts = session_->Counts();
    status_.framesRejected = counts.parser.checksumFailures + counts.parser.lengthFailures;
    if (rtcm_) status_.rtcm = rtcm_->States();
    files::OutputFile out;
    if (!out.Create(args_.status) || !out.Write(StatusJson(status_)) || !out.Commit()) {
        if (!statusFailed_) PrintError(out.error());
        statusFailed_ = true;
        return;
    }
    statusFailed_ = false;
}

int Stream::Run() {
    std::string error;
    live::InputOptions inputOptions;
    inputOptions.speed = args_.speed;
    inputOptions.report = [](const std::string& text) { PrintError(text); };
    status_.input = source_.text;
    StartDisplay(true);
    if (!SetUpOutputs()) return kExitFailure;
    const files::StopHandlers handlers(OnStopSignal);
    // The input first: a run that cannot have it leaves an open period's raw file as it found
    // it, for the next run to take up.
    std::unique_ptr<live::Input> input = live::OpenInput(source_, inputOptions, error);
    if (!input) {
        PrintError(error);
        return kExitFailure;
    }
    if (!Recover()) return kExitFailure;
    watch_ = std::make_unique<live::StreamWatch>(live::MonotonicSeconds());
    if (args_.configure) {
        const auto rate = args_.rateHz > 0.0 ? live::RateWord(args_.rateHz) : std::nullopt;
        setUp_ = std::make_unique<live::ReceiverSetUp>(live::SetUpRequests(rate), kSetUpTimeoutS);
        input->TakeFreshLink();
    }
    std::vector<uint8_t> buffer(kReadBytes);
    bool failed = false;
    while (gStopSignal == 0) {
        ConfigureStep(*input);
        if (setUp_ && setUp_->state() == live::ReceiverSetUp::State::kFailed) {
            PrintError(setUp_->failure());
            failed = true;
            break;
        }
        if (setUp_ && setUp_->state() == live::ReceiverSetUp::State::kDone) {
            PrintError("the receiver accepted its set-up");
            setUp_.reset();
        }
        const live::ReadResult r = input->Read(buffer, kReadWaitMs);
        status_.connected = input->counters().connected;
        status_.reconnects = input->counters().reconnects;
        if (r.kind == live::ReadResult::Kind::kBytes) {
            if (!Take(std::span<const uint8_t>(buffer.data(), r.size))) {
                failed = true;
                break;
            }
        } else if (r.kind == live::ReadResult::Kind::kEnded) {
            break;
        }
        if (const auto event = watch_->Check(live::MonotonicSeconds())) PrintError(watch_->Describe(*event, source_.text));
        SayRtcm();
        WriteStatus(false);
    }
    if (!EndOfStream()) failed = true;
    WriteStatus(true);
    const int signal = gStopSignal;
    if (signal == SIGINT) return StoppedStatus(SIGINT);
    // A file that lost bytes is a failure the status tells, though the stream went on.
    if (failed || status_.writeErrors > 0) return kExitFailure;
    // SIGTERM and SIGHUP stop a service: its files are whole, the stop is no failure.
    return kExitOk;
}

// A number of 0 or more (`positive`: above 0), refused in plain words.
CLI::Validator NumberValidator(bool positive) {
    return CLI::Validator(
        [positive](std::string& value) {
            char* end = nullptr;
            errno = 0;
            const double v = std::strtod(value.c_str(), &end);
            const bool number = !value.empty() && *end == '\0' && errno == 0 && std::isfinite(v);
            if (!number || v < 0.0 || (positive && v == 0.0)) {
                return "'" + value + "' is not a number " + (positive ? "above 0" : "of 0 or more");
            }
            return std::string();
        },
        "", "");
}

// 2.5 as "2.5", 10 as "10".
std::string FormatNumber(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", v);
    return text;
}

}  // namespace

Runner AddStreamCommand(CLI::App& app) {
    static StreamArgs a;
    CLI::App* sub = app.add_subcommand(
        "stream",
        "Logs a live NavCom receiver and writes its archive as it goes: raw and RINEX files cut into "
        "periods of the data's own GPS time, each under its final name once its period is complete, and "
        "its RTCM 3 to files, rovers and casters. "
        "Runs until the input ends or a signal: Ctrl-C (status 130) and SIGTERM (status 0) close the "
        "open period as complete. A raw file left open by a run that was killed is taken up again by "
        "the next run with the same outputs.");
    sub->add_option("INPUT", a.input,
                    "serial:DEVICE[:BAUD] (raw 8N1, default 115200), tcp:HOST:PORT, - (standard input), "
                    "file:LOG (a replay at --speed)")
        ->required();
    sub->add_option("--raw", a.rawDir, "folder of the raw files: the bytes as received, one file per period")
        ->type_name("DIR");
    sub->add_option("--rinex", a.rinexDir, "folder of the RINEX observation and navigation files of each period")
        ->type_name("DIR");
    sub->add_option("--period", a.period, "length of a period (default 1h)")
        ->type_name("15m|1h|1d")
        ->check(ChoiceValidator({"15m", "1h", "1d"}));
    sub->add_option("-v,--rinex-version", a.version, "RINEX version (default 3.04)")
        ->type_name("3.04|2.11")
        ->check(ChoiceValidator({"3.04", "2.11"}));
    sub->add_option("--station", a.station,
                    "nine-character station ID SSSSMRCCC (station, monument, receiver, country), or a marker "
                    "name, for the files' names")
        ->type_name("NAME");
    sub->add_option("--speed", a.speed, "file: replays: times the data's own pace; 0 as fast as possible (default 1)")
        ->type_name("N")
        ->check(NumberValidator(false));
    sub->add_flag("--gzip", a.gzip, "compress the RINEX files as they are written (names end in .gz)");
    sub->add_flag("--qc", a.qc,
                  "the quality check of each period as a JSON document (as qc --json writes it) beside its RINEX "
                  "files, named after the observation file with .qc.json");
    sub->add_option("--status", a.status, "a JSON file rewritten every second with the stream's state")
        ->type_name("FILE");
    sub->add_flag("--configure", a.configure,
                  "ask the receiver for identification, EPHEMERIS, MEASUREMENT and PVT before logging, and "
                  "again after every reconnect; fail when it does not acknowledge");
    sub->add_option("--rate", a.rateHz, "with --configure: MEASUREMENT and PVT rate (default every epoch)")
        ->type_name("HZ")
        ->check(NumberValidator(true));
    sub->add_option("--rtcm", a.rtcm,
                    "RTCM 3 of the station, repeatable: file://DIR (files cut into periods), tcpsvr://[ADDR]:PORT "
                    "(raw to every client), ntripc://[USER:PASS@][ADDR][:PORT]/MOUNT (the built-in NTRIP caster), "
                    "ntrips://[USER:PASS@]HOST[:PORT]/MOUNT (pushed to a caster; a user name speaks NTRIP 2.0, a "
                    "password alone 1.0)")
        ->type_name("URL");
    // Options that go with --rtcm only.
    std::vector<CLI::Option*> rtcmOnly = AddStationOptions(*sub, a.rtcmStation);
    rtcmOnly.push_back(sub->add_option("--listen", a.listen,
                    "address the RTCM servers listen on when their URL names none (default 127.0.0.1, this "
                    "computer only; 0.0.0.0 serves every network)")
        ->type_name("ADDR"));
    rtcmOnly.push_back(sub->add_option("--max-clients", a.maxClients, "clients each RTCM server serves at once (default 16)")
        ->type_name("N")
        ->check(WholeNumberValidator(1, 4096)));
    return [sub, rtcmOnly] {
        std::string error;
        const std::optional<live::InputSource> source = live::ParseInputSource(a.input, error);
        if (!source) {
            PrintUsageError("stream", "INPUT: " + error);
            return kExitUsage;
        }
        if (a.rawDir.empty() && a.rinexDir.empty() && a.rtcm.empty()) {
            PrintUsageError("stream", "no output given; give --raw DIR, --rinex DIR, --rtcm URL or several");
            return kExitUsage;
        }
        for (const std::string& url : a.rtcm) {
            if (!CheckRtcmOutput(url, error)) {
                PrintUsageError("stream", "--rtcm: " + error);
                return kExitUsage;
            }
        }
        StationChoice rtcmStation;
        if (!a.rtcm.empty() && !StationFromOptions(a.rtcmStation, "stream", rtcmStation)) return kExitUsage;
        if (a.rtcm.empty()) {
            for (const CLI::Option* option : rtcmOnly) {
                if (option->count() != 0) {
                    PrintUsageError("stream", option->get_name() + ": goes with --rtcm");
                    return kExitUsage;
                }
            }
        }
        if (a.qc && a.rinexDir.empty()) {
            PrintUsageError("stream", "--qc: goes with --rinex");
            return kExitUsage;
        }
        if (a.gzip && a.rinexDir.empty()) {
            PrintUsageError("stream", "--gzip: goes with --rinex");
            return kExitUsage;
        }
        if (sub->count("--rate") != 0 && !a.configure) {
            PrintUsageError("stream", "--rate: goes with --configure");
            return kExitUsage;
        }
        if (a.configure && a.rateHz > 0.0 && !live::RateWord(a.rateHz)) {
            PrintUsageError("stream", "--rate: " + FormatNumber(a.rateHz) +
                                          " Hz is not a whole number of tenths of a second apart");
            return kExitUsage;
        }
        if (sub->count("--speed") != 0 && source->kind != live::InputSource::Kind::kFile) {
            PrintUsageError("stream", "--speed: goes with a file: input");
            return kExitUsage;
        }
        if (source->kind == live::InputSource::Kind::kFile) files::ProtectInput(source->path);
        Stream stream(a, *source, *live::ParsePeriod(a.period), std::move(rtcmStation));
        return stream.Run();
    };
}

}  // namespace kestrel::cli
