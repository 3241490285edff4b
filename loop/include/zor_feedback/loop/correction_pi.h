// correction_pi.h - the correction's solve at gain 1 followed by a PI per
// plane (pi_controller.h), clamped to the correction's kick limits.
//
// Each step is refused while a plane's gain is not 1: the controller's ki is
// the loop's gain, and a second gain inside the solve would multiply it.
// A change of the correction's matrix or limits starts the controller afresh
// (its remembered error cleared), as a new controller would.
//
// The Correction is not owned and must outlive the controller; while the
// controller steps, no other thread may use it.
#ifndef ZOR_FEEDBACK_LOOP_CORRECTION_PI_H
#define ZOR_FEEDBACK_LOOP_CORRECTION_PI_H

#include <memory>
#include <string>

#include "zor_feedback/correction.h"
#include "zor_feedback/loop/pi_controller.h"

namespace zor_feedback {
namespace loop {

// One config per plane, x then y. Refused configs give nullptr and `error`.
std::unique_ptr<Controller> make_correction_pi(Correction& correction, const ControllerConfig (&plane)[2],
                                               std::string* error);

}  // namespace loop
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_LOOP_CORRECTION_PI_H
