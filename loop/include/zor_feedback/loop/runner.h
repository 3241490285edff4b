// runner.h - runs a Loop at a period: in a thread of its own after start(),
// or in the caller's thread by run(). Cycles start at multiples of the period
// from the start; one that overruns is followed at once by the next (missed
// starts are dropped, not caught up).
//
// stop() lets the cycle under way finish and starts no other: it returns
// within one cycle. Readers take snapshot(), which never waits for a cycle;
// the cycle waits for a reader only as long as a pointer copy.
//
// The runner makes every call on its loop; a caller uses the loop only
// through it while it exists.
#ifndef ZOR_FEEDBACK_LOOP_RUNNER_H
#define ZOR_FEEDBACK_LOOP_RUNNER_H

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "zor_feedback/loop/loop.h"

namespace zor_feedback {
namespace loop {

struct Snapshot {
  bool running = false;
  LoopStatus status;
  CycleRecord last;  // the last cycle (cycle 0: none yet)
  CycleTimes times;
};

class Runner {
 public:
  explicit Runner(Loop& loop);
  ~Runner();  // stops
  Runner(const Runner&) = delete;
  Runner& operator=(const Runner&) = delete;

  // Empty when taken, else why not: the period must be > 0.
  std::string set_period(std::chrono::nanoseconds period);
  std::chrono::nanoseconds period() const;

  // Starts the thread; empty when started, else why not (already running).
  std::string start();
  // Cycles in the calling thread until stop(); empty when it ran, else why not.
  std::string run();
  // Waits for the cycle under way, and for the thread. A no-op when not
  // running. Not to be called from the loop's own source, sink or controller.
  void stop();
  // Clears the loop's trip (Loop::reset) between cycles: the documented way
  // to run again after a trip.
  void reset();
  // Empty when taken (between cycles), else why not.
  std::string configure(const LoopConfig& config);

  std::shared_ptr<const Snapshot> snapshot() const;

 private:
  std::string claim();  // marks running, or says why not
  void loop_body();
  // Under cycle_: the loop's state, and `last` (null: the last one kept).
  void publish(const CycleRecord* last);

  Loop& loop_;
  std::mutex cycle_;  // held around every call on the loop
  mutable std::mutex control_;
  std::condition_variable wake_;
  bool running_ = false, stop_ = false;
  std::chrono::nanoseconds period_{std::chrono::milliseconds(100)};
  std::mutex joining_;  // around thread_
  std::thread thread_;
  mutable std::mutex published_;
  std::shared_ptr<const Snapshot> snapshot_;
};

}  // namespace loop
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_LOOP_RUNNER_H
