#include "feedback_loop.h"

#include <pthread.h>
#include <signal.h>

#include <cmath>
#include <cstdio>
#include <exception>
#include <utility>

namespace zor_feedback {
namespace tango {

namespace {

std::chrono::steady_clock::duration to_duration(double seconds) {
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(seconds));
}

}  // namespace

FeedbackLoop::FeedbackLoop(sim::FeedbackSimulation::Settings settings, double period_s,
                           std::function<void()> after_cycle)
    : after_cycle_(std::move(after_cycle)), period_(to_duration(period_s)) {
  sim_ = std::make_unique<sim::FeedbackSimulation>(std::move(settings));
  if (!sim_->load_and_invert()) {
    fault_ = sim_->error();
    state_ = State::fault;
    sim_.reset();
    return;  // no thread: there is nothing to run
  }
  thread_ = std::thread([this] { run(); });
}

FeedbackLoop::~FeedbackLoop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    quit_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void FeedbackLoop::run() {
  // Signals belong to the server's own handling (TANGO's signal thread, which
  // shuts the server down on SIGTERM); this thread may start before the
  // server blocks them.
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, nullptr);

  std::unique_lock<std::mutex> lock(mutex_);
  while (!quit_) {
    // Every wake-up (start, stop, a new period, the end) looks again.
    if (state_ != State::running) {
      wake_.wait(lock);
      continue;
    }
    if (clock::now() < next_) {
      wake_.wait_until(lock, next_);
      continue;
    }
    try {
      sim_->cycle();
    } catch (const std::exception& e) {
      fault_ = std::string("cycle ") + std::to_string(cycles_) + " failed: " + e.what();
      state_ = State::fault;
      continue;
    }
    ++cycles_;
    // The next cycle one period after this one was due; a loop that fell
    // behind by more than a period starts afresh instead of catching up.
    next_ += period_;
    const clock::time_point now = clock::now();
    if (next_ + period_ < now) next_ = now;
    lock.unlock();
    after_cycle_();
    lock.lock();
  }
}

bool FeedbackLoop::start() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ == State::fault) return false;
    if (state_ == State::running) return true;
    state_ = State::running;
    next_ = clock::now();
  }
  wake_.notify_all();
  return true;
}

void FeedbackLoop::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ == State::running) state_ = State::stopped;
  }
  wake_.notify_all();
}

FeedbackLoop::State FeedbackLoop::state() {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_;
}

std::string FeedbackLoop::status() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (state_ == State::fault) return "fault: " + fault_;
  const zor_feedback::SvdReport& r = sim_->report();
  char text[200];
  std::snprintf(
      text, sizeof text,
      "%s after %lld cycles, period %.3g s; %d x %d matrix, %d of %d singular values used (tolerance %.3g)",
      state_ == State::running ? "running" : "stopped", cycles_,
      std::chrono::duration<double>(period_).count(), r.rows, r.cols, r.used,
      static_cast<int>(r.singular_values.size()), static_cast<double>(r.tol));
  std::string s = text;
  for (const std::string& w : r.warnings) s += "\n" + w;  // e.g. a tolerance that cleared the inverse
  return s;
}

long long FeedbackLoop::cycles() {
  std::lock_guard<std::mutex> lock(mutex_);
  return cycles_;
}

double FeedbackLoop::period() {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::chrono::duration<double>(period_).count();
}

bool FeedbackLoop::period_ok(double seconds, std::string* error) {
  constexpr double shortest = 0.01, longest = 3600.0;
  if (seconds >= shortest && seconds <= longest) return true;  // not a NaN either
  char text[100];
  std::snprintf(text, sizeof text, "period %g s refused: it must lie between %g and %g s", seconds, shortest,
                longest);
  *error = text;
  return false;
}

bool FeedbackLoop::set_period(double seconds, std::string* error) {
  if (!period_ok(seconds, error)) return false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    next_ += to_duration(seconds) - period_;  // the next cycle one new period after the last
    period_ = to_duration(seconds);
  }
  wake_.notify_all();
  return true;
}

zor_feedback::SvdReport FeedbackLoop::inversion() {
  std::lock_guard<std::mutex> lock(mutex_);
  return sim_->report();
}

zor_feedback::SvdReport FeedbackLoop::invert(float tol) {
  std::lock_guard<std::mutex> lock(mutex_);
  return sim_->reinvert(tol);
}

zor_feedback::SvdReport FeedbackLoop::invert_again() {
  std::lock_guard<std::mutex> lock(mutex_);
  const zor_feedback::SvdReport& r = sim_->report();
  return sim_->reinvert(r.internal_tolerance ? -1.0f : r.tol);
}

bool FeedbackLoop::load_matrix(const std::string& path, std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  return sim_->replace_matrix(path, error);
}

}  // namespace tango
}  // namespace zor_feedback
