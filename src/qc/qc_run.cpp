// SPDX-License-Identifier: BSD-2-Clause
#include "qc/qc_run.h"

#include "common/error_text.h"
#include "pipeline/log_input.h"
#include "pipeline/session.h"
#include "qc/bins.h"
#include "qc/clock_position.h"
#include "qc/satellites.h"
#include "qc/sky_watch.h"
#include "qc/span.h"
#include "receiver/receiver_records.h"

namespace kestrel {
namespace {

// The epochs the check keeps, handed to the figures of the span, the satellites, the sky and
// the clock and position.
class Analyser : public ObservationSink {
public:
    Analyser(const QcOptions& options, QcReport& report)
        : options_(options), report_(report), selector_(options.window), sky_(options.maskDeg, options.reference, report) {}

    bool OnEpoch(const ObservationEpoch& decoded) override {
        if (!decoded.weekKnown) report_.weekKnown = false;
        ObservationEpoch epoch = decoded;
        switch (selector_.Select(epoch)) {
            case EpochSelector::Verdict::kNotLater:  // repeated or out of order, a finding of its own
                ++report_.epochsOutOfOrder;
                return true;
            case EpochSelector::Verdict::kOutsideWindow:
                ++report_.epochsOutsideWindow;
                return true;
            case EpochSelector::Verdict::kKept:
                break;
        }
        if (epoch.satCount == 0) return true;
        span_.AddEpoch(epoch.time, report_);
        const int32_t bin = bins_.Index(epoch.time.Total(), report_.plot);
        ++report_.plot.epochsPerBin[static_cast<std::size_t>(bin)];
        uint64_t present = 0;  // bit PRN: observed (PRN 32 included)
        for (int i = 0; i < epoch.satCount; ++i) {
            const SatelliteObservation& sat = epoch.sats[static_cast<std::size_t>(i)];
            present |= uint64_t{1} << sat.prn;
            satellites_.Observe(sat, epoch.time, bin, report_);
        }
        sky_.AddEpoch(epoch.time, present, bins_, report_);
        clockPosition_.AddEpoch(epoch, report_);
        if (epoch.positionM) sky_.AddSolution(*epoch.positionM, bins_, report_);
        return true;
    }

    bool OnEphemeris(const DecodedEphemeris& e) override {
        satellites_.AddEphemeris(e, report_);
        sky_.AddEphemeris(e.record, e.health == 0);
        return true;
    }

    // The receiver's own fixes inside the window, for the distance to the solutions.
    bool OnExtraRecord(const uint8_t* frame, int32_t length) override {
        ++report_.parser.receiverRecords;
        if (const auto fix = FixWithin(frame, length, options_.window.from, options_.window.to)) {
            clockPosition_.AddReceiverFix(*fix, report_);
        }
        return true;
    }

    // The log has ended: the report's figures are completed, the decoder's counts copied.
    void Finish(const DecodeCounts& counts) {
        sky_.Finish(bins_, report_);
        satellites_.Finish(sky_, report_);
        span_.Finish(options_.window.intervalS, report_);
        clockPosition_.Finish(report_);
        if (options_.plotSamples) satellites_.PlotPoints(SkyWatch::PlotDirections(report_), report_);
        QcParserCounts& p = report_.parser;
        p.checksumFailures = counts.parser.checksumFailures;
        p.lengthFailures = counts.parser.lengthFailures;
        p.resyncs = counts.parser.resyncs;
        p.bufferOverruns = counts.parser.bufferOverruns;
        p.otherRecords = counts.parser.otherRecords;
        p.invalidPrnBlocks = counts.invalidPrnBlocks;
        p.noTimeStep = counts.noTimeStepBlocks;
        p.weekFaults = counts.weekFaults;
    }

private:
    const QcOptions& options_;
    QcReport& report_;
    EpochSelector selector_;
    VisibilityBins bins_;
    SpanWatch span_;
    SatelliteWatch satellites_;
    SkyWatch sky_;
    ClockPositionWatch clockPosition_;
};

}  // namespace

class QcCheck::Impl : public Analyser {
public:
    using Analyser::Analyser;
};

QcCheck::QcCheck(const QcOptions& options, QcReport& report) : impl_(std::make_unique<Impl>(options, report)) {}
QcCheck::~QcCheck() = default;
ObservationSink& QcCheck::sink() { return *impl_; }
void QcCheck::Finish(const DecodeCounts& counts) { impl_->Finish(counts); }

int32_t AnalyseLog(const QcOptions& options, const CallbackBlock& callbacks, QcReport& report) {
    report = QcReport{};
    const LogInput log(options.input);
    report.file = log.name();
    if (log.file() == nullptr) {
        report.status = QcStatus::kUnreadable;
        report.error = format_error_text(kCannotOpenFormat, options.input.c_str());
        return 1;
    }
    Analyser analyser(options, report);
    // Clock correction fills the ephemeris store and solves every epoch; a log whose frames
    // carry no week is checked in an unknown week.
    SessionOptions setup;
    setup.decoder = {0, options.reportL2Slips ? 1 : 0, 1, options.parserNotices ? 1 : 0};
    setup.tolerateWeekFaults = true;
    setup.extraRecords = ReceiverInfoRecords();
    setup.extraRecordCount = ReceiverInfoRecordCount();
    DecodingSession session(setup, callbacks, nullptr, &analyser);
    int32_t status = 0;
    const RunEnd end = session.IsOpen() ? session.ReadLog(log.file(), report.file) : RunEnd::kReadFailed;
    if (end == RunEnd::kReadFailed) {
        report.status = QcStatus::kUnreadable;
        report.error = error_text();
        status = 1;
    } else if (end == RunEnd::kAborted) {
        report.status = QcStatus::kAborted;
        report.error = kUserQuitText;
        set_error_text(kUserQuitText);
        status = 1;
    }
    analyser.Finish(session.Counts());
    return status;
}

}  // namespace kestrel
