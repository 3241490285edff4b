// The product of multiply, read straight from float storage: the matrix is
// read once, as floats, and widened in registers, so that a feedback cycle
// moves half the bytes a product on double copies moves.
//
// Every row's sum runs in eight lanes: lane l adds up the products of the
// columns j with j % 8 == l, in column order; then the lanes are added in a
// fixed tree and the last m % 8 columns in order. The versions for AVX-512,
// AVX2 and any other machine differ only in how many lanes one register
// holds, so they give the same bits. No FMA: the library is built without
// contraction, and the intrinsics below multiply and add apart.
#include "fused_product.h"

#include <vector>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define ZOR_FEEDBACK_X86_KERNELS 1
#endif

namespace zor_feedback {
namespace detail {
namespace {

constexpr std::size_t kLanes = 8;
constexpr std::size_t kRows = 4;  // rows per pass over a column of X: independent sums, rows kept in L1

// The fixed tree over the lanes, then the columns from j on.
inline double finish(const double* lane, const float* row, std::size_t j, std::size_t m, const double* x) {
  double s = ((lane[0] + lane[4]) + (lane[2] + lane[6])) + ((lane[1] + lane[5]) + (lane[3] + lane[7]));
  for (; j < m; ++j) s += static_cast<double>(row[j]) * x[j];
  return s;
}

// sums[r] = row r of M (R rows from M, m floats each) times x (m doubles).
// Portable: the lanes as a plain array.
template <std::size_t R>
void rows_portable(const float* M, std::size_t m, const double* x, double* sums) {
  double acc[R][kLanes] = {};
  std::size_t j = 0;
  for (; j + kLanes <= m; j += kLanes)
    for (std::size_t r = 0; r < R; ++r)
      for (std::size_t l = 0; l < kLanes; ++l) acc[r][l] += static_cast<double>(M[r * m + j + l]) * x[j + l];
  for (std::size_t r = 0; r < R; ++r) sums[r] = finish(acc[r], M + r * m, j, m, x);
}

#ifdef ZOR_FEEDBACK_X86_KERNELS
// Lanes 0-3 and 4-7 in two registers.
template <std::size_t R>
__attribute__((target("avx2"))) void rows_avx2(const float* M, std::size_t m, const double* x, double* sums) {
  __m256d lo[R], hi[R];
#pragma GCC unroll 4
  for (std::size_t r = 0; r < R; ++r) lo[r] = hi[r] = _mm256_setzero_pd();
  std::size_t j = 0;
  for (; j + kLanes <= m; j += kLanes) {
    const __m256d x_lo = _mm256_loadu_pd(x + j), x_hi = _mm256_loadu_pd(x + j + 4);
#pragma GCC unroll 4
    for (std::size_t r = 0; r < R; ++r) {
      const float* p = M + r * m + j;
      lo[r] = _mm256_add_pd(lo[r], _mm256_mul_pd(_mm256_cvtps_pd(_mm_loadu_ps(p)), x_lo));
      hi[r] = _mm256_add_pd(hi[r], _mm256_mul_pd(_mm256_cvtps_pd(_mm_loadu_ps(p + 4)), x_hi));
    }
  }
  for (std::size_t r = 0; r < R; ++r) {
    double lane[kLanes];
    _mm256_storeu_pd(lane, lo[r]);
    _mm256_storeu_pd(lane + 4, hi[r]);
    sums[r] = finish(lane, M + r * m, j, m, x);
  }
}

// Eight floats widened. The all-lanes mask form: GCC 12 warns of the plain
// form's undefined pass-through register.
__attribute__((target("avx512f"), always_inline)) inline __m512d widen8(const float* p) {
  return _mm512_maskz_cvtps_pd(static_cast<__mmask8>(0xFF), _mm256_loadu_ps(p));
}

// All eight lanes in one register.
template <std::size_t R>
__attribute__((target("avx512f"))) void rows_avx512(const float* M, std::size_t m, const double* x,
                                                    double* sums) {
  __m512d acc[R];
#pragma GCC unroll 4
  for (std::size_t r = 0; r < R; ++r) acc[r] = _mm512_setzero_pd();
  std::size_t j = 0;
  for (; j + kLanes <= m; j += kLanes) {
    const __m512d xv = _mm512_loadu_pd(x + j);
#pragma GCC unroll 4
    for (std::size_t r = 0; r < R; ++r)
      acc[r] = _mm512_add_pd(acc[r], _mm512_mul_pd(widen8(M + r * m + j), xv));
  }
  for (std::size_t r = 0; r < R; ++r) {
    double lane[kLanes];
    _mm512_storeu_pd(lane, acc[r]);
    sums[r] = finish(lane, M + r * m, j, m, x);
  }
}
#endif

using RowsFn = void (*)(const float*, std::size_t, const double*, double*);

// out = M * X with X's columns given widened and contiguous (xt, k x m).
template <RowsFn Rows4, RowsFn Rows1>
void product(const float* M, const double* xt, std::size_t n, std::size_t m, std::size_t k, float* out) {
  double sums[kRows];
  std::size_t i = 0;
  for (; i + kRows <= n; i += kRows)
    for (std::size_t c = 0; c < k; ++c) {
      Rows4(M + i * m, m, xt + c * m, sums);
      for (std::size_t r = 0; r < kRows; ++r) out[(i + r) * k + c] = static_cast<float>(sums[r]);
    }
  for (; i < n; ++i)
    for (std::size_t c = 0; c < k; ++c) {
      Rows1(M + i * m, m, xt + c * m, sums);
      out[i * k + c] = static_cast<float>(sums[0]);
    }
}

using ProductFn = void (*)(const float*, const double*, std::size_t, std::size_t, std::size_t, float*);

// The widest version the running machine has.
ProductFn product_for_this_machine() {
#ifdef ZOR_FEEDBACK_X86_KERNELS
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f")) return product<rows_avx512<kRows>, rows_avx512<1>>;
  if (__builtin_cpu_supports("avx2")) return product<rows_avx2<kRows>, rows_avx2<1>>;
#endif
  return product<rows_portable<kRows>, rows_portable<1>>;
}

}  // namespace

void fused_product(const float* M, const float* X, std::size_t n, std::size_t m, std::size_t k, float* out) {
  std::vector<double> xt(m * k);
  for (std::size_t j = 0; j < m; ++j)
    for (std::size_t c = 0; c < k; ++c) xt[c * m + j] = static_cast<double>(X[j * k + c]);
  product_for_this_machine()(M, xt.data(), n, m, k, out);
}

}  // namespace detail
}  // namespace zor_feedback
