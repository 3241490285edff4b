// The response measurement of the machine the loop steers: the loop's
// procedure over the simulation, in a thread of its own, on the machine's
// clock, the mutex taken for each read and write only so that readers and
// the device's other commands never wait for it.
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <system_error>
#include <utility>

#include "loop_core.h"
#include "machine_io.h"
#include "zor_feedback/loop/measurement.h"

namespace zor_feedback {
namespace server {

namespace {

namespace zl = zor_feedback::loop;

// Machine time between two orbit readings (100 Hz: a column is short beside
// the machine's spectral lines), the readings per side, and the orbit change a kick aims
// for at the monitor that answers most (by the served matrix).
constexpr double kOrbitPeriodS = 0.01;
constexpr int kReadings = 16;
constexpr double kTargetChange = 0.2;  // orbit units (mm)
// The supplies' read-back resolution (mrad): a lag that has settled reads
// its set-point, so that the start values, and what is restored, are the
// set-points CORRECTORS showed.
constexpr double kReadbackResolution = 1e-9;
// The simulation computes a column in a millisecond; each takes at least
// this much wall time, so that a client sees the progress and can abort
// (ring96: about a second).
constexpr std::chrono::milliseconds kColumnWall{20};

// Under the mutex: the read-backs, each at its set-point when within the resolution.
std::vector<double> readbacks(sim::Machine& m) {
  std::vector<double> r = m.readbacks();
  for (std::size_t j = 0; j < r.size(); ++j)
    if (std::fabs(r[j] - m.setpoints()[j]) <= kReadbackResolution) r[j] = m.setpoints()[j];
  return r;
}

// Under the mutex: lets the supplies follow the last write of the loop
// (at most 10 s of machine time), so that the measurement starts from the
// set-points and not from a lag.
void settle_supplies(sim::Machine& m) {
  for (int i = 0; i < 100 && readbacks(m) != m.setpoints(); ++i) m.advance(0.1);
}

// The simulation's clock, source and sink, each call under the mutex. The
// sink writes through the simulation, so that CORRECTORS shows every kick.
class LockedClock final : public zl::Clock {
 public:
  explicit LockedClock(FeedbackLoop::Core& k) : k_(k), clock_(k.sim->machine()) {}
  zl::Time now() const override {
    std::lock_guard<std::mutex> lock(k_.mutex);
    return clock_.now();
  }
  void sleep_for(zl::Duration d) override {
    std::lock_guard<std::mutex> lock(k_.mutex);
    clock_.sleep_for(d);
  }

 private:
  FeedbackLoop::Core& k_;
  sim::MachineClock clock_;
};

class LockedSource final : public zl::OrbitSource {
 public:
  explicit LockedSource(FeedbackLoop::Core& k)
      : k_(k), source_(k.sim->machine(), sim::all_of(k.sim->monitors()), kOrbitPeriodS) {}
  zl::Orbit read() override {
    std::lock_guard<std::mutex> lock(k_.mutex);
    return source_.read();
  }

 private:
  FeedbackLoop::Core& k_;
  sim::MachineSource source_;
};

class SimulationSink final : public zl::CorrectorSink {
 public:
  explicit SimulationSink(FeedbackLoop::Core& k) : k_(k) {}
  zl::SinkResult write(const std::vector<double>& v) override {
    std::lock_guard<std::mutex> lock(k_.mutex);
    zl::SinkResult r;
    r.ok = k_.sim->set_kicks(v, &r.error);
    k_.events.post(FeedbackLoop::kCycle);  // CORRECTORS
    k_.changed.notify_all();
    return r;
  }
  zl::SinkResult read() override {
    std::lock_guard<std::mutex> lock(k_.mutex);
    zl::SinkResult r;
    r.ok = true;
    r.values = readbacks(k_.sim->machine());
    return r;
  }

 private:
  FeedbackLoop::Core& k_;
};

// Under the mutex: the measurement's settings for the served matrix's labels
// and the operator's kick limits within the machine's.
zl::MeasureConfig config_of(const FeedbackLoop::Core& k) {
  const LabelledMatrix& m = k.correction->matrix();
  zl::MeasureConfig cfg;
  cfg.monitors = m.monitors;
  cfg.correctors = m.correctors;
  cfg.monitor_planes = m.monitor_planes;
  cfg.corrector_planes = m.corrector_planes;
  cfg.units = m.units;
  cfg.prior = m.values;
  cfg.target_change = kTargetChange;
  cfg.readings = kReadings;
  const double limit = k.sim->machine().settings().kick_limit_mrad;
  for (std::size_t j = 0; j < m.correctors.size(); ++j) {
    const KickLimit l = j < k.view.limits.size() ? k.view.limits[j] : KickLimit{};
    cfg.lower.push_back(std::max(-limit, l.min));
    cfg.upper.push_back(std::min(limit, l.max));
  }
  cfg.settle_min = std::chrono::milliseconds(200);  // four supply time constants
  cfg.readback_tolerance = 1e-6;
  return cfg;
}

void publish(FeedbackLoop::Core& k, double progress, const std::string& status, bool done) {
  std::lock_guard<std::mutex> lock(k.mutex);
  k.measure_progress = progress;
  k.measure_status = status;
  if (done) k.measuring = false;
  k.events.post(FeedbackLoop::kMeasure);
  k.changed.notify_all();
}

std::string restore_text(const zl::MeasureResult& r) {
  if (r.restored) return "correctors restored";
  std::string s = "NOT RESTORED:";
  for (const std::string& c : r.not_restored) s += " " + c;
  return s;
}

// What a finished run says, and writes when it is complete.
std::string finish(const zl::MeasureResult& r, const zl::MeasureState& st, int n, const std::string& file,
                   const std::string& name, bool aborted) {
  char text[200];
  if (!r.ok)
    return "failed at column " + std::to_string(st.next_column) + ": " + r.error + "; " + restore_text(r);
  if (!r.complete) {
    std::snprintf(text, sizeof text, "%s after %d of %d columns; ", aborted ? "aborted" : "stopped",
                  st.next_column, n);
    return text + restore_text(r);
  }
  const LabelledReport w = zl::write_measurement(file, r);
  if (!w.ok) return "failed: " + w.error + "; " + restore_text(r);
  std::snprintf(text, sizeof text,
                "done: %s (%d x %d) and its errors written, %ld orbit reads, %.1f s of machine time; ",
                name.substr(0, 80).c_str(), r.matrix.rows, r.matrix.cols, r.orbit_reads,
                std::chrono::duration<double>(r.elapsed).count());
  return text + restore_text(r);
}

// The measurement's own thread: a column per call of the procedure, so that
// the progress moves and a stop request ends it at the next orbit read.
void measure_run(std::shared_ptr<FeedbackLoop::Core> core, zl::MeasureConfig cfg, std::string file,
                 std::string name) {
  block_signals();
  FeedbackLoop::Core& k = *core;
  LockedClock clock(k);
  LockedSource source(k);
  SimulationSink sink(k);
  const int n = static_cast<int>(cfg.correctors.size());
  cfg.max_columns = 1;
  {
    std::lock_guard<std::mutex> lock(k.mutex);
    settle_supplies(k.sim->machine());
  }
  zl::MeasureState state;
  zl::MeasureResult r;
  while (true) {
    r = zl::measure_response(source, sink, clock, cfg, &state, &k.measure_stop);
    if (!r.ok || r.complete || k.measure_stop.load()) break;
    publish(k, 100.0 * state.next_column / n,
            "running: column " + std::to_string(state.next_column + 1) + " of " + std::to_string(n), false);
    std::unique_lock<std::mutex> lock(k.mutex);
    k.changed.wait_for(lock, kColumnWall, [&k] { return k.measure_stop.load(); });
  }
  const std::string text = finish(r, state, n, file, name, k.measure_stop.load());
  publish(k, r.complete && r.ok ? 100.0 : 100.0 * state.next_column / n, text, true);
}

bool exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace

std::string FeedbackLoop::measure(const std::string& file, const std::string& name) {
  Core& k = *core_;
  const std::string refused = "MeasureMatrix refused: ";
  std::lock_guard<std::mutex> lock(k.mutex);
  if (k.measuring) return refused + "a measurement runs (" + k.measure_status + "); AbortMeasurement ends it";
  if (k.state == State::fault) return refused + "the device is in FAULT (" + k.fault + "); Init tries again";
  if (k.correction == nullptr) return refused + "no matrix served yet (its labels name the result)";
  if (k.sim->on_devices())
    return refused + "it measures the simulated machine, and this device steers the ring of OrbitSources";
  if (k.state == State::running || k.state == State::alarm)
    return refused + "the loop is running and moves the correctors; Stop it first";
  if (exists(file) || exists(zl::errors_path(file)))
    return refused + "'" + name.substr(0, 200) +
           "' or its errors file exists; a measurement writes new files";
  if (measurer_.joinable()) measurer_.join();  // the last one has ended
  k.measuring = true;
  k.measure_stop = false;
  k.measure_progress = 0;
  k.measure_status = "running: column 1 of " + std::to_string(k.correction->matrix().cols);
  try {
    measurer_ = std::thread(measure_run, core_, config_of(k), file, name);
  } catch (const std::system_error& e) {
    k.measuring = false;
    k.measure_status = std::string("failed: no thread: ") + e.what();
    return refused + "no thread could be started";
  }
  return {};
}

std::string FeedbackLoop::abort_measurement() {
  std::lock_guard<std::mutex> lock(core_->mutex);
  if (!core_->measuring) return "AbortMeasurement refused: no measurement runs";
  core_->measure_stop = true;
  core_->changed.notify_all();
  return {};
}

void FeedbackLoop::end_measurement() {
  core_->measure_stop = true;
  core_->changed.notify_all();
  if (measurer_.joinable()) measurer_.join();
}

double FeedbackLoop::measure_progress() {
  std::lock_guard<std::mutex> lock(core_->mutex);
  return core_->measure_progress;
}

std::string FeedbackLoop::measure_status() {
  std::lock_guard<std::mutex> lock(core_->mutex);
  return core_->measure_status;
}

}  // namespace server
}  // namespace zor_feedback
