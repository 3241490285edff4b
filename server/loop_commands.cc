// What a client asks of the loop's correction: masks, limits, cuts, gains,
// the policy, a dry run, applying it, undoing a step.
#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <system_error>
#include <thread>
#include <utility>

#include "loop_core.h"

namespace zor_feedback {
namespace server {

namespace {

using zor_feedback::Correction;

// How long a request waits for a step that computes before it is refused.
constexpr std::chrono::milliseconds kWorkWait{250};

bool running(FeedbackLoop::State s) {
  return s == FeedbackLoop::State::running || s == FeedbackLoop::State::alarm;
}

// Under the mutex: why the correction cannot be used now; empty when it can.
std::string unusable(const FeedbackLoop::Core& k) {
  if (k.state == FeedbackLoop::State::fault)
    return "the device is in FAULT (" + k.fault + "); Init tries again";
  if (k.correction == nullptr) return "the first inversion still runs";
  if (!k.standard)
    return "with Inversion=classic the loop steps by the served inverse; the correction needs "
           "Inversion=standard";
  return {};
}

// The masks `on` of the monitors (or correctors): those enabled first, so
// that no mask in between leaves none in use.
std::string masks(Correction& c, bool monitors, const std::vector<bool>& on) {
  const std::vector<std::string>& names = monitors ? c.matrix().monitors : c.matrix().correctors;
  const char* what = monitors ? "MONITOR_ENABLED" : "CORRECTOR_ENABLED";
  if (on.size() != names.size())
    return std::string(what) + ": " + std::to_string(on.size()) + " values for " +
           std::to_string(names.size()) + (monitors ? " monitors" : " correctors");
  for (const bool pass : {true, false})
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (on[i] != pass) continue;
      // NAME:x, NAME:y: a name may stand in both planes.
      const std::string one =
          names[i] + ":" +
          zor_feedback::plane_name(monitors ? c.matrix().monitor_planes[i] : c.matrix().corrector_planes[i]);
      const zor_feedback::Outcome o =
          monitors ? c.set_monitor_enabled(one, on[i]) : c.set_corrector_enabled(one, on[i]);
      if (!o.ok) return o.error;
    }
  return {};
}

std::string limits(Correction& c, const std::vector<zor_feedback::KickLimit>& limits) {
  const std::vector<std::string>& names = c.matrix().correctors;
  if (limits.size() != names.size())
    return "KICK_LIMITS: " + std::to_string(limits.size()) + " rows for " + std::to_string(names.size()) +
           " correctors";
  for (std::size_t j = 0; j < names.size(); ++j) {
    const std::string one = names[j] + ":" + zor_feedback::plane_name(c.matrix().corrector_planes[j]);
    if (const zor_feedback::Outcome o = c.set_limit(one, limits[j]); !o.ok) return o.error;
  }
  return {};
}

}  // namespace

// Where a change of many names is tried first, so that a refused one changes
// nothing, and what a re-inversion inverts for.
std::unique_ptr<Correction> copy_of(const Correction& c) {
  auto s = std::make_unique<Correction>();
  s->set_matrix(c.matrix());
  s->carry_settings_from(c);  // the same names: keeps every setting
  return s;
}

// From the published view, under the mutex alone: a step that computes for
// seconds (and holds `work`) never delays Init or the exit. The matrix is
// replaced under both locks only.
std::unique_ptr<Correction> FeedbackLoop::settings_copy() {
  std::lock_guard<std::mutex> lock(core_->mutex);
  const Core& k = *core_;
  if (!k.correction) return nullptr;
  auto s = std::make_unique<Correction>();
  const CorrectionView& v = k.view;
  if (!s->set_matrix(k.correction->matrix()).ok) return nullptr;
  for (const zor_feedback::Plane plane : {zor_feedback::Plane::x, zor_feedback::Plane::y})
    s->set_plane(plane, v.planes[static_cast<int>(plane)]);
  s->set_policy(v.policy);
  if (masks(*s, true, v.monitor_enabled).empty() && masks(*s, false, v.corrector_enabled).empty() &&
      limits(*s, v.limits).empty())
    return s;
  return nullptr;
}

FeedbackLoop::Outcome FeedbackLoop::reinvert_correction(const std::string& what,
                                                        std::function<std::string(Correction&)> change,
                                                        std::chrono::milliseconds wait,
                                                        std::function<void(Core&)> on_served) {
  Core& k = *core_;
  Outcome out;
  std::unique_lock<std::timed_mutex> work(k.work, std::defer_lock);
  if (!lock_within(work, kWorkWait)) {
    out.text = what + " refused: a step is being computed; try again";
    return out;  // busy
  }
  {
    std::lock_guard<std::mutex> lock(k.mutex);
    if (std::string why = unusable(k); !why.empty()) {
      out.kind = Outcome::refused;
      out.text = what + " refused: " + why;
      return out;
    }
  }
  Request r;
  r.what = what;
  // On a draft: the settings are copied, the matrix and the inverses shared.
  r.prepared = k.correction->begin_change(change ? change : [](Correction&) { return std::string(); });
  if (!r.prepared.ok()) {
    out.kind = Outcome::refused;
    out.text = what + " refused: " + r.prepared.error();
    return out;
  }
  r.values = &k.correction->matrix();
  r.change = std::move(change);
  r.on_served = std::move(on_served);
  work.unlock();  // the re-inversion serves under it
  return submit(std::move(r), wait);
}

FeedbackLoop::CorrectionView FeedbackLoop::correction() {
  std::lock_guard<std::mutex> lock(core_->mutex);
  return core_->view;
}

zor_feedback::PlaneSettings FeedbackLoop::plane_settings(int plane) {
  std::lock_guard<std::mutex> lock(core_->mutex);
  return core_->view.planes[plane];
}

zor_feedback::LimitPolicy FeedbackLoop::limit_policy() {
  std::lock_guard<std::mutex> lock(core_->mutex);
  return core_->view.policy;
}

std::string FeedbackLoop::step_status() {
  std::lock_guard<std::mutex> lock(core_->mutex);
  return core_->view.step_status;
}

namespace {

// Runs `change` on the correction under `work` (tried first on a copy when
// `whole`), then publishes it; the refusal, prefixed by `what`, else empty.
std::string change_correction(FeedbackLoop::Core& k, const std::string& what, bool whole,
                              const std::function<std::string(Correction&)>& change) {
  std::unique_lock<std::timed_mutex> work(k.work, std::defer_lock);
  if (!lock_within(work, kWorkWait)) return what + " refused: a step is being computed; try again";
  {
    std::lock_guard<std::mutex> lock(k.mutex);
    if (std::string why = unusable(k); !why.empty()) return what + " refused: " + why;
  }
  if (whole)
    if (std::string why = change(*copy_of(*k.correction)); !why.empty()) return what + " refused: " + why;
  if (std::string why = change(*k.correction); !why.empty()) return what + " refused: " + why;
  std::lock_guard<std::mutex> lock(k.mutex);
  k.calculated = FeedbackLoop::Core::Calculated{};  // stale now
  publish_configuration(k);
  k.changed.notify_all();
  return {};
}

std::string outcome_error(const zor_feedback::Outcome& o) { return o.ok ? std::string() : o.error; }

}  // namespace

FeedbackLoop::Outcome FeedbackLoop::set_enabled(bool monitors, const std::vector<bool>& on,
                                                std::chrono::milliseconds wait) {
  return reinvert_correction(
      monitors ? "MONITOR_ENABLED" : "CORRECTOR_ENABLED",
      [monitors, on](Correction& c) { return masks(c, monitors, on); }, wait);
}

std::string FeedbackLoop::set_limits(const std::vector<zor_feedback::KickLimit>& l) {
  return change_correction(*core_, "KICK_LIMITS", true, [&](Correction& c) { return limits(c, l); });
}

FeedbackLoop::Outcome FeedbackLoop::set_filter(zor_feedback::Plane plane, const zor_feedback::Filter& filter,
                                               std::chrono::milliseconds wait) {
  const std::string what = std::string("Filter") + (plane == zor_feedback::Plane::x ? "X " : "Y ") +
                           zor_feedback::to_string(filter);
  if (filter.kind() == zor_feedback::Filter::Kind::tikhonov_auto)
    return choose_filter(plane, filter, what, wait);
  return reinvert_correction(
      what,
      [plane, filter](Correction& c) {
        zor_feedback::PlaneSettings p = c.plane(plane);
        p.cut.filter = filter;
        return outcome_error(c.set_plane(plane, p));
      },
      wait);
}

namespace {

std::string choice_text(const zor_feedback::Filter& automatic, const zor_feedback::TikhonovChoice& t) {
  char text[240];
  std::snprintf(text, sizeof text, "%s chose %s (alpha %.6g, on %d monitors x %d correctors)",
                zor_feedback::to_string(automatic).c_str(), zor_feedback::to_string(t.filter).c_str(),
                t.alpha, t.monitors, t.correctors);
  return text;
}

// Under `work` and the mutex: a copy of the correction and the last orbit
// read, to choose from without either lock; empty when they are there, else
// why not (*busy: a step holds the correction).
std::string choice_inputs(FeedbackLoop::Core& k, std::unique_ptr<Correction>* copy,
                          std::vector<double>* orbit, bool* busy) {
  std::unique_lock<std::timed_mutex> work(k.work, std::defer_lock);
  *busy = !lock_within(work, kWorkWait);
  if (*busy) return "a step is being computed; try again";
  std::lock_guard<std::mutex> lock(k.mutex);
  if (std::string why = unusable(k); !why.empty()) return why;
  if (k.orbits == 0)
    return "no orbit was read yet: the strength is chosen from the last orbit the loop read (a cycle or "
           "CalcStep)";
  *orbit = k.sim->orbit();
  *copy = copy_of(*k.correction);
  return {};
}

}  // namespace

// The strength is chosen without the locks (a decomposition may take
// seconds), then set as a fixed filter by a re-inversion like any other.
FeedbackLoop::Outcome FeedbackLoop::choose_filter(zor_feedback::Plane plane,
                                                  const zor_feedback::Filter& automatic,
                                                  const std::string& what, std::chrono::milliseconds wait) {
  std::unique_ptr<Correction> copy;
  std::vector<double> orbit;
  Outcome out;
  out.kind = Outcome::refused;
  bool busy = false;
  if (std::string why = choice_inputs(*core_, &copy, &orbit, &busy); !why.empty()) {
    if (busy) out.kind = Outcome::busy;
    out.text = what + " refused: " + why;
    return out;
  }
  const zor_feedback::TikhonovChoice t = copy->choose_tikhonov(plane, automatic, orbit);
  if (!t.ok) {
    out.text = what + " refused: " + t.error;
    return out;
  }
  const std::string chose = choice_text(automatic, t);
  out = reinvert_correction(
      what,
      [plane, t](Correction& c) {
        zor_feedback::PlaneSettings p = c.plane(plane);
        p.cut.filter = t.filter;
        return outcome_error(c.set_plane(plane, p));
      },
      wait, [plane, t, chose](Core& k) {  // only a served change records the choice
        k.view.tikhonov_choice[static_cast<int>(plane)] = t;
        k.sim->note(std::string("Filter") + (plane == zor_feedback::Plane::x ? "X " : "Y ") + chose);
      });
  if (out.kind == Outcome::served || out.kind == Outcome::running) out.text += ": " + chose;
  return out;
}

namespace {

// The plane's gain and controller as one setting: the gain is the ki.
std::string set_plane_controller(FeedbackLoop::Core& k, Correction& c, zor_feedback::Plane plane,
                                 zor_feedback::loop::ControllerConfig config) {
  const std::string problem = zor_feedback::loop::controller_problem(config);
  if (!problem.empty()) return problem;
  zor_feedback::PlaneSettings p = c.plane(plane);
  p.gain = config.ki;
  if (std::string why = outcome_error(c.set_plane(plane, p)); !why.empty()) return why;
  zor_feedback::loop::ControllerConfig& held = k.controller[static_cast<int>(plane)];
  if (held.kind != config.kind || held.kp != config.kp) k.plane_pi.reset();
  held = config;
  return {};
}

}  // namespace

std::string FeedbackLoop::set_gain(zor_feedback::Plane plane, double gain) {
  const std::string what = std::string("the gain of plane ") + zor_feedback::plane_name(plane);
  return change_correction(*core_, what, false, [&](Correction& c) {
    zor_feedback::loop::ControllerConfig config = core_->controller[static_cast<int>(plane)];
    config.ki = gain;
    // A gain the correction refuses is refused with the correction's reason.
    if (const std::string why = zor_feedback::gain_problem(gain); !why.empty()) return why;
    return set_plane_controller(*core_, c, plane, config);
  });
}

std::string FeedbackLoop::set_controller(zor_feedback::Plane plane, const std::string& text) {
  const std::string what = std::string("Controller") + (plane == zor_feedback::Plane::x ? "X" : "Y");
  zor_feedback::loop::ControllerConfig config;
  std::string error;
  if (!zor_feedback::loop::parse_controller(text, &config, &error)) return what + " refused: " + error;
  return change_correction(*core_, what, false,
                           [&](Correction& c) { return set_plane_controller(*core_, c, plane, config); });
}

std::vector<double> FeedbackLoop::rms_history(zor_feedback::Plane plane) {
  std::lock_guard<std::mutex> lock(core_->mutex);
  return core_->rms_history.plane(plane);
}

zor_feedback::loop::OrbitSpectrum FeedbackLoop::orbit_spectrum(zor_feedback::Plane plane) {
  std::vector<std::vector<double>> orbits;
  std::vector<zor_feedback::Plane> planes;
  double rate = 0.0;
  {
    std::lock_guard<std::mutex> lock(core_->mutex);
    const Core& k = *core_;
    orbits.assign(k.orbit_window.begin(), k.orbit_window.end());
    planes = k.window_planes;
    rate = 1.0 / std::chrono::duration<double>(k.period).count();
  }
  if (orbits.size() < static_cast<std::size_t>(kSpectrumSegment))
    return {false,
            std::to_string(orbits.size()) + " cycles, the spectrum needs " + std::to_string(kSpectrumSegment),
            {},
            {},
            {},
            0};
  return zor_feedback::loop::orbit_spectrum(orbits, planes, plane, rate, kSpectrumSegment);
}

std::string FeedbackLoop::set_policy(const std::string& name) {
  return change_correction(*core_, "LimitPolicy", false, [&](Correction& c) {
    zor_feedback::LimitPolicy p{};
    if (!zor_feedback::parse_limit_policy(name, &p)) return "'" + name + "' is neither scale, clip nor split";
    c.set_policy(p);
    return std::string();
  });
}

namespace {

// A dry run's own thread: computes under `work` alone, publishes under the
// mutex unless the loop ended meanwhile.
void dry_run(std::shared_ptr<FeedbackLoop::Core> core, long long id) {
  block_signals();
  FeedbackLoop::Core& k = *core;
  {
    std::lock_guard<std::timed_mutex> work(k.work);
    std::vector<double> orbit, kicks;
    std::string unread;  // why the devices gave no orbit or kicks
    long long orbit_id = 0;
    {
      // A step from an orbit measured now: never one the kicks set since
      // have made stale.
      std::lock_guard<std::mutex> lock(k.mutex);
      // On devices: the kicks as they stand now (a hand may have moved them).
      if (!k.quit && k.sim->read_kicks(&unread)) unread = k.sim->begin_cycle().source_error;
      orbit_id = ++k.orbits;
      orbit = k.sim->orbit();
      kicks = k.sim->kicks();
      k.events.post(FeedbackLoop::kCycle);  // ORBIT and HISTORY
    }
    zor_feedback::Step st;
    st.error = unread;
    try {
      if (unread.empty()) st = k.correction->compute(orbit, kicks);
    } catch (const std::exception& e) {
      st = zor_feedback::Step{};
      st.error = std::string("it failed: ") + e.what();
    }
    std::lock_guard<std::mutex> lock(k.mutex);
    k.stepping = false;
    if (!k.quit) {
      publish_step(k, st, "CalcStep");
      k.calculated = FeedbackLoop::Core::Calculated{};
      if (st.ok) k.calculated = {st, orbit_id, orbit, false};
      k.step_outcome.kind = st.ok ? FeedbackLoop::Outcome::served : FeedbackLoop::Outcome::refused;
      k.step_outcome.text = st.ok ? k.view.step_status : "CalcStep refused: " + st.error;
      k.steps_done = id;
      k.changed.notify_all();
    }
  }
  core.reset();
  --jobs_running();
}

}  // namespace

FeedbackLoop::Outcome FeedbackLoop::calc_step(std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> lock(core_->mutex);
  Core& k = *core_;
  Outcome out;
  if (std::string why = unusable(k); !why.empty()) {
    out.kind = Outcome::refused;
    out.text = "CalcStep refused: " + why;
    return out;
  }
  if (k.stepping) {
    out.text =
        "CalcStep refused: the last one still computes; try again when StepStatus no longer reads "
        "'computing'";
    return out;  // busy
  }
  const long long id = ++k.steps_started;
  k.stepping = true;
  k.view.step_status = "computing (CalcStep)";
  k.events.post(kStep);
  k.changed.notify_all();
  ++jobs_running();
  try {
    std::thread(dry_run, core_, id).detach();
  } catch (const std::system_error&) {
    --jobs_running();
    k.stepping = false;
    throw;
  }
  if (!k.changed.wait_for(lock, wait, [&k, id] { return k.steps_done >= id || k.quit; })) {
    out.kind = Outcome::running;
    out.text = k.view.step_status;
    return out;
  }
  return k.step_outcome;
}

namespace {

// Runs `set` (apply or undo) under both locks with the loop stopped; the
// refusal prefixed by `what`, else empty.
std::string set_kicks(FeedbackLoop::Core& k, const std::string& what,
                      const std::function<std::string()>& set) {
  std::unique_lock<std::timed_mutex> work(k.work, std::defer_lock);
  if (!lock_within(work, kWorkWait)) return what + " refused: a step is being computed; try again";
  std::lock_guard<std::mutex> lock(k.mutex);
  if (std::string why = unusable(k); !why.empty()) return what + " refused: " + why;
  if (running(k.state))
    return what + " refused: the loop is running and applies its own steps; Stop it first";
  if (k.measuring) return what + " refused: a response measurement moves the correctors";
  if (std::string why = set(); !why.empty()) return what + " refused: " + why;
  k.events.post(FeedbackLoop::kCycle);  // CORRECTORS and HISTORY
  k.changed.notify_all();
  return {};
}

}  // namespace

std::string FeedbackLoop::apply_step() {
  Core& k = *core_;
  return set_kicks(k, "ApplyStep", [&k]() -> std::string {
    FeedbackLoop::Core::Calculated& c = k.calculated;
    if (c.applied) return "the step of CalcStep is applied already (a step is applied once); CalcStep again";
    if (!c.step.ok) return "no step calculated since the last change; CalcStep first";
    if (c.orbit_id != k.orbits)
      return "the step of CalcStep is older than the orbit (a newer orbit was measured since); CalcStep "
             "again";
    if (std::string why = apply_checked(k, c.step); !why.empty()) return why;
    c.applied = true;
    char text[200];
    std::snprintf(
        text, sizeof text, "ApplyStep: the step of CalcStep set (rms %.4g -> %.4g %s predicted)%s",
        c.step.rms_before, c.step.rms_after_first, k.view.orbit_unit.substr(0, 30).c_str(),
        c.step.writes.size() > 1 ? ", its first write (within max_step); CalcStep again for the rest" : "");
    k.sim->note(text);
    return {};
  });
}

std::string FeedbackLoop::undo() {
  Core& k = *core_;
  return set_kicks(k, "Undo", [&k]() -> std::string {
    const zor_feedback::KickWrite w = k.correction->undo();
    if (!w.ok) return w.error;
    std::string error;
    // In order, each within max_step: the kicks set once before, so none can fail.
    for (const std::vector<double>& kicks : w.writes)
      if (!k.sim->set_kicks(kicks, &error)) return error;
    k.calculated = FeedbackLoop::Core::Calculated{};
    k.sim->note("Undo: the kicks before the newest applied step restored in " +
                std::to_string(w.writes.size()) +
                (w.writes.size() == 1 ? " write" : " writes within max_step"));
    return {};
  });
}

}  // namespace server
}  // namespace zor_feedback
