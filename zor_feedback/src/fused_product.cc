// The product of multiply, read straight from float storage: the matrix is
// read once, as floats, and widened in registers, so that a feedback cycle
// moves half the bytes a product on double copies moves.
//
// Every row's sum runs in eight lanes: lane l adds up the products of the
// columns j with j % 8 == l, in column order; then the lanes are added in a
// fixed tree and the last m % 8 columns in order. The versions for AVX-512,
// AVX2 and any other machine differ only in how many lanes one register
// holds and in how many rows share a pass over the columns, neither of which
// changes a row's sum, so they give the same bits. The product of two floats
// is exact in double, so the fused multiply-add of the AVX-512 and AVX2
// (with FMA) versions rounds once where the portable one multiplies exactly
// and adds: the same bits (the library is built without contraction, so the
// portable version keeps the two operations).
//
// The widening and the multiply and add, not the reads, bound the product
// while the inverse is in L2: the passes keep enough rows in flight to cover
// the add's latency, and load the orbit once per pass, already widened.
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
// The orbit is widened to double once per call, on the stack, up to this many
// columns (16 KiB); a longer one, or several orbits, is widened in registers
// for each block of rows. Widening is exact, so both give the same bits.
constexpr std::size_t kWideColumns = 2048;

// x as a double, from either form of the orbit.
inline double wide(float v) { return static_cast<double>(v); }
inline double wide(double v) { return v; }

// The columns from j on, added to s in order.
template <typename X>
inline double tail(double s, const float* row, std::size_t j, std::size_t m, const X* x) {
  for (; j < m; ++j) s += static_cast<double>(row[j]) * wide(x[j]);
  return s;
}

// The fixed tree over the lanes, then the columns from j on.
template <typename X>
double finish(const double* lane, const float* row, std::size_t j, std::size_t m, const X* x) {
  return tail(((lane[0] + lane[4]) + (lane[2] + lane[6])) + ((lane[1] + lane[5]) + (lane[3] + lane[7])), row,
              j, m, x);
}

// sums[r] = row r of M (R rows from M, m floats each) times x (m values,
// floats or the same widened). Portable: the lanes as a plain array.
template <std::size_t R, typename X>
void rows_portable(const float* M, std::size_t m, const X* x, double* sums) {
  double acc[R][kLanes] = {};
  std::size_t j = 0;
  for (; j + kLanes <= m; j += kLanes)
    for (std::size_t r = 0; r < R; ++r)
      for (std::size_t l = 0; l < kLanes; ++l)
        acc[r][l] += static_cast<double>(M[r * m + j + l]) * wide(x[j + l]);
  for (std::size_t r = 0; r < R; ++r) sums[r] = finish(acc[r], M + r * m, j, m, x);
}

#ifdef ZOR_FEEDBACK_X86_KERNELS
// Four values of x from j on, as doubles.
__attribute__((target("avx2"), always_inline)) inline __m256d x4(const float* x) {
  return _mm256_cvtps_pd(_mm_loadu_ps(x));
}
__attribute__((target("avx2"), always_inline)) inline __m256d x4(const double* x) {
  return _mm256_loadu_pd(x);
}

// finish's tree in registers, from lanes 0-3 and 4-7: (l0+l4, l1+l5, l2+l6,
// l3+l7), then ((l0+l4)+(l2+l6), (l1+l5)+(l3+l7)), then their sum. A short
// row's cost is mostly this: no store and reload of the lanes.
__attribute__((target("avx2"), always_inline)) inline double tree(__m256d lo, __m256d hi) {
  const __m256d a = _mm256_add_pd(lo, hi);
  const __m128d b = _mm_add_pd(_mm256_castpd256_pd128(a), _mm256_extractf128_pd(a, 1));
  return _mm_cvtsd_f64(_mm_add_sd(b, _mm_unpackhi_pd(b, b)));
}

// Lanes 0-3 and 4-7 in two registers per row; the body of the AVX2 version
// and of the AVX-512 version on 256-bit registers, which differ in how many
// registers they have (16 and 32).
template <std::size_t R, typename X>
__attribute__((target("avx2,fma"), always_inline)) inline void rows_ymm(const float* M, std::size_t m,
                                                                        const X* x, double* sums) {
  __m256d lo[R], hi[R];
#pragma GCC unroll 12
  for (std::size_t r = 0; r < R; ++r) lo[r] = hi[r] = _mm256_setzero_pd();
  std::size_t j = 0;
  for (; j + kLanes <= m; j += kLanes) {
    const __m256d x_lo = x4(x + j), x_hi = x4(x + j + 4);
#pragma GCC unroll 12
    for (std::size_t r = 0; r < R; ++r) {
      const float* p = M + r * m + j;
      lo[r] = _mm256_fmadd_pd(_mm256_cvtps_pd(_mm_loadu_ps(p)), x_lo, lo[r]);
      hi[r] = _mm256_fmadd_pd(_mm256_cvtps_pd(_mm_loadu_ps(p + 4)), x_hi, hi[r]);
    }
  }
#pragma GCC unroll 12  // the sums stay in registers
  for (std::size_t r = 0; r < R; ++r) sums[r] = tail(tree(lo[r], hi[r]), M + r * m, j, m, x);
}

template <std::size_t R, typename X>
__attribute__((target("avx2,fma"))) void rows_avx2(const float* M, std::size_t m, const X* x, double* sums) {
  rows_ymm<R>(M, m, x, sums);
}

template <std::size_t R, typename X>
__attribute__((target("avx2,fma,avx512f,avx512vl"))) void rows_avx512_256(const float* M, std::size_t m,
                                                                          const X* x, double* sums) {
  rows_ymm<R>(M, m, x, sums);
}

// Eight floats widened. The all-lanes mask form: GCC 12 warns of the plain
// form's undefined pass-through register.
__attribute__((target("avx512f"), always_inline)) inline __m512d x8(const float* p) {
  return _mm512_maskz_cvtps_pd(static_cast<__mmask8>(0xFF), _mm256_loadu_ps(p));
}
__attribute__((target("avx512f"), always_inline)) inline __m512d x8(const double* p) {
  return _mm512_loadu_pd(p);
}

// finish's tree from one register of lanes 0-7 (its halves by the
// all-lanes mask form, as in x8).
__attribute__((target("avx512f"), always_inline)) inline double tree512(__m512d acc) {
  const auto all = static_cast<__mmask8>(0xF);
  return tree(_mm512_maskz_extractf64x4_pd(all, acc, 0), _mm512_maskz_extractf64x4_pd(all, acc, 1));
}

// All eight lanes in one register per row.
template <std::size_t R, typename X>
__attribute__((target("avx512f"))) void rows_avx512(const float* M, std::size_t m, const X* x, double* sums) {
  __m512d acc[R];
#pragma GCC unroll 8
  for (std::size_t r = 0; r < R; ++r) acc[r] = _mm512_setzero_pd();
  std::size_t j = 0;
  for (; j + kLanes <= m; j += kLanes) {
    const __m512d xv = x8(x + j);
#pragma GCC unroll 8
    for (std::size_t r = 0; r < R; ++r) acc[r] = _mm512_fmadd_pd(x8(M + r * m + j), xv, acc[r]);
  }
#pragma GCC unroll 8  // the sums stay in registers
  for (std::size_t r = 0; r < R; ++r) sums[r] = tail(tree512(acc[r]), M + r * m, j, m, x);
}

// R rows times K orbits (xt: K columns of m floats, one after the other),
// sums[r * K + c]: each block of the inverse widened once for the K orbits,
// each block of an orbit once for the R rows. Each sum runs in the lanes and
// order of rows_avx512.
template <std::size_t R, std::size_t K>
__attribute__((target("avx512f"))) void orbits_avx512(const float* M, std::size_t m, const float* xt,
                                                      double* sums) {
  __m512d acc[R][K];
#pragma GCC unroll 4
  for (std::size_t r = 0; r < R; ++r)
#pragma GCC unroll 4
    for (std::size_t c = 0; c < K; ++c) acc[r][c] = _mm512_setzero_pd();
  std::size_t j = 0;
  for (; j + kLanes <= m; j += kLanes) {
    __m512d row[R];
#pragma GCC unroll 4
    for (std::size_t r = 0; r < R; ++r) row[r] = x8(M + r * m + j);
#pragma GCC unroll 4
    for (std::size_t c = 0; c < K; ++c) {
      const __m512d xv = x8(xt + c * m + j);
#pragma GCC unroll 4
      for (std::size_t r = 0; r < R; ++r) acc[r][c] = _mm512_fmadd_pd(row[r], xv, acc[r][c]);
    }
  }
  for (std::size_t r = 0; r < R; ++r)
    for (std::size_t c = 0; c < K; ++c) {
      double lane[kLanes];
      _mm512_storeu_pd(lane, acc[r][c]);
      sums[r * K + c] = finish(lane, M + r * m, j, m, xt + c * m);
    }
}
#endif

// The versions: kWide rows per pass, as many as the registers hold with
// room for the loads (one zmm per row on AVX-512, two ymm on AVX2).
struct Portable {
  static constexpr std::size_t kWide = 4;
  static constexpr std::size_t kOrbits = 0;  // no pass over several orbits
  template <std::size_t R, typename X>
  static void rows(const float* M, std::size_t m, const X* x, double* sums) {
    rows_portable<R>(M, m, x, sums);
  }
};
#ifdef ZOR_FEEDBACK_X86_KERNELS
struct Avx2 {
  static constexpr std::size_t kWide = 6;
  static constexpr std::size_t kOrbits = 0;  // too few registers to gain by it
  template <std::size_t R, typename X>
  static void rows(const float* M, std::size_t m, const X* x, double* sums) {
    rows_avx2<R>(M, m, x, sums);
  }
};
struct Avx512 {
  static constexpr std::size_t kWide = 8;
  template <std::size_t R, typename X>
  static void rows(const float* M, std::size_t m, const X* x, double* sums) {
    rows_avx512<R>(M, m, x, sums);
  }
  // Several orbits: kOrbits of them times kOrbitRows rows per pass.
  static constexpr std::size_t kOrbits = 4, kOrbitRows = 4;
  static void orbits(const float* M, std::size_t m, const float* xt, double* sums) {
    orbits_avx512<kOrbitRows, kOrbits>(M, m, xt, sums);
  }
};
// AVX-512's 32 registers at 256 bits, for CPUs that run a 512-bit operation
// as two halves (AMD's family 19h): their 512-bit widening costs more than
// two 256-bit ones, and 32 registers hold twelve rows. Several orbits still
// go on 512 bits: widening a block once for four orbits gains more there.
struct Avx512Halves {
  static constexpr std::size_t kWide = 12;
  template <std::size_t R, typename X>
  static void rows(const float* M, std::size_t m, const X* x, double* sums) {
    rows_avx512_256<R>(M, m, x, sums);
  }
  static constexpr std::size_t kOrbits = Avx512::kOrbits, kOrbitRows = Avx512::kOrbitRows;
  static void orbits(const float* M, std::size_t m, const float* xt, double* sums) {
    Avx512::orbits(M, m, xt, sums);
  }
};
#endif

// Rows [i, i + R) of out = M * X, with X's columns given contiguous (xt,
// k x m); each sum narrowed to Out (float for multiply, double for the
// correction step). The R rows stay in L1 while the k columns pass.
template <typename Isa, std::size_t R, typename X, typename Out>
void pass(const float* M, std::size_t i, std::size_t m, std::size_t k, const X* xt, Out* out) {
  double sums[R];
  for (std::size_t c = 0; c < k; ++c) {
    Isa::template rows<R>(M + i * m, m, xt + c * m, sums);
    for (std::size_t r = 0; r < R; ++r) out[(i + r) * k + c] = static_cast<Out>(sums[r]);
  }
}

// All n rows: kWide at a time, then 4 at a time, 2 and 1. A row's sum does not depend
// on how many rows share its pass, so any split of the rows gives its bits.
template <typename Isa, typename X, typename Out>
void product(const float* M, const X* xt, std::size_t n, std::size_t m, std::size_t k, Out* out) {
  std::size_t i = 0;
  for (; i + Isa::kWide <= n; i += Isa::kWide) pass<Isa, Isa::kWide>(M, i, m, k, xt, out);
  for (; n - i >= 4; i += 4) pass<Isa, 4>(M, i, m, k, xt, out);
  if (n - i >= 2) pass<Isa, 2>(M, i, m, k, xt, out), i += 2;
  if (n - i >= 1) pass<Isa, 1>(M, i, m, k, xt, out);
}

// Several orbits on a version with a pass over them: kOrbitRows rows at a
// time, kOrbits orbits at a time, the orbits left over one by one; the rows
// left over by product. Every sum is the one product gives it.
template <typename Isa, typename Out>
void orbits_product(const float* M, const float* xt, std::size_t n, std::size_t m, std::size_t k, Out* out) {
  constexpr std::size_t R = Isa::kOrbitRows, K = Isa::kOrbits;
  std::size_t i = 0;
  for (; i + R <= n; i += R) {
    std::size_t c = 0;
    for (; c + K <= k; c += K) {
      double sums[R * K];
      Isa::orbits(M + i * m, m, xt + c * m, sums);
      for (std::size_t r = 0; r < R; ++r)
        for (std::size_t q = 0; q < K; ++q) out[(i + r) * k + c + q] = static_cast<Out>(sums[r * K + q]);
    }
    for (; c < k; ++c) {
      double sums[R];
      Isa::template rows<R>(M + i * m, m, xt + c * m, sums);
      for (std::size_t r = 0; r < R; ++r) out[(i + r) * k + c] = static_cast<Out>(sums[r]);
    }
  }
  product<Isa>(M + i * m, xt, n - i, m, k, out + i * k);
}

// The product with one orbit widened once on the stack when it fits: the
// passes then load its doubles instead of widening it again for each.
template <typename Isa, typename Out>
void widened_product(const float* M, const float* xt, std::size_t n, std::size_t m, std::size_t k, Out* out) {
  if constexpr (Isa::kOrbits > 0)
    if (k >= Isa::kOrbits) {
      orbits_product<Isa>(M, xt, n, m, k, out);
      return;
    }
  if (k != 1 || m > kWideColumns) {
    product<Isa>(M, xt, n, m, k, out);
    return;
  }
  alignas(64) double x[kWideColumns];
  for (std::size_t j = 0; j < m; ++j) x[j] = xt[j];
  product<Isa>(M, static_cast<const double*>(x), n, m, 1, out);
}

template <typename Out>
using ProductFn = void (*)(const float*, const float*, std::size_t, std::size_t, std::size_t, Out*);

template <typename Out>
ProductFn<Out> product_on(KernelIsa isa) {
#ifdef ZOR_FEEDBACK_X86_KERNELS
  if (isa == KernelIsa::avx512) return widened_product<Avx512, Out>;
  if (isa == KernelIsa::avx512_256) return widened_product<Avx512Halves, Out>;
  if (isa == KernelIsa::avx2) return widened_product<Avx2, Out>;
#endif
  (void)isa;
  return widened_product<Portable, Out>;
}

// AMD's family 19h (Zen 4) runs 512-bit operations as two 256-bit halves.
bool splits_512_bit_operations() {
#ifdef ZOR_FEEDBACK_X86_KERNELS
  __builtin_cpu_init();
  return __builtin_cpu_is("amdfam19h") != 0;
#else
  return false;
#endif
}

KernelChoice choose() {
  KernelChoice c;
  for (const KernelIsa isa : {KernelIsa::avx512, KernelIsa::avx2})
    if (kernel_isa_supported(isa)) {
      c.isa = isa;
      break;
    }
  if (c.isa == KernelIsa::avx512 && splits_512_bit_operations()) c.isa = KernelIsa::avx512_256;
  const char* env = std::getenv("ZOR_FEEDBACK_ISA");
  if (env == nullptr || *env == '\0') return c;
  for (const KernelIsa isa : kKernelIsas)
    if (std::strcmp(env, kernel_isa_name(isa)) == 0) {
      if (kernel_isa_supported(isa)) {
        c.isa = isa;
        return c;
      }
      c.note = std::string("ZOR_FEEDBACK_ISA=") + env + ": not supported by this CPU";
      return c;
    }
  c.note = std::string("ZOR_FEEDBACK_ISA=") + env + ": not one of scalar, avx2, avx512, avx512-256";
  return c;
}

}  // namespace

const char* kernel_isa_name(KernelIsa isa) {
  switch (isa) {
    case KernelIsa::avx512:
      return "avx512";
    case KernelIsa::avx512_256:
      return "avx512-256";
    case KernelIsa::avx2:
      return "avx2";
    case KernelIsa::scalar:
      break;
  }
  return "scalar";
}

bool kernel_isa_supported(KernelIsa isa) {
  if (isa == KernelIsa::scalar) return true;
#ifdef ZOR_FEEDBACK_X86_KERNELS
  __builtin_cpu_init();
  const bool avx2 = __builtin_cpu_supports("avx2") != 0 && __builtin_cpu_supports("fma") != 0;
  if (isa == KernelIsa::avx512) return __builtin_cpu_supports("avx512f") != 0;
  if (isa == KernelIsa::avx512_256) return avx2 && __builtin_cpu_supports("avx512vl") != 0;
  return avx2;
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
