// measure_response: the order of a measurement's steps, and the restore on
// every way out of it.
#include <cmath>
#include <ctime>
#include <exception>

#include "measure_steps.h"
#include "zor_feedback/loop/measurement.h"

namespace zor_feedback {
namespace loop {

using detail::MeasureAbort;
using detail::MeasureRun;

namespace {

std::string utc_now() {
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

std::string check_config(const MeasureConfig& c, const MeasureState& s) {
  if (c.readings < 2) return "readings: at least 2 per side (the error comes from their spread)";
  if (!(c.settle_sigma > 0.0) || !(c.noise_floor >= 0.0) || !(c.readback_tolerance >= 0.0) ||
      !(c.drift_sigma > 0.0))
    return "settle_sigma and drift_sigma must be positive, noise_floor and readback_tolerance not negative";
  if (c.settle_min.count() < 0 || c.settle_max < c.settle_min || c.poll.count() <= 0 ||
      c.settle_reads_max < 1)
    return "settle times: 0 <= settle_min <= settle_max, poll > 0, settle_reads_max >= 1";
  if (!s.started) return {};
  const std::size_t n = s.start_kicks.size(), m = s.start_orbit.size();
  if (n == 0 || m == 0 || s.kicks.size() != n || s.capped.size() != n || s.noise.size() != m ||
      s.reference.size() != m || s.values.size() != m * n || s.errors.size() != m * n || s.next_column < 0 ||
      static_cast<std::size_t>(s.next_column) > n ||
      s.columns.size() != static_cast<std::size_t>(s.next_column))
    return "the state of the measurement to resume is not consistent";
  return {};
}

// Labels that do not fit the measured sizes, or empty.
std::string check_labels(const MeasureConfig& c, std::size_t m, std::size_t n) {
  auto fits = [](std::size_t have, std::size_t want) { return have == 0 || have == want; };
  if (!fits(c.monitors.size(), m) || !fits(c.monitor_planes.size(), m))
    return "monitor labels: " + std::to_string(c.monitors.size()) + " names, " +
           std::to_string(c.monitor_planes.size()) + " planes for " + std::to_string(m) + " monitors";
  if (!fits(c.correctors.size(), n) || !fits(c.corrector_planes.size(), n))
    return "corrector labels: " + std::to_string(c.correctors.size()) + " names, " +
           std::to_string(c.corrector_planes.size()) + " planes for " + std::to_string(n) + " correctors";
  return {};
}

// A fresh measurement: the start kicks and orbit, its noise, the kicks.
// Nothing is written here.
void begin(MeasureRun& run) {
  MeasureState s;
  s.start_kicks = detail::read_kicks(run, "at the start");
  const detail::OrbitAverage a = detail::average_orbits(run, run.config.readings);
  std::string why = check_labels(run.config, run.monitors, s.start_kicks.size());
  if (why.empty()) why = detail::size_kicks(run.config, s.start_kicks, &s.kicks, &s.capped);
  if (!why.empty()) throw MeasureAbort{why};
  s.start_orbit = a.mean;
  s.reference = a.mean;
  for (double v : a.var) s.noise.push_back(std::sqrt(v));
  s.values.assign(a.mean.size() * s.start_kicks.size(), 0.0);
  s.errors = s.values;
  s.date = utc_now();
  s.orbit_reads = run.state.orbit_reads;
  s.started = true;
  run.state = std::move(s);
}

// A resumed measurement starts where the last call left the correctors.
void check_resume(MeasureRun& run) {
  run.monitors = run.state.start_orbit.size();
  const std::vector<double> rb = detail::read_kicks(run, "to resume");
  for (std::size_t j = 0; j < rb.size(); ++j)
    if (!(std::fabs(rb[j] - run.state.start_kicks[j]) <= run.config.readback_tolerance))
      throw MeasureAbort{"corrector " + detail::corrector_name(run.config, j) +
                         " is not at its start value: the measurement cannot resume"};
}

// Runs the columns; whether it stopped early because of max_columns.
bool run_columns(MeasureRun& run) {
  MeasureState& s = run.state;
  const std::size_t n = s.start_kicks.size();
  for (int done = 0; static_cast<std::size_t>(s.next_column) < n; ++done) {
    if (run.config.max_columns >= 0 && done >= run.config.max_columns) return true;
    if (run.stop && run.stop->load()) throw MeasureAbort{"stopped on request", true};
    MeasuredColumn col = detail::measure_column(run, static_cast<std::size_t>(s.next_column));
    s.columns.push_back(col);
    ++s.next_column;
  }
  return false;
}

LabelledMatrix labelled(const MeasureConfig& c, const MeasureState& s, const std::vector<double>& values) {
  LabelledMatrix l;
  const std::size_t m = s.start_orbit.size(), n = s.start_kicks.size();
  l.rows = static_cast<int>(m);
  l.cols = static_cast<int>(n);
  l.values = values;
  for (std::size_t i = 0; i < m; ++i) l.monitors.push_back(detail::monitor_name(c, i));
  for (std::size_t j = 0; j < n; ++j) l.correctors.push_back(detail::corrector_name(c, j));
  l.monitor_planes = c.monitor_planes.empty() ? std::vector<Plane>(m, Plane::x) : c.monitor_planes;
  l.corrector_planes = c.corrector_planes.empty() ? std::vector<Plane>(n, Plane::x) : c.corrector_planes;
  l.units = c.units;
  return l;
}

void fill_result(const MeasureConfig& c, const MeasureState& s, MeasureResult* r) {
  r->columns = s.columns;
  r->date = s.date;
  r->readings = c.readings;
  r->orbit_reads = s.orbit_reads;
  r->elapsed = s.elapsed;
  r->complete = s.started && static_cast<std::size_t>(s.next_column) == s.start_kicks.size();
  if (!r->complete) return;
  r->matrix = labelled(c, s, s.values);
  r->errors = labelled(c, s, s.errors);
}

}  // namespace

MeasureResult measure_response(OrbitSource& source, CorrectorSink& sink, Clock& clock,
                               const MeasureConfig& config, MeasureState* state,
                               const std::atomic<bool>* stop) {
  MeasureResult r;
  r.error = check_config(config, *state);
  if (!r.error.empty()) return r;
  MeasureRun run{source, sink, clock, config, *state, stop};
  const Time t0 = clock.now();
  r.ok = true;
  try {
    state->started ? check_resume(run) : begin(run);
    r.stopped = run_columns(run);
  } catch (const MeasureAbort& a) {
    r.ok = a.stopped;
    r.stopped = a.stopped;
    r.error = a.why;
  } catch (const std::exception& e) {
    r.ok = false;
    r.error = std::string("the measurement failed: ") + e.what();
  } catch (...) {
    r.ok = false;
    r.error = "the measurement failed with an exception of unknown type";
  }
  if (run.wrote) r.not_restored = detail::restore_kicks(run);
  r.restored = r.not_restored.empty();
  if (!r.restored) {
    r.ok = false;
    r.error = (r.error.empty() ? "" : r.error + "; ") + std::to_string(r.not_restored.size()) +
              " correctors not back at their start values";
  }
  state->elapsed += clock.now() - t0;
  fill_result(config, *state, &r);
  return r;
}

}  // namespace loop
}  // namespace zor_feedback
