// The internal tolerance, and the boundaries of the cut-off, the count and the
// clipping, on diagonal matrices whose SVD is exact.
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
// Tolerance, cut-off, count and clipping on diagonal matrices, whose SVD is
// exact.

void set_diagonal(QTEV_ResponseMatrix& m, const std::vector<float>& d) {
  m.init(0.0f);
  for (std::size_t i = 0; i < d.size(); ++i)
    m.set_value(d[i], static_cast<int>(i), static_cast<int>(i), -1, -1, -1, -1);
}

TEST(InvertTolerance, InternalToleranceIsRoundedToTwoDigitsAndWrittenBack) {
  struct Case {
    int m, n;
    float smax;  // max(m, n) * 2^-52 * smax is the unrounded tolerance
    float want;
    const char* text;
  };
  // One case per line.
  // clang-format off
  const Case cases[] = {
      {1, 1, 1229.48f, 2.7e-13f, "2.700000e-13"},  // 2.73e-13
      {1, 1, 44.856f, 1e-14f, "1.000000e-14"},     // 9.96e-15: rounds up into the next decade
      {3, 4, 3537.1f, 3.1e-12f, "3.100000e-12"},   // 3.1416e-12, max(m, n) = 4
      {5, 2, 6.0f, 6.7e-15f, "6.700000e-15"},      // 6.66e-15, tall: max(m, n) = 5
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    QTEV_ResponseMatrix A("A", c.m, c.n, nullptr);
    QTEV_ResponseMatrix X("X", c.n, c.m, nullptr);
    D_spectrum S("S", 0, nullptr);
    set_diagonal(A, {c.smax});
    float tol = -1.0f;
    int nosv = 0;
    ovrix::LogCapture cap;
    testing::internal::CaptureStdout();
    A.invert(X, S, &tol, &nosv);
    testing::internal::GetCapturedStdout();
    EXPECT_FLOAT_EQ(tol, c.want);
    const std::size_t tol_line = c.m > c.n ? 3 : 1;
    ASSERT_GT(cap.lines().size(), tol_line);
    EXPECT_EQ(cap.lines()[tol_line].text,
              std::string("INFO: Using internal tolerance for SVD cut off: ") + c.text);
    EXPECT_EQ(nosv, 1);
  }
}

// The internal tolerance holds max(S) and the cut-off multiplies by it again;
// the count compares with the tolerance itself. With max(S) > 1 a value can be
// dropped from the inverse yet counted as used, with max(S) < 1 the reverse.
TEST(InvertTolerance, InternalToleranceUsesMaxSTwice) {
  struct Case {
    float s0, s1;
    float want_tol;
    float inverse1;  // element (1, 1) of the result
    int nosv;
  };
  // One case per line.
  // clang-format off
  const Case cases[] = {
      {1000.0f, 1e-10f, 4.4e-13f, 0.0f, 2},  // cut-off 4.4e-10 > 1e-10 > 4.4e-13
      {1e-3f, 1e-19f, 4.4e-19f, 1e19f, 1},   // cut-off 4.4e-22 < 1e-19 < 4.4e-19
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.s0);
    QTEV_ResponseMatrix A("A", 2, 2, nullptr);
    QTEV_ResponseMatrix X("X", 2, 2, nullptr);
    D_spectrum S("S", 0, nullptr);
    set_diagonal(A, {c.s0, c.s1});
    float tol = -1.0f;
    int nosv = 0;
    A.invert(X, S, &tol, &nosv);
    EXPECT_FLOAT_EQ(tol, c.want_tol);
    EXPECT_EQ(nosv, c.nosv);
    EXPECT_FLOAT_EQ(at(X, 0, 0), 1.0f / c.s0);
    EXPECT_FLOAT_EQ(at(X, 1, 1), c.inverse1);
    EXPECT_EQ(at(X, 0, 1), 0.0f);
  }
}

TEST(InvertTolerance, BoundariesOfCutOffCountAndClipping) {
  struct Case {
    const char* what;
    std::vector<float> diag;
    float tol;
    std::vector<float> inverse;  // diagonal of the result
    int nosv;
    std::vector<std::string> extra;  // log lines between the tolerance and the count
    std::vector<Line> after;         // log lines after the count
  };
  const std::vector<Line> cleared_quarter = {
      {kOrigin, "INFO: Cleared 1 elements |v| <= tol from the inverse, largest 5.000000e-01", 128},
      {kOrigin,
       "WARNING: tol 5.000e-01 cleared 25.0% of the inverse, changed it 60%; divide the matrix by 1e+01",
       DF_LOG}};
  // One case per line.
  // clang-format off
  const Case cases[] = {
      {"s equal to the cut-off is dropped", {4.0f, 0.5f, 0.25f}, 0.0625f, {0.25f, 2.0f, 0.0f}, 3, {}, {}},
      {"element equal to tol is cleared", {2.0f, 1.5f}, 0.5f, {0.0f, 1.0f / 1.5f}, 2, {}, cleared_quarter},
      {"s equal to tol is counted", {0.5f, 0.25f}, 0.25f, {2.0f, 4.0f}, 2, {}, {}},
      {"s below tol is not counted but inverted", {0.5f, 0.2f}, 0.25f, {2.0f, 1.0f / 0.2f}, 1, {}, {}},
      {"zero tol drops a zero s as infinite", {2.0f, 0.0f}, 0.0f, {0.5f, 0.0f}, 1, {"INFO: Removed 1 infinite values from S"}, {}},
      {"negative tol inverts every s", {2.0f, 1.0f}, -0.5f, {0.5f, 1.0f}, 2, {}, {}},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const int n = static_cast<int>(c.diag.size());
    QTEV_ResponseMatrix A("A", n, n, nullptr);
    QTEV_ResponseMatrix X("X", n, n, nullptr);
    D_spectrum S("S", 0, nullptr);
    set_diagonal(A, c.diag);
    X.init(9.0f);
    float tol = c.tol;
    int nosv = -1;
    ovrix::LogCapture cap;
    A.invert(X, S, &tol, &nosv);
    EXPECT_TRUE(zor_feedback::test::same_bits({tol}, {c.tol})) << "a user tolerance is not written";
    EXPECT_EQ(nosv, c.nosv);
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j)
        EXPECT_EQ(at(X, i, j), i == j ? c.inverse[static_cast<std::size_t>(i)] : 0.0f) << i << "," << j;
    // The spectrum keeps every value, also those cut off.
    std::vector<float> sorted = c.diag;
    std::sort(sorted.rbegin(), sorted.rend());
    EXPECT_EQ(S.points(), sorted);

    char tol_text[80];
    std::snprintf(tol_text, sizeof tol_text, "INFO: Using user provided SVD cut off tolerance: %e",
                  static_cast<double>(c.tol));
    std::vector<Line> want = {
        {kOrigin, "INFO: SVD on " + std::to_string(n) + " x " + std::to_string(n) + " matrix ...", 128},
        {kOrigin, tol_text, 128}};
    for (const auto& e : c.extra) want.push_back({kOrigin, e, 128});
    want.push_back(
        {kOrigin, "INFO: Using " + std::to_string(c.nosv) + " from " + std::to_string(n) + " singular values",
         128});
    want.insert(want.end(), c.after.begin(), c.after.end());
    expect_lines_then_timing(cap, want);
  }
}

// A zero singular value under a negative cut-off enters the inverse: infinite
// elements are stored as such, NaN elements fail the clipping and become 0.
TEST(InvertTolerance, NegativeToleranceOnSingularMatrixStoresNoNaN) {
  QTEV_ResponseMatrix A("A", 2, 2, nullptr);
  QTEV_ResponseMatrix X("X", 2, 2, nullptr);
  D_spectrum S("S", 0, nullptr);
  set_diagonal(A, {1.0f, 0.0f});
  float tol = -0.5f;
  int nosv = 0;
  A.invert(X, S, &tol, &nosv);
  EXPECT_EQ(nosv, 1);
  for (float v : zor_feedback::test::elements(X)) EXPECT_FALSE(std::isnan(v));
  EXPECT_TRUE(std::isinf(at(X, 1, 1)));
}

TEST(InvertTolerance, AllZeroMatrixGivesZeroInverseAndNaNTolerance) {
  QTEV_ResponseMatrix A("A", 3, 4, nullptr);
  QTEV_ResponseMatrix X("X", 4, 3, nullptr);
  D_spectrum S("S", 0, nullptr);
  A.init(0.0f);
  X.init(9.0f);
  float tol = -1.0f;
  int nosv = -1;
  ovrix::LogCapture cap;
  A.invert(X, S, &tol, &nosv);
  EXPECT_TRUE(std::isnan(tol));
  EXPECT_EQ(nosv, 0);
  for (float v : zor_feedback::test::elements(X)) EXPECT_EQ(v, 0.0f);
  EXPECT_EQ(S.points(), std::vector<float>(3, 0.0f));
  ASSERT_EQ(cap.lines().size(), 5u);
  EXPECT_EQ(cap.lines()[1].text.rfind("INFO: Using internal tolerance for SVD cut off: ", 0), 0u);
  EXPECT_NE(cap.lines()[1].text.find("nan"), std::string::npos);
  EXPECT_EQ(cap.lines()[2].text, "INFO: Removed 3 infinite values from S");
  EXPECT_EQ(cap.lines()[3].text, "INFO: Using 0 from 3 singular values");
}

// A square matrix may be inverted into itself.
TEST(InvertTolerance, InPlaceInversionOfASquareMatrix) {
  QTEV_ResponseMatrix A("A", 2, 2, nullptr);
  D_spectrum S("S", 0, nullptr);
  fill(A, [](int i, int j) { return i == j ? 2.0f : 1.0f; });  // inverse [[2, -1], [-1, 2]] / 3
  float tol = 1e-6f;
  int nosv = 0;
  A.invert(A, S, &tol, &nosv);
  EXPECT_NEAR(at(A, 0, 0), 2.0f / 3, 1e-6);
  EXPECT_NEAR(at(A, 0, 1), -1.0f / 3, 1e-6);
  EXPECT_NEAR(at(A, 1, 1), 2.0f / 3, 1e-6);
}

}  // namespace
