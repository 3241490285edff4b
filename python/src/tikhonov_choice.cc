// Correction.choose_tikhonov: a plane's Tikhonov strength chosen from one
// orbit and fixed (correction.h).
#include <pybind11/stl.h>

#include <string>
#include <vector>

#include "binding.h"
#include "correction_shared.h"

namespace zor_feedback::python {

namespace {

const char* rule_name(AlphaRule r) {
  return r == AlphaRule::gcv ? "gcv" : r == AlphaRule::discrepancy ? "discrepancy" : "lcurve";
}

// "lcurve", "gcv", "discrepancy NOISE", with or without "tikhonov " before.
Filter rule_in(const std::string& rule) {
  const FilterParse p = parse_filter(rule.rfind("tikhonov", 0) == 0 ? rule : "tikhonov " + rule);
  if (!p.filter || p.filter->kind() != Filter::Kind::tikhonov_auto)
    throw py::value_error("rule must be 'lcurve', 'gcv' or 'discrepancy NOISE', not '" + rule + "'" +
                          (p.filter ? std::string() : ": " + p.error));
  return *p.filter;
}

}  // namespace

void register_tikhonov_choice(py::module_& m) {
  py::class_<TikhonovChoice> t(m, "TikhonovChoice",
                               "What Correction.choose_tikhonov chose: the rule, alpha (absolute), "
                               "relative = alpha / max(S), the plane's fixed filter now.");
  t.def_property_readonly("rule", [](const TikhonovChoice& c) { return rule_name(c.rule); })
      .def_readonly("alpha", &TikhonovChoice::alpha)
      .def_readonly("relative", &TikhonovChoice::relative)
      .def_property_readonly("filter", [](const TikhonovChoice& c) { return to_string(c.filter); })
      .def_readonly("monitors", &TikhonovChoice::monitors)
      .def_readonly("correctors", &TikhonovChoice::correctors)
      .def_readonly("warnings", &TikhonovChoice::warnings);
  auto c = py::reinterpret_borrow<py::class_<Shared>>(m.attr("Correction"));
  c.def(
      "choose_tikhonov",
      [](Shared& k, const std::string& plane, const py::object& orbit, const std::string& rule) {
        const Plane which = plane_in(plane, "plane");
        const Filter automatic = rule_in(rule);
        const std::vector<double> o = vector_in(orbit, "orbit");
        TikhonovChoice r;
        {
          const py::gil_scoped_release free;
          const Hold hold(k);
          r = k.choose_tikhonov(which, automatic, o);
        }
        if (!r.ok) raise(PyExc_ValueError, r.error);
        return r;
      },
      py::arg("plane"), py::arg("orbit"), py::arg("rule") = "lcurve",
      "Chooses the plane's Tikhonov strength for `orbit` by `rule` ('lcurve', 'gcv', 'discrepancy NOISE') "
      "on the weighted rows and columns the step uses, W (orbit - reference) at its monitors, and sets the "
      "plane's filter to the fixed 'tikhonov A' (A = alpha / max(S)). ValueError, nothing changed: a monitor "
      "in use not finite, an orbit of another length, no monitor or corrector in use, no strength found.");
}

}  // namespace zor_feedback::python
