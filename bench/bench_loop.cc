// What the loop adds to a cycle, at 640 monitors x 576 correctors, with the
// source and the sink in memory (no I/O, no settle time):
//  * loop_overhead        Loop::cycle with a controller that returns the
//                         kicks as they are: the checks, the rms, the step's
//                         limits, the write and its read-back
//  * loop_correction      Loop::cycle over Correction (make_correction_controller),
//                         beside correction_compute: Correction::compute alone
//  * ..._fused            the same with the step on StepKernel::fused_float
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <string>
#include <vector>

#include "ring_model.h"
#include "zor_feedback/correction.h"
#include "zor_feedback/loop/correction_controller.h"
#include "zor_feedback/loop/loop.h"

namespace {

namespace loop = zor_feedback::loop;
using zor_feedback::LabelledMatrix;
using zor_feedback::Plane;

constexpr int kMon = 320, kCor = 288;  // per plane

LabelledMatrix two_planes() { return zor_feedback::sim::two_plane_ring(kMon, kCor, 0.08); }

std::vector<double> orbit() {
  std::vector<double> o;
  for (int i = 0; i < 2 * kMon; ++i) o.push_back(0.1 * std::sin(0.37 * i) + 0.02 * std::cos(1.3 * i));
  return o;
}

// The same orbit every cycle, fresh on the manual clock.
struct Source final : loop::OrbitSource {
  loop::ManualClock& clock;
  std::vector<double> values = orbit();
  std::vector<bool> valid = std::vector<bool>(values.size(), true);
  explicit Source(loop::ManualClock& c) : clock(c) {}
  loop::Orbit read() override {
    clock.advance(std::chrono::milliseconds(1));
    return {true, "", values, valid, clock.now()};
  }
};

// Keeps what is written; the kicks stay at zero, so every step is the same.
struct Sink final : loop::CorrectorSink {
  std::vector<double> set = std::vector<double>(2 * kCor, 0.0);
  loop::SinkResult write(const std::vector<double>& v) override {
    set = v;
    return {true, "", {}};
  }
  loop::SinkResult read() override { return {true, "", set}; }
};

struct Hold final : loop::Controller {
  loop::ControllerStep step(const std::vector<double>&, const std::vector<double>& k) override {
    return {true, "", k};
  }
};

void run_cycles(benchmark::State& state, loop::Controller& controller) {
  loop::ManualClock clock;
  Source source(clock);
  Sink sink;
  loop::Loop l(source, sink, controller, clock);
  loop::LoopConfig cfg;
  cfg.limits.assign(2 * kCor, loop::CorrectorLimit{-1e3, 1e3, 1e3});
  if (std::string e = l.configure(cfg); !e.empty()) state.SkipWithError(e.c_str());
  for (auto _ : state) {
    const loop::CycleRecord r = l.cycle();
    if (r.result != loop::CycleResult::written) {
      state.SkipWithError(r.detail.c_str());
      break;
    }
    sink.set.assign(sink.set.size(), 0.0);
    l.reset();  // the kicks read afresh: zero again
  }
}

void BM_loop_overhead(benchmark::State& state) {
  Hold hold;
  run_cycles(state, hold);
}

// One Correction per kernel, its inverses made once.
zor_feedback::Correction& correction(zor_feedback::StepKernel kernel) {
  static zor_feedback::Correction c[2];
  static bool ready[2] = {false, false};
  const int k = kernel == zor_feedback::StepKernel::exact ? 0 : 1;
  if (!ready[k]) {
    c[k].set_matrix(two_planes());
    for (const Plane p : {Plane::x, Plane::y}) c[k].set_plane(p, {zor_feedback::Filter::by_count(200), 0.5});
    c[k].set_step_kernel(kernel);
    ready[k] = c[k].compute(orbit(), std::vector<double>(2 * kCor, 0.0)).ok;
  }
  return c[k];
}

void BM_loop_correction(benchmark::State& state) {
  const auto controller = loop::make_correction_controller(correction(zor_feedback::StepKernel::exact));
  run_cycles(state, *controller);
}

void BM_loop_correction_fused(benchmark::State& state) {
  const auto controller = loop::make_correction_controller(correction(zor_feedback::StepKernel::fused_float));
  run_cycles(state, *controller);
}

void compute(benchmark::State& state, zor_feedback::StepKernel kernel) {
  const std::vector<double> o = orbit(), k(2 * kCor, 0.0);
  zor_feedback::Correction& c = correction(kernel);
  for (auto _ : state) benchmark::DoNotOptimize(c.compute(o, k));
}

void BM_correction_compute(benchmark::State& state) { compute(state, zor_feedback::StepKernel::exact); }

void BM_correction_compute_fused(benchmark::State& state) {
  compute(state, zor_feedback::StepKernel::fused_float);
}

}  // namespace

BENCHMARK(BM_loop_overhead)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_loop_correction)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_correction_compute)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_loop_correction_fused)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_correction_compute_fused)->Unit(benchmark::kMicrosecond);
