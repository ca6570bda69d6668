// SPDX-License-Identifier: BSD-2-Clause
// The ephemeris text writer: three-digit exponents on every platform and the exact block.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "plugin/eph_writer.h"
#include "support/eph_text.h"
#include "support/test_files.h"

namespace kestrel {
namespace {

TEST(ScientificFormat, ExponentHasAtLeastThreeDigits) {
    struct Case {
        double value;
        int digits;
        const char* text;
    };
    const Case cases[] = {
        {-1.1641532182693474e-08, 8, "-1.16415322e-008"},
        {0.0, 8, "0.00000000e+000"},
        {0.0, 14, "0.00000000000000e+000"},
        {-0.0, 8, "-0.00000000e+000"},
        {5155.55557823181, 14, "5.15555557823181e+003"},
        {1.0, 8, "1.00000000e+000"},
        {9.999999999e9, 8, "1.00000000e+010"},  // rounding carries into the exponent
        {1.5e100, 8, "1.50000000e+100"},        // three digits already: unchanged
        {-2.5e-300, 8, "-2.50000000e-300"},
    };
    for (const Case& c : cases) {
        char text[64];
        const int n = format_scientific(text, sizeof text, c.value, c.digits);
        EXPECT_STREQ(text, c.text);
        EXPECT_EQ(n, static_cast<int>(std::string(c.text).size()));
    }
}

TEST(ScientificFormat, IsBoundedByTheBuffer) {
    char text[8];
    std::memset(text, 'x', sizeof text);
    format_scientific(text, 6, -1.1641532182693474e-08, 8);
    EXPECT_STREQ(text, "-1.16");
    EXPECT_EQ(text[6], 'x');
}

GpsEphRecord SampleRecord() {
    GpsEphRecord r{};
    r.Prn = 7;
    r.Week = 386;
    r.Filler = 9999;
    r.Tgd = -1.1641532182693474e-08;
    r.Iodc = 511;
    r.Toc = 129600;
    r.Af2 = 0.0;
    r.Af1 = 2.5e-12;
    r.Af0 = -1.25e-4;
    r.Iode = 77;
    r.Crs = -12.5;
    r.DeltaN = 4.5e-9;
    r.M0 = 1.0;
    r.Cuc = -1.5e-6;
    r.Ecc = 0.0125;
    r.Cus = 7.25e-6;
    r.SqrtA = 5155.55557823181;
    r.Toe = 129600;
    r.Cic = 0.0;
    r.Omega0 = -2.75;
    r.Cis = 3e-8;
    r.I0 = 0.96875;
    r.Crc = 250.5;
    r.Omega = -0.5;
    r.OmegaDot = -8.125e-9;
    r.Idot = 1e-10;
    return r;
}

std::string WriteBlocks(const GpsEphRecord& record, int times) {
    test::ScratchDir dir;
    const std::string path = dir.file("block.epp");
    std::FILE* f = std::fopen(path.c_str(), "w");
    std::fputs(kEphemerisFileHeader, f);
    for (int i = 0; i < times; ++i) write_gps_eph_block(f, &record);
    std::fclose(f);
    return test::ReadFileText(path);
}

TEST(EphemerisWriter, BlockHoldsEachTermInItsPlace) {
    const std::string expected =
        "$EPHREC Ver6.03 KESTREL NavComBinary\n"
        "GpsEph { Prn: 7\n"
        "\tEl1: 386 9999 -1.16415322e-008 511 129600\n"
        "\tEl2: 0.00000000e+000 2.50000000e-012 -1.25000000e-004\n"
        "\tEl3: 77 -1.25000000e+001 4.50000000e-009 1.00000000000000e+000\n"
        "\tEl4: -1.50000000e-006 1.25000000000000e-002 7.25000000e-006 5.15555557823181e+003\n"
        "\tEl5: 129600 0.00000000e+000 -2.75000000000000e+000 3.00000000e-008\n"
        "\tEl6: 9.68750000000000e-001 2.50500000e+002 -5.00000000000000e-001 -8.12500000e-009 1.00000000e-010\n"
        "}\n";
    EXPECT_EQ(WriteBlocks(SampleRecord(), 1), expected);
}

TEST(EphemerisWriter, BlocksReadBackByTheFormatsRules) {
    GpsEphRecord r = SampleRecord();
    r.Prn = 32;
    r.Iodc = -1;  // negative integers keep their sign
    const auto check = test::CheckEphemerisText(WriteBlocks(r, 2));
    EXPECT_EQ(check.problem, "");
    EXPECT_EQ(check.gpsEphBlocks, 2);
    EXPECT_EQ(check.prns, (std::vector<int>{32, 32}));
}

}  // namespace
}  // namespace kestrel
