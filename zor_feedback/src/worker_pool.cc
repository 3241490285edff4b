// The caller's threads for a product: a job is handed out by a generation
// count under one mutex, and the caller waits until every part has ended, so
// a worker never outlives the data of the call that woke it.
#include "worker_pool.h"

#include <stdexcept>
#include <string>
#include <system_error>

namespace zor_feedback {
namespace detail {

WorkerPool::WorkerPool(std::size_t size) {
  if (size == 0) throw std::invalid_argument("a product needs at least 1 thread, got 0");
  workers_.reserve(size - 1);
  try {
    for (std::size_t w = 1; w < size; ++w) workers_.emplace_back([this, w] { work(w); });
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
  }
  wake_.notify_all();
  for (std::thread& t : workers_) t.join();
  workers_.clear();
}

void WorkerPool::work(std::size_t index) {
  std::uint64_t seen = 0;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [&] { return stop_ || generation_ != seen; });
    if (stop_) return;
    seen = generation_;
    if (index >= parts_) continue;  // this job has fewer parts
    const PartFn fn = fn_;
    void* const ctx = ctx_;
    lock.unlock();
    std::exception_ptr error;
    try {
      fn(ctx, index);
    } catch (...) {
      error = std::current_exception();
    }
    lock.lock();
    if (error && !error_) error_ = error;
    if (--pending_ == 0) done_.notify_one();
  }
}

void WorkerPool::run_parts(std::size_t parts, PartFn fn, void* ctx) {
  if (parts > size())
    throw std::invalid_argument("a job of " + std::to_string(parts) + " parts on " + std::to_string(size()) +
                                " threads");
  const std::lock_guard<std::mutex> call(call_);
  if (parts == 0) return;
  if (parts > 1) {
    const std::lock_guard<std::mutex> lock(mutex_);
    fn_ = fn;
    ctx_ = ctx;
    parts_ = parts;
    pending_ = parts - 1;
    error_ = nullptr;
    ++generation_;
  }
  if (parts > 1) wake_.notify_all();
  std::exception_ptr error;
  try {
    fn(ctx, 0);
  } catch (...) {
    error = std::current_exception();
  }
  if (parts > 1) {
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [&] { return pending_ == 0; });
    if (!error) error = error_;
    error_ = nullptr;
    fn_ = nullptr;
    ctx_ = nullptr;
  }
  if (error) std::rethrow_exception(error);
}

}  // namespace detail
}  // namespace zor_feedback
