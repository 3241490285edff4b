// loop_core.h - what a FeedbackLoop holds, shared with the threads it starts
// (a re-inversion or a dry run may outlive the loop; its result is dropped),
// and the pieces of the correction's cycle. Private to the device server.
#ifndef ZOR_FEEDBACK_TANGO_LOOP_CORE_H
#define ZOR_FEEDBACK_TANGO_LOOP_CORE_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "feedback_loop.h"

namespace zor_feedback {
namespace tango {

using clock = std::chrono::steady_clock;

// For the threads the loop starts: the server's own handling keeps signals.
void block_signals();
// Threads of re-inversions and dry runs still computing in this process.
std::atomic<int>& jobs_running();

struct FeedbackLoop::Core {
  std::mutex mutex;
  std::condition_variable wake;     // the loop thread: start, stop, period, end
  std::condition_variable changed;  // the notifier and who waits for an inversion
  std::unique_ptr<sim::FeedbackSimulation> sim;
  State state = State::starting;
  std::string fault, alarm;
  clock::duration period{};
  clock::time_point next;  // when the next cycle is due
  long long cycles = 0;
  bool quit = false;
  unsigned pending = 0;  // Change bits not yet notified

  bool inverting = false;
  std::string job;  // what runs
  clock::time_point job_started;
  long long jobs_started = 0, jobs_done = 0;
  Outcome last;  // of the last job done
  std::string inversion_status = "none yet";

  // The correction. `work` is held around every use of `correction` and of
  // `calculated`, and taken before `mutex` when both are; `correction` is
  // replaced (a new matrix) under both.
  std::timed_mutex work;
  std::unique_ptr<zor_feedback::Correction> correction;
  // CalcStep's step and the orbit it was computed from: applied at most
  // once, and only while that orbit is the last one measured.
  struct Calculated {
    zor_feedback::Step step;  // not ok: none since the last change
    long long orbit_id = 0;
    std::vector<double> orbit;
    bool applied = false;
  } calculated;
  long long orbits = 0;   // orbits measured, by cycles and by CalcStep
  bool standard = true;   // the loop steps by `correction`
  CorrectionView view;    // under `mutex`
  bool stepping = false;  // a dry run computes
  long long steps_started = 0, steps_done = 0;
  Outcome step_outcome;  // of the last dry run
};

// A cycle of the standard inversion, with `lock` (on the mutex) held: the
// orbit is measured under it; the step is computed in a thread of its own
// under `work` alone and applied there under both, while this one waits with
// the lock released. Returns at once when the loop ends (the step is dropped).
sim::CycleRecord correction_cycle(const std::shared_ptr<FeedbackLoop::Core>& core,
                                  std::unique_lock<std::mutex>& lock);

// For a candidate that loads a file: the Correction of its labelled matrix
// with the cuts, gains and policy in use, its inverses made; null, with
// c.refusal, when the labels are refused. Call it without any lock.
std::unique_ptr<zor_feedback::Correction> next_correction(FeedbackLoop::Core& k,
                                                          sim::FeedbackSimulation::Candidate& c);
// Under both locks: the step in the view, by a cycle or a dry run (`by`).
void publish_step(FeedbackLoop::Core& k, const zor_feedback::Step& st, const std::string& by);
// Under both locks: the correction's configuration in the view.
void publish_configuration(FeedbackLoop::Core& k);
// Under both locks: records `st` (computed from `orbit`) as applied and sets
// its kicks in one write; empty when done, else why not, nothing changed.
// Never a refused or non-finite step; of a split step only its first
// sub-step, the rest is computed again from the next orbit. *written gets
// what was written.
std::string apply_checked(FeedbackLoop::Core& k, const zor_feedback::Step& st,
                          const std::vector<double>& orbit, zor_feedback::Step* written = nullptr);
// Puts `next` in place of the correction (under `work` and the mutex).
void install_correction(FeedbackLoop::Core& k, std::unique_ptr<zor_feedback::Correction> next);

}  // namespace tango
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_TANGO_LOOP_CORE_H
