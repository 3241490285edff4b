// A change made in two phases (begin_change, prepare beside the steps,
// adopt): the steps after it are those of the same change made at once, bit
// for bit; a refused adopt changes nothing; prepare runs while another thread
// steps.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "ring_model.h"
#include "zor_feedback/correction.h"

namespace zor_feedback {
namespace {

constexpr int kMon = 96, kCor = 48;  // per plane

using Change = std::function<std::string(Correction&)>;

std::vector<double> orbit(double phase = 0.0) {
  std::vector<double> o;
  for (int i = 0; i < 2 * kMon; ++i) o.push_back(0.1 * std::sin(0.37 * i + phase) + 0.02 * std::cos(1.3 * i));
  return o;
}

const std::vector<double> kKicks(2 * kCor, 0.0);

std::string text(const Outcome& o) { return o.ok ? std::string() : o.error; }

// A Correction of the two-plane ring that has stepped once: the full sets'
// inverses are held, as in a running loop.
void stepped(Correction* c, StepKernel kernel = StepKernel::exact) {
  ASSERT_TRUE(c->set_matrix(sim::two_plane_ring(kMon, kCor, 0.0)).ok);
  c->set_step_kernel(kernel);
  ASSERT_TRUE(c->compute(orbit(), kKicks).ok);
}

void expect_same_steps(Correction& once, Correction& twice) {
  for (const double phase : {0.0, 0.7}) {  // the step after the change, and one more
    const Step a = once.compute(orbit(phase), kKicks), b = twice.compute(orbit(phase), kKicks);
    ASSERT_TRUE(a.ok && b.ok) << a.error << b.error;
    EXPECT_EQ(a.delta, b.delta);  // bit for bit
    EXPECT_EQ(a.predicted, b.predicted);
    EXPECT_EQ(a.monitors_used, b.monitors_used);
    EXPECT_EQ(a.correctors_used, b.correctors_used);
    EXPECT_EQ(a.modes[0], b.modes[0]);
    EXPECT_EQ(a.modes[1], b.modes[1]);
    EXPECT_EQ(a.warnings, b.warnings);
    const ModeResiduals ra = once.mode_residuals(a, orbit(phase)), rb = twice.mode_residuals(b, orbit(phase));
    ASSERT_TRUE(ra.ok && rb.ok) << ra.error << rb.error;
    EXPECT_EQ(ra.plane[0], rb.plane[0]);
    EXPECT_EQ(ra.plane[1], rb.plane[1]);
  }
}

// The same change made at once on one Correction and in two phases on another.
void expect_two_phases_equal_one(const Change& change, StepKernel kernel = StepKernel::exact) {
  Correction once, twice;
  stepped(&once, kernel);
  stepped(&twice, kernel);
  ASSERT_EQ(change(once), "");
  PreparedChange p = twice.begin_change(change);
  ASSERT_TRUE(p.ok()) << p.error();
  ASSERT_TRUE(p.prepare().ok);
  ASSERT_TRUE(twice.adopt(std::move(p)).ok);
  EXPECT_EQ(once.monitor_enabled(), twice.monitor_enabled());
  EXPECT_EQ(once.corrector_enabled(), twice.corrector_enabled());
  EXPECT_EQ(once.weights(), twice.weights());
  EXPECT_EQ(once.plane(Plane::x).cut.filter, twice.plane(Plane::x).cut.filter);
  expect_same_steps(once, twice);
}

TEST(CorrectionPrepare, EachChangeStepsAsTheSameChangeMadeAtOnce) {
  // A downdate (every mode kept), a corrector's downdate, two at once (a decomposition).
  expect_two_phases_equal_one([](Correction& c) { return text(c.set_monitor_enabled("BPM17", false)); });
  expect_two_phases_equal_one([](Correction& c) { return text(c.set_corrector_enabled("COR60", false)); });
  expect_two_phases_equal_one([](Correction& c) {
    return text(c.set_monitor_enabled("BPM3", false)) + text(c.set_monitor_enabled("BPM100", false));
  });
  // Weights: every inverse and mode made afresh.
  expect_two_phases_equal_one([](Correction& c) {
    std::vector<double> w(2 * kMon, 1.0);
    w[5] = 2.5;
    w[150] = 0.5;
    return text(c.set_weights(w));
  });
  // A plane's cut: that plane's inverse afresh, the other's kept.
  expect_two_phases_equal_one([](Correction& c) {
    PlaneSettings p = c.plane(Plane::y);
    p.cut.filter = Filter::by_count(30);
    p.gain = 0.5;
    return text(c.set_plane(Plane::y, p));
  });
  // A monitor masked and back on: the held inverse again.
  expect_two_phases_equal_one([](Correction& c) {
    return text(c.set_monitor_enabled("BPM17", false)) + text(c.set_monitor_enabled("BPM17", true));
  });
  expect_two_phases_equal_one([](Correction& c) { return text(c.set_monitor_enabled("BPM17", false)); },
                              StepKernel::fused_float);
}

// What a refused adopt leaves: the settings, and the step computed before it
// still applies (no change of configuration was made).
void expect_unchanged(Correction& c, const Step& before) {
  EXPECT_TRUE(c.monitor_enabled()[17]);
  EXPECT_TRUE(c.weights().empty());
  const Step again = c.compute(orbit(), kKicks);
  ASSERT_TRUE(again.ok);
  EXPECT_EQ(again.delta, before.delta);
  EXPECT_TRUE(c.apply(before).ok);
}

TEST(CorrectionPrepare, AnAdoptAfterAnotherChangeIsRefusedAndChangesNothing) {
  Correction c;
  stepped(&c);
  PreparedChange p =
      c.begin_change([](Correction& d) { return text(d.set_monitor_enabled("BPM17", false)); });
  ASSERT_TRUE(p.prepare().ok);
  ASSERT_TRUE(c.set_limit("COR3", KickLimit{-1.0, 1.0, 0.5}).ok);  // a change between
  const Step before = c.compute(orbit(), kKicks);
  ASSERT_TRUE(before.ok);
  const Outcome o = c.adopt(std::move(p));
  EXPECT_FALSE(o.ok);
  EXPECT_NE(o.error.find("changed since"), std::string::npos) << o.error;
  expect_unchanged(c, before);
}

TEST(CorrectionPrepare, StepsAppliedMeanwhileDoNotStopTheAdopt) {
  Correction c;
  stepped(&c);
  PreparedChange p =
      c.begin_change([](Correction& d) { return text(d.set_monitor_enabled("BPM17", false)); });
  const Step s = c.compute(orbit(), kKicks);
  ASSERT_TRUE(c.apply(s).ok);
  ASSERT_TRUE(p.prepare().ok);
  ASSERT_TRUE(c.undo().ok);
  const Step stale = c.compute(orbit(), kKicks);
  ASSERT_TRUE(c.adopt(std::move(p)).ok);
  EXPECT_FALSE(c.monitor_enabled()[17]);
  EXPECT_FALSE(c.apply(stale).ok);  // computed with the masks before
}

TEST(CorrectionPrepare, RefusedChangesAndMisusesChangeNothing) {
  Correction c, other;
  stepped(&c);
  stepped(&other);
  const Step before = c.compute(orbit(), kKicks);
  ASSERT_TRUE(before.ok);
  const Change mask = [](Correction& d) { return text(d.set_monitor_enabled("BPM17", false)); };
  // The setter's own refusal, word for word.
  PreparedChange bad =
      c.begin_change([](Correction& d) { return text(d.set_monitor_enabled("NOPE", false)); });
  EXPECT_FALSE(bad.ok());
  EXPECT_EQ(bad.error(), "no monitor named 'NOPE'");
  EXPECT_FALSE(bad.prepare().ok);
  EXPECT_EQ(c.adopt(std::move(bad)).error, "no monitor named 'NOPE'");
  // Not prepared; begun on another Correction; adopted twice.
  PreparedChange unprepared = c.begin_change(mask);
  EXPECT_NE(c.adopt(std::move(unprepared)).error.find("not prepared"), std::string::npos);
  PreparedChange foreign = other.begin_change(mask);
  ASSERT_TRUE(foreign.prepare().ok);
  EXPECT_NE(c.adopt(std::move(foreign)).error.find("another correction"), std::string::npos);
  EXPECT_TRUE(other.monitor_enabled()[17]);
  PreparedChange twice = c.begin_change(mask);
  ASSERT_TRUE(twice.prepare().ok);
  EXPECT_FALSE(twice.prepare().ok);  // once only
  expect_unchanged(c, before);
  ASSERT_TRUE(c.undo().ok);
  ASSERT_TRUE(c.adopt(std::move(twice)).ok);
  EXPECT_FALSE(c.adopt(std::move(twice)).ok);
  EXPECT_FALSE(c.monitor_enabled()[17]);
}

TEST(CorrectionPrepare, TheDraftNeitherStepsNorTakesAMatrix) {
  Correction c;
  stepped(&c);
  PreparedChange p = c.begin_change([](Correction& d) {
    const Step st = d.compute(orbit(), kKicks);
    return st.ok ? std::string("the draft stepped") : std::string();
  });
  ASSERT_TRUE(p.ok()) << p.error();
  EXPECT_FALSE(p.settings().matrix().monitors.empty());  // its labels
  PreparedChange rf = c.begin_change(
      [](Correction& d) { return text(d.add_rf_column("RF", std::vector<double>(2 * kMon, 1.0))); });
  EXPECT_FALSE(rf.ok());
  PreparedChange own =
      c.begin_change([](Correction& d) { return text(d.set_matrix(sim::two_plane_ring(8, 4, 0.0))); });
  ASSERT_TRUE(own.ok());
  EXPECT_FALSE(own.prepare().ok);
  EXPECT_FALSE(c.adopt(std::move(own)).ok);
  EXPECT_EQ(c.matrix().rows, 2 * kMon);
}

// The loop's use: steps computed and applied on one thread while another
// prepares, the adopt between two steps. Under ThreadSanitizer: no race
// between prepare and compute, apply, undo, mode_residuals.
TEST(CorrectionPrepareThreads, PrepareRunsBesideTheStepsAndTheAdoptComesBetweenTwo) {
  for (const Change& change :
       {Change([](Correction& d) { return text(d.set_monitor_enabled("BPM17", false)); }),
        Change([](Correction& d) {
          return text(d.set_monitor_enabled("BPM5", false)) + text(d.set_monitor_enabled("BPM9", false));
        }),
        Change([](Correction& d) { return text(d.set_weights(std::vector<double>(2 * kMon, 2.0))); })}) {
    Correction loop, once;
    stepped(&loop);
    stepped(&once);
    PreparedChange p = loop.begin_change(change);
    ASSERT_TRUE(p.ok()) << p.error();
    std::atomic<bool> ready{false};
    Outcome prepared;
    std::thread beside([&] {
      prepared = p.prepare();
      ready = true;
    });
    int steps = 0;
    for (; !ready || steps < 3; ++steps) {
      // A NaN reading now and then: the loop's cache makes a new set meanwhile.
      std::vector<double> o = orbit(0.01 * steps);
      if (steps % 4 == 1) o[30] = NAN;
      const Step st = loop.compute(o, kKicks);
      ASSERT_TRUE(st.ok) << st.error;
      ASSERT_TRUE(loop.mode_residuals(st, o).ok);
      ASSERT_TRUE(loop.apply(st).ok);
      ASSERT_TRUE(loop.undo().ok);
    }
    beside.join();
    ASSERT_TRUE(prepared.ok) << prepared.error;
    ASSERT_TRUE(loop.adopt(std::move(p)).ok);
    ASSERT_EQ(change(once), "");
    expect_same_steps(once, loop);
  }
}

}  // namespace
}  // namespace zor_feedback
