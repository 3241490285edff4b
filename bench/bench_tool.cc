// zf_bench_tool - the data and the memory figures of the benchmarks.
//
//   zf_bench_tool write ROWS COLS FILE
//       writes the ring model's ROWS x COLS response matrix as a text file
//   zf_bench_tool load-rss ROWS COLS FILE
//       loads FILE into a ROWS x COLS matrix with load_file and prints, as one
//       JSON line, the peak resident memory of the process before and after
//       the call (getrusage): the difference is what load_file needed beyond
//       the matrix itself. Run it once per file, in a fresh process, so that
//       each peak is its own.
//   zf_bench_tool invert-rss ROWS COLS FILE gsl|lapack
//       loads FILE, then inverts it with that engine and prints, as one JSON
//       line, the peak resident memory before and after invert: the working
//       set of the engine beyond the matrices themselves.
//   zf_bench_tool blas
//       prints the BLAS line (zor_feedback::blas_summary) of this process,
//       which runs on the BLAS the benchmarks run on
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>

#include "ring_model.h"
#include "zor_feedback/blas_info.h"
#include "zor_feedback/zor_feedback.h"

namespace {

long max_rss_kib() {
  struct rusage ru {};
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_maxrss;  // KiB on Linux
}

int usage() {
  std::fprintf(stderr,
               "usage: zf_bench_tool write ROWS COLS FILE\n       zf_bench_tool load-rss ROWS COLS FILE\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) try {
  if (argc == 2 && std::string(argv[1]) == "blas") {
    std::printf("%s; %s\n", zor_feedback::blas_summary(zor_feedback::blas_info()).c_str(),
                zor_feedback::multiply_kernel().c_str());
    return 0;
  }
  if (argc != 5 && argc != 6) return usage();
  const std::string cmd = argv[1];
  const int rows = std::atoi(argv[2]);
  const int cols = std::atoi(argv[3]);
  const char* file = argv[4];
  if (rows <= 0 || cols <= 0) return usage();

  if (cmd == "write") {
    const long long bytes =
        zor_feedback::sim::write_ring_file(file, zor_feedback::sim::ring_response(rows, cols));
    std::printf("{\"file\": \"%s\", \"rows\": %d, \"cols\": %d, \"bytes\": %lld}\n", file, rows, cols, bytes);
    return 0;
  }
  if (cmd == "load-rss") {
    struct stat st {};
    if (::stat(file, &st) != 0) {
      std::fprintf(stderr, "zf_bench_tool: cannot stat %s\n", file);
      return 1;
    }
    // The matrix's elements are written (zeroed) by its constructor, so its
    // storage already counts in the first figure.
    QTEV_ResponseMatrix R("R", rows, cols, nullptr);
    const long before = max_rss_kib();
    const bool ok = R.load_file(file);
    const long after = max_rss_kib();
    std::printf(
        "{\"file\": \"%s\", \"bytes\": %lld, \"rows\": %d, \"cols\": %d, \"ok\": %s, "
        "\"max_rss_before_kib\": %ld, \"max_rss_after_kib\": %ld, \"growth_kib\": %ld}\n",
        file, static_cast<long long>(st.st_size), rows, cols, ok ? "true" : "false", before, after,
        after - before);
    return ok ? 0 : 1;
  }
  zor_feedback::SvdMethod method;
  if (cmd == "invert-rss" && argc == 6 && zor_feedback::parse_svd_method(argv[5], &method)) {
    QTEV_ResponseMatrix R("R", rows, cols, nullptr), inverse("INVERSE", cols, rows, nullptr);
    D_spectrum spectrum("SINGULAR_VALUES", std::min(rows, cols), nullptr);
    ovrix::LogCapture quiet;
    if (!R.load_file(file)) return 1;
    R.set_svd_method(method);
    std::cout.setstate(std::ios::failbit);  // the line invert writes for a tall matrix
    const long before = max_rss_kib();
    const zor_feedback::SvdReport r = R.invert_report(inverse, spectrum, -1.0f);
    const long after = max_rss_kib();
    std::printf(
        "{\"method\": \"%s\", \"rows\": %d, \"cols\": %d, \"ok\": %s, \"time_ms\": %.1f, "
        "\"max_rss_before_kib\": %ld, \"max_rss_after_kib\": %ld, \"growth_kib\": %ld}\n",
        argv[5], rows, cols, r.ok ? "true" : "false", r.time_ms, before, after, after - before);
    return r.ok ? 0 : 1;
  }
  return usage();
} catch (const std::exception& e) {
  std::fprintf(stderr, "zf_bench_tool: %s\n", e.what());
  return 1;
}
