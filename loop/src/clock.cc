#include "zor_feedback/loop/clock.h"

#include <thread>

namespace zor_feedback {
namespace loop {

Time SteadyClock::now() const {
  return std::chrono::duration_cast<Time>(std::chrono::steady_clock::now().time_since_epoch());
}

void SteadyClock::sleep_for(Duration d) {
  if (d.count() > 0) std::this_thread::sleep_for(d);
}

}  // namespace loop
}  // namespace zor_feedback
