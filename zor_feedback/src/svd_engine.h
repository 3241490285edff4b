// svd_engine.h - the two SVD engines (GSL, LAPACK) on the tall orientation, and the
// products that form the inverse from their factors.
// Private to the library; not installed.
#ifndef ZOR_FEEDBACK_SVD_ENGINE_H
#define ZOR_FEEDBACK_SVD_ENGINE_H

#include <armadillo>
#include <cstddef>
#include <vector>

#include "gsl_handles.h"
#include "zor_feedback/arma.h"

namespace zor_feedback {
namespace detail {

// dest = transpose of src.
GslMatrix transposed_copy(const GslMatrix& src);

// The SVD of the tall working matrix A = U diag(S) V^T (n1 x n2, n1 >= n2,
// S non-increasing): A is the matrix R itself when it has more rows than
// columns, else its transpose. Each engine keeps U in the layout it delivers.
class TallSvd {
 public:
  // Decomposes R (consumed). False when the decomposition does not converge
  // (lapack only; GSL reports nothing).
  bool decompose(SvdMethod method, GslMatrix R, bool tall);
  const GslMatrix& V() const { return V_; }
  const GslVector& S() const { return S_; }
  // U * X (n1 x n2, row-major) for X (n2 x n2, row-major).
  GslMatrix times_u(const GslMatrix& X) const;
  // U^T * b (n2) for b (n1).
  std::vector<double> ut_times(const std::vector<double>& b) const;

 private:
  SvdMethod method_ = SvdMethod::gsl;
  GslMatrix U_;   // gsl: row-major, in the matrix GSL decomposed
  arma::mat Uc_;  // lapack: column-major, as LAPACK delivers it; U = Q Uc_ when Q_ is set
  arma::mat Q_;   // lapack, a much taller than wide matrix: the Q of A = Q R
  GslMatrix V_;
  GslVector S_;
};

// SI * V^T, SI the diagonal matrix of the reciprocals 1 / S[i] of the
// singular values above `cutoff` (0 for the others), bit for bit as
// gsl_blas_dgemm forms it.
GslMatrix scaled_transpose(const GslVector& S, double cutoff, const GslMatrix& V);

}  // namespace detail
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_SVD_ENGINE_H
