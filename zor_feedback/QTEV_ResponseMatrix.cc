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

#include "zor_feedback/gsl_handles.h"
#include "zor_feedback/log_line.h"
#include "zor_feedback/matrix_file.h"
#include "zor_feedback/svd_steps.h"
#include "zor_feedback/zor_feedback.h"

using namespace zor_feedback::detail;
using zor_feedback::PinvReport;
using zor_feedback::SvdReport;

namespace {

int non_negative(int d) { return d < 0 ? 0 : d; }

}  // namespace

// ---------------------------------------------------------------------------
// The property

QTEV_ResponseMatrix::QTEV_ResponseMatrix(const char* pn, int d1, int d0, EqFct* efp)
    : D_mdfloat_array(std::string(pn), d1, d0, efp, 0), rows(non_negative(d1)), cols(non_negative(d0)) {}

QTEV_ResponseMatrix::~QTEV_ResponseMatrix() = default;

QTEV_ResponseMatrix& QTEV_ResponseMatrix::operator=(QTEV_ResponseMatrix& rhs) {
  if (&rhs == this) return *this;
  data_.copy_from(&rhs.data_);
  num_dims_ = rhs.num_dims_;
  for (int k = 0; k < 6; ++k) dims_[k] = rhs.dims_[k];
  for (int k = 0; k < 80; ++k) dim_labels_[k] = rhs.dim_labels_[k];
  dim_stamp_ = rhs.dim_stamp_;
  rows = rhs.rows;
  cols = rhs.cols;
  return *this;
}

bool QTEV_ResponseMatrix::operator==(const QTEV_ResponseMatrix& rhs) const {
  if (rows != rhs.rows || cols != rhs.cols) return false;
  // The framework's accessor is not const; reading does not change anything.
  auto& self = const_cast<QTEV_ResponseMatrix&>(*this);
  auto& other = const_cast<QTEV_ResponseMatrix&>(rhs);
  for (int i = 0; i < rows; ++i)
    for (int j = 0; j < cols; ++j) {
      const float a = self.value(i, j, -1, -1, -1, -1);
      const float b = other.value(i, j, -1, -1, -1, -1);
      if (!(a == b)) return false;
    }
  return true;
}

bool QTEV_ResponseMatrix::operator!=(const QTEV_ResponseMatrix& rhs) const { return !(*this == rhs); }

void QTEV_ResponseMatrix::init(float val) {
  for (int i = 0; i < rows; ++i)
    for (int j = 0; j < cols; ++j) set_value(val, i, j, -1, -1, -1, -1);
}

GslMatrix QTEV_ResponseMatrix::create_gsl_matrix() {
  static const char* const name = "QTEV_ResponseMatrix::create_gsl_matrix";
  if (num_dims_ != 2) {
    log_line(name, DF_LOG, "ERROR: allocating GSL matrix num(dim)=%d !\n", num_dims_);
    return GslMatrix();
  }
  GslMatrix R(static_cast<std::size_t>(rows), static_cast<std::size_t>(cols), GslMatrix::Fill::none);
  if (!R) return R;
  // The base's own accessor, called directly so that it inlines.
  for (int i = 0; i < rows; ++i)
    for (int j = 0; j < cols; ++j)
      R(static_cast<std::size_t>(i), static_cast<std::size_t>(j)) =
          D_mdfloat_array::value(i, j, -1, -1, -1, -1);
  return R;
}

arma::mat QTEV_ResponseMatrix::QTEV2arma_mat(QTEV_ResponseMatrix& A) {
  // Every element is written below, so the storage is not cleared first.
  arma::mat M(static_cast<arma::uword>(A.rows), static_cast<arma::uword>(A.cols), arma::fill::none);
  for (int i = 0; i < A.rows; ++i)
    for (int j = 0; j < A.cols; ++j)
      M(static_cast<arma::uword>(i), static_cast<arma::uword>(j)) = A.value(i, j, -1, -1, -1, -1);
  return M;
}

QTEV_ResponseMatrix* QTEV_ResponseMatrix::arma_mat2QTEV(arma::mat A) {
  if (A.n_rows < static_cast<arma::uword>(rows) || A.n_cols < static_cast<arma::uword>(cols)) {
    log_line("QTEV_ResponseMatrix::arma_mat2QTEV", DF_LOG,
             "ERROR: Dimension mismatch: dim(A) (%llu x %llu) is smaller than dim(this) (%d x %d)",
             static_cast<unsigned long long>(A.n_rows), static_cast<unsigned long long>(A.n_cols), rows,
             cols);
    return this;
  }
  for (int i = 0; i < rows; ++i)
    for (int j = 0; j < cols; ++j)
      set_value(static_cast<float>(A.at(static_cast<arma::uword>(i), static_cast<arma::uword>(j))), i, j, -1,
                -1, -1, -1);
  return this;
}

// ---------------------------------------------------------------------------
// Products and transpose
//
// Each checks every shape first and writes its result only after all checks
// have passed, so that a refused call leaves every matrix as it was. The GSL
// copies are handles: they are released on every way out, an exception from a
// set_value override included.
//
// A GSL copy is an empty handle either when its matrix has a zero dimension
// (GSL has no such matrices, so nothing with a zero dimension reaches GSL) or
// when its base array is not two-dimensional; create_gsl_matrix has logged the
// latter, and the operation then stops without writing anything.

// B(i, j) = this(i, j) * A(i, j), multiplied in float. Each element is read
// before the same element is written, so B may be this matrix or A.
void QTEV_ResponseMatrix::entrywise_product(QTEV_ResponseMatrix& A, QTEV_ResponseMatrix& B) {
  static const char* const name = "QTEV_ResponseMatrix::entrywise_product";
  if (rows != A.rows || rows != B.rows || cols != A.cols || cols != B.cols) {
    log_line(name, DF_LOG, "ERROR: Dimension mismatch: dim(this): %d x %d dim(A): %d x %d dim(B): %d x %d",
             rows, cols, A.rows, A.cols, B.rows, B.cols);
    return;
  }
  for (int i = 0; i < rows; ++i)
    for (int j = 0; j < cols; ++j) {
      const float x = value(i, j, -1, -1, -1, -1);
      const float a = A.value(i, j, -1, -1, -1, -1);
      B.set_value(x * a, i, j, -1, -1, -1, -1);
    }
}

// B = this * A, formed in double on copies (so B may be an operand) and stored
// narrowed to float. B's old content has no influence. Refused with the
// mismatch line unless this.rows == B.rows, A.cols == B.cols and
// this.cols == A.rows (the last one GSL would otherwise refuse through its
// error handler). An inner dimension of 0 gives a B of zeros.
void QTEV_ResponseMatrix::multiply(QTEV_ResponseMatrix& A, QTEV_ResponseMatrix& B) {
  static const char* const name = "QTEV_ResponseMatrix::multiply";
  if (rows != B.rows || A.cols != B.cols || cols != A.rows) {
    log_line(name, DF_LOG, "ERROR: Dimension mismatch: dim(this): %d x %d dim(A): %d x %d dim(B): %d x %d",
             rows, cols, A.rows, A.cols, B.rows, B.cols);
    return;
  }
  GslMatrix gslA = A.create_gsl_matrix();
  if (!gslA && A.num_dims_ != 2) return;
  GslMatrix gslB = B.create_gsl_matrix();
  if (!gslB && B.num_dims_ != 2) return;
  GslMatrix gslThis = create_gsl_matrix();
  if (!gslThis && num_dims_ != 2) return;
  if (!gslB) return;  // B has no elements: nothing to write

  // Cleared rather than left to beta = 0, so that no BLAS can carry a NaN of
  // B's old content into the result; with an inner dimension of 0 this is the
  // product.
  gsl_matrix_set_zero(gslB.get());
  if (gslThis && gslA)
    gsl_blas_dgemm(CblasNoTrans, CblasNoTrans, 1.0, gslThis.get(), gslA.get(), 0.0, gslB.get());
  for (int i = 0; i < B.rows; ++i)
    for (int j = 0; j < B.cols; ++j)
      B.set_value(static_cast<float>(gslB(static_cast<std::size_t>(i), static_cast<std::size_t>(j))), i, j,
                  -1, -1, -1, -1);
}

// transR(i, j) = this(j, i), exactly (float to double and back is lossless).
// transR must be cols x rows; a square matrix may be transposed into itself,
// since the transpose is formed on copies.
void QTEV_ResponseMatrix::transpose(QTEV_ResponseMatrix& transR) {
  static const char* const name = "QTEV_ResponseMatrix::transpose";
  const int M = rows, N = cols;
  const int transM = transR.rows, transN = transR.cols;
  if (M != transN || N != transM) {
    log_line(name, DF_LOG,
             "ERROR: Dimension mismatch: dim(transR) (%d x %d) must be inverse of dim(this) (%d x %d)",
             transM, transN, M, N);
    return;
  }
  GslMatrix R = create_gsl_matrix();
  if (!R && num_dims_ != 2) return;
  GslMatrix R_T = transR.create_gsl_matrix();
  if (!R_T && transR.num_dims_ != 2) return;
  if (!R) return;  // a zero dimension: nothing to write

  gsl_matrix_transpose_memcpy(R_T.get(), R.get());
  for (int i = 0; i < transM; ++i)
    for (int j = 0; j < transN; ++j)
      transR.set_value(static_cast<float>(R_T(static_cast<std::size_t>(i), static_cast<std::size_t>(j))), i,
                       j, -1, -1, -1, -1);
}

// ---------------------------------------------------------------------------
// Loading from a text file

namespace {

// The figures of the log lines are ints; the counts behind them are not
// allowed to overflow on an absurdly large file.
int clamp_to_int(long long v) { return v > INT_MAX ? INT_MAX : static_cast<int>(v); }

}  // namespace

// Reads the file twice: the first pass counts the data lines and the values of
// the last one and compares them with `rows` and `cols`; only when they match
// does the second pass store the values (through the base class's set_value,
// narrowed to float). A refused file changes no element.
//
// Beyond the two counts, a file is refused before anything is stored when an
// earlier data line holds more than `cols` values (they would lie outside the
// matrix). A file that is rewritten while it is being read is refused too;
// when that is noticed only after the second pass, elements have already been
// stored and the matrix holds a mix of old and new values: the false result
// and the error line say that it cannot be trusted. Nothing is ever written
// outside the matrix.
bool QTEV_ResponseMatrix::load_file(const char* fname) { return load_report(fname).ok; }

zor_feedback::LoadReport QTEV_ResponseMatrix::load_report(const char* fname) {
  static const char* const name = "QTEV_ResponseMatrix::load_file";
  const char* const shown = fname != nullptr ? fname : "(null)";
  log_line(name, kInfo, "INFO: Loading file %s ...", shown);

  struct stat opened {};
  zor_feedback::LoadReport rep;
  const FileDescriptor fid(open_regular_file(fname, opened));
  if (fid.get() < 0) {
    rep.error = log_line(name, DF_LOG, "ERROR: file %s not found!", shown);
    return rep;
  }
  const int mon = rows, act = cols;
  LineReader reader(fid.get());

  FileCount count;
  if (!count_file(reader, &count)) {
    rep.error = log_line(name, DF_LOG, "ERROR: reading file %s failed!", shown);
    return rep;
  }
  if (count.data_lines != mon) {
    rep.error = log_line(name, DF_LOG, "ERROR: No. rows (%d) do not match no. of monitors (%d)!",
                         clamp_to_int(count.data_lines), mon);
    return rep;
  }
  if (count.last_count != act) {
    rep.error = log_line(name, DF_LOG, "ERROR: No. columns (%d) do not match no. of actuators (%d)!",
                         clamp_to_int(count.last_count), act);
    return rep;
  }
  // Only an earlier line can be longer: the last one passed the test above.
  const auto [long_line, long_count] = count.first_line_above(act);
  if (long_line != 0) {
    rep.error = log_line(name, DF_LOG, "ERROR: Line %d has %d values, more than no. of actuators (%d)!",
                         clamp_to_int(long_line), clamp_to_int(long_count), act);
    return rep;
  }
  if (!same_file_state(fid.get(), opened)) {
    rep.error = log_line(name, DF_LOG, "ERROR: file %s changed while being read!", shown);
    return rep;
  }

  // Storing pass. The bounds only matter should the file change meanwhile.
  reader.rewind();
  long long M = 0, N = 0;
  std::string line;
  while (reader.next(line)) {
    if (is_comment(line)) continue;
    N = 0;
    for_each_value(line, [&](double val) {
      if (M < mon && N < act)
        D_mdfloat_array::set_value(static_cast<float>(val), static_cast<int>(M), static_cast<int>(N), -1, -1,
                                   -1, -1);
      ++N;
    });
    ++M;
  }
  if (reader.failed()) {
    rep.error = log_line(name, DF_LOG, "ERROR: reading file %s failed!", shown);
    return rep;
  }
  if (M != count.data_lines || N != count.last_count || reader.offset() != count.bytes ||
      !same_file_state(fid.get(), opened)) {
    rep.error = log_line(name, DF_LOG, "ERROR: file %s changed while being read!", shown);
    return rep;
  }

  log_line(name, kInfo, "INFO: Read %d bytes from: %s into %d x %d GSL array", clamp_to_int(count.len), shown,
           clamp_to_int(M), clamp_to_int(N));
  rep.ok = true;
  rep.bytes = count.len;
  rep.warnings = warn_misread_lines(name, count);
  return rep;
}

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

// ---------------------------------------------------------------------------
// Pseudo-inverse with tolerance
//
// Reads this matrix (m x n) and the floor; writes pinvR (n x m). On a copy,
// input elements with 0 < |a| < tolerance (absolute, strict) are cleared;
// then Armadillo's pinv (its default tolerance, divide-and-conquer SVD);
// result elements with 0 < |b| < 2^-52 are cleared. Armadillo's failure
// ("pinv(): svd failed", std::runtime_error) propagates with pinvR unchanged.

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
  rep.tolerance = tolerance;

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
  for (double& a : A)
    if (std::fabs(a) < floor_in && a != 0.0) {
      a = 0.0;
      ++rep.input_cleared;
    }
  if (rep.input_cleared > 0)
    log_line(name, kInfo, "removed %d values (< %.g) in input\n", static_cast<int>(rep.input_cleared),
             floor_in);

  ArmaPinv P;
  if (!arma_pinv(std::move(A), &P)) arma::arma_stop_runtime_error("pinv(): svd failed");
  rep.path = P.path;
  rep.singular_values = std::move(P.values);
  rep.threshold = P.threshold;
  rep.rank = P.rank;

  for (double& b : P.B)
    if (std::fabs(b) < kDoubleEpsilon && b != 0.0) {
      b = 0.0;
      ++rep.result_cleared;
    }
  if (rep.result_cleared > 0)
    log_line(name, kInfo, "removed %d values (< %.g) in inverse\n", static_cast<int>(rep.result_cleared),
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
