// tikhonov_alpha.h - the choice of the Tikhonov strength alpha for an orbit:
// the curve of residual and solution norms over alpha, and the three rules.
// Private to the library; not installed.
#ifndef ZOR_FEEDBACK_TIKHONOV_ALPHA_H
#define ZOR_FEEDBACK_TIKHONOV_ALPHA_H

#include <functional>
#include <string>
#include <vector>

namespace zor_feedback {
namespace detail {

// The Tikhonov solutions x(alpha) of R x = b, through R's SVD: the non-zero
// singular values s, beta = U^T b for them, and ||b||^2 - sum beta^2 (what no
// x can reach). Derivatives are by t = ln(alpha).
class TikhonovCurve {
 public:
  TikhonovCurve(const std::vector<double>& s, const std::vector<double>& beta, double b_squared, int rows);

  struct Point {
    double rho = 0, drho = 0, ddrho = 0;  // ||R x - b||^2 and its derivatives
    double eta = 0, deta = 0, ddeta = 0;  // ||x||^2 and its derivatives
    double trace = 0;                     // sum of the filter factors
  };
  Point at(double t) const;
  int rows() const { return rows_; }
  bool empty() const { return s_.empty(); }
  // The search range of t: ln of [max(min s, 1e-14 max s), max s].
  double t_low() const;
  double t_high() const;

 private:
  std::vector<double> s_, beta_;
  double outside_ = 0.0;
  int rows_ = 0;
};

// The t in [lo, hi] where f is largest: a grid of 50 points a decade, then a
// golden-section search between the best point's neighbours.
double maximise_over_t(const std::function<double(double)>& f, double lo, double hi);

struct AlphaChoice {
  double alpha = 0.0;
  std::string error;  // empty when chosen
  std::vector<std::string> warnings;
};

AlphaChoice alpha_by_lcurve(const TikhonovCurve& c);
AlphaChoice alpha_by_gcv(const TikhonovCurve& c);
// ||R x - b|| = sqrt(rows) * noise.
AlphaChoice alpha_by_discrepancy(const TikhonovCurve& c, double noise);

}  // namespace detail
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_TIKHONOV_ALPHA_H
