// The chicane functions, element-wise over numpy arrays with broadcasting.
// They are cheap and keep the GIL.
#include "binding.h"

namespace zor_feedback::python {
namespace {

template <typename F, typename... Names>
void def_chicane(py::module_& m, const char* name, F f, const char* doc, Names... names) {
  const std::string full = std::string(doc) +
                           "\n\nElement-wise like a numpy ufunc (float64 out); scalars in, a float out.\n"
                           "Meanings and domains: zor_feedback/chicane_physics.h.";
  m.def(name, py::vectorize(f), py::arg(names)..., full.c_str());
}

}  // namespace

void register_chicane(py::module_& m) {
  def_chicane(m, "chop", chop, "0.0 if |val| < 1e-4, else val.", "val");
  def_chicane(m, "E2gamma", E2gamma, "Lorentz factor of an electron of total energy E [J].", "E");
  def_chicane(m, "gamma2beta", gamma2beta, "v / c for the Lorentz factor gamma.", "gamma");
  def_chicane(m, "E2p", E2p, "Momentum [kg m/s] of an electron of total energy E [J].", "E");
  def_chicane(m, "B2I", B2I, "Magnet current for the field B at a1 field per unit current.", "B", "a1");
  def_chicane(m, "B2alpha", B2alpha, "Bending angle [rad] of a dipole: field B [T], E [MeV], leff [m].", "B",
              "E", "leff");
  def_chicane(m, "alpha2B", alpha2B, "Field [T] that bends by alpha [rad]; the inverse of B2alpha.", "alpha",
              "E", "leff");
  def_chicane(m, "alpha2R56", alpha2R56, "The chicane's R56 (negative when it bends).", "alpha", "leff",
              "d12");
  def_chicane(m, "R562alpha", R562alpha, "The bending angle for an R56; the inverse of alpha2R56.", "R56",
              "leff", "d12");
  def_chicane(m, "alpha2x_bc", alpha2x_bc, "Transverse orbit offset between dipoles 2 and 3.", "alpha",
              "leff", "d12");
  def_chicane(m, "alpha2r", alpha2r, "Bending radius leff / sin(alpha); 0 for alpha == 0.", "alpha", "leff");
  def_chicane(m, "alpha2l_bc", alpha2l_bc, "Path length from dipole 1's entrance to dipole 4's exit.",
              "alpha", "r", "d12", "d23");
  def_chicane(m, "delta_t", delta_t, "Time [s] by which the path l_bc exceeds the straight length.", "l_bc",
              "z12", "z23", "leff");
}

}  // namespace zor_feedback::python
