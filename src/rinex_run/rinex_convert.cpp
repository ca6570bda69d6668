// SPDX-License-Identifier: BSD-2-Clause
#include "rinex_run/rinex_convert.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/error_text.h"
#include "common/gps_prn.h"
#include "files/output_file.h"
#include "pipeline/epoch_selector.h"
#include "pipeline/log_input.h"
#include "pipeline/session.h"
#include "receiver/receiver_records.h"
#include "rinex_out/rinex_names.h"
#include "rinex_out/rinex_nav_writer.h"
#include "rinex_run/nav_body.h"
#include "rinex_run/obs_body.h"
#include "rinex_run/run_files.h"

namespace kestrel {
namespace {

constexpr double kShortestIntervalS = 0.001;  // the receiver's time tags are whole milliseconds
constexpr double kLongestIntervalS = kSecondsPerWeek;
constexpr std::size_t kMarkerLength = 60;
constexpr const char* kDefaultMarker = "UNKN";
// With a period, an ephemeris goes into the navigation file of each period its broadcast fit
// reaches: Toe within two hours of the file's first and last epochs.
constexpr double kBroadcastFitReachS = 7200.0;

constexpr const char* kNoScratch = "Error: Unable to write to %s: %s (in its scratch file)";
constexpr const char* kBadInterval = "Error: an interval of %g s is outside 0.001 s to one week";
constexpr const char* kNoEpochs = "Error: %s holds no epoch to write";
constexpr const char* kIntervalFiner =
    "--interval %g s is finer than the log's %g s spacing: every epoch is kept, and the files say %g s";
constexpr const char* kIntervalOffGrid =
    "--interval %g s is not a multiple of the log's %g s spacing: the epochs kept, where both grids meet, are %g s "
    "apart, as the files say";
constexpr const char* kDopplerComments[] = {
    "D1C/D1: L1 Doppler derived by Kestrel from successive C/A",
    "code ranges (the receiver sends none); positive when the",
    "satellite approaches",
};

CalendarTime NowUtc() {
    const auto now = std::chrono::system_clock::now();
    return CalendarFromUnixSeconds(std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count());
}

bool ToStandardOutput(const RinexRunOptions& options) { return options.obsPath == kStandardOutputName; }
constexpr const char* kStandardOutputText = "standard output";

// The folder the observation file goes to, where the scratch files are made too; with the
// observation file on standard output, the output folder or else the temporary folder.
std::string ObsDirectory(const RinexRunOptions& options) {
    if (ToStandardOutput(options)) {
        if (!options.directory.empty()) return options.directory;
        const char* tmp = std::getenv("TMPDIR");
        return tmp != nullptr && *tmp != '\0' ? std::string(tmp) : std::string("/tmp");
    }
    return options.obsPath.empty() ? options.directory : DirectoryOf(options.obsPath);
}

// Adds warnings the run has not given yet.
void AddWarnings(std::vector<std::string>& to, const std::vector<std::string>& warnings) {
    for (const std::string& w : warnings) {
        if (std::find(to.begin(), to.end(), w) == to.end()) to.push_back(w);
    }
}

// What --interval did when the epochs written are not its step apart: a request finer than
// the log keeps every epoch, one off the log's grid keeps the epochs where both grids meet.
std::vector<std::string> IntervalWarnings(double requestedS, double logS, double writtenS) {
    constexpr double kSameS = 0.0005;  // the receiver tags epochs in whole milliseconds
    if (requestedS <= 0.0 || logS <= 0.0 || writtenS <= 0.0 || std::fabs(writtenS - requestedS) <= kSameS) return {};
    char text[512];
    if (requestedS < logS && std::fabs(writtenS - logS) <= kSameS) {
        std::snprintf(text, sizeof text, kIntervalFiner, requestedS, logS, writtenS);
    } else {
        std::snprintf(text, sizeof text, kIntervalOffGrid, requestedS, logS, writtenS);
    }
    return {text};
}

// The receiver's own records of the file being collected: its identification (the last one
// of the run holds) and its valid 3-D fixes inside the window.
class ReceiverEvidence {
public:
    void Add(const uint8_t* frame, int32_t length, const EpochWindow& window) {
        ReceiverIdentity identity;
        if (DecodeIdentification(frame, length, identity)) {
            identity_ = identity;
            return;
        }
        if (const auto fix = FixWithin(frame, length, window.from, window.to)) {
            fixes_.Add(*fix);
            ++fixCount_;
        }
    }

    // The next file's fixes start afresh.
    void StartFile() {
        fixes_ = EvenSampler<std::array<double, 3>, kFixSamples>{};
        fixCount_ = 0;
    }

    void Fill(StationEvidence& e) const {
        e.identity = identity_;
        e.fixMedianM = AxisMedian(fixes_.samples());
        e.fixes = fixCount_;
    }

    int32_t fixes() const { return fixCount_; }

private:
    static constexpr std::size_t kFixSamples = 4096;
    std::optional<ReceiverIdentity> identity_;
    EvenSampler<std::array<double, 3>, kFixSamples> fixes_;
    int32_t fixCount_ = 0;
};

// The observation file is named outright (not standard output).
bool NamesObsFile(const RinexRunOptions& options) { return !options.obsPath.empty() && !ToStandardOutput(options); }

// What a failure of the scratch files names: the observation file, or the folder it goes to.
std::string ScratchWhere(const RinexRunOptions& options) {
    const std::string directory = ObsDirectory(options);
    return NamesObsFile(options) ? options.obsPath : directory.empty() ? std::string(".") : directory;
}

// The reason of a scratch file's failure into the error text; false, to end what failed.
bool ScratchFailed(const std::string& path, int error) {
    format_error_text(kNoScratch, path.c_str(), files::Reason(error).c_str());
    return false;
}

// The failure of an output into the error text; false.
bool OutputFailed(const RunOutput& out, const std::string& path) {
    format_error_text(kCannotWriteReasonFormat, path.c_str(), out.reason().c_str());
    return false;
}

// An output that cannot be written (a folder that takes no file, a name that is a folder's)
// is found before the log is read. False with the reason in the error text.
bool OutputsWritable(const RinexRunOptions& options) {
    // A file named outright, or the folder of the RINEX names.
    std::vector<std::pair<std::string, bool>> outputs = {{ScratchWhere(options), NamesObsFile(options)}};
    if (options.writeNav) {
        const std::string navWhere = !options.navPath.empty()     ? options.navPath
                                     : options.directory.empty() ? std::string(".")
                                                                 : options.directory;
        outputs.emplace_back(navWhere, !options.navPath.empty());
    }
    for (const auto& [where, named] : outputs) {
        const std::string why = named ? files::WhyUnwritable(where) : files::WhyFolderUnwritable(where);
        if (!why.empty()) {
            format_error_text(kCannotWriteReasonFormat, where.c_str(), why.c_str());
            return false;
        }
    }
    return true;
}

// The observation epochs and ephemerides of the session, into files: one pair for the run,
// or, with a period, one pair per period of GPS time, each written when the first epoch of the
// next period comes (the decoder's state, the arcs and the ephemerides go on across them).
class RinexRun : public ObservationSink {
public:
    RinexRun(const RinexRunOptions& options, std::FILE* body, std::FILE* nav, const CalendarTime& created)
        : options_(options), created_(created), obs_(body, options.doppler), nav_(nav), selector_(Window(options)) {}

    bool OnEpoch(const ObservationEpoch& decoded) override {
        decodedAnything_ = true;
        // The log's own spacing, before any window or decimation.
        if (anyDecoded_) logSpacings_.Add(decoded.time.Total() - lastDecoded_.Total());
        lastDecoded_ = decoded.time;
        anyDecoded_ = true;
        ObservationEpoch epoch = decoded;
        const EpochSelector::Verdict verdict = selector_.Select(epoch);
        if (verdict != EpochSelector::Verdict::kKept) {
            ++dropped_;
            if (verdict == EpochSelector::Verdict::kNotLater) ++notAdvancing_;
            return true;
        }
        if (epoch.satCount == 0) return true;
        if (options_.periodS > 0.0) {
            const auto period = static_cast<int64_t>(std::floor(epoch.time.Total() / options_.periodS));
            if (!obs_.empty() && period != period_ && (!WriteFiles() || !StartPeriod())) return false;
            period_ = period;
        }
        obs_.Add(epoch);
        return obs_.scratchError() == 0 || ScratchFailed(ScratchWhere(options_), obs_.scratchError());
    }

    bool OnEphemeris(const DecodedEphemeris& ephemeris) override {
        decodedAnything_ = true;
        nav_.Add(ephemeris);
        return nav_.scratchError() == 0 || ScratchFailed(ScratchWhere(options_), nav_.scratchError());
    }

    bool OnExtraRecord(const uint8_t* frame, int32_t length) override {
        receiver_.Add(frame, length, Window(options_));
        return true;
    }

    bool HasEpochs() const { return !obs_.empty(); }

    // Writes (or, in a dry run, names) the observation and navigation files of what is
    // collected. False with the reason in the error text.
    bool WriteFiles();

    // The run's figures, the files written so far included.
    RinexRunResult Result() const;

    // The start that names the next files, for `RinexRunOptions::fileName`.
    void SetNameStart(const GpsTime& start) { nameStart_ = start; }
    // Writes the files of what is collected, then starts the next files afresh whatever came
    // of it. False with the reason in the error text.
    bool ClosePeriod() {
        const bool written = WriteFiles();
        const bool cleared = StartPeriod();
        nameStart_.reset();
        return written && cleared;
    }
    const std::vector<std::string>& FilesWritten() const { return files_.files; }
    // Epochs earlier than those written are taken again (the receiver was reset).
    void ForgetLastEpoch() { selector_ = EpochSelector(Window(options_)); }
    // What --interval did, when the epochs written do not follow it.
    std::vector<std::string> IntervalWarnings() const {
        return kestrel::IntervalWarnings(options_.intervalS, logSpacings_.MostFrequentS(), obs_.MostFrequentSpacingS());
    }

private:
    static EpochWindow Window(const RinexRunOptions& options) {
        EpochWindow window;
        window.from = options.from;
        window.to = options.to;
        window.intervalS = options.intervalS;
        return window;
    }

    // What both files' headers say of the run: version, program, agency, creation time,
    // comments, and the leap seconds at the first epoch.
    template <typename Header>
    void Stamp(Header& header, const StationFacts& facts) const {
        header.version = options_.version;
        header.program = options_.program;
        header.runBy = facts.agency;
        header.createdUtc = created_;
        header.comments = options_.comments;
        header.leapSeconds = LeapSecondsAtGps(obs_.first());
    }

    // The next file's facts start afresh; what was counted goes into the run's totals.
    bool StartPeriod();
    // The station's facts for the file being collected: options, site log, receiver, solutions.
    StationFacts Facts() const;
    std::string FileName(RinexFileKind kind, const StationFacts& facts) const;
    RinexObsHeader ObsHeader(const StationFacts& facts) const;
    bool WriteNavigation(const std::string& path, const StationFacts& facts, RunOutput& out, int32_t& written);
    void Record(const std::string& obsPath, const std::string& navPath);

    const RinexRunOptions& options_;
    const CalendarTime created_;
    ObsBody obs_;
    NavBody nav_;
    EpochSelector selector_;
    ReceiverEvidence receiver_;
    SpacingCounter logSpacings_;
    bool anyDecoded_ = false;
    GpsTime lastDecoded_;
    int32_t receiverFixes_ = 0;  // of the files written before the one being collected
    int64_t period_ = 0;
    int32_t dropped_ = 0;
    int32_t notAdvancing_ = 0;
    bool decodedAnything_ = false;
    ObsTotals written_;  // of the files written before the one being collected
    bool everObserved_[kGpsPrnSlots] = {};
    RinexRunResult files_;  // the files written, and their ephemerides
    std::optional<GpsTime> nameStart_;
};

StationFacts RinexRun::Facts() const {
    StationEvidence evidence;
    evidence.logMarker = MarkerNameFromLog(options_.spliceInputs.empty() ? options_.input : options_.spliceInputs.front());
    receiver_.Fill(evidence);
    evidence.solutionMedianM = obs_.MedianPosition();
    evidence.solutions = obs_.totals().solutions;
    return GatherStationFacts(options_.station, options_.siteLog.get(), evidence, obs_.first());
}

// The names follow the spacing of the epochs written.
std::string RinexRun::FileName(RinexFileKind kind, const StationFacts& facts) const {
    if (options_.fileName) return options_.fileName(kind, nameStart_ ? *nameStart_ : obs_.first(), obs_.MostFrequentSpacingS());
    RinexNameParts names;
    names.marker = facts.markerName;
    names.country = facts.country;
    names.stationId = facts.stationId;
    names.first = obs_.first();
    names.last = obs_.last();
    names.intervalS = obs_.MostFrequentSpacingS();
    const std::string name =
        options_.version == RinexVersion::k304 ? RinexLongName(names, kind) : RinexShortName(names, kind);
    return JoinPath(options_.directory, name + (options_.gzip ? kGzipExtension : ""));
}

RinexObsHeader RinexRun::ObsHeader(const StationFacts& facts) const {
    RinexObsHeader h;
    Stamp(h, facts);
    if (options_.doppler) h.comments.insert(h.comments.end(), std::begin(kDopplerComments), std::end(kDopplerComments));
    h.comments.insert(h.comments.end(), facts.comments.begin(), facts.comments.end());
    h.markerName = facts.markerName;
    h.markerNumber = facts.markerNumber;
    h.markerType = facts.markerType;
    h.observer = facts.observer;
    h.agency = facts.agency;
    h.receiverNumber = facts.receiverNumber;
    h.receiverType = facts.receiverType;
    h.receiverVersion = facts.receiverVersion;
    h.antennaNumber = facts.antennaNumber;
    h.antennaType = facts.antennaType;
    h.antennaRadome = facts.antennaRadome;
    h.antennaDeltaHenM = facts.antennaDeltaHenM;
    h.approxPositionM = facts.positionM;
    h.types = RinexObsTypesFor(obs_.anyP1(), options_.doppler);
    h.intervalS = obs_.MostFrequentSpacingS();
    h.firstObs = obs_.first();
    h.lastObs = obs_.last();
    h.clockOffsetApplied = 0;
    h.satCounts = obs_.SatCounts();
    return h;
}

// The navigation file: in time order; satellites never observed left out when asked; with a
// period, the ephemerides that reach into it. The 10-bit broadcast weeks are resolved against
// the week of the file's first epoch.
bool RinexRun::WriteNavigation(const std::string& path, const StationFacts& facts, RunOutput& out,
                               int32_t& written) {
    if (const int error = nav_.FlushScratch()) return ScratchFailed(path, error);
    NavBody::Choice choice;
    choice.referenceWeek = obs_.first().week;
    if (options_.periodS > 0.0) {
        choice.toeSpan = {obs_.first().Total() - kBroadcastFitReachS, obs_.last().Total() + kBroadcastFitReachS};
    }
    if (options_.trackedOnly) choice.wanted = [this](int prn) { return obs_.Observed(prn); };
    RinexNavHeader header;
    Stamp(header, facts);
    if (nav_.Write(out, header, choice, written)) return true;
    format_error_text(kCannotWriteReasonFormat, path.c_str(),
                      out.reason().empty() ? "the ephemerides cannot be read back" : out.reason().c_str());
    return false;
}

void RinexRun::Record(const std::string& obsPath, const std::string& navPath) {
    files_.obsPath = obsPath;
    files_.navPath = navPath;
    files_.files.push_back(obsPath);
    if (!navPath.empty()) files_.files.push_back(navPath);
}

bool RinexRun::WriteFiles() {
    const StationFacts facts = Facts();
    const std::string obsPath =
        options_.obsPath.empty() ? FileName(RinexFileKind::kObservation, facts) : options_.obsPath;
    const bool writeNav = options_.writeNav && nav_.stored() > 0;
    const std::string navPath = !writeNav               ? std::string()
                                : options_.navPath.empty() ? FileName(RinexFileKind::kNavigation, facts)
                                                           : options_.navPath;
    if (options_.dryRun) {
        Record(obsPath, navPath);
        return true;
    }
    if (const int error = obs_.FlushScratch()) {
        return ScratchFailed(ToStandardOutput(options_) ? kStandardOutputText : obsPath, error);
    }
    const RinexObsHeader header = ObsHeader(facts);
    AddWarnings(files_.warnings, facts.warnings);
    AddWarnings(files_.warnings, RinexObsHeaderWarnings(header));
    // Both files are made before either is written, so that neither takes its name when the
    // other cannot be written.
    const files::Existing existing = options_.noClobber ? files::Existing::kRefuse : files::Existing::kReplace;
    const bool toStandardOutput = ToStandardOutput(options_);
    const std::string obsName = toStandardOutput ? kStandardOutputText : obsPath;
    RunOutput obsOut;
    RunOutput navOut;
    if (toStandardOutput) {
        obsOut.CreateStandardOutput(options_.gzip);
    } else if (!obsOut.Create(obsPath, existing, options_.gzip)) {
        return OutputFailed(obsOut, obsName);
    }
    if (writeNav && !navOut.Create(navPath, existing, options_.gzip)) return OutputFailed(navOut, navPath);
    errno = 0;
    if (!obs_.Write(obsOut, header)) {
        if (!obsOut.reason().empty()) return OutputFailed(obsOut, obsName);
        return ScratchFailed(obsName, ErrnoOrIo());
    }
    int32_t ephemerides = 0;
    if (writeNav && !WriteNavigation(navPath, facts, navOut, ephemerides)) return false;
    // Both files are whole: they take their names together, or neither keeps one.
    if (!obsOut.Commit()) return OutputFailed(obsOut, obsName);
    if (writeNav && !navOut.Commit()) {
        if (!toStandardOutput) std::remove(obsPath.c_str());
        return OutputFailed(navOut, navPath);
    }
    if (obsOut.replacing()) files_.replaced.push_back(obsPath);
    if (writeNav && navOut.replacing()) files_.replaced.push_back(navPath);
    files_.ephemerides += ephemerides;
    Record(obsPath, navPath);
    return true;
}

bool RinexRun::StartPeriod() {
    written_ += obs_.totals();
    receiverFixes_ += receiver_.fixes();
    receiver_.StartFile();
    for (int prn = kFirstGpsPrn; prn <= kLastGpsPrn; ++prn) everObserved_[prn] = everObserved_[prn] || obs_.Observed(prn);
    if (obs_.Clear()) return true;
    set_error_text("Error: Unable to write the RINEX files (the scratch file cannot be emptied)");
    return false;
}

RinexRunResult RinexRun::Result() const {
    RinexRunResult r = files_;
    ObsTotals totals = written_;
    totals += obs_.totals();
    r.epochs = totals.epochs;
    r.observations = totals.observations;
    r.l1Slips = totals.l1Slips;
    r.l2Slips = totals.l2Slips;
    r.solutions = totals.solutions;
    r.receiverFixes = receiverFixes_ + receiver_.fixes();
    r.epochsDropped = dropped_;
    r.epochsNotAdvancing = notAdvancing_;
    r.decodedAnything = decodedAnything_;
    for (int prn = kFirstGpsPrn; prn <= kLastGpsPrn; ++prn) r.satellites += everObserved_[prn] || obs_.Observed(prn) ? 1 : 0;
    return r;
}

// The scratch files go where the observation file will, so that a folder that takes no file
// is found before the log is read. False with the reason in the error text.
bool OpenScratchFiles(const RinexRunOptions& options, ScratchFile& body, ScratchFile& nav) {
    const std::string directory = ObsDirectory(options);
    errno = 0;
    body.file = OpenScratch(directory);
    nav.file = body.file == nullptr ? nullptr : OpenScratch(directory);
    if (body.file == nullptr || nav.file == nullptr) {
        format_error_text(kCannotWriteReasonFormat, ScratchWhere(options).c_str(), files::Reason(ErrnoOrIo()).c_str());
        return false;
    }
    std::setvbuf(body.file, nullptr, _IOFBF, kWriteBufferBytes);
    return true;
}

}  // namespace

struct RinexPeriods::State {
    RinexRunOptions options;
    ScratchFile body;
    ScratchFile nav;
    std::unique_ptr<RinexRun> run;
};

RinexPeriods::RinexPeriods(std::unique_ptr<State> state) : state_(std::move(state)) {}
RinexPeriods::~RinexPeriods() = default;

std::unique_ptr<RinexPeriods> RinexPeriods::Open(const RinexRunOptions& options, std::string& error) {
    auto state = std::make_unique<State>();
    state->options = options;
    if (!OpenScratchFiles(state->options, state->body, state->nav)) {
        error = error_text();
        return nullptr;
    }
    state->run = std::make_unique<RinexRun>(state->options, state->body.file, state->nav.file,
                                            options.createdUtc ? *options.createdUtc : NowUtc());
    return std::unique_ptr<RinexPeriods>(new RinexPeriods(std::move(state)));
}

ObservationSink& RinexPeriods::sink() { return *state_->run; }
bool RinexPeriods::HasEpochs() const { return state_->run->HasEpochs(); }
void RinexPeriods::SetPeriodStart(const GpsTime& start) { state_->run->SetNameStart(start); }
void RinexPeriods::ForgetLastEpoch() { state_->run->ForgetLastEpoch(); }

bool RinexPeriods::Close(std::vector<std::string>& files) {
    const std::size_t before = state_->run->FilesWritten().size();
    const bool written = state_->run->ClosePeriod();
    const auto& all = state_->run->FilesWritten();
    files.assign(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
    return written;
}

std::string MarkerNameFromLog(const std::string& input) {
    if (input.empty() || input == "-") return kDefaultMarker;
    // A pipe's or a device's name (/dev/fd/63 of a shell's <(...)) says nothing of the station.
    struct stat st;
    if (stat(input.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return kDefaultMarker;
    const std::size_t slash = input.find_last_of('/');
    std::string name = input.substr(slash == std::string::npos ? 0 : slash + 1);
    name = name.substr(0, name.find('.'));
    std::string marker;
    for (char c : name) {
        if (std::isalnum(static_cast<unsigned char>(c)) && marker.size() < kMarkerLength) marker.push_back(c);
    }
    return marker.empty() ? kDefaultMarker : marker;
}

int32_t ConvertToRinex(const RinexRunOptions& options, const CallbackBlock& callbacks, RinexRunResult& result) {
    result = RinexRunResult{};
    if (options.intervalS != 0.0 && !(options.intervalS >= kShortestIntervalS && options.intervalS <= kLongestIntervalS)) {
        format_error_text(kBadInterval, options.intervalS);
        return 1;
    }
    const std::vector<std::string> inputs =
        options.spliceInputs.empty() ? std::vector<std::string>{options.input} : options.spliceInputs;

    // A closed standard output would be the number of the next file opened (a scratch file).
    if (ToStandardOutput(options) && fcntl(STDOUT_FILENO, F_GETFD) == -1) {
        format_error_text(kCannotWriteReasonFormat, kStandardOutputText, files::Reason(EBADF).c_str());
        return 1;
    }
    ScratchFile body;
    ScratchFile nav;
    if (!options.dryRun && (!OutputsWritable(options) || !OpenScratchFiles(options, body, nav))) return 1;

    RinexRun run(options, body.file, nav.file, options.createdUtc ? *options.createdUtc : NowUtc());
    SessionOptions setup;
    // A dry run names the files: the epochs kept do not depend on the clock solution.
    const bool solve = options.clockCorrection && !options.dryRun;
    setup.decoder = {0, options.reportL2Slips ? 1 : 0, solve ? 1 : 0, options.verbose ? 1 : 0};
    setup.week = options.week;
    setup.extraRecords = ReceiverInfoRecords();
    setup.extraRecordCount = ReceiverInfoRecordCount();
    DecodingSession session(setup, callbacks, nullptr, &run);
    if (!session.IsOpen()) return 1;
    RunEnd end = RunEnd::kComplete;
    for (std::size_t i = 0; i < inputs.size() && end == RunEnd::kComplete; ++i) {
        const LogInput log(inputs[i]);
        if (log.file() == nullptr) {
            format_error_text(kCannotOpenReasonFormat, inputs[i].c_str(), files::Reason(log.openError()).c_str());
            return 1;
        }
        end = session.ReadLog(log.file(), log.name(), i + 1 == inputs.size());
    }
    result = run.Result();
    if (end == RunEnd::kRefused || end == RunEnd::kSinkFailed || end == RunEnd::kReadFailed) return 1;
    result.aborted = end == RunEnd::kAborted;
    // Nothing to write is a failure, and leaves no file: a navigation file alone would
    // stand for a conversion that did not happen.
    if (!run.HasEpochs() && result.files.empty()) {
        if (result.aborted) {
            set_error_text(kUserQuitText);
        } else {
            format_error_text(kNoEpochs, inputs.size() == 1 ? LogInput::NameOf(inputs.front()).c_str()
                                                            : "the logs spliced");
            result.noEpochs = true;
        }
        return 1;
    }
    if (run.HasEpochs() && !run.WriteFiles()) return 1;
    result = run.Result();
    AddWarnings(result.warnings, run.IntervalWarnings());
    result.aborted = end == RunEnd::kAborted;
    if (result.aborted) {
        set_error_text(kUserQuitText);
        return 1;
    }
    return 0;
}

}  // namespace kestrel
