// SPDX-License-Identifier: BSD-2-Clause
#include "live/raw_periods.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "common/bytes.h"
#include "navcom/record_layout.h"

namespace kestrel::live {

namespace measurement = layout::measurement;

std::optional<GpsTime> FrameEpochs::operator()(const ScannedFrame& frame) {
    if (!frame.decoded || frame.id() != measurement::kId) return std::nullopt;
    const uint8_t* p = frame.bytes.data();
    const double sow = le_u32(p + measurement::kTimeOffset) * layout::kTimeUnitS;
    GpsTime time;
    if (placer_.Place(le_u16(p + measurement::kWeekOffset), sow, time) != EpochPlacer::Outcome::kPlaced) {
        return std::nullopt;
    }
    return time;
}

void PeriodCutter::Feed(std::span<const uint8_t> chunk, std::vector<PeriodCut>& cuts,
                        const FrameScanner::FrameFn& onFrame) {
    cuts.clear();
    const uint64_t chunkStart = scanner_.streamBytes();
    scanner_.Feed(chunk, [&](const ScannedFrame& frame) {
        if (onFrame) onFrame(frame);
        Observe(frame, chunkStart, cuts);
    });
}

void PeriodCutter::End(std::vector<PeriodCut>& cuts, const FrameScanner::FrameFn& onFrame) {
    cuts.clear();
    const uint64_t end = scanner_.streamBytes();
    scanner_.End([&](const ScannedFrame& frame) {
        if (onFrame) onFrame(frame);
        Observe(frame, end, cuts);
    });
}

void PeriodCutter::Observe(const ScannedFrame& frame, uint64_t chunkStart, std::vector<PeriodCut>& cuts) {
    const std::optional<GpsTime> epoch = epochOf_(frame);
    if (!epoch) return;
    const PeriodClock::Change change = clock_.Observe(*epoch);
    if (change == PeriodClock::Change::kSame) return;
    PeriodCut cut{frame.offset, change, clock_.periodStart(), *epoch, {}};
    if (frame.offset < chunkStart) {
        const auto before = static_cast<std::size_t>(chunkStart - frame.offset);
        cut.carried.assign(frame.bytes.begin(), frame.bytes.begin() + static_cast<std::ptrdiff_t>(before));
    }
    cuts.push_back(std::move(cut));
}

void RawPeriodWriter::Write(std::span<const uint8_t> chunk, const std::vector<PeriodCut>& cuts) {
    const uint64_t chunkStart = streamEnd_;
    uint64_t at = chunkStart;
    for (const PeriodCut& cut : cuts) {
        if (cut.offset > at) {
            Append(chunk.subspan(static_cast<std::size_t>(at - chunkStart), static_cast<std::size_t>(cut.offset - at)));
            at = cut.offset;
        }
        Switch(cut);
    }
    Append(chunk.subspan(static_cast<std::size_t>(at - chunkStart)));
}

void RawPeriodWriter::Switch(const PeriodCut& cut) {
    if (cut.change == PeriodClock::Change::kFirst && !havePeriod_) {
        // The bytes before the first epoch belong to its period.
        period_ = cut.periodStart;
        havePeriod_ = true;
        if (fd_ >= 0) maker_.Assign(fd_, cut.periodStart);
        return;
    }
    // The carried bytes are the open file's last bytes (no cut falls inside a frame): they
    // leave it for the new period's file.
    // Those of them that a failed file did not take were counted as dropped: they are not.
    const uint64_t notInFile = streamEnd_ - std::max(fileEnd_, std::min(cut.offset, streamEnd_));
    dropped_ -= std::min(dropped_, notInFile);
    if (fd_ >= 0) {
        const uint64_t inFile = fileEnd_ > cut.offset ? fileEnd_ - cut.offset : 0;
        if (inFile > 0 && inFile <= fileBytes_ &&
            ftruncate(fd_, static_cast<off_t>(fileBytes_ - inFile)) == 0) {
            fileBytes_ -= inFile;
            fileEnd_ = cut.offset;
        }
        maker_.Close(fd_);
    }
    fd_ = -1;
    failed_ = false;
    period_ = cut.periodStart;
    havePeriod_ = true;
    fileBytes_ = 0;
    fileEnd_ = cut.offset;
    streamEnd_ = cut.offset;
    Append(cut.carried);
}

void RawPeriodWriter::Append(std::span<const uint8_t> bytes) {
    if (bytes.empty()) return;
    if (fd_ < 0 && !failed_) {
        fd_ = maker_.Open(period_);
        if (fd_ < 0) failed_ = true;
        fileEnd_ = streamEnd_;
        fileBytes_ = 0;
    }
    streamEnd_ += bytes.size();
    if (failed_) {
        dropped_ += bytes.size();
        return;
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            failed_ = true;
            maker_.WriteFailed(fd_, n < 0 ? errno : ENOSPC);
            dropped_ += bytes.size() - done;
            break;
        }
        done += static_cast<std::size_t>(n);
        fileBytes_ += static_cast<uint64_t>(n);
        fileEnd_ += static_cast<uint64_t>(n);
    }
}

void RawPeriodWriter::Finish() {
    if (fd_ >= 0) maker_.Close(fd_);
    fd_ = -1;
    failed_ = false;
}

}  // namespace kestrel::live
