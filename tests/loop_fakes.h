// loop_fakes.h - a source, a sink and a controller for the loop's tests, each
// counting its calls and failing on request. Thread-safe, as a runner's
// readers and the test thread touch them together.
#ifndef ZOR_FEEDBACK_TESTS_LOOP_FAKES_H
#define ZOR_FEEDBACK_TESTS_LOOP_FAKES_H

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <string>
#include <vector>

#include "zor_feedback/loop/loop.h"

namespace zor_feedback {
namespace test {

using namespace std::chrono_literals;

// Stamps each orbit 1 ms after the last read on the loop's clock, which it
// first advances by 1 ms (so each orbit is new and fresh).
class FakeSource final : public loop::OrbitSource {
 public:
  explicit FakeSource(loop::ManualClock& clock, std::vector<double> values)
      : clock_(clock), values_(std::move(values)), valid_(values_.size(), true) {}
  loop::Orbit read() override {
    std::lock_guard<std::mutex> lock(m_);
    ++reads;
    clock_.advance(1ms);
    loop::Orbit o;
    o.ok = error.empty();
    o.error = error;
    o.values = values_;
    o.valid = valid_;
    o.stamp = clock_.now() + stamp_offset;
    for (double& v : values_) v *= grow;
    return o;
  }
  void set(std::vector<double> values) {
    std::lock_guard<std::mutex> lock(m_);
    values_ = std::move(values);
    valid_.assign(values_.size(), true);
  }
  void invalidate(std::size_t i) {
    std::lock_guard<std::mutex> lock(m_);
    valid_[i] = false;
  }
  void fail(const std::string& why) {
    std::lock_guard<std::mutex> lock(m_);
    error = why;
  }
  std::atomic<int> reads{0};
  loop::Duration stamp_offset{0};  // negative: older than it is
  double grow = 1.0;               // each read's values times this make the next

 private:
  std::mutex m_;
  loop::ManualClock& clock_;
  std::vector<double> values_;
  std::vector<bool> valid_;
  std::string error;
};

class FakeSink final : public loop::CorrectorSink {
 public:
  explicit FakeSink(std::size_t n) : set_(n, 0.0) {}
  loop::SinkResult write(const std::vector<double>& v) override {
    std::unique_lock<std::mutex> lock(m_);
    ++write_calls;
    in_write = true;
    changed_.notify_all();
    changed_.wait(lock, [&] { return !hold; });
    in_write = false;
    loop::SinkResult r;
    if (refuse_writes > 0) {
      --refuse_writes;
      r.error = "interlock";
      return r;
    }
    set_ = v;
    writes.push_back(v);
    r.ok = true;
    return r;
  }
  loop::SinkResult read() override {
    std::lock_guard<std::mutex> lock(m_);
    loop::SinkResult r;
    if (fail_reads) {
      r.error = "no read-back";
      return r;
    }
    r.ok = true;
    r.values = set_;
    if (!r.values.empty()) r.values[0] += readback_offset;
    return r;
  }
  std::vector<double> setpoints() {
    std::lock_guard<std::mutex> lock(m_);
    return set_;
  }
  std::size_t write_count() {
    std::lock_guard<std::mutex> lock(m_);
    return writes.size();
  }
  // Holds the next writes until release(); waits until one is held.
  void hold_writes() {
    std::lock_guard<std::mutex> lock(m_);
    hold = true;
  }
  void wait_for_write() {
    std::unique_lock<std::mutex> lock(m_);
    changed_.wait(lock, [&] { return in_write; });
  }
  void release() {
    std::lock_guard<std::mutex> lock(m_);
    hold = false;
    changed_.notify_all();
  }
  void set_refuse(int n) {
    std::lock_guard<std::mutex> lock(m_);
    refuse_writes = n;
  }
  void set_readback(double offset, bool fail) {
    std::lock_guard<std::mutex> lock(m_);
    readback_offset = offset;
    fail_reads = fail;
  }
  std::atomic<int> write_calls{0};

 private:
  std::mutex m_;
  std::condition_variable changed_;
  std::vector<double> set_;
  std::vector<std::vector<double>> writes;
  int refuse_writes = 0;
  double readback_offset = 0.0;
  bool fail_reads = false, hold = false, in_write = false;
};

// kick_i -= gain * orbit_i + bias, within +-clamp (one corrector per monitor, NaN orbit: no change);
// refuses on request; remembers what it was given.
class FakeController final : public loop::Controller {
 public:
  loop::ControllerStep step(const std::vector<double>& orbit, const std::vector<double>& kicks) override {
    std::lock_guard<std::mutex> lock(m_);
    last_orbit = orbit;
    loop::ControllerStep s;
    if (!refuse.empty()) {
      s.error = refuse;
      return s;
    }
    s.kicks = kicks;
    for (std::size_t i = 0; i < kicks.size() && i < orbit.size(); ++i)
      if (orbit[i] == orbit[i]) s.kicks[i] = std::clamp(s.kicks[i] - gain * orbit[i] - bias, -clamp, clamp);
    s.ok = true;
    return s;
  }
  std::string written() override {
    ++recorded;
    return {};
  }
  std::vector<double> orbit() {
    std::lock_guard<std::mutex> lock(m_);
    return last_orbit;
  }
  double gain = 0.5, bias = 0.0;
  double clamp = std::numeric_limits<double>::infinity();
  std::string refuse;
  std::atomic<int> recorded{0};

 private:
  std::mutex m_;
  std::vector<double> last_orbit;
};

}  // namespace test
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_TESTS_LOOP_FAKES_H
