// The correction's solve at gain 1, then a PI per plane.
#include "zor_feedback/loop/correction_pi.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "zor_feedback/loop/correction_controller.h"

namespace zor_feedback {
namespace loop {
namespace {

class CorrectionPi final : public Controller {
 public:
  CorrectionPi(Correction& c, const ControllerConfig (&plane)[2])
      : c_(c), plane_{plane[0], plane[1]}, solve_(make_correction_controller(c)) {}

  ControllerStep step(const std::vector<double>& orbit, const std::vector<double>& kicks) override {
    ControllerStep out;
    if (c_.plane(Plane::x).gain != 1.0 || c_.plane(Plane::y).gain != 1.0) {
      out.error =
          "the controller follows the solve at gain 1: set both planes' gain to 1 (ki is the loop's gain)";
      return out;
    }
    std::vector<CorrectorLimit> limits = limits_now();
    std::vector<ControllerConfig> configs = configs_now();
    if (!pi_ || !same(limits, limits_) || configs != configs_) {
      std::string error;
      pi_ = make_pi_controller(*solve_, configs, limits, &error);
      if (!pi_) {
        out.error = error;
        return out;
      }
      limits_ = std::move(limits);
      configs_ = std::move(configs);
    }
    return pi_->step(orbit, kicks);
  }

  std::string written() override { return pi_ ? pi_->written() : "no step to record"; }

 private:
  std::vector<CorrectorLimit> limits_now() const {
    std::vector<CorrectorLimit> out;
    for (const KickLimit& k : c_.limits()) out.push_back({k.min, k.max, k.max_step});
    return out;
  }
  static bool same(const std::vector<CorrectorLimit>& a, const std::vector<CorrectorLimit>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](const CorrectorLimit& p, const CorrectorLimit& q) {
                        return p.min == q.min && p.max == q.max && p.max_step == q.max_step;
                      });
  }
  std::vector<ControllerConfig> configs_now() const {
    std::vector<ControllerConfig> out;
    for (const Plane p : c_.matrix().corrector_planes) out.push_back(plane_[p == Plane::x ? 0 : 1]);
    return out;
  }

  Correction& c_;
  ControllerConfig plane_[2];
  std::unique_ptr<Controller> solve_;
  std::unique_ptr<Controller> pi_;
  std::vector<CorrectorLimit> limits_;
  std::vector<ControllerConfig> configs_;
};

}  // namespace

std::unique_ptr<Controller> make_correction_pi(Correction& correction, const ControllerConfig (&plane)[2],
                                               std::string* error) {
  for (const ControllerConfig& c : plane) {
    const std::string p = controller_problem(c);
    if (!p.empty()) {
      if (error) *error = p;
      return nullptr;
    }
  }
  return std::make_unique<CorrectionPi>(correction, plane);
}

}  // namespace loop
}  // namespace zor_feedback
