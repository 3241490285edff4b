// feedback_loop.h - the demo's orbit feedback (sim::FeedbackSimulation) run
// continuously: one cycle per period in a thread of its own, re-inversions in
// a thread of their own, and what a client asks for in between. Knows nothing
// of TANGO.
//
// The mutex guards only what is published: a re-inversion copies the matrix
// under it, inverts without it (cycles and reads go on) and swaps the result
// in under it, only when it is sound. One re-inversion at a time.
//
// With the standard inversion each cycle's step is a zor_feedback::Correction
// step (masks, cuts and gains per plane, kick limits), and the served inverse
// is the one that step applies (its planes' inverses assembled); with the
// classic one the cycle steps by the served inverse, as it always did. The Correction has
// a lock of its own, taken before the mutex: its step runs under that lock
// only, so readers, who read the copies published under the mutex, never
// wait for it. A change of mask, weight or cut is begun under it, its
// inverses prepared on the re-inversion's thread beside the cycles, and
// adopted under it between two cycles: no cycle waits for a decomposition.
#ifndef ZOR_FEEDBACK_SERVER_FEEDBACK_LOOP_H
#define ZOR_FEEDBACK_SERVER_FEEDBACK_LOOP_H

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "change_queue.h"
#include "feedback_simulation.h"
#include "zor_feedback/correction.h"
#include "zor_feedback/loop/cycle_stats.h"
#include "zor_feedback/loop/pi_controller.h"
#include "zor_feedback/loop/quality.h"
#include "zor_feedback/saved_settings.h"

namespace zor_feedback {
namespace server {

class FeedbackLoop {
 public:
  // starting: the first inversion runs; it starts the loop when it is served,
  // else the loop is in fault. alarm: running, but the last cycle's step was
  // not applied (the status says why); the next good cycle clears it.
  // tripped: stopped by the divergence rule (the status says why); Start
  // runs it again.
  enum class State { starting, running, alarm, stopped, tripped, fault };

  // What changed, for the notifier (bits).
  enum Change : unsigned {
    kCycle = 1,
    kInverse = 2,
    kInversionStatus = 4,
    kState = 8,
    kStep = 16,        // the last computed step
    kCorrection = 32,  // names, masks, limits, cuts, gains, policy
    kMeasure = 64,     // MeasureProgress, MeasureStatus
  };

  // How a re-inversion request ended within the wait it was given.
  struct Outcome {
    enum Kind { served, refused, running, busy } kind = busy;
    std::string text;  // served: what; refused: why; running: what runs; busy: why not started
  };

  // Whether a period can be used; false with the reason in *error.
  static bool period_ok(double seconds, std::string* error);
  // Re-inversions and dry runs still computing in this process (also of
  // loops that ended: their result is dropped).
  static int inversions_running();

  // Builds the simulation and starts its first inversion (the settings'
  // file and cut) without waiting for it. When the file's shape cannot be
  // read the loop is in fault at once, with the library's error as its
  // status. `notify` runs in a thread of its own with each entry of what
  // changed (Change bits; a cycle's entry has its counter, never merged with
  // another cycle's), in order, the mutex released; it must not throw.
  // `file_name` is the settings' file as texts show it (relative to the
  // directory files are read from). `carry_from` (a device's correction
  // before Init): its settings go on by name on the first matrix.
  // `source` and `sink` (not owned, outliving the loop; both or neither):
  // the ring behind other devices instead of the simulated one. The loop
  // then waits in stopped after the first inversion, and each Start reads
  // the correctors as they stand before the first step.
  FeedbackLoop(sim::FeedbackSimulation::Settings settings, const std::string& file_name, double period_s,
               std::function<void(const ChangeQueue::Entry&)> notify,
               std::unique_ptr<zor_feedback::Correction> carry_from = nullptr,
               zor_feedback::loop::OrbitSource* source = nullptr,
               zor_feedback::loop::CorrectorSink* sink = nullptr);
  ~FeedbackLoop();  // ends the threads at once; a running inversion's result is dropped
  FeedbackLoop(const FeedbackLoop&) = delete;
  FeedbackLoop& operator=(const FeedbackLoop&) = delete;

  // Held around every use of the simulation's published objects, by the
  // loop and by whoever reads its properties.
  std::mutex& mutex();
  // Null in fault from the start. Use it under mutex().
  sim::FeedbackSimulation* simulation();

  // Empty when done; else why not (already running, in fault, ...).
  std::string start();
  std::string stop();

  State state();
  std::string status();
  // The last re-inversion: "running: ...", "served: ...", "refused: ...".
  std::string inversion_status();
  long long cycles();
  // The cycle times since the last Start (median, 99th percentile, maximum).
  zor_feedback::loop::CycleTimes cycle_times();
  // The cycles whose events were dropped since the start: the notifier had
  // fallen kEventQueue entries behind (the loop never waits for it).
  long long events_dropped();
  static constexpr std::size_t kEventQueue = 1024;
  double period();
  // False, with the reason in *error, for a period that is not ok.
  bool set_period(double seconds, std::string* error);

  // The last inversion served, and its cut (sim::FeedbackSimulation::tolerance).
  // Standard: the loop's inverse, its rcond that of both planes (NaN when
  // their cuts differ).
  zor_feedback::SvdReport inversion();
  double simulation_tolerance();
  // Re-inverts with the cut `tol` (-1: the default one; standard: of both
  // planes) or, for `again`, with the cut in use; or loads `file` (of the served shape, shown as
  // `name` in every text) and inverts it with the cut in use. Waits at most
  // `wait` for the outcome.
  Outcome invert(double tol, std::chrono::milliseconds wait);
  Outcome invert_again(std::chrono::milliseconds wait);
  Outcome load_matrix(const std::string& file, const std::string& name, std::chrono::milliseconds wait);

  // The correction as a client reads it: copies, published under mutex().
  struct CorrectionView {
    std::vector<std::string> monitors, correctors;
    std::vector<bool> monitor_enabled, corrector_enabled;
    std::vector<zor_feedback::KickLimit> limits;
    zor_feedback::PlaneSettings planes[2];
    zor_feedback::LimitPolicy policy = zor_feedback::LimitPolicy::scale;
    // From the matrix file's "# units: orbit/kick" line (units_of).
    std::string orbit_unit = "mm", kick_unit = "mrad";
    // The last computed step (by a cycle or CalcStep); empty when refused.
    std::vector<double> last_step;
    std::vector<std::string> last_limited, last_monitors;
    std::string step_status = "none yet";
    // Per plane: its controller (ki its gain), and the last cycle's orbit
    // error per mode of its solve (Correction::mode_residuals).
    zor_feedback::loop::ControllerConfig controller[2];
    std::vector<double> mode_residuals[2];
    // Per plane: the strength an automatic filter chose, while the plane
    // serves it (ok false otherwise).
    zor_feedback::TikhonovChoice tikhonov_choice[2];
  };
  CorrectionView correction();
  // One field of it, for a scalar read: without copying the whole view.
  zor_feedback::PlaneSettings plane_settings(int plane);
  zor_feedback::LimitPolicy limit_policy();
  std::string step_status();
  // A copy of the correction's settings (for the loop after Init); null
  // when there is none.
  std::unique_ptr<zor_feedback::Correction> settings_copy();

  // Changes of the correction: empty when done, else why not; a refused
  // change changes nothing.
  std::string set_limits(const std::vector<zor_feedback::KickLimit>& limits);
  // Changes of what the loop's inverse is made of, masks of all monitors (or
  // correctors) at once and cuts, are re-inversions: tried at once (a
  // refusal changes nothing), made when the new inverse is served with
  // them, so that the served inverse is always the one the step applies.
  // Waits at most `wait` for that. A plane's cut is its filter (CutX, KeepX
  // and FilterX all set it). An automatic Tikhonov filter chooses its
  // strength once, from the last orbit the loop read (refused before any, or
  // when a monitor in use read no number), and the plane serves the fixed
  // "tikhonov A" it chose; the choice is in the view and in HISTORY.
  Outcome set_enabled(bool monitors, const std::vector<bool>& on, std::chrono::milliseconds wait);
  Outcome set_filter(zor_feedback::Plane plane, const zor_feedback::Filter& filter,
                     std::chrono::milliseconds wait);
  // CutX/KeepX: rcond -1 the library's default cut; keep > 0 keeps that many values instead.
  Outcome set_cut(zor_feedback::Plane plane, double rcond, int keep, std::chrono::milliseconds wait) {
    return set_filter(plane,
                      keep != 0       ? zor_feedback::Filter::by_count(keep)
                      : rcond != -1.0 ? zor_feedback::Filter::by_rcond(rcond)
                                      : zor_feedback::Filter(),
                      wait);
  }
  // The gain is the ki of the plane's controller: refused when the two
  // would make a controller with a problem (loop::controller_problem).
  std::string set_gain(zor_feedback::Plane plane, double gain);
  // The masks and kick limits by name (empty before the first matrix), and
  // their restore on the correction in use as one re-inversion: the
  // outcome's text says what was left out (restore_saved_settings).
  // Nothing (try again later) when a step holds the correction for more
  // than 250 ms: the notifier that asks must not wait seconds for a
  // re-inversion.
  std::optional<zor_feedback::SavedSettings> saved_settings();
  Outcome restore_saved(const zor_feedback::SavedSettings& saved, std::chrono::milliseconds wait);
  // The plane's controller by its text (loop::parse_controller): its ki
  // becomes the plane's gain; "integrator ki=G" is the plain step at gain G.
  std::string set_controller(zor_feedback::Plane plane, const std::string& text);
  // The orbit rms of the plane over the last cycles, oldest first.
  std::vector<double> rms_history(zor_feedback::Plane plane);
  // The plane's orbit spectrum over the last cycles (up to 256, at the
  // period's rate, Welch segments of kSpectrumSegment): refused before that
  // many cycles. Computed without the mutex, on a copy.
  static constexpr int kSpectrumSegment = 32;
  zor_feedback::loop::OrbitSpectrum orbit_spectrum(zor_feedback::Plane plane);
  std::string set_policy(const std::string& name);
  // A dry run from the last measured orbit and the present kicks: the step
  // is published (LAST_STEP) and kept for apply_step. Waits at most `wait`.
  Outcome calc_step(std::chrono::milliseconds wait);
  // Sets the kicks of the step calc_step kept (the loop stopped, nothing
  // changed since), or restores those before the newest applied step.
  std::string apply_step();
  std::string undo();

  // Measures the response of the simulated machine into `file` (resolved,
  // new; shown as `name`) and its errors file, in a thread of its own on the
  // machine's clock: empty when started, else why not (the loop running, a
  // measurement running, in fault, a file that exists). Every corrector is
  // put back at its start value on every way out.
  std::string measure(const std::string& file, const std::string& name);
  // The procedure's stop request; empty when made, else why not.
  std::string abort_measurement();
  // 0 to 100; "none yet", "running: ...", "done: ...", "aborted ...",
  // "failed ...", each naming the correctors it could not restore.
  double measure_progress();
  std::string measure_status();

  struct Core;
  struct Request;

 private:
  // Starts the re-inversion of `r` unless one runs; waits at most `wait`.
  Outcome submit(Request r, std::chrono::milliseconds wait);
  // Standard: a re-inversion of the served matrix for the correction with
  // `change` made (null: as it is); refused at once when it cannot be made.
  // `on_served` runs under both locks once the change is served.
  Outcome reinvert_correction(const std::string& what,
                              std::function<std::string(zor_feedback::Correction&)> change,
                              std::chrono::milliseconds wait, std::function<void(Core&)> on_served = {});
  // set_filter with an automatic Tikhonov filter.
  Outcome choose_filter(zor_feedback::Plane plane, const zor_feedback::Filter& automatic,
                        const std::string& what, std::chrono::milliseconds wait);
  // Start (run) or Stop: empty when done, else why not.
  std::string switch_loop(bool run);
  void run();
  void notify_changes();
  // Stops a running measurement and waits for it (correctors restored).
  void end_measurement();

  std::shared_ptr<Core> core_;
  std::function<void(const ChangeQueue::Entry&)> notify_;
  std::thread measurer_;           // the last measurement; joined before the next
  std::thread thread_, notifier_;  // last: start when everything above is in place
};

}  // namespace server
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_SERVER_FEEDBACK_LOOP_H
