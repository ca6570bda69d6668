// SPDX-License-Identifier: BSD-2-Clause
// IGS site logs: every field a RINEX header takes, the receiver and antenna in force at a
// time, the form's placeholders, and texts that are not site logs or hold unreadable values.
#include <gtest/gtest.h>

#include <string>

#include "sitelog/site_log.h"
#include "support/test_files.h"

namespace kestrel {
namespace {

SiteLog Sample() {
    SiteLog log;
    std::string error;
    EXPECT_TRUE(ReadSiteLog(test::DataPath("sitelog/0759_20050402.log"), log, error)) << error;
    return log;
}

TEST(SiteLog, ReadsTheStationsIdentity) {
    const SiteLog log = Sample();
    EXPECT_EQ(log.siteName, "Kestrel Test Pillar");
    EXPECT_EQ(log.fourCharacterId, "0759");
    EXPECT_EQ(log.nineCharacterId, "075900JPN");
    EXPECT_EQ(log.domesNumber, "21799S001");
    EXPECT_EQ(log.agency, "GSI");  // the responsible agency before the on-site one
    // The form's blank "3.x" and "4.x" entries are not entries.
    EXPECT_EQ(log.receivers.size(), 3u);
    EXPECT_EQ(log.antennas.size(), 3u);
}

TEST(SiteLog, EntriesInForceAtATime) {
    const SiteLog log = Sample();
    struct Case {
        const char* what;
        GpsTime time;
        const char* receiver;  // null: none in force
        const char* antenna;
    };
    const Case cases[] = {
        {"before the station", GpsFromUtc({1995, 1, 1, 0, 0, 0.0}), nullptr, nullptr},
        {"the data's day", GpsFromUtc({2005, 4, 2, 0, 0, 0.0}), "TRIMBLE 5700", "TRM29659.00"},
        {"the minute of a change", GpsFromUtc({2003, 2, 1, 2, 0, 0.0}), "TRIMBLE 5700", "TRM29659.00"},
        {"just before it", GpsFromUtc({2003, 2, 1, 1, 59, 59.0}), "TRIMBLE 4000SSI", "TRM22020.00+GP"},
        {"still in place", GpsFromUtc({2024, 6, 1, 0, 0, 0.0}), "TRIMBLE NETR9", "TRM59800.00"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const SiteLogReceiver* r = ReceiverInForce(log, c.time);
        const SiteLogAntenna* a = AntennaInForce(log, c.time);
        if (c.receiver == nullptr) {
            EXPECT_EQ(r, nullptr);
            EXPECT_EQ(a, nullptr);
            continue;
        }
        ASSERT_NE(r, nullptr);
        ASSERT_NE(a, nullptr);
        EXPECT_EQ(r->type, c.receiver);
        EXPECT_EQ(a->type, c.antenna);
    }
    const SiteLogReceiver* r = ReceiverInForce(log, GpsFromUtc({2005, 4, 2, 0, 0, 0.0}));
    const SiteLogAntenna* a = AntennaInForce(log, GpsFromUtc({2005, 4, 2, 0, 0, 0.0}));
    ASSERT_TRUE(r && a);
    EXPECT_EQ(r->serialNumber, "0220301234");
    EXPECT_EQ(r->firmware, "1.24");
    EXPECT_EQ(a->radome, "SCIS");
    EXPECT_EQ(a->serialNumber, "0220067890");
    EXPECT_DOUBLE_EQ(a->upM, 1.2345);
    EXPECT_DOUBLE_EQ(a->northM, 0.0010);
    EXPECT_DOUBLE_EQ(a->eastM, -0.0020);
}

constexpr const char* kHead = "1.   Site Identification of the GNSS Monument\n     Four Character ID        : abcd\n";

TEST(SiteLog, FormsAndFaults) {
    struct Case {
        const char* what;
        std::string text;
        bool ok;
        const char* errorHas;  // in the error, or the antenna's radome when ok
    };
    const Case cases[] = {
        {"radome from the type field when its own is blank",
         std::string(kHead) + "4.   GNSS Antenna Information\n4.1  Antenna Type : LEIAR25.R3      LEIT\r\n"
                              "     Antenna Radome Type      : \r\n",
         true, "LEIT"},
        {"the radome field wins", std::string(kHead) + "4.1  Antenna Type : LEIAR25.R3 LEIT\n     Antenna Radome Type : NONE\n",
         true, "NONE"},
        {"no station ID", "1.   Site Identification\n     Site Name : nowhere\n", false, "Four Character ID"},
        {"not a site log at all", std::string("\x02\x99\x66\xb0 binary", 11), false, "not an IGS site log"},
        {"an unreadable date", std::string(kHead) + "3.1  Receiver Type : X\n     Date Installed : 2005-13-01\n", false,
         "3.1 date installed: cannot read '2005-13-01'"},
        {"an unreadable eccentricity", std::string(kHead) + "4.1  Antenna Type : X NONE\n     Marker->ARP Up Ecc. (m) : 1,5\n",
         false, "cannot read '1,5'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SiteLog log;
        std::string error;
        EXPECT_EQ(ParseSiteLog(c.text, log, error), c.ok) << error;
        if (c.ok) {
            EXPECT_EQ(log.fourCharacterId, "ABCD");
            ASSERT_EQ(log.antennas.size(), 1u);
            EXPECT_EQ(log.antennas[0].radome, c.errorHas);
        } else {
            EXPECT_NE(error.find(c.errorHas), std::string::npos) << error;
        }
    }
}

TEST(SiteLog, AFileThatIsNoneIsNamedInTheError) {
    SiteLog log;
    std::string error;
    EXPECT_FALSE(ReadSiteLog("/nonexistent/site.log", log, error));
    EXPECT_NE(error.find("/nonexistent/site.log"), std::string::npos);
    test::ScratchDir dir;
    test::WriteFileBytes(dir.file("big.log"), std::vector<uint8_t>(kSiteLogMaxBytes + 1, ' '));
    EXPECT_FALSE(ReadSiteLog(dir.file("big.log"), log, error));
    EXPECT_NE(error.find("larger than"), std::string::npos);
}

}  // namespace
}  // namespace kestrel
