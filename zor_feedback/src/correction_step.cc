// The correction step: the error the step acts on, the plane solves, the limit
// policy, and the prediction. Changes nothing but the inverse cache.
#include <algorithm>
#include <cmath>
#include <iterator>
#include <string>
#include <vector>

#include "correction_state.h"

namespace zor_feedback {
namespace detail {

namespace {

struct Prepared {
  std::vector<double> error;  // orbit - reference, per monitor
  PlaneProblem problems[2];
  std::vector<int> free[2];  // correctors in use, by plane
  std::vector<double> rhs[2];
  std::vector<int> monitors_used;
};

std::string g(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.6g", v);
  return buf;
}

std::string check_inputs(const Correction::State& s, const std::vector<double>& orbit,
                         const std::vector<double>& kicks) {
  const LabelledMatrix& m = s.matrix;
  if (m.rows == 0) return "no matrix";
  if (orbit.size() != static_cast<std::size_t>(m.rows))
    return "the orbit holds " + std::to_string(orbit.size()) + " values, the matrix " +
           std::to_string(m.rows) + " monitors";
  if (kicks.size() != static_cast<std::size_t>(m.cols))
    return std::to_string(kicks.size()) + " kicks for the " + std::to_string(m.cols) + " correctors";
  for (std::size_t j = 0; j < kicks.size(); ++j)
    if (!std::isfinite(kicks[j])) return "the kick of corrector '" + m.correctors[j] + "' is not a number";
  return {};
}

// The error and right-hand side at each monitor in use that read a number;
// counts of those enabled and those that did not read, by plane. It runs over
// every monitor each cycle: written by index into vectors sized for all of
// them, then cut to length.
void read_monitors(const Correction::State& s, const std::vector<double>& orbit, Prepared* p, int enabled[2],
                   int unread[2]) {
  const std::size_t rows = orbit.size();
  p->error.assign(rows, NAN);
  p->monitors_used.resize(rows);
  int* mon[2];
  double* rhs[2];
  std::size_t n[2] = {0, 0}, used = 0;
  for (int k = 0; k < 2; ++k) {
    p->problems[k].monitors.resize(rows);
    p->rhs[k].resize(rows);
    mon[k] = p->problems[k].monitors.data();
    rhs[k] = p->rhs[k].data();
  }
  const bool on[2] = {!p->free[0].empty(), !p->free[1].empty()};
  const double gain[2] = {s.planes[0].gain, s.planes[1].gain};
  const double* ref = s.reference.empty() ? nullptr : s.reference.data();
  double* err = p->error.data();
  int* all = p->monitors_used.data();
  for (std::size_t u = 0; u < rows; ++u) {
    const int k = static_cast<int>(s.matrix.monitor_planes[u]);
    if (!on[k] || !s.monitor_on[u]) continue;
    ++enabled[k];
    if (!std::isfinite(orbit[u])) {
      ++unread[k];
      continue;
    }
    const double e = ref == nullptr ? orbit[u] : orbit[u] - ref[u];
    err[u] = e;
    mon[k][n[k]] = all[used++] = static_cast<int>(u);
    rhs[k][n[k]++] = -gain[k] * e;
  }
  for (int k = 0; k < 2; ++k) {
    p->problems[k].monitors.resize(n[k]);
    p->rhs[k].resize(n[k]);
  }
  p->monitors_used.resize(used);
}

// The monitors and correctors of each plane that enter its solve.
bool prepare(Correction::State& s, const std::vector<double>& orbit, Prepared* p, Step* st) {
  const LabelledMatrix& m = s.matrix;
  int unread[2] = {0, 0}, enabled[2] = {0, 0};
  for (int k = 0; k < 2; ++k) {
    p->problems[k] = {&m, &s.weights, {}, s.planes[k].cut, &s.cache[k], s.kernel};
    p->free[k].reserve(m.corrector_planes.size());
  }
  for (std::size_t j = 0; j < m.corrector_planes.size(); ++j)
    if (s.corrector_on[j]) p->free[static_cast<int>(m.corrector_planes[j])].push_back(static_cast<int>(j));
  read_monitors(s, orbit, p, enabled, unread);
  if (p->free[0].empty() && p->free[1].empty()) {
    st->error = "no corrector in use";
    return false;
  }
  for (int k = 0; k < 2; ++k) {
    if (p->free[k].empty()) continue;
    if (enabled[k] == 0) {
      // Every monitor of the plane masked: the plane stops, the other goes on.
      st->plane_stopped[k] = true;
      st->warnings.push_back(std::string("plane ") + plane_name(static_cast<Plane>(k)) +
                             ": every monitor is masked, the plane is not corrected");
      p->free[k].clear();
      continue;
    }
    const std::size_t need = static_cast<std::size_t>(std::max(1, s.planes[k].cut.filter.keep()));
    if (p->problems[k].monitors.size() < need) {
      st->error = std::string("plane ") + plane_name(static_cast<Plane>(k)) + ": " +
                  std::to_string(p->problems[k].monitors.size()) + " monitors read a number (" +
                  std::to_string(unread[k]) + " did not), the step needs at least " + std::to_string(need);
      return false;
    }
    if (unread[k] > 0)
      st->warnings.push_back(std::string("plane ") + plane_name(static_cast<Plane>(k)) + ": " +
                             std::to_string(unread[k]) + (unread[k] == 1 ? " monitor" : " monitors") +
                             " read no number, left out");
  }
  if (p->free[0].empty() && p->free[1].empty()) {
    st->error = "no plane can be corrected: every monitor of the planes with correctors is masked";
    return false;
  }
  return true;
}

// Correctors in use found outside [min, max] leave the solve and move back
// toward their range; the rest of their plane answers for their move.
void steer_outside(const Correction::State& s, const std::vector<double>& kicks, Prepared* p, Step* st,
                   std::vector<double>* steer) {
  steer->assign(kicks.size(), 0.0);
  for (int k = 0; k < 2; ++k) {
    const auto outside = [&](int j) {
      const KickLimit& l = s.limits[static_cast<std::size_t>(j)];
      const double v = kicks[static_cast<std::size_t>(j)];
      return v < l.min || v > l.max;
    };
    // The usual case, every kick within: nothing to copy.
    if (std::none_of(p->free[k].begin(), p->free[k].end(), outside)) continue;
    std::vector<int> keep, held;
    for (const int j : p->free[k]) {
      const auto u = static_cast<std::size_t>(j);
      (*steer)[u] = steer_delta(s.limits[u], kicks[u]);
      (outside(j) ? held : keep).push_back(j);
    }
    p->rhs[k] = less_held(p->problems[k], p->rhs[k], held, *steer);
    p->free[k].swap(keep);
    std::string names;
    for (const int j : held)
      names += (names.empty() ? "" : ", ") + s.matrix.correctors[static_cast<std::size_t>(j)];
    st->warnings.push_back(std::string("plane ") + plane_name(static_cast<Plane>(k)) + ": " + names +
                           " outside the limits, steered back toward them");
    st->steered.insert(st->steered.end(), held.begin(), held.end());
  }
  std::sort(st->steered.begin(), st->steered.end());
}

// `room` includes max_step; split leaves it to the sub-steps.
void apply_policy(const Correction::State& s, const std::vector<double>& kicks, const Room& room, Step* st,
                  std::vector<double>* delta) {
  if (s.policy == LimitPolicy::scale || s.policy == LimitPolicy::split) {
    st->scale =
        fitting_scale(*delta, s.policy == LimitPolicy::scale ? room : kick_room(s.limits, kicks, false));
    for (double& d : *delta) d *= st->scale;
  }
  if (s.policy == LimitPolicy::split) {
    double more = 1.0;
    substeps_for(*delta, s.limits, &more);
    for (double& d : *delta) d *= more;
    st->scale *= more;
  }
}

// The correctors whose plain step leaves their room: those the policy acted on.
std::vector<int> limited_by(const std::vector<double>& plain, const Room& room) {
  std::vector<int> out;
  for (std::size_t j = 0; j < plain.size(); ++j)
    if (plain[j] > room.hi[j] || plain[j] < room.lo[j]) out.push_back(static_cast<int>(j));
  return out;
}

Step refused(std::string error) {
  Step st;
  st.error = std::move(error);
  return st;
}

// Kicks within their limits (against rounding), the prediction and the rms.
void finish(const Correction::State& s, const std::vector<double>& orbit, const Prepared& p,
            const std::vector<double>& delta, Step* st) {
  const LabelledMatrix& m = s.matrix;
  const auto n = static_cast<std::size_t>(m.cols);
  st->kicks.resize(n);
  st->delta.resize(n);
  for (std::size_t j = 0; j < n; ++j) {
    const KickLimit& l = s.limits[j];
    const double k = st->kicks_before[j], to = k + delta[j];
    st->kicks[j] = k < l.min || k > l.max ? to : std::clamp(to, l.min, l.max);
    st->delta[j] = st->kicks[j] - st->kicks_before[j];
  }
  std::merge(p.free[0].begin(), p.free[0].end(), p.free[1].begin(), p.free[1].end(),
             std::back_inserter(st->correctors_used));
  if (!st->steered.empty()) {  // those steered back move too
    st->correctors_used.insert(st->correctors_used.end(), st->steered.begin(), st->steered.end());
    std::sort(st->correctors_used.begin(), st->correctors_used.end());
  }
  // predicted = orbit + R delta; delta is 0 where no corrector moves.
  st->predicted = orbit;
  if (s.kernel == StepKernel::fused_float)
    add_response_fused(s.blocks, s.narrow_blocks, st->delta, &st->predicted);
  else
    add_response(m, s.blocks, st->delta, &st->predicted);
  for (std::size_t i = 0; i < orbit.size(); ++i)
    if (!std::isfinite(orbit[i])) st->predicted[i] = NAN;
  double before = 0.0, after = 0.0;
  for (const int i : p.monitors_used) {
    const auto u = static_cast<std::size_t>(i);
    before += p.error[u] * p.error[u];
    const double e = st->predicted[u] - orbit[u] + p.error[u];
    after += e * e;
  }
  const double count = std::max<double>(1.0, static_cast<double>(p.monitors_used.size()));
  st->rms_before = std::sqrt(before / count);
  st->rms_after = std::sqrt(after / count);
  st->rms_after_first = st->rms_after;
  st->monitors_used = p.monitors_used;  // in increasing order, as prepare() takes them
}

// The limit policy on the solved `delta` (steered correctors at 0).
bool limit(const Correction::State& s, const Prepared& p, const std::vector<double>& kicks, Step* st,
           std::vector<double>* delta) {
  // No finite limit: no policy acts (scale 1, one write, none held), and the
  // passes over the room are left out of the step.
  const auto finite = [](const KickLimit& l) {
    return std::isfinite(l.min) || std::isfinite(l.max) || std::isfinite(l.max_step);
  };
  if (std::none_of(s.limits.begin(), s.limits.end(), finite)) return true;
  const Room room = kick_room(s.limits, kicks, true);
  st->limited = limited_by(*delta, room);
  if (s.policy != LimitPolicy::clip) {
    apply_policy(s, kicks, room, st, delta);
    return true;
  }
  if (!clip_step(p.problems, p.free, p.rhs, room, delta, &st->warnings, &st->error)) return false;
  // Correctors held in a later round were inside their room in the plain step.
  for (std::size_t j = 0; j < delta->size(); ++j) {
    const int c = static_cast<int>(j);
    if (std::isfinite(room.hi[j] - room.lo[j]) && room.hi[j] > room.lo[j] &&
        ((*delta)[j] == room.hi[j] || (*delta)[j] == room.lo[j]) &&
        !std::binary_search(st->limited.begin(), st->limited.end(), c))
      st->limited.insert(std::lower_bound(st->limited.begin(), st->limited.end(), c), c);
  }
  return true;
}

// The writes that reach st->kicks, checked against the limits, and the rms
// after the first of them.
bool make_writes(const Correction::State& s, const std::vector<double>& orbit, const Prepared& p, Step* st) {
  if (s.policy == LimitPolicy::split) {
    if (!split_writes(st->kicks_before, st->delta, s.limits, &st->writes)) {
      st->error = "the step needs more than " + std::to_string(kMaxSubsteps) + " writes";
      return false;
    }
    st->writes.back() = st->kicks;
  } else {
    st->writes.assign(1, st->kicks);
  }
  if (std::string why = writes_problem(st->kicks_before, st->writes, s.limits, s.matrix.correctors);
      !why.empty()) {
    st->error = "the step is not sound, refused: " + why;
    return false;
  }
  if (st->writes.size() == 1) return true;
  // The step is linear in delta: the first of n equal writes does 1/n of it.
  const double share = 1.0 / static_cast<double>(st->writes.size());
  double sum = 0.0;
  for (const int i : p.monitors_used) {
    const auto u = static_cast<std::size_t>(i);
    const double e = p.error[u] + (st->predicted[u] - orbit[u]) * share;
    sum += e * e;
  }
  st->rms_after_first = std::sqrt(sum / std::max<double>(1.0, static_cast<double>(p.monitors_used.size())));
  return true;
}

void dedupe(std::vector<std::string>* w) {
  std::vector<std::string> out;
  for (std::string& s : *w)
    if (std::find(out.begin(), out.end(), s) == out.end()) out.push_back(std::move(s));
  w->swap(out);
}

}  // namespace

Step compute_step(Correction::State& s, const std::vector<double>& orbit, const std::vector<double>& kicks) {
  Step st;
  st.error = check_inputs(s, orbit, kicks);
  Prepared p;
  if (!st.error.empty() || !prepare(s, orbit, &p, &st)) return refused(st.error);
  std::vector<double> steer;
  steer_outside(s, kicks, &p, &st, &steer);
  std::vector<double> delta(kicks.size(), 0.0);
  for (int k = 0; k < 2; ++k) {
    if (!solve_plane(p.problems[k], p.free[k], p.rhs[k], &delta, &st.modes[k], &st.warnings, &st.error)) {
      st.error = std::string("plane ") + plane_name(static_cast<Plane>(k)) + ": " + st.error;
      return refused(st.error);
    }
    if (!p.free[k].empty() && s.planes[k].gain > 1.0)
      st.warnings.push_back(std::string("gain ") + g(s.planes[k].gain) + " of plane " +
                            plane_name(static_cast<Plane>(k)) + " is above 1: the step overshoots");
  }
  st.policy = s.policy;
  st.kernel = s.kernel;
  if (!limit(s, p, kicks, &st, &delta)) return refused("clip: " + st.error);
  for (std::size_t j = 0; j < delta.size(); ++j) delta[j] += steer[j];
  st.kicks_before = kicks;
  finish(s, orbit, p, delta, &st);
  if (!make_writes(s, orbit, p, &st)) return refused(st.error);
  dedupe(&st.warnings);
  st.settings[0] = s.planes[0];
  st.settings[1] = s.planes[1];
  st.generation = s.generation;
  st.id = ++s.steps;
  st.ok = true;
  return st;
}

}  // namespace detail
}  // namespace zor_feedback
