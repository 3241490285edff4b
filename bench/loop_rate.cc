// zf_loop_rate: the whole cycle of the loop at a fixed rate on one core, as a
// server runs it: read an in-process orbit source, check it, compute the
// correction of both planes, write to an in-process sink and read back. Each
// cycle starts on its period; its time is measured from its start to the
// read-back, and each period start that a cycle runs past is missed.
//
//   zf_loop_rate [--rate HZ] [--seconds S] [--mask-change] [--mask NAME] [--at-once]
//                [--kernel exact|fused] [--spin]
//
// Two shapes: both planes of the 320-monitor ring (640 x 576) and 790 x 560
// per plane (1580 x 1120). --mask-change disables one monitor half-way, as an
// operator would, and counts what it costs; --mask names it (BPM17 by
// default, a monitor the 640 x 576 ring needs for its rank: a new
// decomposition; BPM20 is one a downdate takes out in both shapes). The
// change is begun between two cycles, prepared on a thread of the bench's
// own while the cycles go on, and adopted between the two cycles after it is
// ready; --at-once makes it on the Correction itself instead, so that the
// next cycle makes the new inverse. --kernel picks the step's kernel
// (StepKernel): exact (the default) or fused (fused_float). --spin waits
// for each period busy instead of asleep.
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#ifdef __linux__
#include <sys/prctl.h>
#endif

#include "ring_model.h"
#include "zor_feedback/correction.h"
#include "zor_feedback/loop/correction_controller.h"
#include "zor_feedback/loop/loop.h"

namespace {

namespace loop = zor_feedback::loop;
namespace zs = zor_feedback::sim;

// A fresh orbit each cycle (a slow wave that moves), stamped now. The wave
// 1e-3 sin(0.37 i + w t) as sin(0.37 i) cos(w t) + cos(0.37 i) sin(w t): two
// sines a cycle instead of one per monitor, so that the source, which stands
// for a read from the network, adds little to the cycle it is timed in.
struct Source final : loop::OrbitSource {
  const loop::Clock& clock;
  std::vector<double> values, sines, cosines;
  std::vector<bool> valid;
  long long count = 0;
  Source(const loop::Clock& c, int m)
      : clock(c), values(static_cast<std::size_t>(m)), valid(values.size(), true) {
    for (std::size_t i = 0; i < values.size(); ++i) {
      sines.push_back(1e-3 * std::sin(0.37 * static_cast<double>(i)));
      cosines.push_back(1e-3 * std::cos(0.37 * static_cast<double>(i)));
    }
  }
  loop::Orbit read() override {
    ++count;
    const double c = std::cos(1e-3 * static_cast<double>(count)),
                 s = std::sin(1e-3 * static_cast<double>(count));
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = sines[i] * c + cosines[i] * s;
    return {true, "", values, valid, clock.now()};
  }
};

struct Sink final : loop::CorrectorSink {
  std::vector<double> set;
  explicit Sink(int n) : set(static_cast<std::size_t>(n), 0.0) {}
  loop::SinkResult write(const std::vector<double>& v) override {
    set = v;
    return {true, "", {}};
  }
  loop::SinkResult read() override { return {true, "", set}; }
};

struct Result {
  double p50_us = 0, p99_us = 0, max_us = 0;
  int cycles = 0, missed = 0, refused = 0;
  int adopted_after = -1;  // cycles from the change's start to its adopt; -1: none
  // Periods missed from the change's start to the end of the first cycle
  // after its adopt, and that cycle's time.
  int missed_by_change = 0;
  double first_after_us = 0, longest_in_change_us = 0;
  std::string error;  // the change's, when it was refused
};

// The mask change beside the cycles: begun at cycle `at`, prepared on a
// thread, adopted before the first cycle after it is ready.
class MaskChange {
 public:
  MaskChange(zor_feedback::Correction& c, std::string name, bool at_once)
      : c_(c), name_(std::move(name)), at_once_(at_once) {}
  ~MaskChange() {
    if (beside_.joinable()) beside_.join();
  }
  // Between two cycles: `k` the cycle about to run.
  void before_cycle(int k, int at, Result* r) {
    if (name_.empty() || k < at || done_) return;
    if (k == at && at_once_) {
      if (const zor_feedback::Outcome o = c_.set_monitor_enabled(name_, false); !o.ok) r->error = o.error;
      done_ = true;
      r->adopted_after = 0;
      return;
    }
    if (k == at) {
      const std::string name = name_;
      change_ = c_.begin_change(
          [name](zor_feedback::Correction& d) { return outcome(d.set_monitor_enabled(name, false)); });
      beside_ = std::thread([this] {
        // Below the cycles: on a shared core the cycle thread comes first.
        setpriority(PRIO_PROCESS, 0, 10);
        prepared_ = change_.prepare();
        ready_ = true;
      });
      return;
    }
    if (!ready_) return;
    beside_.join();
    const zor_feedback::Outcome o = prepared_.ok ? c_.adopt(std::move(change_)) : prepared_;
    if (!o.ok) r->error = o.error;
    r->adopted_after = k - at;
    done_ = true;
  }

 private:
  static std::string outcome(const zor_feedback::Outcome& o) { return o.ok ? std::string() : o.error; }
  zor_feedback::Correction& c_;
  std::string name_;
  bool at_once_ = false, done_ = false;
  zor_feedback::PreparedChange change_;
  zor_feedback::Outcome prepared_;
  std::atomic<bool> ready_{false};
  std::thread beside_;
};

double percentile(std::vector<double> v, double q) {
  if (v.empty()) return 0.0;
  const auto k = static_cast<std::size_t>(q * static_cast<double>(v.size() - 1));
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
  return v[k];
}

Result run(int mon, int cor, double rate, double seconds, const std::string& masked, bool at_once,
           zor_feedback::StepKernel kernel, bool spin) {
  zor_feedback::Correction corr;
  corr.set_matrix(zs::two_plane_ring(mon, cor, 0.08));
  corr.set_step_kernel(kernel);
  loop::SteadyClock clock;
  Source source(clock, 2 * mon);
  Sink sink(2 * cor);
  const auto controller = loop::make_correction_controller(corr);
  loop::Loop l(source, sink, *controller, clock);
  loop::LoopConfig cfg;
  cfg.limits.assign(static_cast<std::size_t>(2 * cor), loop::CorrectorLimit{-1e3, 1e3, 1e3});
  if (const std::string e = l.configure(cfg); !e.empty()) std::fprintf(stderr, "configure: %s\n", e.c_str());
  l.cycle();  // the first inversion, before the clock starts
  const auto period = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(1.0 / rate));
  const int cycles = static_cast<int>(seconds * rate);
  std::vector<double> us;
  Result r;
  MaskChange change(corr, masked, at_once);
  auto due = std::chrono::steady_clock::now() + period;
  for (int k = 0; k < cycles; ++k, due += period) {
    if (spin)  // a loop on a core of its own waits so: no wake-up latency, caches kept warm
      while (std::chrono::steady_clock::now() < due) {
      }
    else
      std::this_thread::sleep_until(due);
    change.before_cycle(k, cycles / 2, &r);
    const auto t0 = std::chrono::steady_clock::now();
    const loop::CycleRecord c = l.cycle();
    const auto t1 = std::chrono::steady_clock::now();
    us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    const bool in_change =
        !masked.empty() && k >= cycles / 2 && (r.adopted_after < 0 || k <= cycles / 2 + r.adopted_after);
    if (in_change) {
      r.first_after_us = us.back();
      r.longest_in_change_us = std::max(r.longest_in_change_us, us.back());
    }
    // An overrun costs the periods it ran into; the next cycle starts on the
    // next period after it.
    while (t1 > due + period) {
      due += period;
      ++r.missed;
      r.missed_by_change += in_change;
    }
    r.refused += c.result != loop::CycleResult::written;
  }
  r.cycles = cycles;
  r.p50_us = percentile(us, 0.50);
  r.p99_us = percentile(us, 0.99);
  r.max_us = *std::max_element(us.begin(), us.end());
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  double rate = 10000.0, seconds = 2.0;
  std::string masked;
  bool at_once = false, spin = false;
  auto kernel = zor_feedback::StepKernel::exact;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--rate") == 0 && i + 1 < argc) {
      rate = std::atof(argv[++i]);
    } else if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
      seconds = std::atof(argv[++i]);
    } else if (std::strcmp(argv[i], "--mask-change") == 0) {
      if (masked.empty()) masked = "BPM17";
    } else if (std::strcmp(argv[i], "--mask") == 0 && i + 1 < argc) {
      masked = argv[++i];
    } else if (std::strcmp(argv[i], "--at-once") == 0) {
      at_once = true;
    } else if (std::strcmp(argv[i], "--spin") == 0) {
      spin = true;
    } else if (std::strcmp(argv[i], "--kernel") == 0 && i + 1 < argc &&
               (std::strcmp(argv[i + 1], "exact") == 0 || std::strcmp(argv[i + 1], "fused") == 0)) {
      kernel = std::strcmp(argv[++i], "fused") == 0 ? zor_feedback::StepKernel::fused_float
                                                    : zor_feedback::StepKernel::exact;
    } else {
      std::fprintf(stderr,
                   "usage: zf_loop_rate [--rate HZ] [--seconds S] [--mask-change] [--mask NAME] [--at-once] "
                   "[--kernel exact|fused] [--spin]\n");
      return 2;
    }
  }
  if (!(rate > 0 && rate <= 1e6 && seconds > 0 && seconds <= 600)) {
    std::fprintf(stderr, "zf_loop_rate: --rate in (0, 1e6], --seconds in (0, 600]\n");
    return 2;
  }
#ifdef __linux__
  // Wake on the period, not up to the default 50 us timer slack after it, as
  // a loop at 10 kHz must.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
  std::printf("step kernel: %s\n\n", zor_feedback::step_kernel_name(kernel));
  std::printf(
      "| shape | rate | cycles | p50 [us] | p99 [us] | max [us] | missed | not written | missed in the "
      "change | "
      "first cycle after it [us] | longest cycle in it [us] |\n");
  std::printf("|---|---|---|---|---|---|---|---|---|---|---|\n");
  for (const auto& [mon, cor] : {std::pair<int, int>{320, 288}, {790, 560}}) {
    const Result r = run(mon, cor, rate, seconds, masked, at_once, kernel, spin);
    std::string what;
    if (!masked.empty())
      what =
          ", " + masked + " masked half-way " +
          (at_once ? std::string("at once") : "(adopted " + std::to_string(r.adopted_after) + " cycles on)");
    if (!r.error.empty()) std::fprintf(stderr, "the mask change was refused: %s\n", r.error.c_str());
    std::printf("| %d x %d%s | %.0f Hz | %d | %.1f | %.1f | %.1f | %d | %d | %d | %.1f | %.1f |\n", 2 * mon,
                2 * cor, what.c_str(), rate, r.cycles, r.p50_us, r.p99_us, r.max_us, r.missed, r.refused,
                r.missed_by_change, r.first_after_us, r.longest_in_change_us);
  }
  return 0;
}
