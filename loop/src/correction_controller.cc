// The one place the loop meets zor_feedback::Correction.
#include "zor_feedback/loop/correction_controller.h"

#include <cmath>
#include <cstddef>
#include <utility>

namespace zor_feedback {
namespace loop {
namespace {

// A split step moves by its first sub-step only (which keeps max_step); the
// rest is computed again from the next orbit. Its prediction is linear in the
// step, its rms taken about zero (no reference is set through the loop).
Step first_substep(const Step& st, const std::vector<double>& orbit) {
  Step one = st;
  one.substeps = 1;
  const double share = 1.0 / st.substeps;
  for (std::size_t j = 0; j < st.delta.size(); ++j) {
    one.delta[j] = st.delta[j] * share;
    one.kicks[j] = st.kicks_before[j] + one.delta[j];
  }
  for (std::size_t i = 0; i < orbit.size() && i < st.predicted.size(); ++i)
    one.predicted[i] = orbit[i] + (st.predicted[i] - orbit[i]) * share;
  double sum = 0.0;
  for (const int i : st.monitors_used) {
    const double p = one.predicted[static_cast<std::size_t>(i)];
    sum += p * p;
  }
  const double n = static_cast<double>(st.monitors_used.size());
  one.rms_after = n > 0 ? std::sqrt(sum / n) : 0.0;
  return one;
}

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
    if (pending_.substeps > 1) pending_ = first_substep(pending_, orbit);
    out.kicks = pending_.kicks;
    out.ok = true;
    return out;
  }

  std::string written() override {
    if (!pending_.ok) return "no step to record";
    const KickSequence seq = c_.apply(pending_);
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
