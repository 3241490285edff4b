// The pseudo-inverse after one row or column is taken out (Sherman-Morrison
// on (A^T A)^-1 = X X^T): O(m n) where a decomposition is O(m n^2).
#include "pinv_downdate.h"

#include <cmath>
#include <cstddef>

namespace zor_feedback {
namespace detail {

namespace {
std::size_t at(int r, int c, int cols) {
  return static_cast<std::size_t>(r) * static_cast<std::size_t>(cols) + static_cast<std::size_t>(c);
}
}  // namespace

bool pinv_without_row(const std::vector<double>& A, const std::vector<double>& X, int m, int n, int i,
                      double s_ratio, double rcond, std::vector<double>* out, std::string* error) {
  if (m <= n || i < 0 || i >= m) {
    *error = "no row to take out of a matrix without more rows than columns";
    return false;
  }
  // h = row i of the hat matrix A X: how much of each reading row i explains.
  std::vector<double> h(static_cast<std::size_t>(m), 0.0);
  for (int c = 0; c < n; ++c) {
    const double a = A[at(i, c, n)];
    for (int k = 0; k < m; ++k) h[static_cast<std::size_t>(k)] += a * X[at(c, k, m)];
  }
  const double lever = 1.0 - h[static_cast<std::size_t>(i)];
  // A 1e-6 lever would lose six digits; the rank (and the cut) must hold.
  if (!(lever > 1e-6) || !(std::sqrt(lever) * s_ratio > rcond)) {
    *error = "row " + std::to_string(i) + " carries the rank (leverage " + std::to_string(1.0 - lever) + ")";
    return false;
  }
  std::vector<double> next(static_cast<std::size_t>(n) * static_cast<std::size_t>(m - 1));
  for (int r = 0; r < n; ++r) {
    const double c = X[at(r, i, m)] / lever;
    for (int k = 0, kk = 0; k < m; ++k) {
      if (k == i) continue;
      next[at(r, kk++, m - 1)] = X[at(r, k, m)] + c * h[static_cast<std::size_t>(k)];
    }
  }
  *out = std::move(next);
  return true;
}

bool pinv_without_column(const std::vector<double>& X, int m, int n, int j, std::vector<double>* out,
                         std::string* error) {
  if (n < 2 || m < n || j < 0 || j >= n) {
    *error = "no column to take out";
    return false;
  }
  // Column j of p = X X^T.
  std::vector<double> p(static_cast<std::size_t>(n), 0.0);
  for (int r = 0; r < n; ++r)
    for (int k = 0; k < m; ++k) p[static_cast<std::size_t>(r)] += X[at(r, k, m)] * X[at(j, k, m)];
  const double pjj = p[static_cast<std::size_t>(j)];
  if (!(pjj > 0.0) || !std::isfinite(pjj)) {
    *error = "column " + std::to_string(j) + " has no weight in the inverse";
    return false;
  }
  std::vector<double> next(static_cast<std::size_t>(n - 1) * static_cast<std::size_t>(m));
  for (int r = 0, rr = 0; r < n; ++r) {
    if (r == j) continue;
    const double f = p[static_cast<std::size_t>(r)] / pjj;
    for (int k = 0; k < m; ++k) next[at(rr, k, m)] = X[at(r, k, m)] - f * X[at(j, k, m)];
    ++rr;
  }
  *out = std::move(next);
  return true;
}

}  // namespace detail
}  // namespace zor_feedback
