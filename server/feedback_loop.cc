#include "feedback_loop.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <exception>
#include <limits>
#include <optional>
#include <system_error>
#include <utility>

#include "loop_core.h"

namespace zor_feedback {
namespace server {

namespace {

std::atomic<int> running_inversions{0};

clock::duration to_duration(double seconds) {
  return std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(seconds));
}

}  // namespace

// Signals belong to the server's own handling; these threads may start
// before the server blocks them.
void block_signals() {
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, nullptr);
}

std::atomic<int>& jobs_running() { return running_inversions; }

namespace {

// Under both locks: serves c (with the correction's change, or its new
// correction) when it is sound, else says why not; ends job `id`.
void serve(FeedbackLoop::Core& k, FeedbackLoop::Request& r, sim::FeedbackSimulation::Candidate& c,
           std::unique_ptr<zor_feedback::Correction> next, const std::string& carried, const LoopInverse& inv,
           long long id) {
  std::string error;
  // Prepared beside the cycles: the next step finds its inverses made. A
  // correction changed meanwhile (a limit, a gain) takes the change as it
  // is, tried on the same configuration (it cannot fail), and its next step
  // inverts.
  if (c.refusal.empty() && r.change && !k.correction->adopt(std::move(r.prepared)).ok)
    if (std::string why = r.change(*k.correction); !why.empty()) c.refusal = why;
  const bool ok = k.sim->commit(c, &error);
  const bool fresh = ok && next;
  if (fresh) install_correction(k, std::move(next));
  if (ok && r.change) {
    if (r.on_served) r.on_served(k);
    k.calculated = FeedbackLoop::Core::Calculated{};
    publish_configuration(k);
  }
  if (ok && k.standard) {
    k.served_inverse = loop_inverse_text(inv);
    k.sim->note("the loop's inverse: " + k.served_inverse);
  }
  const double took = std::chrono::duration<double>(clock::now() - k.job_started).count();
  k.last.kind = ok ? FeedbackLoop::Outcome::served : FeedbackLoop::Outcome::refused;
  std::string what = c.what.empty() ? std::string("the first inversion") : c.what;
  if (fresh && !carried.empty()) {
    // Gone names lose their settings: the answer, Status and HISTORY say which.
    k.carried = "settings of the matrix before: " + carried;
    k.sim->note(k.carried);
    what += "; " + k.carried;
  }
  k.last.text = ok ? what : error;
  char s[40];
  std::snprintf(s, sizeof s, " (after %.3g s)", took);
  k.inversion_status = (ok ? "served: " : "refused: ") + what + s + (ok ? "" : ": " + error);
  k.jobs_done = id;
  if (k.state == FeedbackLoop::State::starting) {
    // On devices the loop moves a real ring: only after a Start.
    const FeedbackLoop::State served =
        k.source != nullptr ? FeedbackLoop::State::stopped : FeedbackLoop::State::running;
    k.state = ok ? served : FeedbackLoop::State::fault;
    if (!ok) k.fault = error;
    k.next = clock::now();
  }
  k.events.post((ok ? FeedbackLoop::kInverse : 0u) | FeedbackLoop::kInversionStatus | FeedbackLoop::kState);
  k.changed.notify_all();
  k.wake.notify_all();
}

// `text` with every `path` shown as `name`.
std::string shown_as(std::string text, const std::string& path, const std::string& name) {
  if (path.empty()) return text;
  for (std::size_t at = text.find(path); at != std::string::npos; at = text.find(path, at + name.size()))
    text.replace(at, path.size(), name);
  return text;
}

// The re-inversion's own thread: computes without the lock, serves the
// result under it unless the loop ended meanwhile.
void work(std::shared_ptr<FeedbackLoop::Core> core, FeedbackLoop::Request r,
          std::unique_ptr<sim::FeedbackSimulation::Candidate> c, long long id) {
  block_signals();
  FeedbackLoop::Core& k = *core;
  // The standard loop steps by its planes' inverses: the whole matrix is
  // inverted only as the check of a file, and the planes' inverses served.
  if (!k.standard || !c->file.empty()) k.sim->compute(*c);
  std::string carried;
  std::unique_ptr<zor_feedback::Correction> next = next_correction(k, *c, &carried);
  // The library and the history name the file by its path: clients learn
  // the name they gave.
  c->refusal = shown_as(c->refusal, c->file, r.name);
  if (!c->file.empty()) c->file = r.name;
  LoopInverse inv;
  const zor_feedback::Correction* config = next              ? next.get()
                                           : r.prepared.ok() ? &r.prepared.settings()
                                                             : nullptr;
  if (k.standard && c->refusal.empty() && config != nullptr) {
    inv = loop_inverse(*config, next ? next->matrix() : *r.values);
    // The step's own inverses, made here and not in the cycle after the change.
    const zor_feedback::Outcome made =
        inv.report.ok && !next ? r.prepared.prepare() : zor_feedback::Outcome{true, {}};
    if (!inv.report.ok)
      c->refusal = inv.report.error;
    else if (!made.ok)
      c->refusal = made.error;
    else
      serve_in(inv, *c);
  }
  {
    std::lock_guard<std::timed_mutex> hold(k.work);
    std::lock_guard<std::mutex> lock(k.mutex);
    k.inverting = false;
    if (!k.quit) serve(k, r, *c, std::move(next), carried, inv, id);
  }
  c.reset();
  next.reset();
  core.reset();  // may end the simulation of a loop that ended
  --running_inversions;
}

}  // namespace

FeedbackLoop::FeedbackLoop(sim::FeedbackSimulation::Settings settings, const std::string& file_name,
                           double period_s, std::function<void(const ChangeQueue::Entry&)> notify,
                           std::unique_ptr<zor_feedback::Correction> carry_from,
                           zor_feedback::loop::OrbitSource* source, zor_feedback::loop::CorrectorSink* sink)
    : core_(std::make_shared<Core>()), notify_(std::move(notify)) {
  Core& k = *core_;
  k.carry_from = std::move(carry_from);
  k.source = source;
  k.sink = sink;
  k.period = to_duration(period_s);
  const std::string file = settings.matrix_file;
  // The loop's gain and SVD engine are the correction's until a client changes them.
  k.standard = settings.inversion == zor_feedback::Inversion::standard;
  for (zor_feedback::PlaneSettings& p : k.view.planes) {
    p.gain = settings.controller.ki;
    p.cut.method = settings.method;
  }
  for (int p = 0; p < 2; ++p) k.controller[p] = k.view.controller[p] = settings.controller;
  k.sim = std::make_unique<sim::FeedbackSimulation>(std::move(settings));
  if (!k.sim->ok()) {
    k.fault = k.sim->error();
    k.state = State::fault;
    k.sim.reset();
    return;  // no threads: there is nothing to run
  }
  thread_ = std::thread([this] { run(); });
  notifier_ = std::thread([this] { notify_changes(); });
  Request first;
  first.file = file;
  first.name = file_name;
  first.tol = k.sim->requested_tol();
  first.keep = k.sim->requested_keep();
  submit(std::move(first), std::chrono::milliseconds(0));  // the loop starts when it is served
}

FeedbackLoop::~FeedbackLoop() {
  end_measurement();  // it restores the correctors, which needs the simulation
  {
    std::lock_guard<std::mutex> lock(core_->mutex);
    core_->quit = true;
  }
  core_->wake.notify_all();
  core_->changed.notify_all();
  core_->events.close();
  if (thread_.joinable()) thread_.join();
  if (notifier_.joinable()) notifier_.join();
}

std::mutex& FeedbackLoop::mutex() { return core_->mutex; }
sim::FeedbackSimulation* FeedbackLoop::simulation() { return core_->sim.get(); }
int FeedbackLoop::inversions_running() { return running_inversions.load(); }

namespace {

// A loop that makes the orbit worse cycle after cycle (a wrong sign, a model
// far from the machine) stops instead of running on.
constexpr double kGrowthPercent = 10.0;
constexpr int kGrowthCycles = 5;

// Under the mutex: the divergence rule's verdict on this cycle's rms; empty
// when it does not trip.
std::string divergence(FeedbackLoop::Core& k, double rms) {
  const bool grew = zor_feedback::loop::rms_grew(rms, k.last_rms, kGrowthPercent);
  k.last_rms = rms;
  if (!k.trips.count(zor_feedback::loop::TripReason::rms_growing, grew, kGrowthCycles)) return {};
  char text[160];
  std::snprintf(text, sizeof text, "the orbit rms grew by more than %g %% a cycle for %d cycles (now %.4g)",
                kGrowthPercent, kGrowthCycles, rms);
  return text;
}

}  // namespace

void FeedbackLoop::run() {
  block_signals();
  Core& k = *core_;
  std::unique_lock<std::mutex> lock(k.mutex);
  while (!k.quit) {
    // Every wake-up (start, stop, a new period, the end) looks again.
    if (k.state != State::running && k.state != State::alarm) {
      k.wake.wait(lock);
      continue;
    }
    if (clock::now() < k.next) {
      k.wake.wait_until(lock, k.next);
      continue;
    }
    const clock::time_point began = clock::now();
    try {
      if (!k.standard) ++k.orbits;
      const sim::CycleRecord rec = k.standard ? correction_cycle(core_, lock) : k.sim->cycle();
      if (k.state == State::running || k.state == State::alarm) {  // not stopped meanwhile
        const std::string trip = rec.tripped.empty() ? divergence(k, rec.orbit_rms) : rec.tripped;
        k.alarm = trip.empty() ? rec.skipped : trip;
        k.state = !trip.empty() ? State::tripped : rec.skipped.empty() ? State::running : State::alarm;
      }
    } catch (const std::exception& e) {
      k.fault = std::string("cycle ") + std::to_string(k.cycles) + " failed: " + e.what();
      k.state = State::fault;
    }
    ++k.cycles;
    k.cycle_times.add(std::chrono::duration_cast<zor_feedback::loop::Duration>(clock::now() - began));
    // The next cycle one period after this one was due; a loop that fell
    // behind by more than a period starts afresh instead of catching up.
    k.next += k.period;
    const clock::time_point now = clock::now();
    if (k.next + k.period < now) k.next = now;
    // Each cycle its own entry: its events carry its own counter.
    k.events.post_cycle(kCycle, k.cycles);
    k.changed.notify_all();
  }
}

void FeedbackLoop::notify_changes() {
  block_signals();
  while (const std::optional<ChangeQueue::Entry> e = core_->events.take()) notify_(*e);
}

long long FeedbackLoop::events_dropped() { return core_->events.dropped(); }

std::string FeedbackLoop::start() { return switch_loop(true); }
std::string FeedbackLoop::stop() { return switch_loop(false); }

std::string FeedbackLoop::switch_loop(bool run) {
  const std::string refused = std::string(run ? "Start" : "Stop") + " refused: ";
  {
    std::lock_guard<std::mutex> lock(core_->mutex);
    Core& k = *core_;
    if (k.state == State::fault)
      return refused + "the device is in FAULT (" + k.fault + "); Init tries again";
    if (k.state == State::starting)
      return refused + "the first inversion still runs" + (run ? "; the loop starts after it" : "");
    // Stop also acknowledges a trip.
    const bool on =
        k.state == State::running || k.state == State::alarm || (!run && k.state == State::tripped);
    if (on == run) return refused + "the loop is already " + (run ? "running" : "stopped");
    if (run && k.measuring) return refused + "a response measurement runs; AbortMeasurement ends it";
    // The first step starts from the correctors as they stand now.
    std::string unread;
    if (run && k.source != nullptr &&
        !(k.sim->on_devices() ? k.sim->read_kicks(&unread) : k.sim->use_devices(k.source, k.sink, &unread)))
      return refused + unread;
    k.state = run ? State::running : State::stopped;
    k.pi_afresh = k.pi_afresh || run;
    k.trips.clear();
    k.last_rms = std::numeric_limits<double>::quiet_NaN();
    if (run) {
      k.next = clock::now();
      k.cycle_times.clear();
    } else {
      k.alarm.clear();
    }
    k.events.post(kState);
  }
  core_->wake.notify_all();
  core_->changed.notify_all();
  return {};
}

FeedbackLoop::State FeedbackLoop::state() {
  std::lock_guard<std::mutex> lock(core_->mutex);
  return core_->state;
}

std::string FeedbackLoop::status() {
  std::lock_guard<std::mutex> lock(core_->mutex);
  const Core& k = *core_;
  if (k.state == State::fault) return "fault: " + k.fault;
  if (k.state == State::starting) return "starting: the first inversion runs";
  const zor_feedback::SvdReport& r = k.sim->report();
  const bool standard = r.inversion == zor_feedback::Inversion::standard;
  char text[240];
  std::snprintf(text, sizeof text, "%s after %lld cycles, period %.3g s; %d x %d matrix, %s inversion (%s), ",
                k.state == State::stopped || k.state == State::tripped ? "stopped" : "running", k.cycles,
                std::chrono::duration<double>(k.period).count(), r.rows, r.cols,
                standard ? "standard" : "classic", zor_feedback::svd_method_name(r.method));
  std::string s = text;
  if (standard) {
    s += "the loop's inverse: " + k.served_inverse;
  } else {
    std::snprintf(text, sizeof text, "%d of %d singular values used (tolerance %.3e)", r.used,
                  static_cast<int>(r.singular_values.size()), k.sim->tolerance());
    s += text;
  }
  if (k.state == State::alarm) s = "alarm: " + k.alarm + "\n" + s;
  if (k.state == State::tripped) s = "tripped: " + k.alarm + "; Start runs the loop again\n" + s;
  if (k.inverting) s += "\n" + k.inversion_status;
  if (!k.carried.empty()) s += "\n" + k.carried;
  for (const std::string& w : r.warnings) s += "\n" + w;
  return s;
}

std::string FeedbackLoop::inversion_status() {
  std::lock_guard<std::mutex> lock(core_->mutex);
  return core_->inversion_status;
}

long long FeedbackLoop::cycles() {
  std::lock_guard<std::mutex> lock(core_->mutex);
  return core_->cycles;
}

zor_feedback::loop::CycleTimes FeedbackLoop::cycle_times() {
  std::lock_guard<std::mutex> lock(core_->mutex);
  return core_->cycle_times.times();
}

double FeedbackLoop::period() {
  std::lock_guard<std::mutex> lock(core_->mutex);
  return std::chrono::duration<double>(core_->period).count();
}

bool FeedbackLoop::period_ok(double seconds, std::string* error) {
  constexpr double shortest = 0.01, longest = 3600.0;
  if (seconds >= shortest && seconds <= longest) return true;  // not a NaN either
  char text[100];
  std::snprintf(text, sizeof text, "period %g s refused: it must lie between %g and %g s", seconds, shortest,
                longest);
  *error = text;
  return false;
}

bool FeedbackLoop::set_period(double seconds, std::string* error) {
  if (!period_ok(seconds, error)) return false;
  {
    std::lock_guard<std::mutex> lock(core_->mutex);
    core_->next += to_duration(seconds) - core_->period;  // the next cycle one new period after the last
    core_->period = to_duration(seconds);
  }
  core_->wake.notify_all();
  return true;
}

zor_feedback::SvdReport FeedbackLoop::inversion() {
  std::lock_guard<std::mutex> lock(core_->mutex);
  return core_->sim->report();
}

double FeedbackLoop::simulation_tolerance() {
  std::lock_guard<std::mutex> lock(core_->mutex);
  return core_->sim->tolerance();
}

FeedbackLoop::Outcome FeedbackLoop::invert(double tol, std::chrono::milliseconds wait) {
  char what[60];
  std::snprintf(what, sizeof what, "tolerance %.3e", tol);
  if (core_->standard)  // the cut of both planes
    return reinvert_correction(
        what,
        [tol](zor_feedback::Correction& c) {
          for (const zor_feedback::Plane plane : {zor_feedback::Plane::x, zor_feedback::Plane::y}) {
            zor_feedback::PlaneSettings p = c.plane(plane);
            p.cut.filter = tol != -1.0 ? zor_feedback::Filter::by_rcond(tol) : zor_feedback::Filter();
            if (const zor_feedback::Outcome o = c.set_plane(plane, p); !o.ok) return o.error;
          }
          return std::string();
        },
        wait);
  Request r;
  r.what = what;
  r.tol = tol;
  return submit(std::move(r), wait);
}

FeedbackLoop::Outcome FeedbackLoop::invert_again(std::chrono::milliseconds wait) {
  if (core_->standard) return reinvert_correction("Invert", nullptr, wait);
  Request r;
  r.what = "Invert";
  {
    std::lock_guard<std::mutex> lock(core_->mutex);
    if (core_->sim) {
      r.tol = core_->sim->requested_tol();
      r.keep = core_->sim->requested_keep();
    }
  }
  return submit(std::move(r), wait);
}

FeedbackLoop::Outcome FeedbackLoop::load_matrix(const std::string& file, const std::string& name,
                                                std::chrono::milliseconds wait) {
  Request r;
  r.file = file;
  r.name = name;
  r.what = "loaded " + name;
  {
    std::lock_guard<std::mutex> lock(core_->mutex);
    if (core_->sim) {
      r.tol = core_->sim->requested_tol();
      r.keep = core_->sim->requested_keep();
    }
  }
  return submit(std::move(r), wait);
}

FeedbackLoop::Outcome FeedbackLoop::submit(Request r, std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> lock(core_->mutex);
  Core& k = *core_;
  Outcome out;
  if (k.state == State::fault) {
    out.kind = Outcome::refused;
    out.text = "refused: the device is in FAULT (" + k.fault + "); Init tries again";
    return out;
  }
  if (k.inverting) {
    const double since = std::chrono::duration<double>(clock::now() - k.job_started).count();
    char s[40];
    std::snprintf(s, sizeof s, "%.1f", since);
    out.text = "refused: a re-inversion (" + (k.job.empty() ? std::string("the first one") : k.job) +
               ") has run for " + s + " s; try again when InversionStatus no longer reads 'running'";
    return out;  // busy
  }
  auto c = k.sim->prepare(r.file, r.tol, r.keep, r.what);
  const std::string what = r.what;
  const long long id = ++k.jobs_started;
  k.inverting = true;
  k.job = what;
  k.job_started = clock::now();
  k.inversion_status = "running: " + (what.empty() ? std::string("the first inversion") : what);
  k.events.post(kInversionStatus);
  k.changed.notify_all();
  ++running_inversions;
  try {
    std::thread(work, core_, std::move(r), std::move(c), id).detach();
  } catch (const std::system_error&) {
    --running_inversions;
    k.inverting = false;
    throw;
  }
  if (!k.changed.wait_for(lock, wait, [&k, id] { return k.jobs_done >= id || k.quit; })) {
    out.kind = Outcome::running;
    out.text = k.inversion_status;
    return out;
  }
  return k.last;
}

}  // namespace server
}  // namespace zor_feedback
