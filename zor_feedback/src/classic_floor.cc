#include "classic_floor.h"

#include <algorithm>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "log_line.h"

namespace zor_feedback {
namespace detail {

namespace {

// The smallest power of ten f (up to 1e30) for which dividing the matrix by f
// leaves the floor's change at most kHarmlessFloorChange: the inverse grows
// by f, so the floor then clears |v| <= tol / f (tol / f^2 for the internal
// tolerance, which shrinks with the matrix). 0 when none does.
double harmless_factor(const GslMatrix& P, double tol, bool internal, double total_sq) {
  std::vector<double> a;
  const double* d = P.get()->data;
  for (std::size_t k = 0; k < P.size1() * P.size2(); ++k)
    if (d[k] != 0.0 && std::isfinite(d[k])) a.push_back(std::fabs(d[k]));
  std::sort(a.begin(), a.end());
  std::vector<double> prefix(a.size() + 1, 0.0);
  for (std::size_t k = 0; k < a.size(); ++k) prefix[k + 1] = prefix[k] + a[k] * a[k];
  for (int e = 1; e <= 30; ++e) {
    const double f = std::pow(10.0, internal ? 2 * e : e);
    const auto n = static_cast<std::size_t>(std::upper_bound(a.begin(), a.end(), tol / f) - a.begin());
    if (std::sqrt(prefix[n] / total_sq) <= kHarmlessFloorChange) return std::pow(10.0, e);
  }
  return 0.0;
}

}  // namespace

void measure_floor(const GslMatrix& P, double tol, bool internal, double s_max, SvdReport* rep) {
  const double* d = P.get()->data;
  const std::size_t size = P.size1() * P.size2();
  double cleared_sq = 0.0, total_sq = 0.0;
  bool all_zero = true;
  for (std::size_t k = 0; k < size; ++k) {
    const double v = d[k], a = std::fabs(v);
    rep->largest_element = std::max(rep->largest_element, a);
    if (std::isfinite(v)) total_sq += v * v;
    if (survives_clear(v, tol)) {
      all_zero = all_zero && static_cast<float>(v) == 0.0f;
    } else if (v != 0.0 && !std::isnan(v)) {
      ++rep->elements_cleared;
      rep->largest_cleared = std::max(rep->largest_cleared, a);
      cleared_sq += v * v;
    }
  }
  rep->zero_inverse = all_zero && s_max > 0.0;
  rep->cleared_share = static_cast<double>(rep->elements_cleared) / static_cast<double>(size);
  rep->floor_change = total_sq > 0.0 ? std::sqrt(cleared_sq / total_sq) : 0.0;
  if (rep->floor_change > kHarmlessFloorChange)
    rep->harmless_factor = harmless_factor(P, tol, internal, total_sq);
}

void report_clearing(const char* origin, double tol, SvdReport* rep) {
  if (rep->elements_cleared > 0)
    log_line(origin, kInfo, "INFO: Cleared %lld elements |v| <= tol from the inverse, largest %e",
             rep->elements_cleared, rep->largest_cleared);
  std::string warning;
  const double share = 100.0 * rep->cleared_share, change = 100.0 * rep->floor_change;
  if (rep->zero_inverse && rep->used == 0)
    warning = log_line(
        origin, DF_LOG,
        "WARNING: all-zero inverse: no singular value is above the cut-off tol*max(S) = %.3e; lower tol",
        rep->cutoff);
  else if (rep->zero_inverse && rep->elements_cleared > 0)
    warning = log_line(
        origin, DF_LOG,
        "WARNING: all-zero inverse: tol %.3e also clears every element |v| <= tol; lower tol or units", tol);
  else if (rep->zero_inverse)
    warning =
        log_line(origin, DF_LOG,
                 "WARNING: all-zero inverse: its elements lie below the float range; rescale the matrix");
  else if (rep->elements_cleared == 0 || !(rep->largest_cleared > 1e-6 * rep->largest_element))
    return;
  else if (rep->harmless_factor > 1.0)
    warning = log_line(
        origin, DF_LOG,
        "WARNING: tol %.3e cleared %.1f%% of the inverse, changed it %.2g%%; divide the matrix by %.0e", tol,
        share, change, rep->harmless_factor);
  else if (rep->harmless_factor == 0.0)
    warning = log_line(
        origin, DF_LOG,
        "WARNING: tol %.3e cleared %.1f%% of the inverse, changed it %.2g%%; use the standard inversion", tol,
        share, change);
  else
    warning = log_line(origin, DF_LOG, "WARNING: tol %.3e cleared %.1f%% of the inverse, changed it %.2g%%",
                       tol, share, change);
  if (!warning.empty()) rep->warnings.push_back(std::move(warning));
}

}  // namespace detail
}  // namespace zor_feedback
