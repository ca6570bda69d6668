// SPDX-License-Identifier: BSD-2-Clause
// Matrix storage, products and the Cholesky inversion of normal matrices.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "positioning/matrix.h"

namespace kestrel {
namespace {

// A matrix filled from rows, released when the test ends.
class Filled {
public:
    Filled(std::initializer_list<std::initializer_list<double>> rows)
        : rows_(static_cast<int32_t>(rows.size())), cols_(static_cast<int32_t>(rows.begin()->size())) {
        m_ = matrix_alloc(rows_, cols_);
        int32_t i = 0;
        for (const auto& row : rows) {
            int32_t j = 0;
            for (double v : row) m_[i][j++] = v;
            ++i;
        }
    }
    Filled(int32_t rows, int32_t cols) : rows_(rows), cols_(cols) { m_ = matrix_alloc(rows, cols); }
    ~Filled() { matrix_free(m_, rows_); }
    Filled(const Filled&) = delete;
    Filled& operator=(const Filled&) = delete;
    Matrix get() const { return m_; }
    double* operator[](int32_t i) const { return m_[i]; }

private:
    int32_t rows_, cols_;
    Matrix m_;
};

TEST(Matrix, InversionExamples) {
    Filled one({{4.0}});
    ASSERT_EQ(invert_normal_matrix(one.get(), 1), 0);
    EXPECT_EQ(one[0][0], 0.25);

    Filled two({{4.0, 2.0}, {2.0, 3.0}});
    ASSERT_EQ(invert_normal_matrix(two.get(), 2), 0);
    const double expected2[2][2] = {{0.375, -0.25}, {-0.25, 0.5}};
    for (int i = 0; i < 2; ++i)
        for (int j = 0; j < 2; ++j) EXPECT_DOUBLE_EQ(two[i][j], expected2[i][j]);

    Filled three({{2.0, 1.0, 0.0}, {1.0, 2.0, 1.0}, {0.0, 1.0, 2.0}});
    ASSERT_EQ(invert_normal_matrix(three.get(), 3), 0);
    const double expected3[3][3] = {{0.75, -0.5, 0.25}, {-0.5, 1.0, -0.5}, {0.25, -0.5, 0.75}};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) EXPECT_NEAR(three[i][j], expected3[i][j], 1e-15) << i << j;
}

TEST(Matrix, InversionOfAFourByFourNormalMatrixIsSymmetricAndInverse) {
    const double n[4][4] = {{5.1, 0.3, -1.2, 2.0},
                            {0.3, 4.4, 0.7, -0.5},
                            {-1.2, 0.7, 6.3, 1.1},
                            {2.0, -0.5, 1.1, 7.0}};
    Filled inv(4, 4);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) inv[i][j] = n[i][j];
    ASSERT_EQ(invert_normal_matrix(inv.get(), 4), 0);
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            double sum = 0.0;
            for (int k = 0; k < 4; ++k) sum += n[i][k] * inv[k][j];
            EXPECT_NEAR(sum, i == j ? 1.0 : 0.0, 1e-14);
            EXPECT_EQ(inv[i][j], inv[j][i]);
        }
    }
}

TEST(Matrix, InversionReadsOnlyTheLowerTriangle) {
    Filled a({{4.0, 2.0}, {2.0, 3.0}});
    Filled b({{4.0, -99.0}, {2.0, 3.0}});
    ASSERT_EQ(invert_normal_matrix(a.get(), 2), 0);
    ASSERT_EQ(invert_normal_matrix(b.get(), 2), 0);
    for (int i = 0; i < 2; ++i)
        for (int j = 0; j < 2; ++j) EXPECT_EQ(a[i][j], b[i][j]);
}

TEST(Matrix, InversionFailureCodesAndTheirTexts) {
    struct Case {
        double n00, n10, n11;
        int32_t code;
        const char* text;
    };
    const Case cases[] = {
        {1.0, 0.0, -1.0, 1, "Error: Normal matrix not positive definite"},
        {0.0, 0.0, 1.0, 2, "Error: Normal matrix singular"},
        {1.0, 0.0, 1e-41, 2, "Error: Normal matrix singular"},
        {1.0, 2.0, 1.0, 3, "Error: Can't sqrt a neg. number in invert"},
        {1.0, 1.0, 1.0, 4, "Error: Divide by zero in invert"},
    };
    for (const Case& c : cases) {
        Filled n({{c.n00, c.n10}, {c.n10, c.n11}});
        const int32_t code = invert_normal_matrix(n.get(), 2);
        EXPECT_EQ(code, c.code);
        char text[64] = {};
        inversion_error_text(code, text);
        EXPECT_STREQ(text, c.text);
    }
    char text[64] = {};
    inversion_error_text(0, text);
    EXPECT_STREQ(text, "No inversion Error");
    inversion_error_text(5, text);
    EXPECT_STREQ(text, "Error: Not enough memory for factorization");
    inversion_error_text(6, text);
    EXPECT_STREQ(text, "Unknown error type");
    inversion_error_text(-1, text);
    EXPECT_STREQ(text, "Unknown error type");
}

TEST(Matrix, ProductsInTheirThreeModes) {
    Filled a({{1, 2, 3, 4}, {0, 1, 0, 1}, {2, 0, 1, 0}, {1, 1, 1, 1}, {3, 0, 0, 2}, {0, 2, 1, 0}});
    Filled ata(4, 4);
    matrix_multiply(a.get(), 6, 4, a.get(), 6, 4, ata.get(), kProductAtB);
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            double sum = 0.0;
            for (int k = 0; k < 6; ++k) sum += a[k][i] * a[k][j];
            EXPECT_EQ(ata[i][j], sum);
        }
    }
    EXPECT_EQ(ata[0][0], 15.0);
    EXPECT_EQ(ata[0][3], 11.0);

    Filled x({{1, 2}, {3, 4}});
    Filled y({{5, 6}, {7, 8}});
    Filled c(2, 2);
    matrix_multiply(x.get(), 2, 2, y.get(), 2, 2, c.get(), kProductAB);
    EXPECT_EQ(c[0][0], 19.0);
    EXPECT_EQ(c[0][1], 22.0);
    EXPECT_EQ(c[1][0], 43.0);
    EXPECT_EQ(c[1][1], 50.0);
    matrix_multiply(x.get(), 2, 2, y.get(), 2, 2, c.get(), kProductABt);
    EXPECT_EQ(c[0][0], 17.0);
    EXPECT_EQ(c[0][1], 23.0);
    EXPECT_EQ(c[1][0], 39.0);
    EXPECT_EQ(c[1][1], 53.0);

    c[0][0] = 99.0;
    matrix_multiply(x.get(), 2, 2, y.get(), 2, 2, c.get(), 3);  // no such product
    EXPECT_EQ(c[0][0], 99.0);
}

TEST(Matrix, MatrixTimesVector) {
    Filled a({{1, 2, 3}, {4, 5, 6}});
    const double x[3] = {1.0, -1.0, 2.0};
    double y[2] = {7.0, 7.0};
    matrix_times_vector(a.get(), 2, 3, x, 3, y);
    EXPECT_EQ(y[0], 5.0);
    EXPECT_EQ(y[1], 11.0);
}

TEST(Matrix, NonConformingSizesComputeNothing) {
    Filled a({{1, 2}, {3, 4}});
    Filled c({{9, 9}, {9, 9}});
    const double x[3] = {1, 2, 3};
    double y[2] = {9, 9};
#ifdef NDEBUG
    matrix_multiply(a.get(), 2, 2, a.get(), 3, 2, c.get(), kProductAB);
    matrix_multiply(a.get(), 2, 2, a.get(), 3, 2, c.get(), kProductAtB);
    matrix_multiply(a.get(), 2, 2, a.get(), 2, 3, c.get(), kProductABt);
    matrix_times_vector(a.get(), 2, 2, x, 3, y);
    EXPECT_EQ(c[0][0], 9.0);
    EXPECT_EQ(c[1][1], 9.0);
    EXPECT_EQ(y[0], 9.0);
#else
    EXPECT_DEATH(matrix_multiply(a.get(), 2, 2, a.get(), 3, 2, c.get(), kProductAB), "");
    EXPECT_DEATH(matrix_times_vector(a.get(), 2, 2, x, 3, y), "");
#endif
}

// Storage that records what it hands out and takes back, and can refuse the n-th request.
struct StorageLog {
    std::vector<std::string> events;
    std::vector<void*> blocks;
    int refuse = -1;  // index of the request to refuse
    int requests = 0;
};
StorageLog storageLog;

void* LoggedObtain(std::size_t bytes) {
    if (storageLog.requests++ == storageLog.refuse) {
        storageLog.events.push_back("refused");
        return nullptr;
    }
    void* block = std::malloc(bytes);
    storageLog.blocks.push_back(block);
    storageLog.events.push_back("obtain " + std::to_string(storageLog.blocks.size() - 1));
    return block;
}
void LoggedRelease(void* block) {
    for (std::size_t i = 0; i < storageLog.blocks.size(); ++i)
        if (storageLog.blocks[i] == block) storageLog.events.push_back("release " + std::to_string(i));
    std::free(block);
}

class MatrixStorageTest : public ::testing::Test {
protected:
    void SetUp() override {
        storageLog = StorageLog{};
        const MatrixStorage logged{LoggedObtain, LoggedRelease};
        matrix_set_storage(&logged);
    }
    void TearDown() override { matrix_set_storage(nullptr); }
};

TEST_F(MatrixStorageTest, FailedRowReleasesEarlierRowsLastFirstThenTheTable) {
    storageLog.refuse = 3;  // table, row 0, row 1, then row 2 is refused
    EXPECT_EQ(matrix_alloc(5, 4), nullptr);
    const std::vector<std::string> expected = {"obtain 0", "obtain 1", "obtain 2", "refused",
                                               "release 2", "release 1", "release 0"};
    EXPECT_EQ(storageLog.events, expected);
}

TEST_F(MatrixStorageTest, FailedTableObtainsNothingElse) {
    storageLog.refuse = 0;
    EXPECT_EQ(matrix_alloc(3, 3), nullptr);
    EXPECT_EQ(storageLog.events, std::vector<std::string>{"refused"});
}

TEST_F(MatrixStorageTest, FreeReleasesRowsLastFirstThenTheTable) {
    Matrix m = matrix_alloc(2, 3);
    ASSERT_NE(m, nullptr);
    matrix_free(m, 2);
    const std::vector<std::string> expected = {"obtain 0", "obtain 1", "obtain 2",
                                               "release 2", "release 1", "release 0"};
    EXPECT_EQ(storageLog.events, expected);
}

}  // namespace
}  // namespace kestrel
