// The orbit rms per plane and the ring of the last cycles' values.
#include "zor_feedback/loop/rms_history.h"

#include <algorithm>
#include <cmath>

namespace zor_feedback {
namespace loop {

PlaneRms plane_rms(const std::vector<double>& orbit, const std::vector<Plane>& planes) {
  if (orbit.size() != planes.size()) return {NAN, NAN};
  double sum[2] = {0.0, 0.0};
  int count[2] = {0, 0};
  for (std::size_t i = 0; i < orbit.size(); ++i) {
    if (!std::isfinite(orbit[i])) continue;
    const int k = planes[i] == Plane::x ? 0 : 1;
    sum[k] += orbit[i] * orbit[i];
    ++count[k];
  }
  const auto rms = [&](int k) { return count[k] == 0 ? NAN : std::sqrt(sum[k] / count[k]); };
  return {rms(0), rms(1)};
}

RmsHistory::RmsHistory(std::size_t capacity) : x_(std::max<std::size_t>(capacity, 1)), y_(x_.size()) {}

void RmsHistory::add(const PlaneRms& rms) {
  x_[next_] = rms.x;
  y_[next_] = rms.y;
  next_ = (next_ + 1) % x_.size();
  count_ = std::min(count_ + 1, x_.size());
}

std::vector<double> RmsHistory::plane(Plane p) const {
  const std::vector<double>& v = p == Plane::x ? x_ : y_;
  std::vector<double> out;
  out.reserve(count_);
  const std::size_t first = (next_ + v.size() - count_) % v.size();
  for (std::size_t n = 0; n < count_; ++n) out.push_back(v[(first + n) % v.size()]);
  return out;
}

}  // namespace loop
}  // namespace zor_feedback
