#include <fcntl.h>
#include <gsl/gsl_blas.h>
#include <gsl/gsl_linalg.h>
#include <gsl/gsl_math.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "zor_feedback/detail.h"
#include "zor_feedback/value_scanner.h"
#include "zor_feedback/zor_feedback.h"

using zor_feedback::detail::GslMatrix;
using zor_feedback::detail::GslVector;
using zor_feedback::detail::log_line;

namespace {

// Flags of the log lines: errors are always written, progress and timing
// lines as the server's debug mask selects them.
constexpr unsigned int kInfo = 128;
constexpr unsigned int kTiming = 8;

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
      set_value(static_cast<float>(A.at(static_cast<arma::uword>(i), static_cast<arma::uword>(j))), i, j,
                -1, -1, -1, -1);
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

// The values of a line: what a C++ input stream extracts from it as doubles,
// up to the first failed extraction (value_scanner.h).
template <class F>
long long for_each_value(const std::string& line, F&& f) {
  return zor_feedback::detail::scan_values(line.data(), line.data() + line.size(), std::forward<F>(f));
}

// The figures of the log lines are ints; the counts behind them are not
// allowed to overflow on an absurdly large file.
int clamp_to_int(long long v) { return v > INT_MAX ? INT_MAX : static_cast<int>(v); }

// Closes the file on every way out of load_file, exceptions included.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const noexcept { return fd_; }

 private:
  int fd_;
};

// Opens `fname` for reading if it is a regular file; -1 otherwise. O_NONBLOCK
// keeps the open of a FIFO without a writer from blocking; only regular files
// are accepted, so that neither a FIFO nor a device can stall or feed the
// loader without end.
int open_regular_file(const char* fname, struct stat& st) {
  if (fname == nullptr) return -1;
  int fd;
  do fd = ::open(fname, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) return -1;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return -1;
  }
  // Plain blocking reads from here on (regular files ignore the flag anyway).
  const int fl = ::fcntl(fd, F_GETFL);
  if (fl >= 0) ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
  return fd;
}

// Whether the file looks unchanged since `before` was taken.
bool same_file_state(int fd, const struct stat& before) {
  struct stat now;
  if (::fstat(fd, &now) != 0) return false;
  return now.st_size == before.st_size && now.st_mtim.tv_sec == before.st_mtim.tv_sec &&
         now.st_mtim.tv_nsec == before.st_mtim.tv_nsec;
}

// Splits a file into lines at each line feed (not part of the line; a carriage
// return before it is), through one fixed buffer, so that only the current
// line is held in memory whatever the size of the file. The last line needs
// no line feed; a file that ends with one has no empty line after it.
class LineReader {
 public:
  explicit LineReader(int fd) : fd_(fd), buf_(kBufferSize) {}

  // The next line into `line`; false at the end of the file or on a read
  // error (then failed() is true).
  bool next(std::string& line) {
    line.clear();
    bool any = false;
    for (;;) {
      if (pos_ == end_ && !fill()) return any && !failed_;
      const char* const begin = buf_.data() + pos_;
      const std::size_t avail = end_ - pos_;
      const void* const lf = std::memchr(begin, '\n', avail);
      if (lf != nullptr) {
        const std::size_t n = static_cast<std::size_t>(static_cast<const char*>(lf) - begin);
        line.append(begin, n);
        pos_ += n + 1;
        consumed_ += static_cast<long long>(n) + 1;
        return true;
      }
      line.append(begin, avail);
      pos_ = end_;
      consumed_ += static_cast<long long>(avail);
      any = true;
    }
  }

  // Bytes from the start of the file to just past the last line read.
  long long offset() const noexcept { return consumed_; }
  bool failed() const noexcept { return failed_; }

  // Back to the start of the file, for another pass.
  void rewind() noexcept {
    pos_ = end_ = 0;
    file_pos_ = 0;
    consumed_ = 0;
    failed_ = false;
  }

 private:
  static constexpr std::size_t kBufferSize = 64 * 1024;

  bool fill() {
    ssize_t n;
    do n = ::pread(fd_, buf_.data(), buf_.size(), file_pos_);
    while (n < 0 && errno == EINTR);
    if (n <= 0) {
      failed_ = n < 0;
      return false;
    }
    file_pos_ += n;
    pos_ = 0;
    end_ = static_cast<std::size_t>(n);
    return true;
  }

  int fd_;
  std::vector<char> buf_;
  std::size_t pos_ = 0, end_ = 0;  // unread part of buf_
  off_t file_pos_ = 0;             // file offset of the next read
  long long consumed_ = 0;
  bool failed_ = false;
};

bool is_comment(const std::string& line) { return !line.empty() && line[0] == '#'; }

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
bool QTEV_ResponseMatrix::load_file(const char* fname) {
  static const char* const name = "QTEV_ResponseMatrix::load_file";
  const char* const shown = fname != nullptr ? fname : "(null)";
  log_line(name, kInfo, "INFO: Loading file %s ...", shown);

  struct stat opened {};
  const FileDescriptor fid(open_regular_file(fname, opened));
  if (fid.get() < 0) {
    log_line(name, DF_LOG, "ERROR: file %s not found!", shown);
    return false;
  }
  const int mon = rows, act = cols;
  LineReader reader(fid.get());
  std::string line;

  // Counting pass.
  long long M = 0, N = 0, len = 0;
  long long line_no = 0, long_line_no = 0, long_line_count = 0;
  while (reader.next(line)) {
    ++line_no;
    if (is_comment(line)) continue;
    N = for_each_value(line, [](double) {});
    ++M;
    len = reader.offset();
    if (N > act && long_line_no == 0) {
      long_line_no = line_no;
      long_line_count = N;
    }
  }
  if (reader.failed()) {
    log_line(name, DF_LOG, "ERROR: reading file %s failed!", shown);
    return false;
  }
  const long long lines_counted = M, last_count = N, bytes_counted = reader.offset();

  if (M != mon) {
    log_line(name, DF_LOG, "ERROR: No. rows (%d) do not match no. of monitors (%d)!", clamp_to_int(M), mon);
    return false;
  }
  if (N != act) {
    log_line(name, DF_LOG, "ERROR: No. columns (%d) do not match no. of actuators (%d)!", clamp_to_int(N),
             act);
    return false;
  }
  // Only reached when the line is not the last data line (that one failed the
  // test above).
  if (long_line_no != 0) {
    log_line(name, DF_LOG, "ERROR: Line %d has %d values, more than no. of actuators (%d)!",
             clamp_to_int(long_line_no), clamp_to_int(long_line_count), act);
    return false;
  }
  if (!same_file_state(fid.get(), opened)) {
    log_line(name, DF_LOG, "ERROR: file %s changed while being read!", shown);
    return false;
  }

  // Storing pass. The bounds only matter should the file change meanwhile.
  reader.rewind();
  M = 0;
  N = 0;
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
    log_line(name, DF_LOG, "ERROR: reading file %s failed!", shown);
    return false;
  }
  if (M != lines_counted || N != last_count || reader.offset() != bytes_counted ||
      !same_file_state(fid.get(), opened)) {
    log_line(name, DF_LOG, "ERROR: file %s changed while being read!", shown);
    return false;
  }

  log_line(name, kInfo, "INFO: Read %d bytes from: %s into %d x %d GSL array", clamp_to_int(len), shown,
           clamp_to_int(M), clamp_to_int(N));
  return true;
}

// ---------------------------------------------------------------------------
// Inversions
//
// The two inversions of a response matrix: by GSL's SVD with a cut-off on the
// singular values (invert), and by Armadillo's pseudo-inverse with a floor on
// small elements (pinv).
//
// Both check their operands first and refuse, with an "ERROR: ..." line and
// every output left as it was, what would otherwise write outside a matrix,
// reach GSL's error handler (which aborts the server) or quietly hand the
// machine a meaningless inverse: a missing pointer, a result matrix of the
// wrong shape, an empty or non-two-dimensional matrix, NaN or infinite
// elements. All arithmetic goes into temporaries; the outputs are written only
// when nothing can fail any more.

namespace {

// Bit of OVRIX_debug that selects the tables of intermediate results.
constexpr int kInversionTables = 128;
// Machine epsilon of double, 2^-52.
constexpr double kDoubleEpsilon = 2.220446049250313e-16;

using InversionClock = std::chrono::steady_clock;

void log_inversion_time(const char* origin, InversionClock::time_point t0) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(InversionClock::now() - t0).count();
  log_line(origin, kTiming, "took (ms): %.4f", static_cast<double>(ns) / 1e9 * 1000.0);
}

// The checks both inversions make before they touch anything: this matrix is
// a non-empty two-dimensional array and pinvR has its transposed shape.
bool inversion_operands_ok(const char* origin, const QTEV_ResponseMatrix& self,
                           const QTEV_ResponseMatrix& pinvR) {
  if (self.num_dims() != 2) {
    log_line(origin, DF_LOG, "ERROR: matrix has %d dimensions, needs 2; not inverted", self.num_dims());
    return false;
  }
  if (self.rows <= 0 || self.cols <= 0) {
    log_line(origin, DF_LOG, "ERROR: cannot invert an empty matrix (%d x %d)", self.rows, self.cols);
    return false;
  }
  if (pinvR.num_dims() != 2 || pinvR.rows != self.cols || pinvR.cols != self.rows) {
    log_line(origin, DF_LOG,
             "ERROR: Dimension mismatch: dim(pinvR) (%d x %d) must be %d x %d for dim(this) (%d x %d)",
             pinvR.rows, pinvR.cols, self.cols, self.rows, self.rows, self.cols);
    return false;
  }
  return true;
}

// Logs an error and returns false when an element is NaN or infinite: GSL's
// SVD may then fail to converge (and call the aborting error handler), and any
// inverse would be meaningless for the machine. `element(i, j)` reads one.
template <typename Element>
bool inversion_input_finite(const char* origin, int rows, int cols, Element element) {
  std::size_t bad = 0;
  int first_row = -1;
  int first_col = -1;
  for (int i = 0; i < rows; ++i)
    for (int j = 0; j < cols; ++j)
      if (!std::isfinite(element(i, j))) {
        if (bad++ == 0) {
          first_row = i;
          first_col = j;
        }
      }
  if (bad == 0) return true;
  log_line(origin, DF_LOG, "ERROR: matrix holds %zu non-finite values, first at (%d, %d); not inverted", bad,
           first_row, first_col);
  return false;
}

// dest = transpose of src; dest must be src.size2 x src.size1.
GslMatrix transposed_copy(const GslMatrix& src) {
  GslMatrix dest(src.size2(), src.size1());
  gsl_matrix_transpose_memcpy(dest.get(), src.get());
  return dest;
}

// The internal tolerance: max(rows, cols) * eps * max(S), rounded to two
// significant digits. Each stage is stored as float and the exponent comes
// from a single-precision logarithm, so that the tolerance written back is the
// same float to the last bit wherever it is computed. A zero max(S) gives NaN.
float internal_svd_tolerance(int rows, int cols, double s_max) {
  float t = static_cast<float>(static_cast<double>(std::max(rows, cols)) * kDoubleEpsilon * s_max);
  const double exponent = static_cast<double>(floorf(log10f(fabsf(t))));
  t = static_cast<float>(std::round(static_cast<double>(t) / std::pow(10.0, exponent - 1.0)) / 10.0);
  t = static_cast<float>(static_cast<double>(t) * std::pow(10.0, exponent));
  return t;
}

// SI * V^T, SI the diagonal matrix of the reciprocals 1 / S[i] of the
// singular values above `cutoff` (0 for the others): row i of V^T scaled by
// SI(i, i). Each element of the product has a single non-zero term; gemm sums
// it onto +0 with the zero terms, which changes nothing but turns a zero
// result of either sign into +0, hence the "+ 0.0". So the scaling gives the
// product's bits, unless a non-zero term underflows to zero: the sign of that
// zero then depends on the order of the BLAS's sums, and the product is
// formed by gsl_blas_dgemm after all.
GslMatrix scaled_transpose(const GslVector& S, double cutoff, const GslMatrix& V) {
  const std::size_t n = S.size();
  GslMatrix SIpVT(n, n);
  bool underflow = false;
  for (std::size_t i = 0; i < n; ++i) {
    const double si = S[i] > cutoff ? 1.0 / S[i] : 0.0;
    for (std::size_t j = 0; j < n; ++j) {
      const double x = si * V(j, i);
      underflow = underflow || (x == 0.0 && si != 0.0 && V(j, i) != 0.0);
      SIpVT(i, j) = x + 0.0;
    }
  }
  if (underflow) {
    GslMatrix SI(n, n);
    for (std::size_t i = 0; i < n; ++i) SI(i, i) = S[i] > cutoff ? 1.0 / S[i] : 0.0;
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

}  // namespace

// ---------------------------------------------------------------------------
// SVD inversion
//
// Reads this matrix (m x n); writes pinvR (n x m), singular_val (min(m, n)
// points), *nosv, and *tol when it was -1. The cut-off of the inverse is
// relative: s is inverted when s > *tol * max(S) (strict). The count *nosv is
// absolute: the values not below *tol (strict), less those whose reciprocal
// is infinite. Result elements with |v| <= *tol (absolute) are stored as 0.
void QTEV_ResponseMatrix::invert(QTEV_ResponseMatrix& pinvR, D_spectrum& singular_val, float* tol,
                                 int* nosv) {
  static const char* const name = "QTEV_ResponseMatrix::invert";
  const auto t0 = InversionClock::now();

  if (tol == nullptr || nosv == nullptr) {
    log_line(name, DF_LOG, "ERROR: null tol or nosv pointer; not inverted");
    return;
  }
  // A NaN cut-off would drop every singular value and hand the machine an
  // all-zero inverse without a word.
  if (std::isnan(*tol)) {
    log_line(name, DF_LOG, "ERROR: SVD cut off tolerance is not a number; not inverted");
    return;
  }
  if (!inversion_operands_ok(name, *this, pinvR)) return;
  GslMatrix R = create_gsl_matrix();
  if (!R) return;  // cannot happen after the checks above; never hand GSL an empty matrix
  if (!inversion_input_finite(name, rows, cols, [&R](int i, int j) {
        return R(static_cast<std::size_t>(i), static_cast<std::size_t>(j));
      }))
    return;

  // The working dimensions; once the orientation is settled wrows <= wcols,
  // and wrows is the number of singular values.
  int wrows = static_cast<int>(R.size1());
  int wcols = static_cast<int>(R.size2());
  log_line(name, kInfo, "INFO: SVD on %d x %d matrix ...", wrows, wcols);

  // GSL decomposes matrices with at least as many rows as columns; the
  // decomposed matrix gA_t is the transpose of the working matrix, so a tall
  // matrix is transposed first (and then gA_t is the matrix itself).
  const bool transposed = wrows > wcols;
  GslMatrix gA_t;
  if (transposed) {
    log_line(name, kInfo, "INFO: M < N transposing matrix ...");
    std::swap(wrows, wcols);
    log_line(name, kInfo, "INFO: matrix dim changed to: %d x %d", wrows, wcols);
    gA_t = std::move(R);
  } else {
    gA_t = transposed_copy(R);
    R = GslMatrix();
  }
  const auto nr = static_cast<std::size_t>(wrows);
  const auto nc = static_cast<std::size_t>(wcols);

  // gA_t (wcols x wrows) = U diag(S) V^T; the decomposition leaves U in gA_t.
  GslMatrix V(nr, nr);
  GslVector S(nr);
  {
    GslVector work(nr);
    gsl_linalg_SV_decomp(gA_t.get(), V.get(), S.get(), work.get());
  }
  const GslMatrix& U = gA_t;
  const double s_max = gsl_vector_max(S.get());

  float used_tol = *tol;
  if (used_tol == -1.0f) {
    used_tol = internal_svd_tolerance(wrows, wcols, s_max);
    log_line(name, kInfo, "INFO: Using internal tolerance for SVD cut off: %e",
             static_cast<double>(used_tol));
  } else {
    log_line(name, kInfo, "INFO: Using user provided SVD cut off tolerance: %e",
             static_cast<double>(used_tol));
  }
  const bool tables = (OVRIX_debug & kInversionTables) != 0;
  if (tables) print_vector_table("S\n----------------------------------------", S);

  // Relative cut-off: the internal tolerance already holds max(S) and is
  // multiplied by it once more. Strict, so a NaN cut-off drops every value.
  const double cutoff = static_cast<double>(used_tol) * s_max;
  GslMatrix SIpVT = scaled_transpose(S, cutoff, V);
  GslMatrix R_plus(nc, nr);
  gsl_blas_dgemm(CblasNoTrans, CblasNoTrans, 1.0, U.get(), SIpVT.get(), 0.0, R_plus.get());

  // The count for the report uses the absolute tolerance, not the cut-off.
  GslVector oos(nr);
  gsl_vector_set_all(oos.get(), 1.0);
  gsl_vector_div(oos.get(), S.get());
  int infs = 0;
  int cuto = 0;
  for (std::size_t i = 0; i < nr; ++i) {
    if (gsl_isinf(oos[i]) != 0) {
      oos[i] = 0.0;
      ++infs;
    } else if (S[i] < static_cast<double>(used_tol)) {
      oos[i] = 0.0;
      ++cuto;
    }
  }
  const int used = wrows - infs - cuto;
  if (infs > 0) log_line(name, kInfo, "INFO: Removed %d infinite values from S", infs);
  log_line(name, kInfo, "INFO: Using %d from %d singular values", used, wrows);
  if (tables) print_vector_table("1/s\n----------------------------------------", oos);

  // R_plus is wcols x wrows: n x m, the shape of the result, unless the
  // matrix was transposed; then wrows = n and wcols = m, and the result is
  // R_plus transposed, read as such below rather than copied.
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
  // off), the result with elements |v| <= *tol cleared, the tolerance, the
  // count.
  singular_val.set_length(static_cast<int>(nr));
  for (std::size_t i = 0; i < nr; ++i)
    singular_val.fill_spectrum(static_cast<int>(i), static_cast<float>(S[i]));
  const double clip = static_cast<double>(used_tol);
  for (std::size_t i = 0; i < out_rows; ++i)
    for (std::size_t j = 0; j < out_cols; ++j) {
      const double v = result(i, j);
      pinvR.set_value(std::fabs(v) > clip ? static_cast<float>(v) : 0.0f, static_cast<int>(i),
                      static_cast<int>(j), -1, -1, -1, -1);
    }
  *tol = used_tol;
  *nosv = used;

  log_inversion_time(name, t0);
}

// ---------------------------------------------------------------------------
// Pseudo-inverse with tolerance
//
// Reads this matrix (m x n) and *tolerance; writes pinvR (n x m). On a copy,
// input elements with 0 < |a| < *tolerance (absolute, strict) are cleared;
// then Armadillo's pinv (its default tolerance, divide-and-conquer SVD);
// result elements with 0 < |b| < 2^-52 are cleared. Armadillo's failure
// ("pinv(): svd failed", std::runtime_error) propagates with pinvR unchanged.
void QTEV_ResponseMatrix::pinv(QTEV_ResponseMatrix& pinvR, float* tolerance) {
  static const char* const name = "QTEV_ResponseMatrix::pinv";
  const auto t0 = InversionClock::now();

  if (tolerance == nullptr) {
    log_line(name, DF_LOG, "ERROR: null tolerance pointer; not inverted");
    return;
  }
  if (!inversion_operands_ok(name, *this, pinvR)) return;
  arma::mat A = QTEV2arma_mat(*this);
  // A scan in storage order first; the row-by-row one, which names the first
  // bad element, only when there is one.
  if (!A.is_finite() && !inversion_input_finite(name, rows, cols, [&A](int i, int j) {
        return A.at(static_cast<arma::uword>(i), static_cast<arma::uword>(j));
      }))
    return;

  const double floor_in = static_cast<double>(*tolerance);
  unsigned int in_filter = 0;
  for (double& a : A)
    if (std::fabs(a) < floor_in && a != 0.0) {
      a = 0.0;
      ++in_filter;
    }
  if (in_filter > 0)
    log_line(name, kInfo, "removed %d values (< %.g) in input\n", static_cast<int>(in_filter),
             floor_in);

  arma::mat B = arma::pinv(A);

  unsigned int out_filter = 0;
  for (double& b : B)
    if (std::fabs(b) < kDoubleEpsilon && b != 0.0) {
      b = 0.0;
      ++out_filter;
    }
  if (out_filter > 0)
    log_line(name, kInfo, "removed %d values (< %.g) in inverse\n", static_cast<int>(out_filter),
             kDoubleEpsilon);

  pinvR.arma_mat2QTEV(std::move(B));

  log_inversion_time(name, t0);
}
