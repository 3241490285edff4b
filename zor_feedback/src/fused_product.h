// fused_product.h - the matrix product of multiply on float storage. Private
// to the library; not installed.
#ifndef ZOR_FEEDBACK_FUSED_PRODUCT_H
#define ZOR_FEEDBACK_FUSED_PRODUCT_H

#include <cstddef>
#include <string>
#include <vector>

namespace zor_feedback {
namespace detail {

// The kernel versions; each gives the same bits. avx512_256: AVX-512's 32
// registers at 256 bits.
enum class KernelIsa { scalar, avx2, avx512, avx512_256 };
constexpr KernelIsa kKernelIsas[] = {KernelIsa::scalar, KernelIsa::avx2, KernelIsa::avx512,
                                     KernelIsa::avx512_256};
const char* kernel_isa_name(KernelIsa isa);
// Whether this CPU (and this build) runs `isa`.
bool kernel_isa_supported(KernelIsa isa);

// The version multiply uses, chosen once per process: ZOR_FEEDBACK_ISA
// (scalar, avx2, avx512 or avx512-256) when it names one this CPU runs, else
// the widest this CPU runs (avx512-256 where 512-bit operations run as two
// halves); `note` says why a set variable was not followed.
struct KernelChoice {
  KernelIsa isa = KernelIsa::scalar;
  std::string note;
};
const KernelChoice& kernel_choice();
// Which version, as a log line shows it: "avx2", "avx2 (ZOR_FEEDBACK_ISA=...: ...)".
std::string kernel_summary();

// out (n x k) = M (n x m) * X (m x k), all row-major floats: every element of
// M and X widened to double, the products and sums in double, each result
// narrowed to float once. The sums run in eight lanes of fixed width on every
// instruction set, so the results do not depend on the machine. out must not
// overlap M or X. A single column (k = 1) allocates nothing; for k > 1 it
// throws std::bad_alloc (before writing anything) when the transposed copy
// of X cannot be allocated.
void fused_product(const float* M, const float* X, std::size_t n, std::size_t m, std::size_t k, float* out);
// The same on the version `isa`, which must be supported (for the tests and
// the benchmarks).
void fused_product_on(KernelIsa isa, const float* M, const float* X, std::size_t n, std::size_t m,
                      std::size_t k, float* out);

// out (n doubles) = M (n x m, row-major floats) * x (m floats): the sums of
// fused_product, in the same lanes and order (the same bits on every
// version), left in double instead of narrowed. Allocates nothing.
void fused_gemv(const float* M, const float* x, std::size_t n, std::size_t m, double* out);
// The same on the version `isa`, which must be supported.
void fused_gemv_on(KernelIsa isa, const float* M, const float* x, std::size_t n, std::size_t m, double* out);

// The rows of a product are handed out in multiples of this many (a part of
// a split starts on one): every version keeps at least this many rows in
// flight per pass, more where its registers allow.
constexpr std::size_t kKernelRowBlock = 4;
// Rows [first, last) of the product on `isa`, with X's columns given
// contiguous (xt, k x m) and out pointing at the result's row 0. A row's sum
// does not depend on the rows that share its pass, so each row gets the bits
// the whole product gives it, for any first and last.
void fused_rows_on(KernelIsa isa, const float* M, const float* xt, std::size_t first, std::size_t last,
                   std::size_t m, std::size_t k, float* out);
// X (m x k, row-major) with its columns made contiguous (k x m); throws
// std::bad_alloc when it cannot be allocated.
std::vector<float> columns_of(const float* X, std::size_t m, std::size_t k);

}  // namespace detail
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_FUSED_PRODUCT_H
