#include <chrono>
#include <cmath>
#include <limits>
#include <string>

#include "checks.h"

namespace zor_feedback {
namespace loop {
namespace detail {
namespace {

std::string ms(Duration d) {
  return std::to_string(std::chrono::duration<double, std::milli>(d).count()) + " ms";
}

// The reason an orbit is malformed; empty when it is not.
std::string shape_error(const Orbit& o, const LoopConfig& c) {
  if (o.values.size() != o.valid.size())
    return "the orbit has " + std::to_string(o.values.size()) + " values but " +
           std::to_string(o.valid.size()) + " validity flags";
  if (!c.reference.empty() && o.values.size() != c.reference.size())
    return "the orbit has " + std::to_string(o.values.size()) + " monitors, the reference " +
           std::to_string(c.reference.size());
  return {};
}

std::string age_error(const Orbit& o, Time now, Time last, const LoopConfig& c) {
  if (o.stamp > now) return "the orbit is stamped " + ms(o.stamp - now) + " ahead of the clock";
  if (now - o.stamp > c.trips.max_age)
    return "the orbit is " + ms(now - o.stamp) + " old, the limit " + ms(c.trips.max_age);
  if (o.stamp <= last) return "the orbit is not newer than the last one used";
  return {};
}

}  // namespace

OrbitVerdict check_orbit(const Orbit& o, Time now, Time last, const LoopConfig& c) {
  OrbitVerdict v;
  if (!o.ok) {
    v.reason = TripReason::source_failed;
    v.detail = "the orbit could not be read: " + o.error;
    return v;
  }
  v.detail = shape_error(o, c);
  if (!v.detail.empty()) {
    v.reason = TripReason::source_failed;
    return v;
  }
  v.detail = age_error(o, now, last, c);
  if (!v.detail.empty()) {
    v.reason = TripReason::stale_orbit;
    return v;
  }
  // One pass: each value kept or NaN, and the sum of squares.
  const std::size_t n = o.values.size();
  v.used.resize(n);
  double sum = 0.0;
  const double* values = o.values.data();
  const double* ref = c.reference.empty() ? nullptr : c.reference.data();
  double* used = v.used.data();
  auto valid = o.valid.begin();
  for (std::size_t i = 0; i < n; ++i, ++valid) {
    const double d = ref == nullptr ? values[i] - 0.0 : values[i] - ref[i];
    if (!*valid || !std::isfinite(d)) {
      used[i] = std::numeric_limits<double>::quiet_NaN();
      continue;
    }
    used[i] = values[i];
    sum += d * d;
    ++v.valid;
  }
  if (v.valid < c.trips.min_monitors) {
    v.reason = TripReason::few_monitors;
    v.detail = std::to_string(v.valid) + " valid monitors, at least " + std::to_string(c.trips.min_monitors) +
               " needed";
    return v;
  }
  v.rms = std::sqrt(sum / v.valid);
  return v;
}

}  // namespace detail
}  // namespace loop
}  // namespace zor_feedback
