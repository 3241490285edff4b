// The L-curve rule: alpha at the largest curvature of the curve
// (log ||R x - b||, log ||x||), traversed as alpha grows.
#include <cmath>

#include "log_line.h"
#include "tikhonov_alpha.h"

namespace zor_feedback {
namespace detail {

namespace {

// The signed curvature at t of (x, y) = (ln rho / 2, ln eta / 2): the corner
// turns counter-clockwise, from falling to flat.
double curvature(const TikhonovCurve& c, double t) {
  const TikhonovCurve::Point p = c.at(t);
  if (!(p.rho > 0.0) || !(p.eta > 0.0)) return -HUGE_VAL;
  const double x1 = p.drho / (2.0 * p.rho), y1 = p.deta / (2.0 * p.eta);
  const double x2 = (p.ddrho * p.rho - p.drho * p.drho) / (2.0 * p.rho * p.rho);
  const double y2 = (p.ddeta * p.eta - p.deta * p.deta) / (2.0 * p.eta * p.eta);
  const double speed = x1 * x1 + y1 * y1;
  if (!(speed > 0.0)) return -HUGE_VAL;
  return (x1 * y2 - x2 * y1) / std::pow(speed, 1.5);
}

}  // namespace

AlphaChoice alpha_by_lcurve(const TikhonovCurve& c) {
  AlphaChoice out;
  const double lo = c.t_low(), hi = c.t_high();
  const double t = maximise_over_t([&c](double u) { return curvature(c, u); }, lo, hi);
  if (!std::isfinite(curvature(c, t)) || curvature(c, t) <= 0.0) {
    out.error = format_line("ERROR: the L-curve of this orbit has no corner; give the strength");
    return out;
  }
  out.alpha = std::exp(t);
  if (t - lo < 1e-3 || hi - t < 1e-3)
    out.warnings.push_back(
        format_line("WARNING: the L-curve's corner lies at the end of the range, alpha %.3e", out.alpha));
  return out;
}

}  // namespace detail
}  // namespace zor_feedback
