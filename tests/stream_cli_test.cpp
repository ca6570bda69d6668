// SPDX-License-Identifier: BSD-2-Clause
// `kestrel stream` driven by the receiver simulator over a real pseudo-terminal (and a real TCP
// socket): the periods' raw files join to the bytes the receiver sent, their RINEX observations
// to those of `kestrel rinex` of the whole log, across stop signals, link drops, a full disk and
// a kill -9 with a restart.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <chrono>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/cli_process.h"
#include "support/hostile_logs.h"
#include "support/receiver_sim.h"
#include "support/test_files.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;

constexpr double kLongestRunS = 90.0;  // bound on a run; never a measured figure

#define REQUIRE_STREAM_TOOLS()                                                              \
    if (test::CliPath() == nullptr || test::ReceiverSim::Path() == nullptr)                 \
    GTEST_SKIP() << "needs the kestrel command and the receiver simulator"

// The files of a folder whose names end with `suffix`, in name order (period order).
std::vector<std::string> FilesEndingWith(const std::string& dir, const std::string& suffix) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) {
        const std::string name = e.path().filename().string();
        if (name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
            names.push_back(e.path().string());
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Names in a folder that are temporaries (a leading dot).
std::vector<std::string> Temporaries(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) {
        if (e.path().filename().string()[0] == '.') names.push_back(e.path().filename().string());
    }
    return names;
}

int Occurrences(const std::string& text, const std::string& what) {
    int found = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++found;
    return found;
}

std::vector<uint8_t> Joined(const std::vector<std::string>& files) {
    std::vector<uint8_t> all;
    for (const std::string& f : files) {
        const std::vector<uint8_t> b = test::ReadFileBytes(f);
        all.insert(all.end(), b.begin(), b.end());
    }
    return all;
}

// The observation records of RINEX observation files: every line after each header.
std::string ObservationLines(const std::vector<std::string>& files) {
    std::string all;
    for (const std::string& f : files) {
        const std::string text = test::ReadFileText(f);
        const std::size_t end = text.find("END OF HEADER");
        if (end == std::string::npos) continue;
        all += text.substr(text.find('\n', end) + 1);
    }
    return all;
}

// Each gzip file of `files` decompressed into `dir`, under its name without .gz.
std::vector<std::string> Decompressed(const std::vector<std::string>& files, const std::string& dir) {
    std::vector<std::string> plain;
    for (const std::string& f : files) {
        const std::string name = fs::path(f).filename().string();
        plain.push_back(dir + "/" + name.substr(0, name.size() - 3));
        EXPECT_EQ(std::system(("gzip -dc '" + f + "' > '" + plain.back() + "'").c_str()), 0) << f;
    }
    return plain;
}

// `kestrel rinex` of the whole log: its observation records.
std::string WholeLogObservations(const std::string& log, const std::string& dir) {
    const std::string obs = dir + "/whole.rnx";
    const test::CliRun run = test::RunCli(dir, {"rinex", log, "-o", obs, "--no-nav"});
    EXPECT_EQ(run.status, 0) << run.err;
    return ObservationLines({obs});
}

// `kestrel qc` of the whole log: its object in the JSON document.
nlohmann::json WholeLogCheck(const std::string& log, const std::string& dir) {
    const std::string json = dir + "/whole.json";
    const test::CliRun run = test::RunCli(dir, {"qc", log, "--json", json, "-q"});
    EXPECT_EQ(run.status, 0) << run.err;
    return nlohmann::json::parse(test::ReadFileText(json))["logs"][0];
}

// A stream command started on the simulator's input, its standard error in `errPath`.
struct StreamRun {
    pid_t pid = -1;
    std::string errPath;

    void Start(const std::string& input, const std::vector<std::string>& outputs, const std::string& dir) {
        std::vector<std::string> args = {"stream", input};
        args.insert(args.end(), outputs.begin(), outputs.end());
        errPath = dir + "/stream-" + std::to_string(++runs) + ".err";
        pid = test::StartCli(args, dir + "/stream.out", errPath);
    }
    // Sends `signal`, waits: the exit status.
    int Stop(int signal) {
        ::kill(pid, signal);
        return test::WaitCli(pid);
    }
    std::string err() const { return test::ReadFileText(errPath); }
    int runs = 0;
};

// Waits until the simulator has sent everything and ended (it waits for the reader to take it all).
void AwaitSimEnd(test::ReceiverSim& sim) {
    const auto start = std::chrono::steady_clock::now();
    int status = 0;
    while (!sim.Ended(status)) {
        ASSERT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), kLongestRunS);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(status, 0);
    // What the reader took goes through the command within one of its reads.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
}

struct Outputs {
    test::ScratchDir dir;
    std::string raw = dir.file("raw");
    std::string rinex = dir.file("rinex");
    Outputs() {
        fs::create_directory(raw);
        fs::create_directory(rinex);
    }
    std::vector<std::string> Args(const std::string& period) const {
        return {"--raw", raw, "--rinex", rinex, "--period", period, "--station", "GSI000JPN"};
    }
};

TEST(StreamCommand, PeriodFilesJoinToTheLogAndToItsWholeConversion) {
    REQUIRE_STREAM_TOOLS();
    struct Case {
        const char* log;
        const char* link;
        const char* speed;
        std::size_t periods;  // raw files of 15 minutes
        std::vector<std::string> options;  // beside the outputs
    };
    const Case cases[] = {
        {"navcom/gsi-0759-2005-092.nav", "--pty", "400", 4, {}},
        {"navcom/gpsd-navcom.log", "--pty", "50", 1, {}},
        {"navcom/gpsd-navcom-long-2012.log", "--pty", "50", 1, {}},
        {"navcom/gsi-0759-2005-092.nav", "--tcp", "400", 4, {}},
        {"navcom/gsi-0759-2005-092.nav", "--pty", "400", 4, {"--gzip"}},
        {"navcom/gsi-0759-2005-092.nav", "--pty", "400", 4, {"--qc"}},
        {"navcom/gpsd-navcom-long-2012.log", "--tcp", "50", 1, {"--qc", "--gzip"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.log) + " " + c.link);
        Outputs out;
        const std::string log = test::DataPath(c.log);
        test::ReceiverSim sim;
        std::vector<std::string> simArgs = {log, c.link, "--speed", c.speed};
        if (std::string(c.link) == "--tcp") simArgs.insert(simArgs.begin() + 2, "0");
        ASSERT_TRUE(sim.Start(simArgs));
        StreamRun stream;
        std::vector<std::string> args = out.Args("15m");
        args.insert(args.end(), c.options.begin(), c.options.end());
        stream.Start(sim.input(), args, out.dir.path());
        AwaitSimEnd(sim);
        EXPECT_EQ(stream.Stop(SIGTERM), 0) << stream.err();

        const std::vector<std::string> raw = FilesEndingWith(out.raw, ".log");
        EXPECT_EQ(raw.size(), c.periods) << stream.err();
        EXPECT_TRUE(Joined(raw) == test::ReadFileBytes(log));
        const bool gzip = std::find(c.options.begin(), c.options.end(), "--gzip") != c.options.end();
        const std::string compressed = gzip ? ".gz" : "";
        std::vector<std::string> obs = FilesEndingWith(out.rinex, "_GO.rnx" + compressed);
        EXPECT_EQ(obs.size(), c.periods);
        EXPECT_EQ(FilesEndingWith(out.rinex, "_GN.rnx" + compressed).size(), obs.empty() ? 0u : c.periods);
        const std::vector<std::string> written = obs;
        if (gzip) obs = Decompressed(obs, out.dir.path());
        EXPECT_EQ(ObservationLines(obs), WholeLogObservations(log, out.dir.path()));
        // --qc: one check per observation file, named after it; together they count what the
        // check of the whole log counts.
        const std::vector<std::string> checks = FilesEndingWith(out.rinex, ".qc.json");
        if (std::find(c.options.begin(), c.options.end(), "--qc") == c.options.end()) {
            EXPECT_TRUE(checks.empty());
        } else {
            ASSERT_EQ(checks.size(), written.size());
            const nlohmann::json whole = WholeLogCheck(log, out.dir.path());
            nlohmann::json summed = {{"epochs", 0}, {"observations", 0}, {"l1_slips", 0}};
            for (std::size_t i = 0; i < checks.size(); ++i) {
                const auto period = nlohmann::json::parse(test::ReadFileText(checks[i]))["logs"][0];
                EXPECT_EQ(period["file"], fs::path(written[i]).filename().string());
                EXPECT_EQ(period["status"], "complete");
                for (auto& [key, value] : summed.items()) value = value.get<int64_t>() + period[key].get<int64_t>();
            }
            for (const auto& [key, value] : summed.items()) EXPECT_EQ(value, whole[key]) << key;
        }
        EXPECT_TRUE(Temporaries(out.raw).empty());
        EXPECT_TRUE(Temporaries(out.rinex).empty());
        // One line per closed period.
        const std::string err = stream.err();
        EXPECT_EQ(static_cast<std::size_t>(std::count(err.begin(), err.end(), '\n')) >= c.periods, true) << err;
    }
}

// Waits until standard error of the run holds `text` `times` times.
bool AwaitInErr(const StreamRun& run, const std::string& text, int times) {
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() < kLongestRunS) {
        if (Occurrences(run.err(), text) >= times) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

// Observation records without the receiver clock offsets of their epoch lines (they come from
// a solver that remembers the epochs before): a 3.04 epoch line up to its satellite count, a
// 2.11 one up to its satellite list.
std::string WithoutClockOffsets(const std::string& records) {
    static const std::regex epoch211(R"(^ \d\d [ \d]\d [ \d]\d [ \d]\d [ \d]\d [ \d]\d\.\d{7}  \d)");
    std::string lines;
    std::istringstream in(records);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line[0] == '>') line.resize(std::min<std::size_t>(line.size(), 35));
        if (std::regex_search(line, epoch211)) line.resize(std::min<std::size_t>(line.size(), 68));
        lines += line + "\n";
    }
    return lines;
}

// A file of a period opened again: NAME-2.EXT.
bool Reopened(const std::string& path) { return fs::path(path).filename().string().find("-2.") != std::string::npos; }

TEST(StreamCommand, AReceiverResetOpensNewPeriodsBesideTheFirst) {
    REQUIRE_STREAM_TOOLS();
    // The station hour sent twice: the second copy is a receiver whose time went back.
    struct Case {
        const char* period;
        std::vector<std::string> options;
        std::size_t periods;  // of each copy
        const char* obsEnd;   // how an observation file's name ends
        const char* obsMark;  // what else it holds
    };
    const Case cases[] = {
        {"15m", {}, 4, ".rnx", "_GO"},
        {"1h", {"--gzip"}, 1, ".rnx.gz", "_GO"},
        {"1h", {"-v", "2.11"}, 1, "o", ""},
    };
    const std::vector<uint8_t> hour = test::ReadFileBytes(test::DataPath("navcom/gsi-0759-2005-092.nav"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.period + std::string(c.options.empty() ? "" : " " + c.options[0]));
        Outputs out;
        std::vector<uint8_t> twice = hour;
        twice.insert(twice.end(), hour.begin(), hour.end());
        const std::string log = out.dir.file("twice.nav");
        test::WriteFileBytes(log, twice);
        std::vector<std::string> args = {"stream", "file:" + log, "--speed", "0"};
        for (const std::string& a : out.Args(c.period)) args.push_back(a);
        args.insert(args.end(), c.options.begin(), c.options.end());
        const test::CliRun run = test::RunCli(out.dir.path(), args);
        ASSERT_EQ(run.status, 0) << run.err;

        const std::vector<std::string> raw = FilesEndingWith(out.raw, ".log");
        EXPECT_EQ(raw.size(), 2 * c.periods);
        // Name order puts each reopened period's file just after the first one: join in run order.
        std::vector<std::string> first, second;
        for (const std::string& f : raw) (Reopened(f) ? second : first).push_back(f);
        first.insert(first.end(), second.begin(), second.end());
        EXPECT_TRUE(Joined(first) == twice);

        std::vector<std::string> obs;
        for (const std::string& f : FilesEndingWith(out.rinex, c.obsEnd)) {
            if (f.find(c.obsMark) != std::string::npos) obs.push_back(f);
        }
        ASSERT_EQ(obs.size(), 2 * c.periods) << run.err;
        if (c.options == std::vector<std::string>{"--gzip"}) obs = Decompressed(obs, out.dir.path());
        std::vector<std::string> before, after;
        for (const std::string& f : obs) (Reopened(f) ? after : before).push_back(f);
        ASSERT_EQ(after.size(), c.periods);
        EXPECT_EQ(WithoutClockOffsets(ObservationLines(after)), WithoutClockOffsets(ObservationLines(before)));
        EXPECT_FALSE(WithoutClockOffsets(ObservationLines(after)).empty());
    }
}

TEST(StreamCommand, KilledMidPeriodAndStartedAgainLosesAndRepeatsNothing) {
    REQUIRE_STREAM_TOOLS();
    Outputs out;
    const std::string log = test::DataPath("navcom/gsi-0759-2005-092.nav");
    test::ReceiverSim sim;
    // The link's name stays while the simulator keeps what it sends for the next reader.
    ASSERT_TRUE(sim.Start({log, "--pty", "--link", out.dir.file("ttyNAV"), "--speed", "250"}));
    StreamRun first;
    first.Start("serial:" + out.dir.file("ttyNAV"), out.Args("15m"), out.dir.path());
    // Into the second quarter: one period closed, the next one open.
    ASSERT_TRUE(AwaitInErr(first, "closed", 1)) << first.err();
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    EXPECT_EQ(first.Stop(SIGKILL), 128 + SIGKILL);
    ASSERT_FALSE(Temporaries(out.raw).empty()) << "the open period's raw file stays for the next run";

    StreamRun second;
    second.Start("serial:" + out.dir.file("ttyNAV"), out.Args("15m"), out.dir.path());
    AwaitSimEnd(sim);
    EXPECT_EQ(second.Stop(SIGTERM), 0) << second.err();
    EXPECT_NE(second.err().find("left open by an earlier run"), std::string::npos) << second.err();

    const std::vector<std::string> raw = FilesEndingWith(out.raw, ".log");
    EXPECT_EQ(raw.size(), 4u);
    EXPECT_TRUE(Joined(raw) == test::ReadFileBytes(log));
    const std::vector<std::string> obs = FilesEndingWith(out.rinex, "_GO.rnx");
    EXPECT_EQ(obs.size(), 4u);
    EXPECT_EQ(ObservationLines(obs), WholeLogObservations(log, out.dir.path()));
    EXPECT_TRUE(Temporaries(out.raw).empty());
    EXPECT_TRUE(Temporaries(out.rinex).empty());
}

TEST(StreamCommand, AStopSignalClosesTheOpenPeriodAsComplete) {
    REQUIRE_STREAM_TOOLS();
    struct Case {
        int signal;
        int status;  // Ctrl-C as a shell reports it; SIGTERM is a service stopped, no failure
    };
    for (const Case& c : {Case{SIGINT, 130}, Case{SIGTERM, 0}}) {
        SCOPED_TRACE(c.signal);
        Outputs out;
        const std::string log = test::DataPath("navcom/gsi-0759-2005-092.nav");
        test::ReceiverSim sim;
        ASSERT_TRUE(sim.Start({log, "--pty", "--speed", "200"}));
        StreamRun stream;
        stream.Start(sim.input(), out.Args("1h"), out.dir.path());
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        EXPECT_EQ(stream.Stop(c.signal), c.status) << stream.err();
        const std::vector<uint8_t> whole = test::ReadFileBytes(log);
        const std::vector<std::string> raw = FilesEndingWith(out.raw, ".log");
        ASSERT_EQ(raw.size(), 1u) << stream.err();
        const std::vector<uint8_t> got = test::ReadFileBytes(raw[0]);
        // What came is the start of the log, and the period's RINEX pair is whole.
        EXPECT_GT(got.size(), 0u);
        EXPECT_LT(got.size(), whole.size());
        EXPECT_TRUE(std::equal(got.begin(), got.end(), whole.begin()));
        const std::vector<std::string> obs = FilesEndingWith(out.rinex, "_GO.rnx");
        ASSERT_EQ(obs.size(), 1u);
        EXPECT_EQ(FilesEndingWith(out.rinex, "_GN.rnx").size(), 1u);
        // Its epochs are the first ones of the whole conversion.
        const std::string lines = ObservationLines(obs);
        EXPECT_FALSE(lines.empty());
        EXPECT_EQ(WholeLogObservations(log, out.dir.path()).compare(0, lines.size(), lines), 0);
        EXPECT_TRUE(Temporaries(out.raw).empty());
        EXPECT_TRUE(Temporaries(out.rinex).empty());
    }
}

TEST(StreamCommand, TwentyLinkDropsLoseAndRepeatNothing) {
    REQUIRE_STREAM_TOOLS();
    Outputs out;
    const std::string log = test::DataPath("navcom/gsi-0759-2005-092.nav");
    test::ReceiverSim sim;
    // Each drop costs the reader its first back-off second: 30 s of replay hold twenty and more.
    ASSERT_TRUE(sim.Start({log, "--pty", "--link", out.dir.file("ttyNAV"), "--speed", "120", "--drop-every", "0.2"}));
    StreamRun stream;
    std::vector<std::string> args = out.Args("15m");
    args.insert(args.end(), {"--status", out.dir.file("status.json")});
    stream.Start("serial:" + out.dir.file("ttyNAV"), args, out.dir.path());
    AwaitSimEnd(sim);
    EXPECT_EQ(stream.Stop(SIGTERM), 0) << stream.err();
    const std::string err = stream.err();
    EXPECT_GE(Occurrences(err, "link lost"), 20) << err;
    EXPECT_TRUE(Joined(FilesEndingWith(out.raw, ".log")) == test::ReadFileBytes(log));
    EXPECT_EQ(ObservationLines(FilesEndingWith(out.rinex, "_GO.rnx")), WholeLogObservations(log, out.dir.path()));
    // The status, written whole at the end: the link's reconnects and the periods closed.
    const std::string status = test::ReadFileText(out.dir.file("status.json"));
    EXPECT_NE(status.find("\"periods_closed\": 4"), std::string::npos) << status;
    EXPECT_EQ(status.find("\"reconnects\": 0,"), std::string::npos) << status;
    EXPECT_NE(status.find("\"write_errors\": 0"), std::string::npos) << status;
}

TEST(StreamCommand, AFullDiskLosesOnePeriodAndTheNextIsWrittenWhole) {
    REQUIRE_STREAM_TOOLS();
    const std::string log = test::DataPath("navcom/gsi-0759-2005-092.nav");
    const std::vector<uint8_t> whole = test::ReadFileBytes(log);
    // The quarters' raw files as an unhindered run writes them.
    Outputs free;
    const test::CliRun unhindered =
        test::RunCli(free.dir.path(), {"stream", "file:" + log, "--speed", "0", "--raw", free.raw, "--period", "15m"});
    ASSERT_EQ(unhindered.status, 0) << unhindered.err;
    const std::vector<std::string> quarters = FilesEndingWith(free.raw, ".log");
    ASSERT_EQ(quarters.size(), 4u);
    const std::size_t firstSize = test::ReadFileBytes(quarters[0]).size();
    // Files limited below the first quarter's size only (as `ulimit -f`): it fails, the others fit.
    const long limit = static_cast<long>(firstSize) - 100;
    for (std::size_t i = 1; i < quarters.size(); ++i) ASSERT_LT(test::ReadFileBytes(quarters[i]).size(), limit);
    Outputs out;
    const test::CliRun run = test::RunCliWithFileLimit(
        out.dir.path(), {"stream", "file:" + log, "--speed", "0", "--raw", out.raw, "--period", "15m"}, limit);
    EXPECT_EQ(run.status, 1) << "write errors make the run a failure";
    EXPECT_EQ(Occurrences(run.err, "File too large"), 1) << run.err;
    const std::vector<std::string> whole3 = FilesEndingWith(out.raw, "_15M.log");
    ASSERT_EQ(whole3.size(), 3u) << run.err;
    EXPECT_TRUE(Joined(whole3) == std::vector<uint8_t>(whole.begin() + static_cast<std::ptrdiff_t>(firstSize), whole.end()));
    // What the first quarter's file took is kept, never under a whole period's name.
    const std::vector<std::string> partial = FilesEndingWith(out.raw, ".incomplete");
    ASSERT_EQ(partial.size(), 1u);
    const std::vector<uint8_t> kept = test::ReadFileBytes(partial[0]);
    EXPECT_TRUE(std::equal(kept.begin(), kept.end(), whole.begin()));
    EXPECT_TRUE(Temporaries(out.raw).empty());
}

TEST(StreamCommand, AVanishedRinexFolderIsSaidEachPeriodWhileTheRawFilesGoOn) {
    REQUIRE_STREAM_TOOLS();
    const std::string log = test::DataPath("navcom/gsi-0759-2005-092.nav");
    Outputs out;
    test::ReceiverSim sim;
    ASSERT_TRUE(sim.Start({log, "--pty", "--speed", "400"}));
    StreamRun stream;
    stream.Start(sim.input(), out.Args("15m"), out.dir.path());
    // The RINEX folder goes once the first quarter is written.
    ASSERT_TRUE(AwaitInErr(stream, "closed:", 1)) << stream.err();
    fs::remove_all(out.rinex);
    AwaitSimEnd(sim);
    EXPECT_EQ(stream.Stop(SIGTERM), 1) << "files that could not be written make the run a failure";
    const std::string err = stream.err();
    const int failed = Occurrences(err, "Unable to write to " + out.rinex + "/");
    EXPECT_GE(failed, 1) << err;
    EXPECT_LE(failed, 3) << err;
    EXPECT_EQ(Occurrences(err, "closed:"), 4) << err;
    EXPECT_TRUE(Joined(FilesEndingWith(out.raw, ".log")) == test::ReadFileBytes(log));
    EXPECT_TRUE(Temporaries(out.raw).empty());
}

// Waits until the folder holds a temporary: the stream's first bytes have come.
bool AwaitTemporary(const std::string& dir) {
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() < kLongestRunS) {
        if (!Temporaries(dir).empty()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

std::vector<std::string> Names(const std::vector<std::string>& paths) {
    std::vector<std::string> names;
    for (const std::string& p : paths) names.push_back(fs::path(p).filename().string());
    return names;
}

TEST(StreamCommand, AnOutputFolderMadeAgainTakesTheNextPeriodsWhole) {
    REQUIRE_STREAM_TOOLS();
    const std::string log = test::DataPath("navcom/gsi-0759-2005-092.nav");
    // The quarters as a run that nothing hinders writes them.
    Outputs free;
    std::vector<std::string> args = {"stream", "file:" + log, "--speed", "0"};
    for (const std::string& a : free.Args("15m")) args.push_back(a);
    const test::CliRun unhindered = test::RunCli(free.dir.path(), args);
    ASSERT_EQ(unhindered.status, 0) << unhindered.err;
    const std::vector<std::string> quarters = FilesEndingWith(free.raw, ".log");
    const std::vector<std::string> quarterObs = FilesEndingWith(free.rinex, "_GO.rnx");
    ASSERT_EQ(quarters.size(), 4u);
    ASSERT_EQ(quarterObs.size(), 4u);

    struct Case {
        const char* folder;       // the folder that vanishes and is made again
        const char* said;         // how its failures begin, before the folder's path
        const char* extension;    // of the files of its periods compared with the unhindered run
    };
    const Case cases[] = {
        {"raw", "cannot write ", ".log"},
        {"rinex", "Unable to write to ", "_GO.rnx"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.folder);
        Outputs out;
        const std::string gone = std::string(c.folder) == "raw" ? out.raw : out.rinex;
        test::ReceiverSim sim;
        ASSERT_TRUE(sim.Start({log, "--pty", "--speed", "400"}));
        StreamRun stream;
        stream.Start(sim.input(), out.Args("15m"), out.dir.path());
        // The folder goes as soon as the first bytes are in, and comes back once its loss is said.
        ASSERT_TRUE(AwaitTemporary(out.raw)) << stream.err();
        fs::remove_all(gone);
        const int closedBefore = Occurrences(stream.err(), "closed:");
        ASSERT_TRUE(AwaitInErr(stream, c.said + gone + "/", 1)) << stream.err();
        fs::create_directory(gone);
        AwaitSimEnd(sim);
        EXPECT_EQ(stream.Stop(SIGTERM), 1) << "files that could not be written make the run a failure";
        const std::string err = stream.err();
        EXPECT_EQ(Occurrences(err, "closed:"), 4) << err;

        // The folder that stayed: every period.
        if (gone == out.rinex) {
            EXPECT_TRUE(Joined(FilesEndingWith(out.raw, ".log")) == test::ReadFileBytes(log));
        } else {
            EXPECT_EQ(ObservationLines(FilesEndingWith(out.rinex, "_GO.rnx")), ObservationLines(quarterObs));
        }
        // The folder made again: the last periods, each whole under its final name; every
        // period before them that was still open when the folder went is said once.
        const std::vector<std::string> written = FilesEndingWith(gone, c.extension);
        const std::vector<std::string>& reference = gone == out.raw ? quarters : quarterObs;
        ASSERT_GE(written.size(), 1u) << err;
        const std::vector<std::string> last(reference.end() - static_cast<std::ptrdiff_t>(written.size()), reference.end());
        EXPECT_EQ(Names(written), Names(last));
        if (gone == out.raw) {
            EXPECT_TRUE(Joined(written) == Joined(last));
        } else {
            EXPECT_EQ(ObservationLines(written), ObservationLines(last));
            EXPECT_EQ(FilesEndingWith(gone, "_GN.rnx").size(), written.size());
        }
        EXPECT_EQ(Occurrences(err, c.said + gone + "/"), 4 - closedBefore - static_cast<int>(written.size())) << err;
        EXPECT_TRUE(FilesEndingWith(gone, ".incomplete").empty());
        EXPECT_TRUE(Temporaries(out.raw).empty());
        EXPECT_TRUE(Temporaries(out.rinex).empty());
    }
}

TEST(StreamCommand, ConfigureWaitsForEachAcknowledgementAndNamesWhatWasNot) {
    REQUIRE_STREAM_TOOLS();
    struct Case {
        const char* replies;
        int status;
        const char* told;
    };
    const Case cases[] = {
        {"ack", 0, "the receiver accepted its set-up"},
        {"refuse", 1, "the receiver refused the request for identification (0xAE)"},
        {"none", 1, "did not acknowledge within 3 s the request for identification (0xAE)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.replies);
        Outputs out;
        test::ReceiverSim sim;
        ASSERT_TRUE(sim.Start({test::DataPath("navcom/gsi-0759-2005-092.nav"), "--pty", "--speed", "100", "--replies",
                               c.replies}));
        StreamRun stream;
        std::vector<std::string> args = out.Args("1h");
        args.insert(args.end(), {"--configure", "--rate", "1"});
        stream.Start(sim.input(), args, out.dir.path());
        ASSERT_TRUE(AwaitInErr(stream, c.told, 1)) << stream.err();
        const int status = c.status == 0 ? stream.Stop(SIGTERM) : test::WaitCli(stream.pid);
        EXPECT_EQ(status, c.status) << stream.err();
        EXPECT_TRUE(Temporaries(out.raw).empty());
    }
}

// True when the pieces, in some order, join to `bytes`: the stream cut into periods, whatever
// the order their names give.
bool JoinInSomeOrder(std::vector<std::vector<uint8_t>>& pieces, const std::vector<uint8_t>& bytes, std::size_t at = 0) {
    if (pieces.empty()) return at == bytes.size();
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        const std::vector<uint8_t> piece = pieces[i];
        if (piece.empty() || piece.size() > bytes.size() - at || !std::equal(piece.begin(), piece.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at))) continue;
        pieces.erase(pieces.begin() + static_cast<std::ptrdiff_t>(i));
        const bool joined = JoinInSomeOrder(pieces, bytes, at + piece.size());
        pieces.insert(pieces.begin() + static_cast<std::ptrdiff_t>(i), piece);
        if (joined) return true;
    }
    return false;
}

// The observation files of a folder, a period's files opened again (NAME-2.rnx) after its first.
std::vector<std::string> ObservationFilesInRunOrder(const std::string& dir) {
    static const std::regex observation(R"((.*_GO)(-(\d+))?\.rnx$)");
    std::vector<std::pair<std::pair<std::string, int>, std::string>> files;
    for (const auto& e : fs::directory_iterator(dir)) {
        std::smatch m;
        const std::string path = e.path().string();
        if (!std::regex_match(path, m, observation)) continue;
        files.push_back({{m[1].str(), m[3].matched ? std::stoi(m[3].str()) : 1}, path});
    }
    std::sort(files.begin(), files.end());
    std::vector<std::string> paths;
    for (const auto& f : files) paths.push_back(f.second);
    return paths;
}

// The epoch lines of observation records.
std::vector<std::string> EpochLines(const std::string& records) {
    std::vector<std::string> lines;
    std::istringstream in(records);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line[0] == '>') lines.push_back(line);
    }
    return lines;
}

TEST(StreamCommand, DamagedLogsLiveWriteWhatRinexWritesOfTheSameBytes) {
    REQUIRE_STREAM_TOOLS();
    // A live receiver's frames carry their week; so do the catalogue's hand-made ones here.
    constexpr uint16_t kHandMadeWeek = 1316;
    // Time going back past the start of the open period is a receiver reset: the stream opens
    // a period for the epochs after it, which `kestrel rinex` leaves out of its one file.
    const std::vector<std::string> resets = {"a jump back"};
    // The catalogue of hostile logs replayed through the live input path: each run ends by
    // itself with status 0 (or 1 and its reason), the raw files hold every byte received, and
    // the periods' observations are those `kestrel rinex` writes of the same bytes.
    for (const test::HostileLog& entry : test::HostileLogCatalogue(kHandMadeWeek)) {
        SCOPED_TRACE(entry.name);
        Outputs out;
        const std::string log = out.dir.file("damaged.nav");
        test::WriteFileBytes(log, entry.bytes);
        std::vector<std::string> args = {"stream", "file:" + log, "--speed", "0"};
        const std::vector<std::string> outputs = out.Args("15m");
        args.insert(args.end(), outputs.begin(), outputs.end());
        const pid_t pid = test::StartCli(args, out.dir.file("stream.out"), out.dir.file("stream.err"));
        const int status = test::WaitCliFor(pid, test::kCliWaitSeconds);
        const std::string err = test::ReadFileText(out.dir.file("stream.err"));
        ASSERT_NE(status, -1) << "still running after " << test::kCliWaitSeconds << " s";
        EXPECT_TRUE(status == 0 || (status == 1 && !err.empty())) << status << " " << err;
        std::vector<std::vector<uint8_t>> pieces;
        for (const std::string& f : FilesEndingWith(out.raw, ".log")) pieces.push_back(test::ReadFileBytes(f));
        EXPECT_TRUE(JoinInSomeOrder(pieces, entry.bytes)) << pieces.size() << " raw files";
        EXPECT_TRUE(Temporaries(out.raw).empty());
        EXPECT_TRUE(Temporaries(out.rinex).empty());

        const std::string streamed = ObservationLines(ObservationFilesInRunOrder(out.rinex));
        const std::string obs = out.dir.file("whole.rnx");
        const test::CliRun rinex = test::RunCli(out.dir.path(), {"rinex", log, "-o", obs, "--no-nav"});
        if (rinex.status != 0) continue;  // refused: a week that jumps, no epoch at all
        const std::string converted = ObservationLines({obs});
        if (std::find(resets.begin(), resets.end(), entry.name) == resets.end()) {
            EXPECT_EQ(streamed, converted) << err;
        } else {
            // Every epoch of the conversion, and more.
            const std::vector<std::string> streamedEpochs = EpochLines(streamed);
            for (const std::string& line : EpochLines(converted)) {
                EXPECT_NE(std::find(streamedEpochs.begin(), streamedEpochs.end(), line), streamedEpochs.end()) << line;
            }
            EXPECT_GT(streamedEpochs.size(), EpochLines(converted).size());
        }
    }
}

}  // namespace
}  // namespace kestrel
