// machine.h - a simulated storage ring that the feedback does not know: its
// true response differs from the nominal matrix the feedback serves, its
// monitors are noisy and can fail, its corrector supplies lag, delay,
// saturate and can fail, and a disturbance moves the beam.
//
// The beam position at the monitors is
//
//   x = N (I + E) (C u + e + d(t))
//
// with N the nominal matrix (monitors x correctors), E a seeded mixing of the
// correctors within each plane (its elements of rms model_error / sqrt(n_plane),
// so that it moves a kick pattern by model_error relative), C the correctors'
// calibration (diagonal, 1 + N(0, calibration_rms)), u the supplies' outputs,
// e static field errors and d(t) the disturbance (a slow drift plus spectral
// lines), all as kicks at the correctors. The model error mixes within a
// plane rather than perturbing each element: element-wise noise of a few per
// cent makes a large near-square ring uncorrectable, since the inverse
// amplifies it by the condition number, while N (I + E) keeps the loop's
// operator R+ T near the identity. A monitor reads
//
//   g_i (cos r_i x_i + sin r_i x_j) + noise
//
// with its gain g_i, its roll r_i and x_j the other plane's position at the
// same monitor (0 when the matrix has only one plane there).
//
// Time advances only in advance(dt), so that a test runs faster than real
// time; everything random comes from the seed, so that two machines with the
// same settings give the same readings.
#ifndef ZOR_FEEDBACK_SIM_MACHINE_H
#define ZOR_FEEDBACK_SIM_MACHINE_H

#include <gsl/gsl_rng.h>

#include <deque>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "zor_feedback/labelled_matrix.h"

namespace zor_feedback {
namespace sim {

struct MachineSettings {
  unsigned long seed = 20240611;
  // What the nominal matrix does not know.
  double model_error = 0.05;                // relative, see E above
  double monitor_gain_rms = 0.02;           // relative
  double monitor_roll_rms = 0.005;          // rad
  double corrector_calibration_rms = 0.02;  // relative
  double error_kick_mrad = 0.050;           // static field errors, rms
  double noise_mm = 0.010;                  // monitor noise, rms; 0: none
  // The corrector supplies.
  double supply_tau_s = 0.05;    // first-order lag; 0: the output follows at once
  int delay_cycles = 0;          // a set-point takes effect this many cycles later
  double cycle_s = 1.0;          // one cycle, the delay's unit
  double kick_limit_mrad = 2.0;  // the output saturates at +-limit
  // The disturbance, as kicks of seeded patterns (rms over the correctors).
  struct Line {
    double hz = 0;
    double kick_mrad = 0;
  };
  double drift_mrad_per_s = 2e-6;
  std::vector<Line> lines = {{0.07, 0.0001}, {0.21, 0.00005}};
  // A spike adds this to one reading.
  double spike_mm = 5.0;
};

enum class MonitorFault { none, invalid, stuck, spike };
enum class CorrectorFault { none, stuck, refused };

// One reading of every monitor.
struct OrbitReading {
  std::vector<double> values;  // mm; NaN where not valid
  std::vector<bool> valid;
  double time_s = 0;  // the machine's clock when read
};

// The outcome of a write of set-points: applied whole, or refused whole.
struct WriteResult {
  bool ok = false;
  std::string error;  // why refused
};

class Machine {
 public:
  // A machine around `nominal` (its values, planes and names). Throws
  // std::invalid_argument for a matrix that check_labelled_matrix refuses or
  // settings that are not finite and in range.
  Machine(const LabelledMatrix& nominal, MachineSettings settings);
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  int monitors() const { return m_; }
  int correctors() const { return n_; }
  const MachineSettings& settings() const { return s_; }
  const LabelledMatrix& nominal() const { return nominal_; }
  // The true response of the supplies' outputs at the monitors as they read
  // it (gain and roll included), monitors x correctors, row-major.
  std::vector<double> true_response() const;
  double time_s() const { return t_; }

  // Moves the clock on by dt >= 0 s: pending set-points fall due, the
  // supplies follow. False, nothing changed, for a dt that is negative or not
  // finite.
  bool advance(double dt);

  // Reads every monitor once (each reading draws fresh noise).
  OrbitReading read_orbit();

  // Set-points [mrad], one per corrector, in one call. Refused whole, nothing
  // changed, for a count that does not fit, a value that is not finite, or a
  // change of a corrector that refuses set-points.
  WriteResult write(const std::vector<double>& setpoints);
  // The set-points last accepted, and the supplies' outputs (the read-backs).
  const std::vector<double>& setpoints() const { return setpoints_; }
  const std::vector<double>& readbacks() const { return output_; }

  // Faults; false for an index out of range. A stuck monitor repeats its last
  // reading, a spike adds spike_mm to its next reading only, an invalid one
  // reads NaN and not valid. A stuck supply keeps its output, a refusing one
  // refuses every write that changes its set-point. MonitorFault::none and
  // CorrectorFault::none repair.
  bool set_monitor_fault(int monitor, MonitorFault fault);
  bool set_corrector_fault(int corrector, CorrectorFault fault);
  // The row or column of a name, -1 when there is none.
  int monitor_index(const std::string& name) const;
  int corrector_index(const std::string& name) const;

 private:
  struct RngFree {
    void operator()(gsl_rng* r) const { gsl_rng_free(r); }
  };
  struct Pending {
    double due_s = 0;
    std::vector<double> setpoints;
  };
  void build_errors(gsl_rng* rng);
  void follow(double dt);
  std::vector<double> beam_position() const;
  std::vector<double> disturbance() const;

  MachineSettings s_;
  LabelledMatrix nominal_;
  int m_ = 0, n_ = 0;
  std::vector<double> mixed_;        // N (I + E), m x n
  std::vector<double> calibration_;  // per corrector
  std::vector<double> gain_, roll_;  // per monitor
  std::vector<int> partner_;         // the other plane's row of a monitor, -1: none
  std::vector<double> errors_;       // static kicks
  std::vector<double> drift_;        // patterns: drift, then one per line
  std::vector<std::vector<double>> line_patterns_;
  std::vector<double> line_phase_;
  std::unique_ptr<gsl_rng, RngFree> noise_;
  double t_ = 0;
  std::vector<double> setpoints_, target_, output_;
  std::deque<Pending> pending_;
  std::vector<MonitorFault> monitor_fault_;
  std::vector<CorrectorFault> corrector_fault_;
  std::vector<double> last_reading_;
};

}  // namespace sim
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_SIM_MACHINE_H
