// plane_pi.h - a PI per plane run through the correction's own step.
//
// The correction's solve is linear in the orbit error eps, so the velocity
// form PI of pi_controller.h, du_k = kp (e_k - e_{k-1}) + ki e_k with
// e = -pinv(R) eps, is the correction's step at gain ki for the error
//   eps'_k = eps_k + (kp / ki) (eps_k - eps_{k-1}).
// Given that error, the step keeps every rule of the correction: its limits
// and policy (the state is the kick in place, so a corrector held at a limit
// stores nothing to release), its history and undo. The integrator (kp = 0)
// passes the orbit through untouched: the plain step, bit for bit.
// The memory is the error per monitor: while the monitors read stay the same
// the kicks equal those of make_correction_pi (whose memory is the solve's
// kicks); a monitor that read nothing last time counts as zero error then.
#ifndef ZOR_FEEDBACK_LOOP_PLANE_PI_H
#define ZOR_FEEDBACK_LOOP_PLANE_PI_H

#include <vector>

#include "zor_feedback/labelled_matrix.h"
#include "zor_feedback/loop/pi_controller.h"

namespace zor_feedback {
namespace loop {

class PlanePi {
 public:
  // The orbit to give Correction::compute, whose plane gains are the ki of
  // `config` (x, y); `planes` one per monitor, `reference` the correction's
  // (empty: zero). The error remembered is the last written step's: zero at
  // first, after reset(), and for a monitor that read nothing then. A NaN
  // reading stays NaN (not read).
  std::vector<double> orbit_for(const ControllerConfig (&config)[2], const std::vector<Plane>& planes,
                                const std::vector<double>& reference, const std::vector<double>& orbit) const;
  // The step computed from `orbit` was written: its error is remembered.
  void written(const std::vector<double>& orbit, const std::vector<double>& reference);
  // A new matrix or controller starts afresh.
  void reset() { last_.clear(); }

 private:
  std::vector<double> last_;  // the error of the last step written, per monitor
};

}  // namespace loop
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_LOOP_PLANE_PI_H
