// The PI after the solve: its recurrence against a hand-computed one, the
// plain integrator's numbers, the config's text form, and anti-windup under
// an injected saturation against a position-form PI that winds up.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "zor_feedback/loop/pi_controller.h"

namespace zor_feedback {
namespace test {
namespace {

using loop::ControllerConfig;

// The solve of a plant whose orbit is kicks + disturbance, one monitor per
// corrector: at gain 1 it cancels the orbit.
struct IdentitySolve final : loop::Controller {
  loop::ControllerStep step(const std::vector<double>& orbit, const std::vector<double>& kicks) override {
    loop::ControllerStep s;
    s.ok = true;
    s.kicks = kicks;
    for (std::size_t i = 0; i < kicks.size(); ++i) s.kicks[i] -= orbit[i];
    return s;
  }
};

ControllerConfig pi(double kp, double ki) { return {ControllerConfig::Kind::pi, kp, ki}; }

TEST(PiController, VelocityFormMatchesTheRecurrenceAndTheIntegratorIsPlain) {
  IdentitySolve solve;
  std::string err;
  auto c = loop::make_pi_controller(solve, pi(0.3, 0.5), {}, &err);
  ASSERT_TRUE(c) << err;
  const std::vector<double> orbits = {1.0, -0.5, 0.25, 2.0};
  double u = 0.1, e_prev = 0.0;
  for (double y : orbits) {
    auto s = c->step({y}, {u});
    ASSERT_TRUE(s.ok);
    const double e = -y, want = u + 0.3 * (e - e_prev) + 0.5 * e;
    EXPECT_DOUBLE_EQ(s.kicks[0], want);
    EXPECT_EQ(c->written(), "");
    u = s.kicks[0];
    e_prev = e;
  }
  // A step not written leaves the memory: the next equals a fresh one.
  auto integ = loop::make_pi_controller(solve, {ControllerConfig::Kind::integrator, 0.0, 0.7}, {}, &err);
  ASSERT_TRUE(integ);
  integ->step({5.0}, {0.0});
  EXPECT_EQ(integ->step({2.0}, {1.0}).kicks[0], 1.0 - 0.7 * 2.0);
}

TEST(PiController, AKickOutsideItsRangeComesBackAtMostMaxStepPerWrite) {
  IdentitySolve solve;
  std::string err;
  auto c = loop::make_pi_controller(solve, pi(0.3, 0.5), {{-1.0, 1.0, 0.1}}, &err);
  ASSERT_TRUE(c) << err;
  // Found at 1.5 with an orbit asking for more: toward the range by 0.1, never further.
  EXPECT_DOUBLE_EQ(c->step({-2.0}, {1.5}).kicks[0], 1.4);
  // Asked back hard: 0.1 per write, not a jump to the range.
  EXPECT_DOUBLE_EQ(c->step({5.0}, {1.5}).kicks[0], 1.4);
  EXPECT_DOUBLE_EQ(c->step({5.0}, {1.05}).kicks[0], 0.95);
}

TEST(PiController, ConfigTextRoundTripsAndBadConfigsAreRefused) {
  for (const ControllerConfig& c : {pi(0.3, 0.5), pi(0.1 + 0.2, 1.0 / 3.0), ControllerConfig{}}) {
    ControllerConfig back = pi(1, 0.1);
    ASSERT_TRUE(loop::parse_controller(loop::controller_text(c), &back)) << loop::controller_text(c);
    EXPECT_EQ(back, c);
  }
  ControllerConfig out = pi(0.2, 0.2), before = out;
  std::string err;
  for (const char* bad : {"", "pid kp=1", "pi kp=1.5 ki=0.6", "pi ki=0", "pi ki=nan", "pi kp=-0.1",
                          "integrator kp=0.1", "pi kx=1", "pi ki=0.5x", "pi ki="}) {
    EXPECT_FALSE(loop::parse_controller(bad, &out, &err)) << bad;
    EXPECT_EQ(out, before) << bad;
    EXPECT_FALSE(err.empty());
  }
  IdentitySolve solve;
  EXPECT_FALSE(loop::make_pi_controller(solve, pi(0.0, 2.0), {}, &err));
  loop::CorrectorLimit empty;
  empty.min = 1.0;
  empty.max = 0.0;
  EXPECT_FALSE(loop::make_pi_controller(solve, pi(0.3, 0.5), {empty}, &err));
}

// Ten correctors under monitor noise (sigma 0.05, the same draws every
// run); corrector 0's disturbance asks for 3 while its limit is 1 during
// `hold` cycles (the saturation), then falls back to 0.5 like the others.
// Returns the orbit rms per cycle, smoothed over 5 cycles.
std::vector<double> run_saturated(loop::Controller& c, std::size_t hold, bool saturate = true) {
  std::mt19937 gen(7);
  std::normal_distribution<double> noise(0.0, 0.05);
  std::vector<double> u(10, 0.0), rms;
  for (std::size_t k = 0; k < hold + 60; ++k) {
    std::vector<double> y(10);
    double ss = 0;
    for (std::size_t i = 0; i < 10; ++i) {
      y[i] = u[i] + (saturate && i == 0 && k < hold ? -3.0 : -0.5) + noise(gen);
      ss += y[i] * y[i];
    }
    rms.push_back(std::sqrt(ss / 10));
    auto s = c.step(y, u);
    EXPECT_TRUE(s.ok);
    c.written();
    u = s.kicks;
  }
  std::vector<double> smooth(rms.size());
  for (std::size_t k = 0; k < rms.size(); ++k) {
    const std::size_t a = k < 4 ? 0 : k - 4;
    double sum = 0.0;
    for (std::size_t j = a; j <= k; ++j) sum += rms[j];
    smooth[k] = sum / static_cast<double>(k + 1 - a);
  }
  return smooth;
}

TEST(PiController, LeavingSaturationNeitherLagsNorOvershoots) {
  IdentitySolve solve;
  std::vector<loop::CorrectorLimit> limits(10);
  limits[0].max = 1.0;
  std::string err;
  auto c = loop::make_pi_controller(solve, pi(0.3, 0.5), limits, &err);
  ASSERT_TRUE(c) << err;
  const std::size_t hold = 50;  // 1 s at 50 Hz
  const std::vector<double> rms = run_saturated(*c, hold);
  // The unsaturated level: the same run (the same noise, cycle by cycle)
  // without the saturation.
  auto fresh = loop::make_pi_controller(solve, pi(0.3, 0.5), limits, &err);
  const std::vector<double> calm = run_saturated(*fresh, hold, false);
  int back = -1;
  for (std::size_t k = hold; k < rms.size(); ++k) {
    if (back < 0 && rms[k] <= 1.1 * calm[k]) back = static_cast<int>(k - hold);
    if (back >= 0) {
      EXPECT_LE(rms[k], 1.2 * calm[k]) << "overshoot " << k - hold << " cycles after";
    }
  }
  std::printf("leaves saturation: back within 1.1x in %d cycles\n", back);
  EXPECT_GE(back, 0);
  EXPECT_LE(back, 20);

  // A position-form PI whose integral sums every request winds up: it is
  // still off after the same 20 cycles, which is what the above must avoid.
  double integral = 0.0, u = 0.0, worst = 0.0;
  for (std::size_t k = 0; k < hold + 20; ++k) {
    const double e = -(u + (k < hold ? -3.0 : -0.5));
    integral += 0.5 * e;
    u = std::min(1.0, 0.3 * e + integral);
    if (k >= hold) worst = std::max(worst, std::fabs(u - 0.5));
  }
  EXPECT_GT(worst, 0.4);
}

// The amplitude of the orbit over that of a line disturbance at `f` (a
// 50 Hz loop, one corrector, the orbit answering a write one cycle later),
// by a least-squares fit of sine and cosine after the transient.
double measured_sensitivity(const ControllerConfig& config, double f) {
  IdentitySolve solve;
  std::string err;
  auto c = loop::make_pi_controller(solve, config, {}, &err);
  const double w = 2.0 * std::acos(-1.0) * f / 50.0;
  double u = 0.0, ss = 0, cc = 0, sc = 0, ys = 0, yc = 0;
  for (int k = 0; k < 3000; ++k) {
    const double y = u + std::sin(w * k);
    if (k >= 1000) {
      const double a = std::sin(w * k), b = std::cos(w * k);
      ss += a * a, cc += b * b, sc += a * b, ys += y * a, yc += y * b;
    }
    u = c->step({y}, {u}).kicks[0];
    c->written();
  }
  const double det = ss * cc - sc * sc;
  return std::hypot((ys * cc - yc * sc) / det, (yc * ss - ys * sc) / det);
}

// |1 / (1 + z^-1 C)|, C = (kp (1 - z^-1) + ki) / (1 - z^-1): the figure's model.
double model_sensitivity(const ControllerConfig& config, double f) {
  const std::complex<double> zi = std::polar(1.0, -2.0 * std::acos(-1.0) * f / 50.0);
  const std::complex<double> c = (config.kp * (1.0 - zi) + config.ki) / (1.0 - zi);
  return std::abs(1.0 / (1.0 + zi * c));
}

TEST(PiController, InjectedLinesGiveTheSensitivityOfTheModel) {
  for (const ControllerConfig& c :
       {ControllerConfig{ControllerConfig::Kind::integrator, 0.0, 0.5}, pi(0.2, 0.5), pi(0.3, 0.5)})
    for (double f : {0.5, 3.0, 5.75, 9.32, 17.0, 24.0})
      EXPECT_NEAR(measured_sensitivity(c, f), model_sensitivity(c, f), 1e-6)
          << loop::controller_text(c) << " at " << f << " Hz";
}

}  // namespace
}  // namespace test
}  // namespace zor_feedback
