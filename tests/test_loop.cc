// The loop's cycle: each trip after exactly its count of cycles and nothing
// written after it, the checks of the orbit and of the step, the write's
// read-back and the way back, reset, and the Correction behind the seam.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "loop_fakes.h"
#include "zor_feedback/correction.h"
#include "zor_feedback/loop/correction_controller.h"
#include "zor_feedback/loop/correction_pi.h"
#include "zor_feedback/loop/cycle_stats.h"
#include "zor_feedback/loop/loop.h"

namespace zor_feedback {
namespace test {
namespace {

using loop::CycleResult;
using loop::TripReason;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Rig {
  loop::ManualClock clock;
  FakeSource source{clock, {0.1, -0.2, 0.3, 0.0}};
  FakeSink sink{4};
  FakeController controller;
  loop::Loop loop{source, sink, controller, clock};
};

// A rule, its count, and what makes its condition hold on a rig.
struct TripCase {
  const char* name;
  TripReason reason;
  bool writes_before;  // the cycles before the trip still write
  std::function<void(loop::TripRules&)> rule;
  std::function<void(Rig&)> provoke;
};

void PrintTo(const TripCase& c, std::ostream* os) { *os << c.name; }

class EveryTrip : public ::testing::TestWithParam<TripCase> {};

TEST_P(EveryTrip, TripsInItsNthCycleAndWritesNothingAfter) {
  const TripCase& c = GetParam();
  Rig rig;
  loop::LoopConfig cfg;
  cfg.limits.assign(4, loop::CorrectorLimit{-1.0, 1.0, 10.0});
  c.rule(cfg.trips);
  ASSERT_EQ(rig.loop.configure(cfg), "");
  c.provoke(rig);
  constexpr int kN = 3;
  for (int k = 1; k < kN; ++k) {
    const loop::CycleRecord r = rig.loop.cycle();
    EXPECT_EQ(r.result, c.writes_before ? CycleResult::written : CycleResult::skipped) << k << r.detail;
    EXPECT_FALSE(rig.loop.status().tripped);
  }
  const std::size_t writes = rig.sink.write_count();
  const loop::CycleRecord r = rig.loop.cycle();
  EXPECT_EQ(r.result, CycleResult::tripped) << r.detail;
  EXPECT_EQ(r.reason, c.reason);
  EXPECT_EQ(rig.loop.status().reason, c.reason);
  EXPECT_FALSE(rig.loop.status().detail.empty());
  EXPECT_EQ(rig.sink.write_count(), writes) << "the tripping cycle wrote";
  const int reads = rig.source.reads;
  for (int k = 0; k < 3; ++k) EXPECT_EQ(rig.loop.cycle().result, CycleResult::halted);
  EXPECT_EQ(rig.sink.write_count(), writes);
  EXPECT_EQ(rig.source.reads, reads) << "a tripped loop still reads";
}

const TripCase kTrips[] = {
    {"rms_high", TripReason::rms_high, true,
     [](loop::TripRules& r) {
       r.rms_limit = 0.1;
       r.rms_cycles = 3;
     },
     [](Rig&) {}},
    // The first orbit has nothing to grow from: three growths need four orbits.
    {"rms_growing", TripReason::rms_growing, true,
     [](loop::TripRules& r) {
       r.growth_percent = 10;
       r.growth_cycles = 3;
     },
     [](Rig& g) {
       g.source.set({0.01, 0.01, 0.01, 0.01});
       g.source.grow = 1.2;
       ASSERT_EQ(g.loop.cycle().result, CycleResult::written);
     }},
    {"few_monitors", TripReason::few_monitors, false,
     [](loop::TripRules& r) {
       r.min_monitors = 3;
       r.few_monitors_cycles = 3;
     },
     [](Rig& g) {
       g.source.set({kNaN, 0.1, 0.2, 0.3});
       g.source.invalidate(0);
       g.source.invalidate(2);
     }},
    {"stale_orbit", TripReason::stale_orbit, false, [](loop::TripRules& r) { r.stale_cycles = 3; },
     [](Rig& g) { g.source.stamp_offset = -std::chrono::seconds(2); }},
    {"source_failed", TripReason::source_failed, false,
     [](loop::TripRules& r) { r.source_failed_cycles = 3; }, [](Rig& g) { g.source.fail("timeout"); }},
    {"step_refused", TripReason::step_refused, false, [](loop::TripRules& r) { r.step_refused_cycles = 3; },
     [](Rig& g) { g.controller.refuse = "singular"; }},
    {"correctors_saturated", TripReason::correctors_saturated, true,
     [](loop::TripRules& r) {
       r.saturated_cycles = 3;
       r.saturated_correctors = 1;
     },
     [](Rig& g) {
       g.source.set({-4.0, 0.0, 0.0, 0.0});
       g.controller.clamp = 1.0;  // as a controller that saturates inside
     }},
};

INSTANTIATE_TEST_SUITE_P(Loop, EveryTrip, ::testing::ValuesIn(kTrips),
                         [](const ::testing::TestParamInfo<TripCase>& p) {
                           return std::string(p.param.name);
                         });

TEST(Loop, AGoodCycleSetsACountBackAndAStaleOneLeavesTheRmsCount) {
  Rig rig;
  loop::LoopConfig cfg;
  cfg.trips.stale_cycles = 2;
  cfg.trips.rms_limit = 0.1;
  cfg.trips.rms_cycles = 2;
  ASSERT_EQ(rig.loop.configure(cfg), "");
  const auto cycle = [&](bool stale, double value) {
    rig.source.stamp_offset = stale ? -std::chrono::seconds(5) : loop::Duration{0};
    rig.source.set(std::vector<double>(4, value));
    return rig.loop.cycle();
  };
  EXPECT_EQ(cycle(true, 0.0).result, CycleResult::skipped);
  EXPECT_EQ(cycle(false, 0.0).result, CycleResult::written);
  EXPECT_EQ(cycle(true, 0.0).result, CycleResult::skipped);   // 1 of 2 again
  EXPECT_EQ(cycle(false, 1.0).result, CycleResult::written);  // rms high: 1 of 2
  EXPECT_EQ(cycle(true, 1.0).result, CycleResult::skipped);
  const loop::CycleRecord r = cycle(false, 1.0);
  EXPECT_EQ(r.result, CycleResult::tripped);
  EXPECT_EQ(r.reason, TripReason::rms_high);
}

TEST(Loop, InvalidAndNonFiniteMonitorsAreDroppedNotUsed) {
  Rig rig;
  rig.source.set({0.4, std::numeric_limits<double>::infinity(), 0.3, 100.0});
  rig.source.invalidate(3);
  const loop::CycleRecord r = rig.loop.cycle();
  ASSERT_EQ(r.result, CycleResult::written) << r.detail;
  EXPECT_EQ(r.valid_monitors, 2);
  EXPECT_NEAR(r.rms, std::sqrt((0.16 + 0.09) / 2), 1e-12);
  const std::vector<double> seen = rig.controller.orbit();
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[0], 0.4);
  EXPECT_TRUE(std::isnan(seen[1]));
  EXPECT_TRUE(std::isnan(seen[3])) << "an invalid monitor reached the controller";
  EXPECT_EQ(rig.sink.setpoints(), (std::vector<double>{-0.2, 0.0, -0.15, 0.0}));
}

TEST(Loop, TheRmsIsAboutTheReference) {
  Rig rig;
  loop::LoopConfig cfg;
  cfg.reference = {0.1, -0.2, 0.3, 0.0};  // the source's orbit exactly
  ASSERT_EQ(rig.loop.configure(cfg), "");
  EXPECT_EQ(rig.loop.cycle().rms, 0.0);
  rig.source.set({1.0, 2.0});
  const loop::CycleRecord r = rig.loop.cycle();
  EXPECT_EQ(r.reason, TripReason::source_failed) << "an orbit of the wrong size was used";
}

TEST(Loop, StaleFutureAndRepeatedOrbitsAreRefused) {
  for (const loop::Duration offset :
       {loop::Duration{-std::chrono::milliseconds(1001)}, loop::Duration{std::chrono::milliseconds(1)}}) {
    Rig rig;
    loop::LoopConfig cfg;
    cfg.trips.stale_cycles = 5;
    ASSERT_EQ(rig.loop.configure(cfg), "");
    rig.source.stamp_offset = offset;
    const loop::CycleRecord r = rig.loop.cycle();
    EXPECT_EQ(r.result, CycleResult::skipped);
    EXPECT_EQ(r.reason, TripReason::stale_orbit);
    EXPECT_EQ(rig.sink.write_count(), 0u);
  }
  // Exactly at the age limit is still fresh (older than: stale).
  Rig rig;
  rig.source.stamp_offset = -std::chrono::seconds(1);
  EXPECT_EQ(rig.loop.cycle().result, CycleResult::written);
  // The same stamp again (the read advanced the clock by 1 ms): not new.
  loop::LoopConfig cfg;
  cfg.trips.max_age = std::chrono::seconds(10);
  ASSERT_EQ(rig.loop.configure(cfg), "");
  rig.source.stamp_offset = -std::chrono::seconds(1) - std::chrono::milliseconds(1);
  const loop::CycleRecord r = rig.loop.cycle();
  EXPECT_EQ(r.reason, TripReason::stale_orbit);
  EXPECT_NE(r.detail.find("not newer"), std::string::npos) << r.detail;
}

TEST(Loop, ARefusedWriteTripsAtOnceAndLeavesTheSetPoints) {
  Rig rig;
  for (int k = 0; k < 3; ++k) ASSERT_EQ(rig.loop.cycle().result, CycleResult::written);
  const std::vector<double> before = rig.sink.setpoints();
  const int calls = rig.sink.write_calls;
  rig.sink.set_refuse(1);
  const loop::CycleRecord r = rig.loop.cycle();
  EXPECT_EQ(r.result, CycleResult::tripped);
  EXPECT_EQ(r.reason, TripReason::sink_failed);
  EXPECT_EQ(rig.sink.write_calls, calls + 1) << "nothing to restore after a refused write";
  EXPECT_EQ(rig.sink.setpoints(), before);
  EXPECT_EQ(rig.controller.recorded, 3);
  EXPECT_EQ(rig.loop.cycle().result, CycleResult::halted);
  EXPECT_EQ(rig.sink.write_calls, calls + 1);
}

TEST(Loop, AReadBackMismatchTripsAndRestoresTheSetPointsBefore) {
  Rig rig;
  loop::LoopConfig cfg;
  cfg.readback_tolerance = 1e-3;
  cfg.settle = std::chrono::milliseconds(20);
  ASSERT_EQ(rig.loop.configure(cfg), "");
  ASSERT_EQ(rig.loop.cycle().result, CycleResult::written);
  const std::vector<double> before = rig.sink.setpoints();
  rig.sink.set_readback(2e-3, false);
  const loop::CycleRecord r = rig.loop.cycle();
  EXPECT_EQ(r.reason, TripReason::readback_mismatch);
  EXPECT_GE(r.readback, cfg.settle) << "read back before the settle time";
  EXPECT_EQ(rig.sink.setpoints(), before);
  EXPECT_NE(r.restore.find("written back"), std::string::npos);
  EXPECT_TRUE(rig.loop.status().unrestored.empty());
  EXPECT_EQ(rig.controller.recorded, 1) << "a step that did not hold was recorded";
}

// Refuses its `refuse_at`th write.
struct RefuseNth final : loop::CorrectorSink {
  FakeSink inner{4};
  int calls = 0, refuse_at = 0;
  loop::SinkResult write(const std::vector<double>& v) override {
    if (++calls == refuse_at) return {false, "supply off", {}};
    return inner.write(v);
  }
  loop::SinkResult read() override { return inner.read(); }
};

TEST(Loop, ARestoreThatFailsIsReported) {
  loop::ManualClock clock;
  FakeSource source(clock, {0.1, 0.2, 0.3, 0.4});
  FakeController controller;
  RefuseNth sink;
  loop::Loop l(source, sink, controller, clock);
  ASSERT_EQ(l.cycle().result, CycleResult::written);
  sink.inner.set_readback(0.0, true);
  sink.refuse_at = 3;  // the next cycle's write passes, the write back does not
  const loop::CycleRecord r = l.cycle();
  EXPECT_EQ(r.reason, TripReason::sink_failed);
  EXPECT_NE(r.restore.find("could not"), std::string::npos) << r.restore;
  EXPECT_NE(l.status().unrestored.find("supply off"), std::string::npos) << l.status().unrestored;
}

// Break the contract: they throw when told.
struct ThrowingSource final : loop::OrbitSource {
  loop::ManualClock clock;
  bool throws = false;
  loop::Orbit read() override {
    if (throws) throw std::runtime_error("socket closed");
    clock.advance(std::chrono::milliseconds(1));
    return {true, "", {0.1, 0.2}, {true, true}, clock.now()};
  }
};
struct ThrowingSink final : loop::CorrectorSink {
  FakeSink inner{2};
  bool throws = false;
  loop::SinkResult write(const std::vector<double>& v) override {
    if (throws) {
      throws = false;  // the write back works
      throw 42;
    }
    return inner.write(v);
  }
  loop::SinkResult read() override { return inner.read(); }
};
struct ThrowingController final : loop::Controller {
  bool throws = false;
  loop::ControllerStep step(const std::vector<double>&, const std::vector<double>& k) override {
    if (throws) throw std::logic_error("bug");
    return {true, "", {k[0] + 0.01, k[1]}};
  }
};
struct Thrower {
  ThrowingSource source;
  ThrowingSink sink;
  ThrowingController controller;
};

TEST(Loop, AnExceptionTripsTheLoopInsteadOfEndingIt) {
  const auto run = [](const std::function<void(Thrower&)>& arm, TripReason want, const char* text) {
    Thrower t;
    loop::Loop l(t.source, t.sink, t.controller, t.source.clock);
    EXPECT_EQ(l.cycle().result, CycleResult::written);
    arm(t);
    const loop::CycleRecord r = l.cycle();
    EXPECT_EQ(r.reason, want) << r.detail;
    EXPECT_NE(r.detail.find(text), std::string::npos) << r.detail;
    return r;
  };
  run([](Thrower& t) { t.source.throws = true; }, TripReason::source_failed, "socket closed");
  run([](Thrower& t) { t.controller.throws = true; }, TripReason::step_refused, "bug");
  // Whether a write that threw changed anything is unknown: the set-points go back.
  const loop::CycleRecord r =
      run([](Thrower& t) { t.sink.throws = true; }, TripReason::sink_failed, "unknown type");
  EXPECT_NE(r.restore.find("written back"), std::string::npos) << r.restore;
}

TEST(Loop, ResetIsTheOnlyWayBackAndRereadsTheCorrectors) {
  Rig rig;
  rig.controller.refuse = "singular";
  EXPECT_EQ(rig.loop.cycle().result, CycleResult::tripped);
  rig.controller.refuse.clear();
  EXPECT_EQ(rig.loop.cycle().result, CycleResult::halted);
  // Someone moved the correctors meanwhile: the loop steps from where they are.
  ASSERT_TRUE(rig.sink.write({1.0, 1.0, 1.0, 1.0}).ok);
  rig.loop.reset();
  EXPECT_FALSE(rig.loop.status().tripped);
  EXPECT_EQ(rig.loop.status().cycles, 0);
  const loop::CycleRecord r = rig.loop.cycle();
  ASSERT_EQ(r.result, CycleResult::written) << r.detail;
  EXPECT_EQ(r.cycle, 1);
  const std::vector<double> want = {0.95, 1.1, 0.85, 1.0};
  ASSERT_EQ(r.kicks.size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i) EXPECT_NEAR(r.kicks[i], want[i], 1e-15);
}

TEST(Loop, AStepPastALimitIsNeverWritten) {
  Rig rig;
  loop::LoopConfig cfg;
  cfg.limits.assign(4, loop::CorrectorLimit{-1.0, 1.0, 0.1});
  ASSERT_EQ(rig.loop.configure(cfg), "");
  rig.controller.gain = 1.0;
  rig.source.set({0.05, 0.1, -0.1, 0.0});  // exactly max_step: allowed
  EXPECT_EQ(rig.loop.cycle().result, CycleResult::written);
  rig.source.set({0.2, 0.0, 0.0, 0.0});
  const loop::CycleRecord r = rig.loop.cycle();
  EXPECT_EQ(r.reason, TripReason::step_refused);
  EXPECT_NE(r.detail.find("max step"), std::string::npos) << r.detail;
  rig.loop.reset();
  rig.controller.bias = kNaN;
  EXPECT_EQ(rig.loop.cycle().reason, TripReason::step_refused) << "a NaN step passed";
  EXPECT_EQ(rig.sink.write_count(), 1u);
}

// Each bound of the step's check, on each side: a kick at the bound passes,
// one just past it on either side is refused, whatever else is sound.
TEST(Loop, AKickPastMinOrMaxIsNeverWritten) {
  Rig rig;
  loop::LoopConfig cfg;
  cfg.limits.assign(4, loop::CorrectorLimit{-1.0, 1.0, 10.0});
  ASSERT_EQ(rig.loop.configure(cfg), "");
  rig.controller.gain = 1.0;
  const auto cycle = [&](std::vector<double> orbit) {
    rig.loop.reset();
    rig.source.set(std::move(orbit));
    return rig.loop.cycle();
  };
  EXPECT_EQ(cycle({-1.0, 1.0, 0.5, 0.0}).result, CycleResult::written);
  ASSERT_TRUE(rig.sink.write({0.0, 0.0, 0.0, 0.0}).ok);
  for (std::size_t i = 0; i < 4; ++i)
    for (const double past : {1.0 + 1e-6, -1.0 - 1e-6}) {
      std::vector<double> orbit(4, 0.0);
      orbit[i] = -past;  // gain 1: the kick is `past`
      const loop::CycleRecord r = cycle(orbit);
      EXPECT_EQ(r.reason, TripReason::step_refused) << i << " " << past;
      EXPECT_NE(r.detail.find("corrector " + std::to_string(i) + ": kick"), std::string::npos) << r.detail;
    }
  EXPECT_EQ(rig.sink.write_count(), 2u);  // the one step and the reset to zero
}

TEST(Loop, ABadConfigurationIsRefusedAndTheOldOneStays) {
  Rig rig;
  loop::LoopConfig good;
  good.trips.rms_limit = 5.0;
  ASSERT_EQ(rig.loop.configure(good), "");
  const auto refused = [&](const std::function<void(loop::LoopConfig&)>& change) {
    loop::LoopConfig c = good;
    change(c);
    return !rig.loop.configure(c).empty() && rig.loop.config().trips.rms_limit == 5.0;
  };
  EXPECT_TRUE(refused([](loop::LoopConfig& c) { c.trips.rms_cycles = 0; }));
  EXPECT_TRUE(refused([](loop::LoopConfig& c) { c.trips.rms_limit = kNaN; }));
  EXPECT_TRUE(refused([](loop::LoopConfig& c) { c.trips.growth_percent = -1; }));
  EXPECT_TRUE(refused([](loop::LoopConfig& c) { c.trips.min_monitors = 0; }));
  EXPECT_TRUE(refused([](loop::LoopConfig& c) { c.limits = {{1.0, -1.0, 1.0}}; }));
  EXPECT_TRUE(refused([](loop::LoopConfig& c) { c.limits = {{-1.0, 1.0, kNaN}}; }));
  EXPECT_TRUE(refused([](loop::LoopConfig& c) { c.readback_tolerance = kNaN; }));
  EXPECT_TRUE(refused([](loop::LoopConfig& c) { c.reference = {kNaN}; }));
  EXPECT_TRUE(refused([](loop::LoopConfig& c) { c.settle = loop::Duration{-1}; }));
  ASSERT_EQ(rig.loop.cycle().result, CycleResult::written);
  EXPECT_TRUE(refused([](loop::LoopConfig& c) { c.limits.assign(3, {}); })) << "limits for 3 of 4";
}

TEST(Loop, TheSinkOfAnotherSizeTripsBeforeAnyStep) {
  Rig rig;
  loop::LoopConfig cfg;
  cfg.limits.assign(2, {});
  ASSERT_EQ(rig.loop.configure(cfg), "");
  EXPECT_EQ(rig.loop.cycle().reason, TripReason::sink_failed);
  EXPECT_EQ(rig.sink.write_count(), 0u);
}

TEST(CycleStats, NearestRankOverAWindow) {
  loop::CycleStats s(100);
  EXPECT_EQ(s.times().p99.count(), 0);
  for (int k = 100; k >= 1; --k) s.add(loop::Duration{k});
  loop::CycleTimes t = s.times();
  EXPECT_EQ(t.count, 100);
  EXPECT_EQ(t.p50.count(), 50);
  EXPECT_EQ(t.p99.count(), 99);
  EXPECT_EQ(t.max.count(), 100);
  for (int k = 0; k < 100; ++k) s.add(loop::Duration{7});  // the old ones leave the window
  t = s.times();
  EXPECT_EQ(t.count, 200);
  EXPECT_EQ(t.max.count(), 7);
}

TEST(TripReason, OneTextEach) {
  std::vector<std::string> seen;
  for (int k = 0; k < loop::kTripReasons; ++k) {
    const std::string name = loop::trip_reason_name(static_cast<TripReason>(k));
    EXPECT_NE(name, "unknown");
    for (const std::string& s : seen) EXPECT_NE(s, name);
    seen.push_back(name);
  }
}

// Two monitors, two correctors of plane x: orbit = R kicks + offset.
TEST(CorrectionController, DrivesTheOrbitDownOneSubStepPerWrite) {
  LabelledMatrix m;
  m.rows = 2;
  m.cols = 2;
  m.values = {2.0, 0.5, 0.3, 1.0};
  m.monitors = {"B0", "B1"};
  m.correctors = {"C0", "C1"};
  m.monitor_planes = {Plane::x, Plane::x};
  m.corrector_planes = {Plane::x, Plane::x};
  Correction corr;
  ASSERT_TRUE(corr.set_matrix(m).ok);
  corr.set_policy(LimitPolicy::split);
  for (const char* c : {"C0", "C1"}) ASSERT_TRUE(corr.set_limit(c, {-5.0, 5.0, 0.05}).ok);
  const auto controller = loop::make_correction_controller(corr);

  loop::ManualClock clock;
  FakeSource source(clock, {});
  FakeSink sink(2);
  loop::Loop l(source, sink, *controller, clock);
  loop::LoopConfig cfg;
  cfg.limits.assign(2, {-5.0, 5.0, 0.05});
  ASSERT_EQ(l.configure(cfg), "");
  const std::vector<double> offset = {0.4, -0.3};
  std::vector<double> prev = sink.setpoints();
  for (int k = 0; k < 40; ++k) {
    const std::vector<double> kk = sink.setpoints();
    source.set({offset[0] + 2.0 * kk[0] + 0.5 * kk[1], offset[1] + 0.3 * kk[0] + 1.0 * kk[1]});
    const loop::CycleRecord r = l.cycle();
    ASSERT_EQ(r.result, CycleResult::written) << k << ": " << r.detail;
    for (std::size_t j = 0; j < 2; ++j) EXPECT_LE(std::fabs(r.kicks[j] - prev[j]), 0.05 + 1e-12);
    prev = r.kicks;
  }
  const std::vector<double> k = sink.setpoints();
  EXPECT_NEAR(offset[0] + 2.0 * k[0] + 0.5 * k[1], 0.0, 1e-9);
  EXPECT_NEAR(offset[1] + 0.3 * k[0] + 1.0 * k[1], 0.0, 1e-9);
  EXPECT_FALSE(corr.history().empty()) << "the written steps were not recorded";
}

// A PI on plane x and the integrator on plane y after the solve at gain 1,
// against the recurrences by hand.
TEST(CorrectionPi, EachPlaneItsOwnControllerAndOnlyAtGainOne) {
  LabelledMatrix m;
  m.rows = 2;
  m.cols = 2;
  m.values = {2.0, 0.0, 0.0, 1.0};
  m.monitors = {"B0", "B1"};
  m.correctors = {"C0", "C1"};
  m.monitor_planes = {Plane::x, Plane::y};
  m.corrector_planes = {Plane::x, Plane::y};
  Correction corr;
  ASSERT_TRUE(corr.set_matrix(m).ok);
  using K = loop::ControllerConfig::Kind;
  const loop::ControllerConfig planes[2] = {{K::pi, 0.3, 0.5}, {K::integrator, 0.0, 0.7}};
  std::string err;
  const auto c = loop::make_correction_pi(corr, planes, &err);
  ASSERT_TRUE(c) << err;
  // The solve's change e = (-0.5, 0.4), then (-0.1, -0.1).
  loop::ControllerStep s = c->step({1.0, -0.4}, {0.0, 0.0});
  ASSERT_TRUE(s.ok) << s.error;
  EXPECT_NEAR(s.kicks[0], 0.3 * -0.5 + 0.5 * -0.5, 1e-12);
  EXPECT_NEAR(s.kicks[1], 0.7 * 0.4, 1e-12);
  EXPECT_EQ(c->written(), "");
  s = c->step({0.2, 0.1}, s.kicks);
  ASSERT_TRUE(s.ok) << s.error;
  EXPECT_NEAR(s.kicks[0], -0.4 + 0.3 * (-0.1 + 0.5) + 0.5 * -0.1, 1e-12);
  EXPECT_NEAR(s.kicks[1], 0.28 + 0.7 * -0.1, 1e-12);

  // A gain inside the solve would multiply ki: refused, nothing recorded.
  const std::size_t recorded = corr.history().size();
  ASSERT_TRUE(corr.set_plane(Plane::y, PlaneSettings{{}, 0.5}).ok);
  s = c->step({0.2, 0.1}, {0.0, 0.0});
  EXPECT_FALSE(s.ok);
  EXPECT_NE(s.error.find("gain 1"), std::string::npos) << s.error;
  EXPECT_EQ(corr.history().size(), recorded);

  const loop::ControllerConfig bad[2] = {{K::pi, 0.3, 0.5}, {K::integrator, 0.0, 2.5}};
  EXPECT_FALSE(loop::make_correction_pi(corr, bad, &err));
  EXPECT_EQ(err, "ki must lie in (0, 2)");
}

}  // namespace
}  // namespace test
}  // namespace zor_feedback
