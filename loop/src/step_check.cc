#include <cmath>
#include <string>

#include "checks.h"

namespace zor_feedback {
namespace loop {
namespace detail {
namespace {

// Rounding in the controller's sums must not refuse a step it limited itself.
constexpr double kSlack = 1e-9;

bool above(double v, double limit) { return v > limit + kSlack * std::fabs(limit); }

std::string corrector(std::size_t i) { return "corrector " + std::to_string(i); }

// Whether any kick could fail a check of check_step: one pass without
// branches, so that a sound step (every cycle's case) costs little.
bool any_suspect(const std::vector<double>& before, const std::vector<double>& after,
                 const std::vector<CorrectorLimit>& limits) {
  bool suspect = false;
  if (limits.empty()) {
    for (const double v : after) suspect |= !std::isfinite(v);
    return suspect;
  }
  for (std::size_t i = 0; i < after.size(); ++i) {
    const CorrectorLimit& l = limits[i];
    // As integers: a bitwise or of the four, where || would branch.
    const int any = static_cast<int>(!std::isfinite(after[i])) | static_cast<int>(above(after[i], l.max)) |
                    static_cast<int>(above(-after[i], -l.min)) |
                    static_cast<int>(above(std::fabs(after[i] - before[i]), l.max_step));
    suspect |= any != 0;
  }
  return suspect;
}

}  // namespace

std::string check_step(const std::vector<double>& before, const std::vector<double>& after,
                       const std::vector<CorrectorLimit>& limits) {
  if (after.size() != before.size())
    return "the step has " + std::to_string(after.size()) + " kicks for " + std::to_string(before.size()) +
           " correctors";
  if (!any_suspect(before, after, limits)) return {};
  for (std::size_t i = 0; i < after.size(); ++i) {
    if (!std::isfinite(after[i])) return corrector(i) + ": the step's kick is not finite";
    if (limits.empty()) continue;
    const CorrectorLimit& l = limits[i];
    if (above(after[i], l.max) || above(-after[i], -l.min))
      return corrector(i) + ": kick " + std::to_string(after[i]) + " outside [" + std::to_string(l.min) +
             ", " + std::to_string(l.max) + "]";
    if (above(std::fabs(after[i] - before[i]), l.max_step))
      return corrector(i) + ": change " + std::to_string(after[i] - before[i]) + " past max step " +
             std::to_string(l.max_step);
  }
  return {};
}

int count_at_limit(const std::vector<double>& kicks, const std::vector<CorrectorLimit>& limits,
                   double margin) {
  if (limits.size() != kicks.size()) return 0;
  int n = 0;
  for (std::size_t i = 0; i < kicks.size(); ++i)
    if (kicks[i] >= limits[i].max - margin || kicks[i] <= limits[i].min + margin) ++n;
  return n;
}

std::string compare_readback(const std::vector<double>& set, const std::vector<double>& read,
                             double tolerance) {
  if (set.size() != read.size())
    return std::to_string(read.size()) + " read-backs for " + std::to_string(set.size()) + " correctors";
  for (std::size_t i = 0; i < set.size(); ++i)
    if (!(std::fabs(read[i] - set[i]) <= tolerance))
      return corrector(i) + ": read back " + std::to_string(read[i]) + ", set " + std::to_string(set[i]);
  return {};
}

}  // namespace detail
}  // namespace loop
}  // namespace zor_feedback
