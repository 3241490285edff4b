// correction_controller.h - a Controller over zor_feedback::Correction: each
// step is Correction::compute; a split step writes its first sub-step only
// (the rest is computed again from the next orbit); a written step is
// recorded by Correction::apply.
//
// The Correction is not owned and must outlive the controller; while a loop
// uses it, no other thread may use it.
#ifndef ZOR_FEEDBACK_LOOP_CORRECTION_CONTROLLER_H
#define ZOR_FEEDBACK_LOOP_CORRECTION_CONTROLLER_H

#include <memory>

#include "zor_feedback/correction.h"
#include "zor_feedback/loop/controller.h"

namespace zor_feedback {
namespace loop {

std::unique_ptr<Controller> make_correction_controller(Correction& correction);

}  // namespace loop
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_LOOP_CORRECTION_CONTROLLER_H
