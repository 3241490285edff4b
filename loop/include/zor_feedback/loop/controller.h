// controller.h - what computes a loop's step. The loop knows nothing else of
// the correction: CorrectionController adapts zor_feedback::Correction, tests
// use their own.
#ifndef ZOR_FEEDBACK_LOOP_CONTROLLER_H
#define ZOR_FEEDBACK_LOOP_CONTROLLER_H

#include <string>
#include <vector>

namespace zor_feedback {
namespace loop {

struct ControllerStep {
  bool ok = false;  // false: refused, `error` says why
  std::string error;
  std::vector<double> kicks;  // the set-points to write, one per corrector
};

class Controller {
 public:
  virtual ~Controller() = default;
  // The step for `orbit` (NaN where a monitor is not to be used) from the
  // present `kicks`. Changes nothing the next step depends on: a step that is
  // not written is simply dropped.
  virtual ControllerStep step(const std::vector<double>& orbit, const std::vector<double>& kicks) = 0;
  // The last step was written and read back as set: record it. Empty when
  // done, else why it could not be recorded (the write stands).
  virtual std::string written() { return {}; }
};

}  // namespace loop
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_LOOP_CONTROLLER_H
