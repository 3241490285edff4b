// svd_steps.h - the steps of the two inversions: operand checks, the
// decompositions, the tolerances, the cut-off and the products, and the
// pseudo-inverse as Armadillo forms it. Private to the library; not installed.
#ifndef ZOR_FEEDBACK_SVD_STEPS_H
#define ZOR_FEEDBACK_SVD_STEPS_H

#include <armadillo>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <string>
#include <vector>

#include "zor_feedback/gsl_handles.h"
#include "zor_feedback/log_line.h"
#include "zor_feedback/zor_feedback.h"

namespace zor_feedback {
namespace detail {

// Machine epsilon of double, 2^-52.
constexpr double kDoubleEpsilon = 2.220446049250313e-16;
// Bit of OVRIX_debug that selects the tables of intermediate results.
constexpr int kInversionTables = 128;

using InversionClock = std::chrono::steady_clock;
double elapsed_ms(InversionClock::time_point t0);

// The checks both inversions make before they touch anything: this matrix is
// a non-empty two-dimensional array and pinvR has its transposed shape.
// Returns the logged error line, empty when all is well.
std::string check_operands(const char* origin, const QTEV_ResponseMatrix& self,
                           const QTEV_ResponseMatrix& pinvR);

// Logs and returns an error line when an element is NaN or infinite (GSL's
// SVD may then fail to converge and call the aborting error handler, and any
// inverse would be meaningless for the machine); empty otherwise.
// `element(i, j)` reads one.
template <typename Element>
std::string check_finite(const char* origin, int rows, int cols, Element element) {
  std::size_t bad = 0;
  int first_row = -1;
  int first_col = -1;
  for (int i = 0; i < rows; ++i)
    for (int j = 0; j < cols; ++j)
      if (!std::isfinite(element(i, j)) && bad++ == 0) {
        first_row = i;
        first_col = j;
      }
  if (bad == 0) return {};
  return log_line(origin, DF_LOG,
                  "ERROR: matrix holds %zu non-finite values, first at (%d, %d); not inverted", bad,
                  first_row, first_col);
}

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

 private:
  SvdMethod method_ = SvdMethod::gsl;
  GslMatrix U_;   // gsl: row-major, in the matrix GSL decomposed
  arma::mat Uc_;  // lapack: column-major, as LAPACK delivers it; U = Q Uc_ when Q_ is set
  arma::mat Q_;   // lapack, a much taller than wide matrix: the Q of A = Q R
  GslMatrix V_;
  GslVector S_;
};

// The internal tolerance: max(rows, cols) * eps * max(S), rounded to two
// significant digits, each stage stored as float. A zero max(S) gives NaN.
float internal_svd_tolerance(int rows, int cols, double s_max);

// Whether singular value s enters the inverse: s > tol * max(S) (relative,
// strict; a NaN cut-off drops every value).
inline bool passes_cutoff(double s, double cutoff) { return s > cutoff; }
// Whether element v of the inverse is stored: |v| > tol (absolute, strict).
inline bool survives_clear(double v, double tol) { return std::fabs(v) > tol; }

// The float tolerance with fewest significant digits for which exactly
// `modes` of the non-increasing values S pass the cut-off. False, with the
// index of the value that prevents it in *blocking, when none does: S[modes-1]
// equals S[modes], or S[modes-1] is 0.
bool tolerance_keeping(const GslVector& S, int modes, float* tol, int* blocking);

// SI * V^T, SI the diagonal matrix of the reciprocals 1 / S[i] of the
// singular values above `cutoff` (0 for the others), bit for bit as
// gsl_blas_dgemm forms it.
GslMatrix scaled_transpose(const GslVector& S, double cutoff, const GslMatrix& V);

void print_vector_table(const char* heading, const GslVector& v);

// What the double role of the tolerance did to the inverse, from the counts
// in `rep`: an INFO line (flags 128) whenever elements were cleared, and a
// "WARNING: ..." line (DF_LOG, also kept in rep->warnings) when the inverse is
// all zero for a non-zero matrix or lost an element above 1e-6 of its largest.
void report_clearing(const char* origin, double tol, SvdReport* rep);

// The warning of a pinv whose result is all zero for a non-zero matrix:
// whether the input floor cleared it all, or the result lies below 2^-52.
std::string warn_zero_pinv(const char* origin, bool input_cleared_all, double floor, long long cleared);

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

#endif  // ZOR_FEEDBACK_SVD_STEPS_H
