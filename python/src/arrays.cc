// numpy arrays into and out of the library's matrices.
#include <climits>
#include <cstddef>

#include "binding.h"

namespace zor_feedback::python {
using namespace pybind11::literals;

std::string shape_text(long long rows, long long cols) {
  return std::to_string(rows) + " x " + std::to_string(cols);
}

void raise(PyObject* type, const std::string& text) {
  PyErr_SetString(type, text.c_str());
  throw py::error_already_set();
}

std::string file_name(const py::object& path) {
  const py::bytes encoded = py::module_::import("os").attr("fsencode")(path);
  std::string name = encoded;
  if (name.find('\0') != std::string::npos) throw py::value_error("embedded null byte in the file name");
  return name;
}

py::array real_array(const ArrayLike& arg, const char* name, int ndim) {
  const py::array a = py::module_::import("numpy").attr("asarray")(arg.obj);
  const char kind = a.dtype().kind();
  if (kind != 'b' && kind != 'i' && kind != 'u' && kind != 'f')
    throw py::type_error(std::string(name) + " must hold real numbers, not " +
                         std::string(py::str(a.dtype())));
  if (a.ndim() != ndim)
    throw py::value_error(std::string(name) + " must be a " + std::to_string(ndim) + "-D array" +
                          (ndim == 2 ? " (rows x columns)" : "") + ", not one of shape " +
                          std::string(py::str(a.attr("shape"))));
  return a;
}

MatrixIn matrix_in(const ArrayLike& arg, const char* name) {
  const py::array a = real_array(arg, name, 2);
  if (a.shape(0) > INT_MAX || a.shape(1) > INT_MAX)
    throw py::value_error(std::string(name) + " is " + shape_text(a.shape(0), a.shape(1)) +
                          "; a response matrix has at most " + std::to_string(INT_MAX) + " rows and columns");
  MatrixIn in;
  in.array = py::module_::import("numpy").attr("ascontiguousarray")(a, "dtype"_a = "float32");
  in.rows = static_cast<int>(a.shape(0));
  in.cols = static_cast<int>(a.shape(1));
  return in;
}

std::vector<double> vector_in(const py::object& arg, const char* name) {
  if (arg.is_none()) return {};
  const py::array_t<double, py::array::c_style | py::array::forcecast> a = real_array({arg}, name, 1);
  return std::vector<double>(a.data(), a.data() + a.size());
}

void fill(QTEV_ResponseMatrix& M, const float* p) {
  std::size_t k = 0;
  for (int i = 0; i < M.rows; ++i)
    for (int j = 0; j < M.cols; ++j) M.set_value(p[k++], i, j, -1, -1, -1, -1);
}

void read_out(QTEV_ResponseMatrix& M, float* p) {
  std::size_t k = 0;
  for (int i = 0; i < M.rows; ++i)
    for (int j = 0; j < M.cols; ++j) p[k++] = M.value(i, j, -1, -1, -1, -1);
}

py::array_t<float> new_matrix(int rows, int cols) {
  return py::array_t<float>(std::vector<py::ssize_t>{rows, cols});
}

py::array_t<double> doubles(const std::vector<double>& v) {
  return py::array_t<double>(static_cast<py::ssize_t>(v.size()), v.data());
}

}  // namespace zor_feedback::python
