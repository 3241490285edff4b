// Correction::compute at 640 monitors x 576 correctors (two planes of a
// 320-monitor ring, 288 correctors each), with the plane inverses cached:
//  * compute          no limit hit, vs one multiply of the same shape (the
//                     inverse, 576 x 640, times the orbit) beside it
//  * compute_fused    the same on the fused float kernel (StepKernel)
//  * compute_clip10   ten correctors at their limit, clip: the re-solve
//                     inverses made afresh in every iteration
//  * mask_change      a monitor masked (another each iteration): one new
//                     inverse of its plane, vs the standard inversion of the
//                     319 x 288 matrix that takes
//  * mask_change_all_modes  the same with every mode kept (the default cut):
//                     the new inverse is a downdate of the held one
#include <benchmark/benchmark.h>

#include <cmath>
#include <string>
#include <vector>

#include "ring_model.h"
#include "zor_feedback/correction.h"

namespace {

using zor_feedback::LabelledMatrix;
using zor_feedback::Plane;

constexpr int kMon = 320, kCor = 288;  // per plane

// Plane x: the ring of ring_for_shape; plane y: the same lattice at another tune.
LabelledMatrix two_planes() { return zor_feedback::sim::two_plane_ring(kMon, kCor, 0.08); }

std::vector<double> orbit() {
  std::vector<double> o;
  for (int i = 0; i < 2 * kMon; ++i) o.push_back(0.1 * std::sin(0.37 * i) + 0.02 * std::cos(1.3 * i));
  return o;
}

// A correction of the two-plane ring, its inverses made.
struct Setup {
  zor_feedback::Correction c;
  std::vector<double> orbit = ::orbit(), kicks = std::vector<double>(2 * kCor, 0.0);
  zor_feedback::Step plain;
  explicit Setup(const zor_feedback::Filter& filter = zor_feedback::Filter::by_count(200),
                 zor_feedback::StepKernel kernel = zor_feedback::StepKernel::exact) {
    c.set_matrix(two_planes());
    c.set_step_kernel(kernel);
    for (const Plane p : {Plane::x, Plane::y}) c.set_plane(p, {filter, 0.5});
    plain = c.compute(orbit, kicks);
  }
};

void BM_correction_compute(benchmark::State& state) {
  Setup s;
  if (!s.plain.ok) state.SkipWithError(s.plain.error.c_str());
  for (auto _ : state) benchmark::DoNotOptimize(s.c.compute(s.orbit, s.kicks));
}

void BM_correction_compute_fused(benchmark::State& state) {
  Setup s{zor_feedback::Filter::by_count(200), zor_feedback::StepKernel::fused_float};
  if (!s.plain.ok) state.SkipWithError(s.plain.error.c_str());
  for (auto _ : state) benchmark::DoNotOptimize(s.c.compute(s.orbit, s.kicks));
}

// The inverse (576 x 640) times the orbit, as a server's multiply makes it.
void BM_raw_multiply_same_shape(benchmark::State& state) {
  QTEV_ResponseMatrix inverse("INVERSE", 2 * kCor, 2 * kMon, nullptr), o("ORBIT", 2 * kMon, 1, nullptr),
      step("STEP", 2 * kCor, 1, nullptr);
  inverse.init(0.001f);
  o.init(0.1f);
  for (auto _ : state) {
    inverse.multiply(o, step);
    benchmark::ClobberMemory();
  }
}

// Ten correctors (five per plane) limited to half their plain step; another
// ten each iteration, so that every re-solve inverts afresh.
void BM_correction_compute_clip10(benchmark::State& state) {
  Setup s;
  s.c.set_policy(zor_feedback::LimitPolicy::clip);
  int round = 0;
  std::size_t limited = 0;
  for (auto _ : state) {
    state.PauseTiming();
    for (int j = 0; j < 2 * kCor; ++j) s.c.set_limit("COR" + std::to_string(j), {});
    for (int k = 0; k < 10; ++k) {
      const int j = (k < 5 ? 0 : kCor) + (round * 7 + k * 53) % kCor;
      const double half = 0.5 * std::fabs(s.plain.delta[static_cast<std::size_t>(j)]);
      s.c.set_limit("COR" + std::to_string(j), {-half, half});
    }
    ++round;
    state.ResumeTiming();
    const zor_feedback::Step st = s.c.compute(s.orbit, s.kicks);
    limited = st.limited.size();
    benchmark::DoNotOptimize(st);
  }
  state.counters["limited"] = static_cast<double>(limited);
}

// Another monitor masked in each iteration: a new inverse of one plane.
// Masks the monitors of `masked` in turn, one at a time: more of them than the
// cache holds, so each mask makes a new inverse.
void mask_change(benchmark::State& state, Setup& s, const std::vector<int>& masked) {
  if (!s.plain.ok) state.SkipWithError(s.plain.error.c_str());
  std::size_t k = 0;
  const auto name = [&masked](std::size_t at) { return "BPM" + std::to_string(masked[at % masked.size()]); };
  for (auto _ : state) {
    state.PauseTiming();
    // The full set's inverse is the one in use before each mask, as in a loop.
    s.c.set_monitor_enabled(name(k), true);
    benchmark::DoNotOptimize(s.c.compute(s.orbit, s.kicks));
    ++k;
    s.c.set_monitor_enabled(name(k), false);
    state.ResumeTiming();
    benchmark::DoNotOptimize(s.c.compute(s.orbit, s.kicks));
  }
}

void BM_correction_mask_change(benchmark::State& state) {
  Setup s;
  std::vector<int> all;
  for (int i = 0; i < kMon; ++i) all.push_back(i);
  mask_change(state, s, all);
}

void BM_correction_mask_change_all_modes(benchmark::State& state) {
  Setup s{zor_feedback::Filter()};
  // Half of this ring's monitors carry a mode (the plane's rank needs them):
  // these do not, so each mask is a downdate.
  mask_change(state, s, {0, 1, 2, 3, 4, 7, 8, 9, 10, 11, 12, 13});
}

void BM_raw_standard_inversion_319x288(benchmark::State& state) {
  const LabelledMatrix m = two_planes();
  std::vector<double> a, inverse;
  for (int i = 1; i < kMon; ++i)
    for (int j = 0; j < kCor; ++j) a.push_back(m.values[static_cast<std::size_t>(i * m.cols + j)]);
  zor_feedback::StandardOptions o;
  o.filter = zor_feedback::Filter::by_count(200);
  for (auto _ : state)
    benchmark::DoNotOptimize(zor_feedback::pseudo_inverse(a.data(), kMon - 1, kCor, o, &inverse));
}

}  // namespace

BENCHMARK(BM_correction_compute)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_correction_compute_fused)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_raw_multiply_same_shape)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_correction_compute_clip10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_correction_mask_change)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_correction_mask_change_all_modes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_raw_standard_inversion_319x288)->Unit(benchmark::kMillisecond);
