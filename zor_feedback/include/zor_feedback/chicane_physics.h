// chicane_physics.h - the physics of a four-dipole magnetic chicane.
//
// Dipoles 1 and 4 bend the beam to one side, dipoles 2 and 3 to the other, each
// by the angle alpha over the effective length leff along the axis (bending
// radius r = leff / sin(alpha)). Between dipoles 1-2 and 3-4 lies a drift of
// length d12 along the axis, crossed at the angle alpha; between dipoles 2 and
// 3 a straight drift d23 at the orbit offset x_bc.
//
// Units: energies in joules for E2gamma and E2p (E2p returns kg m/s); energies
// in MeV, fields in tesla and leff in metres for B2alpha and alpha2B; angles in
// radians; delta_t takes metres and returns seconds. The other geometry
// functions work in any one length unit.
//
// No function checks its arguments: outside their domains the results are NaN
// or infinite as IEEE arithmetic gives them. The only guards are for an angle
// of exactly 0 in alpha2R56, alpha2x_bc and alpha2r. R562alpha, the inverse of
// alpha2R56, is the exception: it says NaN for what no chicane gives. All
// functions are pure and may be called from any thread.
#ifndef ZOR_FEEDBACK_CHICANE_PHYSICS_H
#define ZOR_FEEDBACK_CHICANE_PHYSICS_H

#include "zor_feedback/export.h"

// 0.0 if |val| < 1e-4 (strict), else val.
ZOR_FEEDBACK_API double chop(double val);
// Lorentz factor of an electron of total energy E [J].
ZOR_FEEDBACK_API double E2gamma(double E);
// Velocity as a fraction of the speed of light for the Lorentz factor gamma;
// NaN for |gamma| < 1.
ZOR_FEEDBACK_API double gamma2beta(double gamma);
// Momentum [kg m/s] of an electron of total energy E [J].
ZOR_FEEDBACK_API double E2p(double E);
// Magnet current for the field B, where a1 is the field per unit current.
ZOR_FEEDBACK_API double B2I(double B, double a1);
// Bending angle [rad] of a dipole of field B [T] and length leff [m] at the
// energy E [MeV]; NaN when |B leff / E * 299.7924| > 1.
ZOR_FEEDBACK_API double B2alpha(double B, double E, double leff);
// Field [T] that bends by alpha [rad] over leff [m] at E [MeV]; the inverse of
// B2alpha.
ZOR_FEEDBACK_API double alpha2B(double alpha, double E, double leff);
// The chicane's R56 (same unit as leff and d12); 0 for alpha == 0. The sign
// convention: a chicane that bends has a negative R56, the same for alpha and
// -alpha (about -2 alpha^2 (d12 + 2 leff / 3) for small angles).
ZOR_FEEDBACK_API double alpha2R56(double alpha, double leff, double d12);
// The bending angle [rad] in (0, pi/2) at which the chicane has the given
// R56: the inverse of alpha2R56, in its sign convention (negative R56) and
// its lengths (leff along the axis, d12 between dipoles 1 and 2 along the
// axis, all three in one unit). alpha2R56 of the result equals R56 to within
// the rounding of alpha2R56 itself (1e-12 relative for angles above about
// 0.02 rad). 0 for an R56 of 0; NaN for a positive or non-finite R56, and
// for leff <= 0 or d12 < 0, where no chicane has that R56.
ZOR_FEEDBACK_API double R562alpha(double R56, double leff, double d12);
// Transverse orbit offset between dipoles 2 and 3; 0 for alpha == 0.
ZOR_FEEDBACK_API double alpha2x_bc(double alpha, double leff, double d12);
// Bending radius leff / sin(alpha); 0 (not infinity) for alpha == 0.
ZOR_FEEDBACK_API double alpha2r(double alpha, double leff);
// Path length from the entrance of dipole 1 to the exit of dipole 4.
ZOR_FEEDBACK_API double alpha2l_bc(double alpha, double r, double d12, double d23);
// Time [s] by which the path l_bc [m] exceeds the straight length
// 2 z12 + z23 + leff [m], z12 and z23 measured between dipole centres.
ZOR_FEEDBACK_API double delta_t(double l_bc, double z12, double z23, double leff);

#endif  // ZOR_FEEDBACK_CHICANE_PHYSICS_H
