// gsl_handles.h - owning handles for the GSL matrices and vectors of the
// library. Private to the library; not installed.
#ifndef ZOR_FEEDBACK_GSL_HANDLES_H
#define ZOR_FEEDBACK_GSL_HANDLES_H

#include <gsl/gsl_matrix.h>
#include <gsl/gsl_vector.h>

#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

namespace zor_feedback {
namespace detail {

// Owner of a GSL matrix or vector. The storage is owned by the handle, and the
// GSL struct a view of it, so that GSL never allocates for the library: a failed
// allocation is a std::bad_alloc, never a call of GSL's error handler (whose
// default aborts the process). Zero dimensions give an empty handle, since GSL
// rejects them. Moving keeps the view valid (the buffer moves with it).
class GslMatrix {
 public:
  enum class Fill { zeros, none };  // none: every element is written by the caller

  GslMatrix() = default;
  GslMatrix(std::size_t n1, std::size_t n2, Fill fill = Fill::zeros) {
    if (n1 == 0 || n2 == 0) return;
    // new double[] leaves the elements uninitialised, new double[]() zeroes.
    data_.reset(fill == Fill::zeros ? new double[n1 * n2]() : new double[n1 * n2]);
    m_ = gsl_matrix{n1, n2, n2, data_.get(), nullptr, 0};
  }
  GslMatrix(GslMatrix&& o) noexcept : data_(std::move(o.data_)), m_(o.m_) { o.m_ = gsl_matrix{}; }
  GslMatrix& operator=(GslMatrix&& o) noexcept {
    data_ = std::move(o.data_);
    m_ = o.m_;
    o.m_ = gsl_matrix{};
    return *this;
  }
  GslMatrix(const GslMatrix&) = delete;
  GslMatrix& operator=(const GslMatrix&) = delete;

  // The GSL view, or null for an empty handle.
  gsl_matrix* get() noexcept { return m_.data != nullptr ? &m_ : nullptr; }
  const gsl_matrix* get() const noexcept { return m_.data != nullptr ? &m_ : nullptr; }
  explicit operator bool() const noexcept { return m_.data != nullptr; }
  std::size_t size1() const noexcept { return m_.size1; }
  std::size_t size2() const noexcept { return m_.size2; }
  double& operator()(std::size_t i, std::size_t j) noexcept { return data_[i * m_.tda + j]; }
  double operator()(std::size_t i, std::size_t j) const noexcept { return data_[i * m_.tda + j]; }

 private:
  std::unique_ptr<double[]> data_;
  gsl_matrix m_{};
};

class GslVector {
 public:
  GslVector() = default;
  explicit GslVector(std::size_t n) {
    if (n == 0) return;
    data_.assign(n, 0.0);
    v_ = gsl_vector{n, 1, data_.data(), nullptr, 0};
  }
  GslVector(GslVector&& o) noexcept : data_(std::move(o.data_)), v_(o.v_) { o.v_ = gsl_vector{}; }
  GslVector& operator=(GslVector&& o) noexcept {
    data_ = std::move(o.data_);
    v_ = o.v_;
    o.v_ = gsl_vector{};
    return *this;
  }
  GslVector(const GslVector&) = delete;
  GslVector& operator=(const GslVector&) = delete;

  gsl_vector* get() noexcept { return v_.data != nullptr ? &v_ : nullptr; }
  const gsl_vector* get() const noexcept { return v_.data != nullptr ? &v_ : nullptr; }
  explicit operator bool() const noexcept { return v_.data != nullptr; }
  std::size_t size() const noexcept { return v_.size; }
  double& operator[](std::size_t i) noexcept { return data_[i]; }
  double operator[](std::size_t i) const noexcept { return data_[i]; }

 private:
  std::vector<double> data_;
  gsl_vector v_{};
};

}  // namespace detail
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_GSL_HANDLES_H
