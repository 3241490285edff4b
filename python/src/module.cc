// The Python module zor_feedback: the library's operations on numpy arrays,
// with the server's exact numerics. Nothing is computed in the binding: each
// call copies its arrays into library objects of its own, lets the library
// compute, and reads the results back from them and from its reports.
#include <pybind11/pybind11.h>

#include <string>

#include "binding.h"

namespace zor_feedback::python {
namespace {

constexpr int kLogDebug = 10;                 // logging.DEBUG
constexpr int kLogInfo = 20;                  // logging.INFO
constexpr int kLogWarning = 30;               // logging.WARNING
constexpr unsigned int kProgressFlags = 128;  // the library's "INFO: ..." lines

bool python_is_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

// The host layer's log sink: every library line to the logger "zor_feedback".
// Runs in the thread that called the library, mostly with the GIL released,
// so it takes the GIL itself; it holds no Python object, because the host
// layer copies the sink under its mutex without the GIL.
void log_to_python(const ovrix::LogLine& line) {
  int level = kLogDebug;  // timing lines (flags 8) and anything unexpected
  if ((line.flags & DF_LOG) != 0) {
    // An error line reaches the caller as the exception's text: not twice.
    if (line.text.rfind("ERROR:", 0) == 0) return;
    level = kLogWarning;
  } else if ((line.flags & kProgressFlags) != 0) {
    level = kLogInfo;
  }
  std::string text = line.text;
  while (!text.empty() && text.back() == '\n') text.pop_back();  // pinv's "removed ..." lines

  if (!Py_IsInitialized() || python_is_finalizing()) return;
  py::gil_scoped_acquire gil;
  try {
    py::object logger = py::module_::import("logging").attr("getLogger")("zor_feedback");
    if (py::bool_(logger.attr("isEnabledFor")(level))) logger.attr("log")(level, "%s: %s", line.origin, text);
  } catch (py::error_already_set& e) {
    // A failing handler must not break the library's operation.
    e.discard_as_unraisable("zor_feedback log sink");
  }
}

constexpr const char* kModuleDoc =
    R"doc(The zor_feedback library on numpy arrays, with the server's exact numerics.

Arrays are copied into the library's response matrices (float32, rows being
monitors, columns actuators), the library computes, and the results are read
back. The C++ header zor_feedback/zor_feedback.h documents every rule and
every report field; the results' attributes carry the same names.

  invert(R, rcond=None, keep=None, method="lapack")   the standard inversion
  invert_classic(R, tol=-1.0, method="gsl", keep=None) the servers' invert()
  pinv(R, tolerance=0.0)          Armadillo's pseudo-inverse
  load(path), multiply, entrywise_product, transpose, RingBuffer,
  and the chicane functions (chicane_physics.h)
  LabelledMatrix, read_labelled_matrix, write_labelled_matrix (labelled_matrix.h)
  Correction: one orbit-correction step, as `zorfb correct` (correction.h)

Errors: a refusal raises ValueError with the library's text; a file that
load cannot open raises OSError (read_labelled_matrix: ValueError, as its
report does not tell the two apart). Log lines go to the logger
"zor_feedback" ("WARNING: ..." at WARNING, "INFO: ..." at INFO, timing at
DEBUG). The GIL is released while the library loads, inverts or multiplies;
Correction keeps it.
)doc";

}  // namespace
}  // namespace zor_feedback::python

PYBIND11_MODULE(zor_feedback, m) {
  namespace zp = zor_feedback::python;
  m.doc() = zp::kModuleDoc;
  m.attr("__version__") = ZOR_FEEDBACK_VERSION;

  // Every log line of the library to Python's logging, from import on; back
  // to the host layer's standard error at exit, before Python goes away.
  ovrix::set_log_sink(zp::log_to_python);
  pybind11::module_::import("atexit").attr("register")(
      pybind11::cpp_function([] { ovrix::set_log_sink({}); }));

  zp::register_reports(m);
  zp::register_inversions(m);
  zp::register_products(m);
  zp::register_load(m);
  zp::register_ringbuf(m);
  zp::register_chicane(m);
  zp::register_labelled(m);
  zp::register_correction(m);
  zp::register_measure(m);
  zp::register_controller(m);
  zp::register_quality(m);
  zp::register_mode_residuals(m);
  zp::register_tikhonov_choice(m);
}
