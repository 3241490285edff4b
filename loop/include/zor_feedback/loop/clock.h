// clock.h - the time a loop measures and waits by: the steady clock in a
// server, a manual one in tests (waiting advances it, so a test of a settle
// time or an age limit takes no real time).
#ifndef ZOR_FEEDBACK_LOOP_CLOCK_H
#define ZOR_FEEDBACK_LOOP_CLOCK_H

#include <atomic>
#include <chrono>

namespace zor_feedback {
namespace loop {

using Duration = std::chrono::nanoseconds;
// A point in a clock's own time (since its epoch); orbit time stamps are in
// the loop's clock, so an adapter converts a source's stamps to it.
using Time = std::chrono::nanoseconds;

class Clock {
 public:
  virtual ~Clock() = default;
  virtual Time now() const = 0;
  // Waits `d` (nothing for d <= 0).
  virtual void sleep_for(Duration d) = 0;
};

class SteadyClock final : public Clock {
 public:
  Time now() const override;
  void sleep_for(Duration d) override;
};

// Time moves only when told: by advance() or by a wait. Safe to read and
// advance from several threads.
class ManualClock final : public Clock {
 public:
  explicit ManualClock(Time start = Time{0}) : now_(start.count()) {}
  Time now() const override { return Time{now_.load()}; }
  void sleep_for(Duration d) override { advance(d); }
  void advance(Duration d) {
    if (d.count() > 0) now_ += d.count();
  }

 private:
  std::atomic<Time::rep> now_;
};

}  // namespace loop
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_LOOP_CLOCK_H
