// arma_pinv.h - Armadillo's pinv written out, so that its decomposition can be reported.
// Private to the library; not installed.
#ifndef ZOR_FEEDBACK_ARMA_PINV_H
#define ZOR_FEEDBACK_ARMA_PINV_H

#include <armadillo>
#include <vector>

#include "zor_feedback/arma.h"

namespace zor_feedback {
namespace detail {

// Armadillo's pinv with its default arguments, step by step, so that the
// decomposition it used can be reported: the same path choice, the same
// threshold, the same products, hence the same bits.
struct ArmaPinv {
  arma::mat B;  // the pseudo-inverse
  PinvPath path = PinvPath::svd;
  std::vector<double> values;  // non-increasing magnitudes; empty for cholesky
  double threshold = 0.0;
  int rank = 0;
};
// False when the decomposition fails (Armadillo's pinv then throws).
bool arma_pinv(arma::mat A, ArmaPinv* out);

}  // namespace detail
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_ARMA_PINV_H
