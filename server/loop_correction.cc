// The loop's correction: its cycle, the Correction of a new matrix, and what
// is published of it.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

#include "loop_core.h"

namespace zor_feedback {
namespace server {

namespace {

using zor_feedback::Correction;
using zor_feedback::Step;

bool same(const zor_feedback::PlaneSettings& a, const zor_feedback::PlaneSettings& b) {
  return a.cut.filter == b.cut.filter && a.cut.method == b.cut.method && a.gain == b.gain;
}

// The cuts, gains and policy of `view` on `c`, changing only what differs
// (a cut unchanged keeps its inverses).
void configure(Correction& c, const FeedbackLoop::CorrectionView& view) {
  for (int k = 0; k < 2; ++k) {
    const auto plane = static_cast<zor_feedback::Plane>(k);
    if (!same(c.plane(plane), view.planes[k])) c.set_plane(plane, view.planes[k]);
  }
  if (c.policy() != view.policy) c.set_policy(view.policy);
}

std::vector<std::string> names_of(const std::vector<int>& indices, const std::vector<std::string>& names) {
  std::vector<std::string> out;
  for (const int i : indices) out.push_back(names[static_cast<std::size_t>(i)]);
  return out;
}

std::string trimmed(const std::string& s) {
  const std::size_t a = s.find_first_not_of(" \t"), b = s.find_last_not_of(" \t");
  return a == std::string::npos ? std::string() : s.substr(a, b - a + 1);
}

std::string step_text(const Step& st, const std::string& by, const std::string& unit) {
  if (!st.ok) return "refused (" + by + "): " + st.error;
  char text[240];
  std::snprintf(text, sizeof text,
                "computed (%s): %zu monitors, %zu correctors, modes x %d y %d, rms %.4g -> %.4g %s "
                "predicted, %s, scale %.3g, %zu limited",
                by.c_str(), st.monitors_used.size(), st.correctors_used.size(), st.modes[0], st.modes[1],
                st.rms_before, st.rms_after, unit.substr(0, 30).c_str(),
                zor_feedback::limit_policy_name(st.policy), st.scale, st.limited.size());
  std::string s = text;
  if (st.writes.size() > 1)
    s += ", split in " + std::to_string(st.writes.size()) +
         " writes within max_step: one write sets the first, the rest follows from the next orbits";
  for (const std::string& w : st.warnings) s += "\n" + w;
  return s;
}

}  // namespace

// Under both locks: the step as LAST_STEP and the rest of the view show it.
void publish_step(FeedbackLoop::Core& k, const Step& st, const std::string& by) {
  FeedbackLoop::CorrectionView& v = k.view;
  const zor_feedback::LabelledMatrix& m = k.correction->matrix();
  v.last_step = st.ok ? st.delta : std::vector<double>();
  v.last_limited = names_of(st.limited, m.correctors);
  v.last_monitors = names_of(st.monitors_used, m.monitors);
  v.step_status = step_text(st, by, v.orbit_unit);
  k.events.post(FeedbackLoop::kStep);
}

// Under both locks: the view of the correction's configuration.
void publish_configuration(FeedbackLoop::Core& k) {
  FeedbackLoop::CorrectionView& v = k.view;
  const Correction& c = *k.correction;
  v.monitors = c.matrix().monitors;
  v.correctors = c.matrix().correctors;
  v.monitor_enabled = c.monitor_enabled();
  v.corrector_enabled = c.corrector_enabled();
  v.limits = c.limits();
  v.planes[0] = c.plane(zor_feedback::Plane::x);
  v.planes[1] = c.plane(zor_feedback::Plane::y);
  v.policy = c.policy();
  for (int p = 0; p < 2; ++p) {  // the gain is the ki
    v.controller[p] = k.controller[p];
    v.controller[p].ki = v.planes[p].gain;
    // The choice of a filter set since is no longer served.
    if (v.tikhonov_choice[p].filter != v.planes[p].cut.filter) v.tikhonov_choice[p] = {};
  }
  units_of(c.matrix().units, &v.orbit_unit, &v.kick_unit);
  k.events.post(FeedbackLoop::kCorrection);
}

void units_of(const std::string& label, std::string* orbit, std::string* kick) {
  const std::string l = trimmed(label);
  const std::size_t slash = l.find('/');
  *orbit = l.empty() ? "mm" : "";
  *kick = l.empty() ? "mrad" : "";
  if (slash == std::string::npos || l.find('/', slash + 1) != std::string::npos) return;
  const std::string a = trimmed(l.substr(0, slash)), b = trimmed(l.substr(slash + 1));
  if (a.empty() || b.empty()) return;
  *orbit = a;
  *kick = b;
}

std::string apply_checked(FeedbackLoop::Core& k, const Step& st) {
  if (!st.ok) return "the step was refused: " + st.error;
  for (const double v : st.kicks)
    if (!(std::fabs(v) <= std::numeric_limits<float>::max())) return "the step is not finite, not applied";
  // One write per cycle and per ApplyStep: the rest of a split step follows
  // from the next orbits. Written first (the correctors may refuse), then
  // recorded; a record refused after the write puts the kicks back.
  const std::vector<double> before = k.sim->kicks();
  std::string error;
  if (st.writes.empty() || !k.sim->set_kicks(st.writes.front(), &error))
    return error.empty() ? "the step has no write" : error;
  const zor_feedback::KickWrite w = k.correction->apply(st, zor_feedback::ApplyWrites::first);
  if (w.ok) return {};
  std::string back;
  if (!k.sim->set_kicks(before, &back)) return w.error + "; the kicks could not be put back: " + back;
  return w.error + "; the kicks were put back";
}

namespace {

// What a cycle's step thread hands back to the loop.
struct CycleStep {
  bool done = false;
  std::string skipped;  // why the step was not applied
  std::string failed;   // what went wrong: the loop goes into fault
};

// Under `work`: the orbit the correction's step is given for the planes'
// controllers (the orbit itself while both are integrators).
std::vector<double> controlled_orbit(FeedbackLoop::Core& k, const std::vector<double>& orbit) {
  const Correction& c = *k.correction;
  zor_feedback::loop::ControllerConfig config[2] = {k.controller[0], k.controller[1]};
  for (int p = 0; p < 2; ++p) config[p].ki = c.plane(static_cast<zor_feedback::Plane>(p)).gain;
  return k.plane_pi.orbit_for(config, c.matrix().monitor_planes, c.reference(), orbit);
}

// Under both locks: the cycle's rms per plane into the history, its residual
// per mode into the view (empty when the step was refused).
void publish_quality(FeedbackLoop::Core& k, const std::vector<double>& orbit,
                     const zor_feedback::ModeResiduals& modes) {
  k.rms_history.add(zor_feedback::loop::plane_rms(orbit, k.correction->matrix().monitor_planes));
  k.orbit_window.push_back(orbit);
  if (k.orbit_window.size() > FeedbackLoop::Core::kSpectrumCycles) k.orbit_window.pop_front();
  for (int p = 0; p < 2; ++p) k.view.mode_residuals[p] = modes.plane[p];
}

// A cycle's step in a thread of its own: computes under `work` alone (a
// re-inversion after a change runs here), applies under both locks unless
// the loop stopped or ended meanwhile.
void step_work(std::shared_ptr<FeedbackLoop::Core> core, std::shared_ptr<CycleStep> job, int cycle,
               std::vector<double> orbit, std::vector<double> kicks) {
  block_signals();
  FeedbackLoop::Core& k = *core;
  {
    std::lock_guard<std::timed_mutex> work(k.work);
    {
      std::lock_guard<std::mutex> lock(k.mutex);
      if (k.pi_afresh) k.plane_pi.reset();  // a Start begins from no old error
      k.pi_afresh = false;
    }
    Step st;
    zor_feedback::ModeResiduals modes;
    std::string failed = k.correction ? "" : "no correction in place";
    try {
      if (failed.empty()) {
        st = k.correction->compute(controlled_orbit(k, orbit), kicks);
        modes = k.correction->mode_residuals(st, orbit);
      }
    } catch (const std::exception& e) {
      failed = e.what();
    }
    std::lock_guard<std::mutex> lock(k.mutex);
    if (!k.quit && failed.empty()) {
      const std::string name = "cycle " + std::to_string(cycle);
      publish_step(k, st, name);
      publish_quality(k, orbit, modes);
      const bool on = k.state == FeedbackLoop::State::running || k.state == FeedbackLoop::State::alarm;
      std::string why = on ? apply_checked(k, st) : std::string();
      if (on && why.empty()) k.plane_pi.written(orbit, k.correction->reference());
      if (!why.empty()) {
        job->skipped = name + ": " + why;
        k.sim->note(job->skipped);
        k.reread_kicks = k.sim->on_devices();
      }
    }
    if (!failed.empty()) job->failed = "the step failed: " + failed;
    job->done = true;
    k.changed.notify_all();
  }
  core.reset();  // may end the simulation of a loop that ended
  --jobs_running();
}

}  // namespace

sim::CycleRecord correction_cycle(const std::shared_ptr<FeedbackLoop::Core>& core,
                                  std::unique_lock<std::mutex>& lock) {
  FeedbackLoop::Core& k = *core;
  sim::CycleRecord rec;
  zor_feedback::loop::SinkResult readbacks;
  if (k.sim->on_devices()) {
    // Another server answers (or times out): readers do not wait for it.
    sim::FeedbackSimulation* sim = k.sim.get();
    lock.unlock();
    std::string error;
    const sim::OrbitReading r = sim->read_ring(&error);
    readbacks = sim->read_readbacks();
    lock.lock();
    if (k.quit) return rec;
    rec = k.sim->begin_cycle(r, error);
  } else {
    rec = k.sim->begin_cycle();
    readbacks = k.sim->read_readbacks();
  }
  ++k.orbits;
  if (rec.source_error.empty()) rec.tripped = k.sim->check_readbacks(readbacks, k.view.correctors);
  if (!rec.tripped.empty()) return rec;
  std::string unread = rec.source_error;
  if (unread.empty() && k.reread_kicks && k.sim->read_kicks(&unread)) k.reread_kicks = false;
  if (!unread.empty()) {  // the devices gave no orbit or kicks: nothing to step from
    k.reread_kicks = k.sim->on_devices();
    rec.skipped = "cycle " + std::to_string(rec.cycle) + ": " + unread + ", no step";
    k.sim->note(rec.skipped);
    return rec;
  }
  auto job = std::make_shared<CycleStep>();
  ++jobs_running();
  try {
    std::thread(step_work, core, job, rec.cycle, k.sim->orbit(), k.sim->kicks()).detach();
  } catch (const std::system_error&) {
    --jobs_running();
    throw;
  }
  k.changed.wait(lock, [&k, &job] { return job->done || k.quit; });
  if (!job->failed.empty()) throw std::runtime_error(job->failed);
  rec.skipped = job->skipped;
  return rec;
}

std::unique_ptr<Correction> next_correction(FeedbackLoop::Core& k, sim::FeedbackSimulation::Candidate& c,
                                            std::string* carried) {
  if (c.file.empty() || !c.refusal.empty()) return nullptr;
  zor_feedback::LabelledMatrix m;
  const zor_feedback::LabelledReport read = zor_feedback::read_labelled_matrix(c.file.c_str(), &m);
  auto next = std::make_unique<Correction>();
  const zor_feedback::Outcome set = read.ok ? next->set_matrix(std::move(m)) : zor_feedback::Outcome{};
  if (!read.ok || !set.ok) {
    c.refusal = "ERROR: " + (read.ok ? set.error : read.error);
    return nullptr;
  }
  bool after_init = false;
  {
    // The settings of the correction in place, by name; a client's change
    // waits for this copy.
    std::lock_guard<std::timed_mutex> work(k.work);
    after_init = !k.correction && k.carry_from;
    const Correction* old = k.correction ? k.correction.get() : k.carry_from.get();
    if (old != nullptr) *carried = next->carry_settings_from(*old).text();
  }
  std::unique_lock<std::mutex> lock(k.mutex);
  if (after_init) {  // the view shows the settings carried over, not the fresh defaults
    k.view.planes[0] = next->plane(zor_feedback::Plane::x);
    k.view.planes[1] = next->plane(zor_feedback::Plane::y);
    k.view.policy = next->policy();
  }
  if (carried->empty()) configure(*next, k.view);
  lock.unlock();
  if (k.standard) {  // the inverses of the planes and their modes, before the loop needs them
    const std::vector<double> zero_orbit(static_cast<std::size_t>(next->matrix().rows), 0.0);
    const Step first =
        next->compute(zero_orbit, std::vector<double>(static_cast<std::size_t>(next->matrix().cols), 0.0));
    next->mode_residuals(first, zero_orbit);
  }
  return next;
}

void install_correction(FeedbackLoop::Core& k, std::unique_ptr<Correction> next) {
  configure(*next, k.view);  // what a client changed while it was made
  k.correction = std::move(next);
  k.plane_pi.reset();
  k.rms_history.clear();
  k.orbit_window.clear();
  k.window_planes = k.correction->matrix().monitor_planes;
  k.carry_from.reset();
  k.calculated = FeedbackLoop::Core::Calculated{};
  publish_configuration(k);
  k.view.last_step.clear();
  k.view.last_limited.clear();
  k.view.last_monitors.clear();
  k.view.step_status = "none yet for this matrix";
  k.events.post(FeedbackLoop::kStep);
}

}  // namespace server
}  // namespace zor_feedback
