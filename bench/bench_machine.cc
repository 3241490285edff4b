// The simulated machine at 640 monitors x 576 correctors (ring320), the
// costs a simulated cycle adds beside the feedback's own:
//  * build        a machine: its errors, N (I + E) by one n^2 m product
//  * read_orbit   one reading of every monitor, noise and disturbance included
//  * cycle        a whole cycle of the served side on the machine: advance,
//                 read, inverse times orbit, one write (ring96 and ring320)
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "example_data.h"
#include "feedback_simulation.h"
#include "machine.h"
#include "rings.h"

namespace {

namespace zs = zor_feedback::sim;

const zor_feedback::LabelledMatrix& ring320() {
  static const zor_feedback::LabelledMatrix m = zs::ring320().matrix;
  return m;
}

void BM_machine_build(benchmark::State& state) {
  for (auto _ : state) {
    zs::Machine m(ring320(), zs::MachineSettings{});
    benchmark::DoNotOptimize(m.monitors());
  }
}
BENCHMARK(BM_machine_build)->Unit(benchmark::kMillisecond);

void BM_machine_read_orbit(benchmark::State& state) {
  zs::Machine m(ring320(), zs::MachineSettings{});
  for (auto _ : state) {
    m.advance(0.01);
    benchmark::DoNotOptimize(m.read_orbit().values.data());
  }
}
BENCHMARK(BM_machine_read_orbit)->Unit(benchmark::kMicrosecond);

void BM_feedback_cycle(benchmark::State& state, const std::string& file) {
  zs::FeedbackSimulation::Settings s;
  s.matrix_file = zs::example_data_path(file);
  s.method = zor_feedback::SvdMethod::lapack;
  zs::FeedbackSimulation sim(s);
  if (!sim.ok() || !sim.load_and_invert()) {
    state.SkipWithError(("cannot load " + file).c_str());
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(sim.cycle().orbit_rms);
}
BENCHMARK_CAPTURE(BM_feedback_cycle, ring96, std::string("ring_response.txt"))->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_feedback_cycle, ring320, std::string("ring320_response.txt"))
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
