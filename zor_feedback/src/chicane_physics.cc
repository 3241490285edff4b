#include "zor_feedback/chicane_physics.h"

#include <cmath>
#include <limits>

// The operations are grouped as written: the numbers must agree with the
// control system's other implementations to the last bit (the library is
// built with -ffp-contract=off, so no multiply-add is fused either).

double chop(double val) { return std::fabs(val) < 1e-4 ? 0.0 : val; }

double E2gamma(double E) {
  return E / 8.187111168006824e-14;  // electron rest energy [J] = 9.1093897e-31 * c^2
}

double gamma2beta(double gamma) { return std::sqrt(1.0 - 1.0 / (gamma * gamma)); }

double E2p(double E) {
  const double gamma = E2gamma(E);
  const double beta = gamma2beta(gamma);
  return ((beta * 299792458.0) * gamma) * 9.1093897e-31;
}

double B2I(double B, double a1) { return B / a1; }

// 299.7924 is c in 10^6 m/s cut to four decimals, as the machine's magnet
// tables use it (not 299.792458).
double B2alpha(double B, double E, double leff) { return std::asin(((B * leff) / E) * 299.7924); }

double alpha2B(double alpha, double E, double leff) {
  return std::sin(alpha) * ((E * 0.003335641597318678) / leff);  // 1 / 299.7924
}

double alpha2R56(double alpha, double leff, double d12) {
  if (alpha == 0.0) return 0.0;
  const double s = std::sin(alpha);
  const double c = std::cos(alpha);
  const double s2 = s * s;
  const double c2 = c * c;
  return ((4 * leff) * alpha) / s + ((-4 * leff) / c - ((s2 + s2) * d12) / (c * c2));
}

// alpha2R56 falls monotonically from 0 to minus infinity over (0, pi/2) when
// leff > 0 and d12 >= 0, so bisection on the angle finds the one root. It
// compares alpha2R56's own values, so that the round trip holds to its
// rounding, and it ends when the bracket is two neighbouring doubles.
double R562alpha(double R56, double leff, double d12) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  if (R56 == 0.0) return 0.0;
  if (!(R56 < 0.0) || !std::isfinite(R56) || !(leff > 0.0) || !(d12 >= 0.0) || !std::isfinite(leff) ||
      !std::isfinite(d12))
    return nan;
  double lo = 0.0;                 // alpha2R56(lo) > R56
  double hi = 1.5707963267948966;  // pi/2 rounded down: R56 about -2 d12 / cos^3 there, the reach
  if (!(alpha2R56(hi, leff, d12) <= R56)) return nan;
  for (int i = 0; i < 2100; ++i) {
    const double mid = lo + (hi - lo) / 2;
    if (mid <= lo || mid >= hi) break;
    (alpha2R56(mid, leff, d12) > R56 ? lo : hi) = mid;
  }
  // The neighbour whose R56 lies nearer (lo may be 0, which is no bend).
  if (lo == 0.0) return hi;
  return std::fabs(alpha2R56(lo, leff, d12) - R56) < std::fabs(alpha2R56(hi, leff, d12) - R56) ? lo : hi;
}

double alpha2x_bc(double alpha, double leff, double d12) {
  if (alpha == 0.0) return 0.0;
  const double s = std::sin(alpha);
  const double c = std::cos(alpha);
  return std::tan(alpha) * d12 + ((2 * leff) / s) * (1 - c);
}

double alpha2r(double alpha, double leff) {
  if (alpha == 0.0) return 0.0;
  return leff / std::sin(alpha);
}

double alpha2l_bc(double alpha, double r, double d12, double d23) {
  return ((2 * d12) / std::cos(alpha) + (4 * r) * alpha) + d23;
}

double delta_t(double l_bc, double z12, double z23, double leff) {
  return (l_bc - (((2 * z12) + z23) + leff)) * 3.3356409519815204e-9;  // 1 / c [s/m]
}
