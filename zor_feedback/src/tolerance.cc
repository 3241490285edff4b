#include "tolerance.h"

#include <cmath>
#include <cstddef>

#include <algorithm>

#include "inversion_checks.h"

namespace zor_feedback {
namespace detail {

// Each stage is stored as float and the exponent comes from a single-precision
// logarithm, so that the tolerance written back is the same float to the last
// bit wherever it is computed.
float internal_svd_tolerance(int rows, int cols, double s_max) {
  float t = static_cast<float>(static_cast<double>(std::max(rows, cols)) * kDoubleEpsilon * s_max);
  const double exponent = static_cast<double>(floorf(log10f(fabsf(t))));
  t = static_cast<float>(std::round(static_cast<double>(t) / std::pow(10.0, exponent - 1.0)) / 10.0);
  t = static_cast<float>(static_cast<double>(t) * std::pow(10.0, exponent));
  return t;
}

namespace {

// How many of the non-increasing values pass the cut-off tol * max(S), by the
// comparison invert makes.
int count_passing(const GslVector& S, float tol) {
  const double cutoff = static_cast<double>(tol) * S[0];
  int n = 0;
  for (std::size_t i = 0; i < S.size(); ++i) n += passes_cutoff(S[i], cutoff) ? 1 : 0;
  return n;
}

// v rounded to `digits` significant digits, as a float.
float round_to_digits(double v, int digits) {
  const double scale = std::pow(10.0, std::floor(std::log10(v)) - (digits - 1));
  return static_cast<float>(std::round(v / scale) * scale);
}

}  // namespace

bool tolerance_keeping(const GslVector& S, int modes, float* tol, int* blocking) {
  const auto k = static_cast<int>(S.size());
  const double last_kept = S[static_cast<std::size_t>(modes - 1)];
  if (!(last_kept > 0.0)) {
    *blocking = modes - 1;
    return false;
  }
  // With every value above 0 kept, 0 keeps them: it clears nothing either.
  const double first_dropped = modes < k ? S[static_cast<std::size_t>(modes)] : 0.0;
  if (first_dropped == 0.0) {
    *tol = 0.0f;
    return true;
  }
  if (first_dropped == last_kept) {
    *blocking = modes;
    return false;
  }
  // In the geometric middle of the gap between the last value kept and the
  // first dropped, so that a re-measured matrix keeps the count; as few
  // digits as keep it inside the gap, for the operator.
  const double middle = std::sqrt(last_kept * first_dropped) / S[0];
  for (int digits = 1; digits <= 9; ++digits) {
    const float t = round_to_digits(middle, digits);
    if (count_passing(S, t) == modes) {
      *tol = t;
      return true;
    }
  }
  // No rounding lands inside the gap: the two lie closer than nine digits. Walk the floats down from just
  // below the larger ratio.
  float t = std::nextafter(static_cast<float>(last_kept / S[0]), 0.0f);
  for (int step = 0; step < 64 && t > 0.0f; ++step, t = std::nextafter(t, 0.0f)) {
    const int n = count_passing(S, t);
    if (n == modes) {
      *tol = t;
      return true;
    }
    if (n > modes) break;
  }
  *blocking = modes;
  return false;
}

}  // namespace detail
}  // namespace zor_feedback
