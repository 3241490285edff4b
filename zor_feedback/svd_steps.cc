#include "zor_feedback/svd_steps.h"

#include <gsl/gsl_blas.h>
#include <gsl/gsl_cblas.h>
#include <gsl/gsl_linalg.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <limits>

namespace zor_feedback {
namespace detail {

double elapsed_ms(InversionClock::time_point t0) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(InversionClock::now() - t0).count();
  return static_cast<double>(ns) / 1e9 * 1000.0;
}

std::string check_operands(const char* origin, const QTEV_ResponseMatrix& self,
                           const QTEV_ResponseMatrix& pinvR) {
  if (self.num_dims() != 2)
    return log_line(origin, DF_LOG, "ERROR: matrix has %d dimensions, needs 2; not inverted",
                    self.num_dims());
  if (self.rows <= 0 || self.cols <= 0)
    return log_line(origin, DF_LOG, "ERROR: cannot invert an empty matrix (%d x %d)", self.rows, self.cols);
  if (pinvR.num_dims() != 2 || pinvR.rows != self.cols || pinvR.cols != self.rows)
    return log_line(origin, DF_LOG,
                    "ERROR: Dimension mismatch: dim(pinvR) (%d x %d) must be %d x %d for dim(this) (%d x %d)",
                    pinvR.rows, pinvR.cols, self.cols, self.rows, self.rows, self.cols);
  return {};
}

GslMatrix transposed_copy(const GslMatrix& src) {
  GslMatrix dest(src.size2(), src.size1(), GslMatrix::Fill::none);
  gsl_matrix_transpose_memcpy(dest.get(), src.get());
  return dest;
}

namespace {

// The thin QR decomposition A = Q R of a column-major n1 x n2 matrix, n1 >=
// n2, by LAPACK (dgeqrf, dorgqr): Q n1 x n2 with orthonormal columns, R upper
// triangular n2 x n2. A is overwritten.
bool qr_thin(arma::mat& A, arma::mat* Q, arma::mat* R) {
  using arma::blas_int;
  blas_int m = static_cast<blas_int>(A.n_rows), n = static_cast<blas_int>(A.n_cols), info = 0;
  arma::vec tau(A.n_cols);
  double size_qr = 0.0, size_q = 0.0;
  blas_int query = -1;
  arma::lapack::geqrf(&m, &n, A.memptr(), &m, tau.memptr(), &size_qr, &query, &info);
  arma::lapack::orgqr(&m, &n, &n, A.memptr(), &m, tau.memptr(), &size_q, &query, &info);
  blas_int lwork = std::max({n, static_cast<blas_int>(size_qr), static_cast<blas_int>(size_q)});
  arma::vec work(static_cast<arma::uword>(lwork));
  arma::lapack::geqrf(&m, &n, A.memptr(), &m, tau.memptr(), work.memptr(), &lwork, &info);
  if (info != 0) return false;
  *R = arma::trimatu(A.head_rows(A.n_cols));
  arma::lapack::orgqr(&m, &n, &n, A.memptr(), &m, tau.memptr(), work.memptr(), &lwork, &info);
  if (info != 0) return false;
  // Moving a matrix on borrowed memory would borrow it too: that one is copied.
  if (A.mem_state == 0)
    *Q = std::move(A);
  else
    *Q = A;
  return true;
}

}  // namespace

bool TallSvd::decompose(SvdMethod method, GslMatrix R, bool tall) {
  method_ = method;
  const std::size_t n2 = tall ? R.size2() : R.size1();
  V_ = GslMatrix(n2, n2);
  S_ = GslVector(n2);
  if (method == SvdMethod::gsl) {
    U_ = tall ? std::move(R) : transposed_copy(R);
    GslVector work(n2);
    gsl_linalg_SV_decomp(U_.get(), V_.get(), S_.get(), work.get());
    return true;
  }
  // LAPACK is column-major, and its divide and conquer is faster on a tall
  // matrix than on a wide one. R's row-major storage, read column-major, is
  // R^T: the tall matrix itself for a wide R, which needs no copy (LAPACK may
  // overwrite it; R is ours); a tall R is transposed once.
  arma::mat view(R.get()->data, R.size2(), R.size1(), /*copy_aux_mem=*/false, /*strict=*/true);
  arma::mat A;
  if (tall) A = view.t();
  arma::mat& T = tall ? A : view;
  arma::mat Vc;
  arma::vec s;
  // Much taller than wide (where dgesdd itself starts with a QR, at 11/6):
  // A = Q R, R = Ur S V^T, and U = Q Ur is never formed, which saves the
  // product of that size that dgesdd would make; times_u applies Q and Ur.
  if (6 * T.n_rows >= 11 * n2) {
    arma::mat Rq;
    if (!qr_thin(T, &Q_, &Rq) || !arma::auxlib::svd_dc_econ(Uc_, s, Vc, Rq)) return false;
  } else if (!arma::auxlib::svd_dc_econ(Uc_, s, Vc, T)) {
    return false;
  }
  arma::mat(V_.get()->data, n2, n2, false, true) = Vc.t();
  for (std::size_t i = 0; i < n2; ++i) S_[i] = s[i];
  return true;
}

GslMatrix TallSvd::times_u(const GslMatrix& X) const {
  const std::size_t n2 = X.size1();
  if (method_ == SvdMethod::gsl) {
    GslMatrix P(U_.size1(), n2, GslMatrix::Fill::none);
    gsl_blas_dgemm(CblasNoTrans, CblasNoTrans, 1.0, U_.get(), X.get(), 0.0, P.get());
    return P;
  }
  // P row-major is P^T column-major, and P^T = X^T U^T: X's row-major storage
  // is X^T column-major, U is column-major. With U = Q Ur, P^T = (X^T Ur^T) Q^T.
  const auto i2 = static_cast<int>(n2);
  const arma::mat* U = &Uc_;
  arma::mat W;
  if (!Q_.is_empty()) {
    W.set_size(n2, n2);
    cblas_dgemm(CblasColMajor, CblasNoTrans, CblasTrans, i2, i2, i2, 1.0, X.get()->data, i2, Uc_.memptr(), i2,
                0.0, W.memptr(), i2);
  }
  const std::size_t n1 = Q_.is_empty() ? Uc_.n_rows : Q_.n_rows;
  const auto i1 = static_cast<int>(n1);
  GslMatrix P(n1, n2, GslMatrix::Fill::none);
  if (Q_.is_empty())
    cblas_dgemm(CblasColMajor, CblasNoTrans, CblasTrans, i2, i1, i2, 1.0, X.get()->data, i2, U->memptr(), i1,
                0.0, P.get()->data, i2);
  else
    cblas_dgemm(CblasColMajor, CblasNoTrans, CblasTrans, i2, i1, i2, 1.0, W.memptr(), i2, Q_.memptr(), i1,
                0.0, P.get()->data, i2);
  return P;
}

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

// The smallest float of `digits` significant digits not below v.
float round_up_to_digits(double v, int digits) {
  const double scale = std::pow(10.0, std::floor(std::log10(v)) - (digits - 1));
  return static_cast<float>(std::ceil(v / scale) * scale);
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
  // Just above the first value dropped: the tolerance is also the absolute
  // floor of the inverse's elements, so the smallest that keeps the count
  // clears the least. As few digits as keep the count, for the operator.
  const double lowest = first_dropped / S[0];
  for (int digits = 1; digits <= 9; ++digits) {
    const float t = round_up_to_digits(lowest, digits);
    if (count_passing(S, t) == modes) {
      *tol = t;
      return true;
    }
  }
  // Rounding up overshot the last value kept: the two lie closer than nine
  // digits. Walk the floats down from just below the larger ratio.
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

// Row i of V^T scaled by SI(i, i). Each element of the product has a single
// non-zero term; gemm sums it onto +0 with the zero terms, which changes
// nothing but turns a zero result of either sign into +0, hence the "+ 0.0".
// So the scaling gives the product's bits, unless a non-zero term underflows
// to zero: the sign of that zero then depends on the order of the BLAS's
// sums, and the product is formed by gsl_blas_dgemm after all.
GslMatrix scaled_transpose(const GslVector& S, double cutoff, const GslMatrix& V) {
  const std::size_t n = S.size();
  GslMatrix SIpVT(n, n, GslMatrix::Fill::none);
  bool underflow = false;
  for (std::size_t i = 0; i < n; ++i) {
    const double si = passes_cutoff(S[i], cutoff) ? 1.0 / S[i] : 0.0;
    for (std::size_t j = 0; j < n; ++j) {
      const double x = si * V(j, i);
      underflow = underflow || (x == 0.0 && si != 0.0 && V(j, i) != 0.0);
      SIpVT(i, j) = x + 0.0;
    }
  }
  if (underflow) {
    GslMatrix SI(n, n);
    for (std::size_t i = 0; i < n; ++i) SI(i, i) = passes_cutoff(S[i], cutoff) ? 1.0 / S[i] : 0.0;
    const GslMatrix VT = transposed_copy(V);
    gsl_blas_dgemm(CblasNoTrans, CblasNoTrans, 1.0, SI.get(), VT.get(), 0.0, SIpVT.get());
  }
  return SIpVT;
}

void print_vector_table(const char* heading, const GslVector& v) {
  std::puts(heading);
  for (std::size_t i = 0; i < v.size(); ++i) std::printf("%f  ", v[i]);
  std::putchar('\n');
}

void report_clearing(const char* origin, double tol, SvdReport* rep) {
  if (rep->elements_cleared > 0)
    log_line(origin, kInfo, "INFO: Cleared %lld elements |v| <= tol from the inverse, largest %e",
             rep->elements_cleared, rep->largest_cleared);
  std::string warning;
  if (rep->zero_inverse && rep->used == 0)
    warning = log_line(
        origin, DF_LOG,
        "WARNING: all-zero inverse: no singular value is above the cut-off tol*max(S) = %.3e; lower tol",
        rep->cutoff);
  else if (rep->zero_inverse && rep->elements_cleared > 0)
    warning = log_line(
        origin, DF_LOG,
        "WARNING: all-zero inverse: tol %.3e also clears every element |v| <= tol; lower tol or units", tol);
  else if (rep->zero_inverse)
    warning =
        log_line(origin, DF_LOG,
                 "WARNING: all-zero inverse: its elements lie below the float range; rescale the matrix");
  else if (rep->elements_cleared > 0 && rep->largest_cleared > 1e-6 * rep->largest_element)
    warning =
        log_line(origin, DF_LOG,
                 "WARNING: tol %.3e cleared %lld elements up to %.3e (|v| <= tol); lower tol or change units",
                 tol, rep->elements_cleared, rep->largest_cleared);
  if (!warning.empty()) rep->warnings.push_back(std::move(warning));
}

std::string warn_zero_pinv(const char* origin, bool input_cleared_all, double floor, long long cleared) {
  if (input_cleared_all)
    return log_line(
        origin, DF_LOG,
        "WARNING: all-zero inverse: tolerance %.3e cleared all %lld non-zero input elements; lower it", floor,
        cleared);
  return log_line(origin, DF_LOG,
                  "WARNING: all-zero inverse of a non-zero matrix: its elements lie below 2^-52; rescale it");
}

// ---------------------------------------------------------------------------
// Armadillo's pinv(A) with tolerance 0 and the default method, written out
// (armadillo_bits/op_pinv_meat.hpp of the Armadillo the library is built
// with). Armadillo's own internals are called where pinv calls them, so that
// every path gives pinv's bits; the tests hold the two against each other.

namespace {

using arma::uword;

void fill_values(ArmaPinv* out, const arma::vec& magnitudes, double tol) {
  out->values.assign(magnitudes.begin(), magnitudes.end());
  std::sort(out->values.begin(), out->values.end(), std::greater<double>());
  out->threshold = tol;
}

bool pinv_diagonal(const arma::mat& A, ArmaPinv* out) {
  arma::mat& B = out->B;
  B.zeros(A.n_cols, A.n_rows);
  const uword N = std::min(A.n_rows, A.n_cols);
  arma::vec abs_vals(N);
  double max_abs = 0.0;
  for (uword i = 0; i < N; ++i) {
    const double Aii = A.at(i, i);
    if (std::isnan(Aii)) return false;
    abs_vals[i] = std::abs(Aii);
    max_abs = abs_vals[i] > max_abs ? abs_vals[i] : max_abs;
  }
  const double tol = static_cast<double>(std::max(A.n_rows, A.n_cols)) * max_abs * kDoubleEpsilon;
  for (uword i = 0; i < N; ++i)
    if (abs_vals[i] >= tol && A.at(i, i) != 0.0) {
      B.at(i, i) = 1.0 / A.at(i, i);
      ++out->rank;
    }
  out->path = PinvPath::diagonal;
  fill_values(out, abs_vals, tol);
  return true;
}

bool pinv_symmetric(const arma::mat& A, ArmaPinv* out) {
  arma::vec eigval;
  arma::mat eigvec;
  if (!arma::auxlib::eig_sym_dc(eigval, eigvec, A)) return false;
  out->path = PinvPath::symmetric;
  if (eigval.n_elem == 0) {
    out->B.zeros(A.n_cols, A.n_rows);
    return true;
  }
  arma::vec abs_eigval = arma::abs(eigval);
  const arma::uvec indices = arma::sort_index(abs_eigval, "descend");
  abs_eigval = abs_eigval.elem(indices);
  eigval = eigval.elem(indices);
  eigvec = eigvec.cols(indices);
  const double tol = static_cast<double>(std::max(A.n_rows, A.n_cols)) * abs_eigval[0] * kDoubleEpsilon;
  fill_values(out, abs_eigval, tol);
  uword count = 0;
  for (uword i = 0; i < abs_eigval.n_elem; ++i) count += (abs_eigval[i] >= tol) ? 1u : 0u;
  if (count == 0) {
    out->B.zeros(A.n_cols, A.n_rows);
    return true;
  }
  arma::vec eigval2(count, arma::fill::none);
  uword count2 = 0;
  for (uword i = 0; i < eigval.n_elem; ++i)
    if (abs_eigval[i] >= tol) {
      eigval2[count2] = (eigval[i] != 0.0) ? 1.0 / eigval[i] : 0.0;
      out->rank += eigval[i] != 0.0 ? 1 : 0;
      ++count2;
    }
  const arma::mat eigvec_use(eigvec.memptr(), eigvec.n_rows, count, false);
  out->B = (eigvec_use * arma::diagmat(eigval2)).eval() * eigvec_use.t();
  return true;
}

bool pinv_general(arma::mat& A, ArmaPinv* out) {
  const uword n_rows = A.n_rows;
  const uword n_cols = A.n_cols;
  arma::mat U;
  arma::vec s;
  arma::mat V;
  if (n_cols > n_rows) A = arma::trans(A);
  if (!arma::auxlib::svd_dc_econ(U, s, V, A)) return false;
  out->path = PinvPath::svd;
  double tol = 0.0;
  if (s.n_elem > 0) tol = static_cast<double>(std::max(n_rows, n_cols)) * s[0] * kDoubleEpsilon;
  fill_values(out, s, tol);
  uword count = 0;
  for (uword i = 0; i < s.n_elem; ++i) count += (s[i] >= tol) ? 1u : 0u;
  if (count == 0) {
    out->B.zeros(n_cols, n_rows);
    return true;
  }
  arma::vec s2(count, arma::fill::none);
  uword count2 = 0;
  for (uword i = 0; i < s.n_elem; ++i)
    if (s[i] >= tol) {
      s2[count2] = (s[i] > 0.0) ? 1.0 / s[i] : 0.0;
      out->rank += s[i] > 0.0 ? 1 : 0;
      ++count2;
    }
  const arma::mat U_use(U.memptr(), U.n_rows, count, false);
  const arma::mat V_use(V.memptr(), V.n_rows, count, false);
  arma::mat tmp;
  if (n_rows >= n_cols) {
    tmp = V_use * arma::diagmat(s2);
    out->B = tmp * arma::trans(U_use);
  } else {
    tmp = U_use * arma::diagmat(s2);
    out->B = tmp * arma::trans(V_use);
  }
  return true;
}

}  // namespace

bool arma_pinv(arma::mat A, ArmaPinv* out) {
  if (A.is_diagmat()) return pinv_diagonal(A, out);

  bool do_sym = false;
  bool do_sympd = false;
  const bool is_sym_size_ok = A.n_rows > 40;
  if (arma::arma_config::optimise_sympd && !arma::auxlib::crippled_lapack(A)) {
    bool is_approx_sym = false;
    bool is_approx_sympd = false;
    arma::sympd_helper::analyse_matrix(is_approx_sym, is_approx_sympd, A);
    do_sym = is_sym_size_ok && is_approx_sym;
    do_sympd = is_approx_sympd;
  }
  if (do_sympd) {
    out->B = A;
    bool is_sympd_junk = false;
    double rcond = 0.0;
    const double rcond_threshold =
        static_cast<double>(std::max(uword(100), A.n_rows)) * std::numeric_limits<double>::epsilon();
    if (arma::auxlib::inv_sympd_rcond(out->B, is_sympd_junk, rcond, rcond_threshold) &&
        std::isfinite(rcond)) {
      out->path = PinvPath::cholesky;
      out->threshold = std::numeric_limits<double>::quiet_NaN();
      out->rank = static_cast<int>(A.n_cols);
      return true;
    }
  }
  if (do_sym) return pinv_symmetric(A, out);
  return pinv_general(A, out);
}

}  // namespace detail

const char* svd_method_name(SvdMethod method) { return method == SvdMethod::lapack ? "lapack" : "gsl"; }

bool parse_svd_method(const std::string& name, SvdMethod* method) {
  if (name != "gsl" && name != "lapack") return false;
  *method = name == "gsl" ? SvdMethod::gsl : SvdMethod::lapack;
  return true;
}

}  // namespace zor_feedback
