// checks.h - the loop's checks of an orbit and of a step, apart from the
// cycle that acts on them. Private to loop/.
#ifndef ZOR_FEEDBACK_LOOP_SRC_CHECKS_H
#define ZOR_FEEDBACK_LOOP_SRC_CHECKS_H

#include <string>
#include <vector>

#include "zor_feedback/loop/loop.h"

namespace zor_feedback {
namespace loop {
namespace detail {

struct OrbitVerdict {
  TripReason reason = TripReason::none;  // the first check that failed: source, stale, few monitors
  std::string detail;
  std::vector<double> used;  // the values, NaN where a monitor is dropped
  int valid = 0;
  double rms = 0.0;  // about the reference, over the monitors used
};

// The orbit as read at `now`, the last one used stamped `last`.
OrbitVerdict check_orbit(const Orbit& orbit, Time now, Time last, const LoopConfig& config);

// Empty when `after` may be written over `before`, else why not: its size,
// a value that is not finite, past min or max, or a change past max_step
// (beyond a rounding slack of 1e-9 relative).
std::string check_step(const std::vector<double>& before, const std::vector<double>& after,
                       const std::vector<CorrectorLimit>& limits);

// How many kicks are within `margin` of their min or max.
int count_at_limit(const std::vector<double>& kicks, const std::vector<CorrectorLimit>& limits,
                   double margin);

// The first corrector whose read-back is off its set-point by more than
// `tolerance`, as text; empty when none (or the sizes differ: said too).
std::string compare_readback(const std::vector<double>& set, const std::vector<double>& read,
                             double tolerance);

}  // namespace detail
}  // namespace loop
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_LOOP_SRC_CHECKS_H
