// pi_controller.h - a discrete PI controller in velocity form after the
// correction's solve, with anti-windup.
//
// Each cycle the inner controller (the correction's solve at gain 1) gives
// the kick change e_k that would cancel the orbit error in one step. The PI
// sets, per corrector,
//   du_k = kp * (e_k - m_{k-1}) + ki * e_k,   u_k = clamp(u_{k-1} + du_k)
// where m is the remembered error and clamp keeps [min, max] and max_step.
// The plain integrator (kp = 0, ki = gain) is the loop as it was.
//
// Anti-windup: a corrector held by its limit takes no more of the request
// (clamping), and the controller's state is the kick in place, not a sum of
// requests: the implied integral u - kp * m is calculated back from the kick
// set each cycle, so leaving the limit releases nothing stored.
// The remembered error moves only when a step is written.
#ifndef ZOR_FEEDBACK_LOOP_PI_CONTROLLER_H
#define ZOR_FEEDBACK_LOOP_PI_CONTROLLER_H

#include <memory>
#include <string>
#include <vector>

#include "zor_feedback/loop/controller.h"
#include "zor_feedback/loop/loop.h"

namespace zor_feedback {
namespace loop {

// Which controller follows the solve, and its gains.
struct ControllerConfig {
  enum class Kind { integrator, pi };
  Kind kind = Kind::integrator;
  double kp = 0.0;  // proportional gain on the change of the solve (pi only)
  double ki = 1.0;  // integral gain: the plain integrator's gain

  bool operator==(const ControllerConfig& o) const { return kind == o.kind && kp == o.kp && ki == o.ki; }
  bool operator!=(const ControllerConfig& o) const { return !(*this == o); }
};

// Why `config` cannot run (gains not finite, ki outside (0, 2), kp outside
// [0, 2), kp + ki >= 2 ... ); empty when it can.
std::string controller_problem(const ControllerConfig& config);
// "integrator ki=0.5" or "pi kp=0.3 ki=0.5"; parse_controller reads it
// back exactly (and "integrator", "pi" with defaults). False (and `out`
// unchanged) for any other text or a config with a problem.
std::string controller_text(const ControllerConfig& config);
bool parse_controller(const std::string& text, ControllerConfig* out, std::string* error = nullptr);

// A controller over `solve` (not owned, outlives it), whose step must be
// the kicks after one step at gain 1. `limits` one per corrector (empty:
// none). Refused configs give nullptr and `error`.
std::unique_ptr<Controller> make_pi_controller(Controller& solve, const ControllerConfig& config,
                                               std::vector<CorrectorLimit> limits, std::string* error);
// The same with a config per corrector (a plane's config for each of its
// correctors): refused when their count is not the limits' (when given).
std::unique_ptr<Controller> make_pi_controller(Controller& solve, std::vector<ControllerConfig> per_corrector,
                                               std::vector<CorrectorLimit> limits, std::string* error);

}  // namespace loop
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_LOOP_PI_CONTROLLER_H
