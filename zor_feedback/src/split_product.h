// split_product.h - the product of multiply with its rows split over a
// caller's threads. Private to the library; not installed.
#ifndef ZOR_FEEDBACK_SPLIT_PRODUCT_H
#define ZOR_FEEDBACK_SPLIT_PRODUCT_H

#include <cstddef>

#include "fused_product.h"
#include "worker_pool.h"

namespace zor_feedback {
namespace detail {

// The multiply-adds below which a part is not worth a thread's wake-up:
// smaller products stay on the caller's thread (measured: BENCHMARKS.md).
constexpr std::size_t kSplitMinWork = 128 * 1024;

// Parts per thread: a free thread takes the next, so a thread the machine
// schedules late leaves its share to the others.
constexpr std::size_t kPartsPerThread = 4;

// How many parts a product of n rows, each of `row_work` multiply-adds, is
// split into on `threads` threads: 1 (whole) on one thread, else at most
// kPartsPerThread per thread, at most one per kKernelRowBlock rows, none
// smaller than min_work.
std::size_t split_parts(std::size_t n, std::size_t row_work, std::size_t threads, std::size_t min_work);
// The first row of part p of `parts` over n rows: a multiple of
// kKernelRowBlock, and n for p == parts.
std::size_t split_row(std::size_t n, std::size_t parts, std::size_t p);

// fused_product_on with the rows split over `pool` (split_parts with
// min_work); each row is computed by the kernel call of the one-thread
// product, so the bits do not depend on the number of threads. out must not
// overlap M or X. Throws std::bad_alloc like fused_product_on (for k > 1,
// before writing anything).
void split_product_on(WorkerPool& pool, KernelIsa isa, const float* M, const float* X, std::size_t n,
                      std::size_t m, std::size_t k, float* out, std::size_t min_work = kSplitMinWork);

}  // namespace detail
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_SPLIT_PRODUCT_H
