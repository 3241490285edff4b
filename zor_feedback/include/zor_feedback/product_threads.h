// product_threads.h - threads a caller lends to multiply.
#ifndef ZOR_FEEDBACK_PRODUCT_THREADS_H
#define ZOR_FEEDBACK_PRODUCT_THREADS_H

#include <cstddef>
#include <memory>

#include "zor_feedback/export.h"

class QTEV_ResponseMatrix;

namespace zor_feedback {
namespace detail {
class WorkerPool;
}

// `threads` threads for QTEV_ResponseMatrix::multiply(A, B, threads): the
// caller's own and threads - 1 workers, started by the constructor and joined
// by the destructor. After a product a worker looks for the next one for
// 200 us (a loop's next period) before it sleeps: waking a sleeping thread
// costs tens of microseconds; idle longer, it waits without spinning. A product splits its
// rows over them only when it is large enough to gain (the threshold:
// BENCHMARKS.md); its bits are those of one thread for any count. Products
// from several threads on one object run one after the other.
class ZOR_FEEDBACK_API ProductThreads {
 public:
  // More would only wait on the memory; a count beyond it is a mistake.
  static constexpr std::size_t kMaxThreads = 256;

  // Throws std::invalid_argument for 0 or more than kMaxThreads threads, and
  // std::system_error when a thread cannot be started (none is left running).
  explicit ProductThreads(std::size_t threads);
  ~ProductThreads();
  ProductThreads(const ProductThreads&) = delete;
  ProductThreads& operator=(const ProductThreads&) = delete;

  // The threads in all, the caller's included.
  std::size_t threads() const;

 private:
  friend class ::QTEV_ResponseMatrix;
  std::unique_ptr<detail::WorkerPool> pool_;
};

}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_PRODUCT_THREADS_H
