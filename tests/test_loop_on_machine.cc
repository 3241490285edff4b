// The loop's trips on the simulated machine (ring96, its errors, noise and
// limits), not on fakes: correctors held at their hard limits trip it after
// exactly the rule's count of cycles, a failed monitor is dropped in the
// cycle it fails with no NaN reaching a corrector, and a source that stops
// answering gets nothing written until the loop is reset.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "machine_io.h"
#include "rings.h"
#include "zor_feedback/correction.h"
#include "zor_feedback/loop/correction_controller.h"
#include "zor_feedback/loop/loop.h"

namespace zor_feedback {
namespace test {
namespace {

using loop::CycleResult;
using loop::TripReason;

// A source that stops answering when told to.
struct Switchable final : loop::OrbitSource {
  loop::OrbitSource& inner;
  bool down = false;
  explicit Switchable(loop::OrbitSource& s) : inner(s) {}
  loop::Orbit read() override {
    if (!down) return inner.read();
    loop::Orbit o;
    o.error = "sim/ring/1: not exported";
    return o;
  }
};

struct Rig {
  sim::ExampleRing ring = sim::ring96();
  std::unique_ptr<sim::Machine> machine;
  std::unique_ptr<sim::MachineSource> machine_source;
  std::unique_ptr<Switchable> source;
  std::unique_ptr<sim::MachineSink> sink;
  std::unique_ptr<sim::MachineClock> clock;
  Correction corr;
  std::unique_ptr<loop::Controller> controller;
  std::unique_ptr<loop::Loop> loop;

  explicit Rig(double limit) {
    sim::MachineSettings ms;
    ms.supply_tau_s = 0.0;  // read-backs equal to the set-points
    ms.cycle_s = 0.1;
    machine = std::make_unique<sim::Machine>(ring.matrix, ms);
    machine_source = std::make_unique<sim::MachineSource>(*machine, sim::all_of(96), 0.1);
    source = std::make_unique<Switchable>(*machine_source);
    sink = std::make_unique<sim::MachineSink>(*machine, sim::all_of(48));
    clock = std::make_unique<sim::MachineClock>(*machine);
    EXPECT_TRUE(corr.set_matrix(ring.matrix).ok);
    corr.set_policy(LimitPolicy::clip);
    for (const std::string& c : ring.matrix.correctors) EXPECT_TRUE(corr.set_limit(c, {-limit, limit}).ok);
    controller = loop::make_correction_controller(corr);
    loop = std::make_unique<loop::Loop>(*source, *sink, *controller, *clock);
    loop::LoopConfig cfg;
    cfg.limits.assign(48, loop::CorrectorLimit{-limit, limit});
    cfg.limit_margin = 1e-9;
    cfg.trips.saturated_cycles = 5;
    EXPECT_EQ(loop->configure(cfg), "");
  }
};

bool at_limit(const std::vector<double>& kicks, double limit) {
  for (const double k : kicks)
    if (std::fabs(k) >= limit - 1e-9) return true;
  return false;
}

TEST(LoopOnMachine, CorrectorsAtTheirHardLimitTripAfterExactlyTheCount) {
  const double limit = 0.03;  // the error kicks need more (0.05 mrad rms)
  Rig rig(limit);
  int held = 0;
  for (int c = 0; c < 40; ++c) {
    const std::vector<double> before = rig.machine->setpoints();
    const loop::CycleRecord r = rig.loop->cycle();
    if (r.result == CycleResult::tripped) {
      EXPECT_EQ(r.reason, TripReason::correctors_saturated);
      EXPECT_EQ(held, 4) << "four written steps at a limit, the fifth trips";
      EXPECT_TRUE(r.kicks.empty());
      EXPECT_EQ(rig.machine->setpoints(), before) << "the tripping step is not written";
      break;
    }
    ASSERT_EQ(r.result, CycleResult::written) << r.detail;
    for (const double k : r.kicks) EXPECT_LE(std::fabs(k), limit + 1e-12);
    held = at_limit(r.kicks, limit) ? held + 1 : 0;
  }
  EXPECT_TRUE(rig.loop->status().tripped);
  const std::vector<double> kicks = rig.machine->setpoints();
  EXPECT_EQ(rig.loop->cycle().result, CycleResult::halted);
  EXPECT_EQ(rig.machine->setpoints(), kicks) << "a tripped loop writes nothing";
}

TEST(LoopOnMachine, AFailedMonitorIsDroppedAndADeadSourceGetsNothingWritten) {
  Rig rig(2.0);
  for (int c = 0; c < 5; ++c) ASSERT_EQ(rig.loop->cycle().result, CycleResult::written);
  rig.machine->set_monitor_fault(17, sim::MonitorFault::invalid);
  loop::CycleRecord r = rig.loop->cycle();
  EXPECT_EQ(r.result, CycleResult::written) << r.detail;
  EXPECT_EQ(r.valid_monitors, 95);
  for (const double k : rig.machine->setpoints()) EXPECT_TRUE(std::isfinite(k));

  rig.source->down = true;
  const std::vector<double> kicks = rig.machine->setpoints();
  r = rig.loop->cycle();
  EXPECT_EQ(r.result, CycleResult::tripped);
  EXPECT_EQ(r.reason, TripReason::source_failed);
  EXPECT_NE(r.detail.find("not exported"), std::string::npos) << r.detail;
  EXPECT_EQ(rig.loop->cycle().result, CycleResult::halted);
  EXPECT_EQ(rig.machine->setpoints(), kicks);

  // Back: nothing until the documented reset, then the loop goes on.
  rig.source->down = false;
  EXPECT_EQ(rig.loop->cycle().result, CycleResult::halted);
  rig.loop->reset();
  EXPECT_EQ(rig.loop->cycle().result, CycleResult::written);
}

}  // namespace
}  // namespace test
}  // namespace zor_feedback
