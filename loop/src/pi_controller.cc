// The PI in velocity form after the solve, with clamping and back-calculation.
#include "zor_feedback/loop/pi_controller.h"

#include <algorithm>
#include <utility>

namespace zor_feedback {
namespace loop {
namespace {

class PiController final : public Controller {
 public:
  // `c` one config for every corrector, or one per corrector.
  PiController(Controller& solve, std::vector<ControllerConfig> c, std::vector<CorrectorLimit> limits)
      : solve_(solve), c_(std::move(c)), limits_(std::move(limits)) {}

  ControllerStep step(const std::vector<double>& orbit, const std::vector<double>& kicks) override {
    ControllerStep out = solve_.step(orbit, kicks);
    if (!out.ok) return out;
    if (out.kicks.size() != kicks.size() || (!limits_.empty() && limits_.size() != kicks.size()) ||
        (c_.size() > 1 && c_.size() != kicks.size())) {
      out = ControllerStep{};
      out.error = "the solve or the limits do not match the correctors";
      return out;
    }
    if (memory_.size() != kicks.size()) memory_.assign(kicks.size(), 0.0);
    pending_.assign(kicks.size(), 0.0);
    for (std::size_t i = 0; i < kicks.size(); ++i) out.kicks[i] = one(i, kicks[i], out.kicks[i] - kicks[i]);
    return out;
  }

  std::string written() override {
    memory_ = pending_;  // a step not written leaves the memory as it was
    return solve_.written();
  }

 private:
  // Corrector i: u the kick in place, e the solve's change at gain 1.
  double one(std::size_t i, double u, double e) {
    const ControllerConfig& c = c_.size() == 1 ? c_.front() : c_[i];
    const double wanted = u + c.kp * (e - memory_[i]) + c.ki * e;
    double set = wanted;
    if (!limits_.empty()) {
      const CorrectorLimit& l = limits_[i];
      // The range first, then the step: a kick found outside its range is
      // brought back at most max_step per write, never further away.
      set = std::clamp(set, l.min, l.max);
      set = std::clamp(set, u - l.max_step, u + l.max_step);
    }
    // Back-calculation: the implied integral u - kp * m follows the set
    // kick, so a corrector held at its limit stores nothing to release.
    pending_[i] = e;
    return set;
  }

  Controller& solve_;
  std::vector<ControllerConfig> c_;
  std::vector<CorrectorLimit> limits_;
  std::vector<double> memory_, pending_;
};

}  // namespace

std::unique_ptr<Controller> make_pi_controller(Controller& solve, const ControllerConfig& config,
                                               std::vector<CorrectorLimit> limits, std::string* error) {
  return make_pi_controller(solve, std::vector<ControllerConfig>{config}, std::move(limits), error);
}

std::unique_ptr<Controller> make_pi_controller(Controller& solve, std::vector<ControllerConfig> per_corrector,
                                               std::vector<CorrectorLimit> limits, std::string* error) {
  std::string p = per_corrector.empty() ? "no controller config" : "";
  for (const ControllerConfig& c : per_corrector)
    if (p.empty()) p = controller_problem(c);
  if (p.empty() && per_corrector.size() > 1 && !limits.empty() && limits.size() != per_corrector.size())
    p = std::to_string(per_corrector.size()) + " controller configs for " + std::to_string(limits.size()) +
        " corrector limits";
  for (const CorrectorLimit& l : limits)
    if (!(l.min <= l.max) || !(l.max_step > 0.0)) p = "a corrector limit is empty or has no step";
  if (!p.empty()) {
    if (error) *error = p;
    return nullptr;
  }
  return std::make_unique<PiController>(solve, std::move(per_corrector), std::move(limits));
}

}  // namespace loop
}  // namespace zor_feedback
