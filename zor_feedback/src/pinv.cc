// The pseudo-inverse with a floor on small elements, as Armadillo's pinv forms it.
#include <algorithm>
#include <armadillo>
#include <cmath>
#include <string>
#include <utility>

#include "arma_pinv.h"
#include "inversion_checks.h"
#include "inversion_messages.h"
#include "log_line.h"
#include "zor_feedback/arma.h"

using namespace zor_feedback::detail;
using zor_feedback::PinvReport;

// Pseudo-inverse with tolerance
//
// Reads this matrix (m x n) and the floor; writes pinvR (n x m). On a copy,
// input elements with 0 < |a| < tolerance (absolute, strict) are cleared;
// then Armadillo's pinv (its default tolerance, divide-and-conquer SVD);
// result elements with 0 < |b| < 2^-52 are cleared. Armadillo's failure
// ("pinv(): svd failed", std::runtime_error) propagates with pinvR unchanged.

namespace {

// Clears the elements with 0 < |x| < floor (absolute, strict); how many.
long long clear_below(arma::mat& M, double floor) {
  long long n = 0;
  for (double& x : M)
    if (std::fabs(x) < floor && x != 0.0) {
      x = 0.0;
      ++n;
    }
  return n;
}

}  // namespace

void QTEV_ResponseMatrix::pinv(QTEV_ResponseMatrix& pinvR, float* tolerance) {
  if (tolerance == nullptr) {
    log_line("QTEV_ResponseMatrix::pinv", DF_LOG, "ERROR: null tolerance pointer; not inverted");
    return;
  }
  pinv_report(pinvR, *tolerance);
}

PinvReport QTEV_ResponseMatrix::pinv_report(QTEV_ResponseMatrix& pinvR, float tolerance) {
  static const char* const name = "QTEV_ResponseMatrix::pinv";
  const auto t0 = InversionClock::now();
  PinvReport rep;
  rep.rows = rows;
  rep.cols = cols;
  rep.tol = tolerance;

  rep.error = check_operands(name, *this, pinvR);
  if (!rep.error.empty()) return rep;
  arma::mat A = QTEV2arma_mat(*this);
  // A scan in storage order first; the row-by-row one, which names the first
  // bad element, only when there is one.
  if (!A.is_finite()) {
    rep.error = check_finite(name, rows, cols, [&A](int i, int j) {
      return A.at(static_cast<arma::uword>(i), static_cast<arma::uword>(j));
    });
    if (!rep.error.empty()) return rep;
  }

  const double floor_in = static_cast<double>(tolerance);
  rep.input_cleared = clear_below(A, floor_in);
  if (rep.input_cleared > 0)
    log_line(name, kInfo, "removed %d values (< %.g) in input\n", static_cast<int>(rep.input_cleared),
             floor_in);

  ArmaPinv P;
  if (!arma_pinv(std::move(A), &P)) arma::arma_stop_runtime_error("pinv(): svd failed");
  rep.path = P.path;
  rep.singular_values = std::move(P.values);
  rep.threshold = P.threshold;
  rep.used = P.rank;

  rep.elements_cleared = clear_below(P.B, kDoubleEpsilon);
  if (rep.elements_cleared > 0)
    log_line(name, kInfo, "removed %d values (< %.g) in inverse\n", static_cast<int>(rep.elements_cleared),
             kDoubleEpsilon);
  // Usually settled by the first element; the rest only for a zero result.
  const bool all_zero =
      std::none_of(P.B.begin(), P.B.end(), [](double b) { return static_cast<float>(b) != 0.0f; });

  pinvR.arma_mat2QTEV(std::move(P.B));

  if (all_zero) {
    long long nonzero = 0;
    for (int i = 0; i < rows; ++i)
      for (int j = 0; j < cols; ++j) nonzero += value(i, j, -1, -1, -1, -1) != 0.0f ? 1 : 0;
    rep.zero_inverse = nonzero > 0;
    if (rep.zero_inverse)
      rep.warnings.push_back(warn_zero_pinv(name, nonzero == rep.input_cleared, floor_in, rep.input_cleared));
  }

  rep.time_ms = elapsed_ms(t0);
  log_line(name, kTiming, "took (ms): %.4f", rep.time_ms);
  rep.ok = true;
  return rep;
}
