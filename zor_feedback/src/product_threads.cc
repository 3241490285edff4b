// The caller's threads for multiply: the public face of the worker pool.
#include "zor_feedback/product_threads.h"

#include <stdexcept>
#include <string>

#include "worker_pool.h"

namespace zor_feedback {

namespace {
std::size_t checked(std::size_t threads) {
  if (threads == 0 || threads > ProductThreads::kMaxThreads)
    throw std::invalid_argument("ProductThreads: " + std::to_string(threads) + " threads; give 1 to " +
                                std::to_string(ProductThreads::kMaxThreads));
  return threads;
}
}  // namespace

ProductThreads::ProductThreads(std::size_t threads)
    : pool_(std::make_unique<detail::WorkerPool>(checked(threads))) {}

ProductThreads::~ProductThreads() = default;

std::size_t ProductThreads::threads() const { return pool_->size(); }

}  // namespace zor_feedback
