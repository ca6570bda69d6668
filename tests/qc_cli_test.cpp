// SPDX-License-Identifier: BSD-2-Clause
// `kestrel qc` run as a user runs it: the summary, the JSON document scripts read, the
// pictures opened as files of their kind, bad options, outputs that cannot be written, and
// logs without epochs or ephemerides.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdint>
#include <map>
#include <sstream>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "qc_plot.h"
#include "support/cli_process.h"
#include "support/frame_builder.h"
#include "support/test_files.h"

namespace kestrel {
namespace {

using test::CliRun;

constexpr uint8_t kMeasurementId = 0xB0;

std::string Station() { return test::DataPath("navcom/gsi-0759-2005-092.nav"); }
std::string Capture() { return test::DataPath("navcom/gpsd-navcom-long-2012.log"); }

class QcCli : public ::testing::Test {
protected:
    void SetUp() override {
        if (test::CliPath() == nullptr) GTEST_SKIP() << "KESTREL_CLI does not name the built command";
    }

    // The station hour with only the frames `keep` accepts.
    std::string StationWith(const std::string& name, bool keepMeasurements, bool keepEphemerides) {
        auto frames = test::SplitFrames(test::ReadFileBytes(Station()));
        std::erase_if(frames, [&](const auto& f) { return f[3] == kMeasurementId ? !keepMeasurements : !keepEphemerides; });
        test::WriteFileBytes(dir.file(name), test::JoinFrames(frames));
        return dir.file(name);
    }

    test::ScratchDir dir;
};

// "  PRN obs withL2 missing L1 L2 iono S/N MP1 MP2 eph": whole numbers but for the three
// figures, which may be "-".
bool IsSatelliteRow(const std::string& line) {
    if (line.rfind("  ", 0) != 0) return false;
    std::istringstream in(line);
    std::vector<std::string> fields;
    for (std::string f; in >> f;) fields.push_back(f);
    if (fields.size() != 11) return false;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const bool figure = i >= 7 && i <= 9;
        const char* allowed = figure ? "-0123456789." : "0123456789";
        if (fields[i].find_first_not_of(allowed) != std::string::npos) return false;
    }
    return true;
}

TEST_F(QcCli, SummarisesTheStationHour) {
    const CliRun run = test::RunCli(dir.path(), {"qc", Station(), "-q"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_NE(run.out.find("Epochs        120 of 120 expected (100.0 %)"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("Interval      30.000 s"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("11 L1 and 6 L2 slips, 0 ionospheric only; 11 observations flagged"), std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("2005-04-01 23:59:47.000 UTC"), std::string::npos) << run.out;
    // One table row per satellite, in aligned columns.
    int rows = 0;
    std::size_t width = 0;
    for (std::size_t at = 0, end; (end = run.out.find('\n', at)) != std::string::npos; at = end + 1) {
        const std::string line = run.out.substr(at, end - at);
        if (!IsSatelliteRow(line)) continue;
        ++rows;
        EXPECT_TRUE(width == 0 || line.size() == width) << line;
        width = line.size();
    }
    EXPECT_EQ(rows, 15) << run.out;
}

// Keys and types a script may rely on; a figure that cannot be computed is null, never 0.
void ExpectNumberOrNull(const nlohmann::json& j, const char* key, bool null) {
    ASSERT_TRUE(j.contains(key)) << key;
    if (null) {
        EXPECT_TRUE(j[key].is_null()) << key << " = " << j[key];
    } else {
        EXPECT_TRUE(j[key].is_number()) << key << " = " << j[key];
    }
}

TEST_F(QcCli, JsonHoldsEveryLogWithNullsForWhatCannotBeComputed) {
    const std::string noEpochs = StationWith("ephemerides-only.nav", false, true);
    const CliRun run = test::RunCli(dir.path(), {"qc", Station(), noEpochs, Capture(), "--json", dir.file("qc.json"), "-q"});
    ASSERT_EQ(run.status, 0) << run.err;
    const nlohmann::json doc = nlohmann::json::parse(test::ReadFileText(dir.file("qc.json")));
    EXPECT_EQ(doc["version"], 1);
    ASSERT_EQ(doc["logs"].size(), 3u);
    const nlohmann::json& station = doc["logs"][0];
    const nlohmann::json& empty = doc["logs"][1];
    const nlohmann::json& capture = doc["logs"][2];
    EXPECT_EQ(station["file"], Station());
    EXPECT_EQ(empty["file"], noEpochs);

    struct KeyCase {
        const char* key;
        bool nullWithoutEpochs;
    };
    const KeyCase keys[] = {{"epochs", false},    {"expected_epochs", true}, {"interval_s", true}, {"l1_slips", false},
                            {"l2_slips", false},  {"mp1_rms_m", true},       {"mp2_rms_m", true}};
    for (const KeyCase& k : keys) {
        ExpectNumberOrNull(station, k.key, false);
        ExpectNumberOrNull(empty, k.key, k.nullWithoutEpochs);
    }
    EXPECT_EQ(station["epochs"], 120);
    EXPECT_EQ(station["expected_epochs"], 120);
    EXPECT_EQ(station["interval_s"], 30.0);
    EXPECT_EQ(station["l1_slips"], 11);
    EXPECT_EQ(station["l2_slips"], 6);
    EXPECT_EQ(empty["epochs"], 0);
    EXPECT_TRUE(empty["position"].is_null());
    EXPECT_TRUE(empty["clock_steps"].is_array() && empty["clock_steps"].empty());
    for (const char* axis : {"x", "y", "z"}) ExpectNumberOrNull(station["position"], axis, false);

    ASSERT_TRUE(station["satellites"].is_array());
    for (const nlohmann::json& s : station["satellites"]) {
        for (const char* key : {"prn", "observations", "l1_slips", "l2_slips"}) ExpectNumberOrNull(s, key, false);
        const bool observed = s["observations"] > 0;
        ExpectNumberOrNull(s, "mean_strength_dbhz", !observed);
        // A satellite without an arc of ten epochs has no multipath figure.
        ASSERT_TRUE(s.contains("mp1_rms_m") && s.contains("mp2_rms_m"));
        EXPECT_EQ(s["mp1_rms_m"].is_null(), s["multipath_arcs"] == 0) << s;
        EXPECT_EQ(s["mp2_rms_m"].is_null(), s["multipath_arcs"] == 0) << s;
    }
    // The satellites of a log without epochs are those with ephemerides, never observed.
    for (const nlohmann::json& s : empty["satellites"]) {
        EXPECT_EQ(s["observations"], 0);
        EXPECT_TRUE(s["mean_strength_dbhz"].is_null());
        EXPECT_TRUE(s["mp1_rms_m"].is_null());
    }

    ASSERT_EQ(capture["clock_steps"].size(), 6u);
    for (const nlohmann::json& step : capture["clock_steps"]) {
        EXPECT_TRUE(step["time"].is_number());
        EXPECT_GT(step["time"].get<double>(), 123624.0);
        EXPECT_NEAR(step["size_s"].get<double>(), 9.775e-7, 3e-8);
    }
}

uint32_t BigEndian32(const std::vector<uint8_t>& b, std::size_t at) {
    return (uint32_t{b[at]} << 24) | (uint32_t{b[at + 1]} << 16) | (uint32_t{b[at + 2]} << 8) | b[at + 3];
}

void ExpectPngOfThePageSize(const std::string& path) {
    const std::vector<uint8_t> png = test::ReadFileBytes(path);
    ASSERT_GT(png.size(), 33u) << path;
    const std::vector<uint8_t> signature = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    EXPECT_TRUE(std::equal(signature.begin(), signature.end(), png.begin())) << path;
    EXPECT_EQ(std::string(png.begin() + 12, png.begin() + 16), "IHDR");
    EXPECT_EQ(BigEndian32(png, 16), static_cast<uint32_t>(cli::kPlotPageWidth));
    EXPECT_EQ(BigEndian32(png, 20), static_cast<uint32_t>(cli::kPlotPageHeight));
    EXPECT_EQ(std::string(png.end() - 8, png.end() - 4), "IEND");
}

// Counts the elements of an XML text, and whether every one that opens is closed in order.
struct XmlShape {
    std::map<std::string, int> elements;
    bool balanced = true;
};

XmlShape ShapeOf(const std::string& text) {
    XmlShape shape;
    std::vector<std::string> open;
    for (std::size_t at = text.find('<'); at != std::string::npos; at = text.find('<', at + 1)) {
        const std::size_t end = text.find('>', at);
        if (end == std::string::npos) {
            shape.balanced = false;
            break;
        }
        const std::string tag = text.substr(at + 1, end - at - 1);
        if (tag.empty() || tag[0] == '?' || tag[0] == '!') continue;
        if (tag[0] == '/') {
            if (open.empty() || open.back() != tag.substr(1)) shape.balanced = false;
            if (!open.empty()) open.pop_back();
            continue;
        }
        const std::string name = tag.substr(0, tag.find_first_of(" \n/"));
        ++shape.elements[name];
        if (tag.back() != '/') open.push_back(name);
    }
    return shape;
}

TEST_F(QcCli, PlotsAreImagesOfTheirKind) {
    ASSERT_EQ(test::RunCli(dir.path(), {"qc", Station(), "-q", "--plot", dir.file("qc.png")}).status, 0);
    ExpectPngOfThePageSize(dir.file("qc.png"));

    ASSERT_EQ(test::RunCli(dir.path(), {"qc", Station(), "-q", "--plot", dir.file("qc.svg")}).status, 0);
    const std::string svg = test::ReadFileText(dir.file("qc.svg"));
    EXPECT_NE(svg.find("width=\"1200px\" height=\"2140px\""), std::string::npos) << svg.substr(0, 300);
    const XmlShape shape = ShapeOf(svg);
    EXPECT_TRUE(shape.balanced);
    EXPECT_EQ(shape.elements.at("svg"), 1);
    EXPECT_GT(shape.elements.at("path"), 100);
    // The dots of the scatter plots, a closed square each: every observation's strength at least.
    std::size_t squares = 0;
    for (std::size_t at = svg.find(" Z M "); at != std::string::npos; at = svg.find(" Z M ", at + 1)) ++squares;
    EXPECT_GT(squares, 948u);
    EXPECT_GT(shape.elements.at("use"), 100) << "the glyphs of the labels";

    ASSERT_EQ(test::RunCli(dir.path(), {"qc", Station(), Capture(), "-q", "--plot", dir.file("qc.html")}).status, 0);
    const std::string html = test::ReadFileText(dir.file("qc.html"));
    EXPECT_EQ(html.rfind("<!DOCTYPE html>", 0), 0u);
    const XmlShape page = ShapeOf(html.substr(html.find("<html")));
    EXPECT_TRUE(page.balanced);
    EXPECT_EQ(page.elements.at("svg"), 2 * cli::kPlotPanels);
    EXPECT_EQ(page.elements.at("pre"), 2);
    EXPECT_NE(html.find("Epochs        120 of 120 expected"), std::string::npos);
    EXPECT_NE(html.find("Epochs        23 of 23 expected"), std::string::npos);
    EXPECT_EQ(html.find("<?xml"), std::string::npos);
    // Self-contained: nothing is fetched, and the pictures' ids do not clash.
    EXPECT_EQ(html.find("src="), std::string::npos);
    std::set<std::string> ids;
    for (std::size_t at = html.find(" id=\""); at != std::string::npos; at = html.find(" id=\"", at + 1)) {
        const std::size_t start = at + 5;
        const std::string id = html.substr(start, html.find('"', start) - start);
        EXPECT_TRUE(ids.insert(id).second) << id;
    }
    EXPECT_GT(ids.size(), 100u);
}

TEST_F(QcCli, SeveralLogsGiveOnePictureEach) {
    const CliRun run = test::RunCli(dir.path(), {"qc", Station(), Capture(), "-q", "--plot", dir.file("sky.png")});
    ASSERT_EQ(run.status, 0) << run.err;
    ExpectPngOfThePageSize(dir.file("sky-1-gsi-0759-2005-092.png"));
    ExpectPngOfThePageSize(dir.file("sky-2-gpsd-navcom-long-2012.png"));
    EXPECT_FALSE(test::FileExists(dir.file("sky.png")));
}

struct StatusCase {
    std::vector<std::string> args;
    int status;
    std::string named;  // in the error text
};

// Logs checked by worker processes give what they give checked in turn: the same JSON
// document, the same page, each summary under its log's name.
TEST_F(QcCli, WorkersGiveWhatTheLogsGiveInTurn) {
    std::map<std::string, std::string> json;
    std::map<std::string, std::string> page;
    for (const char* jobs : {"1", "2"}) {
        const std::string tag = jobs;
        const CliRun run = test::RunCli(dir.path(), {"qc", Station(), Capture(), "-q", "-j", jobs, "--json",
                                                     dir.file("qc" + tag + ".json"), "--plot",
                                                     dir.file("qc" + tag + ".html")});
        ASSERT_EQ(run.status, 0) << run.err;
        json[tag] = test::ReadFileText(dir.file("qc" + tag + ".json"));
        page[tag] = test::ReadFileText(dir.file("qc" + tag + ".html"));
        if (tag == "2") {
            EXPECT_NE(run.out.find("==> " + Station() + " <=="), std::string::npos) << run.out;
            EXPECT_NE(run.out.find("==> " + Capture() + " <=="), std::string::npos) << run.out;
        }
    }
    EXPECT_EQ(json["1"], json["2"]);
    EXPECT_EQ(page["1"], page["2"]);
    EXPECT_NE(json["2"].find("gpsd-navcom-long-2012.log"), std::string::npos);
}

TEST_F(QcCli, BadOptionsAreNamed) {
    const StatusCase cases[] = {
        {{"--mask", "95"}, 2, "--mask"},
        {{"--mask", "low"}, 2, "--mask"},
        {{"--reference", "1,2"}, 2, "--reference"},
        {{"--reference", "0,0,0"}, 2, "--reference"},
        {{"--plot", "qc.gif"}, 2, "--plot"},
        {{"--interval", "0"}, 2, "--interval"},
        {{"--from", "yesterday"}, 2, "--from"},
        {{"--from", "1316:520000", "--to", "1316:519000"}, 2, "--to"},
        {{"--json", Station()}, 2, "overwritten"},
        {{"--json", "same.html", "--plot", "same.html"}, 2, "--plot"},
    };
    for (const StatusCase& c : cases) {
        std::vector<std::string> args = {"qc", Station(), "-q"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const CliRun run = test::RunCli(dir.path(), args);
        EXPECT_EQ(run.status, c.status) << c.args[0] << c.args[1];
        EXPECT_NE(run.err.find(c.named), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "") << c.args[0];
    }
    const CliRun none = test::RunCli(dir.path(), {"qc"});
    EXPECT_EQ(none.status, 2);
    EXPECT_NE(none.err.find("LOG"), std::string::npos) << none.err;
}

TEST_F(QcCli, OutputsThatCannotBeWrittenAndLogsThatCannotBeReadAreNamed) {
    mkdir(dir.file("folder.png").c_str(), 0755);
    const StatusCase cases[] = {
        {{"qc", Station(), "--json", "/nonexistent/folder/qc.json"}, 1, "/nonexistent/folder/qc.json"},
        {{"qc", Station(), "--plot", dir.file("folder.png")}, 1, dir.file("folder.png")},
        {{"qc", Station(), "--plot", "/nonexistent/folder/qc.svg"}, 1, "/nonexistent/folder/qc.svg"},
        {{"qc", dir.file("missing.nav"), Station()}, 1, dir.file("missing.nav")},
    };
    for (const StatusCase& c : cases) {
        const CliRun run = test::RunCli(dir.path(), c.args);
        EXPECT_EQ(run.status, c.status) << c.named;
        EXPECT_NE(run.err.find(c.named), std::string::npos) << run.err;
    }
    // The readable log of the last case was still checked.
    const CliRun mixed = test::RunCli(dir.path(), {"qc", dir.file("missing.nav"), Station(), "-q"});
    EXPECT_NE(mixed.out.find("Epochs        120 of 120 expected"), std::string::npos) << mixed.out;
}

TEST_F(QcCli, LogsWithoutEpochsOrEphemeridesSaySoAndSucceed) {
    struct Case {
        std::string log;
        std::vector<std::string> said;
        bool allowEmpty = false;  // a log with neither is a failure unless allowed
    };
    const Case cases[] = {
        {StationWith("nothing.nav", false, false), {"Epochs        none", "Ephemerides   none received"}, true},
        {StationWith("no-epochs.nav", false, true), {"Epochs        none", "Ephemerides   23 received"}},
        {StationWith("no-ephemerides.nav", true, false),
         {"Epochs        120 of 120", "Ephemerides   none received", "no elevations", "no elev",
          "Position      no single-point solution", "observed without one: PRN 1 3 4 7 8 11 19 20 23 24 28"}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"qc", c.log, "-q", "--json", dir.file("q.json"), "--plot", dir.file("q.png")};
        if (c.allowEmpty) args.push_back("--allow-empty");
        const CliRun run = test::RunCli(dir.path(), args);
        EXPECT_EQ(run.status, 0) << c.log << run.err;
        for (const std::string& text : c.said) EXPECT_NE(run.out.find(text), std::string::npos) << text << "\n" << run.out;
        ExpectPngOfThePageSize(dir.file("q.png"));
        EXPECT_NO_THROW(nlohmann::json::parse(test::ReadFileText(dir.file("q.json"))));
    }
}

}  // namespace
}  // namespace kestrel
