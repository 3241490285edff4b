// filter_factors.h - the filter factors of each kind of filter, and the
// weights phi / s of the inverse V * diag(phi / s) * U^T.
// Private to the library; not installed.
#ifndef ZOR_FEEDBACK_FILTER_FACTORS_H
#define ZOR_FEEDBACK_FILTER_FACTORS_H

#include <vector>

namespace zor_feedback {
namespace detail {

// A cut (default, rcond, keep): 1 for the `used` largest values, 0 beyond.
std::vector<double> cut_factors(const std::vector<double>& s, int used);

// Tikhonov: s^2 / (s^2 + alpha^2) (0 for s = 0).
std::vector<double> tikhonov_factors(const std::vector<double>& s, double alpha);

// The weight of each value in the inverse: 1 / s where a cut keeps it (the
// reciprocal itself, so that a cut's inverse keeps its bits), s / (s^2 +
// alpha^2) for Tikhonov, 0 where the factor is.
std::vector<double> inverse_weights(const std::vector<double>& s, const std::vector<double>& factors,
                                    bool tikhonov, double alpha);

}  // namespace detail
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_FILTER_FACTORS_H
