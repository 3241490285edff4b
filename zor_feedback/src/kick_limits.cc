// The limit policies of a correction step: the room each corrector has, the
// uniform scale, the sub-steps, and clip with re-solve.
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "correction_state.h"

namespace zor_feedback {
namespace detail {

Room kick_room(const std::vector<KickLimit>& limits, const std::vector<double>& kicks, bool with_step) {
  Room room;
  room.lo.resize(kicks.size());
  room.hi.resize(kicks.size());
  for (std::size_t j = 0; j < kicks.size(); ++j) {
    const KickLimit& l = limits[j];
    if (kicks[j] < l.min || kicks[j] > l.max) {
      room.lo[j] = room.hi[j] = 0.0;  // steered back apart from the policy (steer_delta)
      continue;
    }
    const double step = with_step ? l.max_step : INFINITY;
    room.lo[j] = std::max(l.min - kicks[j], -step);
    room.hi[j] = std::min(l.max - kicks[j], step);
  }
  return room;
}

double steer_delta(const KickLimit& l, double kick) {
  if (kick > l.max) return -std::min(kick - l.max, l.max_step);
  if (kick < l.min) return std::min(l.min - kick, l.max_step);
  return 0.0;
}

double fitting_scale(const std::vector<double>& delta, const Room& room) {
  double s = 1.0;
  for (std::size_t j = 0; j < delta.size(); ++j) {
    if (delta[j] > room.hi[j]) s = std::min(s, room.hi[j] / delta[j]);
    if (delta[j] < room.lo[j]) s = std::min(s, room.lo[j] / delta[j]);
  }
  return std::max(s, 0.0);
}

int substeps_for(const std::vector<double>& delta, const std::vector<KickLimit>& limits, double* scale) {
  double need = 1.0;  // the largest |delta| / max_step
  for (std::size_t j = 0; j < delta.size(); ++j)
    need = std::max(need, std::fabs(delta[j]) / limits[j].max_step);
  *scale = 1.0;
  if (need <= kMaxSubsteps) return static_cast<int>(std::ceil(need));
  *scale = kMaxSubsteps / need;
  return kMaxSubsteps;
}

namespace {

// Holds the correctors of `free` whose delta leaves the room at its edge;
// true when any was.
bool hold_outside(const Room& room, std::vector<int>* free, std::vector<double>* delta) {
  bool held = false;
  std::vector<int> still;
  for (const int j : *free) {
    const auto u = static_cast<std::size_t>(j);
    const double d = (*delta)[u];
    if (d > room.hi[u] || d < room.lo[u]) {
      (*delta)[u] = std::clamp(d, room.lo[u], room.hi[u]);
      held = true;
    } else {
      still.push_back(j);
    }
  }
  free->swap(still);
  return held;
}

}  // namespace

std::vector<double> less_held(const PlaneProblem& p, const std::vector<double>& rhs,
                              const std::vector<int>& held, const std::vector<double>& delta) {
  std::vector<double> b = rhs;
  const auto cols = static_cast<std::size_t>(p.matrix->cols);
  for (std::size_t k = 0; k < b.size(); ++k) {
    const double* row = p.matrix->values.data() + static_cast<std::size_t>(p.monitors[k]) * cols;
    for (const int j : held) b[k] -= row[j] * delta[static_cast<std::size_t>(j)];
  }
  return b;
}

// Each round holds every corrector past its room at the edge and solves the
// plane again with the others; a round holds at least one more, so there are
// at most as many rounds as correctors.
bool clip_step(const PlaneProblem problems[2], const std::vector<int> free[2],
               const std::vector<double> rhs[2], const Room& room, std::vector<double>* delta,
               std::vector<std::string>* warnings, std::string* error) {
  for (int p = 0; p < 2; ++p) {
    std::vector<int> left = free[p], held;
    for (;;) {
      const std::vector<int> before = left;
      if (!hold_outside(room, &left, delta)) break;
      for (const int j : before)
        if (!std::binary_search(left.begin(), left.end(), j)) held.push_back(j);
      if (!solve_plane(problems[p], left, less_held(problems[p], rhs[p], held, *delta), delta, nullptr,
                       warnings, error))
        return false;
    }
    if (held.empty()) continue;
    std::string names;
    for (const int j : held)
      names += (names.empty() ? "" : ", ") + problems[p].matrix->correctors[static_cast<std::size_t>(j)];
    warnings->push_back(std::string("plane ") + plane_name(static_cast<Plane>(p)) + ": clip held " + names +
                        " at a limit, the others solved again");
  }
  return true;
}

}  // namespace detail
}  // namespace zor_feedback
