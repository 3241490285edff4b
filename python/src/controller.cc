// Controller: the loop's controller per plane after a Correction's solve at
// gain 1 (loop/correction_pi.h). step() gives the kicks to write; written()
// records them once they are set. Both take the Correction's lock.
#include <pybind11/stl.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "binding.h"
#include "correction_shared.h"
#include "zor_feedback/loop/correction_pi.h"

namespace zor_feedback::python {
namespace {

namespace zl = zor_feedback::loop;

struct PyController {
  py::object owner;  // the Correction, kept alive
  Shared* correction = nullptr;
  zl::ControllerConfig planes[2];
  std::unique_ptr<zl::Controller> controller;
};

zl::ControllerConfig config_arg(const std::string& text, const char* plane) {
  zl::ControllerConfig c;
  std::string error;
  if (!zl::parse_controller(text, &c, &error))
    raise(PyExc_ValueError, std::string("plane ") + plane + ": " + error);
  return c;
}

std::unique_ptr<PyController> make(const py::object& correction, const std::string& x,
                                   const std::optional<std::string>& y) {
  auto c = std::make_unique<PyController>();
  c->owner = correction;
  c->correction = &correction.cast<Shared&>();
  c->planes[0] = config_arg(x, "x");
  c->planes[1] = config_arg(y.value_or(x), "y");
  std::string error;
  c->controller = zl::make_correction_pi(*c->correction, c->planes, &error);
  if (!c->controller) raise(PyExc_ValueError, error);
  return c;
}

py::array_t<double> step(PyController& c, const py::object& orbit, const py::object& kicks) {
  const std::vector<double> o = vector_in(orbit, "orbit"), k = vector_in(kicks, "kicks");
  zl::ControllerStep s;
  {
    py::gil_scoped_release nogil;
    const Hold hold(*c.correction);
    s = c.controller->step(o, k);
  }
  if (!s.ok) raise(PyExc_ValueError, s.error);
  return doubles(s.kicks);
}

void written(PyController& c) {
  std::string error;
  {
    const Hold hold(*c.correction);
    error = c.controller->written();
  }
  if (!error.empty()) raise(PyExc_ValueError, error);
}

constexpr const char* kDoc =
    R"doc(The loop's controller after a Correction's solve at gain 1, one per plane:
Controller(correction, x="integrator ki=0.5", y=None) (y None: as x), each
"integrator ki=K" or "pi kp=P ki=K" (ValueError for any other text or gains
that cannot run). step(orbit, kicks) gives the kicks to write, clamped to the
correction's limits; written() records them once they are set (a step not
written is dropped). Every step is refused while a plane's gain is not 1.)doc";

}  // namespace

void register_controller(py::module_& m) {
  py::class_<PyController> c(m, "Controller", kDoc);
  c.def(py::init(&make), py::arg("correction"), py::arg("x") = "integrator ki=0.5", py::arg("y") = py::none())
      .def("step", &step, py::arg("orbit"), py::arg("kicks"), "The kicks to write (a dry run).")
      .def("written", &written, "The last step was set: record it.")
      .def_property_readonly("x", [](const PyController& k) { return zl::controller_text(k.planes[0]); })
      .def_property_readonly("y", [](const PyController& k) { return zl::controller_text(k.planes[1]); })
      .def("__repr__", [](const PyController& k) {
        return "Controller(x='" + zl::controller_text(k.planes[0]) + "', y='" +
               zl::controller_text(k.planes[1]) + "')";
      });
}

}  // namespace zor_feedback::python
