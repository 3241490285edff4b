// Products and transpose of response matrices.
#include <gsl/gsl_blas.h>

#include <cstddef>

#include "gsl_handles.h"
#include "log_line.h"
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

// B(i, j) = this(i, j) * A(i, j), multiplied in float. Each element is read
// before the same element is written, so B may be this matrix or A.
void QTEV_ResponseMatrix::entrywise_product(QTEV_ResponseMatrix& A, QTEV_ResponseMatrix& B) {
  static const char* const name = "QTEV_ResponseMatrix::entrywise_product";
  if (rows != A.rows || rows != B.rows || cols != A.cols || cols != B.cols) {
    log_line(name, DF_LOG, "ERROR: Dimension mismatch: dim(this): %d x %d dim(A): %d x %d dim(B): %d x %d",
             rows, cols, A.rows, A.cols, B.rows, B.cols);
    return;
  }
  for (int i = 0; i < rows; ++i)
    for (int j = 0; j < cols; ++j) {
      const float x = value(i, j, -1, -1, -1, -1);
      const float a = A.value(i, j, -1, -1, -1, -1);
      B.set_value(x * a, i, j, -1, -1, -1, -1);
    }
}

// B = this * A, formed in double on copies (so B may be an operand) and stored
// narrowed to float. B's old content has no influence. Refused with the
// mismatch line unless this.rows == B.rows, A.cols == B.cols and
// this.cols == A.rows (the last one GSL would otherwise refuse through its
// error handler). An inner dimension of 0 gives a B of zeros.
void QTEV_ResponseMatrix::multiply(QTEV_ResponseMatrix& A, QTEV_ResponseMatrix& B) {
  static const char* const name = "QTEV_ResponseMatrix::multiply";
  if (rows != B.rows || A.cols != B.cols || cols != A.rows) {
    log_line(name, DF_LOG, "ERROR: Dimension mismatch: dim(this): %d x %d dim(A): %d x %d dim(B): %d x %d",
             rows, cols, A.rows, A.cols, B.rows, B.cols);
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
