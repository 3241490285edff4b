// loop_core.h - what a FeedbackLoop holds, shared with the threads it starts
// (a re-inversion or a dry run may outlive the loop; its result is dropped),
// and the pieces of the correction's cycle. Private to the device server.
#ifndef ZOR_FEEDBACK_SERVER_LOOP_CORE_H
#define ZOR_FEEDBACK_SERVER_LOOP_CORE_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "feedback_loop.h"
#include "zor_feedback/loop/cycle_stats.h"
#include "zor_feedback/loop/plane_pi.h"
#include "zor_feedback/loop/rms_history.h"
#include "zor_feedback/loop/trips.h"

namespace zor_feedback {
namespace server {

using clock = std::chrono::steady_clock;

// try_lock_for in turns of try_lock: the same wait, made of calls that every
// checker of threads follows (ThreadSanitizer does not see the clock-based
// lock that glibc gives timed_mutex::try_lock_for, and reports its unlock).
inline bool lock_within(std::unique_lock<std::timed_mutex>& lock, clock::duration wait) {
  const clock::time_point end = clock::now() + wait;
  while (!lock.try_lock()) {
    if (clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

// For the threads the loop starts: the server's own handling keeps signals.
void block_signals();
// Threads of re-inversions and dry runs still computing in this process.
std::atomic<int>& jobs_running();

struct FeedbackLoop::Core {
  std::mutex mutex;
  std::condition_variable wake;     // the loop thread: start, stop, period, end
  std::condition_variable changed;  // the notifier and who waits for an inversion
  std::unique_ptr<sim::FeedbackSimulation> sim;
  // The devices of the ring (null: the simulated machine), used by sim once
  // a Start has read the correctors through `sink`.
  zor_feedback::loop::OrbitSource* source = nullptr;
  zor_feedback::loop::CorrectorSink* sink = nullptr;
  // After the devices failed (no orbit, a refused write) the correctors are
  // read again before the next step: a restarted server's, or a hand's,
  // set-points are where the loop goes on from.
  bool reread_kicks = false;
  State state = State::starting;
  std::string fault, alarm;
  clock::duration period{};
  clock::time_point next;  // when the next cycle is due
  long long cycles = 0;
  // How long the cycles since the last Start took, from the orbit's read to
  // the step applied (a skipped cycle too).
  zor_feedback::loop::CycleStats cycle_times;
  // The divergence rule: the orbit rms grew on consecutive cycles.
  zor_feedback::loop::TripCounts trips;
  double last_rms = std::numeric_limits<double>::quiet_NaN();
  bool quit = false;
  ChangeQueue events{kEventQueue};  // what the notifier has not pushed yet

  bool inverting = false;
  std::string job;  // what runs
  clock::time_point job_started;
  long long jobs_started = 0, jobs_done = 0;
  Outcome last;  // of the last job done
  std::string inversion_status = "none yet";
  std::string served_inverse;  // standard: loop_inverse_text of the inverse served
  // The settings a new matrix took over from the correction before it
  // (CarryReport::text), empty before any; and, for the first inversion, the
  // correction of the device before Init (null: none).
  std::string carried;
  std::unique_ptr<zor_feedback::Correction> carry_from;

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
  // Each plane's controller after the correction's solve, under `work`: its
  // ki is the plane's gain (set together), its PI the orbit error the step
  // is given (plane_pi.h).
  zor_feedback::loop::ControllerConfig controller[2];
  zor_feedback::loop::PlanePi plane_pi;
  bool pi_afresh = false;  // under `mutex`: a Start clears plane_pi before the next step
  // The orbit rms per plane of the last cycles, under `mutex`.
  static constexpr std::size_t kRmsCycles = 1000;
  zor_feedback::loop::RmsHistory rms_history{kRmsCycles};
  // The last cycles' orbits, oldest first, for the orbit's spectrum; under `mutex`.
  static constexpr std::size_t kSpectrumCycles = 256;
  std::deque<std::vector<double>> orbit_window;
  std::vector<zor_feedback::Plane> window_planes;  // the correction's monitors' planes
  long long orbits = 0;                            // orbits measured, by cycles and by CalcStep
  bool standard = true;                            // the loop steps by `correction`
  CorrectionView view;                             // under `mutex`
  bool stepping = false;                           // a dry run computes
  long long steps_started = 0, steps_done = 0;
  Outcome step_outcome;  // of the last dry run

  // The response measurement (loop_measure.cc): one at a time, with the loop
  // stopped; Start, ApplyStep and Undo are refused while it runs.
  bool measuring = false;
  double measure_progress = 0;  // percent of the columns measured
  std::string measure_status = "none yet";
  std::atomic<bool> measure_stop{false};
};

// What a re-inversion computes: a file to load, or the served matrix again.
struct FeedbackLoop::Request {
  std::string file, name;  // the file to load (shown as `name`); empty: the served matrix
  std::string what;        // what the history calls it; empty: the first inversion
  double tol = -1.0;       // the whole matrix's cut (classic): as sim::FeedbackSimulation::prepare
  int keep = 0;
  // Standard: the change of the correction that the new inverse serves
  // (null: none), and the same change begun on the correction in place
  // (not ok for a file: its own new correction). The re-inversion prepares
  // it beside the cycles and adopts it when served, so that no step waits
  // for a decomposition; when the correction changed meanwhile, `change` is
  // made on it instead.
  std::function<std::string(zor_feedback::Correction&)> change;
  zor_feedback::PreparedChange prepared;
  const zor_feedback::LabelledMatrix* values = nullptr;  // the correction's matrix, for `prepared`
  // Under both locks, once the change is served (null: nothing).
  std::function<void(FeedbackLoop::Core&)> on_served;
};

// The inverse the standard loop's step applies, n x m as the served INVERSE:
// each plane's pseudo-inverse of the monitors and correctors it has in use,
// at its cut, in their places; zero elsewhere (masked monitors and
// correctors, the other plane). The step before its limits is
// -gain * values * orbit, plane by plane.
struct LoopInverse {
  // ok, error; the planes' singular values merged (non-increasing), the
  // values used, the planes' common rcond and keep (NaN when they differ),
  // the condition number of the blocks in use.
  zor_feedback::SvdReport report;
  zor_feedback::SvdReport planes[2];  // ok for a plane with correctors in use
  std::vector<double> values;         // n x m, row-major
};
// Of the configuration of `c`, weights 1, the matrix's values those of
// `values` (c's own, or for a change's draft those of the correction it
// was begun on); makes the planes' inversions, so call it without any lock
// on a correction no other thread changes.
LoopInverse loop_inverse(const zor_feedback::Correction& c, const zor_feedback::LabelledMatrix& values);
// "plane x 24 of 24 (rcond 1.066e-14), plane y ...".
std::string loop_inverse_text(const LoopInverse& inv);
// Puts `inv` in the candidate's place of the inverse, spectrum and report.
void serve_in(const LoopInverse& inv, sim::FeedbackSimulation::Candidate& c);

// A copy of `c`'s labels, masks, limits, cuts, gains and policy, to try a
// change on first or to invert for.
std::unique_ptr<zor_feedback::Correction> copy_of(const zor_feedback::Correction& c);

// The orbit's and the kicks' units of a matrix labelled "# units: A/B" (A
// per B: the response is orbit per kick); mm and mrad when it has no label;
// both empty (unknown) for a label of another form.
void units_of(const std::string& label, std::string* orbit, std::string* kick);

// A cycle of the standard inversion, with `lock` (on the mutex) held: the
// orbit is measured under it; the step is computed in a thread of its own
// under `work` alone and applied there under both, while this one waits with
// the lock released. Returns at once when the loop ends (the step is dropped).
sim::CycleRecord correction_cycle(const std::shared_ptr<FeedbackLoop::Core>& core,
                                  std::unique_lock<std::mutex>& lock);

// For a candidate that loads a file: the Correction of its labelled matrix
// with the cuts, gains and policy in use, its inverses made; null, with
// c.refusal, when the labels are refused. Call it without any lock.
// *carried gets what it kept of the correction in place (or of the one
// before Init).
std::unique_ptr<zor_feedback::Correction> next_correction(FeedbackLoop::Core& k,
                                                          sim::FeedbackSimulation::Candidate& c,
                                                          std::string* carried);
// Under both locks: the step in the view, by a cycle or a dry run (`by`).
void publish_step(FeedbackLoop::Core& k, const zor_feedback::Step& st, const std::string& by);
// Under both locks: the correction's configuration in the view.
void publish_configuration(FeedbackLoop::Core& k);
// Under both locks: records `st` as applied and sets its first write (the
// library's, within max_step); empty when done, else why not, nothing
// changed. Never a refused or non-finite step; the rest of a split step is
// computed again from the next orbit.
std::string apply_checked(FeedbackLoop::Core& k, const zor_feedback::Step& st);
// Puts `next` in place of the correction (under `work` and the mutex).
void install_correction(FeedbackLoop::Core& k, std::unique_ptr<zor_feedback::Correction> next);

}  // namespace server
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_SERVER_LOOP_CORE_H
