// The caller's threads for a product: a job is handed out by a generation
// count under one mutex and its parts taken from one counter. A worker joins
// a job under the mutex, and the caller closes it under the mutex once no
// worker is inside, so a worker never calls into a job whose caller has
// returned.
#include "worker_pool.h"

#include <chrono>
#include <stdexcept>

namespace zor_feedback {
namespace detail {

WorkerPool::WorkerPool(std::size_t size) {
  if (size == 0) throw std::invalid_argument("a product needs at least 1 thread, got 0");
  workers_.reserve(size - 1);
  try {
    for (std::size_t w = 1; w < size; ++w) workers_.emplace_back([this] { work(); });
  } catch (...) {
    stop_and_join();
    throw;
  }
}

WorkerPool::~WorkerPool() { stop_and_join(); }

void WorkerPool::stop_and_join() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    stopping_.store(true);
  }
  wake_.notify_all();
  for (std::thread& t : workers_) t.join();
  workers_.clear();
}

// Runs parts until none is left; the first exception is kept.
void WorkerPool::take_parts(PartFn fn, void* ctx, std::size_t parts) {
  for (std::size_t p = next_.fetch_add(1); p < parts; p = next_.fetch_add(1)) {
    try {
      fn(ctx, p);
    } catch (...) {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (!error_) error_ = std::current_exception();
    }
  }
}

// A loop calls its product every period: a worker that has just ended a job
// looks for the next one for a while before it sleeps, since waking a
// sleeping thread costs tens of microseconds, a good part of such a product.
constexpr auto kSpin = std::chrono::microseconds(200);

void WorkerPool::spin_for_job(std::uint64_t seen) const {
  const auto until = std::chrono::steady_clock::now() + kSpin;
  while (handed_.load(std::memory_order_acquire) == seen && !stopping_.load(std::memory_order_relaxed) &&
         std::chrono::steady_clock::now() < until) {
  }
}

// The caller, its own parts done, waits for a worker's last part, which
// takes about as long as one of its own: it looks for the end before it
// sleeps, as a wake-up would cost more than the wait.
void WorkerPool::spin_for_workers() const {
  const auto until = std::chrono::steady_clock::now() + kSpin;
  while (inside_.load(std::memory_order_acquire) != 0 && std::chrono::steady_clock::now() < until) {
  }
}

void WorkerPool::work() {
  std::uint64_t seen = 0;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    lock.unlock();
    spin_for_job(seen);
    lock.lock();
    wake_.wait(lock, [&] { return stop_ || generation_ != seen; });
    if (stop_) return;
    seen = generation_;
    if (fn_ == nullptr) continue;  // that job is closed already
    const PartFn fn = fn_;
    void* const ctx = ctx_;
    const std::size_t parts = parts_;
    inside_.store(++joined_, std::memory_order_relaxed);
    lock.unlock();
    take_parts(fn, ctx, parts);
    lock.lock();
    inside_.store(--joined_, std::memory_order_release);
    if (joined_ == 0) done_.notify_one();
  }
}

void WorkerPool::run_parts(std::size_t parts, PartFn fn, void* ctx) {
  const std::lock_guard<std::mutex> call(call_);
  if (parts == 0) return;
  const bool share = parts > 1 && !workers_.empty();
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    next_.store(0);
    error_ = nullptr;
    if (share) {
      fn_ = fn;
      ctx_ = ctx;
      parts_ = parts;
      ++generation_;
      handed_.store(generation_, std::memory_order_release);
    }
  }
  if (share) wake_.notify_all();
  take_parts(fn, ctx, parts);
  if (share) spin_for_workers();
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [&] { return joined_ == 0; });
  fn_ = nullptr;  // closed: a worker waking late finds nothing to join
  ctx_ = nullptr;
  const std::exception_ptr error = error_;
  error_ = nullptr;
  lock.unlock();
  if (error) std::rethrow_exception(error);
}

}  // namespace detail
}  // namespace zor_feedback
