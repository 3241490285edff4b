// Putting the correctors back to their start values, verified by read-back.
#include <cmath>

#include "guarded.h"
#include "measure_steps.h"

namespace zor_feedback {
namespace loop {
namespace detail {

namespace {

// The correctors whose read-back is off its start value (all of them when
// the read-back fails); polls until settle_max for a lagging supply.
std::vector<std::string> unrestored(MeasureRun& run, Time t0) {
  const std::vector<double>& start = run.state.start_kicks;
  for (;;) {
    const SinkResult r = guarded_read(run.sink);
    std::vector<std::string> off;
    for (std::size_t j = 0; j < start.size(); ++j)
      if (!r.ok || r.values.size() != start.size() ||
          !(std::fabs(r.values[j] - start[j]) <= run.config.readback_tolerance))
        off.push_back(corrector_name(run.config, j));
    if (off.empty() || run.clock.now() - t0 >= run.config.settle_max) return off;
    run.clock.sleep_for(run.config.poll);
  }
}

}  // namespace

// Tries restore_attempts writes (a refused or throwing write is tried again);
// never throws: this runs on the way out of every failure.
std::vector<std::string> restore_kicks(MeasureRun& run) {
  std::vector<std::string> off;
  for (std::size_t j = 0; j < run.state.start_kicks.size(); ++j) off.push_back(corrector_name(run.config, j));
  for (int attempt = 0; attempt < std::max(1, run.config.restore_attempts); ++attempt) {
    try {
      bool threw = false;
      const Time t0 = run.clock.now();
      if (!guarded_write(run.sink, run.state.start_kicks, &threw).ok) continue;
      off = unrestored(run, t0);
      if (off.empty()) break;
    } catch (...) {  // a name that cannot be built: keep the list we have
    }
  }
  return off;
}

}  // namespace detail
}  // namespace loop
}  // namespace zor_feedback
