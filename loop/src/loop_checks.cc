// The checks of one cycle, in the order it makes them.
#include <cmath>
#include <utility>

#include "checks.h"
#include "guarded.h"
#include "zor_feedback/loop/loop.h"

namespace zor_feedback {
namespace loop {

bool Loop::check_orbit(const Orbit& orbit, CycleRecord& rec, std::vector<double>* used) {
  detail::OrbitVerdict v = detail::check_orbit(orbit, clock_.now(), last_stamp_, config_);
  const TripRules& r = config_.trips;
  // The rules in the order they are checked: those before the failed one held.
  const std::pair<TripReason, int> rules[] = {{TripReason::source_failed, r.source_failed_cycles},
                                              {TripReason::stale_orbit, r.stale_cycles},
                                              {TripReason::few_monitors, r.few_monitors_cycles}};
  for (const auto& [reason, needed] : rules)
    if (!fail(rec, reason, reason == v.reason, needed, v.detail)) return false;
  rec.valid_monitors = v.valid;
  rec.rms = v.rms;
  *used = std::move(v.used);
  return true;
}

bool Loop::check_rms(CycleRecord& rec) {
  const TripRules& r = config_.trips;
  const double previous = last_rms_;
  last_rms_ = rec.rms;
  const bool growing = rms_grew(rec.rms, previous, r.growth_percent);
  const bool high = rec.rms > r.rms_limit;
  // Both counts move every cycle with an orbit, whichever trips first.
  const bool high_trips = counts_.count(TripReason::rms_high, high, r.rms_cycles);
  const bool growing_trips = counts_.count(TripReason::rms_growing, growing, r.growth_cycles);
  if (high_trips) {
    trip(rec, TripReason::rms_high,
         "orbit rms " + std::to_string(rec.rms) + " above " + std::to_string(r.rms_limit) + " for " +
             std::to_string(r.rms_cycles) + " cycles");
  } else if (growing_trips) {
    trip(rec, TripReason::rms_growing,
         "orbit rms grew by more than " + std::to_string(r.growth_percent) + " % for " +
             std::to_string(r.growth_cycles) + " cycles, now " + std::to_string(rec.rms));
  }
  return !high_trips && !growing_trips;
}

bool Loop::make_step(const std::vector<double>& orbit, CycleRecord& rec, std::vector<double>* kicks) {
  if (kicks_.empty()) {
    const SinkResult now = detail::guarded_read(sink_);
    std::string why = now.ok ? std::string() : now.error;
    if (now.ok && !config_.limits.empty() && now.values.size() != config_.limits.size())
      why = std::to_string(now.values.size()) + " correctors read, limits for " +
            std::to_string(config_.limits.size());
    if (!why.empty()) {
      trip(rec, TripReason::sink_failed, "the correctors could not be read: " + why);
      return false;
    }
    kicks_ = now.values;
  }
  ControllerStep st = detail::guarded_step(controller_, orbit, kicks_);
  std::string why = st.ok ? detail::check_step(kicks_, st.kicks, config_.limits) : st.error;
  if (!fail(rec, TripReason::step_refused, !why.empty(), config_.trips.step_refused_cycles,
            "step refused: " + why))
    return false;
  // A step to a limit is written; only a saturation that lasts trips.
  const int at = detail::count_at_limit(st.kicks, config_.limits, config_.limit_margin);
  const TripRules& r = config_.trips;
  if (counts_.count(TripReason::correctors_saturated, at >= r.saturated_correctors, r.saturated_cycles)) {
    trip(rec, TripReason::correctors_saturated,
         std::to_string(at) + " correctors at a limit for " + std::to_string(r.saturated_cycles) + " cycles");
    return false;
  }
  *kicks = std::move(st.kicks);
  return true;
}

}  // namespace loop
}  // namespace zor_feedback
