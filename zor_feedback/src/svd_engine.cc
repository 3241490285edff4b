#include "svd_engine.h"

#include <gsl/gsl_blas.h>
#include <gsl/gsl_cblas.h>
#include <gsl/gsl_linalg.h>

#include <algorithm>
#include <utility>

#include "tolerance.h"

namespace zor_feedback {
namespace detail {

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

std::vector<double> TallSvd::ut_times(const std::vector<double>& b) const {
  if (method_ == SvdMethod::gsl) {
    std::vector<double> y(U_.size2(), 0.0);
    for (std::size_t i = 0; i < U_.size1(); ++i)
      for (std::size_t j = 0; j < U_.size2(); ++j) y[j] += U_(i, j) * b[i];
    return y;
  }
  const arma::vec bv(b);
  const arma::vec y = Q_.is_empty() ? arma::vec(Uc_.t() * bv) : arma::vec(Uc_.t() * (Q_.t() * bv));
  return arma::conv_to<std::vector<double>>::from(y);
}

// Each stage is stored as float and the exponent comes from a single-precision
// logarithm, so that the tolerance written back is the same float to the last

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

}  // namespace detail
}  // namespace zor_feedback

namespace zor_feedback {

const char* svd_method_name(SvdMethod method) { return method == SvdMethod::lapack ? "lapack" : "gsl"; }

bool parse_svd_method(const std::string& name, SvdMethod* method) {
  if (name != "gsl" && name != "lapack") return false;
  *method = name == "gsl" ? SvdMethod::gsl : SvdMethod::lapack;
  return true;
}

}  // namespace zor_feedback
