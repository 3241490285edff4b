// readback_watch.h - whether the correctors follow their set-points: a loop
// that writes through devices compares each corrector's read-back with the
// set-point it last wrote, once a cycle. A supply that lags is off for a
// cycle or two; one that is stuck, saturated, refused or moved by someone
// else stays off, and the loop must stop stepping on a model of kicks the
// machine does not have.
#ifndef ZOR_FEEDBACK_LOOP_READBACK_WATCH_H
#define ZOR_FEEDBACK_LOOP_READBACK_WATCH_H

#include <limits>
#include <string>
#include <vector>

#include "zor_feedback/loop/io.h"

namespace zor_feedback {
namespace loop {

struct ReadbackRule {
  // |read-back - set-point| above this (absolute, the kicks' unit) is off;
  // infinity: no check.
  double tolerance = std::numeric_limits<double>::infinity();
  // A corrector off for this many consecutive checks trips.
  int cycles = 5;
  bool on() const { return tolerance < std::numeric_limits<double>::infinity(); }
};
// Empty when the rule can be used, else what is wrong with it.
std::string readback_rule_problem(const ReadbackRule& rule);

struct ReadbackVerdict {
  bool trip = false;
  int off = 0;         // correctors off in this check
  std::string detail;  // trip: the first corrector that tripped, its values and the count
};

class ReadbackWatch {
 public:
  // A rule with a problem is not taken (false, *error).
  bool configure(const ReadbackRule& rule, std::string* error);
  // One check of `readbacks` against `setpoints` (one per corrector; `names`
  // for the text, may be empty). A read that failed or has another length
  // counts every corrector as off; so does a read-back that is not finite.
  ReadbackVerdict check(const std::vector<double>& setpoints, const SinkResult& readbacks,
                        const std::vector<std::string>& names);
  // Forgets the counts (a Start, a new matrix).
  void clear() { counts_.clear(); }
  const ReadbackRule& rule() const { return rule_; }

 private:
  ReadbackRule rule_;
  std::vector<int> counts_;  // consecutive checks each corrector was off
};

}  // namespace loop
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_LOOP_READBACK_WATCH_H
