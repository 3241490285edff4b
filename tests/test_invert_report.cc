// The report of an inversion and the tolerance that keeps N values, on
// matrices with exact singular values.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "invert_testing.h"

namespace {

using namespace zor_feedback::test;  // the helpers of testing.h, numerics.h and invert_testing.h

// ---------------------------------------------------------------------------
// The report of an inversion, and the tolerance that keeps N values, on
// matrices with exact singular values: H diag(s) H^T with H the 4 x 4
// Hadamard matrix over 2, whose elements +-s/4 sums are exact in float.

void set_hadamard(QTEV_ResponseMatrix& m, const std::vector<double>& s) {
  const auto h = [](int i, int j) {
    return __builtin_popcount(static_cast<unsigned>(i & j)) % 2 ? -0.5 : 0.5;
  };
  fill(m, [&](int i, int j) {
    double v = 0;
    for (int k = 0; k < 4; ++k) v += h(i, k) * s[static_cast<std::size_t>(k)] * h(j, k);
    return static_cast<float>(v);
  });
}

TEST(InvertReport, TellsWhatTheFacadeDid) {
  QTEV_ResponseMatrix A("A", 4, 4, nullptr), X("X", 4, 4, nullptr), Y("Y", 4, 4, nullptr);
  D_spectrum S("S", 0, nullptr), T("T", 0, nullptr);
  set_hadamard(A, {8, 4, 2, 0.5});
  ovrix::LogCapture cap;
  // Cut-off 0.1 * 8 drops 0.5; the inverse's elements are (+-1/8 +-1/4 +-1/2) / 4,
  // of which those with |v| <= 0.1 are cleared.
  const zor_feedback::SvdReport r = A.invert_report(X, S, 0.1f);
  float tol = 0.1f;
  int nosv = 0;
  A.invert(Y, T, &tol, &nosv);
  EXPECT_TRUE(r.ok);
  EXPECT_TRUE(same_bits(elements(X), elements(Y)));
  EXPECT_EQ(r.tol, tol);
  EXPECT_EQ(r.nosv, nosv);
  EXPECT_FALSE(r.internal_tolerance);
  EXPECT_DOUBLE_EQ(r.cutoff, static_cast<double>(0.1f) * 8);
  ASSERT_EQ(r.singular_values.size(), 4u);
  for (std::size_t i = 0; i < 4; ++i)
    EXPECT_NEAR(r.singular_values[i], (std::vector<double>{8, 4, 2, 0.5})[i], 1e-14);
  EXPECT_EQ(r.used, 3);
  EXPECT_EQ(r.nosv, 4);  // 0.5 is not below the absolute 0.1
  EXPECT_NEAR(r.condition_number, 16.0, 1e-12);
  EXPECT_NEAR(r.condition_number_used, 4.0, 1e-12);
  // Row 0 of H diag(1/8, 1/4, 1/2, 0) H^T: (7, -1, -3, -3) / 32 and the like.
  long long cleared = 0;
  double largest = 0;
  const arma::mat x =
      arma::mat{
          {0.5, 0.5, 0.5, 0.5}, {0.5, -0.5, 0.5, -0.5}, {0.5, 0.5, -0.5, -0.5}, {0.5, -0.5, -0.5, 0.5}} *
      arma::diagmat(arma::vec{0.125, 0.25, 0.5, 0}) *
      arma::mat{{0.5, 0.5, 0.5, 0.5}, {0.5, -0.5, 0.5, -0.5}, {0.5, 0.5, -0.5, -0.5}, {0.5, -0.5, -0.5, 0.5}};
  for (const double v : x)
    if (v != 0 && std::fabs(v) <= static_cast<double>(0.1f)) {
      ++cleared;
      largest = std::max(largest, std::fabs(v));
    }
  EXPECT_EQ(r.elements_cleared, cleared);
  EXPECT_NEAR(r.largest_cleared, largest, 1e-14);
  EXPECT_NEAR(r.largest_element, arma::abs(x).max(), 1e-14);
  ASSERT_EQ(r.warnings.size(), 1u);
  EXPECT_EQ(r.warnings[0].rfind("WARNING: tol 1.000e-01 cleared ", 0), 0u) << r.warnings[0];
  EXPECT_FALSE(r.zero_inverse);
}

// The floor's figures are those of the inverse itself, and its advice holds:
// the matrix divided by the factor it names loses at most 0.1 % to the floor.
TEST(InvertReport, TheFloorsChangeAndItsRemedyAreMeasured) {
  const int m = 40, n = 12;
  QTEV_ResponseMatrix A("A", m, n, nullptr), B("B", m, n, nullptr), X("X", n, m, nullptr);
  D_spectrum S("S", 0, nullptr);
  fill(A, [&](int i, int j) { return static_cast<float>(ring_orbit(i, j, m, n) * 20.0); });
  ovrix::LogCapture quiet;
  const zor_feedback::SvdReport r = A.invert_report(X, S, 1e-3f);
  ASSERT_TRUE(r.ok);
  const arma::mat full = arma::pinv(to_arma(A));
  const arma::mat stored = to_arma(X);
  EXPECT_NEAR(r.floor_change, arma::norm(full - stored, "fro") / arma::norm(full, "fro"), 1e-5);
  EXPECT_DOUBLE_EQ(r.cleared_share, static_cast<double>(r.elements_cleared) / (m * n));
  ASSERT_GT(r.floor_change, zor_feedback::kHarmlessFloorChange);
  ASSERT_GT(r.harmless_factor, 1.0);
  fill(B, [&](int i, int j) { return static_cast<float>(at(A, i, j) / r.harmless_factor); });
  EXPECT_LE(B.invert_report(X, S, 1e-3f).floor_change, zor_feedback::kHarmlessFloorChange);
  ASSERT_EQ(r.warnings.size(), 1u);
  EXPECT_NE(r.warnings[0].find("; divide the matrix by "), std::string::npos) << r.warnings[0];
}

TEST(InvertReport, KeepChoosesTheToleranceOfNValues) {
  QTEV_ResponseMatrix A("A", 4, 4, nullptr), X("X", 4, 4, nullptr), Y("Y", 4, 4, nullptr);
  D_spectrum S("S", 0, nullptr), T("T", 0, nullptr);
  set_hadamard(A, {8, 4, 4, 0.5});
  ovrix::LogCapture quiet;
  struct Want {
    int modes;
    float tol;
  };
  for (const Want w : {Want{1, 0.7f}, Want{3, 0.2f}, Want{4, 0.0f}}) {
    SCOPED_TRACE(w.modes);
    const zor_feedback::SvdReport r = A.invert_keep(X, S, w.modes);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.used, w.modes);
    EXPECT_EQ(r.tol, w.tol) << "sqrt(s[modes-1] * s[modes]) / max(S), fewest digits";
    // The server, given that tolerance, inverts the same.
    const zor_feedback::SvdReport again = A.invert_report(Y, T, r.tol);
    EXPECT_EQ(again.used, w.modes);
    EXPECT_TRUE(same_bits(elements(X), elements(Y)));
  }
  // 4 and 4 cannot be told apart by any cut-off: refused, nothing written.
  X.init(9.0f);
  const zor_feedback::SvdReport r = A.invert_keep(X, S, 2);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error,
            "ERROR: no tolerance keeps exactly 2 values: s[1] = 4.000000000e+00, s[2] = 4.000000000e+00");
  EXPECT_EQ(r.singular_values.size(), 4u) << "the refusal still tells the values";
  EXPECT_EQ(elements(X), std::vector<float>(16, 9.0f));
  EXPECT_EQ(A.invert_keep(X, S, 5).error, "ERROR: cannot keep 5 of 4 singular values; not inverted");
}

// Where a singular value lies exactly on the cut-off, each engine's rounding
// of it decides: s = 0.25 against tol * max(S) = 0.25 * 1 is dropped when the
// decomposition delivers 0.25 or less, kept when it delivers a hair more. The
// two engines may then keep different counts; each inverse is the
// pseudo-inverse of its own count, and its report says which. (On this
// machine GSL delivers a hair above 0.25 and keeps 3 values, LAPACK 2.)
TEST(InvertReport, EnginesAtTheCutOffAreEachConsistent) {
  QTEV_ResponseMatrix A("A", 4, 4, nullptr), X("X", 4, 4, nullptr);
  D_spectrum S("S", 0, nullptr);
  set_hadamard(A, {1, 0.5, 0.25, 0.125});
  ovrix::LogCapture quiet;
  for (const auto method : {zor_feedback::SvdMethod::gsl, zor_feedback::SvdMethod::lapack}) {
    SCOPED_TRACE(zor_feedback::svd_method_name(method));
    A.set_svd_method(method);
    const zor_feedback::SvdReport r = A.invert_report(X, S, 0.25f);
    ASSERT_TRUE(r.ok);
    EXPECT_NEAR(r.singular_values[2], 0.25, 8 * kEpsD);
    EXPECT_EQ(r.used, r.singular_values[2] > r.cutoff ? 3 : 2);
    // The part kept, inverted: 1 and 2 always, 4 only when 0.25 was kept.
    EXPECT_NEAR(at(X, 0, 0), 0.25 * (1 + 2 + (r.used == 3 ? 4 : 0)), 4 * kEpsF);
    RecordProperty(zor_feedback::svd_method_name(method), r.used);
  }
}

}  // namespace
