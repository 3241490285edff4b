// Helpers shared by the tests of the two inversions: conversions, the
// Moore-Penrose residuals, the matrices of the catalogue, and the check of a
// log sequence that ends with the timing line.
#ifndef ZOR_FEEDBACK_TESTS_NUMERICS_H
#define ZOR_FEEDBACK_TESTS_NUMERICS_H

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "ring_model.h"
#include "testing.h"
#include "zor_feedback/arma.h"

namespace zor_feedback {
namespace test {

constexpr double kEpsF = std::numeric_limits<float>::epsilon();
constexpr double kEpsD = std::numeric_limits<double>::epsilon();

inline arma::mat to_arma(QTEV_ResponseMatrix& m) {
  arma::mat A(static_cast<arma::uword>(m.rows), static_cast<arma::uword>(m.cols));
  for (arma::uword i = 0; i < A.n_rows; ++i)
    for (arma::uword j = 0; j < A.n_cols; ++j) A(i, j) = at(m, static_cast<int>(i), static_cast<int>(j));
  return A;
}

// Normalised residuals of the four Moore-Penrose conditions; each is about
// float epsilon for a float-rounded pseudo-inverse, whatever the conditioning.
struct MoorePenrose {
  double axa, xax, ax_sym, xa_sym;
  double worst() const { return std::max(std::max(axa, xax), std::max(ax_sym, xa_sym)); }
};

inline MoorePenrose moore_penrose(const arma::mat& A, const arma::mat& X) {
  const double na = arma::norm(A, "fro");
  const double nx = arma::norm(X, "fro");
  const arma::mat AX = A * X;
  const arma::mat XA = X * A;
  return {arma::norm(AX * A - A, "fro") / (na * na * nx), arma::norm(XA * X - X, "fro") / (nx * nx * na),
          arma::norm(AX - AX.t(), "fro") / (na * nx), arma::norm(XA - XA.t(), "fro") / (na * nx)};
}

inline std::string scientific(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3e", v);
  return text;
}

// --- The catalogue's matrices, element (i, j) of an m x n matrix.

// Closed-orbit response of the FODO ring model of the benchmarks and the
// example data, sized for an m x n matrix: monitors and correctors spread
// over different places. Element by element, so that a case costs no more
// than its matrix.
inline double ring_orbit(int i, int j, int m, int n) {
  const zor_feedback::sim::Ring r = zor_feedback::sim::ring_for_shape(m, n);
  return zor_feedback::sim::closed_orbit(r, zor_feedback::sim::monitor(r.lattice, i, m),
                                         zor_feedback::sim::corrector(r.lattice, j, n));
}

inline double smooth(int i, int j, int, int) {
  return (i == j ? 4.0 : 0.0) + std::sin(1.0 + 1.7 * i + 0.9 * j);
}
inline double hilbert(int i, int j, int, int) { return 1.0 / (i + j + 1); }

// Exact small-integer products of rank 3: the zero singular values are the
// rounding of the SVD, not of the float input.
inline double rank3(int i, int j, int, int) {
  double v = 0;
  for (int k = 0; k < 3; ++k) v += ((i * 3 + k * 5) % 7 - 3) * ((k * 2 + j * 3 + k * j) % 5 - 2);
  return v;
}

// --- Log lines.

// "took (ms): " and a number with four decimals.
inline bool is_timing_text(const std::string& t) {
  const std::string prefix = "took (ms): ";
  if (t.rfind(prefix, 0) != 0) return false;
  const std::string num = t.substr(prefix.size());
  const auto dot = num.find('.');
  if (dot == std::string::npos || dot == 0 || num.size() - dot - 1 != 4) return false;
  for (std::size_t k = 0; k < num.size(); ++k)
    if (k != dot && (num[k] < '0' || num[k] > '9')) return false;
  return true;
}

// The lines `want`, then the timing line (flags 8) from `origin`.
inline void expect_lines_then_timing(const ovrix::LogCapture& cap, const std::vector<Line>& want,
                                     const std::string& origin) {
  ASSERT_EQ(cap.lines().size(), want.size() + 1) << "number of log lines";
  for (std::size_t k = 0; k < want.size(); ++k) {
    EXPECT_EQ(cap.lines()[k].origin, want[k].origin) << "line " << k;
    EXPECT_EQ(cap.lines()[k].text, want[k].text) << "line " << k;
    EXPECT_EQ(cap.lines()[k].flags, want[k].flags) << "line " << k;
  }
  const auto& last = cap.lines().back();
  EXPECT_EQ(last.origin, origin);
  EXPECT_EQ(last.flags, 8u);
  EXPECT_TRUE(is_timing_text(last.text)) << last.text;
}

}  // namespace test
}  // namespace zor_feedback

#endif
