// The correction step: the error the step acts on, the plane solves, the limit
// policy, and the prediction. Changes nothing but the inverse cache.
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "correction_state.h"

namespace zor_feedback {
namespace detail {

namespace {

using Prepared = StepScratch;

std::string g(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.6g", v);
  return buf;
}

std::string check_sizes(const Correction::State& s, const std::vector<double>& orbit,
                        const std::vector<double>& kicks) {
  const LabelledMatrix& m = s.matrix;
  if (m.rows == 0) return "no matrix";
  if (orbit.size() != static_cast<std::size_t>(m.rows))
    return "the orbit holds " + std::to_string(orbit.size()) + " values, the matrix " +
           std::to_string(m.rows) + " monitors";
  if (kicks.size() != static_cast<std::size_t>(m.cols))
    return std::to_string(kicks.size()) + " kicks for the " + std::to_string(m.cols) + " correctors";
  return {};
}

// The step's lists from the settings (StepScratch), when they moved.
void read_settings(const Correction::State& s, Prepared* p) {
  if (p->settings_generation == s.generation) return;
  const LabelledMatrix& m = s.matrix;
  bool finite = false;
  for (int k = 0; k < 2; ++k) p->free_on[k].clear();
  for (std::size_t j = 0; j < m.corrector_planes.size(); ++j) {
    const KickLimit& l = s.limits[j];
    finite |= std::isfinite(l.min) || std::isfinite(l.max) || std::isfinite(l.max_step);
    if (s.corrector_on[j]) p->free_on[static_cast<int>(m.corrector_planes[j])].push_back(static_cast<int>(j));
  }
  p->bounded = finite;
  p->monitor_plane.resize(m.monitor_planes.size());
  for (std::size_t u = 0; u < m.monitor_planes.size(); ++u) {
    const int k = static_cast<int>(m.monitor_planes[u]);
    p->monitor_plane[u] = static_cast<signed char>(s.monitor_on[u] && !p->free_on[k].empty() ? k : -1);
  }
  p->settings_generation = s.generation;
}

// Each kick a number, and the correctors in use by plane.
std::string read_correctors(const Correction::State& s, const std::vector<double>& kicks, Prepared* p) {
  bool finite = true;
  for (const double k : kicks) finite &= std::isfinite(k);
  if (!finite)
    for (std::size_t j = 0; j < kicks.size(); ++j)
      if (!std::isfinite(kicks[j]))
        return "the kick of corrector '" + s.matrix.correctors[j] + "' is not a number";
  read_settings(s, p);
  p->free[0] = p->free_on[0];
  p->free[1] = p->free_on[1];
  return {};
}

// The error and right-hand side at each monitor in use that read a number;
// counts of those enabled and those that did not read, by plane. It runs over
// every monitor each cycle: written by index into vectors sized for all of
// them, then cut to length.
void read_monitors(const Correction::State& s, const std::vector<double>& orbit, Prepared* p, int enabled[2],
                   int unread[2]) {
  const std::size_t rows = orbit.size();
  p->error.resize(rows);
  p->monitors_used.resize(rows);
  for (int k = 0; k < 2; ++k) {
    p->problems[k].monitors.resize(rows);
    p->rhs[k].resize(rows);
  }
  // The counts in locals, a branch per plane: kept in registers.
  int *mon0 = p->problems[0].monitors.data(), *mon1 = p->problems[1].monitors.data();
  double *rhs0 = p->rhs[0].data(), *rhs1 = p->rhs[1].data();
  std::size_t n0 = 0, n1 = 0, used = 0;
  const double g0 = -s.planes[0].gain, g1 = -s.planes[1].gain;
  const double* ref = s.reference.empty() ? nullptr : s.reference.data();
  double* err = p->error.data();
  int* all = p->monitors_used.data();
  const signed char* plane = p->monitor_plane.data();
  const double* o = orbit.data();
  for (std::size_t u = 0; u < rows; ++u) {
    const int k = plane[u];
    err[u] = NAN;
    if (k < 0) continue;
    if (!std::isfinite(o[u])) {
      ++unread[k];
      continue;
    }
    const double e = ref == nullptr ? o[u] : o[u] - ref[u];
    err[u] = e;
    all[used++] = static_cast<int>(u);
    if (k == 0) {
      mon0[n0] = static_cast<int>(u);
      rhs0[n0++] = g0 * e;
    } else {
      mon1[n1] = static_cast<int>(u);
      rhs1[n1++] = g1 * e;
    }
  }
  const std::size_t n[2] = {n0, n1};
  for (int k = 0; k < 2; ++k) {
    enabled[k] = static_cast<int>(n[k]) + unread[k];
    p->problems[k].monitors.resize(n[k]);
    p->rhs[k].resize(n[k]);
  }
  p->monitors_used.resize(used);
}

// The monitors and correctors of each plane that enter its solve.
bool prepare(Correction::State& s, const std::vector<double>& orbit, Prepared* p, Step* st) {
  const LabelledMatrix& m = s.matrix;
  int unread[2] = {0, 0}, enabled[2] = {0, 0};
  for (int k = 0; k < 2; ++k) {  // field by field: the monitors' buffer stays
    PlaneProblem& pp = p->problems[k];
    pp.matrix = &m;
    pp.weights = &s.weights;
    pp.cut = s.planes[k].cut;
    pp.cache = &s.cache[k];
    pp.kernel = s.kernel;
  }
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

// The kicks and the change from the solved `delta`, within their limits
// against rounding (`bounded`); the change as floats for the fused
// prediction. False if a kick is not a number.
bool new_kicks(const Correction::State& s, const std::vector<double>& delta, bool bounded, Prepared* p,
               Step* st) {
  const auto n = static_cast<std::size_t>(s.matrix.cols);
  st->kicks.resize(n);
  st->delta.resize(n);
  const double* before = st->kicks_before.data();
  double* kicks = st->kicks.data();
  double* change = st->delta.data();
  bool finite = true;
  if (bounded) {
    for (std::size_t j = 0; j < n; ++j) {
      const KickLimit& l = s.limits[j];
      const double k = before[j], to = k + delta[j];
      kicks[j] = k < l.min || k > l.max ? to : std::clamp(to, l.min, l.max);
      change[j] = kicks[j] - k;
    }
  } else if (s.kernel == StepKernel::fused_float) {  // as below, narrowed in the same pass
    p->narrow_delta.resize(n);
    float* narrow = p->narrow_delta.data();
    for (std::size_t j = 0; j < n; ++j) {
      const double to = before[j] + delta[j];
      kicks[j] = to;
      change[j] = to - before[j];
      narrow[j] = static_cast<float>(change[j]);
      finite &= std::isfinite(to);
    }
    return finite;
  } else {  // the clamp to infinite limits leaves every value as it is
    for (std::size_t j = 0; j < n; ++j) {
      const double to = before[j] + delta[j];
      kicks[j] = to;
      change[j] = to - before[j];
      finite &= std::isfinite(to);
    }
  }
  if (s.kernel == StepKernel::fused_float) p->narrow_delta.assign(st->delta.begin(), st->delta.end());
  return finite;
}

// predicted = orbit + R delta (delta is 0 where no corrector moves), NaN
// where the orbit is not a number; the rms before and after over the
// monitors used, in the same pass.
void predict(const Correction::State& s, const std::vector<double>& orbit, Prepared* p, Step* st) {
  if (s.kernel == StepKernel::fused_float) {
    add_response_fused(s.blocks, s.narrow_blocks, p->narrow_delta, orbit, &p->sums, &st->predicted);
  } else {
    st->predicted = orbit;
    add_response(s.matrix, s.blocks, st->delta, &st->predicted);
  }
  double before = 0.0, after = 0.0;
  const std::size_t used = p->monitors_used.size();
  const int* next = p->monitors_used.data();
  const int* const end = next + used;
  const double* err = p->error.data();
  double* pred = st->predicted.data();
  for (std::size_t i = 0; i < orbit.size(); ++i) {
    if (!std::isfinite(orbit[i])) {
      pred[i] = NAN;
      continue;
    }
    if (next == end || *next != static_cast<int>(i)) continue;
    ++next;  // in increasing order, as prepare() takes them
    before += err[i] * err[i];
    const double e = pred[i] - orbit[i] + err[i];
    after += e * e;
  }
  const double count = std::max<double>(1.0, static_cast<double>(used));
  st->rms_before = std::sqrt(before / count);
  st->rms_after = std::sqrt(after / count);
  st->rms_after_first = st->rms_after;
}

// Kicks within their limits (against rounding), the prediction and the rms;
// false if a kick is not a number.
bool finish(const Correction::State& s, const std::vector<double>& orbit, const std::vector<double>& delta,
            bool bounded, Prepared* p, Step* st) {
  const bool finite = new_kicks(s, delta, bounded, p, st);
  st->correctors_used.resize(p->free[0].size() + p->free[1].size());
  std::merge(p->free[0].begin(), p->free[0].end(), p->free[1].begin(), p->free[1].end(),
             st->correctors_used.begin());
  if (!st->steered.empty()) {  // those steered back move too
    st->correctors_used.insert(st->correctors_used.end(), st->steered.begin(), st->steered.end());
    std::sort(st->correctors_used.begin(), st->correctors_used.end());
  }
  predict(s, orbit, p, st);
  st->monitors_used = p->monitors_used;
  return finite;
}

// The limit policy on the solved `delta` (steered correctors at 0).
// Without a finite limit (`bounded` false) no policy acts: scale 1, one
// write, none held, and the passes over the room are left out of the step.
bool limit(const Correction::State& s, const Prepared& p, const std::vector<double>& kicks, bool bounded,
           Step* st, std::vector<double>* delta) {
  if (!bounded) return true;
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

// The writes that reach st->kicks, checked against the limits (`checked`:
// one write of finite kicks under no finite limit, which passes), and the rms
// after the first of them.
bool make_writes(const Correction::State& s, const std::vector<double>& orbit, const Prepared& p,
                 bool checked, Step* st) {
  if (s.policy == LimitPolicy::split) {
    if (!split_writes(st->kicks_before, st->delta, s.limits, &st->writes)) {
      st->error = "the step needs more than " + std::to_string(kMaxSubsteps) + " writes";
      return false;
    }
    st->writes.back() = st->kicks;
  } else {
    st->writes.assign(1, st->kicks);
  }
  if (std::string why = checked ? std::string()
                                : writes_problem(st->kicks_before, st->writes, s.limits, s.matrix.correctors);
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
  Prepared& p = s.scratch;
  st.error = check_sizes(s, orbit, kicks);
  if (st.error.empty()) st.error = read_correctors(s, kicks, &p);
  if (!st.error.empty() || !prepare(s, orbit, &p, &st)) return refused(st.error);
  const bool bounded = p.bounded;
  // No kick lies outside infinite limits: none is steered.
  if (bounded) steer_outside(s, kicks, &p, &st, &p.steer);
  std::vector<double>& delta = p.delta;
  delta.assign(kicks.size(), 0.0);
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
  if (!limit(s, p, kicks, bounded, &st, &delta)) return refused("clip: " + st.error);
  if (bounded)
    for (std::size_t j = 0; j < delta.size(); ++j) delta[j] += p.steer[j];
  st.kicks_before = kicks;
  const bool finite = finish(s, orbit, delta, bounded, &p, &st);
  if (!make_writes(s, orbit, p, !bounded && finite, &st)) return refused(st.error);
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
