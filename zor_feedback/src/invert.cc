#include <gsl/gsl_blas.h>
#include <gsl/gsl_math.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <iostream>
#include <limits>
#include <string>
#include <utility>

#include "classic_floor.h"
#include "gsl_handles.h"
#include "inversion_checks.h"
#include "inversion_messages.h"
#include "log_line.h"
#include "matrix_file.h"
#include "svd_engine.h"
#include "tolerance.h"
#include "zor_feedback/zor_feedback.h"

using namespace zor_feedback::detail;
using zor_feedback::PinvReport;
using zor_feedback::SvdReport;

// ---------------------------------------------------------------------------
// Inversions
//
// The two inversions of a response matrix: by an SVD with a cut-off on the
// singular values (invert), and by Armadillo's pseudo-inverse with a floor on
// small elements (pinv). Each computes into a report; the signatures with
// pointers are facades over it.
//
// Both check their operands first and refuse, with an "ERROR: ..." line and
// every output left as it was, what would otherwise write outside a matrix,
// reach GSL's error handler (which aborts the server) or quietly hand the
// machine a meaningless inverse: a missing pointer, a result matrix of the
// wrong shape, an empty or non-two-dimensional matrix, NaN or infinite
// elements. All arithmetic goes into temporaries; the outputs are written only
// when nothing can fail any more.

void QTEV_ResponseMatrix::invert(QTEV_ResponseMatrix& pinvR, D_spectrum& singular_val, float* tol,
                                 int* nosv) {
  if (tol == nullptr || nosv == nullptr) {
    log_line("QTEV_ResponseMatrix::invert", DF_LOG, "ERROR: null tol or nosv pointer; not inverted");
    return;
  }
  invert_svd(pinvR, singular_val, *tol, nullptr, tol, nosv);
}

SvdReport QTEV_ResponseMatrix::invert_report(QTEV_ResponseMatrix& pinvR, D_spectrum& singular_val,
                                             float tol) {
  return invert_svd(pinvR, singular_val, tol, nullptr, nullptr, nullptr);
}

SvdReport QTEV_ResponseMatrix::invert_keep(QTEV_ResponseMatrix& pinvR, D_spectrum& singular_val, int modes) {
  return invert_svd(pinvR, singular_val, 0.0f, &modes, nullptr, nullptr);
}

// Reads this matrix (m x n); writes pinvR (n x m) and singular_val (min(m, n)
// points). The cut-off of the inverse is relative: s is inverted when
// s > tol * max(S) (strict). The count nosv is absolute: the values not below
// tol (strict), less those whose reciprocal is infinite. Result elements with
// |v| <= tol (absolute) are stored as 0.
SvdReport QTEV_ResponseMatrix::invert_svd(QTEV_ResponseMatrix& pinvR, D_spectrum& singular_val, float tol,
                                          const int* keep, float* tol_out, int* nosv_out) {
  static const char* const name = "QTEV_ResponseMatrix::invert";
  const auto t0 = InversionClock::now();
  SvdReport rep;
  rep.method = svd_method_;
  rep.rows = rows;
  rep.cols = cols;

  // A NaN cut-off would drop every singular value and hand the machine an
  // all-zero inverse without a word.
  if (keep == nullptr && std::isnan(tol)) {
    rep.error = log_line(name, DF_LOG, "ERROR: SVD cut off tolerance is not a number; not inverted");
    return rep;
  }
  rep.error = check_operands(name, *this, pinvR);
  if (!rep.error.empty()) return rep;
  if (keep != nullptr && (*keep < 1 || *keep > std::min(rows, cols))) {
    rep.error = log_line(name, DF_LOG, "ERROR: cannot keep %d of %d singular values; not inverted", *keep,
                         std::min(rows, cols));
    return rep;
  }
  GslMatrix R = create_gsl_matrix();
  if (!R) return rep;  // cannot happen after the checks above; never hand GSL an empty matrix
  rep.error = check_finite(name, rows, cols, [&R](int i, int j) {
    return R(static_cast<std::size_t>(i), static_cast<std::size_t>(j));
  });
  if (!rep.error.empty()) return rep;

  // The working dimensions; once the orientation is settled wrows <= wcols,
  // and wrows is the number of singular values.
  int wrows = static_cast<int>(R.size1());
  int wcols = static_cast<int>(R.size2());
  log_line(name, kInfo, "INFO: SVD on %d x %d matrix ...", wrows, wcols);

  // The decompositions want at least as many rows as columns: a tall matrix
  // is decomposed as it is, another one as its transpose (the working matrix
  // is then the transpose of what was decomposed).
  rep.transposed = wrows > wcols;
  if (rep.transposed) {
    log_line(name, kInfo, "INFO: M < N transposing matrix ...");
    std::swap(wrows, wcols);
    log_line(name, kInfo, "INFO: matrix dim changed to: %d x %d", wrows, wcols);
  }
  const auto nr = static_cast<std::size_t>(wrows);

  // The decomposed matrix (wcols x wrows) = U diag(S) V^T.
  if (svd_method_ == zor_feedback::SvdMethod::lapack)
    log_line(name, kInfo, "INFO: SVD by LAPACK's divide and conquer (dgesdd)");
  TallSvd svd;
  if (!svd.decompose(svd_method_, std::move(R), rep.transposed)) {
    rep.error = log_line(name, DF_LOG, "ERROR: LAPACK's SVD (dgesdd) did not converge; not inverted");
    return rep;
  }
  const GslMatrix& V = svd.V();
  const GslVector& S = svd.S();
  const double s_max = gsl_vector_max(S.get());
  for (std::size_t i = 0; i < nr; ++i) rep.singular_values.push_back(S[i]);

  float used_tol = tol;
  if (keep != nullptr) {
    int blocking = 0;
    if (!tolerance_keeping(S, *keep, &used_tol, &blocking)) {
      const auto b = static_cast<std::size_t>(blocking);
      if (S[b] == 0.0)
        rep.error = log_line(name, DF_LOG,
                             "ERROR: no tolerance keeps %d values: s[%d] is 0 and cannot pass; not inverted",
                             *keep, blocking);
      else
        rep.error =
            log_line(name, DF_LOG, "ERROR: no tolerance keeps exactly %d values: s[%d] = %.9e, s[%d] = %.9e",
                     *keep, blocking - 1, S[b - 1], blocking, S[b]);
      return rep;
    }
    log_line(name, kInfo, "INFO: Using user provided SVD cut off tolerance: %e",
             static_cast<double>(used_tol));
  } else if (used_tol == -1.0f) {
    used_tol = internal_svd_tolerance(wrows, wcols, s_max);
    rep.internal_tolerance = true;
    log_line(name, kInfo, "INFO: Using internal tolerance for SVD cut off: %e",
             static_cast<double>(used_tol));
  } else {
    log_line(name, kInfo, "INFO: Using user provided SVD cut off tolerance: %e",
             static_cast<double>(used_tol));
  }
  rep.tol = used_tol;
  const bool tables = (OVRIX_debug & kInversionTables) != 0;
  if (tables) print_vector_table("S\n----------------------------------------", S);

  // Relative cut-off: the internal tolerance already holds max(S) and is
  // multiplied by it once more. Strict, so a NaN cut-off drops every value.
  rep.cutoff = static_cast<double>(used_tol) * s_max;
  GslMatrix SIpVT = scaled_transpose(S, rep.cutoff, V);
  const GslMatrix R_plus = svd.times_u(SIpVT);

  // The count for the report uses the absolute tolerance, not the cut-off.
  GslVector oos(nr);
  gsl_vector_set_all(oos.get(), 1.0);
  gsl_vector_div(oos.get(), S.get());
  for (std::size_t i = 0; i < nr; ++i) {
    if (gsl_isinf(oos[i]) != 0) {
      oos[i] = 0.0;
      ++rep.infinite;
    } else if (S[i] < static_cast<double>(used_tol)) {
      oos[i] = 0.0;
      ++rep.below_tol;
    }
    if (passes_cutoff(S[i], rep.cutoff)) ++rep.used;
  }
  rep.nosv = wrows - rep.infinite - rep.below_tol;
  if (rep.infinite > 0) log_line(name, kInfo, "INFO: Removed %d infinite values from S", rep.infinite);
  log_line(name, kInfo, "INFO: Using %d from %d singular values", rep.nosv, wrows);
  if (tables) print_vector_table("1/s\n----------------------------------------", oos);

  // R_plus is wcols x wrows: n x m, the shape of the result, unless the
  // matrix was transposed; then wrows = n and wcols = m, and the result is
  // R_plus transposed, read as such below rather than copied.
  const bool transposed = rep.transposed;
  if (transposed) std::cout << "INFO: Matrix dim change back to: " << wrows << " x " << wcols << '\n';
  const auto out_rows = transposed ? R_plus.size2() : R_plus.size1();
  const auto out_cols = transposed ? R_plus.size1() : R_plus.size2();
  const auto result = [&R_plus, transposed](std::size_t i, std::size_t j) {
    return transposed ? R_plus(j, i) : R_plus(i, j);
  };
  if (tables) {
    std::puts("\npinv(A)\n----------------------------------------");
    for (std::size_t i = 0; i < out_rows; ++i) {
      for (std::size_t j = 0; j < out_cols; ++j) std::printf("%.4f\t", result(i, j));
      std::putchar('\n');
    }
  }

  // Outputs, all computed: the spectrum (every singular value, also those cut
  // off), the result with elements |v| <= tol cleared, the tolerance, the
  // count. Nothing before them allocates after the first is written.
  singular_val.set_length(static_cast<int>(nr));
  for (std::size_t i = 0; i < nr; ++i)
    singular_val.fill_spectrum(static_cast<int>(i), static_cast<float>(S[i]));
  const double clip = static_cast<double>(used_tol);
  bool all_zero = true;
  for (std::size_t i = 0; i < out_rows; ++i)
    for (std::size_t j = 0; j < out_cols; ++j) {
      const double v = result(i, j);
      const double a = std::fabs(v);
      if (a > rep.largest_element) rep.largest_element = a;
      float f = 0.0f;
      if (survives_clear(v, clip)) {
        f = static_cast<float>(v);
      } else if (v != 0.0 && !std::isnan(v)) {
        ++rep.elements_cleared;
        if (a > rep.largest_cleared) rep.largest_cleared = a;
      }
      all_zero = all_zero && f == 0.0f;
      pinvR.set_value(f, static_cast<int>(i), static_cast<int>(j), -1, -1, -1, -1);
    }
  if (tol_out != nullptr) *tol_out = used_tol;
  if (nosv_out != nullptr) *nosv_out = rep.nosv;
  rep.zero_inverse = all_zero && s_max > 0.0;

  const double s_min = S[nr - 1];
  rep.condition_number = s_min == 0.0 ? HUGE_VAL : s_max / s_min;
  rep.condition_number_used = rep.used > 0 ? s_max / S[static_cast<std::size_t>(rep.used - 1)]
                                           : std::numeric_limits<double>::quiet_NaN();

  report_clearing(name, clip, &rep);

  rep.time_ms = elapsed_ms(t0);
  log_line(name, kTiming, "took (ms): %.4f", rep.time_ms);
  rep.ok = true;
  return rep;
}
