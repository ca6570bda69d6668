// SPDX-License-Identifier: BSD-2-Clause
#include "qc/qc_run.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <deque>
#include <limits>
#include <numbers>
#include <unordered_map>
#include <vector>

#include "common/error_text.h"
#include "navcom/decode_observer.h"
#include "navcom/frame_parser.h"
#include "navcom/record_layout.h"
#include "plugin/feed.h"
#include "plugin/plugin.h"
#include "positioning/eph_store.h"
#include "positioning/single_point.h"
#include "qc/clock_steps.h"
#include "qc/multipath.h"
#include "qc/parser_messages.h"
#include "qc/sky.h"
#include "receiver/receiver_records.h"
#include "threadbuf/threadbuf.h"

namespace kestrel {
namespace {

constexpr double kSecondsPerMinute = 60.0;
constexpr int kSlots = kQcLastPrn + 1;  // indexed by PRN
constexpr std::size_t kPlotPoints = 16384;    // observations kept for the scatter plots
constexpr std::size_t kClockSamples = 4096;   // clock offsets kept for the clock plot
constexpr std::size_t kPositionSamples = 4096;  // solutions kept for the median and scatter
constexpr int32_t kVisibilityBins = 1024;
constexpr double kFirstBinWidthS = 1.0;
constexpr std::size_t kGapCandidates = 10000;
constexpr std::size_t kRecentEphemerisKeys = 8;  // per satellite, to count distinct ones
constexpr double kGapFactor = 2.0;  // a gap is longer than twice the interval
constexpr double kSpacingSlackS = 1e-6;
constexpr double kScatterQuantile = 0.95;
constexpr float kNoValue = std::numeric_limits<float>::quiet_NaN();
constexpr const char* kCannotOpen = "Error: Unable to open %s";
constexpr const char* kUserQuit = "User Quit";

// One satellite's running figures.
struct SatState {
    bool pendingL1 = false;  // lock lost since its last kept observation
    bool pendingL2 = false;
    bool pendingNewArc = false;  // first seen, or back after a gap, since then
    int64_t observations = 0;
    int64_t withL2 = 0;
    int64_t l1Slips = 0, l2Slips = 0, ionosphereSlips = 0;
    double strengthSum = 0.0;
    bool elevationKnown = false;
    bool expected = false;   // stood above the mask at an epoch
    int64_t missing = 0;
    // The open arc of the multipath combinations.
    ArcMoments mp1, mp2;
    uint32_t arcId = 0;
    bool arcSampled = false;  // a plot point of the open arc was kept
    RmsSum mp1Rms, mp2Rms;
    int32_t arcs = 0, shortArcs = 0;
    IonosphereWatch ionosphere;
    RmsSum ionosphereRate;  // m/min
    // Ephemerides.
    int32_t ephemerides = 0;
    bool unhealthy = false;
    struct Key {
        int32_t toe, iode, week;
    } recent[kRecentEphemerisKeys]{};
    std::size_t recentCount = 0, recentNext = 0;
};

struct RawPoint {
    double timeS;
    uint32_t arcId;
    uint8_t prn;
    float strength;
    float mp1FromFirst;  // MP less the first value of its arc; NaN without L2
    float mp2FromFirst;
};

struct ArcMean {
    float mp1;  // mean less the arc's first value
    float mp2;
    bool kept;  // long enough to count
};

struct TimedPosition {
    double timeS;
    std::array<double, 3> xyz;
};

// Visibility bins that double their width when the log outgrows them.
class Bins {
public:
    // Bin of `timeS`; the first call fixes the origin.
    int32_t Index(double timeS, QcPlotData& plot) {
        if (plot.binWidthS == 0.0) {
            plot.binOriginS = std::floor(timeS);
            plot.binWidthS = kFirstBinWidthS;
            plot.bins.assign(kSlots, {});
            plot.epochsPerBin.assign(kVisibilityBins, 0);
        }
        auto index = static_cast<int64_t>(std::floor((timeS - plot.binOriginS) / plot.binWidthS));
        while (index >= kVisibilityBins) {
            Merge(plot);
            index = static_cast<int64_t>(std::floor((timeS - plot.binOriginS) / plot.binWidthS));
        }
        index = std::max<int64_t>(index, 0);
        plot.binCount = std::max(plot.binCount, static_cast<int32_t>(index) + 1);
        return static_cast<int32_t>(index);
    }

    static QcPlotData::Bin& Row(QcPlotData& plot, int prn, int32_t bin) {
        auto& row = plot.bins[static_cast<std::size_t>(prn)];
        if (row.empty()) row.assign(kVisibilityBins, {});
        return row[static_cast<std::size_t>(bin)];
    }

private:
    static uint16_t Add16(uint16_t a, uint16_t b) {
        const unsigned sum = static_cast<unsigned>(a) + b;
        return static_cast<uint16_t>(std::min(sum, 0xFFFFu));
    }

    static void Merge(QcPlotData& plot) {
        for (auto& row : plot.bins) {
            if (row.empty()) continue;
            for (int32_t i = 0; i < kVisibilityBins / 2; ++i) {
                const QcPlotData::Bin& a = row[static_cast<std::size_t>(2 * i)];
                const QcPlotData::Bin& b = row[static_cast<std::size_t>(2 * i + 1)];
                QcPlotData::Bin m;
                m.observations = a.observations + b.observations;
                m.missing = a.missing + b.missing;
                m.l1Slips = Add16(a.l1Slips, b.l1Slips);
                m.l2Slips = Add16(a.l2Slips, b.l2Slips);
                m.ionosphereSlips = Add16(a.ionosphereSlips, b.ionosphereSlips);
                row[static_cast<std::size_t>(i)] = m;
            }
            std::fill(row.begin() + kVisibilityBins / 2, row.end(), QcPlotData::Bin{});
        }
        for (int32_t i = 0; i < kVisibilityBins / 2; ++i) {
            plot.epochsPerBin[static_cast<std::size_t>(i)] =
                plot.epochsPerBin[static_cast<std::size_t>(2 * i)] + plot.epochsPerBin[static_cast<std::size_t>(2 * i + 1)];
        }
        std::fill(plot.epochsPerBin.begin() + kVisibilityBins / 2, plot.epochsPerBin.end(), 0u);
        plot.binWidthS *= 2.0;
        plot.binCount = (plot.binCount + 1) / 2;
    }
};

// A kept observation of one epoch, before the epoch's figures are taken.
struct KeptObservation {
    const DecodedSat* decoded;
    bool l1Slip;
    bool l2Slip;
    bool newArc;  // first observation, or back after more than a minute, since the last kept
};

// Collects what the decoders give into the report's figures.
class Analyser : public DecodeObserver, public RecordSink {
public:
    Analyser(const QcOptions& options, QcReport& report) : options_(options), report_(report) {
        for (int prn = 0; prn < kSlots; ++prn) sats_[prn].arcId = static_cast<uint32_t>(prn);
        report_.maskDeg = options.maskDeg;
        if (options.reference) {
            report_.reference = options.reference;
            if (const auto place = MakeSkyPlace(*options.reference)) {
                sky_.SetPlace(*place);
                report_.elevationSource = ElevationSource::kReference;
                report_.elevationPosition = options.reference;
            }
        }
    }

    bool Collect(const uint8_t*) override { return true; }

    // The receiver's own fixes, for the distance to the solutions.
    void OnOtherRecord(const uint8_t* frame, int32_t length) override {
        ++report_.parser.receiverRecords;
        ReceiverFix fix;
        if (!DecodePvt(frame, length, fix) || !fix.threeD()) return;
        const GpsTime time{fix.week, fix.timeOfWeekMs * layout::kTimeUnitS};
        const double total = time.Total();
        if ((options_.window.from && total < options_.window.from->Total()) ||
            (options_.window.to && total > options_.window.to->Total())) {
            return;
        }
        fixes_.Add(fix.EarthFixed());
        ++report_.receiverFixes;
    }

    void OnEpoch(const DecodedEpoch& epoch) override {
        GpsTime time;
        if (!Place(epoch, time)) return;
        const bool keep = window_.Keeps(time, last_);

        KeptObservation kept[kMaxSatBlocks];
        int count = 0;
        for (int i = 0; i < epoch.satCount; ++i) {
            const DecodedSat& d = epoch.sats[i];
            if (d.outcome == SlipOutcome::kBadPrn) {
                ++report_.parser.invalidPrnBlocks;
                continue;
            }
            if (d.outcome == SlipOutcome::kNoTimeStep) {
                ++report_.parser.noTimeStep;
                continue;
            }
            const int prn = d.sat.prn;
            if (prn < kQcFirstPrn || prn > kQcLastPrn) continue;
            SatState& s = sats_[prn];
            // A lock counter that changed is a slip; a satellite back after more than a minute
            // (or seen for the first time) starts a new arc without one.
            s.pendingL1 = s.pendingL1 || d.l1Slip;
            s.pendingL2 = s.pendingL2 || d.l2Slip;
            s.pendingNewArc = s.pendingNewArc || d.outcome == SlipOutcome::kNewArc;
            if (!keep) continue;
            const bool hasL2 = (d.sat.status & layout::block::kHasL2) != 0;
            kept[count++] = KeptObservation{&d, s.pendingL1, hasL2 && s.pendingL2, s.pendingNewArc};
            s.pendingL1 = false;
            s.pendingNewArc = false;
            if (hasL2) s.pendingL2 = false;
        }
        if (!keep) {
            // Not later than the epoch before: repeated or out of order, a finding of its own.
            if (last_ && time.Total() <= last_->Total()) {
                ++report_.epochsOutOfOrder;
            } else {
                ++report_.epochsOutsideWindow;
            }
            return;
        }
        if (count == 0) return;

        const double total = time.Total();
        CountEpoch(time, total);
        const int32_t bin = bins_.Index(total, report_.plot);
        ++report_.plot.epochsPerBin[static_cast<std::size_t>(bin)];
        uint64_t present = 0;  // bit PRN: observed (PRN 32 included)
        for (int i = 0; i < count; ++i) {
            present |= uint64_t{1} << kept[i].decoded->sat.prn;
            Observe(kept[i], time, total, bin);
        }
        if (sky_.HasPlace()) {
            JudgeMissing(time, present);
        } else {
            WaitForPlace(time, present);
        }

        const EpochHeader* header = epoch.header;
        if (header != nullptr && (header->flags & KESTREL_EPOCH_FLAG_CLOCK_CORRECTED) != 0 &&
            header->clock_offset != 0.0) {
            clock_.Add(total, header->clock_offset, steps_);
            clockSamples_.Add({total, header->clock_offset / kSpeedOfLight});
        }
        if (epoch.solved) {
            const std::array<double, 3> xyz{epoch.position[0], epoch.position[1], epoch.position[2]};
            ++report_.solutions;
            positions_.Add({total, xyz});
            if (!sky_.HasPlace() && firstSolutions_.size() < kSolutionsForElevations) {
                firstSolutions_.push_back(xyz);
                if (firstSolutions_.size() == kSolutionsForElevations) PlaceFromSolutions();
            }
        }
    }

    void OnEphemeris(const DecodedEphemeris& e) override {
        const int prn = e.record.Prn;
        if (prn < kQcFirstPrn || prn > kQcLastPrn) return;
        SatState& s = sats_[prn];
        const SatState::Key key{e.record.Toe, e.record.Iode, e.record.Week};
        bool known = false;
        for (std::size_t i = 0; i < s.recentCount; ++i) {
            const SatState::Key& k = s.recent[i];
            known = known || (k.toe == key.toe && k.iode == key.iode && k.week == key.week);
        }
        if (!known) {
            s.recent[s.recentNext] = key;
            s.recentNext = (s.recentNext + 1) % kRecentEphemerisKeys;
            s.recentCount = std::min(s.recentCount + 1, kRecentEphemerisKeys);
            ++s.ephemerides;
            ++report_.ephemerides;
        }
        s.unhealthy = e.health != 0;
        sky_.AddEphemeris(e.record, e.health == 0);
    }

    // The log has ended: the open arcs are closed and the report's figures completed.
    void Finish() {
        for (int prn = kQcFirstPrn; prn <= kQcLastPrn; ++prn) CloseArc(sats_[prn]);
        if (!sky_.HasPlace() && !firstSolutions_.empty()) PlaceFromSolutions();
        clock_.Finish(steps_);
        FinishSpan();
        FinishSatellites();
        FinishClock();
        FinishPosition();
        if (options_.plotSamples) FinishPlot();
        QcParserCounts& p = report_.parser;
        p.otherRecords = std::max<int64_t>(0, p.resyncs - p.checksumFailures - p.lengthFailures);
    }

private:
    bool Place(const DecodedEpoch& epoch, GpsTime& time) {
        if (!placerChosen_) {
            // A log whose frames carry no week is placed in an unknown week, rolled over where
            // the time of week starts again.
            placerChosen_ = true;
            if (epoch.week <= 0) {
                placer_ = EpochPlacer(0);
                report_.weekKnown = false;
            }
        }
        if (placer_.Place(epoch.week, epoch.time, time) == EpochPlacer::Outcome::kPlaced) return true;
        ++report_.parser.weekFaults;
        return false;
    }

    void CountEpoch(const GpsTime& time, double total) {
        if (!report_.first) report_.first = time;
        if (last_) {
            const double spacing = total - last_->Total();
            spacings_.Add(spacing);
            if (!smallestSpacingS_ || spacing < *smallestSpacingS_) smallestSpacingS_ = spacing;
            // Any spacing of more than twice the smallest so far may turn out a gap once the
            // interval is known.
            if (spacing > kGapFactor * *smallestSpacingS_ + kSpacingSlackS) {
                if (gapCandidates_.size() < kGapCandidates) {
                    gapCandidates_.push_back(QcGap{*last_, spacing});
                } else {
                    ++gapCandidatesUnlisted_;
                }
            }
        }
        last_ = time;
        report_.last = time;
        ++report_.epochs;
    }

    void Observe(const KeptObservation& k, const GpsTime& time, double total, int32_t bin) {
        const DecodedSat& d = *k.decoded;
        const int prn = d.sat.prn;
        SatState& s = sats_[prn];
        const bool hasL2 = (d.sat.status & layout::block::kHasL2) != 0;
        ++s.observations;
        ++report_.observations;
        if (hasL2) {
            ++s.withL2;
            ++report_.observationsWithL2;
        } else {
            ++report_.observationsL1Only;
        }
        s.strengthSum += d.sat.strength;
        if (k.l1Slip) {
            ++s.l1Slips;
            ++report_.l1Slips;
        }
        if (k.l2Slip) {
            ++s.l2Slips;
            ++report_.l2Slips;
        }

        // A slip on either carrier, or a return after a gap, ends the arc.
        bool broken = k.l1Slip || k.l2Slip || k.newArc;
        if (broken) s.ionosphere.Restart();
        bool ionosphereSlip = false;
        float mp1 = kNoValue, mp2 = kNoValue;
        if (hasL2) {
            // Phases in metres in the RINEX sense: the receiver's phase runs opposite.
            const double phi1 = -d.sat.l1_phase * kL1CarrierWavelengthM;
            const double phi2 = -d.sat.l2_phase * kL2CarrierWavelengthM;
            std::optional<double> rate;
            ionosphereSlip = s.ionosphere.Add(total, IonosphericDelayM(phi1, phi2), rate);
            if (rate) {
                const double perMinute = *rate * kSecondsPerMinute;
                s.ionosphereRate.Add(perMinute * perMinute, 1);
            }
            if (ionosphereSlip) {
                ++s.ionosphereSlips;
                ++report_.ionosphereSlips;
                broken = true;
            }
            if (broken) CloseArc(s);
            const double m1 = Mp1(d.sat.ca_range, phi1, phi2);
            const double m2 = Mp2(d.sat.p2_range, phi1, phi2);
            s.mp1.Add(m1);
            s.mp2.Add(m2);
            mp1 = static_cast<float>(m1 - s.mp1.first());
            mp2 = static_cast<float>(m2 - s.mp2.first());
        } else if (broken) {
            CloseArc(s);
        }

        if (k.l1Slip || k.l2Slip || ionosphereSlip) {
            ++report_.slipObservations;
            if (report_.slips.size() < kQcListedSlips) {
                report_.slips.push_back(QcSlip{time, prn, k.l1Slip, k.l2Slip, ionosphereSlip});
            }
        }
        QcPlotData::Bin& b = Bins::Row(report_.plot, prn, bin);
        ++b.observations;
        if (k.l1Slip && b.l1Slips < 0xFFFF) ++b.l1Slips;
        if (k.l2Slip && b.l2Slips < 0xFFFF) ++b.l2Slips;
        if (ionosphereSlip && b.ionosphereSlips < 0xFFFF) ++b.ionosphereSlips;

        bool compacted = false;
        const RawPoint point{total, s.arcId, static_cast<uint8_t>(prn), static_cast<float>(d.sat.strength), mp1, mp2};
        if (points_.Add(point, &compacted) && hasL2) s.arcSampled = true;
        if (compacted) ForgetUnusedArcs();
    }

    // Ends the satellite's open arc: long enough, it counts towards the multipath figures.
    void CloseArc(SatState& s) {
        const int32_t n = s.mp1.count();
        if (n > 0) {
            const bool longEnough = n >= kMinMultipathArcEpochs;
            if (longEnough) {
                s.mp1Rms.AddArc(s.mp1);
                s.mp2Rms.AddArc(s.mp2);
                mp1Rms_.AddArc(s.mp1);
                mp2Rms_.AddArc(s.mp2);
                ++s.arcs;
            } else {
                ++s.shortArcs;
            }
            if (s.arcSampled) {
                arcMeans_[s.arcId] = ArcMean{static_cast<float>(s.mp1.MeanFromFirst()),
                                             static_cast<float>(s.mp2.MeanFromFirst()), longEnough};
            }
        }
        s.mp1.Reset();
        s.mp2.Reset();
        s.arcId = nextArcId_++;
        s.arcSampled = false;
    }

    // The plot points have been thinned: the means of arcs none of them belongs to go.
    void ForgetUnusedArcs() {
        std::unordered_map<uint32_t, ArcMean> used;
        for (const RawPoint& p : points_.samples()) {
            const auto it = arcMeans_.find(p.arcId);
            if (it != arcMeans_.end()) used.insert(*it);
        }
        arcMeans_.swap(used);
    }

    void JudgeMissing(const GpsTime& time, uint64_t present) {
        for (int prn = kQcFirstPrn; prn <= kQcLastPrn; ++prn) {
            const std::optional<double> elevation = sky_.ElevationDeg(prn, time);
            if (!elevation) continue;
            SatState& s = sats_[prn];
            s.elevationKnown = true;
            if (*elevation < options_.maskDeg) continue;
            s.expected = true;
            if ((present & (uint64_t{1} << prn)) != 0) continue;
            ++s.missing;
            const int32_t bin = bins_.Index(time.Total(), report_.plot);
            ++Bins::Row(report_.plot, prn, bin).missing;
        }
    }

    void WaitForPlace(const GpsTime& time, uint64_t present) {
        if (backlog_.size() == kElevationBacklogEpochs) {
            if (!firstSolutions_.empty()) {
                PlaceFromSolutions();
                JudgeMissing(time, present);
                return;
            }
            backlog_.pop_front();
            ++report_.epochsWithoutElevations;
        }
        backlog_.push_back({time, present});
    }

    // The median of the first solutions places the receiver; the epochs that waited are judged.
    void PlaceFromSolutions() {
        const auto median = AxisMedian(firstSolutions_);
        const auto place = median ? MakeSkyPlace(*median) : std::nullopt;
        if (!place) return;
        sky_.SetPlace(*place);
        report_.elevationSource = ElevationSource::kFirstSolutions;
        report_.elevationPosition = median;
        report_.elevationSolutions = static_cast<int32_t>(firstSolutions_.size());
        for (const auto& [time, present] : backlog_) JudgeMissing(time, present);
        backlog_.clear();
    }

    void FinishSpan() {
        if (report_.epochs == 0) return;
        const double interval = options_.window.intervalS > 0.0 ? options_.window.intervalS : spacings_.MostFrequentS();
        if (interval > 0.0) report_.intervalS = interval;
        if (report_.epochs == 1) {
            report_.expectedEpochs = 1;
        } else if (interval > 0.0) {
            const double span = report_.last->Total() - report_.first->Total();
            report_.expectedEpochs = std::llround(span / interval) + 1;
        }
        if (!report_.intervalS) return;
        const double limit = kGapFactor * interval + kSpacingSlackS;
        for (const QcGap& g : gapCandidates_) {
            if (g.lengthS <= limit) continue;
            ++report_.gapCount;
            if (!report_.longestGap || g.lengthS > report_.longestGap->lengthS) report_.longestGap = g;
            if (report_.gaps.size() < kQcListedGaps) report_.gaps.push_back(g);
        }
        report_.gapCount += gapCandidatesUnlisted_;
    }

    void FinishSatellites() {
        bool anyElevation = false;
        int64_t missing = 0;
        for (int prn = kQcFirstPrn; prn <= kQcLastPrn; ++prn) {
            const SatState& s = sats_[prn];
            if (s.observations == 0 && !s.expected && s.ephemerides == 0) continue;
            QcSatellite q;
            q.prn = prn;
            q.observations = s.observations;
            q.withL2 = s.withL2;
            if (s.elevationKnown) {
                q.missing = s.missing;
                missing += s.missing;
                anyElevation = true;
            }
            q.l1Slips = s.l1Slips;
            q.l2Slips = s.l2Slips;
            q.ionosphereSlips = s.ionosphereSlips;
            if (s.observations > 0) q.meanStrengthDbHz = s.strengthSum / static_cast<double>(s.observations);
            q.mp1RmsM = s.mp1Rms.Rms();
            q.mp2RmsM = s.mp2Rms.Rms();
            q.multipathArcs = s.arcs;
            q.shortArcs = s.shortArcs;
            if (const auto r = s.ionosphereRate.Rms()) q.ionosphereRateRmsMpm = r;
            q.ephemerides = s.ephemerides;
            q.unhealthy = s.unhealthy;
            if (s.observations > 0 && s.ephemerides == 0) report_.observedWithoutEphemeris.push_back(prn);
            report_.satellites.push_back(q);
        }
        if (anyElevation) report_.missing = missing;
        report_.mp1RmsM = mp1Rms_.Rms();
        report_.mp2RmsM = mp2Rms_.Rms();
        if (report_.observations > 0) {
            report_.slipsPer1000 = 1000.0 * static_cast<double>(report_.slipObservations) /
                                   static_cast<double>(report_.observations);
        }
        if (report_.slipObservations > 0) {
            report_.observationsPerSlip =
                static_cast<double>(report_.observations) / static_cast<double>(report_.slipObservations);
        }
    }

    void FinishClock() {
        report_.clockEpochs = clock_.epochs();
        if (const auto first = clock_.firstOffsetM()) report_.clockStartS = *first / kSpeedOfLight;
        if (const auto last = clock_.lastOffsetM()) report_.clockEndS = *last / kSpeedOfLight;
        if (const auto drift = clock_.DriftMps()) report_.clockDrift = *drift / kSpeedOfLight;
        report_.clockStepCount = static_cast<int64_t>(steps_.size());
        for (const ClockStepFinder::Step& s : steps_) {
            if (report_.clockSteps.size() == kQcListedClockSteps) break;
            report_.clockSteps.push_back(QcClockStep{GpsTimeFromTotal(s.timeS), s.sizeM / kSpeedOfLight});
        }
        for (const auto& c : clockSamples_.samples()) report_.plot.clock.push_back({c.timeS, c.offsetS});
    }

    void FinishPosition() {
        std::vector<std::array<double, 3>> xyz;
        xyz.reserve(positions_.samples().size());
        for (const TimedPosition& p : positions_.samples()) xyz.push_back(p.xyz);
        report_.position = AxisMedian(xyz);
        if (!report_.position) return;
        const auto place = MakeSkyPlace(*report_.position);
        if (!place) return;
        report_.geodetic = std::array<double, 3>{place->latitudeRad * kDegreesPerRadian,
                                                 place->longitudeRad * kDegreesPerRadian, place->heightM};
        std::array<std::vector<double>, 3> axes;
        std::array<double, 3> sum{}, sumSq{};
        for (const TimedPosition& p : positions_.samples()) {
            const std::array<double, 3> enu = EastNorthUp(*place, p.xyz);
            report_.plot.positions.push_back({p.timeS, enu});
            for (std::size_t k = 0; k < 3; ++k) {
                axes[k].push_back(std::fabs(enu[k]));
                sum[k] += enu[k];
                sumSq[k] += enu[k] * enu[k];
            }
        }
        const double n = static_cast<double>(axes[0].size());
        std::array<double, 3> std{}, p95{};
        for (std::size_t k = 0; k < 3; ++k) {
            const double mean = sum[k] / n;
            std[k] = std::sqrt(std::max(0.0, sumSq[k] / n - mean * mean));
            auto& a = axes[k];
            const auto at = static_cast<std::size_t>(std::ceil(kScatterQuantile * n)) - 1;
            std::nth_element(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(at), a.end());
            p95[k] = a[at];
        }
        report_.scatterStdM = std;
        report_.scatter95M = p95;
        if (report_.reference) {
            if (const auto ref = MakeSkyPlace(*report_.reference)) {
                report_.referenceOffsetEnuM = EastNorthUp(*ref, *report_.position);
            }
        }
        report_.receiverFixPosition = AxisMedian(fixes_.samples());
        if (report_.receiverFixPosition) {
            if (const auto fix = MakeSkyPlace(*report_.receiverFixPosition)) {
                const std::array<double, 3> enu = EastNorthUp(*fix, *report_.position);
                report_.solutionLessFixEnuM = enu;
                report_.solutionToFixM = std::hypot(enu[0], enu[1], enu[2]);
            }
        }
    }

    // Directions for the pictures, from the final position (the reference, else the median)
    // and the ephemeris store, which holds every healthy ephemeris of the log once it is read.
    void FinishPlot() {
        QcPlotData& plot = report_.plot;
        std::optional<SkyPlace> place;
        if (report_.reference) place = MakeSkyPlace(*report_.reference);
        if (!place && report_.position) place = MakeSkyPlace(*report_.position);
        const auto direction = [&](int prn, double totalS) -> std::optional<SkyDirection> {
            if (!place) return std::nullopt;
            const GpsTime t = GpsTimeFromTotal(totalS);
            const GpsEphRecord* eph = eph_store_find(prn, static_cast<int32_t>(std::floor(t.sow)));
            if (eph == nullptr) return std::nullopt;
            return SatelliteDirection(*eph, t.sow, *place);
        };
        for (int prn = kQcFirstPrn; prn <= kQcLastPrn && !plot.bins.empty(); ++prn) {
            auto& row = plot.bins[static_cast<std::size_t>(prn)];
            for (int32_t i = 0; i < static_cast<int32_t>(row.size()); ++i) {
                QcPlotData::Bin& b = row[static_cast<std::size_t>(i)];
                b.elevationDeg = kNoValue;
                b.azimuthDeg = kNoValue;
                if (b.observations == 0) continue;
                if (const auto d = direction(prn, plot.binOriginS + (i + 0.5) * plot.binWidthS)) {
                    b.elevationDeg = static_cast<float>(d->elevationDeg);
                    b.azimuthDeg = static_cast<float>(d->azimuthDeg);
                }
            }
        }
        plot.points.reserve(points_.samples().size());
        for (const RawPoint& p : points_.samples()) {
            QcPlotData::Point q{p.timeS, p.prn, kNoValue, p.strength, kNoValue, kNoValue};
            if (const auto d = direction(p.prn, p.timeS)) q.elevationDeg = static_cast<float>(d->elevationDeg);
            const auto it = arcMeans_.find(p.arcId);
            if (it != arcMeans_.end() && it->second.kept) {
                q.mp1M = p.mp1FromFirst - it->second.mp1;
                q.mp2M = p.mp2FromFirst - it->second.mp2;
            }
            plot.points.push_back(q);
        }
    }

    const QcOptions& options_;
    EpochWindow window_ = options_.window;  // remembers the decimation grid's last point
    QcReport& report_;
    EpochPlacer placer_;
    bool placerChosen_ = false;
    std::optional<GpsTime> last_;
    SpacingCounter spacings_;
    std::optional<double> smallestSpacingS_;
    std::vector<QcGap> gapCandidates_;
    int64_t gapCandidatesUnlisted_ = 0;
    SatState sats_[kSlots];
    uint32_t nextArcId_ = kSlots;  // each satellite starts with its PRN as arc number
    RmsSum mp1Rms_, mp2Rms_;
    Bins bins_;
    EvenSampler<RawPoint, kPlotPoints> points_;
    std::unordered_map<uint32_t, ArcMean> arcMeans_;
    ElevationTable sky_;
    std::vector<std::array<double, 3>> firstSolutions_;
    std::deque<std::pair<GpsTime, uint64_t>> backlog_;
    ClockStepFinder clock_;
    std::vector<ClockStepFinder::Step> steps_;
    EvenSampler<QcPlotData::ClockSample, kClockSamples> clockSamples_;
    EvenSampler<TimedPosition, kPositionSamples> positions_;
    EvenSampler<std::array<double, 3>, kPositionSamples> fixes_;
};

}  // namespace

int32_t AnalyseLog(const QcOptions& options, const CallbackBlock& callbacks, QcReport& report) {
    report = QcReport{};
    const LogInput log(options.input);
    report.file = log.name();
    ResetAbortCount();
    // Each log starts afresh, so its figures do not depend on the logs checked before it in
    // the same process: no ephemeris, no earlier solution to start from.
    eph_store_clear();
    reset_single_point_state();
    std::FILE* input = log.file();
    if (input == nullptr) {
        report.status = QcStatus::kUnreadable;
        report.error = format_error_text(kCannotOpen, options.input.c_str());
        return 1;
    }

    // Messages pass through the parser's complaint counter on their way to the host.
    CallbackBlock counted = callbacks;
    counted.messageCallback = CountingMessageCallback;
    StartCounting(&report.parser, callbacks.messageCallback, options.parserNotices);
    SetHostCallbacks(&counted);

    Analyser analyser(options, report);
    int32_t status = 0;
    if (OpenPort(kDecoderPort, relayMessage) != 0) {
        report.status = QcStatus::kUnreadable;
        report.error = error_text();
        status = 1;
    } else {
        // Clock correction fills the ephemeris store and solves every epoch; the verbose
        // decoder tells of every frame it gives up, for the counts.
        OptionRecord decoderOptions{0, options.reportL2Slips ? 1 : 0, 1, 1};
        SetPortOptions(kDecoderPort, &decoderOptions, KESTREL_OPTION_RECORD_SIZE);
        SetPortObserver(kDecoderPort, &analyser);
        SetPortOtherRecords(kDecoderPort, ReceiverInfoRecords(), ReceiverInfoRecordCount());
        static uint8_t threadBuf[kThreadBufMemoryBytes];
        long long bytesRead = 0;
        const RunEnd end = FeedInput(input, report.file.c_str(), counted, threadBuf, analyser, bytesRead);
        SetPortObserver(kDecoderPort, nullptr);
        if (end == RunEnd::kReadFailed) {
            report.status = QcStatus::kUnreadable;
            report.error = error_text();
            status = 1;
        } else if (end == RunEnd::kAborted) {
            report.status = QcStatus::kAborted;
            report.error = kUserQuit;
            set_error_text(kUserQuit);
            status = 1;
        }
    }
    analyser.Finish();
    StopCounting();
    SetHostCallbacks(&callbacks);
    return status;
}

}  // namespace kestrel
