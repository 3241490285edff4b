// The library's operations side by side with what a user would call instead,
// on response matrices of the ring model (sim/ring_model.h) in the shapes
// of real machines, monitors x actuators.
//
//  * invert        vs gsl_linalg_SV_decomp of the same matrix (the part of
//                  the work no implementation of the algorithm can skip) and
//                  vs Armadillo's pinv (LAPACK's divide-and-conquer SVD)
//  * invert_lapack invert with the LAPACK engine, vs the economy
//                  divide-and-conquer SVD with singular vectors (dgesdd
//                  through arma::svd_econ) of the same matrix
//  * pinv          vs arma::pinv of the same data
//  * multiply      one feedback cycle, inverse (n x m) times orbit (m x 1),
//                  vs cblas_dgemv on prepared doubles (apart, and in turns in
//                  one loop); beside it the gemm call that multiply makes,
//                  alone and after a plain widening loop
//  * the cycle     at 320 x 288, 640 x 576 and 1850 x 712: multiply beside
//                  its accessor path, sgemv, and reading the inverse's bytes
//                  once (the floor); with k = 8 orbits beside dgemm
//  * multiply over threads  1580 x 1120 and smaller inverses, on 1 and 2 of
//                  the caller's threads (ProductThreads), the same bits
//  * transpose, entrywise_product   vs plain loops over float arrays
//  * load_file     MB/s on a 1850 x 712 file vs the std::getline +
//                  std::istringstream loop whose meaning it has to match
//  * D_ringbuf::store
//
// Baselines are named "raw_..." and take the same arguments as the operation
// they stand beside, so that bench/report.py can pair them. The file that the
// load_file benchmarks read is $ZOR_FEEDBACK_BENCH_RING_FILE (a 1850 x 712 ring file,
// e.g. from `zf_bench_tool write 1850 712 FILE`), or one written to the
// temporary directory at start-up.
#include <benchmark/benchmark.h>
#include <gsl/gsl_blas.h>
#include <gsl/gsl_cblas.h>
#include <gsl/gsl_linalg.h>
#include <gsl/gsl_matrix.h>
#include <gsl/gsl_vector.h>
#include <unistd.h>

#include <sys/stat.h>
#include <armadillo>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <streambuf>
#include <string>
#include <utility>
#include <vector>

#include "ring_model.h"
#include "zor_feedback/arma.h"
#include "zor_feedback/blas_info.h"
#include "zor_feedback/product_threads.h"

namespace {

using RingMatrix = zor_feedback::sim::Matrix;

// --- Data --------------------------------------------------------------------

// Offset of (i, j) in a row-major matrix of `cols` columns.
std::size_t offset(int i, int j, int cols) {
  return static_cast<std::size_t>(i) * static_cast<std::size_t>(cols) + static_cast<std::size_t>(j);
}

const RingMatrix& ring(int m, int n) {
  static std::map<std::pair<int, int>, RingMatrix> cache;
  auto it = cache.find({m, n});
  if (it == cache.end())
    it = cache.emplace(std::make_pair(m, n), zor_feedback::sim::ring_response(m, n)).first;
  return it->second;
}

// The model's elements as the property stores them (floats).
std::vector<float> ring_floats(int m, int n) {
  const RingMatrix& R = ring(m, n);
  std::vector<float> f(R.values.size());
  for (std::size_t k = 0; k < f.size(); ++k) f[k] = static_cast<float>(R.values[k]);
  return f;
}

void fill(QTEV_ResponseMatrix& M, const std::vector<float>& f) {
  for (int i = 0; i < M.rows; ++i)
    for (int j = 0; j < M.cols; ++j) M.set_value(f[offset(i, j, M.cols)], i, j, -1, -1, -1, -1);
}

// The m x n row-major floats f widened to double.
arma::mat arma_copy(const std::vector<float>& f, int m, int n) {
  arma::mat A(static_cast<arma::uword>(m), static_cast<arma::uword>(n));
  for (arma::uword i = 0; i < A.n_rows; ++i)
    for (arma::uword j = 0; j < A.n_cols; ++j) A(i, j) = f[i * A.n_cols + j];
  return A;
}

// The pseudo-inverse of the m x n ring matrix (n x m, row-major floats): what a
// feedback cycle multiplies the orbit with.
const std::vector<float>& ring_inverse(int m, int n) {
  static std::map<std::pair<int, int>, std::vector<float>> cache;
  auto it = cache.find({m, n});
  if (it == cache.end()) {
    const std::vector<float> f = ring_floats(m, n);
    const arma::mat B = arma::pinv(arma_copy(f, m, n));
    std::vector<float> inv(B.n_elem);
    for (arma::uword i = 0; i < B.n_rows; ++i)
      for (arma::uword j = 0; j < B.n_cols; ++j) inv[i * B.n_cols + j] = static_cast<float>(B(i, j));
    it = cache.emplace(std::make_pair(m, n), std::move(inv)).first;
  }
  return it->second;
}

// An orbit of m monitors: the response to a kick of the first corrector plus
// a small ripple, in mm.
std::vector<float> orbit(int m, int n) {
  const RingMatrix& R = ring(m, n);
  std::vector<float> x(static_cast<std::size_t>(m));
  for (int i = 0; i < m; ++i)
    x[static_cast<std::size_t>(i)] = static_cast<float>(0.3 * R(i, 0) + 0.01 * ((i * 7) % 11 - 5));
  return x;
}

struct GslMatrixFree {
  void operator()(gsl_matrix* m) const { gsl_matrix_free(m); }
};
struct GslVectorFree {
  void operator()(gsl_vector* v) const { gsl_vector_free(v); }
};
using GslMatrixPtr = std::unique_ptr<gsl_matrix, GslMatrixFree>;
using GslVectorPtr = std::unique_ptr<gsl_vector, GslVectorFree>;

// invert writes "INFO: Matrix dim change back to: ..." to standard output for
// every tall matrix; that output goes nowhere while a benchmark runs (the
// writes are still made), and the console report stays readable.
class DiscardStdout {
 public:
  DiscardStdout() : old_(std::cout.rdbuf(&null_)) {}
  ~DiscardStdout() { std::cout.rdbuf(old_); }
  DiscardStdout(const DiscardStdout&) = delete;
  DiscardStdout& operator=(const DiscardStdout&) = delete;

 private:
  struct NullBuf : std::streambuf {
    int overflow(int c) override { return c; }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
  } null_;
  std::streambuf* old_;
};

int arg_m(const benchmark::State& s) { return static_cast<int>(s.range(0)); }
int arg_n(const benchmark::State& s) { return static_cast<int>(s.range(1)); }

// --- Inversions ----------------------------------------------------------------

void BM_invert(benchmark::State& state) {
  const int m = arg_m(state), n = arg_n(state);
  QTEV_ResponseMatrix R("R", m, n, nullptr);
  QTEV_ResponseMatrix pinvR("pinvR", n, m, nullptr);
  D_spectrum sv("SV", std::min(m, n), nullptr);
  fill(R, ring_floats(m, n));
  DiscardStdout quiet;
  int nosv = 0;
  float tol = -1.0f;
  for (auto _ : state) {
    tol = -1.0f;  // the internal tolerance, as zorfb asks for it
    R.invert(pinvR, sv, &tol, &nosv);
    benchmark::ClobberMemory();
  }
  state.counters["nosv"] = nosv;
}

// The decomposition alone, of the matrix that invert decomposes: a double
// copy of the same float elements, transposed unless the matrix has more rows
// than columns (GSL decomposes M x N matrices with M >= N, and invert works on
// the transpose of its wide or square working matrix). The copy that the
// decomposition overwrites is restored outside the timed region.
void BM_raw_gsl_SV_decomp(benchmark::State& state) {
  const int m = arg_m(state), n = arg_n(state);
  const std::vector<float> f = ring_floats(m, n);
  const bool as_is = m > n;
  const std::size_t M = static_cast<std::size_t>(as_is ? m : n), N = static_cast<std::size_t>(as_is ? n : m);
  GslMatrixPtr src(gsl_matrix_alloc(M, N)), A(gsl_matrix_alloc(M, N)), V(gsl_matrix_alloc(N, N));
  GslVectorPtr S(gsl_vector_alloc(N)), work(gsl_vector_alloc(N));
  for (std::size_t i = 0; i < M; ++i)
    for (std::size_t j = 0; j < N; ++j) gsl_matrix_set(src.get(), i, j, as_is ? f[i * N + j] : f[j * M + i]);
  for (auto _ : state) {
    state.PauseTiming();
    gsl_matrix_memcpy(A.get(), src.get());
    state.ResumeTiming();
    gsl_linalg_SV_decomp(A.get(), V.get(), S.get(), work.get());
    benchmark::ClobberMemory();
  }
}

// invert with LAPACK's divide-and-conquer engine.
void BM_invert_lapack(benchmark::State& state) {
  const int m = arg_m(state), n = arg_n(state);
  QTEV_ResponseMatrix R("R", m, n, nullptr);
  QTEV_ResponseMatrix pinvR("pinvR", n, m, nullptr);
  D_spectrum sv("SV", std::min(m, n), nullptr);
  fill(R, ring_floats(m, n));
  R.set_svd_method(zor_feedback::SvdMethod::lapack);
  DiscardStdout quiet;
  zor_feedback::SvdReport r;
  for (auto _ : state) {
    r = R.invert_report(pinvR, sv, -1.0f);
    benchmark::ClobberMemory();
  }
  state.counters["used"] = r.used;
}

arma::mat arma_copy(int m, int n) { return arma_copy(ring_floats(m, n), m, n); }

// The economy SVD with both sets of singular vectors by dgesdd, what numpy's
// pinv and Armadillo's call: the decomposition alone, of the same matrix.
void BM_raw_dgesdd_econ(benchmark::State& state) {
  const arma::mat A = arma_copy(arg_m(state), arg_n(state));
  arma::mat U, V;
  arma::vec s;
  for (auto _ : state) {
    if (!arma::svd_econ(U, s, V, A, "both", "dc")) state.SkipWithError("dgesdd failed");
    benchmark::DoNotOptimize(U.memptr());
    benchmark::ClobberMemory();
  }
}

void BM_raw_arma_pinv(benchmark::State& state) {
  const arma::mat A = arma_copy(arg_m(state), arg_n(state));
  for (auto _ : state) {
    arma::mat B = arma::pinv(A);
    benchmark::DoNotOptimize(B.memptr());
    benchmark::ClobberMemory();
  }
}

void BM_pinv(benchmark::State& state) {
  const int m = arg_m(state), n = arg_n(state);
  QTEV_ResponseMatrix R("R", m, n, nullptr);
  QTEV_ResponseMatrix pinvR("pinvR", n, m, nullptr);
  fill(R, ring_floats(m, n));
  float tolerance = 1e-6f;  // below every element of the model: nothing is cleared
  for (auto _ : state) {
    R.pinv(pinvR, &tolerance);
    benchmark::ClobberMemory();
  }
}

// --- One feedback cycle: corrections = inverse (n x m) * orbit (m x 1) ---------

void BM_multiply_cycle(benchmark::State& state) {
  const int m = arg_m(state), n = arg_n(state);
  QTEV_ResponseMatrix inv("pinvR", n, m, nullptr);
  QTEV_ResponseMatrix x("orbit", m, 1, nullptr);
  QTEV_ResponseMatrix y("kicks", n, 1, nullptr);
  fill(inv, ring_inverse(m, n));
  fill(x, orbit(m, n));
  for (auto _ : state) {
    inv.multiply(x, y);
    benchmark::ClobberMemory();
  }
}

void BM_raw_cblas_dgemv_cycle(benchmark::State& state) {
  const int m = arg_m(state), n = arg_n(state);
  const std::vector<float>& invf = ring_inverse(m, n);
  const std::vector<float> xf = orbit(m, n);
  const std::vector<double> inv(invf.begin(), invf.end()), x(xf.begin(), xf.end());
  std::vector<double> y(static_cast<std::size_t>(n));
  for (auto _ : state) {
    cblas_dgemv(CblasRowMajor, CblasNoTrans, n, m, 1.0, inv.data(), m, x.data(), 1, 0.0, y.data(), 1);
    benchmark::ClobberMemory();
  }
}

// multiply and dgemv (on a double copy made beforehand) in turns within one
// loop, timed by the CPU time of this thread in batches, so that both see the
// same machine load and the same state of the caches' neighbours: `ratio` is
// multiply's time over dgemv's (the target is at most 0.7 at every cycle
// shape, on every kernel version; ZOR_FEEDBACK_ISA chooses one). The label
// names the kernel version.
double thread_seconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

void BM_multiply_vs_dgemv_cycle(benchmark::State& state) {
  const int m = arg_m(state), n = arg_n(state);
  QTEV_ResponseMatrix inv("pinvR", n, m, nullptr), x("orbit", m, 1, nullptr), y("kicks", n, 1, nullptr);
  const std::vector<float>& invf = ring_inverse(m, n);
  const std::vector<float> xf = orbit(m, n);
  fill(inv, invf);
  fill(x, xf);
  const std::vector<double> invd(invf.begin(), invf.end()), xd(xf.begin(), xf.end());
  std::vector<double> yd(static_cast<std::size_t>(n));
  constexpr int kBatch = 16;  // calls per reading of the clock
  double fused = 0.0, blas = 0.0;
  for (auto _ : state) {
    const double t0 = thread_seconds();
    for (int r = 0; r < kBatch; ++r) inv.multiply(x, y);
    const double t1 = thread_seconds();
    for (int r = 0; r < kBatch; ++r)
      cblas_dgemv(CblasRowMajor, CblasNoTrans, n, m, 1.0, invd.data(), m, xd.data(), 1, 0.0, yd.data(), 1);
    const double t2 = thread_seconds();
    fused += t1 - t0;
    blas += t2 - t1;
    benchmark::ClobberMemory();
  }
  const double calls = static_cast<double>(state.iterations()) * kBatch;
  state.counters["multiply_us"] = 1e6 * fused / calls;
  state.counters["dgemv_us"] = 1e6 * blas / calls;
  state.counters["ratio"] = blas > 0.0 ? fused / blas : 0.0;
  state.SetLabel(zor_feedback::multiply_kernel());
}

// What the product costs once the inverse is in doubles: the gemm call that
// multiply makes (n x 1 result), on prepared doubles.
void BM_raw_cblas_dgemm_cycle(benchmark::State& state) {
  const int m = arg_m(state), n = arg_n(state);
  const std::vector<float>& invf = ring_inverse(m, n);
  const std::vector<float> xf = orbit(m, n);
  const std::vector<double> inv(invf.begin(), invf.end()), x(xf.begin(), xf.end());
  std::vector<double> y(static_cast<std::size_t>(n));
  for (auto _ : state) {
    cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, n, 1, m, 1.0, inv.data(), m, x.data(), 1, 0.0,
                y.data(), 1);
    benchmark::ClobberMemory();
  }
}

// The least that converting the float inverse to doubles and that gemm call
// can cost: a plain widening loop over the float array into a buffer kept
// between calls, then the gemm.
void BM_raw_widen_dgemm_cycle(benchmark::State& state) {
  const int m = arg_m(state), n = arg_n(state);
  const std::vector<float>& invf = ring_inverse(m, n);
  const std::vector<float> xf = orbit(m, n);
  std::vector<double> inv(invf.size()), x(xf.size()), y(static_cast<std::size_t>(n));
  for (auto _ : state) {
    for (std::size_t k = 0; k < invf.size(); ++k) inv[k] = invf[k];
    for (std::size_t k = 0; k < xf.size(); ++k) x[k] = xf[k];
    cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, n, 1, m, 1.0, inv.data(), m, x.data(), 1, 0.0,
                y.data(), 1);
    benchmark::ClobberMemory();
  }
}

// --- The cycle at 10 kHz: the same product beside what bounds it ---------------------

// multiply through the accessors: a subclass (which might override them) takes
// the path on GSL double copies and dgemm.
class AccessorMatrix : public QTEV_ResponseMatrix {
 public:
  using QTEV_ResponseMatrix::QTEV_ResponseMatrix;
};

void BM_multiply_cycle_accessor_path(benchmark::State& state) {
  const int m = arg_m(state), n = arg_n(state);
  AccessorMatrix inv("pinvR", n, m, nullptr);
  QTEV_ResponseMatrix x("orbit", m, 1, nullptr);
  QTEV_ResponseMatrix y("kicks", n, 1, nullptr);
  fill(inv, ring_inverse(m, n));
  fill(x, orbit(m, n));
  for (auto _ : state) {
    inv.multiply(x, y);
    benchmark::ClobberMemory();
  }
}

// Single precision throughout: fewer bytes, but not the library's contract
// (sums in float).
void BM_raw_cblas_sgemv_cycle(benchmark::State& state) {
  const int m = arg_m(state), n = arg_n(state);
  const std::vector<float>& inv = ring_inverse(m, n);
  const std::vector<float> x = orbit(m, n);
  std::vector<float> y(static_cast<std::size_t>(n));
  for (auto _ : state) {
    cblas_sgemv(CblasRowMajor, CblasNoTrans, n, m, 1.0f, inv.data(), m, x.data(), 1, 0.0f, y.data(), 1);
    benchmark::ClobberMemory();
  }
}

// The floor: reading the inverse's bytes once, from the cache level it lives
// in between cycles. Integer sums in 32 independent lanes, which the compiler
// vectorises freely, cloned for the widest registers the machine has.
__attribute__((target_clones("default", "avx2", "avx512f"))) std::uint32_t read_all(const std::uint32_t* p,
                                                                                    std::size_t n) {
  std::uint32_t acc[32] = {};  // wraps: only the reads count
  std::size_t k = 0;
  for (; k + 32 <= n; k += 32)
    for (std::size_t l = 0; l < 32; ++l) acc[l] += p[k + l];
  std::uint32_t sum = 0;
  for (const std::uint32_t a : acc) sum += a;
  for (; k < n; ++k) sum += p[k];
  return sum;
}

void BM_raw_read_cycle(benchmark::State& state) {
  const int m = arg_m(state), n = arg_n(state);
  const std::vector<float>& inv = ring_inverse(m, n);
  std::vector<std::uint32_t> bits(inv.size());
  std::memcpy(bits.data(), inv.data(), inv.size() * sizeof(float));
  for (auto _ : state) {
    benchmark::DoNotOptimize(read_all(bits.data(), bits.size()));
  }
  state.counters["GBps"] = benchmark::Counter(static_cast<double>(inv.size() * sizeof(float)) / 1e9,
                                              benchmark::Counter::kIsIterationInvariantRate);
}

// A few orbits at once (k = 8): the library's product, dgemm on pre-widened
// doubles, and dgemm after widening the inverse (what a dgemm path pays).
constexpr int kOrbits = 8;

std::vector<float> orbits(int m, int n) {
  const std::vector<float> x = orbit(m, n);
  std::vector<float> X(x.size() * kOrbits);
  for (std::size_t j = 0; j < x.size(); ++j)
    for (std::size_t c = 0; c < kOrbits; ++c)
      X[j * kOrbits + c] = x[j] * (1.0f + 0.125f * static_cast<float>(c));
  return X;
}

// One cycle with the rows split over `threads` of the caller's threads; below
// the threshold the product stays on the caller's thread.
void BM_multiply_threads(benchmark::State& state) {
  const int m = arg_m(state), n = arg_n(state);
  QTEV_ResponseMatrix inv("pinvR", n, m, nullptr);
  QTEV_ResponseMatrix x("orbit", m, 1, nullptr);
  QTEV_ResponseMatrix y("kicks", n, 1, nullptr);
  fill(inv, ring_inverse(m, n));
  fill(x, orbit(m, n));
  zor_feedback::ProductThreads threads(static_cast<std::size_t>(state.range(2)));
  for (auto _ : state) {
    inv.multiply(x, y, threads);
    benchmark::ClobberMemory();
  }
}

void BM_multiply_k8(benchmark::State& state) {
  const int m = arg_m(state), n = arg_n(state);
  QTEV_ResponseMatrix inv("pinvR", n, m, nullptr);
  QTEV_ResponseMatrix x("orbits", m, kOrbits, nullptr);
  QTEV_ResponseMatrix y("kicks", n, kOrbits, nullptr);
  fill(inv, ring_inverse(m, n));
  fill(x, orbits(m, n));
  for (auto _ : state) {
    inv.multiply(x, y);
    benchmark::ClobberMemory();
  }
}

void BM_raw_cblas_dgemm_k8(benchmark::State& state) {
  const int m = arg_m(state), n = arg_n(state);
  const std::vector<float>& invf = ring_inverse(m, n);
  const std::vector<float> xf = orbits(m, n);
  const std::vector<double> inv(invf.begin(), invf.end()), x(xf.begin(), xf.end());
  std::vector<double> y(static_cast<std::size_t>(n) * kOrbits);
  for (auto _ : state) {
    cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, n, kOrbits, m, 1.0, inv.data(), m, x.data(),
                kOrbits, 0.0, y.data(), kOrbits);
    benchmark::ClobberMemory();
  }
}

void BM_raw_widen_dgemm_k8(benchmark::State& state) {
  const int m = arg_m(state), n = arg_n(state);
  const std::vector<float>& invf = ring_inverse(m, n);
  const std::vector<float> xf = orbits(m, n);
  std::vector<double> inv(invf.size()), x(xf.size()), y(static_cast<std::size_t>(n) * kOrbits);
  for (auto _ : state) {
    for (std::size_t k = 0; k < invf.size(); ++k) inv[k] = invf[k];
    for (std::size_t k = 0; k < xf.size(); ++k) x[k] = xf[k];
    cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, n, kOrbits, m, 1.0, inv.data(), m, x.data(),
                kOrbits, 0.0, y.data(), kOrbits);
    benchmark::ClobberMemory();
  }
}

// --- Transpose and element-wise product -----------------------------------------

void BM_transpose(benchmark::State& state) {
  const int m = arg_m(state), n = arg_n(state);
  QTEV_ResponseMatrix R("R", m, n, nullptr), RT("RT", n, m, nullptr);
  fill(R, ring_floats(m, n));
  for (auto _ : state) {
    R.transpose(RT);
    benchmark::ClobberMemory();
  }
}

void BM_raw_loop_transpose(benchmark::State& state) {
  const int m = arg_m(state), n = arg_n(state);
  const std::vector<float> r = ring_floats(m, n);
  std::vector<float> t(r.size());
  for (auto _ : state) {
    for (int i = 0; i < m; ++i)
      for (int j = 0; j < n; ++j) t[offset(j, i, m)] = r[offset(i, j, n)];
    benchmark::DoNotOptimize(t.data());
    benchmark::ClobberMemory();
  }
}

void BM_entrywise_product(benchmark::State& state) {
  const int m = arg_m(state), n = arg_n(state);
  QTEV_ResponseMatrix R("R", m, n, nullptr), W("W", m, n, nullptr), B("B", m, n, nullptr);
  const std::vector<float> f = ring_floats(m, n);
  fill(R, f);
  fill(W, f);
  for (auto _ : state) {
    R.entrywise_product(W, B);
    benchmark::ClobberMemory();
  }
}

void BM_raw_loop_entrywise_product(benchmark::State& state) {
  const int m = arg_m(state), n = arg_n(state);
  const std::vector<float> a = ring_floats(m, n), w = a;
  std::vector<float> b(a.size());
  for (auto _ : state) {
    for (std::size_t k = 0; k < a.size(); ++k) b[k] = a[k] * w[k];
    benchmark::DoNotOptimize(b.data());
    benchmark::ClobberMemory();
  }
}

// --- Loading a file ----------------------------------------------------------------

constexpr int kFileRows = 1850;
constexpr int kFileCols = 712;

const std::string& ring_file() {
  static const std::string path = [] {
    if (const char* given = std::getenv("ZOR_FEEDBACK_BENCH_RING_FILE")) return std::string(given);
    const char* tmp = std::getenv("TMPDIR");
    std::string p =
        std::string(tmp != nullptr ? tmp : "/tmp") + "/zf_bench_ring_" + std::to_string(::getpid()) + ".txt";
    zor_feedback::sim::write_ring_file(p, ring(kFileRows, kFileCols));
    std::atexit([] { std::remove(ring_file().c_str()); });
    return p;
  }();
  return path;
}

double file_megabytes(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return 0.0;
  return static_cast<double>(st.st_size) / 1e6;
}

void set_throughput(benchmark::State& state, const std::string& path) {
  state.counters["MB"] =
      benchmark::Counter(file_megabytes(path), benchmark::Counter::kIsIterationInvariantRate);
}

void BM_load_file(benchmark::State& state) {
  const std::string& path = ring_file();
  QTEV_ResponseMatrix R("R", kFileRows, kFileCols, nullptr);
  bool ok = true;
  for (auto _ : state) {
    ok = R.load_file(path.c_str()) && ok;
    benchmark::ClobberMemory();
  }
  if (!ok) state.SkipWithError("load_file refused the file");
  set_throughput(state, path);
}

// The loader as described step by step: two passes of std::getline, each data
// line parsed by extracting doubles from a std::istringstream, the offset
// after each data line taken with tellg; values stored only after both counts
// agree. Into a plain float array.
bool getline_istringstream_load(const char* fname, int rows, int cols, std::vector<float>& out) {
  std::ifstream fid(fname, std::ios::in);
  if (!fid) return false;
  std::string line;
  double val = 0.0;
  int M = 0, N = 0;
  long long len = 0;
  while (std::getline(fid, line)) {
    if (!line.empty() && line[0] == '#') continue;
    std::istringstream ss(line);
    N = 0;
    while (ss >> val) ++N;
    ++M;
    len = static_cast<long long>(fid.tellg());
  }
  fid.clear();
  fid.seekg(0);
  if (M != rows || N != cols) return false;
  M = 0;
  while (std::getline(fid, line)) {
    if (!line.empty() && line[0] == '#') continue;
    std::istringstream ss(line);
    N = 0;
    while (ss >> val) {
      if (M < rows && N < cols) out[offset(M, N, cols)] = static_cast<float>(val);
      ++N;
    }
    ++M;
  }
  benchmark::DoNotOptimize(len);
  return true;
}

void BM_raw_getline_istringstream_load(benchmark::State& state) {
  const std::string& path = ring_file();
  std::vector<float> out(static_cast<std::size_t>(kFileRows) * kFileCols);
  bool ok = true;
  for (auto _ : state) {
    ok = getline_istringstream_load(path.c_str(), kFileRows, kFileCols, out) && ok;
    benchmark::ClobberMemory();
  }
  if (!ok) state.SkipWithError("the loop refused the file");
  set_throughput(state, path);
}

// --- Ring buffer ----------------------------------------------------------------------

// A message of 15 characters fits in std::string's own storage, so every
// store costs the same whether the slots it shifts were written before or
// not.
void BM_ringbuf_store(benchmark::State& state) {
  D_ringbuf rb("HISTORY", static_cast<int>(state.range(0)), nullptr);
  char msg[] = "FB cycle ok 42";
  for (auto _ : state) {
    rb.store(msg);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}

// A longer message, as a server writes it, with every slot written once
// before timing (the steady state of a long-running server).
void BM_ringbuf_store_long(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  D_ringbuf rb("HISTORY", n, nullptr);
  char msg[] = "orbit feedback: correction applied, rms 0.124 mm, 576 kicks";
  for (int k = 0; k < n; ++k) rb.store(msg);
  for (auto _ : state) {
    rb.store(msg);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}

// --- Registration ---------------------------------------------------------------------

void shapes(benchmark::internal::Benchmark* b) {
  b->ArgNames({"m", "n"});
  for (auto [m, n] : {std::pair{72, 72}, {320, 281}, {640, 576}, {1850, 712}}) b->Args({m, n});
}

// Wall-clock time throughout: OpenBLAS may run parts of a call on its own
// threads, which the CPU time of the calling thread would not show.
void slow_shapes(benchmark::internal::Benchmark* b) {
  shapes(b);
  b->Unit(benchmark::kMillisecond)->UseRealTime();
}

void fast_shapes(benchmark::internal::Benchmark* b) {
  shapes(b);
  b->Unit(benchmark::kMicrosecond)->UseRealTime();
}

BENCHMARK(BM_invert)->Apply(slow_shapes);
BENCHMARK(BM_raw_gsl_SV_decomp)->Apply(slow_shapes);
BENCHMARK(BM_invert_lapack)->Apply(slow_shapes);
BENCHMARK(BM_raw_dgesdd_econ)->Apply(slow_shapes);
BENCHMARK(BM_pinv)->Apply(slow_shapes);
BENCHMARK(BM_raw_arma_pinv)->Apply(slow_shapes);
// One plane and both planes of a 320-monitor ring, and a large machine.
void cycle_shapes(benchmark::internal::Benchmark* b) {
  b->ArgNames({"m", "n"});
  for (auto [m, n] : {std::pair{320, 288}, {640, 576}, {1850, 712}}) b->Args({m, n});
  b->Unit(benchmark::kMicrosecond)->UseRealTime();
}

BENCHMARK(BM_multiply_cycle)->Apply(cycle_shapes);
BENCHMARK(BM_multiply_vs_dgemv_cycle)->Apply(cycle_shapes);
BENCHMARK(BM_raw_cblas_dgemv_cycle)->Apply(cycle_shapes);
BENCHMARK(BM_raw_cblas_sgemv_cycle)->Apply(cycle_shapes);
BENCHMARK(BM_raw_read_cycle)->Apply(cycle_shapes);
BENCHMARK(BM_multiply_cycle_accessor_path)->Apply(cycle_shapes);
BENCHMARK(BM_raw_cblas_dgemm_cycle)->Apply(cycle_shapes);
BENCHMARK(BM_raw_widen_dgemm_cycle)->Apply(cycle_shapes);
BENCHMARK(BM_multiply_k8)->Apply(cycle_shapes);
// The large machine on one and two threads, and where splitting starts to pay.
void thread_shapes(benchmark::internal::Benchmark* b) {
  b->ArgNames({"m", "n", "threads"});
  for (auto [m, n] : {std::pair{320, 288}, {400, 360}, {640, 576}, {1120, 1580}})
    for (const int threads : {1, 2}) b->Args({m, n, threads});
  b->Unit(benchmark::kMicrosecond)->UseRealTime();
}
BENCHMARK(BM_multiply_threads)->Apply(thread_shapes);
BENCHMARK(BM_raw_cblas_dgemm_k8)->Apply(cycle_shapes);
BENCHMARK(BM_raw_widen_dgemm_k8)->Apply(cycle_shapes);
BENCHMARK(BM_transpose)->Apply(fast_shapes);
BENCHMARK(BM_raw_loop_transpose)->Apply(fast_shapes);
BENCHMARK(BM_entrywise_product)->Apply(fast_shapes);
BENCHMARK(BM_raw_loop_entrywise_product)->Apply(fast_shapes);
BENCHMARK(BM_load_file)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_raw_getline_istringstream_load)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ringbuf_store)->ArgName("N")->Arg(10)->Arg(1000)->Arg(100000)->UseRealTime();
BENCHMARK(BM_ringbuf_store_long)->ArgName("N")->Arg(10)->Arg(1000)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
