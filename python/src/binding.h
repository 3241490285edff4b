// What the registration files of the Python module share: the argument type
// that numpy converts, the matrix conversions, the registration functions.
#ifndef ZOR_FEEDBACK_PYTHON_BINDING_H
#define ZOR_FEEDBACK_PYTHON_BINDING_H

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "zor_feedback/labelled_matrix.h"
#include "zor_feedback/zor_feedback.h"

namespace zor_feedback::python {
namespace py = pybind11;

// An argument that numpy turns into an array: taken as it comes, so that the
// conversion and its errors are numpy's; named as the type hints name it.
struct ArrayLike {
  py::object obj;
};

// A 2-D array of real numbers as float32 in C order, the layout the
// library's matrices are filled from (numpy copies only when it is not so).
struct MatrixIn {
  py::array_t<float, py::array::c_style> array;
  int rows = 0;
  int cols = 0;
};

// `arg` as a numpy array of real numbers with `ndim` dimensions (TypeError,
// ValueError otherwise), not yet converted.
py::array real_array(const ArrayLike& arg, const char* name, int ndim);
MatrixIn matrix_in(const ArrayLike& arg, const char* name);
// A 1-D array of real numbers as doubles; None gives an empty vector.
std::vector<double> vector_in(const py::object& arg, const char* name);
// The filter given by one of rcond, keep, tikhonov (a strength A, or "auto",
// "lcurve", "gcv", "discrepancy NOISE") and its text form; the default for
// none. ValueError for more than one, keep=0 or text the parser refuses.
Filter filter_in(std::optional<double> rcond, std::optional<int> keep, const py::object& tikhonov,
                 const std::optional<std::string>& text);
// The library's matrix from / into a C-order float array of its shape.
void fill(QTEV_ResponseMatrix& M, const float* p);
void read_out(QTEV_ResponseMatrix& M, float* p);
py::array_t<float> new_matrix(int rows, int cols);
py::array_t<double> doubles(const std::vector<double>& v);
std::string shape_text(long long rows, long long cols);
// The path as the operating system takes it (str, bytes or os.PathLike).
std::string file_name(const py::object& path);

// A Python exception of `type` with the library's text.
[[noreturn]] void raise(PyObject* type, const std::string& text);

// "x" or "y" (ValueError naming `what` otherwise); the values as an array.
Plane plane_in(const std::string& name, const char* what);
py::array_t<double> matrix_values(const LabelledMatrix& m);

// D_ringbuf as a client reads it (ringbuf.cc); a Correction publishes into it.
class RingBuffer {
 public:
  explicit RingBuffer(int size);
  void store(const std::string& text);
  // What a client's get() replies: all entries (index None) or entry `index`.
  std::vector<std::pair<long long, std::string>> get(std::optional<int> index);
  D_ringbuf* buffer() { return buffer_.get(); }

 private:
  std::unique_ptr<D_ringbuf> buffer_;
};

// One registration per concept, in the order module.cc calls them.
void register_reports(py::module_& m);
void register_inversions(py::module_& m);
void register_products(py::module_& m);
void register_load(py::module_& m);
void register_ringbuf(py::module_& m);
void register_chicane(py::module_& m);
void register_labelled(py::module_& m);
void register_correction(py::module_& m);
void register_measure(py::module_& m);
void register_controller(py::module_& m);
void register_quality(py::module_& m);
void register_mode_residuals(py::module_& m);   // after register_correction
void register_tikhonov_choice(py::module_& m);  // after register_correction

}  // namespace zor_feedback::python

namespace pybind11::detail {
template <>
struct type_caster<zor_feedback::python::ArrayLike> {
  PYBIND11_TYPE_CASTER(zor_feedback::python::ArrayLike, const_name("numpy.typing.ArrayLike"));
  bool load(handle src, bool) {
    value.obj = reinterpret_borrow<object>(src);
    return true;
  }
};
}  // namespace pybind11::detail

#endif  // ZOR_FEEDBACK_PYTHON_BINDING_H
