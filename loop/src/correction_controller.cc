// The one place the loop meets zor_feedback::Correction.
#include "zor_feedback/loop/correction_controller.h"

#include <utility>

namespace zor_feedback {
namespace loop {
namespace {

class CorrectionController final : public Controller {
 public:
  explicit CorrectionController(Correction& c) : c_(c) {}

  ControllerStep step(const std::vector<double>& orbit, const std::vector<double>& kicks) override {
    ControllerStep out;
    pending_ = c_.compute(orbit, kicks);
    if (!pending_.ok) {
      out.error = pending_.error;
      return out;
    }
    // One write per cycle: a split step's first write keeps max_step; the
    // rest is computed again from the next orbit.
    out.kicks = pending_.writes.front();
    out.ok = true;
    return out;
  }

  std::string written() override {
    if (!pending_.ok) return "no step to record";
    const KickWrite seq = c_.apply(pending_, ApplyWrites::first);
    pending_ = Step{};
    return seq.ok ? std::string() : seq.error;
  }

 private:
  Correction& c_;
  Step pending_;
};

}  // namespace

std::unique_ptr<Controller> make_correction_controller(Correction& correction) {
  return std::make_unique<CorrectionController>(correction);
}

}  // namespace loop
}  // namespace zor_feedback
