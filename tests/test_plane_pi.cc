// The PI per plane given to the correction's step as an orbit error: the
// same kicks as the PI after the solve at gain 1, cycle after cycle.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "rings.h"
#include "zor_feedback/correction.h"
#include "zor_feedback/loop/correction_pi.h"
#include "zor_feedback/loop/plane_pi.h"

namespace zor_feedback {
namespace test {
namespace {

using loop::ControllerConfig;

TEST(PlanePi, StepsAsThePiAfterTheSolveAndTheIntegratorPassesTheOrbitThrough) {
  const sim::ExampleRing ring = sim::ring96();
  const ControllerConfig planes[2] = {{ControllerConfig::Kind::pi, 0.2, 0.5},
                                      {ControllerConfig::Kind::integrator, 0.0, 0.3}};
  Correction at_one, by_gain;  // the PI after a gain-1 solve; the gains are ki
  ASSERT_TRUE(at_one.set_matrix(ring.matrix).ok && by_gain.set_matrix(ring.matrix).ok);
  std::vector<double> reference(static_cast<std::size_t>(ring.matrix.rows), 0.01);
  ASSERT_TRUE(at_one.set_reference(reference).ok && by_gain.set_reference(reference).ok);
  ASSERT_TRUE(by_gain.set_gain(Plane::x, 0.5).ok && by_gain.set_gain(Plane::y, 0.3).ok);
  const auto pi = loop::make_correction_pi(at_one, planes, nullptr);
  ASSERT_TRUE(pi);
  loop::PlanePi plane_pi;
  std::mt19937 rng(7);
  std::normal_distribution<double> noise(0.0, 0.1);
  std::vector<double> kicks_a(static_cast<std::size_t>(ring.matrix.cols), 0.0), kicks_b = kicks_a;
  for (int cycle = 0; cycle < 6; ++cycle) {
    std::vector<double> orbit(reference.size());
    for (double& v : orbit) v = noise(rng);
    const loop::ControllerStep a = pi->step(orbit, kicks_a);
    const std::vector<double> given =
        plane_pi.orbit_for(planes, ring.matrix.monitor_planes, reference, orbit);
    for (std::size_t i = 0; i < orbit.size(); ++i) {
      if (ring.matrix.monitor_planes[i] == Plane::y) {  // the integrator's
        EXPECT_EQ(given[i], orbit[i]);
      }
    }
    const Step b = by_gain.compute(given, kicks_b);
    ASSERT_TRUE(a.ok && b.ok) << a.error << b.error;
    for (std::size_t j = 0; j < kicks_a.size(); ++j)
      EXPECT_NEAR(b.kicks[j], a.kicks[j], 1e-12 * (1.0 + std::fabs(a.kicks[j]))) << "cycle " << cycle;
    if (cycle != 2) {  // a step not written leaves the remembered error as it was, in both
      EXPECT_EQ(pi->written(), "");
      ASSERT_TRUE(by_gain.apply(b, ApplyWrites::first).ok);
      plane_pi.written(orbit, reference);
      kicks_a = a.kicks;
      kicks_b = b.kicks;
    }
  }
  // A monitor that reads nothing stays out of the step.
  std::vector<double> orbit(reference.size(), 0.05);
  orbit[3] = NAN;
  EXPECT_TRUE(std::isnan(plane_pi.orbit_for(planes, ring.matrix.monitor_planes, reference, orbit)[3]));
}

}  // namespace
}  // namespace test
}  // namespace zor_feedback
