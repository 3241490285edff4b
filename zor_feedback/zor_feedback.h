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
//    a four-dipole magnetic chicane.
//
// Conventions shared by every operation:
//  * Failures are reported by a log line through ovrix::printtostderr and a
//    normal return; an operation that fails leaves its outputs as they were.
//    The library throws nothing of its own; exceptions of the standard
//    library, Armadillo and the framework pass through.
//  * Log lines: "ERROR: ..." with DF_LOG (always written), progress lines with
//    flags 128, timing lines "took (ms): ..." with flags 8. Each message is cut
//    to 99 characters.
//  * No operation resizes a matrix: results go into a matrix the caller has
//    constructed with the right shape.
//  * Threads: the library starts none and takes no locks. Keep other threads
//    (the framework's client threads included) away from a matrix or ring
//    buffer while it is being loaded, inverted or stored into.
#ifndef ZOR_FEEDBACK_ZOR_FEEDBACK_H
#define ZOR_FEEDBACK_ZOR_FEEDBACK_H

#include <gsl/gsl_matrix.h>

#include <armadillo>
#include <iosfwd>

#include "ovrix_server.h"
#include "zor_feedback/chicane_physics.h"

namespace zor_feedback {
namespace detail {
class GslMatrix;  // owning handle of a gsl_matrix (private to the library)
}
}  // namespace zor_feedback

// A response matrix: `rows` monitors by `cols` actuators, stored as a
// two-dimensional framework float array (data-type code 109). Element
// (row, col) is the response of monitor `row` to actuator `col`; it is read
// with value(row, col, -1, -1, -1, -1) and written with
// set_value(v, row, col, -1, -1, -1, -1).
class QTEV_ResponseMatrix : public D_mdfloat_array {
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
  // it is called on is not consulted).
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
  bool load_file(const char* fname);

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
  // NaN or infinite elements, a pinvR that is not cols x rows.
  void invert(QTEV_ResponseMatrix& pinvR, D_spectrum& singular_val, float* tol, int* nosv);

  // Pseudo-inverse by Armadillo's pinv (default tolerance, divide-and-conquer
  // SVD) into pinvR (cols x rows). On a copy, input elements with
  // 0 < |a| < *tolerance (absolute, strict) are cleared first; result elements
  // with 0 < |b| < 2^-52 are cleared after. *tolerance is never written.
  // Refused like invert (null tolerance, empty, non-finite, wrong pinvR). An
  // SVD failure inside Armadillo throws std::runtime_error; pinvR is then
  // unchanged.
  void pinv(QTEV_ResponseMatrix& pinvR, float* tolerance);

 private:
  // A new GSL matrix (rows x cols) holding this matrix's elements. The handle
  // is empty when the base array is not two-dimensional (after an "ERROR: ..."
  // line) or when the matrix has a zero dimension (GSL has no such matrices).
  zor_feedback::detail::GslMatrix create_gsl_matrix();
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
class D_ringbuf : public D_ustr {
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
  void read() override;                                  // nothing to read
  void write(std::ostream&) override;                    // writes nothing

  void config(Config*);  // does nothing

 private:
  EqData ringbuf;
};

#endif  // ZOR_FEEDBACK_ZOR_FEEDBACK_H
