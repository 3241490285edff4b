// worker_pool.h - the threads a caller lends to a product. Private to the
// library; not installed.
#ifndef ZOR_FEEDBACK_WORKER_POOL_H
#define ZOR_FEEDBACK_WORKER_POOL_H

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace zor_feedback {
namespace detail {

// `size` threads in all: the caller's and size - 1 workers, started once by
// the constructor and joined by the destructor. run() hands the parts of one
// job out, in order, to whichever thread is free first, the caller's
// included: a worker that the machine does not schedule in time leaves its
// parts to the others, and the job never takes much longer than on the
// caller's thread alone. run() returns when every part has ended, so a job
// may refer to the caller's stack. One run at a time: a second caller waits
// for the first.
class WorkerPool {
 public:
  // Throws std::invalid_argument for a size of 0; std::system_error when a
  // thread cannot be started (the ones started are joined first).
  explicit WorkerPool(std::size_t size);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  std::size_t size() const { return workers_.size() + 1; }

  // part(p) once for every p in [0, parts), on any of the threads. Returns
  // after all parts have ended, then rethrows the first exception caught
  // (the parts after a failed one still run). No allocation.
  template <class Part>
  void run(std::size_t parts, Part& part) {
    run_parts(
        parts, [](void* ctx, std::size_t p) { (*static_cast<Part*>(ctx))(p); }, &part);
  }

 private:
  using PartFn = void (*)(void*, std::size_t);
  void run_parts(std::size_t parts, PartFn fn, void* ctx);
  void work();
  void spin_for_job(std::uint64_t seen) const;
  void spin_for_workers() const;
  void take_parts(PartFn fn, void* ctx, std::size_t parts);
  void stop_and_join();

  std::mutex call_;   // one run at a time
  std::mutex mutex_;  // guards what follows
  std::condition_variable wake_, done_;
  PartFn fn_ = nullptr;
  void* ctx_ = nullptr;
  std::size_t parts_ = 0;
  std::atomic<std::size_t> next_{0};  // the next part to take (not guarded)
  std::size_t joined_ = 0;            // workers inside the job
  std::uint64_t generation_ = 0;      // counts the jobs handed out
  // generation_ and stop_ as a worker reads them while it spins, without the mutex.
  std::atomic<std::uint64_t> handed_{0};
  std::atomic<bool> stopping_{false};
  // joined_ as the caller reads it while it spins for the last parts.
  std::atomic<std::size_t> inside_{0};
  bool stop_ = false;
  std::exception_ptr error_;  // the job's first exception
  std::vector<std::thread> workers_;
};

}  // namespace detail
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_WORKER_POOL_H
