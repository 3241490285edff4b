#include "zor_feedback/loop/runner.h"

#include <system_error>
#include <utility>

namespace zor_feedback {
namespace loop {

using steady = std::chrono::steady_clock;

Runner::Runner(Loop& loop) : loop_(loop) { publish(nullptr); }

Runner::~Runner() { stop(); }

std::string Runner::set_period(std::chrono::nanoseconds period) {
  if (period.count() <= 0) return "the period must be > 0";
  std::lock_guard<std::mutex> lock(control_);
  period_ = period;
  wake_.notify_all();
  return {};
}

std::chrono::nanoseconds Runner::period() const {
  std::lock_guard<std::mutex> lock(control_);
  return period_;
}

std::string Runner::claim() {
  std::lock_guard<std::mutex> lock(control_);
  if (running_) return "the loop is running already";
  running_ = true;
  stop_ = false;
  return {};
}

std::string Runner::start() {
  if (std::string e = claim(); !e.empty()) return e;
  std::lock_guard<std::mutex> lock(joining_);
  if (thread_.joinable()) thread_.join();  // ended, but its stop() has not joined it yet
  try {
    thread_ = std::thread([this] { loop_body(); });
  } catch (const std::system_error& e) {
    std::lock_guard<std::mutex> control(control_);
    running_ = false;
    return std::string("no thread for the loop: ") + e.what();
  }
  return {};
}

std::string Runner::run() {
  if (std::string e = claim(); !e.empty()) return e;
  loop_body();
  return {};
}

void Runner::loop_body() {
  {
    std::lock_guard<std::mutex> lock(cycle_);
    publish(nullptr);
  }
  steady::time_point next = steady::now();
  std::unique_lock<std::mutex> control(control_);
  while (!stop_) {
    control.unlock();
    {
      std::lock_guard<std::mutex> lock(cycle_);
      const CycleRecord rec = loop_.cycle();
      publish(&rec);
    }
    control.lock();
    next += period_;
    const steady::time_point now = steady::now();
    if (next < now) next = now;  // overran: start again at once, drop what was missed
    wake_.wait_until(control, next, [this] { return stop_; });
  }
  running_ = false;
  control.unlock();
  std::lock_guard<std::mutex> lock(cycle_);
  publish(nullptr);
}

void Runner::stop() {
  {
    std::lock_guard<std::mutex> lock(control_);
    stop_ = true;
    wake_.notify_all();
  }
  {
    std::lock_guard<std::mutex> lock(joining_);
    if (thread_.joinable()) thread_.join();
  }
  // run() in another thread: its cycle under way ends before this returns.
  std::lock_guard<std::mutex> lock(cycle_);
}

void Runner::reset() {
  std::lock_guard<std::mutex> lock(cycle_);
  loop_.reset();
  const CycleRecord none;  // the cycles before the reset are no longer the loop's
  publish(&none);
}

std::string Runner::configure(const LoopConfig& config) {
  std::lock_guard<std::mutex> lock(cycle_);
  return loop_.configure(config);
}

void Runner::publish(const CycleRecord* last) {
  auto s = std::make_shared<Snapshot>();
  {
    std::lock_guard<std::mutex> lock(control_);
    s->running = running_;
  }
  s->status = loop_.status();
  s->times = loop_.times();
  std::shared_ptr<const Snapshot> old = snapshot();
  if (last != nullptr) {
    s->last = *last;
  } else if (old) {
    s->last = old->last;
  }
  std::lock_guard<std::mutex> lock(published_);
  snapshot_ = std::move(s);
}

std::shared_ptr<const Snapshot> Runner::snapshot() const {
  std::lock_guard<std::mutex> lock(published_);
  return snapshot_;
}

}  // namespace loop
}  // namespace zor_feedback
