// measure_response: the library's response measurement over two Python
// callables, read() for the orbit and write(kicks) for the correctors. An
// exception raised by either ends the measurement like a failing source or
// sink, and is raised again once the correctors are restored.
#include <pybind11/stl.h>

#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "binding.h"
#include "zor_feedback/loop/measurement.h"

namespace zor_feedback::python {
namespace {

namespace zl = zor_feedback::loop;

// The first exception a callable raised; later ones (the restore's) are dropped.
struct Raised {
  std::optional<py::error_already_set> first;
  std::string keep(py::error_already_set& e) {
    std::string what = e.what();
    if (!first) first = std::move(e);
    return what;
  }
};

class PySource final : public zl::OrbitSource {
 public:
  PySource(py::function read, Raised& raised) : read_(std::move(read)), raised_(raised) {}
  zl::Orbit read() override {
    zl::Orbit o;
    try {
      if (PyErr_CheckSignals() != 0) throw py::error_already_set();  // Ctrl-C: stop, restored
      const std::vector<double> v = vector_in(read_(), "read()");
      o.values = v;
      for (double x : v) o.valid.push_back(std::isfinite(x));
      o.ok = true;
    } catch (py::error_already_set& e) {
      o.error = raised_.keep(e);
    }
    return o;
  }

 private:
  py::function read_;
  Raised& raised_;
};

// Without a read-back callable the kicks last written are the read-back.
class PySink final : public zl::CorrectorSink {
 public:
  PySink(py::function write, py::object readback, std::vector<double> start, Raised& raised)
      : write_(std::move(write)), readback_(std::move(readback)), set_(std::move(start)), raised_(raised) {}
  zl::SinkResult write(const std::vector<double>& v) override {
    zl::SinkResult r;
    try {
      write_(doubles(v));
      set_ = v;
      r.ok = true;
    } catch (py::error_already_set& e) {
      r.error = raised_.keep(e);
    }
    return r;
  }
  zl::SinkResult read() override {
    zl::SinkResult r;
    try {
      r.values = readback_.is_none() ? set_ : vector_in(readback_(), "readback()");
      r.ok = true;
    } catch (py::error_already_set& e) {
      r.error = raised_.keep(e);
    }
    return r;
  }

 private:
  py::function write_;
  py::object readback_;
  std::vector<double> set_;
  Raised& raised_;
};

zl::MeasureResult measure(py::function read, py::function write, const py::object& start,
                          const py::object& kick, int readings, bool bipolar, double settle,
                          double settle_max, const py::object& lower, const py::object& upper,
                          const py::object& readback) {
  zl::MeasureConfig c;
  c.readings = readings;
  c.bipolar = bipolar;
  if (py::module_::import("numpy").attr("ndim")(kick).cast<int>() == 0)
    c.kicks = {py::float_(kick).cast<double>()};  // one kick for every corrector
  else
    c.kicks = vector_in(kick, "kick");
  c.lower = vector_in(lower, "lower");
  c.upper = vector_in(upper, "upper");
  if (!(settle >= 0.0) || !(settle_max >= settle)) throw py::value_error("0 <= settle <= settle_max");
  c.settle_min = std::chrono::duration_cast<zl::Duration>(std::chrono::duration<double>(settle));
  c.settle_max = std::chrono::duration_cast<zl::Duration>(std::chrono::duration<double>(settle_max));
  Raised raised;
  PySource source(std::move(read), raised);
  PySink sink(std::move(write), readback, vector_in(start, "start"), raised);
  zl::SteadyClock clock;
  zl::MeasureState state;
  zl::MeasureResult r = zl::measure_response(source, sink, clock, c, &state);
  if (raised.first) {
    if (!r.not_restored.empty() && py::hasattr(raised.first->value(), "add_note")) {
      std::string names;
      for (const std::string& n : r.not_restored) names += " " + n;
      raised.first->value().attr("add_note")("correctors not restored to their start values:" + names);
    }
    throw *raised.first;
  }
  if (!r.ok && !state.started && r.not_restored.empty()) raise(PyExc_ValueError, r.error);
  if (!r.ok) raise(PyExc_RuntimeError, r.error);
  return r;
}

template <class F>
py::array_t<double> per_column(const zl::MeasureResult& r, F f) {
  std::vector<double> v;
  for (const zl::MeasuredColumn& c : r.columns) v.push_back(f(c));
  return doubles(v);
}

constexpr const char* kDoc = R"(Measures the response matrix by kicking one corrector at a time.

read() returns the orbit (one value per monitor; NaN: not read), write(kicks)
sets every corrector, start holds the present kicks and kick the step (one
number, or one per corrector). Bipolar by default: start +- kick/2. Each side
averages `readings` orbits after the orbit settles (at least `settle` seconds,
at most `settle_max`). Every corrector is written back to `start` on every way
out; an exception raised by read or write (or Ctrl-C) is raised again after
that. ValueError: refused before anything was written; RuntimeError: the
measurement failed (the correctors restored unless the message says so).)";

}  // namespace

void register_measure(py::module_& m) {
  using R = zl::MeasureResult;
  py::class_<R>(m, "MeasureResult", "A measured response matrix, its errors and what each column saw.")
      .def_property_readonly("matrix", [](const R& r) { return matrix_values(r.matrix); })
      .def_property_readonly(
          "errors", [](const R& r) { return matrix_values(r.errors); },
          "The standard error of each element (of the mean over the readings).")
      .def_property_readonly("labelled", [](const R& r) { return r.matrix; })
      .def_property_readonly("kicks",
                             [](const R& r) { return per_column(r, [](auto& c) { return c.kick; }); })
      .def_property_readonly("snr", [](const R& r) { return per_column(r, [](auto& c) { return c.snr; }); })
      .def_property_readonly("drift",
                             [](const R& r) {
                               std::vector<bool> d;
                               for (const zl::MeasuredColumn& c : r.columns) d.push_back(c.drift);
                               return d;
                             })
      .def_property_readonly("settled",
                             [](const R& r) {
                               std::vector<bool> s;
                               for (const zl::MeasuredColumn& c : r.columns) s.push_back(c.settled);
                               return s;
                             })
      .def_property_readonly("date", [](const R& r) { return r.date; })
      .def_property_readonly("orbit_reads", [](const R& r) { return r.orbit_reads; })
      .def_property_readonly("elapsed",
                             [](const R& r) { return std::chrono::duration<double>(r.elapsed).count(); })
      .def(
          "save",
          [](const R& r, const py::object& path) {
            const LabelledReport rep = zl::write_measurement(file_name(path), r);
            if (!rep.ok) raise(PyExc_OSError, rep.error);
          },
          "Writes the matrix to path and its errors beside it (ring.txt: ring.errors.txt).");
  m.def("measure_response", &measure, kDoc, py::arg("read"), py::arg("write"), py::arg("start"),
        py::arg("kick"), py::kw_only(), py::arg("readings") = 8, py::arg("bipolar") = true,
        py::arg("settle") = 0.0, py::arg("settle_max") = 10.0, py::arg("lower") = py::none(),
        py::arg("upper") = py::none(), py::arg("readback") = py::none());
}

}  // namespace zor_feedback::python
