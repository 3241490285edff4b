// Loading a response-matrix file of any format as zorfb does
// (zor_feedback::load_matrix_file): the same refusals, the same texts.
#include <pybind11/stl.h>

#include <memory>

#include "zor_feedback/matrix_load.h"

#include "binding.h"

namespace zor_feedback::python {
namespace {

py::array_t<float> load(const py::object& path) {
  const std::string name = file_name(path);
  std::unique_ptr<QTEV_ResponseMatrix> R;
  zor_feedback::MatrixLoad rep;
  {
    py::gil_scoped_release nogil;
    rep = zor_feedback::load_matrix_file(name.c_str(), [&R](int rows, int cols) {
      R = std::make_unique<QTEV_ResponseMatrix>("RESPONSE_MATRIX", rows, cols, nullptr);
      return R.get();
    });
  }
  if (!rep.ok) raise(rep.cannot_open ? PyExc_OSError : PyExc_ValueError, rep.error);
  py::array_t<float> result = new_matrix(rep.rows, rep.cols);
  read_out(*R, result.mutable_data());
  return result;
}

constexpr const char* kLoadDoc =
    R"doc(Loads a response-matrix file into a float32 array of the file's own shape,
as zorfb does (zor_feedback::load_matrix_file): the loader's text format by
QTEV_ResponseMatrix::load_file, or by the file's name a .npy (2-D), a Matrix
Market .mtx, each of them optionally gzip-compressed (.gz).

Raises OSError when the file cannot be opened or read, and ValueError with the
library's text for everything zorfb refuses: no data, a last line without
numbers, lines that load differently than they look (values ending at a
separator, a NaN or infinity, or other text; lines with fewer values than the
last one), a value beyond the float range, a .npy that is not 2-D.
The loader's warnings go to the logger "zor_feedback".)doc";

}  // namespace

void register_load(py::module_& m) { m.def("load", &load, py::arg("path"), kLoadDoc); }

}  // namespace zor_feedback::python
