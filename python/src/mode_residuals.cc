// Correction.mode_residuals: a step's orbit error per mode (correction.h).
#include <pybind11/stl.h>

#include <vector>

#include "binding.h"
#include "correction_shared.h"

namespace zor_feedback::python {

void register_mode_residuals(py::module_& m) {
  auto c = py::reinterpret_borrow<py::class_<Shared>>(m.attr("Correction"));
  c.def(
      "mode_residuals",
      [](const py::object& self, const StepResult& step, const py::object& orbit) {
        if (!step.owner.is(self))
          throw py::value_error("the step was computed by another Correction; compute it here");
        const std::vector<double> o = vector_in(orbit, "orbit");
        Shared& k = self.cast<Shared&>();
        ModeResiduals r;
        {
          const Hold hold(k);
          r = k.mode_residuals(step.step, o);
        }
        if (!r.ok) raise(PyExc_ValueError, r.error);
        return py::make_tuple(doubles(r.plane[0]), doubles(r.plane[1]));
      },
      py::arg("step"), py::arg("orbit"),
      "(x, y): U^T W (orbit - reference) for the modes each plane's solve used, U the left singular "
      "vectors of its weighted rows and columns of the step, each with its first element of at least half "
      "its largest magnitude positive; "
      "ValueError for a refused or stale step.");
}

}  // namespace zor_feedback::python
