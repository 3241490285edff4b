// The writes of a step: how a change is cut so that no write moves a
// corrector by more than its max_step, and the check every step passes
// before it is handed out or applied.
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "correction_state.h"

namespace zor_feedback {
namespace detail {

namespace {

// Rounding of from + delta * k / n: a change may exceed max_step by this share.
constexpr double kStepSlack = 1e-9;

std::string g(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.6g", v);
  return buf;
}

// How far `v` lies outside [min, max]; 0 within.
double outside(const KickLimit& l, double v) { return v > l.max ? v - l.max : (v < l.min ? l.min - v : 0.0); }

}  // namespace

bool split_writes(const std::vector<double>& from, const std::vector<double>& delta,
                  const std::vector<KickLimit>& limits, std::vector<std::vector<double>>* writes) {
  double need = 1.0;
  for (std::size_t j = 0; j < delta.size(); ++j)
    need = std::max(need, std::fabs(delta[j]) / limits[j].max_step);
  const double n = std::ceil(need * (1.0 - kStepSlack));
  if (!(n <= kMaxSubsteps)) return false;
  const auto count = static_cast<std::size_t>(std::max(1.0, n));
  writes->assign(count, from);
  for (std::size_t k = 1; k <= count; ++k)
    for (std::size_t j = 0; j < from.size(); ++j)
      (*writes)[k - 1][j] = k == count
                                ? from[j] + delta[j]
                                : from[j] + delta[j] * static_cast<double>(k) / static_cast<double>(count);
  return true;
}

namespace {

// Whether any write could fail a check of writes_problem: one pass without
// branches, so that a sound step (every cycle's case) costs little.
bool any_suspect(const std::vector<double>& from, const std::vector<std::vector<double>>& writes,
                 const std::vector<KickLimit>& limits) {
  const std::vector<double>* at = &from;
  for (const std::vector<double>& w : writes) {
    if (w.size() != from.size()) return true;
    bool suspect = false;
    for (std::size_t j = 0; j < w.size(); ++j) {
      const KickLimit& l = limits[j];
      const double v = w[j], was = (*at)[j];
      suspect |= !std::isfinite(v) | (std::fabs(v - was) > l.max_step * (1.0 + kStepSlack)) |
                 ((v != was) & ((v > l.max) | (v < l.min)));
    }
    if (suspect) return true;
    at = &w;
  }
  return false;
}

}  // namespace

std::string writes_problem(const std::vector<double>& from, const std::vector<std::vector<double>>& writes,
                           const std::vector<KickLimit>& limits, const std::vector<std::string>& names) {
  if (writes.empty()) return "the step has no write";
  if (!any_suspect(from, writes, limits)) return {};
  // Runs each cycle over every corrector: the text is made only for a fault.
  const auto who = [&names](std::size_t j) { return "corrector '" + names[j] + "'"; };
  const std::vector<double>* at = &from;
  for (const std::vector<double>& w : writes) {
    if (w.size() != from.size()) return "a write holds " + std::to_string(w.size()) + " kicks";
    for (std::size_t j = 0; j < w.size(); ++j) {
      const KickLimit& l = limits[j];
      const double was = (*at)[j];
      if (!std::isfinite(w[j])) return who(j) + ": the step's kick is not a number";
      if (std::fabs(w[j] - was) > l.max_step * (1.0 + kStepSlack))
        return who(j) + ": one write moves it by " + g(w[j] - was) + ", its max step is " + g(l.max_step);
      if (w[j] != was && outside(l, w[j]) > 0.0 && outside(l, w[j]) >= outside(l, was))
        return who(j) + ": the step sets " + g(w[j]) + ", outside its limits [" + g(l.min) + ", " + g(l.max) +
               "]";
    }
    at = &w;
  }
  return {};
}

}  // namespace detail
}  // namespace zor_feedback
