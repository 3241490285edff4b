#include <fcntl.h>
#include <gsl/gsl_blas.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "zor_feedback/detail.h"
#include "zor_feedback/value_scanner.h"
#include "zor_feedback/zor_feedback.h"

using zor_feedback::detail::GslMatrix;
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
  GslMatrix R(static_cast<std::size_t>(rows), static_cast<std::size_t>(cols));
  if (!R) return R;
  // The base's own accessor, called directly so that it inlines.
  for (int i = 0; i < rows; ++i)
    for (int j = 0; j < cols; ++j)
      R(static_cast<std::size_t>(i), static_cast<std::size_t>(j)) =
          D_mdfloat_array::value(i, j, -1, -1, -1, -1);
  return R;
}

arma::mat QTEV_ResponseMatrix::QTEV2arma_mat(QTEV_ResponseMatrix& A) {
  arma::mat M(static_cast<arma::uword>(A.rows), static_cast<arma::uword>(A.cols), arma::fill::zeros);
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
