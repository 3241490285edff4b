// worker_pool.h - the threads a caller lends to a product. Private to the
// library; not installed.
#ifndef ZOR_FEEDBACK_WORKER_POOL_H
#define ZOR_FEEDBACK_WORKER_POOL_H

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
// job out and returns when every part has ended, so a job may refer to the
// caller's stack. One run at a time: a second caller waits for the first.
class WorkerPool {
 public:
  // Throws std::invalid_argument for a size of 0; std::system_error when a
  // thread cannot be started (the ones started are joined first).
  explicit WorkerPool(std::size_t size);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  std::size_t size() const { return workers_.size() + 1; }

  // part(p) for every p in [0, parts): part 0 on the caller's thread, part p
  // on worker p. Returns after all parts have ended, then rethrows the first
  // exception (the caller's own first). parts > size() throws
  // std::invalid_argument before any part runs. No allocation.
  template <class Part>
  void run(std::size_t parts, Part& part) {
    run_parts(
        parts, [](void* ctx, std::size_t p) { (*static_cast<Part*>(ctx))(p); }, &part);
  }

 private:
  using PartFn = void (*)(void*, std::size_t);
  void run_parts(std::size_t parts, PartFn fn, void* ctx);
  void work(std::size_t index);
  void stop_and_join();

  std::mutex call_;   // one run at a time
  std::mutex mutex_;  // guards what follows
  std::condition_variable wake_, done_;
  PartFn fn_ = nullptr;
  void* ctx_ = nullptr;
  std::size_t parts_ = 0;
  std::size_t pending_ = 0;       // workers' parts not ended yet
  std::uint64_t generation_ = 0;  // counts the jobs handed out
  bool stop_ = false;
  std::exception_ptr error_;  // a worker's first exception in this job
  std::vector<std::thread> workers_;
};

}  // namespace detail
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_WORKER_POOL_H
