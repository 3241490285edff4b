// The correction step on the fused float kernel against the double one.
//
// The bound: a delta is x_j = sum_k A_jk b_k (A the plane's inverse, b the
// weighted right-hand side over m monitors). The kernel reads A and b rounded
// to float (a relative error of u_f = 2^-24 each), forms each product exactly
// in double and sums in double, so
//   |x_fused - x_exact| <= (2 u_f + u_f^2 + 2 m u_d) sum_k |A_jk b_k|
// (u_d = 2^-53; both paths' sums are counted). The prediction R delta adds,
// for each monitor, sum_j |R_ij| times that bound on delta_j and another
// 2 u_f sum_j |R_ij delta_j| for R and delta rounded to float. The rms after
// the step differs by at most the norm of the prediction's bound over sqrt(n).
#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "ring_model.h"
#include "testing.h"
#include "zor_feedback/correction.h"

namespace zor_feedback {
namespace {

constexpr int kMon = 40, kCor = 36;  // per plane
constexpr double kUf = 0x1p-24, kUd = 0x1p-53;

double tolerance(double sum_abs, std::size_t terms) {
  return (2 * kUf + kUf * kUf + 2.0 * static_cast<double>(terms) * kUd) * sum_abs;
}

// What the test knows of one plane's solve: the monitors it reads, the
// correctors it moves, the weighted right-hand side (held correctors'
// response taken out).
struct PlaneSolve {
  std::vector<int> monitors, free;
  std::vector<double> b;
};

// The bound on each free corrector's delta (indexed by corrector, 0 for the
// others): |A| |b| with A the inverse the library makes of the same rows.
void delta_bounds(const LabelledMatrix& m, const std::vector<double>& w, const PlaneSolve& s,
                  const StandardOptions& cut, std::vector<double>* bound) {
  std::vector<double> a, inv;
  for (const int i : s.monitors)
    for (const int j : s.free)
      a.push_back(w[static_cast<std::size_t>(i)] * m.values[static_cast<std::size_t>(i * m.cols + j)]);
  const SvdReport r = pseudo_inverse(a.data(), static_cast<int>(s.monitors.size()),
                                     static_cast<int>(s.free.size()), cut, &inv);
  ASSERT_TRUE(r.ok) << r.error;
  for (std::size_t c = 0; c < s.free.size(); ++c) {
    double sum = 0.0;
    for (std::size_t k = 0; k < s.b.size(); ++k) sum += std::fabs(inv[c * s.b.size() + k] * s.b[k]);
    (*bound)[static_cast<std::size_t>(s.free[c])] = tolerance(sum, s.b.size());
  }
}

// The plane's solve as `exact` made it: the monitors it used, the
// correctors not held at a limit, the right-hand side less the held ones.
PlaneSolve plane_solve(const LabelledMatrix& m, const std::vector<double>& w,
                       const std::vector<double>& orbit, const Step& exact, Plane plane, double gain,
                       const std::vector<bool>& cor_on) {
  PlaneSolve s;
  std::vector<int> held;
  for (int j = 0; j < m.cols; ++j) {
    if (m.corrector_planes[static_cast<std::size_t>(j)] != plane || !cor_on[static_cast<std::size_t>(j)])
      continue;
    const bool at_limit = std::binary_search(exact.limited.begin(), exact.limited.end(), j);
    (at_limit ? held : s.free).push_back(j);
  }
  for (const int i : exact.monitors_used) {
    if (m.monitor_planes[static_cast<std::size_t>(i)] != plane) continue;
    double r = -gain * orbit[static_cast<std::size_t>(i)];
    for (const int j : held)
      r -= m.values[static_cast<std::size_t>(i * m.cols + j)] * exact.delta[static_cast<std::size_t>(j)];
    s.monitors.push_back(i);
    s.b.push_back(w[static_cast<std::size_t>(i)] * r);
  }
  return s;
}

// The prediction's bound at each monitor from the deltas' bound.
std::vector<double> prediction_bounds(const LabelledMatrix& m, const std::vector<double>& delta,
                                      const std::vector<double>& delta_bound) {
  std::vector<double> out(static_cast<std::size_t>(m.rows), 0.0);
  for (int i = 0; i < m.rows; ++i) {
    double through = 0.0, own = 0.0;
    for (int j = 0; j < m.cols; ++j) {
      const double r = std::fabs(m.values[static_cast<std::size_t>(i * m.cols + j)]);
      through += r * delta_bound[static_cast<std::size_t>(j)];
      own += r * std::fabs(delta[static_cast<std::size_t>(j)]);
    }
    out[static_cast<std::size_t>(i)] = through + tolerance(own, static_cast<std::size_t>(m.cols));
  }
  return out;
}

class FusedStep : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(c.set_matrix(sim::two_plane_ring(kMon, kCor, 0.08)).ok);
    for (int i = 0; i < 2 * kMon; ++i) {
      orbit.push_back(0.1 * std::sin(0.37 * i) + 0.02 * std::cos(1.3 * i));
      w.push_back(1.0 + 0.5 * std::sin(0.9 * i));
    }
    ASSERT_TRUE(c.set_weights(w).ok);
    ASSERT_TRUE(c.set_plane(Plane::x, {StandardOptions{}, 0.3}).ok);
    StandardOptions y;
    y.filter = Filter::by_count(20);
    ASSERT_TRUE(c.set_plane(Plane::y, {y, 1.4}).ok);
    ASSERT_TRUE(c.set_monitor_enabled("BPM7", false).ok);
    ASSERT_TRUE(c.set_corrector_enabled("COR40", false).ok);
    orbit[50] = std::numeric_limits<double>::quiet_NaN();  // a y monitor that read nothing
  }

  // The step on both kernels, the fused one checked against the exact one
  // within the bound above; the exact step returned.
  // `fused_first`: the fused step makes the plane inverses (and their float
  // copies) itself.
  Step both_kernels(bool fused_first = false) {
    Step exact, fused;
    for (const bool fused_now : {fused_first, !fused_first}) {
      c.set_step_kernel(fused_now ? StepKernel::fused_float : StepKernel::exact);
      (fused_now ? fused : exact) = c.compute(orbit, kicks);
    }
    EXPECT_TRUE(exact.ok && fused.ok) << exact.error << fused.error;
    if (!exact.ok || !fused.ok) return exact;
    EXPECT_EQ(fused.kernel, StepKernel::fused_float);
    EXPECT_EQ(fused.limited, exact.limited);
    EXPECT_EQ(fused.monitors_used, exact.monitors_used);
    EXPECT_EQ(fused.correctors_used, exact.correctors_used);
    EXPECT_EQ(fused.warnings, exact.warnings);
    EXPECT_EQ(fused.modes[0], exact.modes[0]);
    EXPECT_EQ(fused.modes[1], exact.modes[1]);
    check(exact, fused);
    return exact;
  }

  std::vector<double> delta_bound(const Step& exact) {
    std::vector<double> bound(static_cast<std::size_t>(2 * kCor), 0.0);
    for (const Plane p : {Plane::x, Plane::y})
      delta_bounds(c.matrix(), w,
                   plane_solve(c.matrix(), w, orbit, exact, p, c.plane(p).gain, c.corrector_enabled()),
                   c.plane(p).cut, &bound);
    for (double& b : bound) b *= exact.scale;
    return bound;
  }

  void check(const Step& exact, const Step& fused) {
    const std::vector<double> bound = delta_bound(exact);
    double largest = 0.0;
    for (std::size_t j = 0; j < bound.size(); ++j) {
      EXPECT_LE(std::fabs(fused.delta[j] - exact.delta[j]), bound[j]) << "corrector " << j;
      largest = std::max(largest, std::fabs(fused.delta[j] - exact.delta[j]));
    }
    EXPECT_GT(largest, 0.0) << "the fused kernel gave double's bits: did it run?";
    const std::vector<double> pb = prediction_bounds(c.matrix(), exact.delta, bound);
    double norm = 0.0;
    for (const int i : exact.monitors_used) {
      const auto u = static_cast<std::size_t>(i);
      EXPECT_LE(std::fabs(fused.predicted[u] - exact.predicted[u]), pb[u]) << "monitor " << i;
      norm += pb[u] * pb[u];
    }
    EXPECT_TRUE(std::isnan(fused.predicted[50]));
    EXPECT_LE(std::fabs(fused.rms_after - exact.rms_after),
              std::sqrt(norm / static_cast<double>(exact.monitors_used.size())));
    EXPECT_EQ(fused.rms_before, exact.rms_before);
  }

  Correction c;
  std::vector<double> orbit, w, kicks = std::vector<double>(2 * kCor, 0.0);
};

TEST_F(FusedStep, BothPlanesWithMasksWeightsAndGainsStayWithinFloatRounding) {
  const Step exact = both_kernels();
  EXPECT_TRUE(exact.limited.empty());
  EXPECT_EQ(exact.scale, 1.0);
  // Another monitor masked after fused steps: the new inverse (a downdate of
  // the held one, or a decomposition) gets float copies of its own.
  ASSERT_TRUE(c.set_monitor_enabled("BPM3", false).ok);
  both_kernels(true);
  ASSERT_TRUE(c.set_corrector_enabled("COR5", false).ok);
  both_kernels(true);
}

// Clip holds the same correctors at the same edges; the re-solve of the
// others runs on the fused kernel too, within the bound of its own inverse.
TEST_F(FusedStep, ClipHoldsTheSameCorrectorsAndReSolvesWithinFloatRounding) {
  c.set_step_kernel(StepKernel::exact);
  const Step plain = c.compute(orbit, kicks);
  ASSERT_TRUE(plain.ok) << plain.error;
  c.set_policy(LimitPolicy::clip);
  for (const int j : {3, 17, 30, kCor + 2, kCor + 21}) {
    const double half = 0.5 * std::fabs(plain.delta[static_cast<std::size_t>(j)]);
    ASSERT_TRUE(c.set_limit("COR" + std::to_string(j), {-half, half}).ok);
  }
  const Step exact = both_kernels();
  EXPECT_GE(exact.limited.size(), 5u);
}

// Scale shrinks both kernels' steps by factors within the same rounding.
TEST_F(FusedStep, ScaleShrinksTheFusedStepWithinFloatRounding) {
  c.set_step_kernel(StepKernel::exact);
  const Step plain = c.compute(orbit, kicks);
  ASSERT_TRUE(plain.ok) << plain.error;
  const double half = 0.5 * std::fabs(plain.delta[11]);
  ASSERT_TRUE(c.set_limit("COR11", {-half, half}).ok);
  c.set_step_kernel(StepKernel::exact);
  const Step exact = c.compute(orbit, kicks);
  c.set_step_kernel(StepKernel::fused_float);
  const Step fused = c.compute(orbit, kicks);
  ASSERT_TRUE(exact.ok && fused.ok);
  ASSERT_NEAR(exact.scale, 0.5, 1e-12);
  EXPECT_NEAR(fused.delta[11], exact.delta[11], 4 * kUd * half) << "both at the limit";
  // delta = s x with s = limit / x_11: the relative error of s is at most x_11's.
  Step unscaled = exact;
  unscaled.limited.clear();
  unscaled.scale = 1.0;
  const std::vector<double> bx = delta_bound(unscaled);
  const double rel_s = bx[11] / std::fabs(plain.delta[11]);
  for (std::size_t j = 0; j < bx.size(); ++j)
    EXPECT_LE(std::fabs(fused.delta[j] - exact.delta[j]),
              exact.scale * (bx[j] + rel_s * std::fabs(plain.delta[j])) * (1 + 1e-6))
        << j;
}

// Values that float cannot hold refuse the fused step with the reason, never
// an infinite kick; the exact step takes them.
TEST_F(FusedStep, ValuesBeyondFloatRangeAreRefusedByTheFusedStepOnly) {
  c.set_step_kernel(StepKernel::fused_float);
  std::vector<double> far = orbit;
  far[0] = 1e40;
  Step s = c.compute(far, kicks);
  EXPECT_FALSE(s.ok);
  EXPECT_NE(s.error.find("beyond the range of float"), std::string::npos) << s.error;
  EXPECT_TRUE(c.compute(orbit, kicks).ok);

  // A matrix so small that its inverse leaves float's range (the matrix
  // itself is held to that range by check_labelled_matrix).
  LabelledMatrix m = c.matrix();
  c.set_step_kernel(StepKernel::exact);
  for (double& v : m.values) v *= 1e-80;
  m.values[0] = 0.0;
  const Outcome set = c.set_matrix(m);
  ASSERT_TRUE(set.ok) << set.error;
  c.set_step_kernel(StepKernel::fused_float);
  s = c.compute(orbit, kicks);
  EXPECT_FALSE(s.ok);
  EXPECT_NE(s.error.find("inverse holds values beyond the range of float"), std::string::npos) << s.error;
  c.set_step_kernel(StepKernel::exact);
  EXPECT_TRUE(c.compute(orbit, kicks).ok);
}

// The kernel is a setting like the policy: it moves the configuration (a
// step of the other kernel is not applied), travels with carry, has names.
TEST_F(FusedStep, TheKernelIsASettingOfTheCorrection) {
  EXPECT_EQ(Correction().step_kernel(), StepKernel::exact);
  const Step before = c.compute(orbit, kicks);
  ASSERT_TRUE(before.ok);
  c.set_step_kernel(StepKernel::fused_float);
  EXPECT_FALSE(c.apply(before).ok);
  EXPECT_TRUE(c.apply(c.compute(orbit, kicks)).ok);
  Correction next;
  ASSERT_TRUE(next.set_matrix(c.matrix()).ok);
  next.carry_settings_from(c);
  EXPECT_EQ(next.step_kernel(), StepKernel::fused_float);
  // A new matrix keeps the kernel and its float copy of the new blocks.
  ASSERT_TRUE(next.set_matrix(sim::two_plane_ring(kMon, kCor, 0.1)).ok);
  EXPECT_TRUE(next.compute(orbit, kicks).ok);
  StepKernel k = StepKernel::exact;
  EXPECT_TRUE(parse_step_kernel(step_kernel_name(StepKernel::fused_float), &k));
  EXPECT_EQ(k, StepKernel::fused_float);
  EXPECT_FALSE(parse_step_kernel("float", &k));
  EXPECT_EQ(k, StepKernel::fused_float);
}

}  // namespace
}  // namespace zor_feedback
