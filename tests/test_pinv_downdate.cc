// The pseudo-inverse after one monitor (row) or corrector (column) is taken
// out, by the rank-one downdate, against a new decomposition of the smaller
// matrix: a ring of 320 monitors x 288 correctors and a small random one.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "pinv_downdate.h"
#include "ring_model.h"
#include "zor_feedback/zor_feedback.h"

namespace zor_feedback {
namespace {

struct Inverse {
  std::vector<double> x;
  double s_ratio = 0.0;
};

Inverse pinv(const std::vector<double>& a, int m, int n) {
  Inverse out;
  const SvdReport r = pseudo_inverse(a.data(), m, n, {}, &out.x);
  EXPECT_TRUE(r.ok) << r.error;
  out.s_ratio = r.singular_values.back() / r.singular_values.front();
  return out;
}

double relative_difference(const std::vector<double>& a, const std::vector<double>& b) {
  double d = 0.0, s = 0.0;
  for (std::size_t k = 0; k < a.size(); ++k) {
    d += (a[k] - b[k]) * (a[k] - b[k]);
    s += b[k] * b[k];
  }
  return std::sqrt(d / s);
}

std::vector<double> without_row(const std::vector<double>& a, int m, int n, int i) {
  std::vector<double> out;
  for (int r = 0; r < m; ++r)
    if (r != i) out.insert(out.end(), a.begin() + r * n, a.begin() + (r + 1) * n);
  return out;
}

std::vector<double> without_column(const std::vector<double>& a, int m, int n, int j) {
  std::vector<double> out;
  for (int r = 0; r < m; ++r)
    for (int c = 0; c < n; ++c)
      if (c != j) out.push_back(a[static_cast<std::size_t>(r * n + c)]);
  return out;
}

// Each row out either matches a new decomposition, or is refused because
// the matrix without it is all but rank-deficient (its smallest singular
// value falls by more than 1e3); each column out matches.
void expect_downdates_match(const std::vector<double>& a, int m, int n, const std::vector<int>& rows,
                            const std::vector<int>& cols, int* refused) {
  const Inverse full = pinv(a, m, n);
  std::string error;
  for (const int i : rows) {
    std::vector<double> got;
    const Inverse fresh = pinv(without_row(a, m, n, i), m - 1, n);
    if (!detail::pinv_without_row(a, full.x, m, n, i, full.s_ratio, default_rcond(m, n), &got, &error)) {
      // (A decomposition keeps even that mode at the default cut.)
      EXPECT_LT(fresh.s_ratio, 1e-3 * full.s_ratio) << "row " << i << " refused: " << error;
      ++*refused;
      continue;
    }
    EXPECT_LT(relative_difference(got, fresh.x), 1e-9) << "row " << i;
  }
  for (const int j : cols) {
    std::vector<double> got;
    ASSERT_TRUE(detail::pinv_without_column(full.x, m, n, j, &got, &error)) << error;
    EXPECT_LT(relative_difference(got, pinv(without_column(a, m, n, j), m, n - 1).x), 1e-9) << "column " << j;
  }
}

TEST(PinvDowndate, EqualsANewDecompositionOnRingsAndARandomMatrix) {
  // A near-square ring: most monitors carry a mode, every corrector can go.
  int refused = 0;
  const sim::Matrix ring = sim::ring_response(320, 288);
  expect_downdates_match(ring.values, 320, 288, {17, 150}, {0, 287}, &refused);
  std::printf("ring 320 x 288: %d of 2 monitors carry a mode\n", refused);
  // Two monitors per corrector: none does.
  refused = 0;
  const sim::Matrix wide = sim::ring_response(96, 48);
  expect_downdates_match(wide.values, 96, 48, {0, 17, 95}, {0, 47}, &refused);
  EXPECT_EQ(refused, 0);

  std::mt19937 gen(5);
  std::normal_distribution<double> g;
  std::vector<double> a(40 * 12);
  for (double& v : a) v = g(gen);
  expect_downdates_match(a, 40, 12, {3, 39}, {0, 11}, &refused);
  EXPECT_EQ(refused, 0);
}

TEST(PinvDowndate, RefusesARowThatCarriesTheRank) {
  // Column 2 is read by row 4 only: without it the matrix loses a mode.
  std::vector<double> a = {1, 0, 0, 0, 1, 0, 1, 1, 0, 2, -1, 0, 0, 0, 3};
  const Inverse full = pinv(a, 5, 3);
  std::vector<double> out = {42.0};
  std::string error;
  EXPECT_FALSE(detail::pinv_without_row(a, full.x, 5, 3, 4, full.s_ratio, default_rcond(5, 3), &out, &error));
  EXPECT_NE(error.find("carries the rank"), std::string::npos) << error;
  EXPECT_EQ(out, std::vector<double>{42.0}) << "a refusal leaves its output";
  EXPECT_TRUE(detail::pinv_without_row(a, full.x, 5, 3, 0, full.s_ratio, default_rcond(5, 3), &out, &error));
  EXPECT_FALSE(detail::pinv_without_column(full.x, 5, 3, 3, &out, &error));
}

}  // namespace
}  // namespace zor_feedback
