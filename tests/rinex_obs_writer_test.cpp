// SPDX-License-Identifier: BSD-2-Clause
// RINEX observation writer: header records and their columns, epoch records of both
// versions, and files that the tools' reader reads back value for value.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "rinex_out/rinex_obs_writer.h"
#include "rinex/rinex_obs.h"
#include "rinex/rinex_obs_write.h"
#include "rinex/station_day.h"

namespace kestrel {
namespace {

using T = RinexObsType;

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::string Label(const std::string& line) {
    std::string label = line.size() > 60 ? line.substr(60) : "";
    while (!label.empty() && label.back() == ' ') label.pop_back();
    return label;
}

RinexObsHeader FullHeader(RinexVersion version) {
    RinexObsHeader h;
    h.version = version;
    h.program = "kestrel 0.1.0";
    h.runBy = "tester";
    h.createdUtc = CalendarTime{2024, 5, 6, 7, 8, 9.0};
    h.comments = {"first comment", "second"};
    h.markerName = "GSI 0759";
    h.markerNumber = "21759";
    h.receiverType = "NAVCOM";
    h.approxPositionM = {-3976219.5082, 3382372.5671, 3652512.9849};
    h.types = RinexObsTypesFor(true, true);
    h.intervalS = 1.0;
    h.firstObs = GpsTimeFromCalendar(2005, 4, 2, 0, 0, 1.5);
    h.lastObs = GpsTimeFromCalendar(2005, 4, 2, 23, 59, 59.0);
    h.leapSeconds = 13;
    h.clockOffsetApplied = 0;
    RinexSatCount a;
    a.prn = 12;
    a.counts = {86000, 86001, 86002, 86003, 0, 86005, 1234567};
    RinexSatCount b;
    b.prn = 3;
    b.counts = {10, 10, 10, 10, 10, 10, 10};
    h.satCounts = {a, b};
    return h;
}

TEST(RinexObsWriter, TypesFollowTheTwoSwitchesInOneOrder) {
    struct Case {
        bool p1, doppler;
        const char* v304;
        const char* v211;
    };
    const Case cases[] = {
        {false, false, "C1C L1C S1C C2W L2W", "C1 L1 S1 P2 L2"},
        {true, false, "C1C L1C S1C C1W C2W L2W", "C1 L1 S1 P1 P2 L2"},
        {false, true, "C1C L1C D1C S1C C2W L2W", "C1 L1 D1 S1 P2 L2"},
        {true, true, "C1C L1C D1C S1C C1W C2W L2W", "C1 L1 D1 S1 P1 P2 L2"},
    };
    for (const Case& c : cases) {
        std::string v304, v211;
        for (T t : RinexObsTypesFor(c.p1, c.doppler)) {
            v304 += std::string(v304.empty() ? "" : " ") + RinexObsTypeName(t, RinexVersion::k304);
            v211 += std::string(v211.empty() ? "" : " ") + RinexObsTypeName(t, RinexVersion::k211);
        }
        EXPECT_EQ(v304, c.v304);
        EXPECT_EQ(v211, c.v211);
    }
}

TEST(RinexObsWriter, HeaderRecordsComeInOrderWithTheLabelAtColumn61) {
    struct Case {
        RinexVersion version;
        bool full;
        std::vector<std::string> labels;
    };
    const Case cases[] = {
        {RinexVersion::k304, true,
         {"RINEX VERSION / TYPE", "PGM / RUN BY / DATE", "COMMENT", "COMMENT", "MARKER NAME", "MARKER NUMBER",
          "MARKER TYPE", "OBSERVER / AGENCY", "REC # / TYPE / VERS", "ANT # / TYPE", "APPROX POSITION XYZ",
          "ANTENNA: DELTA H/E/N", "SYS / # / OBS TYPES", "SIGNAL STRENGTH UNIT", "INTERVAL", "TIME OF FIRST OBS",
          "TIME OF LAST OBS", "RCV CLOCK OFFS APPL", "SYS / PHASE SHIFT", "SYS / PHASE SHIFT",
          "GLONASS SLOT / FRQ #", "GLONASS COD/PHS/BIS", "LEAP SECONDS", "# OF SATELLITES", "PRN / # OF OBS",
          "PRN / # OF OBS", "END OF HEADER"}},
        {RinexVersion::k211, true,
         {"RINEX VERSION / TYPE", "PGM / RUN BY / DATE", "COMMENT", "COMMENT", "MARKER NAME", "MARKER NUMBER",
          "OBSERVER / AGENCY", "REC # / TYPE / VERS", "ANT # / TYPE", "APPROX POSITION XYZ", "ANTENNA: DELTA H/E/N",
          "WAVELENGTH FACT L1/2", "# / TYPES OF OBSERV", "INTERVAL", "TIME OF FIRST OBS", "TIME OF LAST OBS",
          "RCV CLOCK OFFS APPL", "LEAP SECONDS", "# OF SATELLITES", "PRN / # OF OBS", "PRN / # OF OBS",
          "END OF HEADER"}},
        // What every file has: the records the format requires.
        {RinexVersion::k304, false,
         {"RINEX VERSION / TYPE", "PGM / RUN BY / DATE", "MARKER NAME", "MARKER TYPE", "OBSERVER / AGENCY",
          "REC # / TYPE / VERS", "ANT # / TYPE", "APPROX POSITION XYZ", "ANTENNA: DELTA H/E/N", "SYS / # / OBS TYPES",
          "SIGNAL STRENGTH UNIT", "TIME OF FIRST OBS", "SYS / PHASE SHIFT", "SYS / PHASE SHIFT",
          "GLONASS SLOT / FRQ #", "GLONASS COD/PHS/BIS", "END OF HEADER"}},
        {RinexVersion::k211, false,
         {"RINEX VERSION / TYPE", "PGM / RUN BY / DATE", "MARKER NAME", "OBSERVER / AGENCY", "REC # / TYPE / VERS",
          "ANT # / TYPE", "APPROX POSITION XYZ", "ANTENNA: DELTA H/E/N", "WAVELENGTH FACT L1/2", "# / TYPES OF OBSERV",
          "TIME OF FIRST OBS", "END OF HEADER"}},
    };
    for (const Case& c : cases) {
        RinexObsHeader h = FullHeader(c.version);
        if (!c.full) {
            RinexObsHeader minimal;
            minimal.version = c.version;
            minimal.types = h.types;
            minimal.firstObs = h.firstObs;
            h = minimal;
        }
        std::string text;
        ASSERT_TRUE(AppendRinexObsHeader(text, h));
        std::vector<std::string> labels;
        for (const std::string& line : Lines(text)) {
            EXPECT_EQ(line.size(), 80u) << line;
            labels.push_back(Label(line));
        }
        EXPECT_EQ(labels, c.labels);
    }
}

TEST(RinexObsWriter, HeaderRecordContents) {
    struct Case {
        RinexVersion version;
        const char* label;
        int occurrence;
        const char* content;  // columns 1..60, trailing blanks removed
    };
    const Case cases[] = {
        {RinexVersion::k304, "RINEX VERSION / TYPE", 0, "     3.04           OBSERVATION DATA    G: GPS"},
        {RinexVersion::k211, "RINEX VERSION / TYPE", 0, "     2.11           OBSERVATION DATA    G"},
        {RinexVersion::k304, "PGM / RUN BY / DATE", 0, "kestrel 0.1.0       tester              20240506 070809 UTC"},
        {RinexVersion::k304, "MARKER TYPE", 0, "NON_GEODETIC"},
        {RinexVersion::k304, "SYS / # / OBS TYPES", 0, "G    7 C1C L1C D1C S1C C1W C2W L2W"},
        {RinexVersion::k211, "# / TYPES OF OBSERV", 0, "     7    C1    L1    D1    S1    P1    P2    L2"},
        {RinexVersion::k211, "WAVELENGTH FACT L1/2", 0, "     1     1"},
        {RinexVersion::k304, "APPROX POSITION XYZ", 0, " -3976219.5082  3382372.5671  3652512.9849"},
        {RinexVersion::k304, "SIGNAL STRENGTH UNIT", 0, "DBHZ"},
        {RinexVersion::k304, "INTERVAL", 0, "     1.000"},
        {RinexVersion::k304, "TIME OF FIRST OBS", 0, "  2005     4     2     0     0    1.5000000     GPS"},
        {RinexVersion::k211, "TIME OF LAST OBS", 0, "  2005     4     2    23    59   59.0000000     GPS"},
        {RinexVersion::k304, "RCV CLOCK OFFS APPL", 0, "     0"},
        {RinexVersion::k304, "SYS / PHASE SHIFT", 0, "G L1C  0.00000"},
        {RinexVersion::k304, "SYS / PHASE SHIFT", 1, "G L2W  0.00000"},
        {RinexVersion::k211, "LEAP SECONDS", 0, "    13"},
        {RinexVersion::k304, "# OF SATELLITES", 0, "     2"},
        // Sorted by PRN; a count too large for its six columns is left blank.
        {RinexVersion::k304, "PRN / # OF OBS", 0, "   G03    10    10    10    10    10    10    10"},
        {RinexVersion::k211, "PRN / # OF OBS", 1, "   G12 86000 86001 86002 86003     0 86005"},
    };
    for (const Case& c : cases) {
        std::string text;
        ASSERT_TRUE(AppendRinexObsHeader(text, FullHeader(c.version)));
        int seen = 0;
        std::string content = "(no such record)";
        for (const std::string& line : Lines(text)) {
            if (Label(line) != c.label || seen++ != c.occurrence) continue;
            content = line.substr(0, 60);
            while (!content.empty() && content.back() == ' ') content.pop_back();
        }
        EXPECT_EQ(content, c.content) << c.label;
    }
}

TEST(RinexObsWriter, HeaderFieldsThatDoNotFitAreLeftUnknown) {
    RinexObsHeader h = FullHeader(RinexVersion::k304);
    h.approxPositionM = {1e15, 0.0, 0.0};
    h.intervalS = 1e12;
    h.markerName = std::string(70, 'M');
    std::string text;
    ASSERT_TRUE(AppendRinexObsHeader(text, h));
    EXPECT_NE(text.find("        0.0000        0.0000        0.0000                  APPROX POSITION XYZ"),
              std::string::npos);
    EXPECT_EQ(text.find("INTERVAL"), std::string::npos);
    EXPECT_NE(text.find(std::string(60, 'M') + "MARKER NAME"), std::string::npos);
}

TEST(RinexObsWriter, RefusesHeadersItCannotWrite) {
    struct Case {
        const char* what;
        void (*change)(RinexObsHeader&);
    };
    const Case cases[] = {
        {"no types", [](RinexObsHeader& h) { h.types.clear(); }},
        {"eight types", [](RinexObsHeader& h) { h.types.push_back(T::kC1); }},
        {"unknown type", [](RinexObsHeader& h) { h.types[0] = static_cast<T>(9); }},
        {"PRN 0 counted", [](RinexObsHeader& h) { h.satCounts[0].prn = 0; }},
        {"PRN 100 counted", [](RinexObsHeader& h) { h.satCounts[0].prn = 100; }},
        {"first epoch before GPS time", [](RinexObsHeader& h) { h.firstObs = {-1, 0.0}; }},
    };
    for (const Case& c : cases) {
        RinexObsHeader h = FullHeader(RinexVersion::k304);
        c.change(h);
        std::string text = "kept";
        EXPECT_FALSE(AppendRinexObsHeader(text, h)) << c.what;
        EXPECT_EQ(text, "kept") << c.what;
    }
}

RinexSatObs Sat(int prn) {
    RinexSatObs s;
    s.prn = prn;
    return s;
}

void Set(RinexSatObs& s, T type, double value, uint8_t lli = 0, uint8_t strength = 0) {
    s.values[static_cast<std::size_t>(type)] = {value, true, lli, strength};
}

RinexObsHeader TypesHeader(RinexVersion version, std::vector<T> types) {
    RinexObsHeader h;
    h.version = version;
    h.types = std::move(types);
    return h;
}

TEST(RinexObsWriter, EpochRecordsOfBothVersions) {
    const GpsTime t = GpsTimeFromCalendar(2010, 7, 1, 0, 0, 30.5);
    const std::vector<T> five = RinexObsTypesFor(false, false);  // C1 L1 S1 P2 L2
    struct Case {
        const char* what;
        RinexObsHeader header;
        RinexObsEpoch epoch;
        std::vector<std::string> lines;
    };
    std::vector<Case> cases;
    {
        // Digits, a missing value, a value too large for F14.3, the clock offset in 42..56.
        RinexObsEpoch e{t, 0, 0.000123456789012, {Sat(5), Sat(12)}};
        Set(e.satellites[0], T::kC1, 24551224.355, 0, 6);
        Set(e.satellites[0], T::kL1, 129017555.114, 1, 6);
        Set(e.satellites[0], T::kS1, 38.25);
        Set(e.satellites[0], T::kL2, 1e12, 1, 6);
        Set(e.satellites[1], T::kC1, -0.125, 0, 10);  // strength outside 1..9: blank
        Set(e.satellites[1], T::kL2, -999999999.999);
        cases.push_back({"3.04", TypesHeader(RinexVersion::k304, five), e,
                         {"> 2010 07 01 00 00 30.5000000  0  2" + std::string(6, ' ') + " 0.000123456789",
                          "G05  24551224.355 6 129017555.11416        38.250",
                          "G12        -0.125" + std::string(50, ' ') + "-999999999.999"}});
    }
    {
        RinexObsEpoch e{t, 1, std::nullopt, {Sat(1)}};
        cases.push_back({"3.04 power failure, nothing observed", TypesHeader(RinexVersion::k304, five), e,
                         {"> 2010 07 01 00 00 30.5000000  1  1", "G01"}});
    }
    {
        // Thirteen satellites: a continuation line; the clock stays on the first line.
        RinexObsEpoch e{t, 0, -0.000123456789, {}};
        for (int prn = 1; prn <= 13; ++prn) {
            e.satellites.push_back(Sat(prn));
            Set(e.satellites.back(), T::kC1, 20000000.0 + prn);
        }
        std::vector<std::string> lines = {" 10  7  1  0  0 30.5000000  0 13G01G02G03G04G05G06G07G08G09G10G11G12-0.000123457",
                                          std::string(32, ' ') + "G13"};
        for (int prn = 1; prn <= 13; ++prn) lines.push_back("  200000" + std::string(prn < 10 ? "0" : "") + std::to_string(prn) + ".000");
        cases.push_back({"2.11 continuation", TypesHeader(RinexVersion::k211, five), e, lines});
    }
    {
        // Seven types: five values, then two on a second line.
        RinexObsEpoch e{t, 0, 0.5, {Sat(31)}};
        Set(e.satellites[0], T::kC1, 1.0, 0, 9);
        Set(e.satellites[0], T::kP2, 2.0, 4, 0);
        Set(e.satellites[0], T::kL2, 3.0, 0, 5);
        cases.push_back({"2.11 two lines per satellite", TypesHeader(RinexVersion::k211, RinexObsTypesFor(true, true)), e,
                         {" 10  7  1  0  0 30.5000000  0  1G31" + std::string(33, ' ') + " 0.500000000",
                          "         1.000 9", std::string("         2.0004 ") + "         3.000 5"}});
    }
    {
        // A time a hair short of the next minute rounds into it, never to second 60.
        RinexObsEpoch e{GpsTimeFromTotal(GpsTimeFromCalendar(2010, 7, 1, 0, 0, 59.99999999).Total()), 0, std::nullopt, {}};
        cases.push_back({"3.04 rounding", TypesHeader(RinexVersion::k304, five), e, {"> 2010 07 01 00 01  0.0000000  0  0"}});
        cases.push_back({"2.11 rounding", TypesHeader(RinexVersion::k211, five), e, {" 10  7  1  0  1  0.0000000  0  0"}});
    }
    {
        // A clock offset too large for its columns is left out.
        RinexObsEpoch e{t, 6, 123.0, {}};
        cases.push_back({"3.04 clock too large", TypesHeader(RinexVersion::k304, five), e, {"> 2010 07 01 00 00 30.5000000  6  0"}});
        cases.push_back({"2.11 clock too large", TypesHeader(RinexVersion::k211, five), e, {" 10  7  1  0  0 30.5000000  6  0"}});
    }
    for (const Case& c : cases) {
        std::string text;
        ASSERT_TRUE(AppendRinexObsEpoch(text, c.header, c.epoch)) << c.what;
        EXPECT_EQ(Lines(text), c.lines) << c.what << "\n" << text;
    }
}

TEST(RinexObsWriter, TwentyFiveSatellitesTakeTwoContinuationLines) {
    RinexObsEpoch e{GpsTimeFromCalendar(2010, 7, 1, 0, 0, 0.0), 0, std::nullopt, {}};
    for (int prn = 1; prn <= 25; ++prn) e.satellites.push_back(Sat(prn));
    std::string text;
    ASSERT_TRUE(AppendRinexObsEpoch(text, TypesHeader(RinexVersion::k211, {T::kC1}), e));
    const std::vector<std::string> lines = Lines(text);
    ASSERT_EQ(lines.size(), 3u + 25u);
    EXPECT_EQ(lines[0].substr(29), " 25G01G02G03G04G05G06G07G08G09G10G11G12");
    EXPECT_EQ(lines[1], std::string(32, ' ') + "G13G14G15G16G17G18G19G20G21G22G23G24");
    EXPECT_EQ(lines[2], std::string(32, ' ') + "G25");
}

TEST(RinexObsWriter, RefusesEpochsItCannotWrite) {
    const RinexObsHeader h = TypesHeader(RinexVersion::k304, RinexObsTypesFor(false, false));
    struct Case {
        const char* what;
        RinexObsEpoch epoch;
    };
    RinexObsEpoch many{GpsTimeFromCalendar(2010, 7, 1, 0, 0, 0.0), 0, std::nullopt, {}};
    many.satellites.assign(1000, Sat(1));
    const Case cases[] = {
        {"event flag", {GpsTimeFromCalendar(2010, 7, 1, 0, 0, 0.0), 3, std::nullopt, {}}},
        {"PRN 0", {GpsTimeFromCalendar(2010, 7, 1, 0, 0, 0.0), 0, std::nullopt, {Sat(0)}}},
        {"PRN 100", {GpsTimeFromCalendar(2010, 7, 1, 0, 0, 0.0), 0, std::nullopt, {Sat(100)}}},
        {"1000 satellites", many},
        {"before GPS time", {{-1, 0.0}, 0, std::nullopt, {}}},
        {"time not a number", {{1590, std::nan("")}, 0, std::nullopt, {}}},
        {"seconds of week absurd", {{1590, 1e300}, 0, std::nullopt, {}}},
        {"week far ahead", {{2000000000, 0.0}, 0, std::nullopt, {}}},
    };
    for (const Case& c : cases) {
        std::string text = "kept";
        EXPECT_FALSE(AppendRinexObsEpoch(text, h, c.epoch)) << c.what;
        EXPECT_EQ(text, "kept") << c.what;
    }
}

// Writes a header and epochs, reads them with the tools' reader, and compares every value.
void ExpectReadBack(RinexVersion version) {
    RinexObsHeader h = FullHeader(version);
    std::vector<RinexObsEpoch> epochs;
    for (int k = 0; k < 3; ++k) {
        RinexObsEpoch e{GpsTimeFromCalendar(2005, 4, 2, 0, 0, 1.5 + k), k == 2 ? 1 : 0, std::nullopt, {}};
        if (k != 1) e.clockOffsetS = 1.25e-4 * (k + 1);
        for (int prn = 1; prn <= 14; ++prn) {
            RinexSatObs s = Sat(prn + k);
            for (std::size_t t = 0; t < kRinexObsTypeCount; ++t) {
                if ((prn + static_cast<int>(t)) % 5 == 0) continue;  // some values missing
                s.values[t] = {(t == 3 ? 40.0 : 2.0e7) + prn * 1000.125 - static_cast<double>(t) * 0.001, true,
                               static_cast<uint8_t>((prn + t) % 3), static_cast<uint8_t>((prn * t) % 10)};
            }
            if (prn == 7) s.values[1].value = -2.0e9;  // too large for F14.3: read back as missing
            e.satellites.push_back(s);
        }
        epochs.push_back(e);
    }
    std::string text;
    ASSERT_TRUE(AppendRinexObsHeader(text, h));
    for (const RinexObsEpoch& e : epochs) ASSERT_TRUE(AppendRinexObsEpoch(text, h, e));

    rinex::ObsFile file;
    std::string error;
    ASSERT_TRUE(rinex::ParseObsText(text, "written", file, error)) << error << "\n" << text;
    EXPECT_EQ(file.header.markerName, "GSI 0759");
    EXPECT_DOUBLE_EQ(file.header.interval, 1.0);
    EXPECT_DOUBLE_EQ(file.header.approxPosition[2], 3652512.9849);
    std::vector<std::string> names;
    for (T t : h.types) names.push_back(RinexObsTypeName(t, RinexVersion::k211));
    EXPECT_EQ(file.header.types, names);  // 3.04 codes come back under their RINEX 2 names
    ASSERT_EQ(file.epochs.size(), epochs.size());
    for (std::size_t k = 0; k < epochs.size(); ++k) {
        const rinex::ObsEpoch& got = file.epochs[k];
        const RinexObsEpoch& want = epochs[k];
        EXPECT_EQ(got.time.week, want.time.week);
        EXPECT_DOUBLE_EQ(got.time.sow, want.time.sow);
        EXPECT_EQ(got.flag, want.flag);
        EXPECT_EQ(got.hasClockOffset, want.clockOffsetS.has_value());
        if (want.clockOffsetS) {
            EXPECT_DOUBLE_EQ(got.clockOffset, *want.clockOffsetS);
        }
        ASSERT_EQ(got.satellites.size(), want.satellites.size());
        for (std::size_t i = 0; i < want.satellites.size(); ++i) {
            EXPECT_EQ(got.satellites[i].prn, want.satellites[i].prn);
            for (std::size_t j = 0; j < h.types.size(); ++j) {
                const RinexObsValue& w = want.satellites[i].values[static_cast<std::size_t>(h.types[j])];
                const rinex::ObsValue& g = got.satellites[i].values[j];
                const bool fits = w.present && w.value > -1e9;
                ASSERT_EQ(g.present, fits) << "epoch " << k << " sat " << i << " type " << j;
                if (!fits) continue;
                EXPECT_NEAR(g.value, w.value, 0.0005);
                EXPECT_EQ(g.lli, w.lli);
                EXPECT_EQ(g.strength, w.strength);
            }
        }
    }
}

TEST(RinexObsWriter, Version304ReadsBackThroughTheToolsReader) { ExpectReadBack(RinexVersion::k304); }
TEST(RinexObsWriter, Version211ReadsBackThroughTheToolsReader) { ExpectReadBack(RinexVersion::k211); }

// The simulated station day's header, as rinex2navcom has always been given it.
TEST(RinexObsWriter, StationDayHeaderIsUnchanged) {
    rinex::StationDayOptions o;
    o.station = {-3976219.5082, 3382372.5671, 3652512.9849};
    o.start = rinex::GpsTimeFromCalendar(2010, 7, 1, 0, 0, 0.0);
    const rinex::StationDay day({}, o);
    const std::string want =
        "     2.11           OBSERVATION DATA    G                   RINEX VERSION / TYPE\n"
        "kestrel tools                                               PGM / RUN BY / DATE \n"
        "SIMULATED                                                   MARKER NAME         \n"
        "                                                            OBSERVER / AGENCY   \n"
        "                                                            REC # / TYPE / VERS \n"
        "                                                            ANT # / TYPE        \n"
        " -3976219.5082  3382372.5671  3652512.9849                  APPROX POSITION XYZ \n"
        "        0.0000        0.0000        0.0000                  ANTENNA: DELTA H/E/N\n"
        "     1     1                                                WAVELENGTH FACT L1/2\n"
        "     5    C1    L1    P2    L2    S1                        # / TYPES OF OBSERV \n"
        "     1.000                                                  INTERVAL            \n"
        "  2010     7     1     0     0    0.0000000     GPS         TIME OF FIRST OBS   \n"
        "                                                            END OF HEADER       \n";
    EXPECT_EQ(rinex::FormatObsHeader(day.Header(), o.start), want);
}

}  // namespace
}  // namespace kestrel
