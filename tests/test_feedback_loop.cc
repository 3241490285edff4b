// The served feedback's threads: the cycle, the re-inversions and the
// notifier run while clients read and change it from threads of their own
// (run under ThreadSanitizer). Every cycle's entry reaches the notifier once,
// in order; a refused change changes nothing; the loop ends cleanly with an
// inversion still running.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "feedback_loop.h"
#include "loop_fakes.h"

namespace zor_feedback {
namespace test {
namespace {

using server_loop = zor_feedback::server::FeedbackLoop;
using namespace std::chrono_literals;

sim::FeedbackSimulation::Settings ring96() {
  sim::FeedbackSimulation::Settings s;
  s.matrix_file = std::string(ZOR_FEEDBACK_DATA_DIR) + "/ring_response.txt";
  s.method = SvdMethod::lapack;
  return s;
}

// What the notifier hands over, kept for the test.
struct Notes {
  std::mutex m;
  std::vector<long long> cycles;
  unsigned bits = 0;
  void add(const server::ChangeQueue::Entry& e) {
    std::lock_guard<std::mutex> lock(m);
    bits |= e.bits;
    if (e.cycle) cycles.push_back(*e.cycle);
  }
};

const std::string& text_of(const std::string& s) { return s; }
const std::string& text_of(const server_loop::Outcome& o) { return o.text; }

template <typename F>
bool wait_for(F ready, std::chrono::milliseconds within) {
  const auto end = std::chrono::steady_clock::now() + within;
  while (!ready()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

// A change that finds a step being computed is refused with "try again": a
// client tries again, as here, on a loaded machine.
template <typename F>
auto again_while_busy(F change) {
  auto out = change();
  for (int i = 0; i < 100 && std::string(text_of(out)).find("try again") != std::string::npos; ++i)
    out = change();
  return out;
}

TEST(FeedbackLoopThreads, CyclesReinversionsAndReadersTogether) {
  Notes notes;
  server_loop loop(ring96(), "ring_response.txt", 0.01, [&notes](const auto& e) { notes.add(e); });
  ASSERT_TRUE(wait_for([&] { return loop.state() == server_loop::State::running; }, 20s)) << loop.status();

  std::atomic<bool> done{false};
  std::atomic<long long> reads{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r)
    readers.emplace_back([&] {
      while (!done) {
        const server_loop::CorrectionView v = loop.correction();
        EXPECT_EQ(v.monitors.size(), v.monitor_enabled.size());
        EXPECT_FALSE(loop.status().empty());
        (void)loop.inversion();
        (void)loop.cycle_times();
        ++reads;
      }
    });

  // Changes while it cycles: each served, or refused with a reason.
  EXPECT_EQ(again_while_busy([&] { return loop.invert(0.02, 10s); }).kind, server_loop::Outcome::served);
  std::vector<bool> on = loop.correction().monitor_enabled;
  ASSERT_FALSE(on.empty());
  on[3] = false;
  EXPECT_EQ(again_while_busy([&] { return loop.set_enabled(true, on, 10s); }).kind,
            server_loop::Outcome::served);
  EXPECT_EQ(again_while_busy([&] { return loop.set_gain(Plane::x, 0.3); }), "");
  std::string error;
  EXPECT_FALSE(loop.set_period(0.0, &error));
  EXPECT_FALSE(error.empty());
  EXPECT_DOUBLE_EQ(loop.period(), 0.01) << "a refused period changes nothing";
  const long long before = loop.cycles();
  ASSERT_TRUE(wait_for([&] { return loop.cycles() > before + 5; }, 10s));
  EXPECT_EQ(loop.start(), "Start refused: the loop is already running");

  EXPECT_EQ(loop.stop(), "");
  const long long at_stop = loop.cycles();
  // A cycle under way when Stop returned ends without its step: the kicks
  // stay as Stop left them, and no cycle follows.
  std::vector<double> kicks;
  {
    std::lock_guard<std::mutex> lock(loop.mutex());
    kicks = loop.simulation()->kicks();
  }
  // That cycle may take long to end (under valgrind): the count settles.
  long long stopped = loop.cycles();
  for (int i = 0; i < 20; ++i) {
    std::this_thread::sleep_for(100ms);
    if (loop.cycles() == stopped) break;
    stopped = loop.cycles();
  }
  EXPECT_LE(stopped, at_stop + 1) << "only the cycle under way when Stop returned may end";
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(loop.cycles(), stopped) << "a stopped loop cycles no more";
  {
    std::lock_guard<std::mutex> lock(loop.mutex());
    EXPECT_EQ(loop.simulation()->kicks(), kicks) << "a step applied after Stop";
  }
  done = true;
  for (std::thread& t : readers) t.join();
  EXPECT_FALSE(loop.correction().monitor_enabled[3]);
  EXPECT_GT(reads.load(), 0);

  ASSERT_TRUE(wait_for(
      [&] {
        std::lock_guard<std::mutex> lock(notes.m);
        return !notes.cycles.empty() && notes.cycles.back() == stopped;
      },
      5s));
  std::lock_guard<std::mutex> lock(notes.m);
  for (std::size_t i = 1; i < notes.cycles.size(); ++i)
    ASSERT_EQ(notes.cycles[i], notes.cycles[i - 1] + 1) << "every cycle once, in order";
  EXPECT_TRUE(notes.bits & server_loop::kInverse);
  EXPECT_TRUE(notes.bits & server_loop::kState);
}

// A mask or a cut is prepared beside the cycles and adopted between two: the
// cycles after it step with it; a limit set while it is prepared is kept
// too; a refused mask changes nothing.
TEST(FeedbackLoopThreads, MasksAndCutsChangedWhileItCyclesAreTheNextStepsOwn) {
  server_loop loop(ring96(), "ring_response.txt", 0.01, [](const auto&) {});
  ASSERT_TRUE(wait_for([&] { return loop.state() == server_loop::State::running; }, 20s)) << loop.status();
  server_loop::CorrectionView v = loop.correction();
  std::vector<bool> on = v.monitor_enabled;
  on[3] = false;
  const server_loop::Outcome started = again_while_busy([&] { return loop.set_enabled(true, on, 0ms); });
  ASSERT_NE(started.kind, server_loop::Outcome::refused) << started.text;
  std::vector<KickLimit> limits = v.limits;
  limits[2] = KickLimit{-5.0, 5.0, 1.0};
  EXPECT_EQ(again_while_busy([&] { return loop.set_limits(limits); }), "");
  ASSERT_TRUE(wait_for([&] { return loop.inversion_status().rfind("served", 0) == 0; }, 20s))
      << loop.inversion_status();
  const long long served = loop.cycles();
  ASSERT_TRUE(wait_for([&] { return loop.cycles() > served + 3; }, 10s));
  v = loop.correction();
  EXPECT_FALSE(v.monitor_enabled[3]);
  EXPECT_EQ(v.limits[2].max_step, 1.0);
  EXPECT_EQ(std::count(v.last_monitors.begin(), v.last_monitors.end(), v.monitors[3]), 0) << v.step_status;
  EXPECT_FALSE(v.last_monitors.empty()) << v.step_status;
  EXPECT_EQ(again_while_busy([&] { return loop.set_filter(Plane::y, Filter::by_count(10), 10s); }).kind,
            server_loop::Outcome::served);
  EXPECT_EQ(loop.plane_settings(1).cut.filter, Filter::by_count(10));
  const server_loop::Outcome none =
      again_while_busy([&] { return loop.set_enabled(true, std::vector<bool>(on.size(), false), 10s); });
  EXPECT_EQ(none.kind, server_loop::Outcome::refused);
  EXPECT_NE(none.text.find("is the last monitor in use"), std::string::npos) << none.text;
  EXPECT_EQ(loop.correction().monitor_enabled, on);
  EXPECT_NE(loop.state(), server_loop::State::fault) << loop.status();
}

TEST(FeedbackLoopThreads, EndsWhileAnInversionRuns) {
  for (int run = 0; run < 3; ++run) {
    Notes notes;
    auto loop = std::make_unique<server_loop>(ring96(), "ring_response.txt", 0.01,
                                              [&notes](const auto& e) { notes.add(e); });
    ASSERT_TRUE(wait_for([&] { return loop->state() == server_loop::State::running; }, 20s));
    loop->invert(0.01 * (run + 1), 0ms);  // not waited for
    loop.reset();                         // its result is dropped
  }
  EXPECT_TRUE(wait_for([] { return server_loop::inversions_running() == 0; }, 20s));
}

TEST(FeedbackLoopThreads, AFileThatCannotBeReadIsAFaultWithoutThreads) {
  auto s = ring96();
  s.matrix_file = std::string(ZOR_FEEDBACK_DATA_DIR) + "/no_such_file.txt";
  server_loop loop(s, "no_such_file.txt", 0.01, [](const auto&) {});
  EXPECT_EQ(loop.state(), server_loop::State::fault);
  EXPECT_NE(loop.start().find("FAULT"), std::string::npos);
}

// On devices the loop waits stopped after its first inversion: no orbit is
// read until a cycle (or CalcStep) reads one.
TEST(FeedbackLoopTikhonov, AnAutomaticFilterIsChosenFromTheLastOrbitReadAndServedFixed) {
  loop::ManualClock clock;
  std::vector<double> orbit(96);
  for (std::size_t i = 0; i < orbit.size(); ++i) {
    const double h = std::sin(12.9898 * static_cast<double>(i)) * 43758.5453;
    orbit[i] = 0.4 * std::sin(0.55 * static_cast<double>(i)) + 0.01 * (h - std::floor(h) - 0.5);
  }
  FakeSource source(clock, orbit);
  FakeSink sink(48);
  server_loop loop(
      ring96(), "ring_response.txt", 0.01, [](const auto&) {}, nullptr, &source, &sink);
  ASSERT_TRUE(wait_for([&] { return loop.state() == server_loop::State::stopped; }, 20s)) << loop.status();
  const Filter lcurve = Filter::tikhonov_auto(AlphaRule::lcurve);
  const Filter before = loop.plane_settings(0).cut.filter;
  const auto unchanged = [&](const std::string& why) {
    EXPECT_EQ(loop.plane_settings(0).cut.filter, before) << why;
    EXPECT_FALSE(loop.correction().tikhonov_choice[0].ok) << why;
  };
  server_loop::Outcome out = again_while_busy([&] { return loop.set_filter(Plane::x, lcurve, 20s); });
  EXPECT_EQ(out.kind, server_loop::Outcome::refused);
  EXPECT_NE(out.text.find("FilterX tikhonov lcurve refused: no orbit was read yet"), std::string::npos)
      << out.text;
  unchanged("before any orbit");

  // A few cycles on the devices, then stopped: the last orbit read stays.
  const auto cycles_of = [&](const char* why) {
    const long long from = loop.cycles();
    ASSERT_EQ(loop.start(), "") << why;
    ASSERT_TRUE(wait_for([&] { return loop.cycles() >= from + 3; }, 20s)) << why << loop.status();
    ASSERT_EQ(loop.stop(), "") << why;
  };
  source.invalidate(5);
  cycles_of("one monitor unread");
  out = again_while_busy([&] { return loop.set_filter(Plane::x, lcurve, 20s); });
  EXPECT_EQ(out.kind, server_loop::Outcome::refused);
  EXPECT_NE(out.text.find("monitor 'BPM06' reads no number"), std::string::npos) << out.text;
  unchanged("an unread monitor");

  source.set(orbit);
  cycles_of("every monitor read");
  // The reference: the library's choice on a copy of the settings, for the orbit the loop read.
  std::unique_ptr<Correction> copy = loop.settings_copy();
  ASSERT_TRUE(copy);
  std::vector<double> read;
  {
    std::lock_guard<std::mutex> lock(loop.mutex());
    read = loop.simulation()->orbit();
  }
  const TikhonovChoice want = copy->choose_tikhonov(Plane::x, lcurve, read);
  ASSERT_TRUE(want.ok) << want.error;
  out = again_while_busy([&] { return loop.set_filter(Plane::x, lcurve, 20s); });
  ASSERT_EQ(out.kind, server_loop::Outcome::served) << out.text;
  EXPECT_NE(out.text.find("tikhonov lcurve chose " + to_string(want.filter)), std::string::npos) << out.text;
  EXPECT_EQ(loop.plane_settings(0).cut.filter, want.filter);
  EXPECT_EQ(to_string(loop.plane_settings(0).cut.filter).rfind("tikhonov 0.", 0), 0u);
  const server_loop::CorrectionView v = loop.correction();
  EXPECT_TRUE(v.tikhonov_choice[0].ok);
  EXPECT_EQ(v.tikhonov_choice[0].relative, want.relative);
  EXPECT_EQ(v.tikhonov_choice[0].rule, AlphaRule::lcurve);
  EXPECT_NE(loop.inversion_status().find("served: FilterX tikhonov lcurve"), std::string::npos)
      << loop.inversion_status();
  // What goes on after Init is the fixed strength, never the rule.
  EXPECT_EQ(loop.settings_copy()->plane(Plane::x).cut.filter, want.filter);
  // Another filter: the choice is no longer served.
  ASSERT_EQ(again_while_busy([&] { return loop.set_cut(Plane::x, -1.0, 10, 20s); }).kind,
            server_loop::Outcome::served);
  EXPECT_FALSE(loop.correction().tikhonov_choice[0].ok);
}

}  // namespace
}  // namespace test
}  // namespace zor_feedback
