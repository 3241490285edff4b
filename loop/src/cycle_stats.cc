#include "zor_feedback/loop/cycle_stats.h"

#include <algorithm>
#include <cmath>

namespace zor_feedback {
namespace loop {
namespace {

Duration nearest_rank(const std::vector<Duration>& sorted, double share) {
  const auto n = static_cast<double>(sorted.size());
  auto rank = static_cast<std::size_t>(std::ceil(share * n));
  rank = std::clamp<std::size_t>(rank, 1, sorted.size());
  return sorted[rank - 1];
}

}  // namespace

CycleStats::CycleStats(std::size_t window) : window_(std::max<std::size_t>(window, 1)) {
  ring_.reserve(window_);
}

void CycleStats::add(Duration d) {
  if (ring_.size() < window_) {
    ring_.push_back(d);
  } else {
    ring_[next_] = d;
  }
  next_ = (next_ + 1) % window_;
  ++count_;
}

CycleTimes CycleStats::times() const {
  CycleTimes t;
  t.count = count_;
  if (ring_.empty()) return t;
  std::vector<Duration> sorted = ring_;
  std::sort(sorted.begin(), sorted.end());
  t.p50 = nearest_rank(sorted, 0.50);
  t.p99 = nearest_rank(sorted, 0.99);
  t.max = sorted.back();
  return t;
}

void CycleStats::clear() {
  ring_.clear();
  next_ = 0;
  count_ = 0;
}

}  // namespace loop
}  // namespace zor_feedback
