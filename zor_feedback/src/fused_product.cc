// The product of multiply, read straight from float storage: the matrix is
// read once, as floats, and widened in registers, so that a feedback cycle
// moves half the bytes a product on double copies moves.
#include "fused_product.h"

#include <cstring>
#include <vector>

namespace zor_feedback {
namespace detail {
namespace {

constexpr std::size_t kLanes = 8;  // partial sums per row: lane l sums the columns j with j % 8 == l
constexpr std::size_t kRows = 4;   // rows of M per pass over a column of X: independent sums

// sums[r] = row r of M (R rows from M, m floats each) times x (m doubles).
// The lanes are plain arrays, which the compiler's SLP vectoriser (enabled for
// this file) maps onto the registers of each clone: the arithmetic, lane by
// lane, is the same on every instruction set, so are the bits. A row's sum is
// formed the same way whatever R, so a result does not depend on where its
// row falls. Always inlined, so that each clone vectorises it for its own
// instruction set. No FMA: the library is built without contraction.
template <std::size_t R>
inline __attribute__((always_inline)) void dot_rows(const float* M, std::size_t m, const double* x,
                                                    double* sums) {
  double acc[R][kLanes] = {};
  std::size_t j = 0;
  for (; j + kLanes <= m; j += kLanes)
#pragma GCC unroll 4
    for (std::size_t r = 0; r < R; ++r)
      for (std::size_t l = 0; l < kLanes; ++l) acc[r][l] += static_cast<double>(M[r * m + j + l]) * x[j + l];
#pragma GCC unroll 4
  for (std::size_t r = 0; r < R; ++r) {
    const double* v = acc[r];
    double s = ((v[0] + v[4]) + (v[2] + v[6])) + ((v[1] + v[5]) + (v[3] + v[7]));
    for (std::size_t t = j; t < m; ++t) s += static_cast<double>(M[r * m + t]) * x[t];
    sums[r] = s;
  }
}

#if defined(__x86_64__) && defined(__has_attribute)
#if __has_attribute(target_clones)
#define ZOR_FEEDBACK_CLONES __attribute__((target_clones("default", "avx2", "avx512f")))
#endif
#endif
#ifndef ZOR_FEEDBACK_CLONES
#define ZOR_FEEDBACK_CLONES
#endif

// out = M * X with X's columns given widened and contiguous (xt, k x m). The
// loader picks the clone for the running machine once.
ZOR_FEEDBACK_CLONES
void product_kernel(const float* M, const double* xt, std::size_t n, std::size_t m, std::size_t k,
                    float* out) {
  double sums[kRows];
  std::size_t i = 0;
  for (; i + kRows <= n; i += kRows)
    for (std::size_t c = 0; c < k; ++c) {  // the R rows stay in L1 across the columns
      dot_rows<kRows>(M + i * m, m, xt + c * m, sums);
      for (std::size_t r = 0; r < kRows; ++r) out[(i + r) * k + c] = static_cast<float>(sums[r]);
    }
  for (; i < n; ++i)
    for (std::size_t c = 0; c < k; ++c) {
      dot_rows<1>(M + i * m, m, xt + c * m, sums);
      out[i * k + c] = static_cast<float>(sums[0]);
    }
}

}  // namespace

void fused_product(const float* M, const float* X, std::size_t n, std::size_t m, std::size_t k, float* out) {
  std::vector<double> xt(m * k);
  for (std::size_t j = 0; j < m; ++j)
    for (std::size_t c = 0; c < k; ++c) xt[c * m + j] = static_cast<double>(X[j * k + c]);
  product_kernel(M, xt.data(), n, m, k, out);
}

}  // namespace detail
}  // namespace zor_feedback
