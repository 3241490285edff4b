// Correction::choose_tikhonov: the strength a rule chooses for a plane from
// one orbit, against a corner found here from the curve's definition and
// against the inversion of the plane's weighted sub-matrix made by hand; its
// refusals change nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "zor_feedback/correction.h"

namespace zor_feedback {
namespace {

constexpr int kMx = 40, kNx = 24, kMy = 10, kNy = 5;  // monitors and correctors per plane
constexpr double kPi = 3.14159265358979323846;

// An orthonormal sine vector: u_k(i) for i < size, of the basis of order `order`.
double sine(int i, int k, int order) {
  return std::sqrt(2.0 / (order + 1)) * std::sin(kPi * (i + 1) * (k + 1) / (order + 1));
}

// Plane x: U diag(s) V^T with s from 2 down to 2e-6, U and V sine bases, so
// its decomposition is known; plane y a well-conditioned block beside it.
double singular_value(int k) { return 2.0 * std::pow(10.0, -6.0 * k / (kNx - 1)); }

LabelledMatrix ill_posed_ring() {
  LabelledMatrix m;
  m.rows = kMx + kMy;
  m.cols = kNx + kNy;
  m.values.assign(static_cast<std::size_t>(m.rows * m.cols), 0.0);
  const auto at = [&m](int i, int j) -> double& {
    return m.values[static_cast<std::size_t>(i * m.cols + j)];
  };
  for (int i = 0; i < kMx; ++i)
    for (int j = 0; j < kNx; ++j)
      for (int k = 0; k < kNx; ++k) at(i, j) += sine(i, k, kMx) * singular_value(k) * sine(j, k, kNx);
  for (int i = 0; i < kMy; ++i)
    for (int j = 0; j < kNy; ++j) at(kMx + i, kNx + j) = (i == 2 * j ? 1.0 : 0.1) + 0.01 * i;
  const auto name = [](const char* p, int k) {
    return p + std::string(k < 10 ? "0" : "") + std::to_string(k);
  };
  for (int i = 0; i < m.rows; ++i) {
    m.monitors.push_back(i < kMx ? name("BX", i) : name("BY", i - kMx));
    m.monitor_planes.push_back(i < kMx ? Plane::x : Plane::y);
  }
  for (int j = 0; j < m.cols; ++j) {
    m.correctors.push_back(j < kNx ? name("CX", j) : name("CY", j - kNx));
    m.corrector_planes.push_back(j < kNx ? Plane::x : Plane::y);
  }
  return m;
}

// R x for x_j = 1 + j / n, plus noise of rms about 1e-4 from a fixed hash.
std::vector<double> noisy_orbit(const LabelledMatrix& m) {
  std::vector<double> o(static_cast<std::size_t>(m.rows), 0.0);
  for (int i = 0; i < m.rows; ++i) {
    for (int j = 0; j < m.cols; ++j)
      o[static_cast<std::size_t>(i)] +=
          m.values[static_cast<std::size_t>(i * m.cols + j)] * (1.0 + static_cast<double>(j) / m.cols);
    const double h = std::sin(12.9898 * i + 78.233) * 43758.5453;
    o[static_cast<std::size_t>(i)] += 3.4e-4 * (h - std::floor(h) - 0.5);
  }
  return o;
}

// The L-curve's corner from its definition: the largest curvature of
// (ln ||R x - b||, ln ||x||) over 4001 points in ln(alpha), by central
// differences, for R = U diag(s) V^T of plane x and b its orbit.
double reference_corner(const std::vector<double>& b) {
  std::vector<double> beta(kNx, 0.0);
  double outside = 0.0;
  for (int i = 0; i < kMx; ++i) outside += b[static_cast<std::size_t>(i)] * b[static_cast<std::size_t>(i)];
  for (int k = 0; k < kNx; ++k) {
    for (int i = 0; i < kMx; ++i)
      beta[static_cast<std::size_t>(k)] += sine(i, k, kMx) * b[static_cast<std::size_t>(i)];
    outside -= beta[static_cast<std::size_t>(k)] * beta[static_cast<std::size_t>(k)];
  }
  const int n = 4001;
  const double lo = std::log(singular_value(kNx - 1)), hi = std::log(singular_value(0)),
               h = (hi - lo) / (n - 1);
  std::vector<double> x(n), y(n);
  for (int q = 0; q < n; ++q) {
    const double a2 = std::exp(2.0 * (lo + q * h));
    double rho = std::max(0.0, outside), eta = 0.0;
    for (int k = 0; k < kNx; ++k) {
      const double s = singular_value(k), d = s * s + a2, bk = beta[static_cast<std::size_t>(k)];
      rho += (a2 / d) * (a2 / d) * bk * bk;
      eta += (s * bk / d) * (s * bk / d);
    }
    x[static_cast<std::size_t>(q)] = 0.5 * std::log(rho);
    y[static_cast<std::size_t>(q)] = 0.5 * std::log(eta);
  }
  double best = -HUGE_VAL, t = lo;
  for (int q = 2; q < n - 2; ++q) {
    const auto u = static_cast<std::size_t>(q);
    const double x1 = (x[u + 1] - x[u - 1]) / (2 * h), y1 = (y[u + 1] - y[u - 1]) / (2 * h);
    const double x2 = (x[u + 1] - 2 * x[u] + x[u - 1]) / (h * h),
                 y2 = (y[u + 1] - 2 * y[u] + y[u - 1]) / (h * h);
    const double kappa = (x1 * y2 - x2 * y1) / std::pow(x1 * x1 + y1 * y1, 1.5);
    if (kappa > best) best = kappa, t = lo + q * h;
  }
  return std::exp(t);
}

TEST(ChooseTikhonov, TheLCurveCornerOfThePlaneIsFixedAsItsRelativeStrength) {
  Correction c;
  ASSERT_TRUE(c.set_matrix(ill_posed_ring()).ok);
  ASSERT_TRUE(c.set_plane(Plane::x, {Filter::by_count(12), 0.6}).ok);
  const std::vector<double> orbit = noisy_orbit(c.matrix());
  const TikhonovChoice t = c.choose_tikhonov(Plane::x, Filter::tikhonov_auto(AlphaRule::lcurve), orbit);
  ASSERT_TRUE(t.ok) << t.error;
  const double corner = reference_corner(orbit);
  EXPECT_NEAR(t.alpha, corner, 0.1 * corner);
  EXPECT_GT(corner, 10.0 * singular_value(kNx - 1));  // a corner inside the range, not at its end
  EXPECT_NEAR(t.relative, t.alpha / singular_value(0), 1e-12 * t.relative);
  EXPECT_EQ(t.rule, AlphaRule::lcurve);
  EXPECT_EQ(t.filter, Filter::tikhonov(t.relative));
  // The fixed filter, the gain and the other plane as they were.
  EXPECT_EQ(c.plane(Plane::x).cut.filter, t.filter);
  EXPECT_EQ(c.plane(Plane::x).gain, 0.6);
  EXPECT_EQ(c.plane(Plane::y).cut.filter, Filter());
  const Step st = c.compute(orbit, std::vector<double>(kNx + kNy, 0.0));
  ASSERT_TRUE(st.ok) << st.error;
  EXPECT_EQ(st.settings[0].cut.filter, t.filter);
}

// The same inversion as the tool's automatic filter, on the sub-matrix the
// step inverts: masked monitor and corrector out, rows weighted, the orbit
// less the reference and weighted.
TEST(ChooseTikhonov, EachRuleIsTheInversionOfTheWeightedSubMatrixInUse) {
  Correction c;
  const LabelledMatrix m = ill_posed_ring();
  ASSERT_TRUE(c.set_matrix(m).ok);
  ASSERT_TRUE(c.set_monitor_enabled("BX03", false).ok);
  ASSERT_TRUE(c.set_corrector_enabled("CX05", false).ok);
  std::vector<double> weights, reference;
  for (int i = 0; i < m.rows; ++i) {
    weights.push_back(0.5 + 0.05 * (i % 7));
    reference.push_back(1e-4 * std::cos(0.3 * i));
  }
  ASSERT_TRUE(c.set_weights(weights).ok);
  ASSERT_TRUE(c.set_reference(reference).ok);
  std::vector<double> orbit = noisy_orbit(m);
  orbit[3] = NAN;  // masked: never read
  std::vector<double> a, b;
  for (int i = 0; i < kMx; ++i) {
    if (i == 3) continue;
    const auto u = static_cast<std::size_t>(i);
    for (int j = 0; j < kNx; ++j)
      if (j != 5) a.push_back(weights[u] * m.values[static_cast<std::size_t>(i * m.cols + j)]);
    b.push_back(weights[u] * (orbit[u] - reference[u]));
  }
  for (const Filter rule : {Filter::tikhonov_auto(AlphaRule::lcurve), Filter::tikhonov_auto(AlphaRule::gcv),
                            Filter::tikhonov_discrepancy(1e-4)}) {
    StandardOptions o(rule);
    o.orbit = b;
    std::vector<double> inverse;
    const SvdReport r = pseudo_inverse(a.data(), kMx - 1, kNx - 1, o, &inverse);
    ASSERT_TRUE(r.ok) << r.error;
    const TikhonovChoice t = c.choose_tikhonov(Plane::x, rule, orbit);
    ASSERT_TRUE(t.ok) << to_string(rule) << ": " << t.error;
    EXPECT_EQ(t.alpha, r.alpha) << to_string(rule);
    EXPECT_EQ(t.relative, r.alpha / r.singular_values.front()) << to_string(rule);
    EXPECT_EQ(t.rule, rule.rule());
    EXPECT_EQ(std::make_pair(t.monitors, t.correctors), std::make_pair(kMx - 1, kNx - 1));
    EXPECT_EQ(c.plane(Plane::x).cut.filter, Filter::tikhonov(t.relative));
  }
}

TEST(ChooseTikhonov, RefusalsSayWhyAndChangeNothing) {
  Correction c;
  const LabelledMatrix m = ill_posed_ring();
  ASSERT_TRUE(c.set_matrix(m).ok);
  ASSERT_TRUE(c.set_plane(Plane::x, {Filter::tikhonov(0.01), 0.5}).ok);
  const std::vector<double> orbit = noisy_orbit(m), kicks(kNx + kNy, 0.0);
  // A step computed before every refusal is still the one to apply after
  // them: nothing it depends on moved.
  const Step before = c.compute(orbit, kicks);
  ASSERT_TRUE(before.ok) << before.error;
  const auto refused = [&c](Plane p, const Filter& f, const std::vector<double>& o, const std::string& why) {
    const TikhonovChoice t = c.choose_tikhonov(p, f, o);
    EXPECT_FALSE(t.ok) << why;
    EXPECT_NE(t.error.find(why), std::string::npos) << t.error;
    EXPECT_EQ(c.plane(Plane::x).cut.filter, Filter::tikhonov(0.01)) << why;
    EXPECT_EQ(c.plane(Plane::y).cut.filter, Filter()) << why;
  };
  const Filter lcurve = Filter::tikhonov_auto(AlphaRule::lcurve);
  refused(Plane::x, Filter::tikhonov(0.2), orbit, "tikhonov 0.2 is no rule that chooses a strength");
  refused(Plane::x, Filter::tikhonov_discrepancy(-1.0), orbit, "plane x: ");
  refused(Plane::x, lcurve, std::vector<double>(orbit.begin(), orbit.end() - 1), "the orbit holds 49 values");
  std::vector<double> unread = orbit;
  unread[7] = INFINITY;
  refused(Plane::x, lcurve, unread, "plane x: monitor 'BX07' reads no number");
  std::vector<double> flat(orbit.size(), 0.0);
  refused(Plane::x, lcurve, flat, "plane x: the L-curve of this orbit has no corner");
  refused(Plane::x, Filter::tikhonov_discrepancy(100.0), orbit, "nothing to correct");
  refused(Plane::x, Filter::tikhonov_discrepancy(1e-12), orbit, "exceeds sqrt(m) * noise");
  const KickWrite w = c.apply(before);
  EXPECT_TRUE(w.ok) << w.error;

  for (int j = 0; j < kNy; ++j) ASSERT_TRUE(c.set_corrector_enabled("CY0" + std::to_string(j), false).ok);
  refused(Plane::y, lcurve, orbit, "plane y: no corrector in use");
  for (int j = 0; j < kNy; ++j) ASSERT_TRUE(c.set_corrector_enabled("CY0" + std::to_string(j), true).ok);
  for (int i = 0; i < kMy; ++i) ASSERT_TRUE(c.set_monitor_enabled("BY0" + std::to_string(i), false).ok);
  refused(Plane::y, lcurve, orbit, "plane y: no monitor in use");
  // An unread monitor that is masked does not matter.
  unread[7] = orbit[7];
  unread[kMx + 1] = NAN;
  EXPECT_TRUE(c.choose_tikhonov(Plane::x, lcurve, unread).ok);
}

}  // namespace
}  // namespace zor_feedback
