// SPDX-License-Identifier: BSD-2-Clause
// A decoding session: one run of the NavCom decoder from start to end, and the one place that
// sets up and tears down everything the decoder keeps process-wide. Creating a session resets
// the abort counter, empties the ephemeris store, forgets the last single-point solution
// (unless told to keep it, as the plug-in's conversions do), opens decoder port 0 with its
// options, installs the host's callbacks and, for the observation outputs, the decode
// observer; destroying it removes the observer and puts back the callbacks it found.
//
// Bytes go in either as they arrive (Push, then Finish when the source ends: a live receiver)
// or a whole log at a time (ReadLog: chunks, progress, the abort counter). What they decode to
// comes out through two kinds of sink: the ThreadBuf records the plug-in writes into its OBX
// and ephemeris files, and ObservationEpochs with ephemerides for every other output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "kestrel/kestrel.h"
#include "navcom/decode_observer.h"
#include "navcom/port_state.h"
#include "pipeline/observation_epoch.h"
#include "threadbuf/threadbuf.h"

namespace kestrel {

constexpr int32_t kDecoderPort = 0;
constexpr std::size_t kChunkBytes = 2048;  // bytes read from a log at a time

// Where the single-point solver starts.
enum class SolverStart {
    kFresh,     // from no solution: the run does not depend on what the process did before
    kContinue,  // from the last solution of the run before (the plug-in's conversions)
};

struct SessionOptions {
    // The port's switches: flag epochs, report L2 slips, clock correction, verbose decoder.
    OptionRecord decoder = {0, 1, 1, 0};
    SolverStart solver = SolverStart::kFresh;
    // Placing the frames in full GPS time (observation sinks only): the week of the first
    // epoch, rolled over where the time of week starts again, for logs whose frames carry no
    // week (a frame that carries another ends the run, refused); none: the frames' own weeks.
    std::optional<int> week;
    // Without a week given: false ends the run at the first frame that carries no week or whose
    // week jumps (the error text says which and asks for the week); true counts a log whose
    // first frame carries none from week 0 (ObservationEpoch::weekKnown false) and skips and
    // counts the frames that cannot be placed.
    bool tolerateWeekFaults = false;
    // A live stream never ends for one frame: true skips and counts (as weekFaults) a frame
    // whose week jumps, as a damaged frame that passed its checksum, while a missing week
    // still ends the run unless tolerateWeekFaults is set.
    bool skipWeekJumps = false;
    // Records the decoder's record table does not hold whose whole frames (checksum checked)
    // go to the observation sink's OnExtraRecord: the receiver's identification and position
    // records, for the command's headers and checks. None for the plug-in, whose outputs so
    // never depend on them. The table must outlive the session.
    const RecordDef* extraRecords = nullptr;
    int32_t extraRecordCount = 0;
};

// Takes the ThreadBuf after every record a handler queued (the plug-in's OBX and ephemeris
// files).
class RecordSink {
public:
    virtual ~RecordSink() = default;
    // False ends the run at once (an output could not be written; the error text says why).
    virtual bool Collect(const uint8_t* threadBuf) = 0;
};

// Takes every MEASUREMENT frame as an observation epoch and every ephemeris.
class ObservationSink {
public:
    virtual ~ObservationSink() = default;
    // False ends the run at once (the error text says why).
    virtual bool OnEpoch(const ObservationEpoch& epoch) = 0;
    // Every EPHEMERIS frame with a GPS PRN, whatever the satellite's health.
    virtual bool OnEphemeris(const DecodedEphemeris& ephemeris) = 0;
    // Every whole frame of a record in SessionOptions::extraRecords, `length` bytes from the
    // first sync byte through the checksum, in the order of the log.
    virtual bool OnExtraRecord(const uint8_t* frame, int32_t length) {
        (void)frame;
        (void)length;
        return true;
    }
};

// What the session counted, read at any time: the frame parser's faults and the satellite
// blocks and frames the observation epochs leave out.
struct DecodeCounts {
    ParserCounts parser;
    int64_t invalidPrnBlocks = 0;  // satellite blocks naming no GPS satellite
    int64_t noTimeStepBlocks = 0;  // satellite blocks whose time did not move on
    int64_t weekFaults = 0;        // frames not placed in GPS time (tolerateWeekFaults, skipWeekJumps)
};

enum class RunEnd {
    kComplete,    // the whole input was read and decoded
    kAborted,     // Abort was called: "User Quit" is in the error text
    kReadFailed,  // the input could not be read to its end: "Error: Unable to read <name>: <reason>"
    kSinkFailed,  // a sink ended the run; its text is in the error text
    kRefused,     // the log's frames could not be placed in GPS time; the error text says why
};

class DecodingSession {
public:
    // Sets everything up as described above. One session lives at a time: while one does, a
    // second fails to open. Check IsOpen(); when it is false the error text says why and the
    // session decodes nothing.
    DecodingSession(const SessionOptions& options, const CallbackBlock& callbacks, RecordSink* records,
                    ObservationSink* observations);
    ~DecodingSession();
    DecodingSession(const DecodingSession&) = delete;
    DecodingSession& operator=(const DecodingSession&) = delete;

    bool IsOpen() const;

    // From the next frame on, the decoder solves each epoch's position and clock, or stops
    // solving them: an output that needs solutions for a while only (a station's position
    // gathered over its first minutes) stops paying for them. The observations are the same.
    void SetClockCorrection(bool on);

    // Decodes bytes as they arrive, any number at a time; the sinks are called before it
    // returns. False once the run has ended (a sink ended it, or the frames could not be placed
    // in time): End() says which and the error text why; later bytes are ignored.
    bool Push(const uint8_t* bytes, std::size_t count);
    // The source has ended: the bytes of unfinished or rejected frames still waiting in the
    // port are examined, and what they give goes to the sinks. False as for Push.
    bool Finish();

    // Reads `input` to its end through Push in chunks of kChunkBytes: the abort counter is
    // tested before each chunk and progress (bytes read, the input's length or 0 when it cannot
    // tell) reported after each, then (length, length) once at the end. `name` is the log's name
    // in messages. With `lastOfStream` false the log is one of several read one after the other
    // as one stream (logs of one receiver spliced): a frame still open at its end goes on in
    // the next, so Finish is left for the last.
    RunEnd ReadLog(std::FILE* input, const std::string& name, bool lastOfStream = true);

    // What messages call the source of the bytes pushed next (ReadLog names its log itself).
    void NameSource(const std::string& name);

    // How the run ended so far: kComplete while it goes on.
    RunEnd End() const { return end_; }
    // Bytes read by ReadLog from the log it read last.
    long long BytesRead() const { return bytesRead_; }
    const DecodeCounts& Counts() const;

private:
    class EpochBuilder;

    bool Collect();
    bool ObserverGoesOn();
    void Stop(RunEnd end);

    SessionOptions options_;
    const CallbackBlock& callbacks_;
    const CallbackBlock* previousCallbacks_ = nullptr;
    RecordSink* records_;
    ObservationSink* observations_;
    std::unique_ptr<EpochBuilder> builder_;
    bool open_ = false;
    RunEnd end_ = RunEnd::kComplete;
    long long bytesRead_ = 0;
    mutable DecodeCounts counts_;
    uint8_t threadBuf_[kThreadBufMemoryBytes];
};

// True once Abort was called since the session began (a live caller tests it between reads).
bool AbortRequested();

}  // namespace kestrel
