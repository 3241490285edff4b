// Applying and undoing correction steps: the history, and its published lines.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "correction_state.h"

namespace zor_feedback {

namespace {

std::string cut_text(const PlaneSettings& p) {
  char gain[32];
  std::snprintf(gain, sizeof gain, " gain %.3g", p.gain);
  return to_string(p.cut.filter) + gain;
}

void publish(Correction::State& s, std::string line) {
  if (s.published != nullptr) s.published->store(line.data());
}

KickWrite refuse(std::string why) {
  KickWrite k;
  k.error = std::move(why);
  return k;
}

}  // namespace

KickWrite Correction::apply(const Step& step, ApplyWrites which) {
  State& s = *state_;
  if (!step.ok) return refuse("the step was refused: " + step.error);
  if (std::find(s.applied.begin(), s.applied.end(), step.id) != s.applied.end())
    return refuse("the step is applied already (a step is applied once); compute it again");
  if (step.generation != s.generation || step.kicks.size() != static_cast<std::size_t>(s.matrix.cols))
    return refuse(
        "the step was computed before the last change (configuration, apply or undo); compute it again");
  const bool first = which == ApplyWrites::first;
  const std::vector<std::vector<double>> writes =
      first && !step.writes.empty() ? std::vector<std::vector<double>>{step.writes.front()} : step.writes;
  if (std::string why = detail::writes_problem(step.kicks_before, writes, s.limits, s.matrix.correctors);
      !why.empty())
    return refuse("the step does not keep the limits in place: " + why);
  HistoryEntry e;
  e.time = OVRIXtime();
  e.settings[0] = step.settings[0];
  e.settings[1] = step.settings[1];
  e.policy = step.policy;
  e.scale = step.scale;
  e.rms_before = step.rms_before;
  e.rms_after = first ? step.rms_after_first : step.rms_after;
  e.kicks_before = step.kicks_before;
  e.kicks_after = writes.back();
  s.history.insert(s.history.begin(), std::move(e));
  s.applied.insert(s.applied.begin(), step.id);
  if (s.history.size() > s.depth) {
    s.history.pop_back();
    s.applied.pop_back();
  }
  ++s.generation;
  ++s.moves;
  char buf[200];
  std::snprintf(buf, sizeof buf,
                "apply: rms %.4g -> %.4g, %s scale %.3g, %zu limited, %zu of %zu writes; x %s; y %s",
                s.history.front().rms_before, s.history.front().rms_after, limit_policy_name(step.policy),
                step.scale, step.limited.size(), writes.size(), step.writes.size(),
                cut_text(step.settings[0]).c_str(), cut_text(step.settings[1]).c_str());
  publish(s, buf);
  s.settings_kept();
  KickWrite out;
  out.writes = writes;
  out.ok = true;
  return out;
}

KickWrite Correction::undo() {
  State& s = *state_;
  if (s.history.empty()) return refuse("nothing to undo");
  const HistoryEntry& e = s.history.front();
  std::vector<double> back(e.kicks_before.size());
  for (std::size_t j = 0; j < back.size(); ++j) back[j] = e.kicks_before[j] - e.kicks_after[j];
  KickWrite out;
  if (!detail::split_writes(e.kicks_after, back, s.limits, &out.writes))
    return refuse("the undo needs more than " + std::to_string(detail::kMaxSubsteps) + " writes");
  out.writes.back() = e.kicks_before;
  char buf[120];
  std::snprintf(buf, sizeof buf, "undo: the kicks before the step of time %lld restored in %zu writes",
                static_cast<long long>(e.time), out.writes.size());
  s.history.erase(s.history.begin());
  s.applied.erase(s.applied.begin());
  ++s.generation;
  ++s.moves;
  publish(s, buf);
  out.ok = true;
  s.settings_kept();
  return out;
}

}  // namespace zor_feedback
