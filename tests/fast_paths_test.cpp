// SPDX-License-Identifier: BSD-2-Clause
// The short paths taken for speed must give exactly what the plain computation gives: the
// frame checksum taken eight bytes at a time, the positioning terms kept between calls (the
// trigonometry of the last receiver position, the zenith delays of the last latitude and
// height) whatever the order of the calls, and matrix products summed in registers.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <vector>

#include "navcom/frame_parser.h"
#include "positioning/geodesy.h"
#include "positioning/matrix.h"
#include "positioning/position_record.h"
#include "positioning/troposphere.h"

namespace kestrel {
namespace {

uint64_t Bits(double v) { return std::bit_cast<uint64_t>(v); }

TEST(FrameChecksum, AgreesWithTheByteByByteXorAtEveryLength) {
    std::vector<uint8_t> frame(300);
    for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i * 37 + 11);
    for (int32_t n = 0; n <= 290; ++n) {
        SCOPED_TRACE(n);
        uint8_t x = 0;
        for (int32_t i = 3; i <= n - 2; ++i) x ^= frame[static_cast<std::size_t>(i)];
        std::vector<uint8_t> good(frame.begin(), frame.begin() + n);
        if (n >= 1) good[static_cast<std::size_t>(n - 1)] = x;
        EXPECT_EQ(VerifyChecksum(good.data(), n), n >= 4);
        if (n < 4) continue;
        // Every byte from the id on counts, the sync bytes do not.
        for (int32_t k = 0; k < n - 1; ++k) {
            std::vector<uint8_t> changed = good;
            changed[static_cast<std::size_t>(k)] ^= 0x40;
            EXPECT_EQ(VerifyChecksum(changed.data(), n), k < 3) << k;
        }
    }
}

struct Place {
    double latitude, longitude, height;  // rad, rad, m
};

// Places that share a latitude, a longitude or a height with the one before, so that a
// key missing one coordinate would hand out stale terms.
const Place kPlaces[] = {
    {0.6137, 2.4368, 82.0}, {0.6137, 2.4368, 350.0}, {0.6137, -1.2, 82.0}, {-0.9, 2.4368, 82.0},
    {0.6137, 2.4368, 82.0}, {1.2, 0.3, -20.0},       {-0.9, 2.4368, 82.0},
};

PositionRecord Satellite() {
    PositionRecord s{};
    s.x = -12000000.0;
    s.y = 15000000.0;
    s.z = 18000000.0;
    return s;
}

struct Results {
    double x, y, z, elevation, azimuth, delay, corrected;
};

Results Compute(const Place& p) {
    Results r{};
    geodetic_to_ecef(p.latitude, p.longitude, p.height, &r.x, &r.y, &r.z);
    PositionRecord receiver{};
    receiver.x = r.x;
    receiver.y = r.y;
    receiver.z = r.z;
    PositionRecord sat = Satellite();
    elevation_azimuth(&sat, &receiver, p.latitude, p.longitude, &r.elevation, &r.azimuth);
    PositionRecord forDelay = Satellite();
    tropo_delay(&forDelay, &receiver, p.latitude, p.longitude, p.height, &r.delay);
    PositionRecord forCorrection = Satellite();
    r.corrected = 2.2e7;
    tropo_correct(&forCorrection, &r.corrected, p.latitude, p.longitude, p.height);
    return r;
}

TEST(KeptTerms, EveryPlaceGetsItsOwnTermsInAnyOrder) {
    // Fresh results: each place right after one that shares no coordinate with it.
    const Place unrelated{1.5, -2.9, 1000.0};
    std::vector<Results> fresh;
    for (const Place& p : kPlaces) {
        Compute(unrelated);
        fresh.push_back(Compute(p));
    }
    // The places one after another, forwards, backwards and each twice in a row.
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < std::size(kPlaces); ++i) order.push_back(i);
    for (std::size_t i = std::size(kPlaces); i-- > 0;) order.push_back(i);
    for (std::size_t i = 0; i < std::size(kPlaces); ++i) order.insert(order.end(), {i, i});
    for (const std::size_t k : order) {
        const Results again = Compute(kPlaces[k]);
        SCOPED_TRACE(k);
        EXPECT_EQ(Bits(again.x), Bits(fresh[k].x));
        EXPECT_EQ(Bits(again.y), Bits(fresh[k].y));
        EXPECT_EQ(Bits(again.z), Bits(fresh[k].z));
        EXPECT_EQ(Bits(again.elevation), Bits(fresh[k].elevation));
        EXPECT_EQ(Bits(again.azimuth), Bits(fresh[k].azimuth));
        EXPECT_EQ(Bits(again.delay), Bits(fresh[k].delay));
        EXPECT_EQ(Bits(again.corrected), Bits(fresh[k].corrected));
    }
}

TEST(KeptTerms, ReferenceFormulasOfTheReceiverTrigonometry) {
    const Place p = kPlaces[0];
    double x = 0, y = 0, z = 0;
    geodetic_to_ecef(p.latitude, p.longitude, p.height, &x, &y, &z);
    const double e2 = 0.00669438002290;
    const double n = 6378137.0 / std::sqrt(1.0 - e2 * std::sin(p.latitude) * std::sin(p.latitude));
    EXPECT_NEAR(x, (n + p.height) * std::cos(p.latitude) * std::cos(p.longitude), 1e-3);
    EXPECT_NEAR(y, (n + p.height) * std::cos(p.latitude) * std::sin(p.longitude), 1e-3);
    // A NaN coordinate is never taken for a kept one.
    double nx = 0, ny = 0, nz = 0;
    geodetic_to_ecef(std::nan(""), p.longitude, p.height, &nx, &ny, &nz);
    EXPECT_TRUE(std::isnan(nx));
    geodetic_to_ecef(p.latitude, p.longitude, p.height, &nx, &ny, &nz);
    EXPECT_EQ(Bits(nx), Bits(x));
}

// The product as a zeroed C with every term added in ascending order.
std::vector<std::vector<double>> Reference(const std::vector<std::vector<double>>& a,
                                           const std::vector<std::vector<double>>& b, int mode) {
    const std::size_t rows = mode == kProductAtB ? a[0].size() : a.size();
    const std::size_t cols = mode == kProductABt ? b.size() : b[0].size();
    const std::size_t terms = mode == kProductAtB ? a.size() : a[0].size();
    std::vector<std::vector<double>> c(rows, std::vector<double>(cols, 0.0));
    for (std::size_t i = 0; i < rows; ++i)
        for (std::size_t j = 0; j < cols; ++j)
            for (std::size_t k = 0; k < terms; ++k) {
                if (mode == kProductAB) c[i][j] += a[i][k] * b[k][j];
                else if (mode == kProductAtB) c[i][j] += a[k][i] * b[k][j];
                else c[i][j] += a[i][k] * b[j][k];
            }
    return c;
}

Matrix Load(const std::vector<std::vector<double>>& v) {
    Matrix m = matrix_alloc(static_cast<int32_t>(v.size()), static_cast<int32_t>(v[0].size()));
    for (std::size_t i = 0; i < v.size(); ++i)
        for (std::size_t j = 0; j < v[0].size(); ++j) m[i][j] = v[i][j];
    return m;
}

std::vector<std::vector<double>> Filled(int rows, int cols, double seed) {
    std::vector<std::vector<double>> v(static_cast<std::size_t>(rows), std::vector<double>(static_cast<std::size_t>(cols)));
    for (int i = 0; i < rows; ++i)
        for (int j = 0; j < cols; ++j) v[i][j] = std::sin(seed + 1.7 * i + 0.37 * j) * (1.0 + i) / 3.0;
    return v;
}

TEST(MatrixProduct, EveryModeGivesTheBitsOfTermByTermSums) {
    struct Case {
        int mode;
        int aRows, aCols, bRows, bCols;
        bool same;  // A and B are one matrix
    };
    const Case cases[] = {
        {kProductAB, 3, 5, 5, 4, false},  {kProductAtB, 9, 4, 9, 4, true}, {kProductAtB, 9, 4, 9, 3, true},
        {kProductAtB, 7, 3, 7, 5, false}, {kProductABt, 4, 6, 5, 6, false}, {kProductABt, 4, 6, 4, 6, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode * 100 + c.aRows);
        const auto a = Filled(c.aRows, std::max(c.aCols, c.same ? c.bCols : 0), 0.3);
        const auto b = c.same ? a : Filled(c.bRows, c.bCols, 1.1);
        // The operands as the routine sees them: only aCols / bCols columns of each.
        auto aView = a;
        for (auto& row : aView) row.resize(static_cast<std::size_t>(c.aCols));
        auto bView = b;
        for (auto& row : bView) row.resize(static_cast<std::size_t>(c.bCols));
        const auto want = Reference(aView, bView, c.mode);

        Matrix ma = Load(a);
        Matrix mb = c.same ? ma : Load(b);
        Matrix mc = matrix_alloc(static_cast<int32_t>(want.size()), static_cast<int32_t>(want[0].size()));
        matrix_multiply(ma, c.aRows, c.aCols, mb, c.bRows, c.bCols, mc, c.mode);
        for (std::size_t i = 0; i < want.size(); ++i)
            for (std::size_t j = 0; j < want[0].size(); ++j) EXPECT_EQ(Bits(mc[i][j]), Bits(want[i][j])) << i << "," << j;
        matrix_free(mc, static_cast<int32_t>(want.size()));
        if (!c.same) matrix_free(mb, c.bRows);
        matrix_free(ma, c.aRows);
    }
}

}  // namespace
}  // namespace kestrel
