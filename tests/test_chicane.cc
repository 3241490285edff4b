// Chicane physics, checked against the physics the functions stand for rather
// than against their own formulas: relativistic kinematics, the geometry of the
// bent orbit, and R56 as the derivative of the path length.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "zor_feedback/chicane_physics.h"

namespace {

constexpr double kEps = std::numeric_limits<double>::epsilon();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
const double kPi = std::acos(-1.0);

// The electron and the speed of light as the library's unit system fixes them.
constexpr double kMass = 9.1093897e-31;  // kg
constexpr double kC = 299792458.0;       // m/s
const double kRest = kMass * kC * kC;    // J

bool is_plus_zero(double v) { return v == 0.0 && !std::signbit(v); }

// A chicane: dipole length, drift between dipoles 1-2 (and 3-4), middle drift.
struct Chicane {
  double leff, d12, d23;
};
const std::vector<Chicane> kChicanes = {{0.5, 5.0, 1.0}, {0.2, 0.0, 0.5}, {1.0, 10.0, 2.0}};

// ----------------------------------------------------------------------------
TEST(Chop, ThresholdIsStrictAndSmallValuesBecomePlusZero) {
  const double below = std::nextafter(1e-4, 0.0);
  EXPECT_TRUE(is_plus_zero(chop(5e-5)));
  EXPECT_TRUE(is_plus_zero(chop(-5e-5)));
  EXPECT_TRUE(is_plus_zero(chop(below)));
  EXPECT_TRUE(is_plus_zero(chop(-below)));
  EXPECT_TRUE(is_plus_zero(chop(-0.0)));
  EXPECT_TRUE(is_plus_zero(chop(-std::numeric_limits<double>::denorm_min())));

  for (double v : {1e-4, -1e-4, -0.5, 0.5, 1e300, -1e300, kInf, -kInf}) EXPECT_EQ(chop(v), v) << v;
  EXPECT_TRUE(std::signbit(chop(-1e-4)));
  EXPECT_TRUE(std::isnan(chop(kNaN)));
}

// ----------------------------------------------------------------------------
TEST(Kinematics, RestEnergyGivesGammaOneAndNoMomentum) {
  // The rest-energy constant of E2gamma is this very product.
  EXPECT_EQ(E2gamma(kRest), 1.0);
  EXPECT_EQ(E2gamma(2.0 * kRest), 2.0);
  EXPECT_EQ(gamma2beta(1.0), 0.0);
  EXPECT_EQ(E2p(kRest), 0.0);
}

TEST(Kinematics, BelowRestEnergyIsNaN) {
  for (double g : {0.5, 0.0, -0.5, 0.999999}) EXPECT_TRUE(std::isnan(gamma2beta(g))) << g;
  for (double e : {0.0, 0.5 * kRest, std::nextafter(kRest, 0.0)}) EXPECT_TRUE(std::isnan(E2p(e))) << e;
  EXPECT_EQ(gamma2beta(kInf), 1.0);
}

// beta from gamma = 1 / sqrt(1 - beta^2), across the non-relativistic to the
// ultra-relativistic range.
TEST(Kinematics, BetaInvertsTheLorentzFactor) {
  for (double beta : {1e-3, 0.1, 0.5, 0.9, 0.999, 0.9999999}) {
    const double gamma = 1.0 / std::sqrt((1.0 - beta) * (1.0 + beta));
    // 1 - 1/gamma^2 = beta^2 is formed by cancellation: its relative error is
    // about eps / beta^2; halved by the square root, plus the roundings of the
    // reference itself.
    const double tol = beta * (4.0 * kEps / (beta * beta) + 8.0 * kEps);
    EXPECT_NEAR(gamma2beta(gamma), beta, tol) << beta;
  }
}

// p = sqrt(E^2 - (m c^2)^2) / c, written as sqrt((E - E0)(E + E0)) / c so the
// reference suffers no cancellation of its own.
TEST(Kinematics, MomentumFollowsTheEnergyMomentumRelation) {
  const double GeV = 1e9 * 1.602176634e-19;  // J
  for (double e : {1.0001 * kRest, 1.01 * kRest, 2.0 * kRest, 0.1 * GeV, 1.0 * GeV, 17.5 * GeV}) {
    const double want = std::sqrt((e - kRest) * (e + kRest)) / kC;
    const double g = e / kRest;
    // E2p forms 1 - 1/gamma^2 by cancellation: relative error about
    // eps * gamma^2 / (gamma^2 - 1), halved by the root, plus a few roundings.
    const double rel = 4.0 * kEps * (g * g / (g * g - 1.0)) + 8.0 * kEps;
    EXPECT_NEAR(E2p(e), want, rel * want) << "E/E0 = " << g;
  }
  // The ultra-relativistic limit p = E / c.
  EXPECT_NEAR(E2p(17.5 * GeV), 17.5 * GeV / kC, 1e-9 * 17.5 * GeV / kC);
}

TEST(Kinematics, EnergyIsInJoules) {
  // A 1 GeV electron has gamma = 1 GeV / 0.511 MeV; the older electron mass the
  // library uses differs from today's by about 2e-7.
  const double e = 1e9 * 1.602176634e-19;
  EXPECT_NEAR(E2gamma(e), 1e9 / 510998.95, 1e-6 * 1e9 / 510998.95);
}

// ----------------------------------------------------------------------------
TEST(Magnet, CurrentFromFieldPerAmpere) {
  const double a1 = 0.0042;  // T/A
  for (double I : {0.0, 1.0, 237.5, -80.0}) EXPECT_NEAR(B2I(a1 * I, a1), I, 2.0 * kEps * std::fabs(I)) << I;
  EXPECT_EQ(B2I(1.0, 0.0), kInf);
  EXPECT_EQ(B2I(-1.0, 0.0), -kInf);
  EXPECT_TRUE(std::isnan(B2I(0.0, 0.0)));
}

// An ultra-relativistic electron in a field B bends on a radius r with
// p c = E, r = p / (e B), so sin(alpha) = leff / r = B leff c / E [eV]. The
// library uses c cut to 299.7924e6 m/s: 1.94e-7 relative below the exact one.
TEST(Magnet, BendingAngleFollowsTheLorentzForce) {
  for (double B : {0.01, 0.3, 1.2, -0.7})
    for (double E : {130.0, 500.0, 2400.0})
      for (double leff : {0.2, 0.5}) {
        const double x = B * leff * 299.792458 / E;  // sin(alpha), E in MeV
        if (std::fabs(x) > 0.99) continue;
        EXPECT_NEAR(std::sin(B2alpha(B, E, leff)), x, 2e-7 * std::fabs(x)) << B << " " << E << " " << leff;
      }
}

TEST(Magnet, FieldFromAngleInvertsAngleFromField) {
  for (double E : {130.0, 500.0, 2400.0})
    for (double leff : {0.2, 0.5, 1.0}) {
      const double bmax = E / (leff * 299.7924);  // |sin(alpha)| = 1
      for (double f : {1e-6, 0.01, 0.3, 0.9, 0.999999, -0.5}) {
        const double B = f * bmax;
        // A handful of roundings, sin(asin(x)) within an ulp or two of x, and
        // the product 299.7924 * 0.003335641597318678 within an ulp of 1.
        EXPECT_NEAR(alpha2B(B2alpha(B, E, leff), E, leff), B, 16.0 * kEps * std::fabs(B))
            << B << " " << E << " " << leff;
      }
    }
}

TEST(Magnet, OutsideTheDomain) {
  EXPECT_TRUE(std::isnan(B2alpha(10.0, 100.0, 1.0)));  // sin(alpha) = 29.98
  EXPECT_TRUE(std::isnan(B2alpha(-10.0, 100.0, 1.0)));
  EXPECT_TRUE(std::isnan(B2alpha(1.0, 0.0, 1.0)));  // E = 0
  EXPECT_TRUE(std::isnan(B2alpha(0.0, 0.0, 1.0)));
  EXPECT_TRUE(std::isinf(alpha2B(0.1, 500.0, 0.0)));  // leff = 0
  EXPECT_TRUE(std::isnan(alpha2B(0.0, 500.0, 0.0)));
  EXPECT_EQ(B2alpha(0.0, 500.0, 0.5), 0.0);
}

// ----------------------------------------------------------------------------
// The three functions guarded against a zero angle give exactly 0.0 there,
// whatever the other arguments; a NaN angle is not caught.
TEST(Geometry, ZeroAngleGuards) {
  using Fn = double (*)(double, double, double);
  const Fn r = [](double a, double leff, double) { return alpha2r(a, leff); };
  const std::vector<std::pair<const char*, Fn>> fns = {
      {"alpha2R56", alpha2R56}, {"alpha2x_bc", alpha2x_bc}, {"alpha2r", r}};
  for (const auto& f : fns) {
    for (double a : {0.0, -0.0})
      for (double leff : {0.5, 0.0, -1.0, kNaN, kInf})
        for (double d12 : {5.0, 0.0, kNaN, -kInf}) {
          const double v = f.second(a, leff, d12);
          EXPECT_TRUE(is_plus_zero(v)) << f.first << "(" << a << ", " << leff << ", " << d12 << ") = " << v;
        }
    EXPECT_TRUE(std::isnan(f.second(kNaN, 0.5, 5.0))) << f.first;
  }
}

// R56 is the derivative of the path length with respect to the relative
// momentum deviation delta, the bending angle following
// sin(alpha(delta)) = sin(alpha) / (1 + delta) and the radius leff / sin.
TEST(Geometry, R56IsTheDerivativeOfThePathLength) {
  const double h = 1e-4;
  for (const Chicane& k : kChicanes)
    for (double alpha : {1e-3, 0.02, 0.05, 0.1, 0.3, 0.6, -0.05, -0.3}) {
      const auto path = [&](double delta) {
        const double s = std::sin(alpha) / (1.0 + delta);
        return alpha2l_bc(std::asin(s), k.leff / s, k.d12, k.d23);
      };
      const double fd = (path(h) - path(-h)) / (2.0 * h);
      const double r56 = alpha2R56(alpha, k.leff, k.d12);
      // Truncation: the path excess falls about as 1/(1 + delta)^2, whose third
      // derivative is 12 times its first, so h^2/6 * l''' is about 2 h^2 |R56|
      // (a margin of 5 covers the larger angles). Rounding: a few eps of the
      // whole path length, divided by the step.
      const double tol = 10.0 * h * h * std::fabs(r56) + 8.0 * kEps * path(0.0) / h;
      EXPECT_NEAR(r56, fd, tol) << "alpha " << alpha << " leff " << k.leff << " d12 " << k.d12;
    }
}

// Series of R56 in alpha: -2 alpha^2 (d12 + 2 leff / 3) - (34/45 leff +
// 7/3 d12) alpha^4 - ..., so the leading term is off by less than 1.2 alpha^2
// relative. The formula subtracts two terms near 4 leff, which loses about
// 3 eps / alpha^2 relative.
TEST(Geometry, R56SmallAngleLimit) {
  for (const Chicane& k : kChicanes)
    for (double alpha : {1e-2, 3e-3, 1e-3, 1e-4, -1e-3}) {
      const double lead = -2.0 * alpha * alpha * (k.d12 + 2.0 * k.leff / 3.0);
      const double rel = 1.2 * alpha * alpha + 16.0 * kEps / (alpha * alpha);
      EXPECT_NEAR(alpha2R56(alpha, k.leff, k.d12), lead, rel * std::fabs(lead))
          << "alpha " << alpha << " leff " << k.leff << " d12 " << k.d12;
    }
}

TEST(Geometry, EvenInTheAngleAndNegativeWithinTheQuarterTurn) {
  for (const Chicane& k : kChicanes)
    for (double alpha : {1e-6, 0.01, 0.2, 0.7, 1.2, 1.5}) {
      const double r56 = alpha2R56(alpha, k.leff, k.d12);
      EXPECT_LT(r56, 0.0) << alpha;
      EXPECT_DOUBLE_EQ(alpha2R56(-alpha, k.leff, k.d12), r56) << alpha;
      // The offset and the radius change sign with the bend, the path does not.
      EXPECT_DOUBLE_EQ(alpha2x_bc(-alpha, k.leff, k.d12), -alpha2x_bc(alpha, k.leff, k.d12));
      EXPECT_DOUBLE_EQ(alpha2r(-alpha, k.leff), -alpha2r(alpha, k.leff));
      EXPECT_DOUBLE_EQ(alpha2l_bc(-alpha, alpha2r(-alpha, k.leff), k.d12, k.d23),
                       alpha2l_bc(alpha, alpha2r(alpha, k.leff), k.d12, k.d23));
    }
}

// The orbit through dipoles 1 and 2: an arc of radius r whose chord along the
// axis is leff (r sin(alpha) = leff) gains r (1 - cos(alpha)) sideways in each
// dipole, and the drift crossed at alpha gains d12 tan(alpha).
TEST(Geometry, OffsetOfTheOrbitBetweenTheMiddleDipoles) {
  for (const Chicane& k : kChicanes)
    for (double alpha : {1e-3, 0.05, 0.3, 1.0, -0.2}) {
      const double r = alpha2r(alpha, k.leff);
      EXPECT_NEAR(r * std::sin(alpha), k.leff, 4.0 * kEps * k.leff);
      const double want = 2.0 * r * (1.0 - std::cos(alpha)) + k.d12 * std::tan(alpha);
      EXPECT_NEAR(alpha2x_bc(alpha, k.leff, k.d12), want, 8.0 * kEps * std::fabs(want)) << alpha;
      // Small angles: each dipole adds alpha leff / 2, the drift alpha d12.
      if (std::fabs(alpha) <= 1e-3) {
        EXPECT_NEAR(alpha2x_bc(alpha, k.leff, k.d12), alpha * (k.leff + k.d12),
                    alpha * alpha * std::fabs(alpha) * (k.leff + k.d12));
      }
    }
}

TEST(Geometry, PathLength) {
  // No bend: the two drifts, whatever the finite radius.
  for (double r : {0.0, 1.0, -3.0, 1e300}) EXPECT_EQ(alpha2l_bc(0.0, r, 5.0, 1.5), 11.5) << r;
  // Bent, the path is longer than the straight length 4 leff + 2 d12 + d23.
  for (const Chicane& k : kChicanes)
    for (double alpha : {1e-3, 0.05, 0.3, -0.3}) {
      const double straight = 4.0 * k.leff + 2.0 * k.d12 + k.d23;
      EXPECT_GT(alpha2l_bc(alpha, alpha2r(alpha, k.leff), k.d12, k.d23), straight) << alpha;
    }
}

// ----------------------------------------------------------------------------
TEST(TimeDelay, ExcessPathOverTheSpeedOfLight) {
  const double z12 = 5.5, z23 = 1.5, leff = 0.5;
  const double straight = 2.0 * z12 + z23 + leff;
  EXPECT_EQ(delta_t(straight, z12, z23, leff), 0.0);
  for (double extra : {1.0, 3e-4, -2e-3}) {
    const double want = extra / kC;
    // The subtraction recovers `extra` within eps of the straight length.
    EXPECT_NEAR(delta_t(straight + extra, z12, z23, leff), want,
                4.0 * kEps * std::fabs(want) + 2.0 * kEps * straight / kC)
        << extra;
  }
}

// With z12 and z23 between dipole centres, a small bend delays the beam by
// -R56 / 2 over c: the path excess is alpha^2 (d12 + 2 leff / 3) to leading
// order, half of |R56|.
TEST(TimeDelay, SmallBendDelayIsHalfOfR56) {
  for (const Chicane& k : kChicanes)
    for (double alpha : {1e-3, 1e-2}) {
      const double l = alpha2l_bc(alpha, alpha2r(alpha, k.leff), k.d12, k.d23);
      const double dt = delta_t(l, k.leff + k.d12, k.leff + k.d23, k.leff);
      const double want = -alpha2R56(alpha, k.leff, k.d12) / 2.0 / kC;
      EXPECT_NEAR(dt, want, 2.0 * alpha * alpha * want) << alpha;
    }
}

// The inverse of alpha2R56 over the whole angle range: alpha2R56 of the angle
// found is the R56 asked for, to 1e-12 where alpha2R56 itself is that
// precise (its terms cancel for small angles); the angle comes back too.
TEST(InverseChicane, R562alphaRoundTripsAndSaysNaNOutsideTheRange) {
  for (const Chicane& k : kChicanes)
    for (double alpha = 1e-3; alpha < 1.5; alpha *= 1.37) {
      const double r56 = alpha2R56(alpha, k.leff, k.d12);
      const double back = R562alpha(r56, k.leff, k.d12);
      EXPECT_GT(back, 0.0);
      EXPECT_LT(back, kPi / 2);
      if (alpha > 0.02) {
        EXPECT_NEAR(alpha2R56(back, k.leff, k.d12), r56, 1e-12 * std::fabs(r56)) << alpha;
      }
      EXPECT_NEAR(back, alpha, 1e-7 * alpha) << alpha;
    }
  // The worked example: the bunch compressor of 0.09 T at 130 MeV.
  EXPECT_NEAR(R562alpha(-0.0729222763, 0.5, 3.0), 0.10396146, 5e-9);
  EXPECT_EQ(R562alpha(0.0, 0.5, 3.0), 0.0);
  EXPECT_EQ(R562alpha(-0.0, 0.5, 3.0), 0.0);
  for (const double bad : {1e-3, kNaN, -kInf, -1e300})
    EXPECT_TRUE(std::isnan(R562alpha(bad, 0.5, 3.0))) << bad << ": the wrong sign or out of reach";
  EXPECT_TRUE(std::isnan(R562alpha(-0.01, 0.0, 3.0))) << "no dipole length";
  EXPECT_TRUE(std::isnan(R562alpha(-0.01, 0.5, -1.0))) << "a negative drift";
}

}  // namespace
