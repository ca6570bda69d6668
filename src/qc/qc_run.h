// SPDX-License-Identifier: BSD-2-Clause
// The quality check of one NavCom log, from a decoding session's observation epochs (clock
// correction on, so that the ephemeris store is filled and every epoch solved). Every valid
// satellite block counts as an observation, first epochs included, and slips are counted by the
// observation epoch's rule, as in a RINEX file. Figures are accumulated as the log is read;
// only the bounded samples of the pictures are kept.
#pragma once

#include <array>
#include <cstdint>
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

}  // namespace kestrel
