// The discrepancy principle: the largest alpha whose residual is no more than
// the noise, ||R x - b||^2 = m * noise^2. The residual grows with alpha, so a
// bisection in ln(alpha) finds it.
#include <cmath>

#include "log_line.h"
#include "tikhonov_alpha.h"

namespace zor_feedback {
namespace detail {

AlphaChoice alpha_by_discrepancy(const TikhonovCurve& c, double noise) {
  AlphaChoice out;
  const double target = static_cast<double>(c.rows()) * noise * noise;
  // Below the smallest value alpha barely changes the residual any more.
  double lo = c.t_low() - std::log(1e3), hi = c.t_high() + std::log(1e3);
  if (c.at(lo).rho > target) {
    out.error =
        format_line("ERROR: the orbit's residual exceeds sqrt(m) * noise %.3e at any strength", noise);
    return out;
  }
  if (c.at(hi).rho <= target) {
    out.error = format_line("ERROR: the orbit lies within its noise %.3e; nothing to correct", noise);
    return out;
  }
  for (int k = 0; k < 200 && hi - lo > 1e-12; ++k) {
    const double mid = 0.5 * (lo + hi);
    (c.at(mid).rho > target ? hi : lo) = mid;
  }
  out.alpha = std::exp(0.5 * (lo + hi));
  return out;
}

}  // namespace detail
}  // namespace zor_feedback
