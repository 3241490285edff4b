// LabelledMatrix: a response matrix with the names and planes of its
// monitors and correctors, made from numpy arrays and lists of names, and
// read from and written to its files by the library.
#include <pybind11/stl.h>

#include <climits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "binding.h"

namespace zor_feedback::python {
namespace {

using Names = std::optional<std::vector<std::string>>;

// The names an unlabelled file is read with: the indices.
std::vector<std::string> index_names(int count) {
  std::vector<std::string> names;
  for (int i = 0; i < count; ++i) names.push_back(std::to_string(i));
  return names;
}

std::vector<Plane> planes_in(const Names& names, int count, const char* what) {
  if (!names) return std::vector<Plane>(static_cast<std::size_t>(count), Plane::x);
  std::vector<Plane> planes;
  for (const std::string& n : *names) planes.push_back(plane_in(n, what));
  return planes;
}

LabelledMatrix make(const ArrayLike& values, const Names& monitors, const Names& correctors,
                    const Names& monitor_planes, const Names& corrector_planes, const std::string& units) {
  const py::array a = real_array(values, "values", 2);
  if (a.shape(0) > INT_MAX || a.shape(1) > INT_MAX)
    throw py::value_error("values is " + shape_text(a.shape(0), a.shape(1)) +
                          ", more than a matrix can hold");
  const py::array_t<double, py::array::c_style | py::array::forcecast> v(a);
  LabelledMatrix m;
  m.rows = static_cast<int>(a.shape(0));
  m.cols = static_cast<int>(a.shape(1));
  m.values.assign(v.data(), v.data() + v.size());
  m.monitors = monitors.value_or(index_names(m.rows));
  m.correctors = correctors.value_or(index_names(m.cols));
  m.monitor_planes = planes_in(monitor_planes, m.rows, "monitor_planes");
  m.corrector_planes = planes_in(corrector_planes, m.cols, "corrector_planes");
  m.units = units;
  if (const std::string why = check_labelled_matrix(m); !why.empty()) raise(PyExc_ValueError, why);
  return m;
}

std::vector<std::string> plane_names(const std::vector<Plane>& planes) {
  std::vector<std::string> names;
  for (const Plane p : planes) names.emplace_back(plane_name(p));
  return names;
}

LabelledMatrix read(const py::object& path) {
  const std::string name = file_name(path);
  LabelledMatrix m;
  LabelledReport rep;
  {
    py::gil_scoped_release nogil;
    rep = read_labelled_matrix(name.c_str(), &m);
  }
  // The report does not tell a file that cannot be opened from one that does
  // not read as a matrix: both are ValueError.
  if (!rep.ok) raise(PyExc_ValueError, rep.error);
  return m;
}

void write(const py::object& path, const LabelledMatrix& m, const std::optional<py::object>& comment) {
  const std::string name = file_name(path);
  std::vector<std::string> lines;
  if (comment && py::isinstance<py::str>(*comment)) {
    for (const py::handle line : comment->attr("splitlines")()) lines.push_back(line.cast<std::string>());
  } else if (comment && !comment->is_none()) {
    lines = comment->cast<std::vector<std::string>>();
  }
  LabelledReport rep;
  {
    py::gil_scoped_release nogil;
    rep = write_labelled_matrix(name.c_str(), m, lines);
  }
  if (!rep.ok) raise(PyExc_ValueError, rep.error);
  // What the format could not keep (the labels of a .npy).
  for (const std::string& w : rep.warnings)
    if (PyErr_WarnEx(PyExc_UserWarning, w.c_str(), 1) != 0) throw py::error_already_set();
}

std::string repr(const LabelledMatrix& m) {
  return "LabelledMatrix(" + shape_text(m.rows, m.cols) +
         (m.units.empty() ? "" : ", units '" + m.units + "'") + ")";
}

constexpr const char* kClassDoc =
    R"doc(A response matrix with the names and planes of its monitors (rows) and
correctors (columns): zor_feedback::LabelledMatrix (labelled_matrix.h).

LabelledMatrix(values, *, monitors=None, correctors=None, monitor_planes=None,
corrector_planes=None, units="") takes a 2-D array of real numbers (kept as
float64) and lists of names and of planes ("x" or "y"); a list left out is
filled as the reader fills an unlabelled file (the indices, plane x).
Raises ValueError with check_labelled_matrix's text when they do not fit.
The attributes are copies; the object does not change.)doc";

constexpr const char* kReadDoc =
    R"doc(Reads a labelled matrix file (zor_feedback::read_labelled_matrix): by its
name a .npy, a Matrix Market .mtx or the labelled text, each optionally .gz.
Raises ValueError with the library's text when it refuses the file, including one
that cannot be opened.)doc";

constexpr const char* kWriteDoc =
    R"doc(Writes `m` (zor_feedback::write_labelled_matrix) in the format its name
gives: .npy, .mtx or the labelled text, each optionally .gz; `comment` (a str
of lines or a list of lines) goes first in a text or .mtx. Raises ValueError
with the library's text when it refuses (a value beyond the float range
included); a .npy keeps no names, planes or units and warns (UserWarning)
when there were any.)doc";

}  // namespace

Plane plane_in(const std::string& name, const char* what) {
  if (name != "x" && name != "y")
    throw py::value_error(std::string(what) + ": '" + name + "' is neither x nor y");
  return name == "x" ? Plane::x : Plane::y;
}

py::array_t<double> matrix_values(const LabelledMatrix& m) {
  return py::array_t<double>(std::vector<py::ssize_t>{m.rows, m.cols}, m.values.data());
}

void register_labelled(py::module_& m) {
  using L = LabelledMatrix;
  py::class_<L>(m, "LabelledMatrix", kClassDoc)
      .def(py::init(&make), py::arg("values"), py::kw_only(), py::arg("monitors") = py::none(),
           py::arg("correctors") = py::none(), py::arg("monitor_planes") = py::none(),
           py::arg("corrector_planes") = py::none(), py::arg("units") = "")
      .def_property_readonly("values", &matrix_values, "The elements, monitors x correctors, float64.")
      .def_property_readonly("monitors", [](const L& l) { return l.monitors; })
      .def_property_readonly("correctors", [](const L& l) { return l.correctors; })
      .def_property_readonly("monitor_planes", [](const L& l) { return plane_names(l.monitor_planes); })
      .def_property_readonly("corrector_planes", [](const L& l) { return plane_names(l.corrector_planes); })
      .def_property_readonly("units", [](const L& l) { return l.units; })
      .def_property_readonly("shape", [](const L& l) { return std::make_pair(l.rows, l.cols); })
      .def("__repr__", &repr)
      .def(py::pickle(
          [](const L& l) {
            return py::make_tuple(matrix_values(l), l.monitors, l.correctors, plane_names(l.monitor_planes),
                                  plane_names(l.corrector_planes), l.units);
          },
          [](const py::tuple& t) {
            if (t.size() != 6) throw py::value_error("a pickled LabelledMatrix holds 6 items");
            return make(ArrayLike{py::reinterpret_borrow<py::object>(t[0])}, t[1].cast<Names>(),
                        t[2].cast<Names>(), t[3].cast<Names>(), t[4].cast<Names>(), t[5].cast<std::string>());
          }));
  m.def("read_labelled_matrix", &read, py::arg("path"), kReadDoc);
  m.def("write_labelled_matrix", &write, py::arg("path"), py::arg("m"), py::arg("comment") = py::none(),
        kWriteDoc);
}

}  // namespace zor_feedback::python
