#include "arma_pinv.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>

#include "inversion_checks.h"

namespace zor_feedback {
namespace detail {

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
}  // namespace zor_feedback
