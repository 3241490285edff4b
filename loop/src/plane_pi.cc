// The PI per plane as the orbit error the correction's step is given.
#include "zor_feedback/loop/plane_pi.h"

#include <cmath>

namespace zor_feedback {
namespace loop {

namespace {

double at(const std::vector<double>& v, std::size_t i) { return v.empty() ? 0.0 : v[i]; }

}  // namespace

std::vector<double> PlanePi::orbit_for(const ControllerConfig (&config)[2], const std::vector<Plane>& planes,
                                       const std::vector<double>& reference,
                                       const std::vector<double>& orbit) const {
  std::vector<double> out = orbit;
  if (planes.size() != orbit.size()) return out;
  for (std::size_t i = 0; i < orbit.size(); ++i) {
    const ControllerConfig& c = config[planes[i] == Plane::x ? 0 : 1];
    if (c.kind != ControllerConfig::Kind::pi || c.kp == 0.0 || !std::isfinite(orbit[i])) continue;
    const double error = orbit[i] - at(reference, i);
    const double before = i < last_.size() && std::isfinite(last_[i]) ? last_[i] : 0.0;
    out[i] = at(reference, i) + error + c.kp / c.ki * (error - before);
  }
  return out;
}

void PlanePi::written(const std::vector<double>& orbit, const std::vector<double>& reference) {
  last_.resize(orbit.size());
  for (std::size_t i = 0; i < orbit.size(); ++i) last_[i] = orbit[i] - at(reference, i);
}

}  // namespace loop
}  // namespace zor_feedback
