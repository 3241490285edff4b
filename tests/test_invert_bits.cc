// invert against the step-by-step pipeline, bit for bit: GSL's SVD of the
// transposed working matrix, SI (diagonal) times V^T and U times that by
// gsl_blas_dgemm, the transposition back for a tall matrix, the clipping. The
// library forms SI * V^T as a row scaling and writes the result of a tall
// matrix without a transposed copy; neither may change a single bit, also
// where singular values are dropped (zero terms of either sign), where one is
// exactly zero and a negative tolerance inverts it (infinite and NaN
// elements), and on the shipped shapes' orientations (wide, tall, square).
#include <gsl/gsl_blas.h>
#include <gsl/gsl_linalg.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "testing.h"

namespace {

struct GslM {
  gsl_matrix* m;
  GslM(std::size_t r, std::size_t c) : m(gsl_matrix_calloc(r, c)) {}
  ~GslM() { gsl_matrix_free(m); }
  GslM(const GslM&) = delete;
  GslM& operator=(const GslM&) = delete;
};

GslM* transposed(const gsl_matrix* a) {
  auto* t = new GslM(a->size2, a->size1);
  gsl_matrix_transpose_memcpy(t->m, a);
  return t;
}

// The result elements of invert with a user tolerance `tol` (not -1), row-major
// n x m, computed by the operation's steps one by one.
std::vector<float> step_by_step(QTEV_ResponseMatrix& A, float tol) {
  const int m = A.rows, n = A.cols;
  std::unique_ptr<GslM> R(new GslM(static_cast<std::size_t>(m), static_cast<std::size_t>(n)));
  for (int i = 0; i < m; ++i)
    for (int j = 0; j < n; ++j)
      gsl_matrix_set(R->m, static_cast<std::size_t>(i), static_cast<std::size_t>(j),
                     A.value(i, j, -1, -1, -1, -1));
  const bool tall = m > n;
  if (tall) R.reset(transposed(R->m));
  const std::size_t rows = R->m->size1, cols = R->m->size2;
  std::unique_ptr<GslM> gA_t(transposed(R->m));
  GslM V(rows, rows);
  gsl_vector* S = gsl_vector_alloc(rows);
  gsl_vector* work = gsl_vector_alloc(rows);
  gsl_linalg_SV_decomp(gA_t->m, V.m, S, work);
  const double cutoff = static_cast<double>(tol) * gsl_vector_max(S);
  GslM SI(rows, rows);
  for (std::size_t i = 0; i < rows; ++i) {
    const double s = gsl_vector_get(S, i);
    gsl_matrix_set(SI.m, i, i, s > cutoff ? 1.0 / s : 0.0);
  }
  std::unique_ptr<GslM> VT(transposed(V.m));
  GslM SIpVT(rows, rows), R_plus(cols, rows);
  gsl_blas_dgemm(CblasNoTrans, CblasNoTrans, 1.0, SI.m, VT->m, 0.0, SIpVT.m);
  gsl_blas_dgemm(CblasNoTrans, CblasNoTrans, 1.0, gA_t->m, SIpVT.m, 0.0, R_plus.m);
  std::unique_ptr<GslM> out(tall ? transposed(R_plus.m) : nullptr);
  const gsl_matrix* res = tall ? out->m : R_plus.m;
  std::vector<float> v;
  for (std::size_t i = 0; i < res->size1; ++i)
    for (std::size_t j = 0; j < res->size2; ++j) {
      const double x = gsl_matrix_get(res, i, j);
      v.push_back(std::fabs(x) > static_cast<double>(tol) ? static_cast<float>(x) : 0.0f);
    }
  gsl_vector_free(S);
  gsl_vector_free(work);
  return v;
}

struct Case {
  std::string name;
  int m, n;
  std::function<float(int, int)> f;
};

float smooth(int i, int j) {
  return std::cos(0.7f * static_cast<float>(i) - 1.3f * static_cast<float>(j)) +
         0.1f * static_cast<float>(i + j);
}

TEST(InvertBits, EqualsTheStepByStepPipeline) {
  const Case cases[] = {
      {"wide", 4, 7, smooth},
      {"tall", 9, 5, smooth},
      {"square", 6, 6, smooth},
      // Rank 3 of 6: tiny singular values, inverted at tolerance 0, dropped above.
      {"rank deficient", 6, 5, [](int i, int j) { return smooth(i % 3, j); }},
      // A zero column: an exactly zero singular value.
      {"zero column", 5, 4, [](int i, int j) { return j == 2 ? 0.0f : smooth(i, j); }},
      {"negative elements", 7, 3,
       [](int i, int j) { return -std::fabs(smooth(i, j)) * static_cast<float>(j + 1); }},
  };
  // 0: every non-zero value inverted; 0.2 and 0.9: some or most dropped (zero
  // rows of SI against V's elements of both signs); -0.5: every value
  // inverted, an exactly zero one to infinity.
  const float tolerances[] = {0.0f, 1e-6f, 0.2f, 0.9f, -0.5f};
  ovrix::LogCapture quiet;
  for (const Case& c : cases)
    for (float tol : tolerances) {
      QTEV_ResponseMatrix A("A", c.m, c.n, nullptr), X("X", c.n, c.m, nullptr);
      zor_feedback::test::fill(A, c.f);
      D_spectrum sv("SV", std::min(c.m, c.n), nullptr);
      float t = tol;
      int nosv = 0;
      A.invert(X, sv, &t, &nosv);
      EXPECT_TRUE(zor_feedback::test::same_bits(zor_feedback::test::elements(X), step_by_step(A, tol)))
          << c.name << ", tol " << tol;
    }
}

}  // namespace
