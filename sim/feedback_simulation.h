// feedback_simulation.h - an orbit feedback server on a simulated storage ring: the
// server's properties at one location, and the ring they correct. Used by
// `zorfb demo` and by the TANGO feedback device server.
#ifndef ZOR_FEEDBACK_SIM_FEEDBACK_SIMULATION_H
#define ZOR_FEEDBACK_SIM_FEEDBACK_SIMULATION_H

#include <gsl/gsl_rng.h>

#include <memory>
#include <string>
#include <vector>

#include "zor_feedback/zor_feedback.h"

namespace zor_feedback {
namespace sim {

// One correction cycle as a client sees it.
struct CycleRecord {
  int cycle = 0;
  double orbit_rms = 0;      // [mm]
  double orbit_max = 0;      // [mm]
  double corrector_rms = 0;  // [mrad]
};

// A feedback server location with its properties, and the ring it corrects.
// The ring's orbit is R * (error kicks + corrector settings) + monitor noise;
// each cycle the server reads the orbit and moves its correctors by
// -gain * inverse * orbit.
//
// Properties at the location: RESPONSE_MATRIX (m x n), INVERSE (n x m),
// SINGULAR_VALUES, ORBIT (m x 1), CORRECTORS (n x 1), HISTORY.
//
// Not synchronised: a server that serves clients from other threads holds
// its own lock around every call and every client read.
class FeedbackSimulation {
 public:
  struct Settings {
    std::string matrix_file;
    int history = 16;  // entries of the message history
    double gain = 0.5;
    double noise_mm = 0.010;    // monitor noise, rms [mm]
    double error_mrad = 0.050;  // error kicks, rms [mrad]
    unsigned long seed = 20240611;
    float tol = -1.0f;  // SVD tolerance (-1: internal)
    zor_feedback::SvdMethod method = zor_feedback::SvdMethod::gsl;
  };

  // Takes the file's shape and builds the location with matrices of it.
  // ok() tells whether that worked; error() says why not.
  explicit FeedbackSimulation(Settings s);
  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }

  // load_file and invert with the settings' tolerance, with a message in the
  // history. False (and error()) when the load or the inversion fails.
  bool load_and_invert();
  // Loads another file of the same shape and inverts it with the current
  // tolerance, all or nothing: the served matrix, inverse and spectrum change
  // only when both succeed. False with the library's error line in *error.
  bool replace_matrix(const std::string& path, std::string* error);
  // Inverts the served matrix again with tolerance `tol` (-1: internal). On
  // refusal nothing served changes; the report says why.
  zor_feedback::SvdReport reinvert(float tol);

  // Measures the orbit (cycle 0: before any correction), stores the message,
  // then applies one correction.
  CycleRecord cycle();

  // What a client reads through the location's get().
  std::vector<float> client_spectrum();
  std::vector<USTR> client_history();

  EqFct& location() { return location_; }
  int monitors() const { return monitors_; }
  int correctors() const { return correctors_; }
  // The last inversion that was served.
  const zor_feedback::SvdReport& report() const { return report_; }
  float tol() const { return report_.tol; }
  int nosv() const { return report_.nosv; }
  const Settings& settings() const { return s_; }

 private:
  struct RngFree {
    void operator()(gsl_rng* r) const { gsl_rng_free(r); }
  };
  void measure();
  void note(const std::string& text);

  Settings s_;
  std::string error_;
  int monitors_ = 0;
  int correctors_ = 0;
  EqFct location_{"ORBIT.FEEDBACK"};
  std::unique_ptr<QTEV_ResponseMatrix> R_, inverse_, orbit_, correctors_set_, kicks_, step_;
  std::unique_ptr<D_spectrum> spectrum_;
  std::unique_ptr<D_ringbuf> history_;
  std::vector<double> errors_;
  std::unique_ptr<gsl_rng, RngFree> rng_;
  zor_feedback::SvdReport report_;
  int cycle_ = 0;
};

}  // namespace sim
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_SIM_FEEDBACK_SIMULATION_H
