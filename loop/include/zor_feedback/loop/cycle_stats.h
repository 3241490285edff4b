// cycle_stats.h - the cycle times of the last cycles: median, 99th
// percentile and maximum (nearest rank: the smallest time that at least that
// share of the window does not exceed).
#ifndef ZOR_FEEDBACK_LOOP_CYCLE_STATS_H
#define ZOR_FEEDBACK_LOOP_CYCLE_STATS_H

#include <cstddef>
#include <vector>

#include "zor_feedback/loop/clock.h"

namespace zor_feedback {
namespace loop {

struct CycleTimes {
  long long count = 0;  // cycles timed since the last clear (the window holds the latest)
  Duration p50{0}, p99{0}, max{0};
};

class CycleStats {
 public:
  explicit CycleStats(std::size_t window = 1024);
  void add(Duration d);
  CycleTimes times() const;
  void clear();

 private:
  std::vector<Duration> ring_;
  std::size_t window_, next_ = 0;
  long long count_ = 0;
};

}  // namespace loop
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_LOOP_CYCLE_STATS_H
