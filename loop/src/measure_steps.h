// measure_steps.h - the steps of a response measurement: reading and
// averaging the orbit, setting the correctors and waiting for them to settle,
// sizing the kicks, restoring. A step that cannot go on throws MeasureAbort,
// which measure_response turns into its result after restoring. Private to
// loop/.
#ifndef ZOR_FEEDBACK_LOOP_SRC_MEASURE_STEPS_H
#define ZOR_FEEDBACK_LOOP_SRC_MEASURE_STEPS_H

#include <atomic>
#include <string>
#include <vector>

#include "zor_feedback/loop/measurement.h"

namespace zor_feedback {
namespace loop {
namespace detail {

struct MeasureAbort {
  std::string why;
  bool stopped = false;  // a stop request, not an error
};

// What the steps of one call share.
struct MeasureRun {
  OrbitSource& source;
  CorrectorSink& sink;
  Clock& clock;
  const MeasureConfig& config;
  MeasureState& state;
  const std::atomic<bool>* stop;
  std::size_t monitors = 0;  // 0: taken from the first orbit
  int reads = 0;             // orbit reads since the counter was last taken
  bool wrote = false;        // a write was tried in this call: restore on the way out
};

// The mean and the sample variance of n orbits, per monitor.
struct OrbitAverage {
  std::vector<double> mean, var;
  int n = 0;
  Time at{0};  // halfway between the first and the last reading
};

// One orbit, checked: read, shape, every monitor valid and finite.
std::vector<double> read_orbit(MeasureRun& run);
OrbitAverage average_orbits(MeasureRun& run, int n);

// Writes `setpoints`, waits for the read-backs and then for the orbit to
// settle (see MeasureConfig). Returns whether the orbit settled; *waited: how long.
bool set_and_settle(MeasureRun& run, const std::vector<double>& setpoints, Duration* waited);

// The correctors' read-backs, or MeasureAbort.
std::vector<double> read_kicks(MeasureRun& run, const char* when);

// The kick per corrector from the config, cut to the limits around `start`.
// Empty string: done; otherwise why not (nothing changed).
std::string size_kicks(const MeasureConfig& c, const std::vector<double>& start, std::vector<double>* kicks,
                       std::vector<bool>* capped);

// Puts every corrector back to state.start_kicks and reads them back; the
// names of those that are not (all of them when the read-back fails).
std::vector<std::string> restore_kicks(MeasureRun& run);

// Measures column j into the state (the corrector kicked and put back).
MeasuredColumn measure_column(MeasureRun& run, std::size_t j);

// The name of corrector j (config's, or its index).
std::string corrector_name(const MeasureConfig& c, std::size_t j);
std::string monitor_name(const MeasureConfig& c, std::size_t i);

}  // namespace detail
}  // namespace loop
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_LOOP_SRC_MEASURE_STEPS_H
