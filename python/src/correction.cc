// Correction: one orbit-correction step as one call (correction.h), with the
// names zorfb correct gives its indices. compute releases the GIL; every
// call takes the object's own lock, so two Python threads never race on one
// Correction. Step, LabelledMatrix and Correction (its configuration) pickle.
#include <pybind11/stl.h>

#include <cstddef>
#include <cstdio>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "binding.h"
#include "correction_shared.h"
#include "zor_feedback/correction.h"

namespace zor_feedback::python {
namespace {

void check(const Outcome& o) {
  if (!o.ok) raise(PyExc_ValueError, o.error);
}

Plane plane_arg(const std::string& name) { return plane_in(name, "plane"); }

py::list arrays(const std::vector<std::vector<double>>& writes) {
  py::list out;
  for (const std::vector<double>& kicks : writes) out.append(doubles(kicks));
  return out;
}

py::list kick_arrays(const KickWrite& k) {
  if (!k.ok) raise(PyExc_ValueError, k.error);
  return arrays(k.writes);
}

std::vector<std::string> names_of(const std::vector<std::string>& names, const std::vector<int>& idx) {
  std::vector<std::string> out;
  for (const int i : idx) out.push_back(names[static_cast<std::size_t>(i)]);
  return out;
}

// The cut as zorfb correct's JSON gives it.
py::dict cut_dict(const PlaneSettings& p) {
  py::dict d;
  const Filter& f = p.cut.filter;
  if (f.kind() == Filter::Kind::keep)
    d["keep"] = f.keep();
  else if (f.kind() == Filter::Kind::rcond)
    d["rcond"] = f.value();
  else if (f.kind() == Filter::Kind::default_cut)
    d["rcond"] = "default";
  else
    d["filter"] = to_string(f);
  return d;
}

py::tuple settings_pair(const PlaneSettings (&s)[2]) { return py::make_tuple(s[0], s[1]); }

LimitPolicy policy_arg(const std::string& name) {
  LimitPolicy p = LimitPolicy::scale;
  if (!parse_limit_policy(name, &p))
    throw py::value_error("policy must be 'scale', 'clip' or 'split', not '" + name + "'");
  return p;
}

// Read-only attributes, each documented by the C++ member it reads, whose
// meaning the header gives.
template <typename T>
class Attributes {
 public:
  Attributes(py::class_<T>& cls, std::string of) : cls_(cls), of_(std::move(of)) {}
  template <typename Get>
  Attributes& add(const char* name, const char* member, Get get) {
    cls_.def_property_readonly(name, get, (of_ + member).c_str());
    return *this;
  }

 private:
  py::class_<T>& cls_;
  std::string of_;
};

std::string float_text(double v) { return py::repr(py::float_(v)); }

void register_settings(py::module_& m) {
  using P = PlaneSettings;
  py::class_<P> s(m, "PlaneSettings", "zor_feedback::PlaneSettings (correction.h): a plane's cut and gain.");
  Attributes<P>(s, "zor_feedback::")
      .add("rcond", "Filter::value of an rcond filter (None: another kind)",
           [](const P& p) {
             return p.cut.filter.kind() == Filter::Kind::rcond ? std::optional<double>(p.cut.filter.value())
                                                               : std::nullopt;
           })
      .add("keep", "Filter::keep (0: another kind)", [](const P& p) { return p.cut.filter.keep(); })
      .add("filter", "to_string(Filter)", [](const P& p) { return to_string(p.cut.filter); })
      .add("method", "StandardOptions::method", [](const P& p) { return svd_method_name(p.cut.method); })
      .add("gain", "PlaneSettings::gain", [](const P& p) { return p.gain; });
  s.def("__repr__", [](const P& p) {
    return "PlaneSettings(filter='" + to_string(p.cut.filter) + "', gain=" + float_text(p.gain) +
           ", method='" + svd_method_name(p.cut.method) + "')";
  });

  using K = KickLimit;
  py::class_<K> l(m, "KickLimit", "zor_feedback::KickLimit (correction.h): a corrector's limits.");
  Attributes<K>(l, "zor_feedback::KickLimit::")
      .add("min", "min", [](const K& k) { return k.min; })
      .add("max", "max", [](const K& k) { return k.max; })
      .add("max_step", "max_step", [](const K& k) { return k.max_step; });
  l.def("__repr__", [](const K& k) {
    return "KickLimit(min=" + float_text(k.min) + ", max=" + float_text(k.max) +
           ", max_step=" + float_text(k.max_step) + ")";
  });
}

void register_history(py::module_& m) {
  using H = HistoryEntry;
  py::class_<H> h(m, "HistoryEntry", "zor_feedback::HistoryEntry (correction.h): one applied step.");
  Attributes<H>(h, "zor_feedback::HistoryEntry::")
      .add("time", "time", [](const H& e) { return static_cast<long long>(e.time); })
      .add("settings", "settings (x, y)", [](const H& e) { return settings_pair(e.settings); })
      .add("policy", "policy", [](const H& e) { return limit_policy_name(e.policy); })
      .add("scale", "scale", [](const H& e) { return e.scale; })
      .add("rms_before", "rms_before", [](const H& e) { return e.rms_before; })
      .add("rms_after", "rms_after", [](const H& e) { return e.rms_after; })
      .add("kicks_before", "kicks_before", [](const H& e) { return doubles(e.kicks_before); })
      .add("kicks_after", "kicks_after", [](const H& e) { return doubles(e.kicks_after); });
}

using S = StepResult;

// The fields of the C++ struct, the indices as names.
void add_step_fields(py::class_<S>& s) {
  Attributes<S>(s, "zor_feedback::Step::")
      .add("kicks_before", "kicks_before", [](const S& r) { return doubles(r.step.kicks_before); })
      .add("delta", "delta", [](const S& r) { return doubles(r.step.delta); })
      .add("kicks", "kicks", [](const S& r) { return doubles(r.step.kicks); })
      .add("writes", "writes (each within max_step)", [](const S& r) { return arrays(r.step.writes); })
      .add("predicted", "predicted", [](const S& r) { return doubles(r.step.predicted); })
      .add("rms_before", "rms_before", [](const S& r) { return r.step.rms_before; })
      .add("rms_after", "rms_after", [](const S& r) { return r.step.rms_after; })
      .add("rms_after_first", "rms_after_first", [](const S& r) { return r.step.rms_after_first; })
      .add("steered", "steered, by name", [](const S& r) { return names_of(r.correctors, r.step.steered); })
      .add("plane_stopped", "plane_stopped (x, y)",
           [](const S& r) { return std::make_pair(r.step.plane_stopped[0], r.step.plane_stopped[1]); })
      .add("monitors_used", "monitors_used, by name",
           [](const S& r) { return names_of(r.monitors, r.step.monitors_used); })
      .add("correctors_used", "correctors_used, by name",
           [](const S& r) { return names_of(r.correctors, r.step.correctors_used); })
      .add("limited", "limited, by name", [](const S& r) { return names_of(r.correctors, r.step.limited); })
      .add("policy", "policy", [](const S& r) { return limit_policy_name(r.step.policy); })
      .add("scale", "scale", [](const S& r) { return r.step.scale; })
      .add("modes", "modes (x, y)",
           [](const S& r) { return std::make_pair(r.step.modes[0], r.step.modes[1]); })
      .add("settings", "settings (x, y)", [](const S& r) { return settings_pair(r.step.settings); })
      .add("warnings", "warnings", [](const S& r) { return r.step.warnings; })
      .add("generation", "generation", [](const S& r) { return r.step.generation; })
      .add("id", "id", [](const S& r) { return r.step.id; });
}

// The keys that `zorfb correct --format json` adds, of the same meaning.
void add_zorfb_names(py::class_<S>& s) {
  s.def_property_readonly(
      "correctors", [](const S& r) { return r.correctors; },
      "The corrector names, in the order of the kicks.");
  Attributes<S>(s, "zorfb correct's name for zor_feedback::Step::")
      .add("step", "delta", [](const S& r) { return doubles(r.step.delta); })
      .add("orbit_rms_before", "rms_before", [](const S& r) { return r.step.rms_before; })
      .add("orbit_rms_after", "rms_after", [](const S& r) { return r.step.rms_after; })
      .add("modes_x", "modes[0]", [](const S& r) { return r.step.modes[0]; })
      .add("modes_y", "modes[1]", [](const S& r) { return r.step.modes[1]; })
      .add("gain_x", "settings[0].gain", [](const S& r) { return r.step.settings[0].gain; })
      .add("gain_y", "settings[1].gain", [](const S& r) { return r.step.settings[1].gain; })
      .add("cut_x", "settings[0].cut", [](const S& r) { return cut_dict(r.step.settings[0]); })
      .add("cut_y", "settings[1].cut", [](const S& r) { return cut_dict(r.step.settings[1]); });
}

py::tuple step_state(const StepResult& r);
StepResult step_from(const py::tuple& t);

void register_step(py::module_& m) {
  py::class_<S> s(m, "Step",
                  "zor_feedback::Step (correction.h): a computed step, a dry run. The attributes are its\n"
                  "fields (correctors and monitors by name), and the keys of `zorfb correct --format json`.");
  add_step_fields(s);
  add_zorfb_names(s);
  s.def(py::pickle(&step_state, &step_from));
  s.def("__repr__", [](const S& r) {
    char text[200];
    std::snprintf(text, sizeof text,
                  "Step(%zu correctors, policy '%s', scale %.6g, %zu limited, rms %.6g -> %.6g)",
                  r.step.kicks.size(), limit_policy_name(r.step.policy), r.step.scale, r.step.limited.size(),
                  r.step.rms_before, r.step.rms_after);
    return std::string(text);
  });
}

StepResult compute(const py::object& self, const py::object& orbit, const py::object& kicks) {
  Shared& c = self.cast<Shared&>();
  const std::vector<double> o = vector_in(orbit, "orbit"), k = vector_in(kicks, "kicks");
  StepResult r;
  {
    py::gil_scoped_release nogil;  // the lock is taken without the GIL, released before it is taken back
    const Hold hold(c);
    r.step = c.compute(o, k);
    r.monitors = c.matrix().monitors;
    r.correctors = c.matrix().correctors;
  }
  if (!r.step.ok) raise(PyExc_ValueError, r.step.error);
  r.owner = self;
  return r;
}

py::list apply(const py::object& self, const StepResult& r, const std::string& writes) {
  if (!r.owner.is(self))
    throw py::value_error("the step was computed by another Correction; compute it here");
  if (writes != "all" && writes != "first")
    throw py::value_error("writes must be 'all' or 'first', not '" + writes + "'");
  Shared& c = self.cast<Shared&>();
  const Hold hold(c);
  return kick_arrays(c.apply(r.step, writes == "first" ? ApplyWrites::first : ApplyWrites::all));
}

// Changes what is given only: the filter (rcond, keep, tikhonov or its text;
// keep=0: the default cut), gain, method.
void set_plane(Shared& c, const std::string& plane, std::optional<double> rcond, std::optional<int> keep,
               std::optional<double> gain, std::optional<std::string> method, const py::object& tikhonov,
               const std::optional<std::string>& filter) {
  const Plane which = plane_arg(plane);
  const Hold hold(c);
  PlaneSettings p = c.plane(which);
  if (keep && *keep == 0 && !rcond && tikhonov.is_none() && !filter)
    p.cut.filter = Filter();
  else if (rcond || keep || !tikhonov.is_none() || filter)
    p.cut.filter = filter_in(rcond, keep, tikhonov, filter);
  if (gain) p.gain = *gain;
  if (method && !parse_svd_method(*method, &p.cut.method))
    throw py::value_error("method must be 'gsl' or 'lapack', not '" + *method + "'");
  check(c.set_plane(which, p));
}

// Pickled forms: plain tuples of numbers, strings and lists.
py::tuple settings_state(const PlaneSettings& p) {
  return py::make_tuple(to_string(p.cut.filter), svd_method_name(p.cut.method), p.gain);
}

PlaneSettings settings_from(const py::handle& h) {
  const auto t = h.cast<py::tuple>();
  PlaneSettings p;
  const FilterParse f = parse_filter(t[0].cast<std::string>());
  if (!f.filter) throw py::value_error("a pickled plane's filter: " + f.error);
  p.cut.filter = *f.filter;
  if (!parse_svd_method(t[1].cast<std::string>(), &p.cut.method))
    throw py::value_error("a pickled plane's method is neither gsl nor lapack");
  p.gain = t[2].cast<double>();
  return p;
}

py::tuple step_state(const StepResult& r) {
  const Step& s = r.step;
  return py::make_tuple(
      py::make_tuple(s.ok, s.error, s.kicks_before, s.delta, s.kicks, s.writes, s.predicted),
      py::make_tuple(s.rms_before, s.rms_after, s.rms_after_first, s.monitors_used, s.correctors_used,
                     s.limited, s.steered),
      py::make_tuple(s.plane_stopped[0], s.plane_stopped[1], limit_policy_name(s.policy), s.scale, s.modes[0],
                     s.modes[1], settings_state(s.settings[0]), settings_state(s.settings[1])),
      py::make_tuple(s.warnings, s.generation, s.id, r.monitors, r.correctors));
}

// A step read back is a record: no Correction owns it, none applies it.
StepResult step_from(const py::tuple& t) {
  if (t.size() != 4) throw py::value_error("a pickled Step holds 4 groups");
  StepResult r;
  Step& s = r.step;
  const auto a = t[0].cast<py::tuple>(), b = t[1].cast<py::tuple>(), c = t[2].cast<py::tuple>(),
             d = t[3].cast<py::tuple>();
  s.ok = a[0].cast<bool>();
  s.error = a[1].cast<std::string>();
  s.kicks_before = a[2].cast<std::vector<double>>();
  s.delta = a[3].cast<std::vector<double>>();
  s.kicks = a[4].cast<std::vector<double>>();
  s.writes = a[5].cast<std::vector<std::vector<double>>>();
  s.predicted = a[6].cast<std::vector<double>>();
  s.rms_before = b[0].cast<double>();
  s.rms_after = b[1].cast<double>();
  s.rms_after_first = b[2].cast<double>();
  s.monitors_used = b[3].cast<std::vector<int>>();
  s.correctors_used = b[4].cast<std::vector<int>>();
  s.limited = b[5].cast<std::vector<int>>();
  s.steered = b[6].cast<std::vector<int>>();
  s.plane_stopped[0] = c[0].cast<bool>();
  s.plane_stopped[1] = c[1].cast<bool>();
  s.policy = policy_arg(c[2].cast<std::string>());
  s.scale = c[3].cast<double>();
  s.modes[0] = c[4].cast<int>();
  s.modes[1] = c[5].cast<int>();
  s.settings[0] = settings_from(c[6]);
  s.settings[1] = settings_from(c[7]);
  s.warnings = d[0].cast<std::vector<std::string>>();
  s.generation = d[1].cast<unsigned long long>();
  s.id = d[2].cast<unsigned long long>();
  r.monitors = d[3].cast<std::vector<std::string>>();
  r.correctors = d[4].cast<std::vector<std::string>>();
  return r;
}

// A Correction's configuration (the history and its ring buffer stay behind):
// the matrix without the RF column, the RF column, masks, limits, planes,
// policy, weights, reference.
py::tuple correction_state(const Shared& c) {
  const Hold hold(c);
  LabelledMatrix m = c.matrix();
  std::vector<double> rf;
  if (!c.rf_name().empty()) {  // the last column
    LabelledMatrix base = m;
    base.cols = m.cols - 1;
    base.values.clear();
    for (int i = 0; i < m.rows; ++i) {
      const auto row = m.values.begin() + static_cast<std::ptrdiff_t>(i) * m.cols;
      base.values.insert(base.values.end(), row, row + base.cols);
      rf.push_back(*(row + base.cols));
    }
    base.correctors.pop_back();
    base.corrector_planes.pop_back();
    m = std::move(base);
  }
  std::vector<py::tuple> limits;
  for (const KickLimit& l : c.limits()) limits.push_back(py::make_tuple(l.min, l.max, l.max_step));
  return py::make_tuple(m, c.rf_name(), rf, c.monitor_enabled(), c.corrector_enabled(), limits,
                        py::make_tuple(settings_state(c.plane(Plane::x)), settings_state(c.plane(Plane::y))),
                        limit_policy_name(c.policy()), c.weights(), c.reference());
}

std::unique_ptr<Shared> correction_from(const py::tuple& t) {
  if (t.size() != 10) throw py::value_error("a pickled Correction holds 10 items");
  auto c = std::make_unique<Shared>();
  check(c->set_matrix(t[0].cast<LabelledMatrix>()));
  if (const auto rf = t[1].cast<std::string>(); !rf.empty())
    check(c->add_rf_column(rf, t[2].cast<std::vector<double>>()));
  const auto planes = t[6].cast<py::tuple>();
  check(c->set_plane(Plane::x, settings_from(planes[0])));
  check(c->set_plane(Plane::y, settings_from(planes[1])));
  c->set_policy(policy_arg(t[7].cast<std::string>()));
  check(c->set_weights(t[8].cast<std::vector<double>>()));
  check(c->set_reference(t[9].cast<std::vector<double>>()));
  const LabelledMatrix& m = c->matrix();
  const auto on_m = t[3].cast<std::vector<bool>>(), on_c = t[4].cast<std::vector<bool>>();
  const auto limits = t[5].cast<std::vector<py::tuple>>();
  if (on_m.size() != m.monitors.size() || on_c.size() != m.correctors.size() || limits.size() != on_c.size())
    throw py::value_error("a pickled Correction's masks or limits do not fit its matrix");
  for (std::size_t i = 0; i < on_m.size(); ++i)
    if (!on_m[i]) check(c->set_monitor_enabled(m.monitors[i] + ":" + plane_name(m.monitor_planes[i]), false));
  for (std::size_t j = 0; j < on_c.size(); ++j) {
    const std::string one = m.correctors[j] + ":" + plane_name(m.corrector_planes[j]);
    const py::tuple& l = limits[j];
    check(c->set_limit(one, KickLimit{l[0].cast<double>(), l[1].cast<double>(), l[2].cast<double>()}));
    if (!on_c[j]) check(c->set_corrector_enabled(one, false));
  }
  return c;
}

std::unique_ptr<Shared> make(RingBuffer* history, int depth) {
  return std::make_unique<Shared>(history != nullptr ? history->buffer() : nullptr, depth);
}

constexpr const char* kClassDoc =
    R"doc(One orbit-correction step as one call: zor_feedback::Correction (correction.h),
as `zorfb correct` computes it. Correction(history=None, depth=32): `history`
a RingBuffer that receives a line at each apply and undo (kept alive as long
as this object). Every refusal raises ValueError with the library's text and
changes nothing. Nothing is written anywhere: apply and undo return the kicks
to set, a list of arrays (the writes in order, each within max_step).)doc";

void register_methods(py::class_<Shared>& c) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  c.def(
       "set_matrix",
       [](Shared& k, const LabelledMatrix& l) {
         const Hold hold(k);
         check(k.set_matrix(l));
       },
       py::arg("m"))
      .def_property_readonly(
          "matrix",
          [](const Shared& k) {
            const Hold hold(k);
            return k.matrix();
          },
          "The matrix in use, with any RF column.")
      .def(
          "set_monitor_enabled",
          [](Shared& k, const std::string& n, bool on) {
            const Hold hold(k);
            check(k.set_monitor_enabled(n, on));
          },
          py::arg("name"), py::arg("enabled"))
      .def(
          "set_corrector_enabled",
          [](Shared& k, const std::string& n, bool on) {
            const Hold hold(k);
            check(k.set_corrector_enabled(n, on));
          },
          py::arg("name"), py::arg("enabled"))
      .def_property_readonly("monitor_enabled",
                             [](const Shared& k) {
                               const Hold hold(k);
                               return k.monitor_enabled();
                             })
      .def_property_readonly("corrector_enabled",
                             [](const Shared& k) {
                               const Hold hold(k);
                               return k.corrector_enabled();
                             })
      .def("set_plane", &set_plane, py::arg("plane"), py::kw_only(), py::arg("rcond") = py::none(),
           py::arg("keep") = py::none(), py::arg("gain") = py::none(), py::arg("method") = py::none(),
           py::arg("tikhonov") = py::none(), py::arg("filter") = py::none(),
           "Changes only what is given: rcond, keep, tikhonov or filter (keep=0 alone: the default cut), "
           "gain, method.")
      .def(
          "carry_settings_from",
          [](Shared& k, const Shared& old) {
            if (&k == &old) return std::vector<std::string>();
            const Hold a(k), b(old);
            return k.carry_settings_from(old).dropped;
          },
          py::arg("old"), "Takes over old's settings by name (after set_matrix); the dropped ones.")
      .def(
          "plane",
          [](const Shared& k, const std::string& p) {
            const Hold hold(k);
            return k.plane(plane_arg(p));
          },
          py::arg("plane"))
      .def(
          "set_weights",
          [](Shared& k, const py::object& w) {
            const Hold hold(k);
            check(k.set_weights(vector_in(w, "weights")));
          },
          py::arg("weights"), "None or empty: all 1.")
      .def(
          "set_reference",
          [](Shared& k, const py::object& r) {
            const Hold hold(k);
            check(k.set_reference(vector_in(r, "reference")));
          },
          py::arg("reference"), "None or empty: zero.")
      .def(
          "add_rf_column",
          [](Shared& k, const std::string& n, const py::object& col) {
            const Hold hold(k);
            check(k.add_rf_column(n, vector_in(col, "column")));
          },
          py::arg("name"), py::arg("column"))
      .def(
          "set_limit",
          [](Shared& k, const std::string& n, double lo, double hi, double step) {
            const Hold hold(k);
            check(k.set_limit(n, KickLimit{lo, hi, step}));
          },
          py::arg("name"), py::arg("min") = -inf, py::arg("max") = inf, py::arg("max_step") = inf)
      .def_property_readonly(
          "limits",
          [](const Shared& k) {
            const Hold hold(k);
            return k.limits();
          },
          "One KickLimit per corrector.")
      .def_property(
          "policy",
          [](const Shared& k) {
            const Hold hold(k);
            return limit_policy_name(k.policy());
          },
          [](Shared& k, const std::string& p) {
            const Hold hold(k);
            k.set_policy(policy_arg(p));
          },
          "'scale', 'clip' or 'split'.")
      .def("compute", &compute, py::arg("orbit"), py::arg("kicks"),
           "The step (a dry run); NaN orbit readings: not read.")
      .def("apply", &apply, py::arg("step"), py::arg("writes") = "all",
           "Records the step; the kicks to set, each write within max_step ('first': the first only).")
      .def(
          "undo",
          [](Shared& k) {
            const Hold hold(k);
            return kick_arrays(k.undo());
          },
          "The kicks before the newest step.")
      .def_property_readonly(
          "history",
          [](const Shared& k) {
            const Hold hold(k);
            return k.history();
          },
          "Newest first.");
}

}  // namespace

void register_correction(py::module_& m) {
  register_settings(m);
  register_history(m);
  register_step(m);
  py::class_<Shared> c(m, "Correction", kClassDoc);
  c.def(py::init(&make), py::arg("history") = py::none(), py::arg("depth") = 32, py::keep_alive<1, 2>());
  register_methods(c);
  c.def(py::pickle(&correction_state, &correction_from));
}

}  // namespace zor_feedback::python
