// SPDX-License-Identifier: BSD-2-Clause
#include "positioning/matrix.h"

#include <cassert>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace kestrel {
namespace {

void* heap_obtain(std::size_t bytes) { return std::malloc(bytes); }
void heap_release(void* block) { std::free(block); }

struct MatrixState {
    MatrixStorage storage{heap_obtain, heap_release};
};
MatrixState state;

// A diagonal element or pivot smaller than this counts as zero.
constexpr double kSingularLimit = 1e-40;

struct InversionText {
    int32_t code;
    const char* text;
};
constexpr InversionText kInversionTexts[] = {
    {0, "No inversion Error"},
    {1, "Error: Normal matrix not positive definite"},
    {2, "Error: Normal matrix singular"},
    {3, "Error: Can't sqrt a neg. number in invert"},
    {4, "Error: Divide by zero in invert"},
    {5, "Error: Not enough memory for factorization"},
};
constexpr const char* kUnknownInversionText = "Unknown error type";

}  // namespace

void matrix_set_storage(const MatrixStorage* storage) {
    state.storage = storage ? *storage : MatrixStorage{heap_obtain, heap_release};
}

Matrix matrix_alloc(int32_t rows, int32_t cols) {
    if (rows <= 0 || cols <= 0) return nullptr;
    auto table = static_cast<double**>(state.storage.obtain(sizeof(double*) * rows));
    if (!table) return nullptr;
    for (int32_t i = 0; i < rows; ++i) {
        table[i] = static_cast<double*>(state.storage.obtain(sizeof(double) * cols));
        if (!table[i]) {
            for (int32_t k = i - 1; k >= 0; --k) state.storage.release(table[k]);
            state.storage.release(table);
            return nullptr;
        }
    }
    return table;
}

void matrix_free(Matrix m, int32_t rows) {
    if (!m) return;
    for (int32_t i = rows - 1; i >= 0; --i) state.storage.release(m[i]);
    state.storage.release(m);
}

void matrix_zero(Matrix m, int32_t rows, int32_t cols) {
    for (int32_t i = 0; i < rows; ++i)
        for (int32_t j = 0; j < cols; ++j) m[i][j] = 0.0;
}

void matrix_multiply(Matrix a, int32_t aRows, int32_t aCols, Matrix b, int32_t bRows,
                     int32_t bCols, Matrix c, int32_t mode) {
    int32_t cRows = 0;
    int32_t cCols = 0;
    int32_t terms = 0;
    bool conforming = false;
    switch (mode) {
        case kProductAB:
            conforming = aCols == bRows;
            cRows = aRows, cCols = bCols, terms = aCols;
            break;
        case kProductAtB:
            conforming = aRows == bRows;
            cRows = aCols, cCols = bCols, terms = aRows;
            break;
        case kProductABt:
            conforming = aCols == bCols;
            cRows = aRows, cCols = bRows, terms = aCols;
            break;
        default:
            return;
    }
    // Sizes that do not fit are a caller's mistake: compute nothing rather than end the process.
    assert(conforming && "matrix_multiply: non-conforming sizes");
    if (!conforming || cRows < 0 || cCols < 0 || terms < 0) return;

    // Each element is summed term by term in ascending order from zero, as if added into a
    // zeroed C, but in a register: C is never one of the operands.
    for (int32_t i = 0; i < cRows; ++i) {
        double* ci = c[i];
        for (int32_t j = 0; j < cCols; ++j) {
            double sum = 0.0;
            if (mode == kProductAB) {
                const double* ai = a[i];
                for (int32_t k = 0; k < terms; ++k) sum += ai[k] * b[k][j];
            } else if (mode == kProductAtB) {
                if (a == b && aCols == bCols && j < i) {
                    // A'A is symmetric, and its (i, j) and (j, i) terms are the same
                    // products in the same order.
                    ci[j] = c[j][i];
                    continue;
                }
                for (int32_t k = 0; k < terms; ++k) sum += a[k][i] * b[k][j];
            } else {
                const double* ai = a[i];
                const double* bj = b[j];
                for (int32_t k = 0; k < terms; ++k) sum += ai[k] * bj[k];
            }
            ci[j] = sum;
        }
    }
}

void matrix_times_vector(Matrix a, int32_t aRows, int32_t aCols, const double* x, int32_t xLength,
                         double* y) {
    assert(aCols == xLength && "matrix_times_vector: non-conforming sizes");
    if (aCols != xLength || aRows < 0 || aCols < 0) return;
    for (int32_t i = 0; i < aRows; ++i) y[i] = 0.0;
    for (int32_t i = 0; i < aRows; ++i)
        for (int32_t j = 0; j < aCols; ++j) y[i] += a[i][j] * x[j];
}

int32_t invert_normal_matrix(Matrix n, int32_t size) {
    // Diagonal screen on the input.
    for (int32_t i = 0; i < size; ++i) {
        if (n[i][i] < 0.0) return 1;
        if (std::fabs(n[i][i]) < kSingularLimit) return 2;
    }

    // Cholesky factor L (N = L L') into the lower triangle, column by column.
    for (int32_t j = 0; j < size; ++j) {
        for (int32_t k = 0; k < j; ++k) n[j][j] -= n[j][k] * n[j][k];
        if (n[j][j] < 0.0) return 3;
        n[j][j] = std::sqrt(n[j][j]);
        if (std::fabs(n[j][j]) < kSingularLimit) return 4;
        for (int32_t i = j + 1; i < size; ++i) {
            for (int32_t k = 0; k < j; ++k) n[i][j] -= n[i][k] * n[j][k];
            n[i][j] /= n[j][j];
        }
    }

    // M = inverse of L in place: column j of M needs M's earlier rows of that column and
    // L's elements to the right of it, which are not yet overwritten.
    for (int32_t j = 0; j < size; ++j) {
        n[j][j] = 1.0 / n[j][j];
        for (int32_t i = j + 1; i < size; ++i) {
            n[i][j] = -n[i][j] * n[j][j] / n[i][i];
            for (int32_t k = j + 1; k < i; ++k) n[i][j] -= n[i][k] * n[k][j] / n[i][i];
        }
    }

    // N^-1 = M' M into the lower triangle; each element is written after its last read.
    for (int32_t j = 0; j < size; ++j) {
        for (int32_t i = j; i < size; ++i) {
            n[i][j] = n[i][i] * n[i][j];
            for (int32_t k = i + 1; k < size; ++k) n[i][j] += n[k][i] * n[k][j];
        }
    }

    for (int32_t i = 1; i < size; ++i)
        for (int32_t j = 0; j < i; ++j) n[j][i] = n[i][j];
    return 0;
}

void inversion_error_text(int32_t code, char* text) {
    const char* found = kUnknownInversionText;
    for (const InversionText& entry : kInversionTexts)
        if (entry.code == code) found = entry.text;
    std::strcpy(text, found);
}

}  // namespace kestrel
