// Loading a response-matrix file with the library's loader, refusing a file
// that the library's shape report marks as read differently than it looks.
#include <pybind11/stl.h>

#include "binding.h"

namespace zor_feedback::python {
namespace {

py::array_t<float> load(const py::object& path) {
  const std::string name = file_name(path);
  zor_feedback::MatrixFileShape shape;
  {
    py::gil_scoped_release nogil;
    shape = zor_feedback::matrix_file_shape(name.c_str());
  }
  if (!shape.ok) raise(PyExc_OSError, shape.error);
  if (const std::string why = zor_feedback::misread(shape); !why.empty())
    raise(PyExc_ValueError,
          "ERROR: '" + name + "' is read differently than it looks; nothing is loaded: " + why);

  py::array_t<float> result = new_matrix(shape.rows, shape.cols);
  float* out = result.mutable_data();
  zor_feedback::LoadReport rep;
  {
    py::gil_scoped_release nogil;
    QTEV_ResponseMatrix R("RESPONSE_MATRIX", shape.rows, shape.cols, nullptr);
    rep = R.load_report(name.c_str());
    if (rep.ok) read_out(R, out);
  }
  if (!rep.ok) raise(PyExc_ValueError, rep.error);
  return result;
}

constexpr const char* kLoadDoc =
    R"doc(Loads a response-matrix file with the library's loader (QTEV_ResponseMatrix::load_file)
into a float32 array of the file's own shape (zor_feedback::matrix_file_shape).

Raises OSError when the file cannot be opened or read, ValueError with the
loader's text when it does not load, and ValueError when the library's shape
report marks lines that load differently than they look (values ending at a
separator, a NaN or infinity, or other text; lines with fewer values than the
last one).
The loader's warnings go to the logger "zor_feedback".)doc";

}  // namespace

void register_load(py::module_& m) { m.def("load", &load, py::arg("path"), kLoadDoc); }

}  // namespace zor_feedback::python
