// The standard inversion: a truncated-SVD pseudo-inverse that does not depend
// on the matrix's units, agrees with an independent SVD, and never hands on a
// non-finite or all-zero result.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "numerics.h"
#include "zor_feedback/arma.h"

namespace {

using zor_feedback::AlphaRule;
using zor_feedback::Filter;
using zor_feedback::pseudo_inverse;
using zor_feedback::StandardOptions;
using zor_feedback::SvdMethod;
using zor_feedback::SvdReport;
using zor_feedback::test::kEpsF;

using Element = std::function<double(int, int, int, int)>;

// The float matrix of the element function, in double, row-major.
std::vector<double> matrix(const Element& f, int m, int n, double scale = 1.0) {
  std::vector<double> a(static_cast<std::size_t>(m * n));
  for (int i = 0; i < m; ++i)
    for (int j = 0; j < n; ++j)
      a[static_cast<std::size_t>(i * n + j)] = static_cast<double>(static_cast<float>(f(i, j, m, n))) * scale;
  return a;
}

double rel_diff(const std::vector<double>& x, const std::vector<double>& y, double scale_y = 1.0) {
  double d = 0, s = 0;
  for (std::size_t k = 0; k < x.size(); ++k) {
    d += (x[k] - y[k] * scale_y) * (x[k] - y[k] * scale_y);
    s += x[k] * x[k];
  }
  return std::sqrt(d / s);
}

// An independent truncation: Armadillo's SVD, the `used` largest values.
std::vector<double> reference(const std::vector<double>& a, int m, int n, int used) {
  arma::mat A(static_cast<arma::uword>(m), static_cast<arma::uword>(n));
  for (int i = 0; i < m; ++i)
    for (int j = 0; j < n; ++j)
      A(static_cast<arma::uword>(i), static_cast<arma::uword>(j)) = a[static_cast<std::size_t>(i * n + j)];
  arma::mat U, V;
  arma::vec s;
  arma::svd_econ(U, s, V, A, "both", "std");
  const arma::uword r = static_cast<arma::uword>(used);
  const arma::mat X = V.head_cols(r) * arma::diagmat(1.0 / s.head(r)) * U.head_cols(r).t();
  std::vector<double> out(static_cast<std::size_t>(m * n));
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < m; ++j)
      out[static_cast<std::size_t>(i * m + j)] = X(static_cast<arma::uword>(i), static_cast<arma::uword>(j));
  return out;
}

struct Shape {
  const char* name;
  Element f;
  int m, n, rank;
};

const std::vector<Shape>& shapes() {
  using namespace zor_feedback::test;
  static const std::vector<Shape> s = {
      {"tall ring", ring_orbit, 40, 12, 12}, {"wide ring", ring_orbit, 12, 40, 12},
      {"square smooth", smooth, 9, 9, 9},    {"rank 3 tall", rank3, 10, 6, 3},
      {"rank 3 wide", rank3, 6, 10, 3},
  };
  return s;
}

TEST(StandardInversion, AgreesWithAnIndependentSvdOnBothEngines) {
  for (const Shape& c : shapes())
    for (SvdMethod method : {SvdMethod::lapack, SvdMethod::gsl}) {
      const std::vector<double> a = matrix(c.f, c.m, c.n);
      std::vector<double> x;
      StandardOptions o;
      o.method = method;
      const SvdReport r = pseudo_inverse(a.data(), c.m, c.n, o, &x);
      ASSERT_TRUE(r.ok) << c.name << ": " << r.error;
      EXPECT_LE(rel_diff(reference(a, c.m, c.n, r.used), x), 1e-9) << c.name;
      EXPECT_EQ(r.used, c.rank) << c.name;
      EXPECT_DOUBLE_EQ(r.rcond, std::max(c.m, c.n) * 0x1p-52);
      EXPECT_TRUE(r.warnings.empty());
    }
}

TEST(StandardInversion, ScalingTheMatrixScalesTheInverseAndKeepsTheCount) {
  const Shape& c = shapes()[0];
  for (StandardOptions o :
       {StandardOptions{}, StandardOptions{Filter::by_rcond(1e-3)}, StandardOptions{Filter::by_count(7)}}) {
    std::vector<double> x0;
    const SvdReport r0 = pseudo_inverse(matrix(c.f, c.m, c.n).data(), c.m, c.n, o, &x0);
    ASSERT_TRUE(r0.ok);
    for (int k = -9; k <= 9; ++k) {
      std::vector<double> x;
      const double scale = std::pow(10.0, k);
      const SvdReport r = pseudo_inverse(matrix(c.f, c.m, c.n, scale).data(), c.m, c.n, o, &x);
      ASSERT_TRUE(r.ok);
      EXPECT_EQ(r.used, r0.used) << "10^" << k;
      EXPECT_LE(rel_diff(x0, x, scale), 1e-5) << "10^" << k;
    }
  }
}

TEST(StandardInversion, TheShippedRingAtEveryCountIsTheTruncatedPseudoInverse) {
  QTEV_ResponseMatrix R("R", 96, 48, nullptr);
  ASSERT_TRUE(R.load_file(ZOR_FEEDBACK_EXAMPLE_RING));
  QTEV_ResponseMatrix X("X", 48, 96, nullptr);
  const arma::mat A = zor_feedback::test::to_arma(R);
  std::vector<double> a(A.n_elem);
  for (arma::uword i = 0; i < A.n_rows; ++i)
    for (arma::uword j = 0; j < A.n_cols; ++j) a[i * A.n_cols + j] = A(i, j);
  ovrix::LogCapture quiet;  // the split pairs warn
  for (int keep = 1; keep <= 48; ++keep) {
    StandardOptions o;
    o.filter = Filter::by_count(keep);
    const SvdReport r = R.pseudo_inverse(X, nullptr, o);
    ASSERT_TRUE(r.ok) << keep << ": " << r.error;
    ASSERT_EQ(r.used, keep);
    const std::vector<double> want = reference(a, 96, 48, keep);
    double d = 0, s = 0;
    for (int i = 0; i < 48; ++i)
      for (int j = 0; j < 96; ++j) {
        const double w = want[static_cast<std::size_t>(i * 96 + j)];
        const double got = zor_feedback::test::at(X, i, j);
        EXPECT_EQ(got == 0.0, w == 0.0) << "no element is cleared";
        d += (got - w) * (got - w);
        s += w * w;
      }
    // Within a (nearly) degenerate pair the kept subspace is the engine's
    // choice: the bound widens with the inverse of the relative gap.
    const double kept = r.singular_values[static_cast<std::size_t>(keep - 1)];
    const double gap = keep < 48 ? (kept - r.singular_values[static_cast<std::size_t>(keep)]) / kept : 1.0;
    if (gap > 0) {
      EXPECT_LE(std::sqrt(d / s), 10 * kEpsF * r.condition_number_used / gap) << keep;
    }
  }
}

TEST(StandardInversion, RefusesBadCutsInputsAndResultsWritingNothing) {
  const double nan = std::nan("");
  const std::vector<double> diag = {1.0, 0.0, 0.0, 1e-310};  // 1 / 1e-310 overflows double
  struct Case {
    std::vector<double> a;
    StandardOptions o;
    std::string error;
  } cases[] = {
      {{1, 2, nan, 4}, {}, "ERROR: matrix holds 1 non-finite values, first at (1, 0); not inverted"},
      {{1, 2, 3, 4}, {Filter::by_rcond(nan)}, "ERROR: rcond nan is not a number >= 0; not inverted"},
      {{1, 2, 3, 4}, {Filter::by_rcond(-0.5)}, "ERROR: rcond -0.5 is not a number >= 0; not inverted"},
      {{1, 2, 3, 4}, {Filter::by_count(3)}, "ERROR: cannot keep 3 of 2 singular values; not inverted"},
      {{1, 2, 3, 4}, {Filter::tikhonov(0.0)}, "ERROR: tikhonov strength 0 is not a number > 0; not inverted"},
      {{1, 2, 3, 4},
       {Filter::tikhonov_auto(AlphaRule::lcurve)},
       "ERROR: tikhonov lcurve needs an orbit of 2 values, not 0; not inverted"},
      {{1, 2, 3, 4},
       {Filter::by_rcond(1.0)},
       "ERROR: no singular value is above rcond*max(S) = 5.465e+00; lower rcond"},
      {{0, 0, 0, 0}, {}, "ERROR: the matrix is all zero; it has no inverse to apply"},
      {diag,
       {Filter::by_rcond(0.0)},
       "ERROR: the inverse is not finite (s[1] = 1.000e-310); raise rcond or keep fewer"},
  };
  for (const Case& c : cases) {
    std::vector<double> x = {42.0};
    const SvdReport r = pseudo_inverse(c.a.data(), 2, 2, c.o, &x);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, c.error);
    EXPECT_EQ(x, std::vector<double>{42.0}) << c.error;
  }
}

TEST(StandardInversion, KeepingOneOfADegeneratePairWarnsWithThePair) {
  const std::vector<double> a = {2, 0, 0, 0, 1, 0, 0, 0, 1};
  std::vector<double> x;
  const SvdReport r = pseudo_inverse(a.data(), 3, 3, {Filter::by_count(2)}, &x);
  ASSERT_TRUE(r.ok);
  ASSERT_EQ(r.warnings.size(), 1u);
  EXPECT_EQ(r.warnings[0],
            "WARNING: keep 2 splits a degenerate pair: s[1] = 1.000000000e+00, s[2] = 1.000000000e+00");
}

TEST(StandardInversion, TheMatrixFormRefusesWhatFloatCannotCarryAndLeavesItsOutputs) {
  QTEV_ResponseMatrix A("A", 2, 2, nullptr), X("X", 2, 2, nullptr);
  A.set_value(1e-39f, 0, 0, -1, -1, -1, -1);
  A.set_value(1e-39f, 1, 1, -1, -1, -1, -1);
  X.init(7.0f);
  ovrix::LogCapture cap;
  const SvdReport r = A.pseudo_inverse(X, nullptr, {Filter::by_rcond(0.0)});
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, "ERROR: inverse element 1.000e+39 overflows float; rescale the matrix");
  EXPECT_EQ(zor_feedback::test::elements(X), std::vector<float>(4, 7.0f));
  ASSERT_EQ(cap.lines().size(), 1u);
  EXPECT_EQ(cap.lines()[0].origin, "QTEV_ResponseMatrix::pseudo_inverse");
}

}  // namespace
