// The filter factors, one small function a kind.
#include "filter_factors.h"

#include <cstddef>

namespace zor_feedback {
namespace detail {

std::vector<double> cut_factors(const std::vector<double>& s, int used) {
  std::vector<double> f(s.size(), 0.0);
  for (std::size_t i = 0; i < s.size() && i < static_cast<std::size_t>(used); ++i) f[i] = 1.0;
  return f;
}

std::vector<double> tikhonov_factors(const std::vector<double>& s, double alpha) {
  std::vector<double> f(s.size(), 0.0);
  for (std::size_t i = 0; i < s.size(); ++i)
    if (s[i] > 0.0) f[i] = s[i] * s[i] / (s[i] * s[i] + alpha * alpha);
  return f;
}

std::vector<double> inverse_weights(const std::vector<double>& s, const std::vector<double>& factors,
                                    bool tikhonov, double alpha) {
  std::vector<double> w(s.size(), 0.0);
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (factors[i] == 0.0) continue;
    w[i] = tikhonov ? s[i] / (s[i] * s[i] + alpha * alpha) : 1.0 / s[i];
  }
  return w;
}

}  // namespace detail
}  // namespace zor_feedback
