// SPDX-License-Identifier: BSD-2-Clause
// Real observations end to end: the GSI station's hour, shipped as a NavCom log, converted
// through the exported functions and compared with the RINEX files it was made from.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "kestrel/kestrel.h"
#include "kestrel/records.h"
#include "navcom/record_layout.h"
#include "rinex/navcom_log.h"
#include "support/test_files.h"

namespace kestrel::rinex {
namespace {

constexpr double kLambda = layout::kL1WavelengthM;
constexpr double kRangeTolerance = kLambda / 32 + 1e-6;     // half of 1/16 cycle
constexpr double kPhaseTolerance = 1.0 / 512 + 1e-6;       // half of 1/256 cycle
constexpr double kHistorySeconds = 60.0;                    // the decoder's longest gap
constexpr const char* kSample = "navcom/gsi-0759-2005-092.nav";

struct Message {
    double time;
    std::string text;
};
std::vector<Message> messages;
void KESTREL_STDCALL RecordMessage(double time, const char* text) { messages.push_back({time, text}); }

struct ObxEpoch {
    EpochHeader position;
    std::vector<SatObservation> sats;
};

std::vector<ObxEpoch> ReadObx(const std::string& path) {
    const std::vector<uint8_t> bytes = test::ReadFileBytes(path);
    std::vector<ObxEpoch> epochs;
    if (bytes.size() < sizeof(ObxHeader)) {
        ADD_FAILURE() << "no OBX header";
        return epochs;
    }
    std::size_t at = sizeof(ObxHeader);
    while (bytes.size() - at >= sizeof(EpochHeader)) {
        ObxEpoch e;
        load_record(e.position, bytes.data() + at);
        at += sizeof(EpochHeader);
        if (bytes.size() - at < e.position.sat_count * sizeof(SatObservation)) {
            ADD_FAILURE() << "OBX file cut short";
            return epochs;
        }
        e.sats.resize(e.position.sat_count);
        for (auto& s : e.sats) {
            load_record(s, bytes.data() + at);
            at += sizeof(SatObservation);
        }
        epochs.push_back(e);
    }
    EXPECT_EQ(at, bytes.size());
    return epochs;
}

// One "GpsEph" block of the ephemeris text file: its keyword lines' values in order.
struct EphBlock {
    int prn = 0;
    std::map<std::string, std::vector<double>> lines;
};

std::vector<EphBlock> ReadEphText(const std::string& path) {
    std::istringstream in(test::ReadFileText(path));
    std::vector<EphBlock> blocks;
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("GpsEph { Prn: ", 0) == 0) {
            blocks.push_back({std::atoi(line.c_str() + 14), {}});
        } else if (!blocks.empty() && line.size() > 5 && line[0] == '\t') {
            std::istringstream values(line.substr(5));
            std::vector<double>& v = blocks.back().lines[line.substr(1, 4)];
            for (double x; values >> x;) v.push_back(x);
        }
    }
    return blocks;
}

// The station hour, converted once for all the tests of this file.
struct Converted {
    ObsFile obs;
    LogContents log;  // the log rebuilt from the RINEX files, with what each frame carries
    std::vector<ObxEpoch> obx;
    std::vector<EphBlock> eph;
    std::vector<Message> messages;
    OptionBlock options{};
    int32_t result = -1;
};

const Converted& StationHour() {
    static const Converted c = [] {
        Converted c;
        std::string error;
        std::vector<NavRecord> nav;
        EXPECT_TRUE(ReadObsFile(test::DataPath("rinex/07590920.05o"), c.obs, error)) << error;
        EXPECT_TRUE(ReadNavFile(test::DataPath("rinex/07590920.05n"), nav, error)) << error;
        EXPECT_TRUE(BuildNavComLog(c.obs, nav, {}, c.log, error)) << error;
        EXPECT_EQ(c.log.bytes, test::ReadFileBytes(test::DataPath(kSample)));

        const test::ScratchDir dir;
        c.options.blockSize = KESTREL_OPTION_BLOCK_SIZE;
        c.options.optionSize = KESTREL_OPTION_RECORD_SIZE;
        SetFactoryDefaults(KESTREL_OPTION_RECORD_SIZE, &c.options.options);
        std::snprintf(c.options.inputPath, sizeof c.options.inputPath, "%s", test::DataPath(kSample).c_str());
        std::snprintf(c.options.outputName, sizeof c.options.outputName, "%s", dir.file("station").c_str());
        CallbackBlock callbacks{};
        callbacks.blockSize = KESTREL_CALLBACK_BLOCK_SIZE;
        callbacks.messageCallback = RecordMessage;
        messages.clear();
        c.result = ConvertFile(&c.options, &callbacks, 0);
        c.messages = messages;
        c.obx = ReadObx(dir.file("station.obx"));
        c.eph = ReadEphText(dir.file("station.epp"));
        return c;
    }();
    return c;
}

const ObsSatellite* FindRinex(const ObsEpoch& epoch, int prn) {
    for (const auto& s : epoch.satellites) {
        if (s.prn == prn) return &s;
    }
    return nullptr;
}

// What the decoder is expected to make of the log, satellite by satellite: it outputs a
// satellite from its second epoch within 60 s on, restarts the lock time where the lock
// counter changed, and carries the L2 counter over epochs without L2 data.
struct Expected {
    struct Obs {
        std::size_t epoch;  // index into the log's epochs
        int prn;
        double lockTime;
        std::size_t previousEpoch;  // the epoch the decoder compares with
        bool l1Slip, l2Slip;
    };
    std::vector<Obs> observations;
    std::vector<Message> slipMessages;
};

Expected Predict(const LogContents& log) {
    struct History {
        bool seen = false;
        double time = 0.0, lock = 0.0;
        int l1 = 0, l2 = 0;
        std::size_t epoch = 0;
    };
    History h[32];
    Expected x;
    for (std::size_t e = 0; e < log.epochs.size(); ++e) {
        const EpochReport& epoch = log.epochs[e];
        const double t = epoch.timeMs * 0.001;
        for (const SatReport& s : epoch.sats) {
            History& p = h[s.prn];
            const int l2 = s.l2.sent ? s.l2.counter : 0;
            if (!p.seen || std::fabs(t - p.time) > kHistorySeconds) {
                p = {true, t, 0.0, s.l1.counter, l2, e};
                continue;
            }
            const double dt = t - p.time;
            const bool l1Slip = s.l1.counter != p.l1;
            const bool l2Slip = s.l2.sent && s.l2.counter != p.l2;
            const double lock = l1Slip ? 0.0 : p.lock + dt;
            x.observations.push_back({e, s.prn, lock, p.epoch, l1Slip, l2Slip});
            if (l1Slip) x.slipMessages.push_back({t, "L1 cycle slip on PRN " + std::to_string(s.prn)});
            if (l2Slip) x.slipMessages.push_back({t, "L2 cycle slip on PRN " + std::to_string(s.prn)});
            p = {true, t, lock, s.l1.counter, s.l2.sent ? s.l2.counter : p.l2, e};
        }
    }
    return x;
}

TEST(StationHour, ConvertsWithTheExpectedCounts) {
    const Converted& c = StationHour();
    ASSERT_EQ(c.result, 0);
    const Expected x = Predict(c.log);
    // The first epoch only starts every satellite's history, so one epoch fewer is written.
    EXPECT_EQ(c.options.epochsWritten, 119);
    EXPECT_EQ(c.options.ephemeridesWritten, 23);
    EXPECT_EQ(c.obx.size(), 119u);
    std::size_t observations = 0;
    for (const ObxEpoch& e : c.obx) observations += e.sats.size();
    EXPECT_EQ(observations, x.observations.size());
    EXPECT_EQ(observations, 937u);
    EXPECT_EQ(c.eph.size(), 23u);
}

TEST(StationHour, MessagesAreTheEphemeridesAndTheInjectedSlipsOnly) {
    const Converted& c = StationHour();
    const Expected x = Predict(c.log);
    std::vector<Message> slips, ephemerides, others;
    for (const Message& m : c.messages) {
        if (m.text.find("cycle slip") != std::string::npos) {
            slips.push_back(m);
        } else if (m.text.rfind("Ephemeris received", 0) == 0) {
            ephemerides.push_back(m);
        } else {
            others.push_back(m);
        }
    }
    ASSERT_EQ(slips.size(), x.slipMessages.size());
    for (std::size_t i = 0; i < slips.size(); ++i) {
        EXPECT_EQ(slips[i].text, x.slipMessages[i].text);
        EXPECT_DOUBLE_EQ(slips[i].time, x.slipMessages[i].time);
    }
    EXPECT_EQ(std::count_if(slips.begin(), slips.end(), [](const Message& m) { return m.text[1] == '1'; }), 11);
    EXPECT_EQ(std::count_if(slips.begin(), slips.end(), [](const Message& m) { return m.text[1] == '2'; }), 6);
    ASSERT_EQ(ephemerides.size(), c.log.ephemerides.size());
    for (std::size_t i = 0; i < ephemerides.size(); ++i) {
        const NavRecord& n = c.log.ephemerides[i].nav;
        EXPECT_EQ(ephemerides[i].text, "Ephemeris received for PRN " + std::to_string(n.prn) + " (health OK)");
        EXPECT_DOUBLE_EQ(ephemerides[i].time, n.transmissionTime);
    }
    // Nothing from the frame parser; only the clock correction step may speak besides.
    for (const Message& m : others) {
        EXPECT_EQ(m.text.find("Checksum"), std::string::npos) << m.text;
        EXPECT_EQ(m.text.find("length"), std::string::npos) << m.text;
        EXPECT_EQ(m.text.find("overrun"), std::string::npos) << m.text;
        EXPECT_EQ(m.text.find("DT"), std::string::npos) << m.text;
        EXPECT_NE(m.text.find("lock"), std::string::npos) << "unexpected message: " << m.text;
    }
}

// Every slip the decoder reports has its cause in the RINEX file: a loss-of-lock flag, or an
// arc that started afresh (no phase, phase back, offset out of range).
TEST(StationHour, EverySlipHasACauseInTheRinexFile) {
    const Converted& c = StationHour();
    for (const Expected::Obs& o : Predict(c.log).observations) {
        if (!o.l1Slip && !o.l2Slip) continue;
        const EpochReport& epoch = c.log.epochs[o.epoch];
        const auto sat = std::find_if(epoch.sats.begin(), epoch.sats.end(),
                                      [&](const SatReport& s) { return s.prn == o.prn; });
        ASSERT_NE(sat, epoch.sats.end());
        if (o.l1Slip) {
            EXPECT_NE(sat->l1.start, ArcStart::kContinued) << epoch.time.sow << " PRN " << o.prn;
        }
        if (o.l2Slip) {
            EXPECT_NE(sat->l2.start, ArcStart::kContinued) << epoch.time.sow << " PRN " << o.prn;
        }
        const ObsSatellite* rinex = FindRinex(c.obs.epochs[o.epoch], o.prn);
        ASSERT_NE(rinex, nullptr);
        const ObsValue& l1 = rinex->values[0];
        const ArcStart start = sat->l1.start;
        if (o.l1Slip && start == ArcStart::kLockLost) {
            EXPECT_TRUE(l1.lli & 1);
        }
        if (o.l1Slip && start == ArcStart::kPhaseMissing) {
            EXPECT_FALSE(l1.present);
        }
    }
}

// One carrier's phase against the RINEX value: minus it plus an integer, the same integer along
// an arc (a slip starts a new one); `arcs` holds each satellite's current integer. Returns how
// far the sum lies from that integer.
double CheckArcConstant(double phase, double rinexPhase, bool slip, int prn, std::map<int, double>& arcs) {
    const double k = phase + rinexPhase;
    EXPECT_NEAR(k, std::round(k), kPhaseTolerance);
    if (!slip && arcs.count(prn)) {
        EXPECT_EQ(std::round(k), arcs[prn]);
    }
    arcs[prn] = std::round(k);
    return std::fabs(k - std::round(k));
}

// Every epoch and satellite of the OBX file against the RINEX values.
TEST(StationHour, ObservationsMatchTheRinexValues) {
    const Converted& c = StationHour();
    const Expected x = Predict(c.log);
    ASSERT_EQ(c.obx.size(), 119u);
    std::size_t next = 0;
    double worstRange = 0, worstP2 = 0, worstPhase = 0, worstL2Phase = 0, worstDoppler = 0;
    double worstPhaseRate = 0;
    std::map<int, double> k1, k2;  // each satellite's current arc constant
    std::vector<const SatObservation*> previous(32, nullptr);
    for (const ObxEpoch& epoch : c.obx) {
        for (const SatObservation& s : epoch.sats) {
            ASSERT_LT(next, x.observations.size());
            const Expected::Obs& o = x.observations[next++];
            const ObsEpoch& re = c.obs.epochs[o.epoch];
            const ObsEpoch& rp = c.obs.epochs[o.previousEpoch];
            SCOPED_TRACE("epoch " + std::to_string(re.time.sow) + " PRN " + std::to_string(o.prn));
            ASSERT_EQ(s.prn, o.prn);
            EXPECT_EQ(static_cast<double>(epoch.position.time_tag), c.log.epochs[o.epoch].timeMs * 0.001);
            EXPECT_NEAR(epoch.position.time_tag, re.time.sow, 1e-9);
            const ObsSatellite* r = FindRinex(re, o.prn);
            const ObsSatellite* rPrev = FindRinex(rp, o.prn);
            ASSERT_TRUE(r && rPrev);
            const ObsValue &l1 = r->values[0], &c1 = r->values[1], &l2 = r->values[2], &p2 = r->values[3];

            EXPECT_NEAR(s.ca_range, c1.value, kRangeTolerance);
            worstRange = std::max(worstRange, std::fabs(s.ca_range - c1.value));

            // Lock time: restarted exactly at the injected slips.
            EXPECT_EQ(s.lock_time, static_cast<uint8_t>(std::min(255.0, std::trunc(o.lockTime))));

            // Phase: minus the RINEX phase plus the arc's integer constant.
            if (l1.present) {
                worstPhase = std::max(worstPhase, CheckArcConstant(s.l1_phase, l1.value, o.l1Slip, o.prn, k1));
            } else {
                EXPECT_NEAR(s.l1_phase, -s.ca_range / kLambda, 1e-6);  // sent from the code
                EXPECT_EQ(s.lock_time, 0);
                k1.erase(o.prn);
            }

            // L2: present exactly when the file has both P2 and L2.
            if (l2.present && p2.present) {
                EXPECT_NEAR(s.p2_range, p2.value, kRangeTolerance);
                worstP2 = std::max(worstP2, std::fabs(s.p2_range - p2.value));
                worstL2Phase = std::max(worstL2Phase, CheckArcConstant(s.l2_phase, l2.value, o.l2Slip, o.prn, k2));
            } else {
                EXPECT_EQ(static_cast<double>(s.p2_range), 0.0);
                EXPECT_EQ(static_cast<double>(s.l2_phase), 0.0);
            }

            // Doppler: the C/A range difference over the decoder's step, as the file gives it
            // (receiver clock steps included), to within the range quantisation.
            const double dt = re.time.sow - rp.time.sow;
            const double rinexDoppler = -((c1.value - rPrev->values[1].value) / kLambda) / dt;
            EXPECT_NEAR(s.l1_doppler, rinexDoppler, (1.0 / 16) / dt + 1e-6);
            worstDoppler = std::max(worstDoppler, std::fabs(s.l1_doppler - rinexDoppler));
            // Along an unbroken arc the carrier tells the same rate, up to code noise.
            if (!o.l1Slip && l1.present && rPrev->values[0].present) {
                const double phaseRate = -(l1.value - rPrev->values[0].value) / dt;
                worstPhaseRate = std::max(worstPhaseRate, std::fabs(s.l1_doppler - phaseRate));
            }
        }
    }
    EXPECT_EQ(next, x.observations.size());
    EXPECT_LT(worstPhaseRate, 1.0);
    std::printf("station hour: largest differences from RINEX: C1 %.4f m, P2 %.4f m, L1 %.5f cycle, "
                "L2 %.5f cycle, Doppler %.5f Hz (code), %.3f Hz from the phase rate\n",
                worstRange, worstP2, worstPhase, worstL2Phase, worstDoppler, worstPhaseRate);
}

// Every "GpsEph" block against the navigation file's values, to half a broadcast unit.
TEST(StationHour, EphemerisBlocksMatchTheNavigationFile) {
    const Converted& c = StationHour();
    ASSERT_EQ(c.eph.size(), c.log.ephemerides.size());
    constexpr double kPi = 3.141592653589793;
    for (std::size_t i = 0; i < c.eph.size(); ++i) {
        const EphBlock& b = c.eph[i];
        const NavRecord& n = c.log.ephemerides[i].nav;
        SCOPED_TRACE("block " + std::to_string(i) + " PRN " + std::to_string(n.prn));
        ASSERT_EQ(b.prn, n.prn);
        auto value = [&](const char* line, std::size_t k) {
            const auto it = b.lines.find(line);
            return it != b.lines.end() && k < it->second.size() ? it->second[k] : NAN;
        };
        EXPECT_EQ(value("El1:", 0), n.week % 1024);
        EXPECT_EQ(value("El1:", 1), 9999);
        EXPECT_EQ(value("El1:", 3), n.iodc);
        EXPECT_EQ(value("El1:", 4), n.toc);
        EXPECT_EQ(value("El3:", 0), n.iode);
        EXPECT_EQ(value("El5:", 0), n.toe);
        struct Field {
            const char* line;
            std::size_t k;
            double want, lsb;
        };
        const Field fields[] = {
            {"El1:", 2, n.tgd, std::ldexp(1.0, -31)},       {"El2:", 0, n.af2, std::ldexp(1.0, -55)},
            {"El2:", 1, n.af1, std::ldexp(1.0, -43)},       {"El2:", 2, n.af0, std::ldexp(1.0, -31)},
            {"El3:", 1, n.crs, 0.03125},                    {"El3:", 2, n.deltaN, std::ldexp(kPi, -43)},
            {"El3:", 3, n.m0, std::ldexp(kPi, -31)},        {"El4:", 0, n.cuc, std::ldexp(1.0, -29)},
            {"El4:", 1, n.ecc, std::ldexp(1.0, -33)},       {"El4:", 2, n.cus, std::ldexp(1.0, -29)},
            {"El4:", 3, n.sqrtA, std::ldexp(1.0, -19)},     {"El5:", 1, n.cic, std::ldexp(1.0, -29)},
            {"El5:", 2, n.omega0, std::ldexp(kPi, -31)},    {"El5:", 3, n.cis, std::ldexp(1.0, -29)},
            {"El6:", 0, n.i0, std::ldexp(kPi, -31)},        {"El6:", 1, n.crc, 0.03125},
            {"El6:", 2, n.omega, std::ldexp(kPi, -31)},     {"El6:", 3, n.omegaDot, std::ldexp(kPi, -43)},
            {"El6:", 4, n.idot, std::ldexp(kPi, -43)},
        };
        for (const Field& f : fields) {
            // Half a unit, plus the text's own rounding (at least 9 significant digits).
            EXPECT_NEAR(value(f.line, f.k), f.want, f.lsb * 0.5 + std::fabs(f.want) * 1e-8)
                << f.line << " value " << f.k;
        }
    }
}

// The command a user runs on the shipped sample: a clean conversion.
TEST(StationHour, CommandConvertsTheSampleCleanly) {
    const char* cli = std::getenv("KESTREL_CLI");
    if (cli == nullptr) GTEST_SKIP() << "KESTREL_CLI does not name the built command";
    const test::ScratchDir dir;
    const std::string command = std::string("'") + cli + "' convert '" + test::DataPath(kSample) + "' -o '" +
                                dir.file("sample") + "' -q 2>&1";
    std::FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
    EXPECT_EQ(pclose(pipe), 0) << output;
    EXPECT_NE(output.find("119 epochs, 23 ephemerides"), std::string::npos) << output;
    EXPECT_EQ(output.find("Checksum"), std::string::npos) << output;
    EXPECT_EQ(output.find("length"), std::string::npos) << output;
    std::size_t slips = 0;
    for (std::size_t at = 0; (at = output.find("cycle slip on PRN", at)) != std::string::npos; ++at) ++slips;
    EXPECT_EQ(slips, 17u);
}

}  // namespace
}  // namespace kestrel::rinex
