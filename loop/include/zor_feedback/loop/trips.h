// trips.h - the rules that stop a loop, each with one reason code and one
// text form. docs/trips.md has the table.
//
// A rule counted over N cycles trips in the Nth consecutive cycle its
// condition holds, before that cycle writes anything; a cycle in which the
// condition is checked and does not hold sets its count back to zero. A
// tripped loop writes nothing more until it is reset.
#ifndef ZOR_FEEDBACK_LOOP_TRIPS_H
#define ZOR_FEEDBACK_LOOP_TRIPS_H

#include <array>
#include <chrono>
#include <limits>
#include <string>

#include "zor_feedback/loop/clock.h"

namespace zor_feedback {
namespace loop {

enum class TripReason {
  none,
  rms_high,              // the orbit's rms > rms_limit
  rms_growing,           // rms > (1 + growth_percent/100) x the previous cycle's rms
  few_monitors,          // fewer than min_monitors valid, finite monitors
  stale_orbit,           // the orbit is older than max_age, from the future, or not new
  source_failed,         // the source could not read, or its orbit is malformed
  step_refused,          // the controller refused, or its step passes a corrector limit
  correctors_saturated,  // at least saturated_correctors correctors at min or max
  sink_failed,           // the sink refused the write or could not be read (at once)
  readback_mismatch,     // a read-back differs from its set-point by more than the tolerance (at once)
};
constexpr int kTripReasons = 10;

// "none", "rms_high", ... as in the enum.
const char* trip_reason_name(TripReason reason);

struct TripRules {
  static constexpr double kOff = std::numeric_limits<double>::infinity();
  double rms_limit = kOff;  // in the orbit's unit, about the reference
  int rms_cycles = 3;
  double growth_percent = kOff;  // >= 0
  int growth_cycles = 5;
  int min_monitors = 1;
  int few_monitors_cycles = 1;
  Duration max_age = std::chrono::seconds(1);  // now - stamp > max_age: stale
  int stale_cycles = 1;
  int source_failed_cycles = 1;
  int step_refused_cycles = 1;
  int saturated_correctors = 1;  // how many at a limit count
  int saturated_cycles = 10;
};

// The growth rule's condition: `rms` above the previous cycle's by more than
// growth_percent (a previous rms that is not finite: no growth).
bool rms_grew(double rms, double previous, double growth_percent);

// Empty when the rules can be used, else what is wrong with them.
std::string check_trip_rules(const TripRules& rules);

// The consecutive counts of the rules counted over cycles.
class TripCounts {
 public:
  // Counts one cycle of `reason` (hit) or sets its count back (not hit);
  // true when it has now held for `needed` cycles.
  bool count(TripReason reason, bool hit, int needed);
  int of(TripReason reason) const { return counts_[static_cast<std::size_t>(reason)]; }
  void clear() { counts_.fill(0); }

 private:
  std::array<int, kTripReasons> counts_{};
};

}  // namespace loop
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_LOOP_TRIPS_H
