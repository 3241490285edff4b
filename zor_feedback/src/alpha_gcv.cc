// Generalised cross-validation: alpha at the minimum of
// ||R x - b||^2 / (m - sum f)^2.
#include <cmath>

#include "log_line.h"
#include "tikhonov_alpha.h"

namespace zor_feedback {
namespace detail {

AlphaChoice alpha_by_gcv(const TikhonovCurve& c) {
  AlphaChoice out;
  const double m = c.rows();
  const auto minus_log_g = [&c, m](double t) {
    const TikhonovCurve::Point p = c.at(t);
    const double dof = m - p.trace;
    if (!(dof > 0.0) || !(p.rho > 0.0)) return -HUGE_VAL;
    return -(std::log(p.rho) - 2.0 * std::log(dof));
  };
  const double lo = c.t_low(), hi = c.t_high();
  const double t = maximise_over_t(minus_log_g, lo, hi);
  if (!std::isfinite(minus_log_g(t))) {
    out.error = format_line("ERROR: cross-validation has no minimum for this orbit; give the strength");
    return out;
  }
  out.alpha = std::exp(t);
  if (t - lo < 1e-3 || hi - t < 1e-3)
    out.warnings.push_back(format_line(
        "WARNING: the cross-validation minimum lies at the end of the range, alpha %.3e", out.alpha));
  return out;
}

}  // namespace detail
}  // namespace zor_feedback
