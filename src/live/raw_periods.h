// SPDX-License-Identifier: BSD-2-Clause
// The raw output of the live command: the bytes exactly as received, one file per period of
// the data's own GPS time. The cutter finds where periods change (at the first byte of the
// MEASUREMENT frame of a period's first epoch: a frame that arrives across reads goes whole
// into the period of its epoch); the writer hands every part of every read to the operating
// system at once, with no buffering of its own.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "common/gps_time.h"
#include "live/frame_scanner.h"
#include "live/period_clock.h"
#include "pipeline/epoch_placer.h"

namespace kestrel::live {

// The epoch of a MEASUREMENT frame in full GPS time, placed as the RINEX conversion places
// it (the frame's week, or the week given, rolled over where the time of week starts again);
// none for other frames and for frames that cannot be placed.
class FrameEpochs {
public:
    explicit FrameEpochs(std::optional<int> week = std::nullopt) : placer_(week) {}
    std::optional<GpsTime> operator()(const ScannedFrame& frame);

private:
    EpochPlacer placer_;
};

struct PeriodCut {
    uint64_t offset = 0;  // stream offset of the first byte of the epoch's MEASUREMENT frame
    PeriodClock::Change change = PeriodClock::Change::kFirst;  // never kSame
    GpsTime periodStart;
    GpsTime epoch;
    // The frame's bytes that came before the chunk that completed it: they went out with
    // earlier chunks and move into the new period's file.
    std::vector<uint8_t> carried;
};

class PeriodCutter {
public:
    using EpochFn = std::function<std::optional<GpsTime>(const ScannedFrame&)>;

    PeriodCutter(int64_t periodSeconds, EpochFn epochOf)
        : clock_(periodSeconds), epochOf_(std::move(epochOf)) {}

    // Scans the next chunk of the stream and puts the period changes that its MEASUREMENT
    // frames make into `cuts`, in stream order (cleared first). `onFrame`, when given, sees
    // every frame as well, before its cut.
    void Feed(std::span<const uint8_t> chunk, std::vector<PeriodCut>& cuts,
              const FrameScanner::FrameFn& onFrame = nullptr);

    // The stream has ended: the cuts of frames found only now (see FrameScanner::End).
    void End(std::vector<PeriodCut>& cuts, const FrameScanner::FrameFn& onFrame = nullptr);

    const PeriodClock& clock() const { return clock_; }
    const FrameScanner& scanner() const { return scanner_; }

private:
    // The cut a frame makes, if any; `chunkStart` is the stream offset of the chunk that
    // completed it.
    void Observe(const ScannedFrame& frame, uint64_t chunkStart, std::vector<PeriodCut>& cuts);

    FrameScanner scanner_;
    PeriodClock clock_;
    EpochFn epochOf_;
};

// Makes, names and closes the raw period files for the writer: the caller decides the names,
// the temporaries and the renames.
class RawFileMaker {
public:
    virtual ~RawFileMaker() = default;
    // A file open for writing, for the period that starts at `periodStart`, or for the bytes
    // that come before the stream's first epoch (none). -1 when it cannot be made: the maker
    // tells the user; the period's bytes are then dropped up to the next period.
    virtual int Open(const std::optional<GpsTime>& periodStart) = 0;
    // The stream's first epoch has placed the file opened without a period.
    virtual void Assign(int fd, const GpsTime& periodStart) = 0;
    // No more bytes go into the file: its period ended, or the stream did.
    virtual void Close(int fd) = 0;
    // A write to the file failed (errno `error`); said once per file, which takes nothing more.
    virtual void WriteFailed(int fd, int error) = 0;
};

class RawPeriodWriter {
public:
    explicit RawPeriodWriter(RawFileMaker& maker) : maker_(maker) {}

    // Writes a chunk of the stream with the cuts found in it: the part before each cut, the
    // carried bytes and the rest, each with one write of its own to the file of its period.
    void Write(std::span<const uint8_t> chunk, const std::vector<PeriodCut>& cuts);

    // Closes the open file, if any.
    void Finish();

    uint64_t streamBytes() const { return streamEnd_; }
    uint64_t droppedBytes() const { return dropped_; }  // bytes no file could take

private:
    void Append(std::span<const uint8_t> bytes);
    void Switch(const PeriodCut& cut);

    RawFileMaker& maker_;
    int fd_ = -1;
    bool failed_ = false;       // the open period's file failed or could not be made
    bool havePeriod_ = false;   // the open file's period is known
    std::optional<GpsTime> period_;  // period of the bytes to come, once known
    uint64_t streamEnd_ = 0;    // stream offset after the last byte given
    uint64_t fileEnd_ = 0;      // stream offset after the last byte in the open file
    uint64_t fileBytes_ = 0;    // bytes in the open file
    uint64_t dropped_ = 0;
};

}  // namespace kestrel::live
