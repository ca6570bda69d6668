// SPDX-License-Identifier: BSD-2-Clause
// Every header `kestrel rinex` writes holds the records its version requires. The table below
// is taken from the RINEX 2.11 and 3.04 format descriptions (and the records RTKLIB writes for
// 3.02 and later), not from Kestrel's writer: a record the writer forgets fails here.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/cli_process.h"
#include "support/test_files.h"

namespace kestrel {
namespace {

struct Required {
    const char* version;
    char type;  // O or N
    std::vector<std::string> labels;
};

const Required kRequired[] = {
    {"2.11", 'O', {"RINEX VERSION / TYPE", "PGM / RUN BY / DATE", "MARKER NAME", "OBSERVER / AGENCY",
                   "REC # / TYPE / VERS", "ANT # / TYPE", "APPROX POSITION XYZ", "ANTENNA: DELTA H/E/N",
                   "WAVELENGTH FACT L1/2", "# / TYPES OF OBSERV", "TIME OF FIRST OBS", "END OF HEADER"}},
    {"3.04", 'O', {"RINEX VERSION / TYPE", "PGM / RUN BY / DATE", "MARKER NAME", "MARKER TYPE", "OBSERVER / AGENCY",
                   "REC # / TYPE / VERS", "ANT # / TYPE", "APPROX POSITION XYZ", "ANTENNA: DELTA H/E/N",
                   "SYS / # / OBS TYPES", "TIME OF FIRST OBS", "SYS / PHASE SHIFT", "GLONASS SLOT / FRQ #",
                   "GLONASS COD/PHS/BIS", "END OF HEADER"}},
    {"2.11", 'N', {"RINEX VERSION / TYPE", "PGM / RUN BY / DATE", "END OF HEADER"}},
    {"3.04", 'N', {"RINEX VERSION / TYPE", "PGM / RUN BY / DATE", "END OF HEADER"}},
};

struct HeaderLine {
    std::string content;  // columns 1-60
    std::string label;    // columns 61-80, trimmed
};

std::vector<HeaderLine> Header(const std::string& text) {
    std::vector<HeaderLine> lines;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = text.find('\n', at);
        const std::string line = text.substr(at, end - at);
        at = end == std::string::npos ? text.size() : end + 1;
        EXPECT_LE(line.size(), 80u) << line;
        std::string label = line.size() > 60 ? line.substr(60) : "";
        label.erase(label.find_last_not_of(' ') + 1);
        lines.push_back({line.substr(0, 60), label});
        if (label == "END OF HEADER") break;
    }
    return lines;
}

void CheckHeader(const std::string& file, const Required& r) {
    SCOPED_TRACE(file);
    const auto lines = Header(test::ReadFileText(file));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front().label, "RINEX VERSION / TYPE");
    EXPECT_EQ(lines.back().label, "END OF HEADER");
    EXPECT_EQ(lines.front().content.substr(0, 9), std::string("     ") + r.version);
    EXPECT_EQ(lines.front().content[20], r.type);
    for (const std::string& label : r.labels) {
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const HeaderLine& l) { return l.label == label; }))
            << "missing " << label;
    }
    for (const HeaderLine& l : lines) {
        // A GPS file lists no GLONASS slot: the count (I3) is 0.
        if (l.label == "GLONASS SLOT / FRQ #") {
            EXPECT_EQ(l.content.substr(0, 3), "  0");
        }
    }
}

TEST(RinexRequiredRecords, EveryHeaderOfBothVersionsHoldsThem) {
    if (test::CliPath() == nullptr) GTEST_SKIP() << "KESTREL_CLI is not set";
    const char* logs[] = {"navcom/gsi-0759-2005-092.nav", "navcom/gpsd-navcom-long-2012.log"};
    for (const char* log : logs) {
        for (const char* version : {"3.04", "2.11"}) {
            const test::ScratchDir dir;
            const test::CliRun run =
                test::RunCli(dir.path(), {"rinex", test::DataPath(log), "-v", version, "-o", dir.file("o"), "-n",
                                          dir.file("n"), "-q"});
            ASSERT_EQ(run.status, 0) << run.err;
            for (const Required& r : kRequired) {
                if (std::string(r.version) != version) continue;
                CheckHeader(dir.file(r.type == 'O' ? "o" : "n"), r);
            }
        }
    }
}

}  // namespace
}  // namespace kestrel
