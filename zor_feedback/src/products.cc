// Products and transpose of response matrices.
#include <gsl/gsl_blas.h>

#include <algorithm>
#include <cstddef>
#include <typeinfo>
#include <utility>
#include <vector>

#include "fused_product.h"
#include "gsl_handles.h"
#include "log_line.h"
#include "split_product.h"
#include "zor_feedback/product_threads.h"
#include "zor_feedback/zor_feedback.h"

using namespace zor_feedback::detail;

// Products and transpose
//
// Each checks every shape first and writes its result only after all checks
// have passed, so that a refused call leaves every matrix as it was. The GSL
// copies are handles: they are released on every way out, an exception from a
// set_value override included.
//
// A GSL copy is an empty handle either when its matrix has a zero dimension
// (GSL has no such matrices, so nothing with a zero dimension reaches GSL) or
// when its base array is not two-dimensional; create_gsl_matrix has logged the
// latter, and the operation then stops without writing anything.
//
// A matrix that is a plain QTEV_ResponseMatrix with its elements stored as
// one rows x cols float array is read and written in that array directly (the
// base accessors do no more than that); any other, a subclass whose set_value
// may do more than store included, goes through the accessors as before.

namespace {

// The float storage of M when the operations may use it directly, else null.
float* direct_storage(const QTEV_ResponseMatrix& M, float* data, std::size_t size) {
  if (typeid(M) != typeid(QTEV_ResponseMatrix) || M.num_dims() != 2) return nullptr;
  if (M.rows < 0 || M.cols < 0 || M.dim(1) != M.rows || M.dim(0) != M.cols) return nullptr;
  if (size != static_cast<std::size_t>(M.rows) * static_cast<std::size_t>(M.cols)) return nullptr;
  return data;
}

std::size_t to_size(int v) { return static_cast<std::size_t>(v); }

// out = t (n x m) * a (m x k), over `pool` when not null.
void fused(WorkerPool* pool, const float* t, const float* a, std::size_t n, std::size_t m, std::size_t k,
           float* out) {
  if (pool == nullptr)
    fused_product(t, a, n, m, k, out);
  else
    split_product_on(*pool, kernel_choice().isa, t, a, n, m, k, out);
}

// b (n x k) = t (n x m) * a (m x k) on direct storage. A b that is an operand
// gets the result through a scratch array, so that no element is read after
// it was overwritten.
void multiply_direct(WorkerPool* pool, const float* t, const float* a, float* b, std::size_t n, std::size_t m,
                     std::size_t k) {
  if (b != t && b != a) {
    fused(pool, t, a, n, m, k, b);
    return;
  }
  std::vector<float> result(n * k);
  fused(pool, t, a, n, m, k, result.data());
  std::copy(result.begin(), result.end(), b);
}

// r_t (n x m) = r (m x n) transposed, on direct storage; r_t may be r when
// square (swapped in place).
void transpose_direct(const float* r, float* r_t, std::size_t m, std::size_t n) {
  if (r == r_t) {
    for (std::size_t i = 0; i < m; ++i)
      for (std::size_t j = i + 1; j < n; ++j) std::swap(r_t[i * n + j], r_t[j * m + i]);
    return;
  }
  constexpr std::size_t kBlock = 32;  // a block of each array stays in L1
  for (std::size_t i0 = 0; i0 < m; i0 += kBlock)
    for (std::size_t j0 = 0; j0 < n; j0 += kBlock)
      for (std::size_t i = i0; i < std::min(m, i0 + kBlock); ++i)
        for (std::size_t j = j0; j < std::min(n, j0 + kBlock); ++j) r_t[j * m + i] = r[i * n + j];
}

// The refusal of both products: every shape, in the order of the operands.
void log_mismatch(const char* name, int r, int c, int ar, int ac, int br, int bc) {
  log_line(name, DF_LOG, "ERROR: Dimension mismatch: dim(this): %d x %d dim(A): %d x %d dim(B): %d x %d", r,
           c, ar, ac, br, bc);
}

}  // namespace

// B(i, j) = this(i, j) * A(i, j), multiplied in float. Each element is read
// before the same element is written, so B may be this matrix or A.
void QTEV_ResponseMatrix::entrywise_product(QTEV_ResponseMatrix& A, QTEV_ResponseMatrix& B) {
  static const char* const name = "QTEV_ResponseMatrix::entrywise_product";
  if (rows != A.rows || rows != B.rows || cols != A.cols || cols != B.cols)
    return log_mismatch(name, rows, cols, A.rows, A.cols, B.rows, B.cols);
  const float* const t_direct = direct_storage(*this, data_.float_data(), data_.float_size());
  const float* const a_direct = direct_storage(A, A.data_.float_data(), A.data_.float_size());
  float* const b_direct = direct_storage(B, B.data_.float_data(), B.data_.float_size());
  if (t_direct != nullptr && a_direct != nullptr && b_direct != nullptr) {
    for (std::size_t e = 0; e < B.data_.float_size(); ++e) b_direct[e] = t_direct[e] * a_direct[e];
    return;
  }
  for (int i = 0; i < rows; ++i)
    for (int j = 0; j < cols; ++j) {
      const float x = value(i, j, -1, -1, -1, -1);
      const float a = A.value(i, j, -1, -1, -1, -1);
      B.set_value(x * a, i, j, -1, -1, -1, -1);
    }
}

// B = this * A, every float widened to double, the products and sums in double,
// each result narrowed to float once; formed apart from B (so B may be an
// operand). On direct storage by the fused kernel, otherwise by dgemm on GSL
// copies. B's old content has no influence. Refused with the
// mismatch line unless this.rows == B.rows, A.cols == B.cols and
// this.cols == A.rows (the last one GSL would otherwise refuse through its
// error handler). An inner dimension of 0 gives a B of zeros.
void QTEV_ResponseMatrix::multiply(QTEV_ResponseMatrix& A, QTEV_ResponseMatrix& B) {
  multiply_on(A, B, nullptr);
}

void QTEV_ResponseMatrix::multiply(QTEV_ResponseMatrix& A, QTEV_ResponseMatrix& B,
                                   zor_feedback::ProductThreads& threads) {
  multiply_on(A, B, threads.pool_.get());
}

void QTEV_ResponseMatrix::multiply_on(QTEV_ResponseMatrix& A, QTEV_ResponseMatrix& B, WorkerPool* pool) {
  static const char* const name = "QTEV_ResponseMatrix::multiply";
  if (rows != B.rows || A.cols != B.cols || cols != A.rows)
    return log_mismatch(name, rows, cols, A.rows, A.cols, B.rows, B.cols);
  const float* const t_direct = direct_storage(*this, data_.float_data(), data_.float_size());
  const float* const a_direct = direct_storage(A, A.data_.float_data(), A.data_.float_size());
  float* const b_direct = direct_storage(B, B.data_.float_data(), B.data_.float_size());
  if (t_direct != nullptr && a_direct != nullptr && b_direct != nullptr) {
    multiply_direct(pool, t_direct, a_direct, b_direct, to_size(rows), to_size(cols), to_size(A.cols));
    return;
  }
  GslMatrix gslA = A.create_gsl_matrix();
  if (!gslA && A.num_dims_ != 2) return;
  GslMatrix gslB = B.create_gsl_matrix();
  if (!gslB && B.num_dims_ != 2) return;
  GslMatrix gslThis = create_gsl_matrix();
  if (!gslThis && num_dims_ != 2) return;
  if (!gslB) return;  // B has no elements: nothing to write

  // Cleared rather than left to beta = 0, so that no BLAS can carry a NaN of
  // B's old content into the result; with an inner dimension of 0 this is the
  // product.
  gsl_matrix_set_zero(gslB.get());
  if (gslThis && gslA)
    gsl_blas_dgemm(CblasNoTrans, CblasNoTrans, 1.0, gslThis.get(), gslA.get(), 0.0, gslB.get());
  for (int i = 0; i < B.rows; ++i)
    for (int j = 0; j < B.cols; ++j)
      B.set_value(static_cast<float>(gslB(static_cast<std::size_t>(i), static_cast<std::size_t>(j))), i, j,
                  -1, -1, -1, -1);
}

// transR(i, j) = this(j, i), exactly (float to double and back is lossless).
// transR must be cols x rows; a square matrix may be transposed into itself,
// since the transpose is formed on copies.
void QTEV_ResponseMatrix::transpose(QTEV_ResponseMatrix& transR) {
  static const char* const name = "QTEV_ResponseMatrix::transpose";
  const int M = rows, N = cols;
  const int transM = transR.rows, transN = transR.cols;
  if (M != transN || N != transM) {
    log_line(name, DF_LOG,
             "ERROR: Dimension mismatch: dim(transR) (%d x %d) must be inverse of dim(this) (%d x %d)",
             transM, transN, M, N);
    return;
  }
  const float* const r_direct = direct_storage(*this, data_.float_data(), data_.float_size());
  float* const t_direct = direct_storage(transR, transR.data_.float_data(), transR.data_.float_size());
  if (r_direct != nullptr && t_direct != nullptr) {
    transpose_direct(r_direct, t_direct, to_size(M), to_size(N));
    return;
  }
  GslMatrix R = create_gsl_matrix();
  if (!R && num_dims_ != 2) return;
  GslMatrix R_T = transR.create_gsl_matrix();
  if (!R_T && transR.num_dims_ != 2) return;
  if (!R) return;  // a zero dimension: nothing to write

  gsl_matrix_transpose_memcpy(R_T.get(), R.get());
  for (int i = 0; i < transM; ++i)
    for (int j = 0; j < transN; ++j)
      transR.set_value(static_cast<float>(R_T(static_cast<std::size_t>(i), static_cast<std::size_t>(j))), i,
                       j, -1, -1, -1, -1);
}
