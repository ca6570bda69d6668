// SPDX-License-Identifier: BSD-2-Clause
// The observations of one RINEX file while the log is read: each epoch packed into a scratch
// file, so that memory stays flat however long the log, and the facts the file's header needs
// (first and last epoch, interval, satellites and their counts, the median position) counted
// as the epochs come.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <vector>

#include "common/gps_prn.h"
#include "common/gps_time.h"
#include "common/run_figures.h"
#include "pipeline/observation_epoch.h"
#include "rinex_out/rinex_obs_writer.h"
#include "files/output_file.h"
#include "rinex_run/run_files.h"

namespace kestrel {

// What one file, or a whole run, holds.
struct ObsTotals {
    int32_t epochs = 0;
    int32_t observations = 0;  // satellite records
    int32_t l1Slips = 0;       // observations whose L1 phase slipped (the slip rule)
    int32_t l2Slips = 0;
    int32_t solutions = 0;     // epochs with a single-point solution

    ObsTotals& operator+=(const ObsTotals& o);
};

class ObsBody {
public:
    // `scratch`: where the epochs wait (null in a dry run: only the facts are kept).
    // `doppler`: the L1 Doppler goes into the file.
    ObsBody(std::FILE* scratch, bool doppler) : scratch_(scratch), doppler_(doppler) {}

    // Adds an epoch with satellites that the file keeps.
    void Add(const ObservationEpoch& epoch);

    // The epochs added, after `header`, into `out`. False when `out` took no more (its reason
    // says why), the scratch file could not be read back, or the writer refused the header or
    // an epoch.
    bool Write(RunOutput& out, const RinexObsHeader& header);

    // Starts the next file's observations afresh. False when the scratch file could not be
    // emptied.
    bool Clear();

    // The system's errno of the first write the scratch file did not take; 0 while it took all.
    int scratchError() const { return scratchError_; }
    // Flushes the scratch file: 0 when everything written reached it, else why not (errno).
    int FlushScratch();

    const ObsTotals& totals() const { return totals_; }
    bool empty() const { return totals_.epochs == 0; }
    const GpsTime& first() const { return first_; }
    const GpsTime& last() const { return last_; }
    double MostFrequentSpacingS() const { return spacings_.MostFrequentS(); }
    bool anyP1() const { return anyP1_; }
    bool Observed(int prn) const { return IsGpsPrn(prn) && counts_[static_cast<std::size_t>(prn)].prn != 0; }
    std::vector<RinexSatCount> SatCounts() const;
    std::optional<std::array<double, 3>> MedianPosition() const { return AxisMedian(positions_.samples()); }

private:
    static constexpr std::size_t kPositionSamples = 4096;  // solutions kept for the median position

    std::FILE* scratch_;
    bool doppler_;
    int scratchError_ = 0;
    ObsTotals totals_;
    GpsTime first_;
    GpsTime last_;
    SpacingCounter spacings_;
    bool anyP1_ = false;
    std::array<RinexSatCount, kGpsPrnSlots> counts_{};
    EvenSampler<std::array<double, 3>, kPositionSamples> positions_;
};

}  // namespace kestrel
