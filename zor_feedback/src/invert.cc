#include <gsl/gsl_blas.h>
#include <gsl/gsl_math.h>

#include <algorithm>
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
#include "svd_engine.h"
#include "tolerance.h"
#include "zor_feedback/zor_feedback.h"

using namespace zor_feedback::detail;
using zor_feedback::SvdMethod;
using zor_feedback::SvdReport;

// The classic SVD inversion: invert, invert_report and invert_keep, facades
// over one computation in short phases (check, decompose, choose the cut,
// form, commit, report); only the commit writes outputs.
//
// It checks its operands first and refuse, with an "ERROR: ..." line and
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

namespace {

constexpr const char* kName = "QTEV_ResponseMatrix::invert";

// The working state of one classic inversion.
struct ClassicRun {
  SvdReport rep;
  TallSvd svd;
  int wrows = 0, wcols = 0;  // working dimensions: wrows <= wcols, wrows values
  double s_max = 0.0;
  float tol = 0.0f;
  bool tables = false;
};

// The checks before anything is computed; logs and keeps the refusal.
bool check(QTEV_ResponseMatrix& self, QTEV_ResponseMatrix& pinvR, float tol, const int* keep,
           SvdReport* rep) {
  // A NaN cut-off would drop every singular value and hand the machine an
  // all-zero inverse without a word.
  if (keep == nullptr && std::isnan(tol)) {
    rep->error = log_line(kName, DF_LOG, "ERROR: SVD cut off tolerance is not a number; not inverted");
    return false;
  }
  rep->error = check_operands(kName, self, pinvR);
  if (!rep->error.empty()) return false;
  if (keep != nullptr && (*keep < 1 || *keep > std::min(self.rows, self.cols))) {
    rep->error = log_line(kName, DF_LOG, "ERROR: cannot keep %d of %d singular values; not inverted", *keep,
                          std::min(self.rows, self.cols));
    return false;
  }
  return true;
}

// Orientation and decomposition: a tall matrix is decomposed as it is,
// another one as its transpose (the working matrix is then the transpose of
// what was decomposed).
bool decompose(GslMatrix R, SvdMethod method, ClassicRun* run) {
  SvdReport& rep = run->rep;
  run->wrows = static_cast<int>(R.size1());
  run->wcols = static_cast<int>(R.size2());
  log_line(kName, kInfo, "INFO: SVD on %d x %d matrix ...", run->wrows, run->wcols);
  rep.transposed = run->wrows > run->wcols;
  if (rep.transposed) {
    log_line(kName, kInfo, "INFO: M < N transposing matrix ...");
    std::swap(run->wrows, run->wcols);
    log_line(kName, kInfo, "INFO: matrix dim changed to: %d x %d", run->wrows, run->wcols);
  }
  if (method == SvdMethod::lapack)
    log_line(kName, kInfo, "INFO: SVD by LAPACK's divide and conquer (dgesdd)");
  if (!run->svd.decompose(method, std::move(R), rep.transposed)) {
    rep.error = log_line(kName, DF_LOG, "ERROR: LAPACK's SVD (dgesdd) did not converge; not inverted");
    return false;
  }
  const GslVector& S = run->svd.S();
  run->s_max = gsl_vector_max(S.get());
  rep.singular_values.assign(S.get()->data, S.get()->data + S.size());
  return true;
}

// The tolerance: the one that keeps `keep` values, the internal one (-1), or
// the caller's.
bool choose_cut(float tol, const int* keep, ClassicRun* run) {
  SvdReport& rep = run->rep;
  const GslVector& S = run->svd.S();
  run->tol = tol;
  int blocking = 0;
  if (keep != nullptr && !tolerance_keeping(S, *keep, &run->tol, &blocking)) {
    const auto b = static_cast<std::size_t>(blocking);
    if (S[b] == 0.0)
      rep.error = log_line(kName, DF_LOG,
                           "ERROR: no tolerance keeps %d values: s[%d] is 0 and cannot pass; not inverted",
                           *keep, blocking);
    else
      rep.error =
          log_line(kName, DF_LOG, "ERROR: no tolerance keeps exactly %d values: s[%d] = %.9e, s[%d] = %.9e",
                   *keep, blocking - 1, S[b - 1], blocking, S[b]);
    return false;
  }
  rep.internal_tolerance = keep == nullptr && tol == -1.0f;
  if (rep.internal_tolerance) {
    run->tol = internal_svd_tolerance(run->wrows, run->wcols, run->s_max);
    log_line(kName, kInfo, "INFO: Using internal tolerance for SVD cut off: %e",
             static_cast<double>(run->tol));
  } else {
    log_line(kName, kInfo, "INFO: Using user provided SVD cut off tolerance: %e",
             static_cast<double>(run->tol));
  }
  rep.tol = run->tol;
  // Relative cut-off: the internal tolerance already holds max(S) and is
  // multiplied by it once more. Strict, so a NaN cut-off drops every value.
  rep.cutoff = static_cast<double>(run->tol) * run->s_max;
  return true;
}

// The count for the report, by the absolute tolerance, not the cut-off.
void count_values(ClassicRun* run) {
  SvdReport& rep = run->rep;
  const GslVector& S = run->svd.S();
  GslVector oos(S.size());
  gsl_vector_set_all(oos.get(), 1.0);
  gsl_vector_div(oos.get(), S.get());
  for (std::size_t i = 0; i < S.size(); ++i) {
    if (gsl_isinf(oos[i]) != 0) {
      oos[i] = 0.0;
      ++rep.infinite;
    } else if (S[i] < static_cast<double>(run->tol)) {
      oos[i] = 0.0;
      ++rep.below_tol;
    }
    if (passes_cutoff(S[i], rep.cutoff)) ++rep.used;
  }
  rep.nosv = run->wrows - rep.infinite - rep.below_tol;
  if (rep.infinite > 0) log_line(kName, kInfo, "INFO: Removed %d infinite values from S", rep.infinite);
  log_line(kName, kInfo, "INFO: Using %d from %d singular values", rep.nosv, run->wrows);
  if (run->tables) print_vector_table("1/s\n----------------------------------------", oos);
}

// The pseudo-inverse of the working matrix (wcols x wrows), the counts, and
// the tables; the result is it, or its transpose when the matrix was.
GslMatrix form(ClassicRun* run) {
  if (run->tables) print_vector_table("S\n----------------------------------------", run->svd.S());
  GslMatrix R_plus = run->svd.times_u(scaled_transpose(run->svd.S(), run->rep.cutoff, run->svd.V()));
  count_values(run);
  const bool transposed = run->rep.transposed;
  if (transposed)
    std::cout << "INFO: Matrix dim change back to: " << run->wrows << " x " << run->wcols << '\n';
  if (run->tables) {
    const auto out_rows = transposed ? R_plus.size2() : R_plus.size1();
    const auto out_cols = transposed ? R_plus.size1() : R_plus.size2();
    std::puts("\npinv(A)\n----------------------------------------");
    for (std::size_t i = 0; i < out_rows; ++i) {
      for (std::size_t j = 0; j < out_cols; ++j)
        std::printf("%.4f\t", transposed ? R_plus(j, i) : R_plus(i, j));
      std::putchar('\n');
    }
  }
  measure_floor(R_plus, static_cast<double>(run->tol), run->rep.internal_tolerance, run->s_max, &run->rep);
  return R_plus;
}

// The outputs, all computed: the spectrum (every singular value, also those
// cut off), the result with elements |v| <= tol cleared, the tolerance, the
// count. Nothing here allocates after the first is written.
void commit(const ClassicRun& run, const GslMatrix& R_plus, QTEV_ResponseMatrix& pinvR,
            D_spectrum& singular_val, float* tol_out, int* nosv_out) {
  const GslVector& S = run.svd.S();
  singular_val.set_length(static_cast<int>(S.size()));
  for (std::size_t i = 0; i < S.size(); ++i)
    singular_val.fill_spectrum(static_cast<int>(i), static_cast<float>(S[i]));
  const bool transposed = run.rep.transposed;
  const auto out_rows = transposed ? R_plus.size2() : R_plus.size1();
  const auto out_cols = transposed ? R_plus.size1() : R_plus.size2();
  const double clip = static_cast<double>(run.tol);
  for (std::size_t i = 0; i < out_rows; ++i)
    for (std::size_t j = 0; j < out_cols; ++j) {
      const double v = transposed ? R_plus(j, i) : R_plus(i, j);
      const float f = survives_clear(v, clip) ? static_cast<float>(v) : 0.0f;
      pinvR.set_value(f, static_cast<int>(i), static_cast<int>(j), -1, -1, -1, -1);
    }
  if (tol_out != nullptr) *tol_out = run.tol;
  if (nosv_out != nullptr) *nosv_out = run.rep.nosv;
}

// The condition numbers, the clearing's lines and the timing line.
void report(ClassicRun* run, InversionClock::time_point t0) {
  SvdReport& rep = run->rep;
  const GslVector& S = run->svd.S();
  const double s_min = S[S.size() - 1];
  rep.condition_number = s_min == 0.0 ? HUGE_VAL : run->s_max / s_min;
  rep.condition_number_used = rep.used > 0 ? run->s_max / S[static_cast<std::size_t>(rep.used - 1)]
                                           : std::numeric_limits<double>::quiet_NaN();
  report_clearing(kName, static_cast<double>(run->tol), &rep);
  rep.time_ms = elapsed_ms(t0);
  log_line(kName, kTiming, "took (ms): %.4f", rep.time_ms);
  rep.ok = true;
}

}  // namespace

// Reads this matrix (m x n); writes pinvR (n x m) and singular_val (min(m, n)
// points). The cut-off of the inverse is relative: s is inverted when
// s > tol * max(S) (strict). The count nosv is absolute: the values not below
// tol (strict), less those whose reciprocal is infinite. Result elements with
// |v| <= tol (absolute) are stored as 0.
SvdReport QTEV_ResponseMatrix::invert_svd(QTEV_ResponseMatrix& pinvR, D_spectrum& singular_val, float tol,
                                          const int* keep, float* tol_out, int* nosv_out) {
  const auto t0 = InversionClock::now();
  ClassicRun run;
  run.rep.method = svd_method_;
  run.rep.rows = rows;
  run.rep.cols = cols;
  run.tables = (OVRIX_debug & kInversionTables) != 0;
  if (!check(*this, pinvR, tol, keep, &run.rep)) return run.rep;
  GslMatrix R = create_gsl_matrix();
  if (!R) return run.rep;  // cannot happen after the checks above; never hand GSL an empty matrix
  run.rep.error = check_finite(kName, rows, cols, [&R](int i, int j) {
    return R(static_cast<std::size_t>(i), static_cast<std::size_t>(j));
  });
  if (!run.rep.error.empty()) return run.rep;
  if (!decompose(std::move(R), svd_method_, &run) || !choose_cut(tol, keep, &run)) return run.rep;
  const GslMatrix R_plus = form(&run);
  commit(run, R_plus, pinvR, singular_val, tol_out, nosv_out);
  report(&run, t0);
  return run.rep;
}
