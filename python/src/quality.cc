// welch: the power spectrum of an orbit signal and its integral
// (loop/quality.h).
#include <pybind11/stl.h>

#include <vector>

#include "binding.h"
#include "zor_feedback/loop/quality.h"

namespace zor_feedback::python {

void register_quality(py::module_& m) {
  namespace zl = zor_feedback::loop;
  py::class_<zl::Spectrum> s(m, "Spectrum", "zor_feedback::loop::Spectrum (quality.h): a one-sided PSD.");
  s.def_property_readonly("frequency", [](const zl::Spectrum& r) { return doubles(r.frequency); })
      .def_property_readonly("density", [](const zl::Spectrum& r) { return doubles(r.density); })
      .def_readonly("segments", &zl::Spectrum::segments)
      .def_readonly("integrated", &zl::Spectrum::integrated);
  m.def(
      "welch",
      [](const py::object& x, double rate, int segment) {
        const std::vector<double> v = vector_in(x, "x");
        zl::Spectrum r = zl::welch(v, rate, segment);
        if (!r.ok) raise(PyExc_ValueError, r.error);
        return r;
      },
      py::arg("x"), py::arg("rate"), py::arg("segment"),
      "The one-sided power spectral density by Welch's method, as scipy.signal.welch(x, rate, "
      "nperseg=segment) gives it, and its integral; ValueError for what it cannot measure.");
}

}  // namespace zor_feedback::python
