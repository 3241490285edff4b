// The response-matrix property: construction, copies, comparison, and the
// conversions to GSL and Armadillo matrices.
#include <armadillo>
#include <cstddef>
#include <string>

#include "gsl_handles.h"
#include "log_line.h"
#include "zor_feedback/arma.h"

using namespace zor_feedback::detail;

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
