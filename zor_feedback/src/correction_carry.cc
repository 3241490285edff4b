// A new matrix keeps the settings of the old one by name: masks, limits,
// weights, the reference, the RF column, cuts, gains, policy and kernel.
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "correction_state.h"

namespace zor_feedback {

std::string CarryReport::text() const {
  if (dropped.empty()) return "kept every setting";
  std::string s = "dropped (not in the new matrix, or refused there): ";
  for (std::size_t k = 0; k < dropped.size(); ++k) s += (k == 0 ? "" : "; ") + dropped[k];
  return s;
}

namespace {

// The index of (name, plane) in the new matrix's names; -1 when absent.
int same_name(const std::vector<std::string>& names, const std::vector<Plane>& planes,
              const std::string& name, Plane plane) {
  for (std::size_t k = 0; k < names.size(); ++k)
    if (names[k] == name && planes[k] == plane) return static_cast<int>(k);
  return -1;
}

bool limited(const KickLimit& l) {
  return std::isfinite(l.min) || std::isfinite(l.max) || std::isfinite(l.max_step);
}

// What a monitor of the old matrix carried: "masked, weight, reference".
std::string monitor_settings(const Correction::State& o, std::size_t i) {
  std::string s;
  const auto add = [&s](const char* what) { s += (s.empty() ? "" : ", ") + std::string(what); };
  if (!o.monitor_on[i]) add("masked");
  if (!o.weights.empty() && o.weights[i] != 1.0) add("weight");
  if (!o.reference.empty() && o.reference[i] != 0.0) add("reference");
  return s;
}

// The old monitors' per-monitor values at the new monitors (`fill` where new).
std::vector<double> by_monitor(const Correction::State& o, const Correction::State& n,
                               const std::vector<double>& values, double fill) {
  if (values.empty()) return {};
  std::vector<double> out(n.matrix.monitors.size(), fill);
  for (std::size_t i = 0; i < out.size(); ++i) {
    const int k = same_name(o.matrix.monitors, o.matrix.monitor_planes, n.matrix.monitors[i],
                            n.matrix.monitor_planes[i]);
    if (k >= 0) out[i] = values[static_cast<std::size_t>(k)];
  }
  return out;
}

}  // namespace

CarryReport Correction::carry_settings_from(const Correction& old) {
  CarryReport rep;
  const State& o = *old.state_;
  State& n = *state_;
  const auto drop = [&rep](const std::string& what, const std::string& why) {
    rep.dropped.push_back(what + why);
  };
  for (const Plane p : {Plane::x, Plane::y}) {
    const int k = static_cast<int>(p);
    if (Outcome r = set_plane(p, o.planes[k]); !r.ok) {
      drop(std::string("the cut of plane ") + plane_name(p), ": " + r.error);
      PlaneSettings gain_only = n.planes[k];
      gain_only.gain = o.planes[k].gain;
      set_plane(p, gain_only);
    }
  }
  set_policy(o.policy);
  set_step_kernel(o.kernel);
  if (!o.rf_name.empty()) carry_rf(old, &rep);
  if (Outcome r = set_weights(by_monitor(o, n, o.weights, 1.0)); !r.ok) drop("the weights", ": " + r.error);
  if (Outcome r = set_reference(by_monitor(o, n, o.reference, 0.0)); !r.ok)
    drop("the reference", ": " + r.error);
  for (std::size_t i = 0; i < o.monitor_on.size(); ++i) {
    const std::string what = monitor_settings(o, i), name = o.matrix.monitors[i];
    if (what.empty()) continue;
    if (same_name(n.matrix.monitors, n.matrix.monitor_planes, name, o.matrix.monitor_planes[i]) < 0)
      drop("monitor " + name + " (" + what + ")", "");
    else if (Outcome r = o.monitor_on[i] ? Outcome{true, {}}
                                         : set_monitor_enabled(
                                               name + ":" + plane_name(o.matrix.monitor_planes[i]), false);
             !r.ok)
      drop("monitor " + name + " (masked)", ": " + r.error);
  }
  for (std::size_t j = 0; j < o.corrector_on.size(); ++j) {
    const std::string name = o.matrix.correctors[j];
    const bool masked = !o.corrector_on[j], limit = limited(o.limits[j]);
    if (!masked && !limit) continue;
    if (same_name(n.matrix.correctors, n.matrix.corrector_planes, name, o.matrix.corrector_planes[j]) < 0) {
      drop("corrector " + name +
               (masked && limit ? " (masked, limits)"
                : masked        ? " (masked)"
                                : " (limits)"),
           "");
      continue;
    }
    const std::string one = name + ":" + plane_name(o.matrix.corrector_planes[j]);
    if (Outcome r = limit ? set_limit(one, o.limits[j]) : Outcome{true, {}}; !r.ok)
      drop("corrector " + name + " (limits)", ": " + r.error);
    if (Outcome r = masked ? set_corrector_enabled(one, false) : Outcome{true, {}}; !r.ok)
      drop("corrector " + name + " (masked)", ": " + r.error);
  }
  return rep;
}

void Correction::carry_rf(const Correction& old, CarryReport* rep) {
  const State& o = *old.state_;
  const State& n = *state_;
  if (same_name(n.matrix.correctors, n.matrix.corrector_planes, o.rf_name, Plane::x) >= 0) {
    // The new matrix holds it already (a copy of the same matrix).
    state_->rf_name = o.rf_name;
    state_->rf_column = by_monitor(o, n, o.rf_column, 0.0);
    return;
  }
  std::vector<double> column(n.matrix.monitors.size(), 0.0);
  for (std::size_t i = 0; i < column.size(); ++i) {
    const int k = same_name(o.matrix.monitors, o.matrix.monitor_planes, n.matrix.monitors[i],
                            n.matrix.monitor_planes[i]);
    if (k < 0) {
      rep->dropped.push_back("the RF column " + o.rf_name + " (no response at the new monitor " +
                             n.matrix.monitors[i] + ")");
      return;
    }
    column[i] = o.rf_column[static_cast<std::size_t>(k)];
  }
  if (Outcome r = add_rf_column(o.rf_name, column); !r.ok)
    rep->dropped.push_back("the RF column " + o.rf_name + ": " + r.error);
}

}  // namespace zor_feedback
