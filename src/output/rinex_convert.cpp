// SPDX-License-Identifier: BSD-2-Clause
#include "output/rinex_convert.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <tuple>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/error_text.h"
#include "navcom/decode_observer.h"
#include "navcom/frame_parser.h"
#include "output/rinex_names.h"
#include "output/rinex_nav_writer.h"
#include "plugin/feed.h"
#include "plugin/plugin.h"
#include "positioning/eph_store.h"
#include "threadbuf/threadbuf.h"

namespace kestrel {
namespace {

constexpr double kSpeedOfLightMps = 299792458.0;
constexpr double kHalfWeekS = 302400.0;
constexpr int kFirstPrn = 1;
constexpr int kLastPrn = 32;
constexpr uint8_t kBlockHasP1 = 0x40;
constexpr uint8_t kBlockHasL2 = 0x20;
constexpr uint8_t kLockLost = 1;          // loss-of-lock indicator bit 0
constexpr std::size_t kWriteBufferBytes = 1 << 20;
constexpr std::size_t kPositionSamples = 4096;  // solutions kept for the median position
constexpr std::size_t kIntervalKinds = 64;      // distinct epoch spacings counted
constexpr const char* kDefaultMarker = "UNKN";
constexpr const char* kStandardInputName = "standard input";

constexpr const char* kCannotOpen = "Error: Unable to open %s";
constexpr const char* kCannotWrite = "Error: Unable to write to %s";
constexpr const char* kNoScratch = "Error: Unable to create a scratch file in %s";
constexpr const char* kNoWeek =
    "Error: the MEASUREMENT frames of %s carry no GPS week (at %.3f s of week); give the week of the first epoch";
constexpr const char* kWeekJump =
    "Error: the GPS week of %s jumps from %d to %d at %.3f s of week; give the week of the first epoch";
constexpr const char* kNoEpochs = "Error: %s holds no epoch to write";
constexpr const char* kNoNavWeek =
    "Error: %s holds ephemerides but no GPS week to place them in; give the week of the first epoch";
constexpr const char* kDopplerComment1 = "D1C/D1: L1 Doppler derived by Kestrel from successive C/A";
constexpr const char* kDopplerComment2 = "code ranges (the receiver sends none); positive when the";
constexpr const char* kDopplerComment3 = "satellite approaches";

// One epoch and its satellites as kept in the scratch file until the header is known.
struct StoredEpoch {
    double sow;
    int32_t week;
    uint8_t satCount;
    uint8_t hasClock;
    uint8_t spare[2];
    double clockS;
};
struct StoredSat {
    uint8_t prn;
    uint8_t present;  // bit i: a value of RinexObsType i
    uint8_t lli[2];   // L1, L2
    uint8_t strength; // 1..9 on the L1 phase
    uint8_t spare[3];
    double values[kRinexObsTypeCount];
};

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

// An output written under a temporary name in its final folder and renamed when whole.
class OutputFile {
public:
    ~OutputFile() { Discard(); }

    bool Create(const std::string& directory) {
        temp_ = JoinPath(directory.empty() ? "." : directory, ".kestrel-rinex-XXXXXX");
        const int fd = mkstemp(temp_.data());
        if (fd < 0) {
            format_error_text(kCannotWrite, directory.c_str());
            temp_.clear();
            return false;
        }
        // Readable as any file the user makes (mkstemp gives 0600).
        const mode_t mask = umask(0);
        umask(mask);
        fchmod(fd, 0666 & ~mask);
        file_ = fdopen(fd, "wb");
        if (file_ == nullptr) {
            close(fd);
            return false;
        }
        std::setvbuf(file_, nullptr, _IOFBF, kWriteBufferBytes);
        return true;
    }

    void Write(const std::string& text) {
        if (file_ != nullptr && !text.empty()) std::fwrite(text.data(), 1, text.size(), file_);
    }

    // Closes and renames to `finalPath`; false with "Unable to write to" when any byte was lost.
    bool Commit(const std::string& finalPath) {
        const bool written = file_ != nullptr && std::ferror(file_) == 0;
        const bool closed = file_ != nullptr && std::fclose(file_) == 0;
        file_ = nullptr;
        if (!written || !closed || std::rename(temp_.c_str(), finalPath.c_str()) != 0) {
            format_error_text(kCannotWrite, finalPath.c_str());
            Discard();
            return false;
        }
        temp_.clear();
        return true;
    }

    void Discard() {
        if (file_ != nullptr) std::fclose(file_);
        file_ = nullptr;
        if (!temp_.empty()) unlink(temp_.c_str());
        temp_.clear();
    }

private:
    std::FILE* file_ = nullptr;
    std::string temp_;
};

// Evenly spread single-point solutions, at most kPositionSamples of them: when full, every
// other one goes and only every second solution after is taken.
class PositionSampler {
public:
    void Add(const double position[3]) {
        if (seen_++ % stride_ != 0) return;
        if (samples_.size() == kPositionSamples) {
            std::size_t kept = 0;
            for (std::size_t i = 0; i < samples_.size(); i += 2) samples_[kept++] = samples_[i];
            samples_.resize(kept);
            stride_ *= 2;
            if ((seen_ - 1) % stride_ != 0) return;
        }
        samples_.push_back({position[0], position[1], position[2]});
    }

    std::optional<std::array<double, 3>> Median() const {
        if (samples_.empty()) return std::nullopt;
        std::array<double, 3> median{};
        std::vector<double> axis(samples_.size());
        for (int k = 0; k < 3; ++k) {
            for (std::size_t i = 0; i < samples_.size(); ++i) axis[i] = samples_[i][static_cast<std::size_t>(k)];
            auto middle = axis.begin() + static_cast<std::ptrdiff_t>(axis.size() / 2);
            std::nth_element(axis.begin(), middle, axis.end());
            median[static_cast<std::size_t>(k)] = *middle;
        }
        return median;
    }

private:
    std::vector<std::array<double, 3>> samples_;
    std::size_t stride_ = 1;
    std::size_t seen_ = 0;
};

// Collects what the decoders give into the scratch files and the header's facts.
class Collector : public DecodeObserver, public RecordSink {
public:
    Collector(const RinexRunOptions& options, std::FILE* body, std::FILE* nav, const std::string& logName)
        : options_(options), body_(body), nav_(nav), logName_(logName) {}

    // Ends the run once the log has been found unfit (its weeks).
    bool Collect(const uint8_t*) override { return !refused_; }

    void OnEpoch(const DecodedEpoch& epoch) override {
        if (refused_) return;
        GpsTime time;
        if (!PlaceEpoch(epoch, time)) return;
        StoredSat sats[kMaxSatBlocks];
        uint8_t count = 0;
        const double total = time.Total();
        const bool keep = Wanted(time, total);
        for (int i = 0; i < epoch.satCount; ++i) {
            const DecodedSat& d = epoch.sats[i];
            const int prn = d.sat.prn;
            if (d.outcome == SlipOutcome::kBadPrn || d.outcome == SlipOutcome::kNoTimeStep) continue;
            if (prn < kFirstPrn || prn > kLastPrn) continue;
            Arc& arc = arcs_[prn];
            const bool hasL2 = (d.sat.status & kBlockHasL2) != 0;
            // A return after more than a minute is a new arc of phase.
            const bool returned = d.outcome == SlipOutcome::kNewArc && arc.seen;
            arc.pendingL1 = arc.pendingL1 || d.l1Slip || returned;
            arc.pendingL2 = arc.pendingL2 || d.l2Slip || returned;
            arc.seen = true;
            if (!keep) continue;
            StoredSat& s = sats[count++];
            s = StoredSat{};
            s.prn = static_cast<uint8_t>(prn);
            Put(s, RinexObsType::kC1, d.sat.ca_range);
            Put(s, RinexObsType::kL1, -d.sat.l1_phase);
            Put(s, RinexObsType::kS1, d.sat.strength);
            s.strength = StrengthDigit(d.sat.strength);
            if (options_.doppler && d.outcome == SlipOutcome::kContinued) Put(s, RinexObsType::kD1, d.sat.doppler);
            if (d.sat.status & kBlockHasP1) {
                Put(s, RinexObsType::kP1, d.sat.p1_range);
                anyP1_ = true;
            }
            if (arc.pendingL1) {
                s.lli[0] = kLockLost;
                ++result_.l1Slips;
            }
            arc.pendingL1 = false;
            if (hasL2) {
                Put(s, RinexObsType::kP2, d.sat.p2_range);
                Put(s, RinexObsType::kL2, -d.sat.l2_phase);
                if (arc.pendingL2) {
                    s.lli[1] = kLockLost;
                    ++result_.l2Slips;
                }
                arc.pendingL2 = false;
            }
        }
        if (!keep) {
            ++result_.epochsDropped;
            return;
        }
        if (count == 0) return;
        StoredEpoch head{};
        head.sow = time.sow;
        head.week = time.week;
        head.satCount = count;
        const EpochHeader* header = epoch.header;
        if (header != nullptr && (header->flags & KESTREL_EPOCH_FLAG_CLOCK_CORRECTED) != 0 &&
            header->clock_offset != 0.0) {
            head.hasClock = 1;
            head.clockS = header->clock_offset / kSpeedOfLightMps;
        }
        if (epoch.solved) {
            positions_.Add(epoch.position);
            ++result_.solutions;
        }
        std::fwrite(&head, sizeof head, 1, body_);
        std::fwrite(sats, sizeof(StoredSat), count, body_);
        Count(head, sats, count, total);
    }

    void OnEphemeris(const DecodedEphemeris& e) override {
        const EphemerisKey key{e.record.Prn, e.record.Week, e.record.Toe, e.record.Iode};
        if (!ephemerisKeys_.insert(key).second) return;
        StoredEphemeris stored{e};
        std::fwrite(&stored, sizeof stored, 1, nav_);
        ++ephemeridesStored_;
        if (e.transmitWeek > 0 && navWeekHint_ == 0) navWeekHint_ = e.transmitWeek;
    }

    bool refused() const { return refused_; }
    bool anyP1() const { return anyP1_; }
    int32_t epochs() const { return result_.epochs; }
    int32_t ephemeridesStored() const { return ephemeridesStored_; }
    int firstWeek() const { return haveFirst_ ? first_.week : 0; }
    int navWeekHint() const { return navWeekHint_; }
    const GpsTime& first() const { return first_; }
    const GpsTime& last() const { return last_; }
    bool Observed(int prn) const { return prn >= 0 && prn < kSlots && counts_[prn].prn != 0; }
    std::optional<std::array<double, 3>> MedianPosition() const { return positions_.Median(); }
    RinexRunResult& result() { return result_; }

    double Interval() const {
        if (options_.intervalS > 0.0) return options_.intervalS;
        // The spacing between consecutive epochs seen most often (the smaller on a tie).
        int64_t best = 0;
        std::size_t bestCount = 0;
        for (const auto& [ms, n] : spacings_) {
            if (n > bestCount) {
                best = ms;
                bestCount = n;
            }
        }
        return static_cast<double>(best) / 1000.0;
    }

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
        bool pendingL1 = false;  // lock lost since the last epoch written
        bool pendingL2 = false;
    };

    static void Put(StoredSat& s, RinexObsType type, double value) {
        const auto i = static_cast<std::size_t>(type);
        s.values[i] = value;
        s.present = static_cast<uint8_t>(s.present | (1u << i));
    }

    // The epoch's full GPS time, from the frame's week or the week given; false (and the log
    // refused) when the frames carry no week or it jumps.
    bool PlaceEpoch(const DecodedEpoch& epoch, GpsTime& time) {
        int week = epoch.week;
        if (options_.week) {
            // The given week, rolled over where the time of week starts again.
            if (!havePlaced_) {
                placedWeek_ = *options_.week;
            } else if (epoch.time < placedSow_ - kHalfWeekS) {
                ++placedWeek_;
            }
            week = placedWeek_;
        } else if (week <= 0) {
            format_error_text(kNoWeek, logName_.c_str(), epoch.time);
            refused_ = true;
            return false;
        } else if (havePlaced_ && week != placedWeek_ &&
                   !(week == placedWeek_ + 1 && epoch.time < placedSow_)) {
            format_error_text(kWeekJump, logName_.c_str(), placedWeek_, week, epoch.time);
            refused_ = true;
            return false;
        }
        placedWeek_ = week;
        placedSow_ = epoch.time;
        havePlaced_ = true;
        time = GpsTime{week, epoch.time};
        return true;
    }

    // Inside the window, on the decimation grid and later than the last epoch written.
    bool Wanted(const GpsTime& time, double total) const {
        if (haveLast_ && total <= last_.Total()) return false;
        if (options_.from && total < options_.from->Total() - 1e-6) return false;
        if (options_.to && total > options_.to->Total() + 1e-6) return false;
        if (options_.intervalS > 0.0) {
            const auto step = static_cast<int64_t>(std::llround(options_.intervalS * 1000.0));
            const auto ms = static_cast<int64_t>(std::llround(time.sow * 1000.0));
            if (step > 0 && ms % step != 0) return false;
        }
        return true;
    }

    void Count(const StoredEpoch& head, const StoredSat* sats, int count, double total) {
        const GpsTime time{head.week, head.sow};
        if (!haveFirst_) {
            first_ = time;
            haveFirst_ = true;
        }
        if (haveLast_) {
            const auto ms = static_cast<int64_t>(std::llround((total - last_.Total()) * 1000.0));
            auto it = spacings_.find(ms);
            if (it != spacings_.end()) {
                ++it->second;
            } else if (spacings_.size() < kIntervalKinds) {
                spacings_[ms] = 1;
            }
        }
        last_ = time;
        haveLast_ = true;
        ++result_.epochs;
        result_.observations += count;
        for (int i = 0; i < count; ++i) {
            RinexSatCount& c = counts_[sats[i].prn];
            if (c.prn == 0) ++result_.satellites;
            c.prn = sats[i].prn;
            for (std::size_t t = 0; t < kRinexObsTypeCount; ++t) {
                if (sats[i].present & (1u << t)) ++c.counts[t];
            }
        }
    }

    const RinexRunOptions& options_;
    std::FILE* body_;
    std::FILE* nav_;
    std::string logName_;
    RinexRunResult result_;
    bool refused_ = false;
    bool anyP1_ = false;
    bool havePlaced_ = false;
    int placedWeek_ = 0;
    double placedSow_ = 0.0;
    bool haveFirst_ = false;
    bool haveLast_ = false;
    GpsTime first_;
    GpsTime last_;
    Arc arcs_[kSlots];
    RinexSatCount counts_[kSlots];
    std::map<int64_t, std::size_t> spacings_;
    PositionSampler positions_;
    std::set<EphemerisKey> ephemerisKeys_;
    int32_t ephemeridesStored_ = 0;
    int navWeekHint_ = 0;
};

// The ephemeris as the navigation file gives it, its weeks resolved against `referenceWeek`.
RinexGpsEphemeris ToRinex(const DecodedEphemeris& d, int referenceWeek) {
    const GpsEphRecord& r = d.record;
    RinexGpsEphemeris e;
    e.prn = r.Prn;
    // The broadcast week is the week of transmission; Toe may lie in the next (or, for an
    // ephemeris sent early, the previous) week.
    const int transmitWeek = FullWeekFromBroadcast(r.Week, referenceWeek);
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
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
    CalendarTime t;
    const int64_t days = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
    int64_t rest = seconds - days * 86400;
    CivilFromDays(days, t.year, t.month, t.day);
    t.hour = static_cast<int>(rest / 3600);
    rest %= 3600;
    t.minute = static_cast<int>(rest / 60);
    t.second = static_cast<double>(rest % 60);
    return t;
}

// Formats the observation body kept in `body` after the header into `out`.
bool WriteObservationFile(OutputFile& out, const RinexObsHeader& header, std::FILE* body) {
    std::string text;
    text.reserve(kWriteBufferBytes + 65536);
    if (!AppendRinexObsHeader(text, header)) return false;
    std::rewind(body);
    RinexObsEpoch epoch;
    epoch.satellites.reserve(kMaxSatBlocks);
    StoredEpoch head;
    StoredSat sats[kMaxSatBlocks];
    while (std::fread(&head, sizeof head, 1, body) == 1) {
        if (head.satCount > kMaxSatBlocks || std::fread(sats, sizeof(StoredSat), head.satCount, body) != head.satCount) {
            return false;
        }
        epoch.time = GpsTime{head.week, head.sow};
        epoch.flag = 0;
        epoch.clockOffsetS = head.hasClock ? std::optional<double>(head.clockS) : std::nullopt;
        epoch.satellites.resize(head.satCount);
        for (int i = 0; i < head.satCount; ++i) {
            const StoredSat& s = sats[i];
            RinexSatObs& o = epoch.satellites[static_cast<std::size_t>(i)];
            o.prn = s.prn;
            for (std::size_t t = 0; t < kRinexObsTypeCount; ++t) {
                RinexObsValue& v = o.values[t];
                v = RinexObsValue{};
                if ((s.present & (1u << t)) == 0) continue;
                v.present = true;
                v.value = s.values[t];
            }
            o.values[static_cast<std::size_t>(RinexObsType::kL1)].lli = s.lli[0];
            o.values[static_cast<std::size_t>(RinexObsType::kL1)].strength = s.strength;
            o.values[static_cast<std::size_t>(RinexObsType::kL2)].lli = s.lli[1];
        }
        if (!AppendRinexObsEpoch(text, header, epoch)) return false;
        if (text.size() >= kWriteBufferBytes) {
            out.Write(text);
            text.clear();
        }
    }
    out.Write(text);
    return !std::ferror(body);
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

int32_t ConvertToRinex(const RinexRunOptions& options, const CallbackBlock& callbacks, RinexRunResult& result) {
    result = RinexRunResult{};
    SetHostCallbacks(&callbacks);
    ResetAbortCount();
    eph_store_clear();

    const bool fromStandardInput = options.input == "-";
    const std::string logName = fromStandardInput ? kStandardInputName : options.input;
    std::FILE* input = fromStandardInput ? stdin : std::fopen(options.input.c_str(), "rb");
    if (input == nullptr) {
        format_error_text(kCannotOpen, options.input.c_str());
        return 1;
    }
    struct InputCloser {
        std::FILE* file;
        bool owned;
        ~InputCloser() {
            if (owned) std::fclose(file);
        }
    } closer{input, !fromStandardInput};

    const std::string obsDirectory = options.obsPath.empty() ? options.directory : DirectoryOf(options.obsPath);
    const std::string navDirectory = options.navPath.empty() ? options.directory : DirectoryOf(options.navPath);
    std::FILE* body = OpenScratch(obsDirectory);
    if (body == nullptr) {
        format_error_text(kNoScratch, obsDirectory.empty() ? "." : obsDirectory.c_str());
        return 1;
    }
    struct ScratchCloser {
        std::FILE* file;
        ~ScratchCloser() {
            if (file != nullptr) std::fclose(file);
        }
    } bodyCloser{body}, navCloser{nullptr};
    std::FILE* nav = OpenScratch(obsDirectory);
    if (nav == nullptr) {
        format_error_text(kNoScratch, obsDirectory.empty() ? "." : obsDirectory.c_str());
        return 1;
    }
    navCloser.file = nav;
    std::setvbuf(body, nullptr, _IOFBF, kWriteBufferBytes);

    Collector collector(options, body, nav, logName);
    if (OpenPort(kDecoderPort, relayMessage) != 0) return 1;
    OptionRecord decoderOptions{0, options.reportL2Slips ? 1 : 0, options.clockCorrection ? 1 : 0,
                                options.verbose ? 1 : 0};
    SetPortOptions(kDecoderPort, &decoderOptions, KESTREL_OPTION_RECORD_SIZE);
    SetPortObserver(kDecoderPort, &collector);

    static uint8_t threadBuf[kThreadBufMemoryBytes];
    long long bytesRead = 0;
    const RunEnd end = FeedInput(input, logName.c_str(), callbacks, threadBuf, collector, bytesRead);
    SetPortObserver(kDecoderPort, nullptr);
    result = collector.result();
    if (end == RunEnd::kReadFailed || collector.refused()) return 1;
    result.aborted = end == RunEnd::kAborted;
    if (std::fflush(body) != 0 || std::ferror(body) || std::fflush(nav) != 0 || std::ferror(nav)) {
        format_error_text(kNoScratch, obsDirectory.empty() ? "." : obsDirectory.c_str());
        return 1;
    }

    // Header facts.
    const std::string marker = options.markerName.empty() ? MarkerNameFromLog(options.input) : options.markerName;
    const CalendarTime created = options.createdUtc ? *options.createdUtc : NowUtc();
    RinexNameParts names;
    names.marker = marker;
    names.country = options.country;
    names.first = collector.first();
    names.last = collector.last();
    names.intervalS = collector.Interval();

    bool ok = true;
    if (collector.epochs() == 0) {
        format_error_text(kNoEpochs, logName.c_str());
        ok = false;
    } else {
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

        result.obsPath = options.obsPath.empty()
                             ? JoinPath(options.directory, options.version == RinexVersion::k304
                                                               ? RinexLongName(names, RinexFileKind::kObservation)
                                                               : RinexShortName(names, RinexFileKind::kObservation))
                             : options.obsPath;
        OutputFile out;
        if (!out.Create(obsDirectory)) {
            format_error_text(kCannotWrite, result.obsPath.c_str());
            return 1;
        }
        if (!WriteObservationFile(out, h, body)) {
            format_error_text(kCannotWrite, result.obsPath.c_str());
            return 1;
        }
        if (!out.Commit(result.obsPath)) return 1;
    }

    if (options.writeNav && collector.ephemeridesStored() > 0) {
        const int referenceWeek = options.week ? *options.week
                                  : collector.firstWeek() > 0 ? collector.firstWeek()
                                                              : collector.navWeekHint();
        if (referenceWeek <= 0) {
            format_error_text(kNoNavWeek, logName.c_str());
            return 1;
        }
        // In time order (clock reference time, then PRN); satellites never observed left
        // out when asked.
        std::vector<std::pair<std::pair<double, int>, RinexGpsEphemeris>> records;
        std::rewind(nav);
        StoredEphemeris stored;
        while (std::fread(&stored, sizeof stored, 1, nav) == 1) {
            const RinexGpsEphemeris e = ToRinex(stored.decoded, referenceWeek);
            if (options.trackedOnly && !collector.Observed(e.prn)) continue;
            double toc = e.tocS;
            if (toc - e.toeS > kHalfWeekS) toc -= kSecondsPerWeek;
            if (toc - e.toeS < -kHalfWeekS) toc += kSecondsPerWeek;
            records.push_back({{e.week * kSecondsPerWeek + toc, e.prn}, e});
        }
        std::stable_sort(records.begin(), records.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        RinexNavHeader h;
        h.version = options.version;
        h.program = options.program;
        h.runBy = options.agency;
        h.createdUtc = created;
        h.comments = options.comments;
        if (collector.epochs() > 0) h.leapSeconds = LeapSecondsAtGps(collector.first());
        std::string text;
        AppendRinexNavHeader(text, h);
        int32_t written = 0;
        for (const auto& r : records) {
            if (AppendRinexNavRecord(text, options.version, r.second)) ++written;
        }
        if (collector.epochs() == 0) {
            names.first = records.empty() ? GpsTime{referenceWeek, 0.0}
                                          : GpsTimeFromTotal(records.front().first.first);
            names.last = names.first;
        }
        result.navPath = options.navPath.empty()
                             ? JoinPath(options.directory, options.version == RinexVersion::k304
                                                               ? RinexLongName(names, RinexFileKind::kNavigation)
                                                               : RinexShortName(names, RinexFileKind::kNavigation))
                             : options.navPath;
        OutputFile out;
        if (!out.Create(navDirectory)) {
            format_error_text(kCannotWrite, result.navPath.c_str());
            return 1;
        }
        out.Write(text);
        if (!out.Commit(result.navPath)) return 1;
        result.ephemerides = written;
    }
    if (!ok) return 1;
    if (result.aborted) {
        set_error_text("User Quit");
        return 1;
    }
    return 0;
}

}  // namespace kestrel
