// fused_product.h - the matrix product of multiply on float storage. Private
// to the library; not installed.
#ifndef ZOR_FEEDBACK_FUSED_PRODUCT_H
#define ZOR_FEEDBACK_FUSED_PRODUCT_H

#include <cstddef>

namespace zor_feedback {
namespace detail {

// out (n x k) = M (n x m) * X (m x k), all row-major floats: every element of
// M and X widened to double, the products and sums in double, each result
// narrowed to float once. The sums run in eight lanes of fixed width on every
// instruction set, so the results do not depend on the machine. out must not
// overlap M or X. Throws std::bad_alloc (before writing anything) when the
// double copy of X cannot be allocated.
void fused_product(const float* M, const float* X, std::size_t n, std::size_t m, std::size_t k, float* out);

}  // namespace detail
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_FUSED_PRODUCT_H
