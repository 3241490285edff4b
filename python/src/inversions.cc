// The inversions: the standard one, the classic one, Armadillo's pinv. Each
// call copies its matrix into library objects of its own and computes with
// the GIL released; a refusal is the library's, raised with its text.
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <optional>

#include "blas_threads.h"
#include "results.h"

namespace zor_feedback::python {
namespace {

zor_feedback::SvdMethod method_named(const std::string& name) {
  zor_feedback::SvdMethod method = zor_feedback::SvdMethod::gsl;
  if (!zor_feedback::parse_svd_method(name, &method))
    throw py::value_error("method must be 'gsl' or 'lapack', not '" + name + "'");
  return method;
}

// The classic inversion takes its tolerances as float; a finite value beyond
// the float range would arrive as something else than was asked for.
float float_argument(double v, const char* name) {
  if (std::isfinite(v) && std::fabs(v) > static_cast<double>(std::numeric_limits<float>::max())) {
    char text[128];
    std::snprintf(text, sizeof text, "%s = %g lies outside the float range the library takes", name, v);
    throw py::value_error(text);
  }
  return static_cast<float>(v);
}

// Runs `compute(A, inverse, spectrum)` on a copy of R without the GIL and
// reads the inverse out when the report is ok.
template <typename Result, typename Compute>
Result inversion(const ArrayLike& R, Compute compute) {
  const MatrixIn in = matrix_in(R, "R");
  Result res;
  res.inverse = new_matrix(in.cols, in.rows);
  float* out = res.inverse.mutable_data();
  {
    py::gil_scoped_release nogil;
    const SharedBlasThreads blas;
    QTEV_ResponseMatrix A("RESPONSE_MATRIX", in.rows, in.cols, nullptr);
    QTEV_ResponseMatrix inverse("INVERSE", in.cols, in.rows, nullptr);
    D_spectrum spectrum("SINGULAR_VALUES", std::min(in.rows, in.cols), nullptr);
    fill(A, in.array.data());
    res.report = compute(A, inverse, spectrum);
    if (res.report.ok) read_out(inverse, out);
  }
  if (!res.report.ok) raise(PyExc_ValueError, res.report.error);
  res.singular_values = doubles(res.report.singular_values);
  return res;
}

SvdResult invert(const ArrayLike& R, std::optional<double> rcond, std::optional<int> keep,
                 const std::string& method, const py::object& tikhonov,
                 const std::optional<std::string>& filter, const py::object& orbit) {
  zor_feedback::StandardOptions options;
  options.filter = filter_in(rcond, keep, tikhonov, filter);
  options.method = method_named(method);
  if (!orbit.is_none()) options.orbit = vector_in(orbit, "orbit");
  return inversion<SvdResult>(R, [&](QTEV_ResponseMatrix& A, QTEV_ResponseMatrix& inverse, D_spectrum& s) {
    return A.pseudo_inverse(inverse, &s, options);
  });
}

SvdResult invert_classic(const ArrayLike& R, double tol, const std::string& method, std::optional<int> keep) {
  const zor_feedback::SvdMethod m = method_named(method);
  if (keep && tol != -1.0) throw py::value_error("give tol or keep, not both: keep chooses the tolerance");
  const float tol_f = float_argument(tol, "tol");
  return inversion<SvdResult>(R, [&](QTEV_ResponseMatrix& A, QTEV_ResponseMatrix& inverse, D_spectrum& s) {
    A.set_svd_method(m);
    return keep ? A.invert_keep(inverse, s, *keep) : A.invert_report(inverse, s, tol_f);
  });
}

PinvResult pinv(const ArrayLike& R, double tolerance) {
  const float tolerance_f = float_argument(tolerance, "tolerance");
  // Armadillo's SVD failure passes through as RuntimeError.
  return inversion<PinvResult>(R, [&](QTEV_ResponseMatrix& A, QTEV_ResponseMatrix& inverse, D_spectrum&) {
    return A.pinv_report(inverse, tolerance_f);
  });
}

constexpr const char* kInvertDoc =
    R"doc(The standard inversion (QTEV_ResponseMatrix::pseudo_inverse) of the m x n matrix
R: its truncated-SVD pseudo-inverse, n x m float32, as numpy.linalg.pinv gives
it; independent of R's units, no element touched after it is formed.

rcond: s enters when s > rcond * max(S), numpy's meaning; None: the library's
default (zor_feedback::default_rcond). keep=N: exactly the N largest values,
by count. tikhonov=A: s / (s^2 + alpha^2) with alpha = A * max(S); "auto"
(= "lcurve"), "gcv" or "discrepancy NOISE": alpha chosen for `orbit` (m
values). filter: the text form ("keep 12", "tikhonov 0.01"); give one of
rcond, keep, tikhonov, filter. The report holds alpha and filter_factors.
method: "lapack" (default) or "gsl". The rules: StandardOptions in
zor_feedback/zor_feedback.h. Raises ValueError with the library's text when
it refuses.)doc";

constexpr const char* kInvertClassicDoc =
    R"doc(The classic inversion (QTEV_ResponseMatrix::invert, or invert_keep with keep=N),
bit for bit as the servers compute it and as `zorfb svd --classic` writes it:
tol is both the relative cut-off (-1: the internal one) and an absolute floor
on the inverse's elements (elements_cleared, floor_change). For servers tuned
against it; new work uses invert. The rules are QTEV_ResponseMatrix::invert's.

Raises ValueError with the library's text when it refuses.)doc";

constexpr const char* kPinvDoc =
    R"doc(The pseudo-inverse by Armadillo (QTEV_ResponseMatrix::pinv) of R, n x m float32,
with its input floor `tolerance`. Raises ValueError with the library's text
when it refuses, RuntimeError when Armadillo's SVD fails.)doc";

}  // namespace

void register_inversions(py::module_& m) {
  m.def("invert", &invert, py::arg("R"), py::arg("rcond") = py::none(), py::arg("keep") = py::none(),
        py::arg("method") = "lapack", py::kw_only(), py::arg("tikhonov") = py::none(),
        py::arg("filter") = py::none(), py::arg("orbit") = py::none(), kInvertDoc);
  m.def("invert_classic", &invert_classic, py::arg("R"), py::arg("tol") = -1.0, py::arg("method") = "gsl",
        py::arg("keep") = py::none(), kInvertClassicDoc);
  m.def("pinv", &pinv, py::arg("R"), py::arg("tolerance") = 0.0, kPinvDoc);
}

}  // namespace zor_feedback::python
