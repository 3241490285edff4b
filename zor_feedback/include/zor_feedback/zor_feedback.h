// zor_feedback.h - building blocks for the feedback servers of an
// electron-accelerator control system built on the OVRIX framework.
//
//  * QTEV_ResponseMatrix: a monitors-by-actuators float matrix that is also a
//    framework property; loaded from a text file, multiplied, transposed, and
//    inverted by an SVD with a cut-off (publishing the singular values) or by a
//    pseudo-inverse.
//  * D_ringbuf: a newest-first history of time-stamped text entries, served to
//    clients as a list of USTR entries.
//  * Chicane physics (zor_feedback/chicane_physics.h): twelve free functions for
//    a four-dipole magnetic chicane, and R562alpha, the angle for an R56.
//  * Reports (namespace zor_feedback): what an inversion or a load did, and
//    the shape of a matrix file, as plain structs.
//
// Conventions shared by every operation:
//  * Failures are reported by a log line through ovrix::printtostderr and a
//    normal return; an operation that fails leaves its outputs as they were.
//    The library throws nothing of its own; exceptions of the standard
//    library, Armadillo and the framework pass through.
//  * Log lines: "ERROR: ..." with DF_LOG (always written), "WARNING: ..." with
//    DF_LOG for a result that is not what it seems (an inverse cleared to
//    zero, a file read differently than it looks), progress lines with flags
//    128, timing lines "took (ms): ..." with flags 8. Each message is cut to
//    99 characters.
//  * No operation resizes a matrix: results go into a matrix the caller has
//    constructed with the right shape.
//  * Threads: the library starts none and takes no locks. Keep other threads
//    (the framework's client threads included) away from a matrix or ring
//    buffer while it is being loaded, inverted or stored into.
#ifndef ZOR_FEEDBACK_ZOR_FEEDBACK_H
#define ZOR_FEEDBACK_ZOR_FEEDBACK_H

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "ovrix_server.h"
#include "zor_feedback/chicane_physics.h"
#include "zor_feedback/export.h"
#include "zor_feedback/filter.h"

// Armadillo's matrix, declared only: the conversions below need its
// definition where they are called, which zor_feedback/arma.h brings.
namespace arma {
template <typename eT>
class Mat;
typedef Mat<double> mat;
}  // namespace arma

namespace zor_feedback {
namespace detail {
class GslMatrix;   // owning handle of a gsl_matrix (private to the library)
class WorkerPool;  // the threads behind ProductThreads (private to the library)
}  // namespace detail
class ProductThreads;  // zor_feedback/product_threads.h

// ---------------------------------------------------------------------------
// Structured results. Every inversion and the file-shape query compute into a
// plain result, so that a tool, a binding or a host adapter reads what the
// operation used, cut and cleared from it, never from the log. The log lines
// stay as they are: a result and its lines always tell the same story.

// The decomposition behind QTEV_ResponseMatrix::invert.
//  * gsl: GSL's Golub-Reinsch SVD (gsl_linalg_SV_decomp), the default, what
//    the server has always computed; the classic inversion's engine.
//  * lapack: LAPACK's divide-and-conquer SVD (dgesdd, through Armadillo),
//    several times faster (BENCHMARKS.md has the figures); the default of
//    the standard inversion. The singular values agree with gsl's to about 1e-13 of the largest and
//    the inverse's float elements to a few ulp. Choose it for large matrices
//    or frequent re-inversions; a singular value within rounding of the
//    cut-off may then fall on the other side of it (see invert).
enum class SvdMethod { gsl, lapack };

// "gsl" or "lapack".
ZOR_FEEDBACK_API const char* svd_method_name(SvdMethod method);
// The method of that name ("gsl", "lapack"); false for any other text.
ZOR_FEEDBACK_API bool parse_svd_method(const std::string& name, SvdMethod* method);

// The two SVD inversions.
//  * standard: the truncated-SVD pseudo-inverse that numpy.linalg.pinv and
//    LAPACK give; independent of the matrix's units; no element is touched
//    after it is formed. For every new caller.
//  * classic: invert(), as servers have always computed it: the tolerance is
//    both the relative cut-off of the singular values and an absolute floor
//    on the inverse's elements. Kept bit for bit for servers tuned against it.
enum class Inversion { classic, standard };

// The options of the standard inversion (pseudo_inverse):
//  * filter: what each singular value contributes (zor_feedback/filter.h):
//    the default cut, a relative cut-off rcond (s > rcond * max(S), strict,
//    numpy's rcond), a count, or Tikhonov. Refused as filter_problem says.
//  * orbit: the orbit b (m values, finite) an automatic Tikhonov filter
//    chooses its strength for; unused by the other kinds.
struct StandardOptions {
  StandardOptions() = default;
  // A filter is options of its own (the default method, no orbit).
  StandardOptions(Filter f) : filter(f) {}  // NOLINT(google-explicit-constructor)
  Filter filter;
  SvdMethod method = SvdMethod::lapack;
  std::vector<double> orbit;
};

// The default rcond of the standard inversion for an m x n matrix:
// max(m, n) * 2^-52.
ZOR_FEEDBACK_API double default_rcond(int rows, int cols);

// What one SVD inversion did: the classic invert(), invert_report() and
// invert_keep(), or the standard pseudo_inverse(). Fields marked "classic"
// stay 0 for the standard inversion, which has no floor.
struct SvdReport {
  bool ok = false;    // false: refused, nothing written; `error` says why
  std::string error;  // the "ERROR: ..." line that was logged
  Inversion inversion = Inversion::classic;
  SvdMethod method = SvdMethod::gsl;
  int rows = 0;             // m, monitors
  int cols = 0;             // n, actuators; the inverse is n x m
  bool transposed = false;  // m > n: the transpose was decomposed

  float tol = 0.0f;                     // classic: the tolerance used, what invert writes back to *tol
  bool internal_tolerance = false;      // classic: computed by the library (the caller passed -1)
  double rcond = 0.0;                   // standard: the relative cut-off used (0 with keep)
  int keep = 0;                         // standard: the count asked for, 0 for a cut-off
  Filter filter;                        // standard: the filter asked for
  double alpha = 0.0;                   // standard, Tikhonov: the strength used (absolute, in S's units)
  std::vector<double> filter_factors;   // standard: phi per singular value; the inverse is V diag(phi/s) U^T
  double cutoff = 0.0;                  // s enters the inverse when s > cutoff (classic: tol * max(S))
  std::vector<double> singular_values;  // all min(m, n), non-increasing, as published

  int used = 0;  // singular values that enter the inverse (s > cutoff, the `keep` largest, Tikhonov: s > 0)
  int nosv = 0;  // classic: invert's *nosv: min(m, n) - infinite - below_tol
  int infinite = 0;   // classic: singular values whose reciprocal is infinite (zero ones)
  int below_tol = 0;  // classic: the others below tol (absolute, strict)

  // Classic: elements of the inverse with 0 < |v| <= tol (absolute), stored as 0.
  long long elements_cleared = 0;
  double largest_cleared = 0.0;  // the largest |v| among them
  double largest_element = 0.0;  // the largest |v| of the inverse (classic: before clearing)
  double cleared_share = 0.0;    // classic: elements_cleared / (m * n)
  // Classic: how much the floor changed the inverse, ||cleared||_F / ||inverse||_F.
  double floor_change = 0.0;
  // Classic: the power of ten to divide the matrix by (at the same tol) after
  // which the floor changes the inverse by at most kHarmlessFloorChange; 1
  // when it already does, 0 when no factor up to 1e30 does.
  double harmless_factor = 1.0;
  bool zero_inverse = false;  // the stored inverse is all zero, the matrix is not

  double condition_number = 0.0;       // max(S) / min(S); infinite for min(S) == 0
  double condition_number_used = 0.0;  // max(S) / the smallest value used; NaN when none is
  double time_ms = 0.0;                // the figure of the "took (ms)" line

  std::vector<std::string> warnings;  // the "WARNING: ..." lines that were logged
};

// The largest change of the inverse by the classic floor (relative Frobenius)
// that a caller can ignore: callers refuse a classic inverse beyond it.
constexpr double kHarmlessFloorChange = 1e-3;

// The standard inversion of a plain row-major m x n matrix `a` (doubles):
// the n x m pseudo-inverse, row-major, into *inverse, which is written only
// when the report is ok. Refused (ok false, `error` says why, nothing
// written): a null pointer, an empty matrix, NaN or infinite elements, a bad
// cut (see StandardOptions), a decomposition that does not converge, a
// result that is not finite. Logs nothing, prints nothing. Where the values
// keep and keep + 1 are equal, the count splits a degenerate pair: done, with
// a warning that names the pair.
ZOR_FEEDBACK_API SvdReport pseudo_inverse(const double* a, int rows, int cols, const StandardOptions& options,
                                          std::vector<double>* inverse);

// How QTEV_ResponseMatrix::pinv decomposed the matrix: the path Armadillo's
// pinv takes for it.
enum class PinvPath {
  svd,        // divide-and-conquer SVD, the general case
  symmetric,  // symmetric matrix of more than 40 rows: eigen-decomposition
  cholesky,   // symmetric positive definite, well conditioned: inverted directly
  diagonal,   // diagonal matrix: element by element
};

// What one pseudo-inverse (QTEV_ResponseMatrix::pinv) did.
struct PinvReport {
  bool ok = false;                 // false: refused, nothing written; `error` says why
  std::string error;               // the "ERROR: ..." line that was logged
  int rows = 0;                    // m
  int cols = 0;                    // n; the inverse is n x m
  float tol = 0.0f;                // the input floor
  long long input_cleared = 0;     // input elements with 0 < |a| < tolerance cleared
  long long elements_cleared = 0;  // result elements with 0 < |b| < 2^-52 cleared
  PinvPath path = PinvPath::svd;
  // The magnitudes the decomposition found (singular values, or absolute
  // eigenvalues or diagonal elements), non-increasing; empty for cholesky.
  std::vector<double> singular_values;
  // Armadillo's threshold max(m, n) * max(singular_values) * 2^-52: values
  // below it are treated as zero. NaN for cholesky.
  double threshold = 0.0;
  int used = 0;               // values inverted (not below threshold, not zero); n for cholesky
  bool zero_inverse = false;  // the stored inverse is all zero, the matrix is not
  double time_ms = 0.0;
  std::vector<std::string> warnings;  // the "WARNING: ..." lines that were logged
};

// The shape of a response-matrix file by load_file's own reading: rows = its
// data lines, cols = the values on the last of them; and the lines that load
// differently than their author may have meant.
struct MatrixFileShape {
  bool ok = false;  // false: not a regular file that can be read; `error` says why
  std::string error;
  int rows = 0;                  // data lines (every line not starting with '#')
  int cols = 0;                  // values read from the last data line
  long long last_data_line = 0;  // its line number, from 1; 0 without data lines

  // Data lines with fewer (more) values than the last one, and the first of them.
  long long shorter_lines = 0, first_shorter_line = 0;
  long long longer_lines = 0, first_longer_line = 0;

  // Data lines whose values end before the line does, at text that is not a
  // '#' note: the rest of such a line is not read. Grouped by what ends them.
  struct Stop {
    long long lines = 0;       // how many data lines
    long long first_line = 0;  // the first of them, from 1
    std::string text;          // what ends its values there (a few characters)
  };
  Stop separator;   // ',' or ';' followed by a number: a separated file
  Stop not_finite;  // a NaN or an infinity (nan, inf, 1e999): no value the loader takes
  Stop other;       // anything else: a word, a stray character
};

// What one load_file did.
struct LoadReport {
  bool ok = false;    // the values were stored
  std::string error;  // otherwise: the "ERROR: ..." line that was logged
  // The "WARNING: ..." lines that were logged (values after a separator or
  // a NaN), then those on text after the values and on rows shorter than the
  // last, which are not logged.
  std::vector<std::string> warnings;
  long long bytes = 0;  // the completion line's figure: offset past the last data line
};

// Counts the file at `path` as load_file counts it, changing nothing.
ZOR_FEEDBACK_API MatrixFileShape matrix_file_shape(const char* path);

// Why a file of this shape would load differently than it looks, in one
// sentence ("line 3: values separated by ',' ..."): values after a
// separator, a NaN or infinity, text after the values, a byte-order mark, a
// Matrix Market header, rows shorter than the last; or why it cannot be read
// (!shape.ok). Empty when it
// loads as it looks. Every new entry point refuses such a file; load_file
// loads it as its rules say, with a "WARNING: ..." line.
ZOR_FEEDBACK_API std::string misread(const MatrixFileShape& shape);

}  // namespace zor_feedback

// A response matrix: `rows` monitors by `cols` actuators, stored as a
// two-dimensional framework float array (data-type code 109). Element
// (row, col) is the response of monitor `row` to actuator `col`; it is read
// with value(row, col, -1, -1, -1, -1) and written with
// set_value(v, row, col, -1, -1, -1, -1).
class ZOR_FEEDBACK_API QTEV_ResponseMatrix : public D_mdfloat_array {
 public:
  int rows;  // monitors; set by the constructor, changed only by operator=
  int cols;  // actuators; set by the constructor, changed only by operator=

  // Property `pn` (must not be null: std::logic_error) of d1 rows and d0
  // columns, owned by location `efp` (may be null). A negative dimension
  // counts as 0. The elements start as 0.
  QTEV_ResponseMatrix(const char* pn, int d1, int d0, EqFct* efp);
  QTEV_ResponseMatrix(const QTEV_ResponseMatrix&) = delete;
  virtual ~QTEV_ResponseMatrix();

  // Copies the elements and the shape of rhs; the name and the location stay.
  QTEV_ResponseMatrix& operator=(QTEV_ResponseMatrix& rhs);
  // Same shape and IEEE-equal elements (NaN never equal, +0 == -0).
  bool operator==(const QTEV_ResponseMatrix& rhs) const;
  bool operator!=(const QTEV_ResponseMatrix& rhs) const;

  // Sets every element to val.
  void init(float val);

  // A new rows x cols Armadillo matrix holding the elements of A (the object
  // it is called on is not consulted). Callers include zor_feedback/arma.h.
  arma::mat QTEV2arma_mat(QTEV_ResponseMatrix& A);
  // Stores the top-left rows x cols block of A into this matrix, narrowed to
  // float. An A with fewer rows or columns than this matrix is refused with an
  // "ERROR: ..." line and changes nothing. Returns this object.
  QTEV_ResponseMatrix* arma_mat2QTEV(arma::mat A);

  // B(i, j) = this(i, j) * A(i, j) in float. All three must have one shape.
  // B may be this matrix or A.
  void entrywise_product(QTEV_ResponseMatrix& A, QTEV_ResponseMatrix& B);
  // B = this * A, computed in double. Needs this.rows == B.rows,
  // A.cols == B.cols and this.cols == A.rows. B may be an operand.
  void multiply(QTEV_ResponseMatrix& A, QTEV_ResponseMatrix& B);
  // multiply() with the rows split over the caller's `threads` when the
  // product is large enough (zor_feedback/product_threads.h): the same
  // refusals, the same bits for any thread count. A subclass's matrix, whose
  // elements go through its accessors, is multiplied on the caller's thread.
  void multiply(QTEV_ResponseMatrix& A, QTEV_ResponseMatrix& B, zor_feedback::ProductThreads& threads);
  // transR(i, j) = this(j, i). transR must be cols x rows; it may be this
  // matrix when square.
  void transpose(QTEV_ResponseMatrix& transR);

  // Loads the matrix from a text file: one line per monitor (row), one number
  // per actuator (column), lines starting with '#' ignored; values are read as
  // a C++ stream extracts doubles, up to the first text that is not a number.
  // The file must have `rows` data lines, its last data line `cols` values,
  // and no line more than `cols` values. Only regular files are opened (a FIFO
  // or a device never blocks the call). Returns false, with an "ERROR: ..."
  // line and no element changed, when the file cannot be opened or read or
  // does not fit; an earlier line with fewer values leaves the rest of its row
  // as it was. A file rewritten while it is being read is refused too; when
  // that shows only after the values were stored, the matrix holds a mix of old
  // and new values and the false result says it cannot be trusted.
  // A file that loads although some line's values end at a ',' or ';' before
  // a number, or at a NaN or infinity, gets one "WARNING: ..." line (DF_LOG)
  // after the completion line: the loader read it differently than it looks.
  // matrix_file_shape() tells the shape and those lines beforehand.
  bool load_file(const char* fname);
  // load_file(), returning what it did: the same stores, the same log lines.
  zor_feedback::LoadReport load_report(const char* fname);

  // Pseudo-inverse by SVD into pinvR (cols x rows). Singular values s with
  // s > *tol * max(S) are inverted (relative cut-off, strict), the others
  // dropped. *tol == -1 asks for the internal tolerance max(m, n) * 2^-52 *
  // max(S) rounded to two significant digits, which is written back into *tol
  // (so the cut-off holds max(S) twice). The singular values, non-increasing,
  // go into singular_val; *nosv gets the number of those not below *tol
  // (absolute) and not zero. Elements of the inverse with |v| <= *tol
  // (absolute) are stored as 0.
  // Refused with an "ERROR: ..." line and every output unchanged: a null tol
  // or nosv, a NaN *tol, a matrix that is empty, not two-dimensional or holds
  // NaN or infinite elements, a pinvR that is not cols x rows; with the lapack
  // method also a decomposition that does not converge.
  // Because *tol is both a relative cut-off and an absolute floor, a
  // tolerance meant for one can wreck the other: the inverse of a matrix in
  // small units, or with a user tolerance like 0.1, may lose most or all of
  // its elements. invert then logs a "WARNING: ..." line (DF_LOG) after the
  // line of the singular values used: when it cleared an element above
  // 1e-6 of the inverse's largest, or stored an all-zero inverse of a
  // non-zero matrix. invert_report() returns the figures behind it.
  void invert(QTEV_ResponseMatrix& pinvR, D_spectrum& singular_val, float* tol, int* nosv);

  // invert() with the tolerance `tol` (-1: the internal one), returning what
  // it did instead of writing *tol and *nosv. Same outputs, same log lines.
  zor_feedback::SvdReport invert_report(QTEV_ResponseMatrix& pinvR, D_spectrum& singular_val, float tol);

  // invert() with the tolerance that lets exactly `modes` singular values
  // pass the cut-off (1 <= modes <= min(rows, cols)), found from this
  // matrix's own decomposition: the float tol in the geometric middle of the
  // gap between the last value kept and the first dropped, sqrt(s[modes-1] *
  // s[modes]) / max(S), in as few significant digits as keep it inside the
  // gap, so that a re-measured matrix keeps the count (0 when the values
  // beyond `modes` are 0). Logged as a user-provided tolerance, so that
  // passing the report's tol to invert() later gives the same inverse. The
  // classic floor applies: pseudo_inverse() with keep has none. Refused, with
  // every output unchanged, when no float tolerance does it: the values
  // `modes` and `modes` + 1 are equal, or the last one kept is zero. The
  // refused report still holds the singular values.
  zor_feedback::SvdReport invert_keep(QTEV_ResponseMatrix& pinvR, D_spectrum& singular_val, int modes);

  // The standard inversion (see zor_feedback::pseudo_inverse) of this matrix
  // into pinvR (cols x rows), narrowed to float, and its singular values into
  // *singular_val when not null. No element floor, nothing on standard
  // output; a refusal logs its "ERROR: ..." line and a warning its
  // "WARNING: ..." line (DF_LOG), nothing else is logged. Refused like
  // pseudo_inverse, and also for a pinvR of the wrong shape or an inverse
  // that float cannot carry (overflow, or every element below its range):
  // every output then unchanged.
  zor_feedback::SvdReport pseudo_inverse(QTEV_ResponseMatrix& pinvR, D_spectrum* singular_val,
                                         const zor_feedback::StandardOptions& options = {});

  // The decomposition that invert uses for this matrix (gsl unless set). Not
  // copied by operator=: it belongs to this property, not to its values.
  void set_svd_method(zor_feedback::SvdMethod method) { svd_method_ = method; }
  zor_feedback::SvdMethod svd_method() const { return svd_method_; }

  // Pseudo-inverse by Armadillo's pinv (default tolerance, divide-and-conquer
  // SVD) into pinvR (cols x rows). On a copy, input elements with
  // 0 < |a| < *tolerance (absolute, strict) are cleared first; result elements
  // with 0 < |b| < 2^-52 are cleared after. *tolerance is never written.
  // Refused like invert (null tolerance, empty, non-finite, wrong pinvR). An
  // SVD failure inside Armadillo throws std::runtime_error; pinvR is then
  // unchanged. An all-zero result for a non-zero matrix gets a "WARNING: ..."
  // line (DF_LOG) before the timing line.
  void pinv(QTEV_ResponseMatrix& pinvR, float* tolerance);

  // pinv() with the floor `tolerance`, returning what it did. Same outputs,
  // same log lines, same exceptions.
  zor_feedback::PinvReport pinv_report(QTEV_ResponseMatrix& pinvR, float tolerance);

 private:
  // multiply() over `pool` when not null.
  ZOR_FEEDBACK_LOCAL void multiply_on(QTEV_ResponseMatrix& A, QTEV_ResponseMatrix& B,
                                      zor_feedback::detail::WorkerPool* pool);

  // A new GSL matrix (rows x cols) holding this matrix's elements. The handle
  // is empty when the base array is not two-dimensional (after an "ERROR: ..."
  // line) or when the matrix has a zero dimension (GSL has no such matrices).
  ZOR_FEEDBACK_LOCAL zor_feedback::detail::GslMatrix create_gsl_matrix();

  // The SVD inversion behind invert, invert_report and invert_keep: with
  // `keep` the tolerance is chosen to keep that many values, else it is `tol`.
  // The tolerance used and nosv go to *tol_out and *nosv_out (when not null)
  // together with the other outputs.
  ZOR_FEEDBACK_LOCAL zor_feedback::SvdReport invert_svd(QTEV_ResponseMatrix& pinvR, D_spectrum& singular_val,
                                                        float tol, const int* keep, float* tol_out,
                                                        int* nosv_out);

  zor_feedback::SvdMethod svd_method_ = zor_feedback::SvdMethod::gsl;
};

// A newest-first history of N time-stamped text entries (USTR, data-type code
// 103). The server stores messages with store(); a client's get() reads one
// entry or all of them; a client's set() changes nothing.
//
// Reply of get(), by the request's value (EqData::get_int()):
//  * no value, or a negative value (also a NaN or out-of-range float/double):
//    all entries, newest first;
//  * k with 0 <= k < N: entry k alone (the k-th newest) as the reply's only
//    entry;
//  * k >= N: an empty reply (type() == DATA_NULL, length() == 0).
class ZOR_FEEDBACK_API D_ringbuf : public D_ustr {
 public:
  // Property `str` (not null) with `size` empty entries (time 0, no text). A
  // size of 0 or less starts empty and keeps one entry from the first store.
  D_ringbuf(const char* str, int size, EqFct* ep);
  virtual ~D_ringbuf();

  // Makes a copy of the text `str` the newest entry, stamped with OVRIXtime(),
  // and drops the oldest. A null str is ignored (nothing moves).
  void store(char* str);

  void get(EqAdr*, EqData* sd, EqData* dd, EqFct*) override;
  void set(EqAdr*, EqData*, EqData*, EqFct*) override;  // ignored
  void read() override;                                 // nothing to read
  void write(std::ostream&) override;                   // writes nothing

  void config(Config*);  // does nothing

 private:
  EqData ringbuf;
};

#endif  // ZOR_FEEDBACK_ZOR_FEEDBACK_H
