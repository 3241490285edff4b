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

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define ZOR_FEEDBACK_X86_KERNELS 1
#endif

namespace zor_feedback {
namespace detail {
namespace {

constexpr std::size_t kLanes = 8;
constexpr std::size_t kRows =
    kKernelRowBlock;  // rows per pass over a column of X: independent sums, rows kept in L1

// The columns from j on, added to s in order.
inline double tail(double s, const float* row, std::size_t j, std::size_t m, const float* x) {
  for (; j < m; ++j) s += static_cast<double>(row[j]) * static_cast<double>(x[j]);
  return s;
}

// The fixed tree over the lanes, then the columns from j on.
inline double finish(const double* lane, const float* row, std::size_t j, std::size_t m, const float* x) {
  return tail(((lane[0] + lane[4]) + (lane[2] + lane[6])) + ((lane[1] + lane[5]) + (lane[3] + lane[7])), row,
              j, m, x);
}

// sums[r] = row r of M (R rows from M, m floats each) times x (m floats,
// widened as exactly as the matrix). Portable: the lanes as a plain array.
template <std::size_t R>
void rows_portable(const float* M, std::size_t m, const float* x, double* sums) {
  double acc[R][kLanes] = {};
  std::size_t j = 0;
  for (; j + kLanes <= m; j += kLanes)
    for (std::size_t r = 0; r < R; ++r)
      for (std::size_t l = 0; l < kLanes; ++l)
        acc[r][l] += static_cast<double>(M[r * m + j + l]) * static_cast<double>(x[j + l]);
  for (std::size_t r = 0; r < R; ++r) sums[r] = finish(acc[r], M + r * m, j, m, x);
}

#ifdef ZOR_FEEDBACK_X86_KERNELS
// finish's tree in registers, from lanes 0-3 and 4-7: (l0+l4, l1+l5, l2+l6,
// l3+l7), then ((l0+l4)+(l2+l6), (l1+l5)+(l3+l7)), then their sum. A short
// row's cost is mostly this: no store and reload of the lanes.
__attribute__((target("avx2"), always_inline)) inline double tree(__m256d lo, __m256d hi) {
  const __m256d a = _mm256_add_pd(lo, hi);
  const __m128d b = _mm_add_pd(_mm256_castpd256_pd128(a), _mm256_extractf128_pd(a, 1));
  return _mm_cvtsd_f64(_mm_add_sd(b, _mm_unpackhi_pd(b, b)));
}

// Lanes 0-3 and 4-7 in two registers.
template <std::size_t R>
__attribute__((target("avx2"))) void rows_avx2(const float* M, std::size_t m, const float* x, double* sums) {
  __m256d lo[R], hi[R];
#pragma GCC unroll 4
  for (std::size_t r = 0; r < R; ++r) lo[r] = hi[r] = _mm256_setzero_pd();
  std::size_t j = 0;
  for (; j + kLanes <= m; j += kLanes) {
    const __m256d x_lo = _mm256_cvtps_pd(_mm_loadu_ps(x + j)),
                  x_hi = _mm256_cvtps_pd(_mm_loadu_ps(x + j + 4));
#pragma GCC unroll 4
    for (std::size_t r = 0; r < R; ++r) {
      const float* p = M + r * m + j;
      lo[r] = _mm256_add_pd(lo[r], _mm256_mul_pd(_mm256_cvtps_pd(_mm_loadu_ps(p)), x_lo));
      hi[r] = _mm256_add_pd(hi[r], _mm256_mul_pd(_mm256_cvtps_pd(_mm_loadu_ps(p + 4)), x_hi));
    }
  }
#pragma GCC unroll 4
  for (std::size_t r = 0; r < R; ++r) sums[r] = tail(tree(lo[r], hi[r]), M + r * m, j, m, x);
}

// Eight floats widened. The all-lanes mask form: GCC 12 warns of the plain
// form's undefined pass-through register.
__attribute__((target("avx512f"), always_inline)) inline __m512d widen8(const float* p) {
  return _mm512_maskz_cvtps_pd(static_cast<__mmask8>(0xFF), _mm256_loadu_ps(p));
}

// finish's tree from one register of lanes 0-7 (its halves by the
// all-lanes mask form, as in widen8).
__attribute__((target("avx512f"), always_inline)) inline double tree512(__m512d acc) {
  const auto all = static_cast<__mmask8>(0xF);
  return tree(_mm512_maskz_extractf64x4_pd(all, acc, 0), _mm512_maskz_extractf64x4_pd(all, acc, 1));
}

// All eight lanes in one register.
template <std::size_t R>
__attribute__((target("avx512f"))) void rows_avx512(const float* M, std::size_t m, const float* x,
                                                    double* sums) {
  __m512d acc[R];
#pragma GCC unroll 4
  for (std::size_t r = 0; r < R; ++r) acc[r] = _mm512_setzero_pd();
  std::size_t j = 0;
  for (; j + kLanes <= m; j += kLanes) {
    const __m512d xv = widen8(x + j);
#pragma GCC unroll 4
    for (std::size_t r = 0; r < R; ++r)
      acc[r] = _mm512_add_pd(acc[r], _mm512_mul_pd(widen8(M + r * m + j), xv));
  }
#pragma GCC unroll 4  // the sums stay in registers
  for (std::size_t r = 0; r < R; ++r) sums[r] = tail(tree512(acc[r]), M + r * m, j, m, x);
}
#endif

using RowsFn = void (*)(const float*, std::size_t, const float*, double*);

// out = M * X with X's columns given contiguous (xt, k x m); each sum
// narrowed to Out (float for multiply, double for the correction step).
template <RowsFn Rows4, RowsFn Rows1, typename Out>
void product(const float* M, const float* xt, std::size_t n, std::size_t m, std::size_t k, Out* out) {
  double sums[kRows];
  std::size_t i = 0;
  for (; i + kRows <= n; i += kRows)
    for (std::size_t c = 0; c < k; ++c) {
      Rows4(M + i * m, m, xt + c * m, sums);
      for (std::size_t r = 0; r < kRows; ++r) out[(i + r) * k + c] = static_cast<Out>(sums[r]);
    }
  for (; i < n; ++i)
    for (std::size_t c = 0; c < k; ++c) {
      Rows1(M + i * m, m, xt + c * m, sums);
      out[i * k + c] = static_cast<Out>(sums[0]);
    }
}

template <typename Out>
using ProductFn = void (*)(const float*, const float*, std::size_t, std::size_t, std::size_t, Out*);

template <typename Out>
ProductFn<Out> product_on(KernelIsa isa) {
#ifdef ZOR_FEEDBACK_X86_KERNELS
  if (isa == KernelIsa::avx512) return product<rows_avx512<kRows>, rows_avx512<1>, Out>;
  if (isa == KernelIsa::avx2) return product<rows_avx2<kRows>, rows_avx2<1>, Out>;
#endif
  (void)isa;
  return product<rows_portable<kRows>, rows_portable<1>, Out>;
}

KernelChoice choose() {
  KernelChoice c;
  for (const KernelIsa isa : {KernelIsa::avx512, KernelIsa::avx2})
    if (kernel_isa_supported(isa)) {
      c.isa = isa;
      break;
    }
  const char* env = std::getenv("ZOR_FEEDBACK_ISA");
  if (env == nullptr || *env == '\0') return c;
  for (const KernelIsa isa : {KernelIsa::scalar, KernelIsa::avx2, KernelIsa::avx512})
    if (std::strcmp(env, kernel_isa_name(isa)) == 0) {
      if (kernel_isa_supported(isa)) {
        c.isa = isa;
        return c;
      }
      c.note = std::string("ZOR_FEEDBACK_ISA=") + env + ": not supported by this CPU";
      return c;
    }
  c.note = std::string("ZOR_FEEDBACK_ISA=") + env + ": not one of scalar, avx2, avx512";
  return c;
}

}  // namespace

const char* kernel_isa_name(KernelIsa isa) {
  return isa == KernelIsa::avx512 ? "avx512" : isa == KernelIsa::avx2 ? "avx2" : "scalar";
}

bool kernel_isa_supported(KernelIsa isa) {
  if (isa == KernelIsa::scalar) return true;
#ifdef ZOR_FEEDBACK_X86_KERNELS
  __builtin_cpu_init();
  return isa == KernelIsa::avx512 ? __builtin_cpu_supports("avx512f") != 0
                                  : __builtin_cpu_supports("avx2") != 0;
#else
  return false;
#endif
}

// Chosen once: the environment and the CPU do not change under a process.
const KernelChoice& kernel_choice() {
  static const KernelChoice choice = choose();
  return choice;
}

std::string kernel_summary() {
  const KernelChoice& c = kernel_choice();
  return std::string(kernel_isa_name(c.isa)) + (c.note.empty() ? "" : " (" + c.note + ")");
}

void fused_rows_on(KernelIsa isa, const float* M, const float* xt, std::size_t first, std::size_t last,
                   std::size_t m, std::size_t k, float* out) {
  if (first < last) product_on<float>(isa)(M + first * m, xt, last - first, m, k, out + first * k);
}

std::vector<float> columns_of(const float* X, std::size_t m, std::size_t k) {
  std::vector<float> xt(m * k);
  for (std::size_t j = 0; j < m; ++j)
    for (std::size_t c = 0; c < k; ++c) xt[c * m + j] = X[j * k + c];
  return xt;
}

void fused_product_on(KernelIsa isa, const float* M, const float* X, std::size_t n, std::size_t m,
                      std::size_t k, float* out) {
  if (k == 1) {  // the orbit: its column is contiguous already
    fused_rows_on(isa, M, X, 0, n, m, 1, out);
    return;
  }
  const std::vector<float> xt = columns_of(X, m, k);
  fused_rows_on(isa, M, xt.data(), 0, n, m, k, out);
}

void fused_product(const float* M, const float* X, std::size_t n, std::size_t m, std::size_t k, float* out) {
  fused_product_on(kernel_choice().isa, M, X, n, m, k, out);
}

void fused_gemv_on(KernelIsa isa, const float* M, const float* x, std::size_t n, std::size_t m, double* out) {
  product_on<double>(isa)(M, x, n, m, 1, out);
}

void fused_gemv(const float* M, const float* x, std::size_t n, std::size_t m, double* out) {
  fused_gemv_on(kernel_choice().isa, M, x, n, m, out);
}

}  // namespace detail
}  // namespace zor_feedback
