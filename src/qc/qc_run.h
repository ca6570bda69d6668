// SPDX-License-Identifier: BSD-2-Clause
// The quality check of one NavCom log, from a decoding session's observation epochs (clock
// correction on, so that the ephemeris store is filled and every epoch solved). Every valid
// satellite block counts as an observation, first epochs included, and slips are counted by the
// observation epoch's rule, as in a RINEX file. Figures are accumulated as the log is read;
// only the bounded samples of the pictures are kept.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "kestrel/kestrel.h"
#include "pipeline/epoch_selector.h"
#include "qc/qc_report.h"

namespace kestrel {

constexpr double kDefaultMaskDeg = 10.0;

struct QcOptions {
    std::string input;  // the log; "-" reads standard input
    EpochWindow window;
    double maskDeg = kDefaultMaskDeg;
    std::optional<std::array<double, 3>> reference;  // Earth-fixed X, Y, Z, m
    bool reportL2Slips = true;     // decoder messages about L2 slips
    bool parserNotices = false;    // the frame parser's notices about rejected frames (verbose decoder)
    // Complete the pictures' samples (directions of every bin and point, multipath of every
    // point): a satellite position each, read by the pictures only.
    bool plotSamples = true;
};

// Checks one log. 0 when it was read to its end (whatever it held); 1 when it could not be
// opened or read, or the run was aborted ("User Quit"): the error text says which, and the
// report holds what was found before. Messages and progress go to `callbacks` as in
// ConvertFile.
int32_t AnalyseLog(const QcOptions& options, const CallbackBlock& callbacks, QcReport& report);

class ObservationSink;
struct DecodeCounts;

// The same check fed by a decoding session the caller runs (a live stream cut into periods):
// the session's epochs, ephemerides and receiver records go to sink(), and Finish completes the
// report. The session must have clock correction on and the receiver's records as extra
// records, as AnalyseLog's has. `options` and `report` outlive the check.
class QcCheck {
public:
    QcCheck(const QcOptions& options, QcReport& report);
    ~QcCheck();
    QcCheck(const QcCheck&) = delete;
    QcCheck& operator=(const QcCheck&) = delete;

    ObservationSink& sink();
    // The epochs have ended: the figures are completed and `counts` (the decoder's, for the
    // epochs fed) copied into the report.
    void Finish(const DecodeCounts& counts);

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace kestrel
