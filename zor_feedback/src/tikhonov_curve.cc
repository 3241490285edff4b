// The residual and solution norms of the Tikhonov solutions over the
// strength, with their derivatives by ln(alpha), and a maximiser over it.
#include <algorithm>
#include <cmath>
#include <cstddef>

#include "tikhonov_alpha.h"

namespace zor_feedback {
namespace detail {

TikhonovCurve::TikhonovCurve(const std::vector<double>& s, const std::vector<double>& beta, double b_squared,
                             int rows)
    : rows_(rows) {
  double inside = 0.0;
  for (std::size_t i = 0; i < s.size() && i < beta.size(); ++i) {
    if (!(s[i] > 0.0)) continue;
    s_.push_back(s[i]);
    beta_.push_back(beta[i]);
    inside += beta[i] * beta[i];
  }
  outside_ = std::max(0.0, b_squared - inside);
}

// With f = s^2 / (s^2 + alpha^2), df/dt = -2 f (1 - f):
//   rho = sum (1-f)^2 beta^2 + outside, eta = sum f^2 (beta/s)^2.
TikhonovCurve::Point TikhonovCurve::at(double t) const {
  const double a2 = std::exp(2.0 * t);
  Point p;
  p.rho = outside_;
  for (std::size_t i = 0; i < s_.size(); ++i) {
    const double s2 = s_[i] * s_[i], f = s2 / (s2 + a2), g = 1.0 - f;
    const double b2 = beta_[i] * beta_[i], x2 = b2 / s2;
    p.rho += g * g * b2;
    p.drho += 4.0 * f * g * g * b2;
    p.ddrho -= 8.0 * f * g * g * (1.0 - 3.0 * f) * b2;
    p.eta += f * f * x2;
    p.deta -= 4.0 * f * f * g * x2;
    p.ddeta += 8.0 * f * f * g * (2.0 - 3.0 * f) * x2;
    p.trace += f;
  }
  return p;
}

double TikhonovCurve::t_low() const { return std::log(std::max(s_.back(), 1e-14 * s_.front())); }
double TikhonovCurve::t_high() const { return std::log(s_.front()); }

double maximise_over_t(const std::function<double(double)>& f, double lo, double hi) {
  const int n = std::max(2, static_cast<int>(std::ceil((hi - lo) / std::log(10.0) * 50.0)));
  const double h = (hi - lo) / n;
  int best = 0;
  double best_value = -HUGE_VAL;
  for (int i = 0; i <= n; ++i) {
    const double v = f(lo + i * h);
    if (v > best_value) best_value = v, best = i;
  }
  double a = lo + std::max(0, best - 1) * h, b = lo + std::min(n, best + 1) * h;
  const double r = 0.5 * (std::sqrt(5.0) - 1.0);
  double c = b - r * (b - a), d = a + r * (b - a), fc = f(c), fd = f(d);
  for (int k = 0; k < 60 && b - a > 1e-10; ++k) {
    if (fc > fd) {
      b = d, d = c, fd = fc, c = b - r * (b - a), fc = f(c);
    } else {
      a = c, c = d, fc = fd, d = a + r * (b - a), fd = f(d);
    }
  }
  const double t = 0.5 * (a + b);
  return f(t) >= best_value ? t : lo + best * h;
}

}  // namespace detail
}  // namespace zor_feedback
