// The rows of a product split over the caller's threads. The parts are whole
// blocks of the kernel's rows, with the rows left over in the last part, so
// every row meets the same kernel call at any thread count: the bits of one
// thread, whatever the split.
#include "split_product.h"

#include <algorithm>
#include <vector>

namespace zor_feedback {
namespace detail {

std::size_t split_parts(std::size_t n, std::size_t row_work, std::size_t threads, std::size_t min_work) {
  if (threads <= 1) return 1;
  const std::size_t most = threads * kPartsPerThread;
  const std::size_t by_work = min_work == 0 ? most : n * row_work / min_work;
  return std::max<std::size_t>(1, std::min({most, n / kKernelRowBlock, by_work}));
}

std::size_t split_row(std::size_t n, std::size_t parts, std::size_t p) {
  if (p >= parts) return n;
  const std::size_t blocks = n / kKernelRowBlock;
  return blocks * p / parts * kKernelRowBlock;
}

void split_product_on(WorkerPool& pool, KernelIsa isa, const float* M, const float* X, std::size_t n,
                      std::size_t m, std::size_t k, float* out, std::size_t min_work) {
  const std::size_t parts = split_parts(n, m * k, pool.size(), min_work);
  if (parts == 1) {
    fused_product_on(isa, M, X, n, m, k, out);
    return;
  }
  std::vector<float> xt;  // for k > 1, made once, before any row is written
  if (k > 1) xt = columns_of(X, m, k);
  const float* const cols = k > 1 ? xt.data() : X;
  auto part = [&](std::size_t p) {
    fused_rows_on(isa, M, cols, split_row(n, parts, p), split_row(n, parts, p + 1), m, k, out);
  };
  pool.run(parts, part);
}

}  // namespace detail
}  // namespace zor_feedback
