// zorfb measure: the response matrix of the simulated machine measured by the
// loop's measurement procedure, as a control room would measure a real ring,
// and (simulation only) compared with the machine's true response.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "machine.h"
#include "machine_io.h"
#include "rings.h"
#include "zor_feedback/loop/measurement.h"
#include "zorfb/zorfb.h"

namespace zor_feedback {
namespace cli {

namespace {

namespace zl = zor_feedback::loop;

// The rows and columns of `plane` ("": all), and the sub-matrix they span.
std::vector<int> pick(const std::vector<Plane>& planes, const std::string& plane) {
  std::vector<int> k;
  for (std::size_t i = 0; i < planes.size(); ++i)
    if (plane.empty() || plane == plane_name(planes[i])) k.push_back(static_cast<int>(i));
  return k;
}

std::vector<double> sub(const std::vector<double>& a, int cols, const std::vector<int>& r,
                        const std::vector<int>& c) {
  std::vector<double> s;
  for (int i : r)
    for (int j : c) s.push_back(a[static_cast<std::size_t>(i * cols + j)]);
  return s;
}

zl::MeasureConfig config_for(const MeasureOptions& o, const LabelledMatrix& nominal,
                             const std::vector<int>& r, const std::vector<int>& c, double limit) {
  zl::MeasureConfig cfg;
  for (int i : r) {
    cfg.monitors.push_back(nominal.monitors[static_cast<std::size_t>(i)]);
    cfg.monitor_planes.push_back(nominal.monitor_planes[static_cast<std::size_t>(i)]);
  }
  for (int j : c) {
    cfg.correctors.push_back(nominal.correctors[static_cast<std::size_t>(j)]);
    cfg.corrector_planes.push_back(nominal.corrector_planes[static_cast<std::size_t>(j)]);
  }
  cfg.units = nominal.units;
  cfg.bipolar = !o.unipolar;
  cfg.readings = o.readings;
  if (o.kick_mrad > 0) cfg.kicks = {o.kick_mrad};
  cfg.prior = sub(nominal.values, nominal.cols, r, c);
  cfg.target_change = o.target_mm;
  cfg.lower.assign(c.size(), -limit);
  cfg.upper.assign(c.size(), limit);
  cfg.settle_min = std::chrono::milliseconds(200);  // four supply time constants
  cfg.readback_tolerance = 1e-6;                    // mrad
  return cfg;
}

void print_summary(const MeasureOptions& o, const zl::MeasureResult& r, double wall_s) {
  std::vector<double> snr;
  int drift = 0, unsettled = 0, capped = 0;
  for (const zl::MeasuredColumn& c : r.columns) {
    snr.push_back(c.snr);
    drift += c.drift;
    unsettled += !c.settled;
    capped += c.kick_capped;
  }
  std::sort(snr.begin(), snr.end());
  std::printf(
      "zorfb measure: %s%s%s, %d monitors x %d correctors, seed %lu, noise %.4g mm, %s, %d readings\n",
      o.ring.c_str(), o.plane.empty() ? "" : " plane ", o.plane.c_str(), r.matrix.rows, r.matrix.cols, o.seed,
      o.noise_mm, o.unipolar ? "unipolar" : "bipolar", o.readings);
  std::printf("columns: %zu, kicks capped %d, drift flagged %d, not settled %d, SNR min %.3g median %.3g\n",
              r.columns.size(), capped, drift, unsettled, snr.empty() ? 0.0 : snr.front(),
              snr.empty() ? 0.0 : snr[snr.size() / 2]);
  std::printf("cost: %ld orbit reads, %.1f s of machine time, %.2f s wall\n", r.orbit_reads,
              std::chrono::duration<double>(r.elapsed).count(), wall_s);
}

}  // namespace

TruthFigures compare_to_truth(const std::vector<double>& measured, const std::vector<double>& errors,
                              const std::vector<double>& truth) {
  TruthFigures f;
  double diff2 = 0, true2 = 0, err2 = 0;
  int inside = 0;
  for (std::size_t k = 0; k < truth.size(); ++k) {
    const double d = measured[k] - truth[k];
    inside += std::fabs(d) <= 3 * errors[k];
    diff2 += d * d;
    true2 += truth[k] * truth[k];
    err2 += errors[k] * errors[k];
  }
  f.within_3_sigma = truth.empty() ? 0.0 : static_cast<double>(inside) / static_cast<double>(truth.size());
  f.relative_error = true2 > 0 ? std::sqrt(diff2 / true2) : 0.0;
  f.relative_noise = true2 > 0 ? std::sqrt(err2 / true2) : 0.0;
  return f;
}

int run_measure(const Global& g, const MeasureOptions& o) {
  (void)g;
  sim::ExampleRing ring;
  if (!sim::example_ring(o.ring, &ring)) {
    std::cerr << "zorfb: error: no ring '" << o.ring << "' (ring96 or ring320)\n";
    return kUsage;
  }
  sim::MachineSettings s;
  s.seed = o.seed;
  s.noise_mm = o.noise_mm;
  s.model_error = o.model_error;
  sim::Machine machine(ring.matrix, s);
  const std::vector<int> rows = pick(ring.matrix.monitor_planes, o.plane);
  const std::vector<int> cols = pick(ring.matrix.corrector_planes, o.plane);
  sim::MachineClock clock(machine);
  sim::MachineSource source(machine, rows, 1.0 / o.orbit_hz);
  sim::MachineSink sink(machine, cols);
  const zl::MeasureConfig cfg = config_for(o, ring.matrix, rows, cols, s.kick_limit_mrad);
  zl::MeasureState state;
  const auto wall0 = std::chrono::steady_clock::now();
  const zl::MeasureResult r = zl::measure_response(source, sink, clock, cfg, &state);
  const double wall_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
  if (!r.ok || !r.complete) {
    std::cerr << "zorfb: error: the measurement failed: " << r.error << '\n';
    return kFailure;
  }
  print_summary(o, r, wall_s);
  const std::vector<double> truth = sub(machine.true_response(), machine.correctors(), rows, cols);
  const TruthFigures f = compare_to_truth(r.matrix.values, r.errors.values, truth);
  std::printf(
      "against the true response: %.2f %% of the elements within 3 sigma, |M - T|/|T| = %.3g "
      "(the errors' |E|/|T| = %.3g)\n",
      100 * f.within_3_sigma, f.relative_error, f.relative_noise);
  if (!o.out.empty()) {
    const LabelledReport w = zl::write_measurement(o.out, r);
    if (!w.ok) return std::cerr << "zorfb: error: " << w.error << '\n', kFailure;
    std::printf("written: %s, %s\n", o.out.c_str(), zl::errors_path(o.out).c_str());
  }
  if (!o.truth.empty()) {
    LabelledMatrix t = r.matrix;
    t.values = truth;
    const LabelledReport w =
        write_labelled_matrix(o.truth.c_str(), t, {"true response of the simulated machine"});
    if (!w.ok) return std::cerr << "zorfb: error: " << w.error << '\n', kFailure;
  }
  return kOk;
}

}  // namespace cli
}  // namespace zor_feedback
