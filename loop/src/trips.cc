#include "zor_feedback/loop/trips.h"

#include <cmath>

namespace zor_feedback {
namespace loop {

const char* trip_reason_name(TripReason reason) {
  switch (reason) {
    case TripReason::none:
      return "none";
    case TripReason::rms_high:
      return "rms_high";
    case TripReason::rms_growing:
      return "rms_growing";
    case TripReason::few_monitors:
      return "few_monitors";
    case TripReason::stale_orbit:
      return "stale_orbit";
    case TripReason::source_failed:
      return "source_failed";
    case TripReason::step_refused:
      return "step_refused";
    case TripReason::correctors_saturated:
      return "correctors_saturated";
    case TripReason::sink_failed:
      return "sink_failed";
    case TripReason::readback_mismatch:
      return "readback_mismatch";
  }
  return "unknown";
}

bool rms_grew(double rms, double previous, double growth_percent) {
  return std::isfinite(previous) && rms > previous * (1.0 + growth_percent / 100.0);
}

std::string check_trip_rules(const TripRules& r) {
  const int counts[] = {r.rms_cycles,           r.growth_cycles,       r.few_monitors_cycles, r.stale_cycles,
                        r.source_failed_cycles, r.step_refused_cycles, r.saturated_cycles};
  for (const int n : counts)
    if (n < 1) return "every trip count must be at least 1 cycle";
  if (std::isnan(r.rms_limit) || !(r.rms_limit >= 0)) return "the rms limit must be >= 0 (infinite: off)";
  if (std::isnan(r.growth_percent) || !(r.growth_percent >= 0))
    return "the growth limit must be >= 0 % (infinite: off)";
  if (r.min_monitors < 1) return "at least one valid monitor must be required";
  if (r.max_age.count() < 0) return "the age limit must be >= 0";
  if (r.saturated_correctors < 1) return "the saturation rule needs at least 1 corrector";
  return {};
}

bool TripCounts::count(TripReason reason, bool hit, int needed) {
  int& n = counts_[static_cast<std::size_t>(reason)];
  n = hit ? n + 1 : 0;
  return hit && n >= needed;
}

}  // namespace loop
}  // namespace zor_feedback
