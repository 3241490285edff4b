// gsl_handles.h - owning handles for the GSL matrices and vectors of the
// library. Private to the library; not installed.
#ifndef ZOR_FEEDBACK_GSL_HANDLES_H
#define ZOR_FEEDBACK_GSL_HANDLES_H

#include <gsl/gsl_matrix.h>
#include <gsl/gsl_vector.h>

#include <cstddef>
#include <memory>
#include <utility>

namespace zor_feedback {
namespace detail {

// Owner of a GSL matrix or vector. The storage is owned by the handle, and the
// GSL struct a view of it, so that GSL never allocates for the library: a failed
// allocation is a std::bad_alloc, never a call of GSL's error handler (whose
// default aborts the process). Zero dimensions give an empty handle, since GSL
// rejects them. Moving keeps the view valid (the buffer moves with it); copying
// is not possible (the buffer is owned once).
template <class View>
class GslHandle {
 public:
  // The GSL view, or null for an empty handle.
  View* get() noexcept { return view_.data != nullptr ? &view_ : nullptr; }
  const View* get() const noexcept { return view_.data != nullptr ? &view_ : nullptr; }
  explicit operator bool() const noexcept { return view_.data != nullptr; }

 protected:
  GslHandle() = default;
  ~GslHandle() = default;
  GslHandle(GslHandle&& o) noexcept : data_(std::move(o.data_)), view_(o.view_) { o.view_ = View{}; }
  GslHandle& operator=(GslHandle&& o) noexcept {
    data_ = std::move(o.data_);
    view_ = o.view_;
    o.view_ = View{};
    return *this;
  }

  std::unique_ptr<double[]> data_;
  View view_{};
};

class GslMatrix : public GslHandle<gsl_matrix> {
 public:
  enum class Fill { zeros, none };  // none: every element is written by the caller

  GslMatrix() = default;
  GslMatrix(std::size_t n1, std::size_t n2, Fill fill = Fill::zeros) {
    if (n1 == 0 || n2 == 0) return;
    // new double[] leaves the elements uninitialised, new double[]() zeroes.
    data_.reset(fill == Fill::zeros ? new double[n1 * n2]() : new double[n1 * n2]);
    view_ = gsl_matrix{n1, n2, n2, data_.get(), nullptr, 0};
  }

  std::size_t size1() const noexcept { return view_.size1; }
  std::size_t size2() const noexcept { return view_.size2; }
  double& operator()(std::size_t i, std::size_t j) noexcept { return data_[i * view_.tda + j]; }
  double operator()(std::size_t i, std::size_t j) const noexcept { return data_[i * view_.tda + j]; }
};

class GslVector : public GslHandle<gsl_vector> {
 public:
  GslVector() = default;
  explicit GslVector(std::size_t n) {
    if (n == 0) return;
    data_.reset(new double[n]());
    view_ = gsl_vector{n, 1, data_.get(), nullptr, 0};
  }

  std::size_t size() const noexcept { return view_.size; }
  double& operator[](std::size_t i) noexcept { return data_[i]; }
  double operator[](std::size_t i) const noexcept { return data_[i]; }
};

}  // namespace detail
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_GSL_HANDLES_H
