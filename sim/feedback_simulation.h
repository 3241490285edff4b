// feedback_simulation.h - an orbit feedback server on a simulated storage ring: the
// server's properties at one location, and the ring they correct. Used by
// `zorfb demo` and by the TANGO feedback device server.
#ifndef ZOR_FEEDBACK_SIM_FEEDBACK_SIMULATION_H
#define ZOR_FEEDBACK_SIM_FEEDBACK_SIMULATION_H

#include <memory>
#include <string>
#include <vector>

#include "machine.h"
#include "zor_feedback/loop/io.h"
#include "zor_feedback/loop/pi_controller.h"
#include "zor_feedback/loop/readback_watch.h"
#include "zor_feedback/zor_feedback.h"

namespace zor_feedback {
namespace sim {

// One correction cycle as a client sees it.
struct CycleRecord {
  int cycle = 0;
  double orbit_rms = 0;      // [mm]
  double orbit_max = 0;      // [mm]
  double corrector_rms = 0;  // [mrad]
  int invalid = 0;           // monitors that read no valid value, left out of orbit_rms and the step
  // Why the orbit source gave no orbit (devices only); then every monitor
  // is invalid and no step is made.
  std::string source_error;
  // Empty when the step was applied; else why it was not (a non-finite step
  // is never applied).
  std::string skipped;
  // Why the loop must stop (a corrector that does not follow its set-point);
  // then no step is made.
  std::string tripped;
};

// A feedback server location with its properties, and the ring it corrects:
// a Machine (machine.h) built around the file's matrix with errors the served
// matrix does not know. Each cycle the server reads the orbit, solves for
// the kick change e = -inverse * orbit and lets the controller (the plain
// integrator: kicks += gain * e; or a PI) set the kicks within the supplies'
// limits; monitors that read no valid value
// are left out of the step (it then uses an inverse of the other monitors'
// rows), so that no NaN reaches a corrector.
//
// Properties at the location: RESPONSE_MATRIX (m x n), INVERSE (n x m),
// SINGULAR_VALUES, ORBIT (m x 1), CORRECTORS (n x 1), HISTORY.
//
// Not synchronised: a server that serves clients from other threads holds
// its own lock around every call and every client read, except compute(),
// which reads only the settings and its candidate.
class FeedbackSimulation {
 public:
  struct Settings {
    std::string matrix_file;
    int history = 16;  // entries of the message history
    // The controller after the solve; its ki is the loop's gain.
    loop::ControllerConfig controller{loop::ControllerConfig::Kind::integrator, 0.0, 0.5};
    double noise_mm = 0.010;    // monitor noise, rms [mm]
    double error_mrad = 0.050;  // error kicks, rms [mrad]
    double model_error = 0.05;  // the machine's relative model error (MachineSettings)
    double cycle_s = 1.0;       // machine time from one cycle to the next
    unsigned long seed = 20240611;
    // The standard inversion by default; the classic invert() for a site
    // that tuned its tolerance against it.
    zor_feedback::Inversion inversion = zor_feedback::Inversion::standard;
    // standard: the relative cut-off rcond; classic: invert's tol. -1 in
    // both: the library's default (internal) one.
    double tol = -1.0;
    int keep = 0;  // standard, with tol -1: the number of values kept instead
    // standard, with tol -1 and keep 0: the filter of the singular values
    // (the default cut, or a fixed Tikhonov strength).
    zor_feedback::Filter filter;
    // The correctors' read-backs against the set-points last written, once a
    // cycle (off by default).
    loop::ReadbackRule readback;
    zor_feedback::SvdMethod method = zor_feedback::SvdMethod::gsl;
  };

  // A re-inversion in the making: its own matrix, inverse and spectrum, so
  // that it is computed without the server's lock and served only when it is
  // sound. Made by prepare() under the lock, filled by compute() outside it,
  // served by commit() under it again.
  struct Candidate {
    Candidate(int m, int n);
    QTEV_ResponseMatrix R, inverse;
    D_spectrum spectrum;
    std::string file;  // loaded into R by compute(); empty: the served matrix
    double tol = -1.0;
    int keep = 0;
    std::string what;  // what the history calls it: "tolerance 0.02", ...
    zor_feedback::SvdReport report;
    std::string refusal;  // set by compute(): why it must not be served
  };

  // Takes the file's shape and builds the location with matrices of it.
  // ok() tells whether that worked; error() says why not.
  explicit FeedbackSimulation(Settings s);
  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }

  // Loads the settings' file and inverts it with the settings' cut, with a
  // message in the history: prepare(), compute() and commit() in one.
  // False (and error()) when the load or the inversion is refused.
  bool load_and_invert();

  // The candidate of a re-inversion: of `file` (of the served shape) when
  // not empty, else of the served matrix, copied now; with the cut tol/keep
  // as in Settings.
  std::unique_ptr<Candidate> prepare(const std::string& file, double tol, int keep, std::string what);
  // The load and the inversion of c, and whether it may be served. Touches
  // nothing served: call it without the lock.
  void compute(Candidate& c) const;
  // Serves c when compute() found it sound: the matrix, inverse and
  // spectrum change together. Otherwise nothing served changes, the history
  // says what was refused, and *error why. False when refused.
  bool commit(Candidate& c, std::string* error);
  // The cut in use as prepare() takes it (-1: the default one); the
  // settings' until a candidate is served.
  double requested_tol() const { return request_tol_; }
  int requested_keep() const { return request_keep_; }

  // The ring behind devices instead of the simulated machine: each cycle
  // reads `source` (one value per monitor of the matrix, in its row order)
  // and sets the kicks through `sink` (one per corrector). Neither is owned;
  // both outlive this. The kicks in place are read from the sink first, so
  // that the first step starts from the correctors as they are: false, with
  // *error and nothing changed, when that read fails or does not fit.
  bool use_devices(loop::OrbitSource* source, loop::CorrectorSink* sink, std::string* error);
  // Reads the kicks in place from the sink again (before a start), as above.
  bool read_kicks(std::string* error);
  bool on_devices() const { return source_ != nullptr; }

  // Measures the orbit (cycle 0: before any correction), stores the message,
  // then applies one correction.
  CycleRecord cycle();
  // The first half of cycle() for a server that computes the step itself:
  // measures the orbit and stores the message; set_kicks() then applies the
  // step (or note() says why not).
  CycleRecord begin_cycle();
  // begin_cycle() in two: the reading (of the devices: no lock of the
  // server's needed, the source being its own), then what is published of
  // it. `error` says why the source gave no orbit.
  OrbitReading read_ring(std::string* error);
  CycleRecord begin_cycle(const OrbitReading& reading, const std::string& error);
  // The correctors' read-backs (of the sink, or of the machine), for
  // check_readbacks; like read_ring, without a lock of the server's. Not
  // read (ok, empty) when the rule is off.
  loop::SinkResult read_readbacks();
  // The read-back rule on `r` against the kicks last set: empty, or why the
  // loop must stop (stored in the history too). `names`: the correctors'.
  std::string check_readbacks(const loop::SinkResult& r, const std::vector<std::string>& names);
  // The last measured orbit [mm], one value per monitor.
  std::vector<double> orbit();
  // The corrector settings [mrad] as set; CORRECTORS serves them as floats.
  const std::vector<double>& kicks() const { return kicks_set_; }
  // Sets the correctors in one write to the machine; false with *error,
  // nothing set, for a count that does not fit, a value that is not a finite
  // float or a write the machine refuses.
  bool set_kicks(const std::vector<double>& kicks, std::string* error);
  // Which monitors of the last measured orbit were valid.
  const std::vector<bool>& valid() const { return valid_; }
  // The ring being corrected: its read-backs, its faults.
  Machine& machine() { return *machine_; }
  // Stores `text` in the history.
  void note(const std::string& text);

  // What a client reads through the location's get().
  std::vector<float> client_spectrum();
  std::vector<USTR> client_history();

  EqFct& location() { return location_; }
  int monitors() const { return monitors_; }
  int correctors() const { return correctors_; }
  // The last inversion that was served.
  const zor_feedback::SvdReport& report() const { return report_; }
  // Its cut: the standard inversion's rcond (0 with keep), the classic tol.
  double tolerance() const {
    return report_.inversion == zor_feedback::Inversion::standard ? report_.rcond : report_.tol;
  }
  float tol() const { return report_.tol; }
  int nosv() const { return report_.nosv; }
  const Settings& settings() const { return s_; }

 private:
  bool step_of(CycleRecord* rec, std::vector<double>* step);
  bool read_kicks_from(loop::CorrectorSink& sink, std::string* error);
  bool masked_inverse(std::string* error);
  bool load(Candidate& c) const;
  std::string unsound(Candidate& c) const;

  Settings s_;
  std::string error_;
  int monitors_ = 0;
  int correctors_ = 0;
  EqFct location_{"ORBIT.FEEDBACK"};
  std::unique_ptr<QTEV_ResponseMatrix> R_, inverse_, orbit_, correctors_set_, step_;
  std::unique_ptr<D_spectrum> spectrum_;
  std::unique_ptr<D_ringbuf> history_;
  std::unique_ptr<Machine> machine_;
  // The solve of the cycle in progress, which the controller steps from.
  class GivenSolve final : public loop::Controller {
   public:
    std::vector<double> change;  // e, one per corrector
    loop::ControllerStep step(const std::vector<double>& orbit, const std::vector<double>& kicks) override;
  };
  GivenSolve solve_;
  loop::OrbitSource* source_ = nullptr;
  loop::CorrectorSink* sink_ = nullptr;
  loop::ReadbackWatch readbacks_;
  std::unique_ptr<loop::Controller> controller_;
  std::vector<bool> valid_;
  std::vector<bool> masked_for_;   // the validity masked_ was computed for; empty: none
  std::vector<double> masked_;     // its inverse, n x m, zero columns at invalid monitors
  std::vector<double> kicks_set_;  // what CORRECTORS holds, before its rounding to float
  zor_feedback::SvdReport report_;
  double request_tol_ = -1.0;
  int request_keep_ = 0;
  int cycle_ = 0;
};

}  // namespace sim
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_SIM_FEEDBACK_SIMULATION_H
