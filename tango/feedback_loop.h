// feedback_loop.h - the demo's orbit feedback (sim::FeedbackSimulation) run
// continuously: one cycle per period in a thread of its own, and the
// operations a client asks for in between, all under one mutex. Knows
// nothing of TANGO.
#ifndef ZOR_FEEDBACK_TANGO_FEEDBACK_LOOP_H
#define ZOR_FEEDBACK_TANGO_FEEDBACK_LOOP_H

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "feedback_simulation.h"

namespace zor_feedback {
namespace tango {

class FeedbackLoop {
 public:
  enum class State { running, stopped, fault };

  // Whether a period can be used; false with the reason in *error.
  static bool period_ok(double seconds, std::string* error);

  // Builds the simulation and loads and inverts its matrix. When that fails
  // the loop is in fault, with the library's error as its status, and has no
  // simulation. Starts stopped. `after_cycle` runs in the loop's thread after
  // each cycle, with the mutex released; it must not throw.
  FeedbackLoop(sim::FeedbackSimulation::Settings settings, double period_s,
               std::function<void()> after_cycle);
  ~FeedbackLoop();  // ends the thread
  FeedbackLoop(const FeedbackLoop&) = delete;
  FeedbackLoop& operator=(const FeedbackLoop&) = delete;

  // Held around every use of the simulation's objects, by the loop and by
  // whoever reads its properties.
  std::mutex& mutex() { return mutex_; }
  // Null in fault from the start. Use it under mutex().
  sim::FeedbackSimulation* simulation() { return sim_.get(); }

  // Running is refused in fault (false).
  bool start();
  void stop();

  State state();
  std::string status();
  long long cycles();
  double period();
  // False, with the reason in *error, for a period that is not ok.
  bool set_period(double seconds, std::string* error);

  // The last inversion served.
  zor_feedback::SvdReport inversion();
  // reinvert() of the simulation with `tol`, or with the tolerance in use
  // (-1 again when it was the internal one).
  zor_feedback::SvdReport invert(float tol);
  zor_feedback::SvdReport invert_again();
  // replace_matrix() of the simulation.
  bool load_matrix(const std::string& path, std::string* error);

 private:
  using clock = std::chrono::steady_clock;
  void run();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::unique_ptr<sim::FeedbackSimulation> sim_;
  std::function<void()> after_cycle_;
  State state_ = State::stopped;
  std::string fault_;
  clock::duration period_;
  clock::time_point next_;  // when the next cycle is due
  long long cycles_ = 0;
  bool quit_ = false;
  std::thread thread_;  // last: starts when everything above is in place
};

}  // namespace tango
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_TANGO_FEEDBACK_LOOP_H
