// SPDX-License-Identifier: BSD-2-Clause
// Dense matrices of doubles for the least-squares solution: a table of separately
// allocated rows. The matrix does not know its size; callers pass it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrel {

using Matrix = double**;

enum MatrixProduct : int32_t {
    kProductAB = 0,   // C = A B
    kProductAtB = 1,  // C = A' B
    kProductABt = 2,  // C = A B'
};

Matrix matrix_alloc(int32_t rows, int32_t cols);  // null when storage fails
void matrix_free(Matrix m, int32_t rows);
void matrix_zero(Matrix m, int32_t rows, int32_t cols);
void matrix_multiply(Matrix a, int32_t aRows, int32_t aCols, Matrix b, int32_t bRows, int32_t bCols,
                     Matrix c, int32_t mode);
void matrix_times_vector(Matrix a, int32_t aRows, int32_t aCols, const double* x, int32_t xLength,
                         double* y);

// Inverts a symmetric positive definite n x n matrix in place by Cholesky factorisation,
// reading only its lower triangle. 0 on success, 1..4 on failure (see inversion_error_text).
int32_t invert_normal_matrix(Matrix n, int32_t size);
void inversion_error_text(int32_t code, char* text);

// Where matrix_alloc obtains and matrix_free releases storage (tests observe and fail it).
// Null restores the process heap.
struct MatrixStorage {
    void* (*obtain)(std::size_t bytes);  // null when nothing can be had
    void (*release)(void* block);
};
void matrix_set_storage(const MatrixStorage* storage);

}  // namespace kestrel
