// SPDX-License-Identifier: BSD-2-Clause
#include "output/rinex_convert.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <set>
#include <tuple>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/error_text.h"
#include "files/output_file.h"
#include "navcom/decode_observer.h"
#include "navcom/frame_parser.h"
#include "navcom/record_layout.h"
#include "output/rinex_epochs.h"
#include "output/rinex_names.h"
#include "output/rinex_nav_writer.h"
#include "plugin/feed.h"
#include "plugin/plugin.h"
#include "positioning/eph_store.h"
#include "positioning/position_record.h"
#include "positioning/single_point.h"
#include "threadbuf/threadbuf.h"

namespace kestrel {
namespace {

constexpr int kFirstPrn = 1;
constexpr int kLastPrn = 32;
constexpr uint8_t kLockLost = 1;          // loss-of-lock indicator bit 0
constexpr std::size_t kWriteBufferBytes = 1 << 20;
constexpr std::size_t kNavChunkBytes = 1 << 16;  // navigation text handed to the file at a time
constexpr std::size_t kPositionSamples = 4096;  // solutions kept for the median position
constexpr double kShortestIntervalS = 0.001;    // the receiver's time tags are whole milliseconds
constexpr double kLongestIntervalS = kSecondsPerWeek;
constexpr const char* kDefaultMarker = "UNKN";

constexpr const char* kCannotOpen = "Error: Unable to open %s: %s";
constexpr const char* kCannotWrite = "Error: Unable to write to %s: %s";
constexpr const char* kNoScratch = "Error: Unable to write to %s: %s (in its scratch file)";
constexpr const char* kBadInterval = "Error: an interval of %g s is outside 0.001 s to one week";
constexpr const char* kUserQuit = "User Quit";
constexpr const char* kNoWeek =
    "Error: the MEASUREMENT frames of %s carry no GPS week (at %.3f s of week); give the week of the first epoch";
constexpr const char* kWeekJump =
    "Error: the GPS week of %s jumps from %d to %d at %.3f s of week; give the week of the first epoch";
constexpr const char* kNoEpochs = "Error: %s holds no epoch to write";
constexpr const char* kDopplerComment1 = "D1C/D1: L1 Doppler derived by Kestrel from successive C/A";
constexpr const char* kDopplerComment2 = "code ranges (the receiver sends none); positive when the";
constexpr const char* kDopplerComment3 = "satellite approaches";

// One epoch and its satellites as kept in the scratch file until the header is known: this
// head, then `bytes` bytes of satellite records, each a StoredSat and, in type order, the
// values its `present` bits name (the strength, a whole number of dB-Hz, is in the record).
struct StoredEpoch {
    double sow;
    int32_t week;
    uint8_t satCount;
    uint8_t hasClock;
    uint16_t bytes;
    double clockS;
};
struct StoredSat {
    uint8_t prn;
    uint8_t present;   // bit i: a value of RinexObsType i
    uint8_t lli;       // bit 0: lock lost on L1, bit 1: on L2
    uint8_t strength;  // strength figure, dB-Hz
};
constexpr uint8_t kStrengthBit = 1u << static_cast<unsigned>(RinexObsType::kS1);
// Collector::OnEpoch packs the values in this order, the order WriteObservationFile reads.
static_assert(RinexObsType::kC1 < RinexObsType::kL1 && RinexObsType::kL1 < RinexObsType::kD1 &&
              RinexObsType::kD1 < RinexObsType::kP1 && RinexObsType::kP1 < RinexObsType::kP2 &&
              RinexObsType::kP2 < RinexObsType::kL2);
constexpr uint8_t kLockLostL2 = 2;
// The longest epoch's satellite records: every type of every block.
constexpr std::size_t kMostEpochBytes = kMaxSatBlocks * (sizeof(StoredSat) + kRinexObsTypeCount * sizeof(double));

// What is kept of an ephemeris until the navigation file is written.
struct StoredEphemeris {
    DecodedEphemeris decoded;
};
struct EphemerisKey {
    int32_t prn;
    int32_t week10;
    int32_t toe;
    int32_t iode;
    bool operator<(const EphemerisKey& o) const {
        return std::tie(prn, week10, toe, iode) < std::tie(o.prn, o.week10, o.toe, o.iode);
    }
};

uint8_t StrengthDigit(double dbHz) {
    // 1: below 12 dB-Hz, then one digit per 6 dB-Hz up to 9 at 54 dB-Hz and above.
    const int digit = static_cast<int>(std::floor(dbHz / 6.0));
    return static_cast<uint8_t>(std::clamp(digit, 1, 9));
}

std::string DirectoryOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string JoinPath(const std::string& directory, const std::string& name) {
    if (directory.empty() || directory == ".") return name;
    return directory.back() == '/' ? directory + name : directory + "/" + name;
}

// A scratch file that lives only as long as it is open: unlinked as soon as made.
std::FILE* OpenScratch(const std::string& directory) {
    std::string pattern = JoinPath(directory.empty() ? "." : directory, ".kestrel-scratch-XXXXXX");
    const int fd = mkstemp(pattern.data());
    if (fd < 0) return nullptr;
    unlink(pattern.c_str());
    std::FILE* file = fdopen(fd, "w+b");
    if (file == nullptr) close(fd);
    return file;
}

// Collects what the decoders give into the scratch files and the header's facts. With a
// period, the epochs of each period go to files of their own: when the first epoch of the
// next period comes, `periodEnds` writes the files of the one before and the file's facts
// start afresh (the decoder's state, the arcs and the ephemerides go on).
class Collector : public DecodeObserver, public RecordSink {
public:
    using PeriodEnds = std::function<bool(Collector&)>;

    Collector(const RinexRunOptions& options, std::FILE* body, std::FILE* nav, PeriodEnds periodEnds)
        : options_(options), body_(body), nav_(nav), periodEnds_(std::move(periodEnds)), placer_(options.week) {
        window_.from = options.from;
        window_.to = options.to;
        window_.intervalS = options.intervalS;
    }

    // The log whose epochs come next (for the refusal's text).
    void SetLogName(const std::string& name) { logName_ = name; }

    // Ends the run once the log has been found unfit (its weeks), a period's files could not
    // be written, or the scratch files take no more.
    bool Collect(const uint8_t*) override { return !refused_ && !failed_ && scratchError_ == 0; }

    void OnEpoch(const DecodedEpoch& epoch) override {
        if (refused_ || failed_) return;
        decodedAnything_ = true;
        GpsTime time;
        if (!PlaceEpoch(epoch, time)) return;
        // The satellite records, packed as they are collected: a StoredSat, then the values
        // present in type order (Put is called in that order).
        StoredSat sats[kMaxSatBlocks];
        uint8_t packed[kMostEpochBytes];
        std::size_t bytes = 0;
        uint8_t count = 0;
        const double total = time.Total();
        const bool keep = window_.Keeps(time, haveLast_ ? std::optional<GpsTime>(last_) : std::nullopt);
        for (int i = 0; i < epoch.satCount; ++i) {
            const DecodedSat& d = epoch.sats[i];
            const int prn = d.sat.prn;
            if (d.outcome == SlipOutcome::kBadPrn || d.outcome == SlipOutcome::kNoTimeStep) continue;
            if (prn < kFirstPrn || prn > kLastPrn) continue;
            Arc& arc = arcs_[prn];
            const bool hasL2 = (d.sat.status & layout::block::kHasL2) != 0;
            // A satellite's first epoch, and its first after more than a minute, start a new
            // arc of phase on both carriers: no phase before them continues into them. L2
            // keeps its flag until the arc's first L2 phase. Lock-counter changes and returns
            // are counted as slips; a satellite's first arc in the log is not.
            const bool arcStarts = d.outcome == SlipOutcome::kNewArc;
            const bool returned = arcStarts && arc.seen;
            arc.pendingL1 = arc.pendingL1 || d.l1Slip || arcStarts;
            arc.pendingL2 = arc.pendingL2 || d.l2Slip || arcStarts;
            arc.slipL1 = arc.slipL1 || d.l1Slip || returned;
            arc.slipL2 = arc.slipL2 || d.l2Slip || returned;
            arc.seen = true;
            if (!keep) continue;
            StoredSat& s = sats[count++];
            s = StoredSat{static_cast<uint8_t>(prn), kStrengthBit, 0, static_cast<uint8_t>(d.sat.strength)};
            const std::size_t at = bytes;
            bytes += sizeof(StoredSat);
            Put(s, packed, bytes, RinexObsType::kC1, d.sat.ca_range);
            Put(s, packed, bytes, RinexObsType::kL1, layout::kPhaseSign * d.sat.l1_phase);
            if (options_.doppler && d.outcome == SlipOutcome::kContinued) {
                Put(s, packed, bytes, RinexObsType::kD1, d.sat.doppler);
            }
            if (d.sat.status & layout::block::kHasP1) {
                Put(s, packed, bytes, RinexObsType::kP1, d.sat.p1_range);
                anyP1_ = true;
            }
            if (arc.pendingL1) s.lli |= kLockLost;
            if (arc.slipL1) ++result_.l1Slips;
            arc.pendingL1 = arc.slipL1 = false;
            if (hasL2) {
                Put(s, packed, bytes, RinexObsType::kP2, d.sat.p2_range);
                Put(s, packed, bytes, RinexObsType::kL2, layout::kPhaseSign * d.sat.l2_phase);
                if (arc.pendingL2) s.lli |= kLockLostL2;
                if (arc.slipL2) ++result_.l2Slips;
                arc.pendingL2 = arc.slipL2 = false;
            }
            std::memcpy(packed + at, &s, sizeof s);
        }
        if (!keep) {
            ++result_.epochsDropped;
            if (haveLast_ && total <= last_.Total()) ++result_.epochsNotAdvancing;
            return;
        }
        if (count == 0) return;
        if (options_.periodS > 0.0) {
            const auto period = static_cast<int64_t>(std::floor(total / options_.periodS));
            if (haveFirst_ && period != period_) {
                if (!periodEnds_(*this)) {
                    failed_ = true;
                    return;
                }
                StartFile();
            }
            period_ = period;
        }
        StoredEpoch head{};
        head.sow = time.sow;
        head.week = time.week;
        head.satCount = count;
        const EpochHeader* header = epoch.header;
        if (header != nullptr && (header->flags & KESTREL_EPOCH_FLAG_CLOCK_CORRECTED) != 0 &&
            header->clock_offset != 0.0) {
            head.hasClock = 1;
            head.clockS = header->clock_offset / kSpeedOfLight;
        }
        if (epoch.solved) {
            positions_.Add({epoch.position[0], epoch.position[1], epoch.position[2]});
            ++result_.solutions;
        }
        head.bytes = static_cast<uint16_t>(bytes);
        if (body_ != nullptr &&
            (std::fwrite(&head, sizeof head, 1, body_) != 1 || std::fwrite(packed, 1, bytes, body_) != bytes)) {
            NoteScratchError();
        }
        Count(head, sats, count, total);
    }

    void OnEphemeris(const DecodedEphemeris& e) override {
        decodedAnything_ = true;
        const EphemerisKey key{e.record.Prn, e.record.Week, e.record.Toe, e.record.Iode};
        if (!ephemerisKeys_.insert(key).second) return;
        StoredEphemeris stored{e};
        if (nav_ != nullptr && std::fwrite(&stored, sizeof stored, 1, nav_) != 1) NoteScratchError();
        ++ephemeridesStored_;
    }

    // The next file's facts start afresh; what was counted goes into the run's totals.
    void StartFile() {
        totals_.epochs += result_.epochs;
        totals_.observations += result_.observations;
        totals_.l1Slips += result_.l1Slips;
        totals_.l2Slips += result_.l2Slips;
        totals_.solutions += result_.solutions;
        const int32_t dropped = result_.epochsDropped;
        const int32_t notAdvancing = result_.epochsNotAdvancing;
        result_ = RinexRunResult{};
        result_.epochsDropped = dropped;
        result_.epochsNotAdvancing = notAdvancing;
        for (int prn = 0; prn < kSlots; ++prn) {
            if (counts_[prn].prn != 0) everObserved_[prn] = true;
            counts_[prn] = RinexSatCount{};
        }
        haveFirst_ = false;
        anyP1_ = false;
        spacings_ = SpacingCounter{};
        positions_ = EvenSampler<std::array<double, 3>, kPositionSamples>{};
        if (body_ != nullptr) {
            std::fflush(body_);
            if (ftruncate(fileno(body_), 0) != 0) failed_ = true;
            std::rewind(body_);
        }
    }

    // The run's totals, the files written so far included.
    RinexRunResult Totals() const {
        RinexRunResult r = result_;
        r.epochs += totals_.epochs;
        r.observations += totals_.observations;
        r.l1Slips += totals_.l1Slips;
        r.l2Slips += totals_.l2Slips;
        r.solutions += totals_.solutions;
        int satellites = 0;
        for (int prn = kFirstPrn; prn <= kLastPrn; ++prn) {
            satellites += everObserved_[prn] || counts_[prn].prn != 0 ? 1 : 0;
        }
        r.satellites = satellites;
        return r;
    }

    bool failed() const { return failed_; }
    // Why a scratch file took no more (errno); 0 while they take everything.
    int scratchError() const { return scratchError_; }

    bool refused() const { return refused_; }
    const std::string& refusal() const { return refusal_; }
    bool anyP1() const { return anyP1_; }
    // An epoch or an ephemeris came out of the decoders, whether kept or not.
    bool anythingDecoded() const { return decodedAnything_; }
    int32_t epochs() const { return result_.epochs; }
    int32_t ephemeridesStored() const { return ephemeridesStored_; }
    int firstWeek() const { return haveFirst_ ? first_.week : 0; }
    const GpsTime& first() const { return first_; }
    const GpsTime& last() const { return last_; }
    bool Observed(int prn) const { return prn >= 0 && prn < kSlots && counts_[prn].prn != 0; }
    std::optional<std::array<double, 3>> MedianPosition() const { return AxisMedian(positions_.samples()); }

    double Interval() const { return options_.intervalS > 0.0 ? options_.intervalS : spacings_.MostFrequentS(); }

    std::vector<RinexSatCount> SatCounts() const {
        std::vector<RinexSatCount> out;
        for (int prn = kFirstPrn; prn <= kLastPrn; ++prn) {
            if (counts_[prn].prn != 0) out.push_back(counts_[prn]);
        }
        return out;
    }

private:
    static constexpr int kSlots = kLastPrn + 1;

    struct Arc {
        bool seen = false;       // observed before in this log
        bool pendingL1 = false;  // lock lost (or arc begun) since the last epoch written
        bool pendingL2 = false;
        bool slipL1 = false;     // of which a slip: the lock counter changed, or a return
        bool slipL2 = false;
    };

    static void Put(StoredSat& s, uint8_t* packed, std::size_t& bytes, RinexObsType type, double value) {
        std::memcpy(packed + bytes, &value, sizeof value);
        bytes += sizeof value;
        s.present = static_cast<uint8_t>(s.present | (1u << static_cast<unsigned>(type)));
    }

    // The epoch's full GPS time, from the frame's week or the week given; false (and the log
    // refused) when the frames carry no week or it jumps.
    bool PlaceEpoch(const DecodedEpoch& epoch, GpsTime& time) {
        switch (placer_.Place(epoch.week, epoch.time, time)) {
            case EpochPlacer::Outcome::kPlaced:
                return true;
            case EpochPlacer::Outcome::kNoWeek:
                Refuse(format_error_text(kNoWeek, logName_.c_str(), epoch.time));
                break;
            case EpochPlacer::Outcome::kWeekJump:
                Refuse(format_error_text(kWeekJump, logName_.c_str(), placer_.lastWeek(), epoch.week, epoch.time));
                break;
        }
        return false;
    }

    void NoteScratchError() {
        if (scratchError_ == 0) scratchError_ = errno != 0 ? errno : EIO;
    }

    // The log is unfit: the text goes into the error text when the run ends (the decoders'
    // messages use the error text as their buffer until then).
    void Refuse(const char* text) {
        refusal_ = text;
        refused_ = true;
    }

    void Count(const StoredEpoch& head, const StoredSat* sats, int count, double total) {
        const GpsTime time{head.week, head.sow};
        if (!haveFirst_) {
            first_ = time;
            haveFirst_ = true;
        }
        if (haveLast_) spacings_.Add(total - last_.Total());
        last_ = time;
        haveLast_ = true;
        ++result_.epochs;
        result_.observations += count;
        for (int i = 0; i < count; ++i) {
            const StoredSat& s = sats[i];
            RinexSatCount& c = counts_[s.prn];
            c.prn = s.prn;
            for (std::size_t t = 0; t < kRinexObsTypeCount; ++t) {
                if (s.present & (1u << t)) ++c.counts[t];
            }
        }
    }

    const RinexRunOptions& options_;
    std::FILE* body_;
    std::FILE* nav_;
    PeriodEnds periodEnds_;
    std::string logName_;
    RinexRunResult result_;   // of the file being collected
    RinexRunResult totals_;   // of the files written before it
    bool everObserved_[kLastPrn + 1] = {};
    int64_t period_ = 0;
    bool failed_ = false;
    bool refused_ = false;
    std::string refusal_;
    bool anyP1_ = false;
    bool decodedAnything_ = false;
    int scratchError_ = 0;
    EpochPlacer placer_;
    EpochWindow window_;
    bool haveFirst_ = false;
    bool haveLast_ = false;
    GpsTime first_;
    GpsTime last_;
    Arc arcs_[kSlots];
    RinexSatCount counts_[kSlots];
    SpacingCounter spacings_;
    EvenSampler<std::array<double, 3>, kPositionSamples> positions_;
    std::set<EphemerisKey> ephemerisKeys_;
    int32_t ephemeridesStored_ = 0;
};

// The ephemeris as the navigation file gives it, its weeks resolved against `referenceWeek`.
RinexGpsEphemeris ToRinex(const DecodedEphemeris& d, int referenceWeek) {
    const GpsEphRecord& r = d.record;
    RinexGpsEphemeris e;
    e.prn = r.Prn;
    // The week of transmission: the frame's full week, when it agrees with the broadcast
    // 10-bit week to within one (the last ephemerides of a week may carry the week of their
    // Toe), else the broadcast week nearest the reference. Toe may lie in the next (or, for
    // an ephemeris sent early, the previous) week.
    const int broadcastWeek = FullWeekFromBroadcast(r.Week, referenceWeek);
    const bool frameWeekAgrees = d.transmitWeek > 0 && std::abs(d.transmitWeek - broadcastWeek) <= 1;
    const int transmitWeek = frameWeekAgrees ? d.transmitWeek : broadcastWeek;
    const double transmitSow = static_cast<double>(d.transmitTime);
    int toeWeek = transmitWeek;
    if (r.Toe - transmitSow < -kHalfWeekS) ++toeWeek;
    if (r.Toe - transmitSow > kHalfWeekS) --toeWeek;
    e.week = toeWeek;
    e.tocS = r.Toc;
    e.af0S = r.Af0;
    e.af1 = r.Af1;
    e.af2PerS = r.Af2;
    e.iode = r.Iode;
    e.crsM = r.Crs;
    e.deltaNRadPerS = r.DeltaN;
    e.m0Rad = r.M0;
    e.cucRad = r.Cuc;
    e.eccentricity = r.Ecc;
    e.cusRad = r.Cus;
    e.sqrtAM = r.SqrtA;
    e.toeS = r.Toe;
    e.cicRad = r.Cic;
    e.omega0Rad = r.Omega0;
    e.cisRad = r.Cis;
    e.i0Rad = r.I0;
    e.crcM = r.Crc;
    e.omegaRad = r.Omega;
    e.omegaDotRadPerS = r.OmegaDot;
    e.idotRadPerS = r.Idot;
    e.l2Codes = d.l2Codes;
    e.l2PDataFlag = d.l2PDataFlag;
    e.accuracyM = RinexUraMetres(d.uraIndex);
    e.health = d.health;
    e.tgdS = r.Tgd;
    e.iodc = r.Iodc;
    e.transmissionS = transmitSow + (transmitWeek - toeWeek) * kSecondsPerWeek;
    e.fitIntervalH = RinexFitIntervalHours(d.fitIntervalFlag, r.Iodc);
    return e;
}

CalendarTime NowUtc() {
    const auto now = std::chrono::system_clock::now();
    return CalendarFromUnixSeconds(
        std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count());
}

// Formats the observation body kept in `body` after the header into `out`.
bool WriteObservationFile(files::OutputFile& out, const RinexObsHeader& header, std::FILE* body) {
    std::string text;
    text.reserve(kWriteBufferBytes + 65536);
    if (!AppendRinexObsHeader(text, header)) return false;
    std::rewind(body);
    RinexObsEpoch epoch;
    epoch.satellites.reserve(kMaxSatBlocks);
    StoredEpoch head;
    uint8_t packed[kMostEpochBytes];
    constexpr auto kL1 = static_cast<std::size_t>(RinexObsType::kL1);
    constexpr auto kL2 = static_cast<std::size_t>(RinexObsType::kL2);
    constexpr auto kS1 = static_cast<std::size_t>(RinexObsType::kS1);
    while (std::fread(&head, sizeof head, 1, body) == 1) {
        if (head.satCount > kMaxSatBlocks || head.bytes > sizeof packed ||
            std::fread(packed, 1, head.bytes, body) != head.bytes) {
            return false;
        }
        epoch.time = GpsTime{head.week, head.sow};
        epoch.flag = 0;
        epoch.clockOffsetS = head.hasClock ? std::optional<double>(head.clockS) : std::nullopt;
        epoch.satellites.resize(head.satCount);
        std::size_t at = 0;
        for (RinexSatObs& o : epoch.satellites) {
            StoredSat s;
            std::memcpy(&s, packed + at, sizeof s);
            at += sizeof s;
            o.prn = s.prn;
            for (std::size_t t = 0; t < kRinexObsTypeCount; ++t) {
                RinexObsValue& v = o.values[t];
                v.present = (s.present & (1u << t)) != 0;
                if (!v.present) continue;
                if (t == kS1) {
                    v.value = s.strength;
                } else {
                    std::memcpy(&v.value, packed + at, sizeof(double));
                    at += sizeof(double);
                }
            }
            o.values[kL1].lli = s.lli & kLockLost;
            o.values[kL1].strength = StrengthDigit(s.strength);
            o.values[kL2].lli = (s.lli & kLockLostL2) != 0 ? kLockLost : 0;
        }
        if (!AppendRinexObsEpoch(text, header, epoch)) return false;
        if (text.size() >= kWriteBufferBytes) {
            if (!out.Write(text)) return false;
            text.clear();
        }
    }
    return out.Write(text) && !std::ferror(body);
}

}  // namespace

std::string MarkerNameFromLog(const std::string& input) {
    if (input.empty() || input == "-") return kDefaultMarker;
    std::string name = input.substr(input.find_last_of('/') == std::string::npos ? 0 : input.find_last_of('/') + 1);
    name = name.substr(0, name.find('.'));
    std::string marker;
    for (char c : name) {
        if (std::isalnum(static_cast<unsigned char>(c)) && marker.size() < 60) marker.push_back(c);
    }
    return marker.empty() ? kDefaultMarker : marker;
}

namespace {

// Toe within this much of a file's first and last epochs puts an ephemeris in the
// navigation file of one period: the broadcast fit of an ephemeris reaches two hours from Toe.
constexpr double kEphemerisReachS = 7200.0;

// Writes (or, in a dry run, names) the observation and navigation files of what the
// collector holds. False with the reason in the error text.
bool WriteFiles(const RinexRunOptions& options, Collector& collector, std::FILE* body, std::FILE* nav,
                const CalendarTime& created, RinexRunResult& written) {
    const std::string marker = options.markerName.empty()
                                   ? MarkerNameFromLog(options.spliceInputs.empty() ? options.input
                                                                                    : options.spliceInputs.front())
                                   : options.markerName;
    RinexNameParts names;
    names.marker = marker;
    names.country = options.country;
    names.first = collector.first();
    names.last = collector.last();
    names.intervalS = collector.Interval();
    const auto name = [&](RinexFileKind kind) {
        return JoinPath(options.directory, options.version == RinexVersion::k304 ? RinexLongName(names, kind)
                                                                                : RinexShortName(names, kind));
    };
    const std::string obsPath = options.obsPath.empty() ? name(RinexFileKind::kObservation) : options.obsPath;
    const bool writeNav = options.writeNav && collector.ephemeridesStored() > 0;
    const std::string navPath = !writeNav ? std::string() : options.navPath.empty() ? name(RinexFileKind::kNavigation)
                                                                                    : options.navPath;
    if (options.dryRun) {
        written.obsPath = obsPath;
        written.navPath = navPath;
        written.files.push_back(obsPath);
        if (writeNav) written.files.push_back(navPath);
        return true;
    }

    RinexObsHeader h;
    h.version = options.version;
    h.program = options.program;
    h.runBy = options.agency;
    h.createdUtc = created;
    h.comments = options.comments;
    if (options.doppler) {
        h.comments.push_back(kDopplerComment1);
        h.comments.push_back(kDopplerComment2);
        h.comments.push_back(kDopplerComment3);
    }
    h.markerName = marker;
    h.markerNumber = options.markerNumber;
    h.observer = options.observer;
    h.agency = options.agency;
    h.receiverNumber = options.receiverNumber;
    h.receiverType = options.receiverType;
    h.receiverVersion = options.receiverVersion;
    h.antennaNumber = options.antennaNumber;
    h.antennaType = options.antennaType;
    h.antennaDeltaHenM = options.antennaDeltaHenM;
    if (options.positionM) {
        h.approxPositionM = *options.positionM;
    } else if (const auto median = collector.MedianPosition()) {
        h.approxPositionM = *median;
    }
    h.types = RinexObsTypesFor(collector.anyP1(), options.doppler);
    h.intervalS = collector.Interval();
    h.firstObs = collector.first();
    h.lastObs = collector.last();
    h.leapSeconds = LeapSecondsAtGps(collector.first());
    h.clockOffsetApplied = 0;
    h.satCounts = collector.SatCounts();

    errno = 0;
    if (std::fflush(body) != 0 || std::ferror(body)) {
        format_error_text(kNoScratch, obsPath.c_str(), files::Reason(errno != 0 ? errno : EIO).c_str());
        return false;
    }
    // Both files are made before either is written, so that neither takes its name when the
    // other cannot be written.
    const files::Existing existing = options.noClobber ? files::Existing::kRefuse : files::Existing::kReplace;
    files::OutputFile obsOut;
    files::OutputFile navOut;
    const auto failed = [](const files::OutputFile& out, const std::string& path) {
        format_error_text(kCannotWrite, path.c_str(), out.reason().c_str());
        return false;
    };
    if (!obsOut.Create(obsPath, existing)) return failed(obsOut, obsPath);
    if (writeNav && !navOut.Create(navPath, existing)) return failed(navOut, navPath);
    errno = 0;
    if (!WriteObservationFile(obsOut, h, body)) {
        if (!obsOut.reason().empty()) return failed(obsOut, obsPath);
        format_error_text(kNoScratch, obsPath.c_str(), files::Reason(errno != 0 ? errno : EIO).c_str());
        return false;
    }

    // The navigation file: in time order (clock reference time, then PRN); satellites never
    // observed left out when asked; with a period, the ephemerides that reach into it.
    int32_t ephemeridesWritten = 0;
    if (writeNav) {
        // The 10-bit broadcast weeks are resolved against the week of the first epoch. The
        // records are sorted by an index of (clock reference time, PRN, place in the scratch
        // file) and read back one at a time: memory holds the index, not the records.
        const int referenceWeek = collector.firstWeek();
        const double from = collector.first().Total() - kEphemerisReachS;
        const double to = collector.last().Total() + kEphemerisReachS;
        struct Entry {
            double toc;
            int prn;
            long index;
        };
        std::vector<Entry> order;
        errno = 0;
        if (std::fflush(nav) != 0 || std::ferror(nav)) {
            format_error_text(kNoScratch, navPath.c_str(), files::Reason(errno != 0 ? errno : EIO).c_str());
            return false;
        }
        std::rewind(nav);
        StoredEphemeris stored;
        for (long index = 0; std::fread(&stored, sizeof stored, 1, nav) == 1; ++index) {
            const RinexGpsEphemeris e = ToRinex(stored.decoded, referenceWeek);
            if (options.trackedOnly && !collector.Observed(e.prn)) continue;
            const double toe = e.week * kSecondsPerWeek + e.toeS;
            if (options.periodS > 0.0 && (toe < from || toe > to)) continue;
            const double toc = e.toeS + WeekCrossover(e.tocS - e.toeS);
            order.push_back({e.week * kSecondsPerWeek + toc, e.prn, index});
        }
        std::sort(order.begin(), order.end(), [](const Entry& a, const Entry& b) {
            return std::tie(a.toc, a.prn, a.index) < std::tie(b.toc, b.prn, b.index);
        });
        RinexNavHeader nh;
        nh.version = options.version;
        nh.program = options.program;
        nh.runBy = options.agency;
        nh.createdUtc = created;
        nh.comments = options.comments;
        nh.leapSeconds = LeapSecondsAtGps(collector.first());
        bool whole = true;
        std::string text;
        AppendRinexNavHeader(text, nh);
        for (const Entry& entry : order) {
            if (!whole) break;
            whole = std::fseek(nav, entry.index * static_cast<long>(sizeof stored), SEEK_SET) == 0 &&
                    std::fread(&stored, sizeof stored, 1, nav) == 1;
            if (whole && AppendRinexNavRecord(text, options.version, ToRinex(stored.decoded, referenceWeek))) {
                ++ephemeridesWritten;
            }
            if (text.size() >= kNavChunkBytes) {
                whole = navOut.Write(text) && whole;
                text.clear();
            }
        }
        whole = whole && navOut.Write(text);
        std::fseek(nav, 0, SEEK_END);  // new ephemerides go on after the ones there
        if (!whole) {
            format_error_text(kCannotWrite, navPath.c_str(),
                              navOut.reason().empty() ? "the ephemerides cannot be read back" : navOut.reason().c_str());
            return false;
        }
    }

    // Both files are whole: they take their names together, or neither keeps one.
    if (!obsOut.Commit()) return failed(obsOut, obsPath);
    if (writeNav && !navOut.Commit()) {
        std::remove(obsPath.c_str());
        return failed(navOut, navPath);
    }
    if (obsOut.replacing()) written.replaced.push_back(obsPath);
    if (writeNav && navOut.replacing()) written.replaced.push_back(navPath);
    written.obsPath = obsPath;
    written.navPath = navPath;
    written.files.push_back(obsPath);
    if (writeNav) written.files.push_back(navPath);
    written.ephemerides += ephemeridesWritten;
    return true;
}

}  // namespace

int32_t ConvertToRinex(const RinexRunOptions& options, const CallbackBlock& callbacks, RinexRunResult& result) {
    result = RinexRunResult{};
    SetHostCallbacks(&callbacks);
    ResetAbortCount();
    // Each conversion starts afresh: no ephemeris, and no earlier solution to start from, so
    // the files do not depend on what the process converted before.
    eph_store_clear();
    reset_single_point_state();

    if (options.intervalS != 0.0 && !(options.intervalS >= kShortestIntervalS && options.intervalS <= kLongestIntervalS)) {
        format_error_text(kBadInterval, options.intervalS);
        return 1;
    }
    const std::vector<std::string> inputs =
        options.spliceInputs.empty() ? std::vector<std::string>{options.input} : options.spliceInputs;

    // The scratch files go where the observation file will. An output that cannot be written
    // (its folder takes no file, or its name is a folder's) is found before the log is read.
    const std::string obsDirectory = options.obsPath.empty() ? options.directory : DirectoryOf(options.obsPath);
    const std::string obsWhere = !options.obsPath.empty() ? options.obsPath
                                 : obsDirectory.empty()   ? std::string(".")
                                                          : obsDirectory;
    if (!options.dryRun) {
        const std::string navWhere = !options.navPath.empty()  ? options.navPath
                                     : options.directory.empty() ? std::string(".")
                                                                 : options.directory;
        // A file named outright, or the folder of the RINEX names.
        std::vector<std::pair<std::string, bool>> outputs = {{obsWhere, !options.obsPath.empty()}};
        if (options.writeNav) outputs.emplace_back(navWhere, !options.navPath.empty());
        for (const auto& [where, named] : outputs) {
            const std::string why = named ? files::WhyUnwritable(where) : files::WhyFolderUnwritable(where);
            if (!why.empty()) {
                format_error_text(kCannotWrite, where.c_str(), why.c_str());
                return 1;
            }
        }
    }
    struct ScratchCloser {
        std::FILE* file = nullptr;
        ~ScratchCloser() {
            if (file != nullptr) std::fclose(file);
        }
    } bodyCloser, navCloser;
    std::FILE* body = nullptr;
    std::FILE* nav = nullptr;
    if (!options.dryRun) {
        body = bodyCloser.file = OpenScratch(obsDirectory);
        nav = navCloser.file = body == nullptr ? nullptr : OpenScratch(obsDirectory);
        if (body == nullptr || nav == nullptr) {
            format_error_text(kCannotWrite, obsWhere.c_str(), files::Reason(errno).c_str());
            return 1;
        }
        std::setvbuf(body, nullptr, _IOFBF, kWriteBufferBytes);
    }

    const CalendarTime created = options.createdUtc ? *options.createdUtc : NowUtc();
    RinexRunResult written;
    std::string writeError;
    Collector collector(options, body, nav, [&](Collector& c) {
        if (WriteFiles(options, c, body, nav, created, written)) return true;
        writeError = error_text();
        return false;
    });
    if (OpenPort(kDecoderPort, relayMessage) != 0) return 1;
    // A dry run names the files: the epochs kept do not depend on the clock solution.
    const bool solve = options.clockCorrection && !options.dryRun;
    OptionRecord decoderOptions{0, options.reportL2Slips ? 1 : 0, solve ? 1 : 0, options.verbose ? 1 : 0};
    SetPortOptions(kDecoderPort, &decoderOptions, KESTREL_OPTION_RECORD_SIZE);
    SetPortObserver(kDecoderPort, &collector);

    static uint8_t threadBuf[kThreadBufMemoryBytes];
    RunEnd end = RunEnd::kComplete;
    for (std::size_t i = 0; i < inputs.size() && end == RunEnd::kComplete; ++i) {
        const LogInput log(inputs[i]);
        if (log.file() == nullptr) {
            const int why = errno;
            SetPortObserver(kDecoderPort, nullptr);
            format_error_text(kCannotOpen, inputs[i].c_str(), files::Reason(why).c_str());
            return 1;
        }
        collector.SetLogName(log.name());
        long long bytesRead = 0;
        end = FeedInput(log.file(), log.name().c_str(), callbacks, threadBuf, collector, bytesRead,
                        i + 1 == inputs.size());
    }
    SetPortObserver(kDecoderPort, nullptr);
    const auto Finish = [&](const RinexRunResult& totals) {
        result = totals;
        result.files = written.files;
        result.obsPath = written.obsPath;
        result.navPath = written.navPath;
        result.ephemerides = written.ephemerides;
        result.replaced = written.replaced;
        result.decodedAnything = collector.anythingDecoded();
    };
    Finish(collector.Totals());
    if (collector.refused()) {
        set_error_text(collector.refusal().c_str());
        return 1;
    }
    if (collector.failed()) {
        set_error_text(writeError.empty() ? "Error: Unable to write the RINEX files" : writeError.c_str());
        return 1;
    }
    if (collector.scratchError() != 0) {
        format_error_text(kNoScratch, obsWhere.c_str(), files::Reason(collector.scratchError()).c_str());
        return 1;
    }
    if (end == RunEnd::kReadFailed) return 1;
    result.aborted = end == RunEnd::kAborted;
    // Nothing to write is a failure, and leaves no file: a navigation file alone would
    // stand for a conversion that did not happen.
    if (collector.epochs() == 0 && written.files.empty()) {
        if (result.aborted) {
            set_error_text(kUserQuit);
        } else {
            format_error_text(kNoEpochs, inputs.size() == 1 ? LogInput::NameOf(inputs.front()).c_str()
                                                            : "the logs spliced");
            result.noEpochs = true;
        }
        return 1;
    }
    if (collector.epochs() > 0 && !WriteFiles(options, collector, body, nav, created, written)) return 1;
    Finish(collector.Totals());
    result.aborted = end == RunEnd::kAborted;
    if (result.aborted) {
        set_error_text(kUserQuit);
        return 1;
    }
    return 0;
}

}  // namespace kestrel
