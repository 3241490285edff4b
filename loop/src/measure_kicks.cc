// The kick of each corrector in a measurement: given, or from a target orbit
// change by a prior matrix; then cut to the corrector's limits.
#include <algorithm>
#include <cmath>

#include "measure_steps.h"

namespace zor_feedback {
namespace loop {
namespace detail {

std::string corrector_name(const MeasureConfig& c, std::size_t j) {
  return j < c.correctors.size() ? c.correctors[j] : std::to_string(j);
}

std::string monitor_name(const MeasureConfig& c, std::size_t i) {
  return i < c.monitors.size() ? c.monitors[i] : std::to_string(i);
}

namespace {

// The kicks asked for, before the limits; empty string when they are sound.
std::string wanted_kicks(const MeasureConfig& c, std::size_t n, std::vector<double>* d) {
  if (!c.kicks.empty()) {
    if (c.kicks.size() != 1 && c.kicks.size() != n)
      return "kicks: " + std::to_string(c.kicks.size()) + " values for " + std::to_string(n) + " correctors";
    d->assign(n, c.kicks[0]);
    if (c.kicks.size() == n) *d = c.kicks;
  } else {
    if (c.prior.empty() || c.prior.size() % n != 0 || !(c.target_change > 0.0))
      return "no kicks: give them, or a prior matrix with n columns and a positive target change";
    const std::size_t m = c.prior.size() / n;
    d->assign(n, 0.0);
    for (std::size_t j = 0; j < n; ++j) {
      double peak = 0.0;
      for (std::size_t i = 0; i < m; ++i) peak = std::max(peak, std::fabs(c.prior[i * n + j]));
      if (!(peak > 0.0) || !std::isfinite(peak))
        return "the prior column of corrector " + corrector_name(c, j) + " is zero or not finite";
      (*d)[j] = c.target_change / peak;
    }
  }
  for (std::size_t j = 0; j < n; ++j)
    if (!std::isfinite((*d)[j]) || (*d)[j] == 0.0)
      return "the kick of corrector " + corrector_name(c, j) + " is zero or not finite";
  return {};
}

// The room around `s` (below, above) within corrector j's limits.
void room(const MeasureConfig& c, std::size_t j, double s, double* below, double* above) {
  *below = c.lower.empty() ? INFINITY : s - c.lower[j];
  *above = c.upper.empty() ? INFINITY : c.upper[j] - s;
}

}  // namespace

// Bipolar: |d|/2 each way, so |d| <= 2 min(room). Unipolar: +|d| where it
// fits, otherwise -|d|, otherwise the larger room.
std::string size_kicks(const MeasureConfig& c, const std::vector<double>& start, std::vector<double>* kicks,
                       std::vector<bool>* capped) {
  const std::size_t n = start.size();
  if ((!c.lower.empty() && c.lower.size() != n) || (!c.upper.empty() && c.upper.size() != n))
    return "limits: not one per corrector";
  std::vector<double> d;
  std::string why = wanted_kicks(c, n, &d);
  if (!why.empty()) return why;
  std::vector<bool> cut(n, false);
  for (std::size_t j = 0; j < n; ++j) {
    double below, above;
    room(c, j, start[j], &below, &above);
    const double want = std::fabs(d[j]);
    const double fit =
        c.bipolar ? std::min(want, 2.0 * std::min(below, above)) : std::min(want, std::max(below, above));
    if (!(fit > 0.0))
      return "corrector " + corrector_name(c, j) + " has no room within its limits to be kicked";
    cut[j] = fit < want;
    d[j] = (c.bipolar || fit <= above) ? fit : -fit;
  }
  *kicks = std::move(d);
  *capped = std::move(cut);
  return {};
}

}  // namespace detail
}  // namespace loop
}  // namespace zor_feedback
