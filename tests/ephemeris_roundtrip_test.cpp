// SPDX-License-Identifier: BSD-2-Clause
// Round trip against a real broadcast navigation file: every ephemeris is sent as an
// EPHEMERIS frame, converted, and read back from the ephemeris text file, where every
// value must equal the broadcast one within half a least significant bit of its field.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "kestrel/kestrel.h"
#include "kestrel/records.h"
#include "rinex/navcom_encode.h"
#include "rinex/rinex_nav.h"
#include "positioning/eph_store.h"
#include "support/eph_text.h"
#include "support/test_files.h"

namespace kestrel {
namespace {

constexpr double kPi = 3.141592653589793;

// One "GpsEph" block as read back: keyword -> its values, as text.
using Block = std::map<std::string, std::vector<std::string>>;

std::vector<Block> ReadGpsEphBlocks(const std::string& text, std::string& header) {
    std::vector<Block> blocks;
    std::istringstream in(text);
    std::getline(in, header);
    std::string line;
    Block* open = nullptr;
    while (std::getline(in, line)) {
        if (open == nullptr) {
            const auto brace = line.find('{');
            if (brace == std::string::npos) continue;
            EXPECT_EQ(line.substr(0, brace), "GpsEph ");
            blocks.emplace_back();
            open = &blocks.back();
            line = line.substr(brace + 1);
        }
        if (line == "}") {
            open = nullptr;
            continue;
        }
        std::istringstream words(line);
        std::string keyword;
        if (!(words >> keyword)) continue;
        EXPECT_EQ(open->count(keyword), 0u) << "repeated " << keyword;
        std::string value;
        while (words >> value) (*open)[keyword].push_back(value);
    }
    EXPECT_EQ(open, nullptr) << "last block not closed";
    return blocks;
}

struct RealField {
    const char* name;
    const char* keyword;
    std::size_t index;
    double broadcast;
    double lsb;  // value of one unit of the broadcast integer
};

// Writes the records as EPHEMERIS frames into a log, converts it with the default options
// and returns the option block with its result counters; false when the conversion failed.
bool ConvertRecords(const test::ScratchDir& dir, const std::vector<rinex::NavRecord>& records,
                    OptionBlock& options) {
    std::vector<uint8_t> log;
    for (const auto& r : records) {
        const auto frame = rinex::EncodeEphemerisFrame(r);
        log.insert(log.end(), frame.begin(), frame.end());
    }
    test::WriteFileBytes(dir.file("nav.log"), log);

    std::memset(&options, 0, sizeof options);
    options.blockSize = KESTREL_OPTION_BLOCK_SIZE;
    std::snprintf(options.inputPath, sizeof options.inputPath, "%s", dir.file("nav.log").c_str());
    std::snprintf(options.outputName, sizeof options.outputName, "%s", dir.file("out").c_str());
    options.optionSize = KESTREL_OPTION_RECORD_SIZE;
    SetFactoryDefaults(sizeof options.options, &options.options);
    CallbackBlock callbacks;
    std::memset(&callbacks, 0, sizeof callbacks);
    callbacks.blockSize = KESTREL_CALLBACK_BLOCK_SIZE;
    return ConvertFile(&options, &callbacks, 0) == 0;
}

TEST(EphemerisRoundTrip, BroadcastFileThroughConversion) {
    std::vector<rinex::NavRecord> records;
    std::string error;
    ASSERT_TRUE(rinex::ReadNavFile(test::DataPath("rinex/07590920.05n"), records, error)) << error;
    ASSERT_FALSE(records.empty());

    test::ScratchDir dir;
    OptionBlock options;
    ASSERT_TRUE(ConvertRecords(dir, records, options));

    std::vector<const rinex::NavRecord*> healthy;
    for (const auto& r : records) {
        if (r.health == 0) healthy.push_back(&r);
    }
    EXPECT_EQ(options.ephemeridesWritten, static_cast<int32_t>(healthy.size()));

    const std::string text = test::ReadFileText(dir.file("out.epp"));
    const test::EphTextCheck check = test::CheckEphemerisText(text);
    EXPECT_EQ(check.problem, "");
    EXPECT_EQ(check.gpsEphBlocks, static_cast<int>(healthy.size()));
    std::string header;
    const auto blocks = ReadGpsEphBlocks(text, header);
    EXPECT_EQ(header, "$EPHREC Ver6.03 KESTREL NavComBinary");
    ASSERT_EQ(blocks.size(), healthy.size());

    const auto wanted = [](const Block& b, const char* keyword, std::size_t count) {
        const auto it = b.find(keyword);
        EXPECT_NE(it, b.end()) << keyword;
        if (it == b.end()) return false;
        EXPECT_EQ(it->second.size(), count) << keyword;
        return it->second.size() == count;
    };
    double worstRatio = 0.0;
    std::string worstField;
    for (std::size_t k = 0; k < blocks.size(); ++k) {
        const Block& b = blocks[k];
        const rinex::NavRecord& r = *healthy[k];
        const GpsEphRecord exact = rinex::ToGpsEphRecord(r);
        SCOPED_TRACE(::testing::Message() << "block " << k << " PRN " << exact.Prn << " Toe " << exact.Toe);
        if (!wanted(b, "Prn:", 1) || !wanted(b, "El1:", 5) || !wanted(b, "El2:", 3) || !wanted(b, "El3:", 4) ||
            !wanted(b, "El4:", 4) || !wanted(b, "El5:", 4) || !wanted(b, "El6:", 5)) {
            continue;
        }
        const auto integer = [&](const char* keyword, std::size_t i) {
            return std::strtol(b.at(keyword)[i].c_str(), nullptr, 10);
        };
        EXPECT_EQ(integer("Prn:", 0), exact.Prn);
        EXPECT_EQ(integer("El1:", 0), exact.Week);
        EXPECT_EQ(integer("El1:", 1), 9999);
        EXPECT_EQ(integer("El1:", 3), exact.Iodc);
        EXPECT_EQ(integer("El1:", 4), exact.Toc);
        EXPECT_EQ(integer("El3:", 0), exact.Iode);
        EXPECT_EQ(integer("El5:", 0), exact.Toe);

        const RealField reals[] = {
            {"Tgd", "El1:", 2, exact.Tgd, std::ldexp(1.0, -31)},
            {"Af2", "El2:", 0, exact.Af2, std::ldexp(1.0, -55)},
            {"Af1", "El2:", 1, exact.Af1, std::ldexp(1.0, -43)},
            {"Af0", "El2:", 2, exact.Af0, std::ldexp(1.0, -31)},
            {"Crs", "El3:", 1, exact.Crs, std::ldexp(1.0, -5)},
            {"DeltaN", "El3:", 2, exact.DeltaN, std::ldexp(kPi, -43)},
            {"M0", "El3:", 3, exact.M0, std::ldexp(kPi, -31)},
            {"Cuc", "El4:", 0, exact.Cuc, std::ldexp(1.0, -29)},
            {"Ecc", "El4:", 1, exact.Ecc, std::ldexp(1.0, -33)},
            {"Cus", "El4:", 2, exact.Cus, std::ldexp(1.0, -29)},
            {"SqrtA", "El4:", 3, exact.SqrtA, std::ldexp(1.0, -19)},
            {"Cic", "El5:", 1, exact.Cic, std::ldexp(1.0, -29)},
            {"Omega0", "El5:", 2, exact.Omega0, std::ldexp(kPi, -31)},
            {"Cis", "El5:", 3, exact.Cis, std::ldexp(1.0, -29)},
            {"I0", "El6:", 0, exact.I0, std::ldexp(kPi, -31)},
            {"Crc", "El6:", 1, exact.Crc, std::ldexp(1.0, -5)},
            {"Omega", "El6:", 2, exact.Omega, std::ldexp(kPi, -31)},
            {"OmegaDot", "El6:", 3, exact.OmegaDot, std::ldexp(kPi, -43)},
            {"Idot", "El6:", 4, exact.Idot, std::ldexp(kPi, -43)},
        };
        for (const RealField& f : reals) {
            const double written = std::strtod(b.at(f.keyword)[f.index].c_str(), nullptr);
            const double ratio = std::fabs(written - f.broadcast) / f.lsb;
            EXPECT_LE(ratio, 0.5) << f.name << ": written " << b.at(f.keyword)[f.index] << ", broadcast "
                                  << f.broadcast;
            if (ratio > worstRatio) {
                worstRatio = ratio;
                worstField = f.name;
            }
        }
    }
    std::printf("%zu ephemerides, %zu written; largest difference %.3g LSB (%s)\n", records.size(), blocks.size(),
                worstRatio, worstField.c_str());
}

TEST(EphemerisRoundTrip, StoreHoldsAConversionsEphemeridesUntilTheNext) {
    std::vector<rinex::NavRecord> records;
    std::string error;
    ASSERT_TRUE(rinex::ReadNavFile(test::DataPath("rinex/07590920.05n"), records, error)) << error;
    ASSERT_GT(records.size(), 2u);
    test::ScratchDir dir;
    OptionBlock options;
    ASSERT_TRUE(ConvertRecords(dir, records, options));
    for (const auto& r : records) {
        const GpsEphRecord exact = rinex::ToGpsEphRecord(r);
        const GpsEphRecord* stored = eph_store_find(exact.Prn, exact.Toe);
        // The nearest-in-time rules may answer with another of the satellite's ephemerides.
        ASSERT_NE(stored, nullptr) << "PRN " << exact.Prn << " Toe " << exact.Toe;
        EXPECT_EQ(stored->Prn, exact.Prn);
        EXPECT_LT(std::abs(stored->Toe - exact.Toe), 4000);
    }
    // The next conversion starts from an empty store: only its own ephemeris is found.
    const std::vector<rinex::NavRecord> last(records.end() - 1, records.end());
    ASSERT_TRUE(ConvertRecords(dir, last, options));
    const GpsEphRecord kept = rinex::ToGpsEphRecord(last[0]);
    EXPECT_NE(eph_store_find(kept.Prn, kept.Toe), nullptr);
    for (const auto& r : records) {
        const GpsEphRecord exact = rinex::ToGpsEphRecord(r);
        if (exact.Prn != kept.Prn) {
            EXPECT_EQ(eph_store_find(exact.Prn, exact.Toe), nullptr) << "PRN " << exact.Prn;
        }
    }
    eph_store_clear();
}

}  // namespace
}  // namespace kestrel
