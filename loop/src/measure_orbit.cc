// The orbit side of a measurement: checked reads, averages, settling.
#include <cmath>
#include <limits>

#include "guarded.h"
#include "measure_steps.h"

namespace zor_feedback {
namespace loop {
namespace detail {

std::vector<double> read_orbit(MeasureRun& run) {
  if (run.stop && run.stop->load()) throw MeasureAbort{"stopped on request", true};
  Orbit o = guarded_read(run.source);
  ++run.reads;
  ++run.state.orbit_reads;
  if (!o.ok) throw MeasureAbort{"the orbit could not be read: " + o.error};
  if (run.monitors == 0) run.monitors = o.values.size();
  if (o.values.size() != run.monitors || o.valid.size() != run.monitors)
    throw MeasureAbort{"the orbit has " + std::to_string(o.values.size()) + " monitors, expected " +
                       std::to_string(run.monitors)};
  for (std::size_t i = 0; i < run.monitors; ++i)
    if (!o.valid[i] || !std::isfinite(o.values[i]))
      throw MeasureAbort{"monitor " + monitor_name(run.config, i) + " was not read"};
  return std::move(o.values);
}

// Welford's sums, so that a large orbit with a small noise keeps its variance.
OrbitAverage average_orbits(MeasureRun& run, int n) {
  OrbitAverage a;
  std::vector<double> m2;
  const Time first = run.clock.now();
  for (a.n = 1; a.n <= n; ++a.n) {
    const std::vector<double> v = read_orbit(run);  // the first sets run.monitors on a fresh start
    if (a.n == 1) {
      a.mean.assign(run.monitors, 0.0);
      m2.assign(run.monitors, 0.0);
    }
    for (std::size_t i = 0; i < run.monitors; ++i) {
      const double d = v[i] - a.mean[i];
      a.mean[i] += d / a.n;
      m2[i] += d * (v[i] - a.mean[i]);
    }
  }
  a.n = n;
  a.at = first + (run.clock.now() - first) / 2;
  a.var.resize(run.monitors);
  for (std::size_t i = 0; i < run.monitors; ++i) a.var[i] = m2[i] / (n - 1);
  return a;
}

std::vector<double> read_kicks(MeasureRun& run, const char* when) {
  SinkResult r = guarded_read(run.sink);
  if (!r.ok) throw MeasureAbort{std::string("the correctors could not be read ") + when + ": " + r.error};
  if (run.state.started && r.values.size() != run.state.start_kicks.size())
    throw MeasureAbort{"the sink read back " + std::to_string(r.values.size()) + " correctors, expected " +
                       std::to_string(run.state.start_kicks.size())};
  return std::move(r.values);
}

namespace {

// The first corrector whose read-back is off its set-point, or -1.
long off_setpoint(const MeasureConfig& c, const std::vector<double>& rb, const std::vector<double>& sp) {
  for (std::size_t j = 0; j < sp.size(); ++j)
    if (!(std::fabs(rb[j] - sp[j]) <= c.readback_tolerance)) return static_cast<long>(j);
  return -1;
}

void wait_readbacks(MeasureRun& run, const std::vector<double>& sp, Time t0) {
  for (;;) {
    const long j = off_setpoint(run.config, read_kicks(run, "after a write"), sp);
    if (j < 0) return;
    if (run.clock.now() - t0 >= run.config.settle_max)
      throw MeasureAbort{"corrector " + corrector_name(run.config, static_cast<std::size_t>(j)) +
                         " did not reach its set-point"};
    run.clock.sleep_for(run.config.poll);
  }
}

// The rms over monitors of the change between two orbits, each monitor's
// change in its own noise (sqrt(2) sigma, plus the floor).
double change_in_noise(const MeasureRun& run, const std::vector<double>& a, const std::vector<double>& b) {
  double sum = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const double scale = std::sqrt(2.0) * run.state.noise[i] + run.config.noise_floor;
    const double d = std::fabs(a[i] - b[i]);
    const double z = scale > 0.0 ? d / scale : (d == 0.0 ? 0.0 : std::numeric_limits<double>::infinity());
    sum += z * z;
  }
  return a.empty() ? 0.0 : std::sqrt(sum / static_cast<double>(a.size()));
}

bool wait_orbit(MeasureRun& run, Time t0) {
  std::vector<double> prev = read_orbit(run);
  for (int reads = 1;; ++reads) {
    std::vector<double> cur = read_orbit(run);
    if (change_in_noise(run, prev, cur) <= run.config.settle_sigma) return true;
    if (run.clock.now() - t0 >= run.config.settle_max || reads >= run.config.settle_reads_max) return false;
    prev = std::move(cur);
  }
}

}  // namespace

bool set_and_settle(MeasureRun& run, const std::vector<double>& sp, Duration* waited) {
  const Time t0 = run.clock.now();
  bool threw = false;
  run.wrote = true;
  const SinkResult w = guarded_write(run.sink, sp, &threw);
  if (!w.ok) throw MeasureAbort{"the sink refused a write: " + w.error};
  run.clock.sleep_for(run.config.settle_min);
  wait_readbacks(run, sp, t0);
  const bool settled = wait_orbit(run, t0);
  *waited = run.clock.now() - t0;
  return settled;
}

}  // namespace detail
}  // namespace loop
}  // namespace zor_feedback
