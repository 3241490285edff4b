// The read-back rule: consecutive checks a corrector is off, per corrector.
#include "zor_feedback/loop/readback_watch.h"

#include <cmath>
#include <cstdio>

namespace zor_feedback {
namespace loop {

std::string readback_rule_problem(const ReadbackRule& rule) {
  if (!(rule.tolerance > 0.0)) return "the read-back tolerance must be above 0 (infinity: no check)";
  if (rule.cycles < 1) return "the read-back cycles must be at least 1";
  return {};
}

bool ReadbackWatch::configure(const ReadbackRule& rule, std::string* error) {
  std::string why = readback_rule_problem(rule);
  if (!why.empty()) {
    if (error != nullptr) *error = why;
    return false;
  }
  rule_ = rule;
  counts_.clear();
  return true;
}

namespace {

std::string describe(std::size_t j, const std::vector<std::string>& names, const std::vector<double>& set,
                     double read, const SinkResult& r, int cycles) {
  const std::string who = j < names.size() ? names[j] : "corrector " + std::to_string(j);
  if (!r.ok)
    return "the read-backs cannot be read (" + r.error + ") for " + std::to_string(cycles) + " cycles";
  if (r.values.size() != set.size())
    return std::to_string(r.values.size()) + " read-backs for " + std::to_string(set.size()) +
           " correctors for " + std::to_string(cycles) + " cycles";
  char text[200];
  std::snprintf(text, sizeof text, "%s reads back %.6g, set %.6g, for %d cycles", who.c_str(), read, set[j],
                cycles);
  return text;
}

}  // namespace

ReadbackVerdict ReadbackWatch::check(const std::vector<double>& setpoints, const SinkResult& readbacks,
                                     const std::vector<std::string>& names) {
  ReadbackVerdict v;
  if (!rule_.on()) return v;
  counts_.resize(setpoints.size(), 0);
  const bool whole = readbacks.ok && readbacks.values.size() == setpoints.size();
  for (std::size_t j = 0; j < setpoints.size(); ++j) {
    const double read = whole ? readbacks.values[j] : std::nan("");
    const bool off = !(std::fabs(read - setpoints[j]) <= rule_.tolerance);
    counts_[j] = off ? counts_[j] + 1 : 0;
    v.off += off ? 1 : 0;
    if (off && counts_[j] >= rule_.cycles && !v.trip) {
      v.trip = true;
      v.detail = describe(j, names, setpoints, read, readbacks, counts_[j]);
    }
  }
  return v;
}

}  // namespace loop
}  // namespace zor_feedback
