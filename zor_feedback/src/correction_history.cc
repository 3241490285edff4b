// Applying and undoing correction steps: the history, and its published lines.
#include <cstdio>
#include <string>
#include <vector>

#include "correction_state.h"

namespace zor_feedback {

namespace {

std::string cut_text(const PlaneSettings& p) {
  char buf[64];
  if (p.cut.keep > 0)
    std::snprintf(buf, sizeof buf, "keep %d gain %.3g", p.cut.keep, p.gain);
  else if (p.cut.rcond)
    std::snprintf(buf, sizeof buf, "rcond %.3g gain %.3g", *p.cut.rcond, p.gain);
  else
    std::snprintf(buf, sizeof buf, "rcond default gain %.3g", p.gain);
  return buf;
}

void publish(Correction::State& s, std::string line) {
  if (s.published != nullptr) s.published->store(line.data());
}

KickSequence refuse(std::string why) {
  KickSequence k;
  k.error = std::move(why);
  return k;
}

}  // namespace

KickSequence Correction::apply(const Step& step) {
  State& s = *state_;
  if (!step.ok) return refuse("the step was refused: " + step.error);
  if (step.generation != s.generation || step.kicks.size() != static_cast<std::size_t>(s.matrix.cols))
    return refuse(
        "the step was computed before the last change (configuration, apply or undo); compute it again");
  HistoryEntry e;
  e.time = OVRIXtime();
  e.settings[0] = step.settings[0];
  e.settings[1] = step.settings[1];
  e.policy = step.policy;
  e.scale = step.scale;
  e.rms_before = step.rms_before;
  e.rms_after = step.rms_after;
  e.kicks_before = step.kicks_before;
  e.kicks_after = step.kicks;
  KickSequence out;
  for (int k = 1; k <= step.substeps; ++k) {
    std::vector<double> kicks = step.kicks;
    if (k < step.substeps)
      for (std::size_t j = 0; j < kicks.size(); ++j)
        kicks[j] = step.kicks_before[j] + step.delta[j] * k / step.substeps;
    out.kicks.push_back(std::move(kicks));
  }
  s.history.insert(s.history.begin(), std::move(e));
  if (s.history.size() > s.depth) s.history.pop_back();
  ++s.generation;
  char buf[160];
  std::snprintf(buf, sizeof buf, "apply: rms %.4g -> %.4g, %s scale %.3g, %zu limited; x %s; y %s",
                step.rms_before, step.rms_after, limit_policy_name(step.policy), step.scale,
                step.limited.size(), cut_text(step.settings[0]).c_str(), cut_text(step.settings[1]).c_str());
  publish(s, buf);
  out.ok = true;
  return out;
}

KickSequence Correction::undo() {
  State& s = *state_;
  if (s.history.empty()) return refuse("nothing to undo");
  KickSequence out;
  out.kicks.push_back(s.history.front().kicks_before);
  char buf[96];
  std::snprintf(buf, sizeof buf, "undo: the kicks before the step of time %lld restored",
                static_cast<long long>(s.history.front().time));
  s.history.erase(s.history.begin());
  ++s.generation;
  publish(s, buf);
  out.ok = true;
  return out;
}

}  // namespace zor_feedback
