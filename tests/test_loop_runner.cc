// The runner under threads: a stop waits for the cycle under way and starts
// no other, readers never wait for a cycle, resets and restarts while
// readers read. Run under ThreadSanitizer by `./build.sh tsan`.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "loop_fakes.h"
#include "zor_feedback/loop/runner.h"

namespace zor_feedback {
namespace test {
namespace {

using loop::CycleResult;

struct Rig {
  loop::ManualClock clock;
  FakeSource source{clock, {0.1, -0.2, 0.3, 0.0}};
  FakeSink sink{4};
  FakeController controller;
  loop::Loop loop{source, sink, controller, clock};
  loop::Runner runner{loop};
};

// Waits (in real time) until `done` or a generous bound; false at the bound.
template <class F>
bool eventually(F done) {
  for (int k = 0; k < 5000; ++k) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

TEST(Runner, StopWaitsForTheCycleUnderWayAndStartsNoOther) {
  Rig rig;
  ASSERT_EQ(rig.runner.set_period(std::chrono::microseconds(200)), "");
  ASSERT_EQ(rig.runner.start(), "");
  ASSERT_TRUE(eventually([&] { return rig.sink.write_count() >= 2; }));
  rig.sink.hold_writes();
  rig.sink.wait_for_write();
  // A reader does not wait for the cycle held in its write.
  EXPECT_TRUE(rig.runner.snapshot()->running);
  std::atomic<bool> stopped{false};
  std::thread stopper([&] {
    rig.runner.stop();
    stopped = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_FALSE(stopped) << "stop returned while a cycle was writing";
  const std::size_t writes = rig.sink.write_count();
  rig.sink.release();
  stopper.join();
  EXPECT_EQ(rig.sink.write_count(), writes + 1) << "the cycle under way did not finish";
  const int reads = rig.source.reads;
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(rig.source.reads, reads) << "a cycle started after stop";
  const auto snap = rig.runner.snapshot();
  EXPECT_FALSE(snap->running);
  EXPECT_EQ(snap->last.result, CycleResult::written);
  EXPECT_EQ(snap->status.writes, static_cast<long long>(writes + 1));
}

TEST(Runner, OneRunAtATimeAndRunInTheCallersThread) {
  Rig rig;
  EXPECT_NE(rig.runner.set_period(std::chrono::nanoseconds(0)), "");
  ASSERT_EQ(rig.runner.set_period(std::chrono::microseconds(100)), "");
  ASSERT_EQ(rig.runner.start(), "");
  EXPECT_NE(rig.runner.start(), "");
  EXPECT_NE(rig.runner.run(), "");
  rig.runner.stop();
  rig.runner.stop();  // twice: nothing
  std::string ran = "not yet";
  const std::thread::id caller = std::this_thread::get_id();
  std::thread stopper([&] {
    ASSERT_TRUE(eventually([&] { return rig.runner.snapshot()->running; }));
    EXPECT_NE(caller, std::this_thread::get_id());
    rig.runner.stop();
  });
  ran = rig.runner.run();
  stopper.join();
  EXPECT_EQ(ran, "");
  EXPECT_FALSE(rig.runner.snapshot()->running);
  ASSERT_EQ(rig.runner.start(), "") << "a runner runs again after a stop";
  rig.runner.stop();
}

TEST(Runner, ATripHoldsUntilReset) {
  Rig rig;
  rig.controller.refuse = "singular";
  ASSERT_EQ(rig.runner.set_period(std::chrono::microseconds(100)), "");
  ASSERT_EQ(rig.runner.start(), "");
  ASSERT_TRUE(eventually([&] {
    const auto s = rig.runner.snapshot();
    return s->last.cycle > 0 && s->last.result == CycleResult::halted;
  }));
  EXPECT_EQ(rig.runner.snapshot()->status.reason, loop::TripReason::step_refused);
  EXPECT_EQ(rig.sink.write_count(), 0u);
  rig.runner.stop();
  rig.controller.refuse.clear();  // between runs: no cycle reads it
  ASSERT_EQ(rig.runner.start(), "");
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_EQ(rig.sink.write_count(), 0u) << "a restart cleared the trip";
  rig.runner.reset();
  ASSERT_TRUE(eventually([&] { return rig.sink.write_count() > 0; }));
  rig.runner.stop();
  EXPECT_FALSE(rig.runner.snapshot()->status.tripped);
}

TEST(Runner, ReadersResetsAndRestartsTogether) {
  Rig rig;
  loop::LoopConfig cfg;
  cfg.trips.rms_limit = 0.2;  // trips now and then, as the resets bring the orbit back
  ASSERT_EQ(rig.runner.configure(cfg), "");
  ASSERT_EQ(rig.runner.set_period(std::chrono::microseconds(50)), "");
  std::atomic<bool> done{false};
  std::atomic<long long> seen{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t)
    threads.emplace_back([&] {
      while (!done) {
        const auto s = rig.runner.snapshot();
        ASSERT_TRUE(s);
        EXPECT_LE(s->last.cycle, s->status.cycles) << "a record and a status of different cycles";
        seen += s->times.count >= 0 ? 1 : 0;
      }
    });
  threads.emplace_back([&] {
    while (!done) {
      rig.runner.reset();
      rig.source.set({0.3, 0.3, 0.3, 0.3});
      EXPECT_EQ(rig.runner.configure(cfg), "");
      std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
  });
  for (int k = 0; k < 20; ++k) {
    ASSERT_EQ(rig.runner.start(), "");
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    rig.runner.stop();
  }
  done = true;
  for (std::thread& t : threads) t.join();
  EXPECT_GT(seen, 0);
  EXPECT_GT(rig.sink.write_count(), 0u);
  EXPECT_FALSE(rig.runner.snapshot()->running);
}

}  // namespace
}  // namespace test
}  // namespace zor_feedback
