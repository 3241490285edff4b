// The Python module zor_feedback: the library's operations on numpy arrays,
// with the server's exact numerics.
//
// Nothing is computed here. Each call copies its arrays into library objects
// of its own (QTEV_ResponseMatrix with a null location, filled with
// set_value), lets the library compute, and reads the results back with
// value() and from the library's reports. No cut-off, tolerance or count is
// decided in this file; a refusal is the library's, raised with its text.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "zor_feedback/zor_feedback.h"

namespace py = pybind11;
using namespace pybind11::literals;

// An argument that numpy turns into an array: taken as it comes, so that the
// conversion and its errors are numpy's; named as the type hints name it.
namespace {
struct ArrayLike {
  py::object obj;
};
}  // namespace

namespace pybind11 {
namespace detail {
template <>
struct type_caster<ArrayLike> {
  PYBIND11_TYPE_CASTER(ArrayLike, const_name("numpy.typing.ArrayLike"));
  bool load(handle src, bool) {
    value.obj = reinterpret_borrow<object>(src);
    return true;
  }
};
}  // namespace detail
}  // namespace pybind11

namespace {

// ---------------------------------------------------------------------------
// Log lines: the host layer's sink hands every line to the logger
// "zor_feedback".

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

// Runs in the thread that called the library, mostly with the GIL released,
// so it takes the GIL itself. It holds no Python object, because the host
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

[[noreturn]] void raise(PyObject* type, const std::string& text) {
  PyErr_SetString(type, text.c_str());
  throw py::error_already_set();
}

std::string shape_text(long long rows, long long cols) {
  return std::to_string(rows) + " x " + std::to_string(cols);
}

// ---------------------------------------------------------------------------
// Arrays in and out

// A 2-D array of real numbers in the layout the library's matrices are filled
// from: float32, C order. Converted (one copy) only when it is not so already.
struct MatrixIn {
  py::array_t<float, py::array::c_style> array;
  int rows = 0;
  int cols = 0;
};

MatrixIn matrix_in(const ArrayLike& arg, const char* name) {
  const py::module_ np = py::module_::import("numpy");
  const py::array a = np.attr("asarray")(arg.obj);
  const char kind = a.dtype().kind();
  if (kind != 'b' && kind != 'i' && kind != 'u' && kind != 'f')
    throw py::type_error(std::string(name) + " must hold real numbers, not " +
                         std::string(py::str(a.dtype())));
  if (a.ndim() != 2)
    throw py::value_error(std::string(name) + " must be a 2-D array (rows x columns), not one of shape " +
                          std::string(py::str(a.attr("shape"))));
  if (a.shape(0) > INT_MAX || a.shape(1) > INT_MAX)
    throw py::value_error(std::string(name) + " is " + shape_text(a.shape(0), a.shape(1)) +
                          "; a response matrix has at most " + std::to_string(INT_MAX) + " rows and columns");
  MatrixIn in;
  in.array = np.attr("ascontiguousarray")(a, "dtype"_a = "float32");
  in.rows = static_cast<int>(a.shape(0));
  in.cols = static_cast<int>(a.shape(1));
  return in;
}

void fill(QTEV_ResponseMatrix& M, const float* p) {
  std::size_t k = 0;
  for (int i = 0; i < M.rows; ++i)
    for (int j = 0; j < M.cols; ++j) M.set_value(p[k++], i, j, -1, -1, -1, -1);
}

// A float32 array for a result; filled by read_out once the library is done.
py::array_t<float> new_matrix(int rows, int cols) {
  return py::array_t<float>(std::vector<py::ssize_t>{rows, cols});
}

void read_out(QTEV_ResponseMatrix& M, float* p) {
  std::size_t k = 0;
  for (int i = 0; i < M.rows; ++i)
    for (int j = 0; j < M.cols; ++j) p[k++] = M.value(i, j, -1, -1, -1, -1);
}

py::array_t<double> doubles(const std::vector<double>& v) {
  return py::array_t<double>(static_cast<py::ssize_t>(v.size()), v.data());
}

// The library takes its tolerances as float; a finite value beyond the float
// range would arrive as something else than was asked for.
float float_argument(double v, const char* name) {
  if (std::isfinite(v) && std::fabs(v) > static_cast<double>(std::numeric_limits<float>::max())) {
    char text[128];
    std::snprintf(text, sizeof text, "%s = %g lies outside the float range the library takes", name, v);
    throw py::value_error(text);
  }
  return static_cast<float>(v);
}

std::string fmt(const char* format, double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, format, v);
  return buf;
}

// ---------------------------------------------------------------------------
// Loading

// The path as the operating system takes it (str, bytes or os.PathLike).
std::string file_name(const py::object& path) {
  const py::bytes encoded = py::module_::import("os").attr("fsencode")(path);
  std::string name = encoded;
  if (name.find('\0') != std::string::npos) throw py::value_error("embedded null byte in the file name");
  return name;
}

py::array_t<float> load(const py::object& path) {
  const std::string name = file_name(path);
  zor_feedback::MatrixFileShape shape;
  {
    py::gil_scoped_release nogil;
    shape = zor_feedback::matrix_file_shape(name.c_str());
  }
  if (!shape.ok) raise(PyExc_OSError, shape.error);

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
  // The loader takes such lines and leaves the rest of their row as it was,
  // here 0; the file's author may have meant otherwise.
  if (shape.shorter_lines > 0)
    py::module_::import("logging")
        .attr("getLogger")("zor_feedback")
        .attr("warning")(
            "%s: %d of %d data lines hold fewer than the %d values of the last one (first: line %d); "
            "their missing elements are 0",
            name, shape.shorter_lines, shape.rows, shape.cols, shape.first_shorter_line);
  return result;
}

// ---------------------------------------------------------------------------
// Inversions

struct SvdResult {
  py::array_t<float> inverse;
  py::array_t<double> singular_values;
  zor_feedback::SvdReport report;
};

SvdResult invert(const ArrayLike& R, double tol, const std::string& method_name, std::optional<int> keep) {
  zor_feedback::SvdMethod method = zor_feedback::SvdMethod::gsl;
  if (!zor_feedback::parse_svd_method(method_name, &method))
    throw py::value_error("method must be 'gsl' or 'lapack', not '" + method_name + "'");
  if (keep && tol != -1.0) throw py::value_error("give tol or keep, not both: keep chooses the tolerance");
  const float tol_f = float_argument(tol, "tol");
  const MatrixIn in = matrix_in(R, "R");

  SvdResult res;
  res.inverse = new_matrix(in.cols, in.rows);
  float* out = res.inverse.mutable_data();
  {
    py::gil_scoped_release nogil;
    QTEV_ResponseMatrix A("RESPONSE_MATRIX", in.rows, in.cols, nullptr);
    QTEV_ResponseMatrix inverse("INVERSE", in.cols, in.rows, nullptr);
    D_spectrum spectrum("SINGULAR_VALUES", std::min(in.rows, in.cols), nullptr);
    fill(A, in.array.data());
    A.set_svd_method(method);
    res.report = keep ? A.invert_keep(inverse, spectrum, *keep) : A.invert_report(inverse, spectrum, tol_f);
    if (res.report.ok) read_out(inverse, out);
  }
  if (!res.report.ok) raise(PyExc_ValueError, res.report.error);
  res.singular_values = doubles(res.report.singular_values);
  return res;
}

struct PinvResult {
  py::array_t<float> inverse;
  py::array_t<double> singular_values;
  zor_feedback::PinvReport report;
};

const char* path_name(zor_feedback::PinvPath path) {
  switch (path) {
    case zor_feedback::PinvPath::svd:
      return "svd";
    case zor_feedback::PinvPath::symmetric:
      return "symmetric";
    case zor_feedback::PinvPath::cholesky:
      return "cholesky";
    case zor_feedback::PinvPath::diagonal:
      return "diagonal";
  }
  return "?";
}

PinvResult pinv(const ArrayLike& R, double tolerance) {
  const float tolerance_f = float_argument(tolerance, "tolerance");
  const MatrixIn in = matrix_in(R, "R");
  PinvResult res;
  res.inverse = new_matrix(in.cols, in.rows);
  float* out = res.inverse.mutable_data();
  {
    py::gil_scoped_release nogil;
    QTEV_ResponseMatrix A("RESPONSE_MATRIX", in.rows, in.cols, nullptr);
    QTEV_ResponseMatrix inverse("INVERSE", in.cols, in.rows, nullptr);
    fill(A, in.array.data());
    res.report = A.pinv_report(inverse, tolerance_f);  // Armadillo's SVD failure: RuntimeError
    if (res.report.ok) read_out(inverse, out);
  }
  if (!res.report.ok) raise(PyExc_ValueError, res.report.error);
  res.singular_values = doubles(res.report.singular_values);
  return res;
}

// ---------------------------------------------------------------------------
// Products and transpose. The library refuses a mismatch with a log line and
// no report, so the shapes are checked here and the result is built with the
// shape the library needs.

[[noreturn]] void mismatch(const MatrixIn& a, const MatrixIn& b, const char* needs) {
  throw py::value_error("ERROR: Dimension mismatch: dim(A): " + shape_text(a.rows, a.cols) +
                        " dim(B): " + shape_text(b.rows, b.cols) + "; " + needs);
}

// C = op(A, B) by the library into a rows x cols result.
py::array_t<float> product(const MatrixIn& a, const MatrixIn& b, int rows, int cols,
                           void (QTEV_ResponseMatrix::*op)(QTEV_ResponseMatrix&, QTEV_ResponseMatrix&)) {
  py::array_t<float> result = new_matrix(rows, cols);
  float* out = result.mutable_data();
  {
    py::gil_scoped_release nogil;
    QTEV_ResponseMatrix MA("A", a.rows, a.cols, nullptr);
    QTEV_ResponseMatrix MB("B", b.rows, b.cols, nullptr);
    QTEV_ResponseMatrix MC("PRODUCT", rows, cols, nullptr);
    fill(MA, a.array.data());
    fill(MB, b.array.data());
    (MA.*op)(MB, MC);
    read_out(MC, out);
  }
  return result;
}

py::array_t<float> multiply(const ArrayLike& A, const ArrayLike& B) {
  const MatrixIn a = matrix_in(A, "A");
  const MatrixIn b = matrix_in(B, "B");
  if (a.cols != b.rows) mismatch(a, b, "A @ B needs cols(A) == rows(B)");
  return product(a, b, a.rows, b.cols, &QTEV_ResponseMatrix::multiply);
}

py::array_t<float> entrywise_product(const ArrayLike& A, const ArrayLike& B) {
  const MatrixIn a = matrix_in(A, "A");
  const MatrixIn b = matrix_in(B, "B");
  if (a.rows != b.rows || a.cols != b.cols) mismatch(a, b, "the entrywise product needs one shape");
  return product(a, b, a.rows, a.cols, &QTEV_ResponseMatrix::entrywise_product);
}

py::array_t<float> transpose(const ArrayLike& R) {
  const MatrixIn in = matrix_in(R, "R");
  py::array_t<float> result = new_matrix(in.cols, in.rows);
  float* out = result.mutable_data();
  {
    py::gil_scoped_release nogil;
    QTEV_ResponseMatrix A("R", in.rows, in.cols, nullptr);
    QTEV_ResponseMatrix T("TRANSPOSE", in.cols, in.rows, nullptr);
    fill(A, in.array.data());
    A.transpose(T);
    read_out(T, out);
  }
  return result;
}

// ---------------------------------------------------------------------------
// repr

std::string warnings_repr(const std::vector<std::string>& warnings) {
  return std::string(py::repr(py::cast(warnings)));
}

std::string svd_repr(const SvdResult& r) {
  const zor_feedback::SvdReport& s = r.report;
  const int k = static_cast<int>(s.singular_values.size());
  return "SvdResult(inverse " + shape_text(s.cols, s.rows) + " float32, method='" +
         zor_feedback::svd_method_name(s.method) + "', tol=" + fmt("%.7g", static_cast<double>(s.tol)) +
         (s.internal_tolerance ? " (internal)" : "") + ", cutoff=" + fmt("%.6g", s.cutoff) +
         ", used=" + std::to_string(s.used) + " of " + std::to_string(k) +
         ", nosv=" + std::to_string(s.nosv) +
         ", condition_number_used=" + fmt("%.6g", s.condition_number_used) +
         ", elements_cleared=" + std::to_string(s.elements_cleared) +
         (s.zero_inverse ? ", zero_inverse=True" : "") + ", warnings=" + warnings_repr(s.warnings) + ")";
}

std::string pinv_repr(const PinvResult& r) {
  const zor_feedback::PinvReport& p = r.report;
  return "PinvResult(inverse " + shape_text(p.cols, p.rows) + " float32, path='" + path_name(p.path) +
         "', tolerance=" + fmt("%.7g", static_cast<double>(p.tol)) +
         ", rank=" + std::to_string(p.used) + ", threshold=" + fmt("%.6g", p.threshold) +
         ", input_cleared=" + std::to_string(p.input_cleared) +
         ", result_cleared=" + std::to_string(p.elements_cleared) +
         (p.zero_inverse ? ", zero_inverse=True" : "") + ", warnings=" + warnings_repr(p.warnings) + ")";
}

// ---------------------------------------------------------------------------
// Documentation

constexpr const char* kModuleDoc =
    R"doc(The zor_feedback library on numpy arrays, with the server's exact numerics.

Every number comes from the library's own code: arrays are copied into the
library's response matrices, the library computes, and the results are read
back. Matrices are returned as float32 arrays (what the server's property
stores), rows being monitors and columns actuators.

  load(path)                       a response-matrix file -> 2-D float32 array
  invert(R, tol=-1.0, method="gsl", keep=None) -> SvdResult
  pinv(R, tolerance=0.0)           -> PinvResult
  multiply(A, B), entrywise_product(A, B), transpose(R)
  chop, E2gamma, gamma2beta, E2p, B2I, B2alpha, alpha2B, alpha2R56,
  R562alpha, alpha2x_bc, alpha2r, alpha2l_bc, delta_t   (chicane physics)

The chicane functions check no arguments: outside their domains the results
are NaN or infinite as IEEE arithmetic gives them (R562alpha says NaN for
what no chicane gives).

Errors: an operation the library refuses raises ValueError with the
library's "ERROR: ..." text; a file that cannot be opened raises OSError.

Log lines go to the logger "zor_feedback" of the logging module, with the
operation as prefix: "WARNING: ..." lines at WARNING, "INFO: ..." progress
lines at INFO, "took (ms): ..." timing lines at DEBUG. Error lines are not
logged: they are the exception's text.

The GIL is released while the library loads, inverts or multiplies; every
call uses library objects of its own, so calls from several threads run side
by side. (The chicane functions are cheap and keep the GIL.)

Built for the interpreter it was compiled against (Debian's /usr/bin/python3).
)doc";

constexpr const char* kLoadDoc = R"doc(Loads a response-matrix file with the library's loader
(QTEV_ResponseMatrix::load_file): one line per monitor (row), one number per
actuator (column), lines starting with '#' ignored; values are read as a C++
stream reads doubles, up to the first text that is not a number, and stored
as floats. The shape is the file's own by the loader's counting rules
(zor_feedback::matrix_file_shape): rows = its data lines (every line not
starting with '#', an empty one too), columns = the values on the last one.

Raises OSError when the file cannot be opened or read (also when it is not a
regular file), ValueError with the loader's "ERROR: ..." line when it does
not load (an earlier line with more values than the last one, a file that
changed while being read). A file of comments only gives a 0 x 0 array.
Lines with fewer values than the last one load, leaving the rest of their row
0: logged as a warning, as are the loader's own warnings (values ending at a
',' or ';' before a number, or at a NaN or infinity).
)doc";

constexpr const char* kInvertDoc =
    R"doc(The server's SVD inversion (QTEV_ResponseMatrix::invert) of the m x n matrix
R (monitors x actuators); the inverse is n x m.

Tolerance rules (the library's):
  * Singular values s with s > tol * max(S) enter the inverse: a relative
    cut-off, strict. The others are dropped.
  * tol = -1 asks for the internal tolerance max(m, n) * 2**-52 * max(S),
    rounded to two significant digits; result.tol holds it (written back as
    the library does), so the cut-off then holds max(S) twice.
  * nosv counts the singular values not below tol (absolute, strict) and not
    zero; used counts those above the cut-off.
  * Elements of the inverse with |v| <= tol (absolute) are stored as 0 (the
    absolute clear): elements_cleared, largest_cleared.
  * Since tol is both a relative cut-off and an absolute floor, a tolerance
    meant for one can wreck the other (a matrix in small units, or a user
    tolerance like 0.1, may lose most of its inverse). The library then
    warns: result.warnings holds its "WARNING: ..." lines, which are also
    logged.

method: "gsl" (GSL's Golub-Reinsch SVD, the default) or "lapack" (LAPACK's
divide-and-conquer dgesdd through Armadillo; 15 to 50 times faster on
matrices of a few hundred rows and columns, singular values agree to about
1e-13 of the largest, so a value within rounding of the cut-off may fall on
the other side).
keep=N: the tolerance that lets exactly N singular values pass the cut-off,
chosen by the library as readable as it can be (invert_keep); give tol or
keep, not both.

Raises ValueError with the library's text when it refuses: a NaN tol, an
empty matrix, NaN or infinite elements, a keep that no tolerance achieves; a
LAPACK decomposition that does not converge.

R may be any array-like of real numbers; it is converted to float32 (what the
server's property holds) in C order. For a tall matrix (m > n) the library
itself writes one line "INFO: Matrix dim change back to: n x m" to the
process's standard output (C++ std::cout); that is its defined behaviour.
)doc";

constexpr const char* kPinvDoc =
    R"doc(The server's pseudo-inverse by Armadillo (QTEV_ResponseMatrix::pinv) of the
m x n matrix R; the inverse is n x m. On a copy, input elements with
0 < |a| < tolerance (absolute, strict) are cleared first; then Armadillo's
pinv (its default threshold max(m, n) * max(S) * 2**-52, divide-and-conquer
SVD); result elements with 0 < |b| < 2**-52 are cleared after.

Raises ValueError with the library's text when it refuses (an empty matrix,
NaN or infinite elements), RuntimeError when Armadillo's SVD fails. An
all-zero inverse of a non-zero matrix is warned about (result.warnings, and
the log).
)doc";

constexpr const char* kMultiplyDoc =
    R"doc(A @ B as the server computes it (QTEV_ResponseMatrix::multiply): the float32
elements are multiplied in double (GSL's dgemm, on OpenBLAS when the library
was linked against it) and the product is stored as float32. Needs
cols(A) == rows(B); otherwise ValueError "ERROR: Dimension mismatch: ...".
)doc";

constexpr const char* kEntrywiseDoc =
    R"doc(A * B element by element in float (QTEV_ResponseMatrix::entrywise_product).
A and B must have one shape; otherwise ValueError "ERROR: Dimension mismatch: ...".
)doc";

constexpr const char* kTransposeDoc =
    R"doc(The transpose of R as a float32 matrix (QTEV_ResponseMatrix::transpose).
)doc";

constexpr const char* kSvdResultDoc = R"doc(What invert did: the inverse and the library's SvdReport.

The fields are the report's, as the library filled them; nothing is computed
afresh.
)doc";

constexpr const char* kPinvResultDoc = R"doc(What pinv did: the inverse and the library's PinvReport.)doc";

// A field of the library's report as a read-only attribute of its result.
template <typename Result, typename Report, typename T>
void report_field(py::class_<Result>& cls, const char* name, T Report::*field, const char* doc) {
  cls.def_property_readonly(
      name, [field](const Result& r) { return r.report.*field; }, doc);
}

// The chicane functions, element-wise over numpy arrays with broadcasting.
template <typename F, typename... Names>
void def_chicane(py::module_& m, const char* name, F f, const char* doc, Names... names) {
  const std::string full =
      std::string(doc) +
      "\n\nElement-wise over arrays with broadcasting, like a numpy ufunc (float64 out);\n"
      "scalars in, a Python float out.";
  m.def(name, py::vectorize(f), py::arg(names)..., full.c_str());
}

}  // namespace

PYBIND11_MODULE(zor_feedback, m) {
  m.doc() = kModuleDoc;
  m.attr("__version__") = ZOR_FEEDBACK_VERSION;

  // Every log line of the library to Python's logging, from import on; back
  // to the host layer's standard error at exit, before Python goes away.
  ovrix::set_log_sink(log_to_python);
  py::module_::import("atexit").attr("register")(py::cpp_function([] { ovrix::set_log_sink({}); }));

  using zor_feedback::PinvReport;
  using zor_feedback::SvdReport;
  py::class_<SvdResult> svd(m, "SvdResult", kSvdResultDoc);
  svd.def_readonly("inverse", &SvdResult::inverse, "the inverse, n x m float32, as the server stores it")
      .def_readonly("singular_values", &SvdResult::singular_values,
                    "all min(m, n) singular values, non-increasing (float64)")
      .def_property_readonly(
          "method", [](const SvdResult& r) { return zor_feedback::svd_method_name(r.report.method); },
          "'gsl' or 'lapack'")
      .def("__repr__", &svd_repr);
  report_field(svd, "tol", &SvdReport::tol, "the tolerance used: what invert writes back to *tol (a float)");
  report_field(svd, "internal_tolerance", &SvdReport::internal_tolerance,
               "the tolerance was computed by the library (tol = -1)");
  report_field(svd, "cutoff", &SvdReport::cutoff, "tol * max(S): s enters the inverse when s > cutoff");
  report_field(svd, "used", &SvdReport::used, "singular values that enter the inverse (s > cutoff)");
  report_field(svd, "nosv", &SvdReport::nosv,
               "invert's *nosv: the values not below tol (absolute) and not zero");
  report_field(svd, "infinite", &SvdReport::infinite,
               "singular values whose reciprocal is infinite (zero ones)");
  report_field(svd, "below_tol", &SvdReport::below_tol,
               "the other singular values below tol (absolute, strict)");
  report_field(svd, "elements_cleared", &SvdReport::elements_cleared,
               "elements of the inverse with 0 < |v| <= tol, stored as 0");
  report_field(svd, "largest_cleared", &SvdReport::largest_cleared,
               "the largest |v| among the cleared elements");
  report_field(svd, "largest_element", &SvdReport::largest_element,
               "the largest |v| of the inverse before clearing");
  report_field(svd, "zero_inverse", &SvdReport::zero_inverse,
               "the stored inverse is all zero, the matrix is not");
  report_field(svd, "condition_number", &SvdReport::condition_number,
               "max(S) / min(S); inf when min(S) == 0");
  report_field(svd, "condition_number_used", &SvdReport::condition_number_used,
               "max(S) / the smallest value used; nan when none is");
  report_field(svd, "rows", &SvdReport::rows, "m, monitors");
  report_field(svd, "cols", &SvdReport::cols, "n, actuators");
  report_field(svd, "transposed", &SvdReport::transposed, "m > n: the transpose was decomposed");
  report_field(svd, "time_ms", &SvdReport::time_ms, "the figure of the library's 'took (ms)' line");
  report_field(svd, "warnings", &SvdReport::warnings, "the 'WARNING: ...' lines the library logged");

  py::class_<PinvResult> pinv_result(m, "PinvResult", kPinvResultDoc);
  pinv_result
      .def_readonly("inverse", &PinvResult::inverse, "the inverse, n x m float32, as the server stores it")
      .def_readonly("singular_values", &PinvResult::singular_values,
                    "the magnitudes the decomposition found, non-increasing (float64); empty for 'cholesky'")
      .def_property_readonly(
          "path", [](const PinvResult& r) { return path_name(r.report.path); },
          "how Armadillo decomposed the matrix: 'svd', 'symmetric', 'cholesky' or 'diagonal'")
      .def("__repr__", &pinv_repr);
  report_field(pinv_result, "tolerance", &PinvReport::tol, "the input floor (a float)");
  report_field(pinv_result, "input_cleared", &PinvReport::input_cleared,
               "input elements with 0 < |a| < tolerance cleared");
  report_field(pinv_result, "result_cleared", &PinvReport::elements_cleared,
               "result elements with 0 < |b| < 2**-52 cleared");
  report_field(pinv_result, "threshold", &PinvReport::threshold,
               "Armadillo's threshold max(m, n) * max(S) * 2**-52; nan for 'cholesky'");
  report_field(pinv_result, "rank", &PinvReport::used,
               "values inverted (not below threshold, not zero); n for 'cholesky'");
  report_field(pinv_result, "zero_inverse", &PinvReport::zero_inverse,
               "the stored inverse is all zero, the matrix is not");
  report_field(pinv_result, "rows", &PinvReport::rows, "m");
  report_field(pinv_result, "cols", &PinvReport::cols, "n");
  report_field(pinv_result, "time_ms", &PinvReport::time_ms, "the figure of the library's 'took (ms)' line");
  report_field(pinv_result, "warnings", &PinvReport::warnings, "the 'WARNING: ...' lines the library logged");

  m.def("load", &load, py::arg("path"), kLoadDoc);
  m.def("invert", &invert, py::arg("R"), py::arg("tol") = -1.0, py::arg("method") = "gsl",
        py::arg("keep") = py::none(), kInvertDoc);
  m.def("pinv", &pinv, py::arg("R"), py::arg("tolerance") = 0.0, kPinvDoc);
  m.def("multiply", &multiply, py::arg("A"), py::arg("B"), kMultiplyDoc);
  m.def("entrywise_product", &entrywise_product, py::arg("A"), py::arg("B"), kEntrywiseDoc);
  m.def("transpose", &transpose, py::arg("R"), kTransposeDoc);

  def_chicane(m, "chop", chop, "0.0 if |val| < 1e-4 (strict), else val.", "val");
  def_chicane(m, "E2gamma", E2gamma, "Lorentz factor of an electron of total energy E [J].", "E");
  def_chicane(m, "gamma2beta", gamma2beta,
              "Velocity as a fraction of the speed of light for the Lorentz factor gamma;\n"
              "NaN for |gamma| < 1.",
              "gamma");
  def_chicane(m, "E2p", E2p, "Momentum [kg m/s] of an electron of total energy E [J].", "E");
  def_chicane(m, "B2I", B2I, "Magnet current for the field B, where a1 is the field per unit current.", "B",
              "a1");
  def_chicane(m, "B2alpha", B2alpha,
              "Bending angle [rad] of a dipole of field B [T] and length leff [m]\n"
              "at the energy E [MeV]; NaN when |B leff / E * 299.7924| > 1.",
              "B", "E", "leff");
  def_chicane(m, "alpha2B", alpha2B,
              "Field [T] that bends by alpha [rad] over leff [m] at E [MeV];\n"
              "the inverse of B2alpha.",
              "alpha", "E", "leff");
  def_chicane(m, "alpha2R56", alpha2R56,
              "The chicane's R56 (same unit as leff and d12); 0 for alpha == 0.\n"
              "A chicane that bends has a negative R56, the same for alpha and -alpha\n"
              "(about -2 alpha**2 (d12 + 2 leff / 3) for small angles).",
              "alpha", "leff", "d12");
  def_chicane(m, "R562alpha", R562alpha,
              "The bending angle [rad] in (0, pi/2) at which the chicane has the\n"
              "given R56: the inverse of alpha2R56, in its sign convention (negative R56) and lengths.\n"
              "0 for an R56 of 0; NaN for a positive or non-finite R56, and for leff <= 0 or d12 < 0.",
              "R56", "leff", "d12");
  def_chicane(m, "alpha2x_bc", alpha2x_bc,
              "Transverse orbit offset between dipoles 2 and 3; 0 for alpha == 0.", "alpha", "leff", "d12");
  def_chicane(m, "alpha2r", alpha2r, "Bending radius leff / sin(alpha); 0 (not infinity) for alpha == 0.",
              "alpha", "leff");
  def_chicane(m, "alpha2l_bc", alpha2l_bc,
              "Path length from the entrance of dipole 1 to the exit of dipole 4.", "alpha", "r", "d12",
              "d23");
  def_chicane(m, "delta_t", delta_t,
              "Time [s] by which the path l_bc [m] exceeds the straight length\n"
              "2 z12 + z23 + leff [m], z12 and z23 measured between dipole centres.",
              "l_bc", "z12", "z23", "leff");
}
