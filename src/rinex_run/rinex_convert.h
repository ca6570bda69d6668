// SPDX-License-Identifier: BSD-2-Clause
// A NavCom log to RINEX observation and navigation files, from a decoding session's
// observation epochs: every valid satellite block becomes an observation (first epochs
// included), its phase flagged for loss of lock by the observation epoch's rule (the lock
// counter changed, or the satellite's arc starts or restarts after more than a minute), the
// flags of epochs left out carried to the next one written; the receiver clock offset of the
// single-point solution goes on the epoch line.
//
// The observation body is kept in a scratch file next to the output while the log is
// decoded, so memory stays flat however long the log, and both files are written under a
// temporary name and renamed when whole: no half-written file ever stands under a final name.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/gps_time.h"
#include "kestrel/kestrel.h"
#include "pipeline/session.h"
#include "rinex_out/rinex_names.h"
#include "rinex_out/rinex_obs_writer.h"
#include "rinex_out/rinex_station.h"
#include "sitelog/site_log.h"

namespace kestrel {

struct RinexRunOptions {
    RinexVersion version = RinexVersion::k304;
    std::string input;        // the log; "-" reads standard input
    std::string obsPath;      // the observation file; empty: the RINEX name in `directory`; "-": standard output
    std::string navPath;      // the navigation file; empty: the RINEX name in `directory`
    std::string directory;    // folder of the default names; empty: the current folder
    bool writeNav = true;
    bool trackedOnly = false;        // navigation records only for satellites observed
    bool clockCorrection = true;     // solve position and receiver clock per epoch
    bool doppler = false;            // write the code-derived L1 Doppler
    bool reportL2Slips = true;       // decoder messages about L2 slips
    bool verbose = false;            // the frame parser's length diagnostics
    std::optional<int> week;         // GPS week of the first epoch, for logs whose frames carry none
    std::optional<GpsTime> from;     // first epoch kept (inclusive)
    std::optional<GpsTime> to;       // last epoch kept (inclusive)
    // Keep epochs whose time of week is a multiple; 0 all. The header's INTERVAL and the file
    // names give the spacing of the epochs written, which follows the log's own.
    double intervalS = 0.0;
    // Consecutive logs of one receiver read as one stream (in this order) instead of `input`:
    // the decoder's state, lock counters and ephemerides carry from one log into the next,
    // epochs not later than the last one written are dropped.
    std::vector<std::string> spliceInputs;
    double periodS = 0.0;            // > 0: one pair of files per period of GPS time (1 h, 1 d)
    bool dryRun = false;             // decode and name the files, write none (clock correction off)
    bool noClobber = false;          // an existing file of a name is an error, not replaced
    // The path of each file, given the start the caller set for it (RinexPeriods), its first
    // epoch otherwise, and the data interval; none: the RINEX names in `directory`.
    std::function<std::string(RinexFileKind kind, const GpsTime& start, double intervalS)> fileName;

    bool gzip = false;               // compress both files (names end in .gz)

    // Header facts: what the user gave, then the site log, then the receiver's own records
    // (see rinex_station.h). The marker defaults to the log's name.
    std::string program;             // e.g. "kestrel 1.0.0"
    StationOptions station;
    std::shared_ptr<const SiteLog> siteLog;
    std::vector<std::string> comments;
    std::optional<CalendarTime> createdUtc;          // none: the time of the run
};

// The observation file's name that stands for standard output.
inline constexpr const char* kStandardOutputName = "-";

struct RinexRunResult {
    std::string obsPath;          // final names of the (last) files written, or named in a dry run
    std::string navPath;
    std::vector<std::string> files;  // every file written (or named), in order
    int32_t epochs = 0;           // epochs written
    int32_t satellites = 0;       // distinct satellites observed
    int32_t observations = 0;     // satellite records written
    int32_t l1Slips = 0;          // observations whose L1 phase slipped (the observation epoch's rule)
    int32_t l2Slips = 0;
    int32_t ephemerides = 0;      // navigation records written
    int32_t epochsDropped = 0;    // epochs outside the window, decimated, or not later than the last
    int32_t epochsNotAdvancing = 0;  // of which not later than the epoch written before them
    std::vector<std::string> replaced;  // files written over a file of the same name
    int32_t solutions = 0;        // epochs with a single-point solution
    int32_t receiverFixes = 0;    // the receiver's own valid 3-D fixes (PVT records)
    bool aborted = false;         // stopped by Abort: the files hold what came before
    bool decodedAnything = false;  // an epoch or an ephemeris was decoded, kept or not
    bool noEpochs = false;         // failed for want of an epoch to write
    // What the user should know although the files were written: header fields cut or with
    // characters replaced, an interval the data do not follow, facts that disagree. Each once.
    std::vector<std::string> warnings;
};

// Converts one log. 0 on success; 1 with the reason in the error text (the input cannot be
// opened or read, the log's GPS weeks are missing or inconsistent and no week was given, a
// week was given for frames that carry another, an output cannot be written, or the
// conversion was aborted: then the files are still written, whole, with what was converted,
// and `result.aborted` is set). Messages and progress go to `callbacks` as in ConvertFile.
int32_t ConvertToRinex(const RinexRunOptions& options, const CallbackBlock& callbacks, RinexRunResult& result);

// The RINEX files of a live stream: the session's epochs and ephemerides collected as a
// conversion collects them (the same epoch rules, the same writers), written as a pair each time
// the caller closes a period. With `periodS` set, each navigation file holds the ephemerides
// whose broadcast fit reaches into its period, so that every period stands alone.
class RinexPeriods {
public:
    // Null with the reason when the scratch files cannot be made in the output folder.
    static std::unique_ptr<RinexPeriods> Open(const RinexRunOptions& options, std::string& error);
    ~RinexPeriods();

    ObservationSink& sink();
    bool HasEpochs() const;
    // The start that names the next files (`RinexRunOptions::fileName`).
    void SetPeriodStart(const GpsTime& start);
    // The stream's time went back (a receiver reset): the epochs that come are collected
    // although they are not later than those written before.
    void ForgetLastEpoch();
    // Writes the files of the epochs collected since the last call and starts afresh; `files`
    // receives their paths. False with the reason in the error text (nothing collected is kept).
    bool Close(std::vector<std::string>& files);

private:
    struct State;
    explicit RinexPeriods(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

// The default marker name of a log: the letters and digits of its file name before the first
// dot, at most 60 characters; "UNKN" when there are none, and for standard input and logs
// read from a pipe or device (whose names, /dev/fd/63 and the like, name no station).
std::string MarkerNameFromLog(const std::string& input);

}  // namespace kestrel
