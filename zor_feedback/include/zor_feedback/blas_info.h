// blas_info.h - which BLAS the process runs on, and how.
//
// The products and the LAPACK engine run on whatever BLAS the process has
// loaded. OpenBLAS picks its kernels for the CPU at start-up; a release older
// than the CPU may not know it and fall back to slow generic kernels
// (OpenBLAS 0.3.21 runs its SSE3 "Prescott" kernels on Intel CPUs of family 6
// model 207, where OPENBLAS_CORETYPE=SkylakeX is 1.6 to 3 times faster).
// A server logs this at start so that such a fallback shows.
#ifndef ZOR_FEEDBACK_BLAS_INFO_H
#define ZOR_FEEDBACK_BLAS_INFO_H

#include <string>

#include "zor_feedback/export.h"

namespace zor_feedback {

struct BlasInfo {
  std::string library = "unknown";  // "OpenBLAS" when its query functions are found
  std::string config = "unknown";   // openblas_get_config(): version and build options
  std::string core = "unknown";     // openblas_get_corename(): the kernels in use, e.g. "Haswell"
  int threads = 0;                  // openblas_get_num_threads(); 0 when unknown
};

// Asks the BLAS loaded in this process through OpenBLAS's own query
// functions, found at run time; "unknown" fields when they are absent (another
// BLAS, or none loaded). Changes no setting of the process or the BLAS.
ZOR_FEEDBACK_API BlasInfo blas_info();

// One line for a version banner or a server's start-up log, e.g.
// "BLAS: OpenBLAS 0.3.21 DYNAMIC_ARCH NO_AFFINITY Zen MAX_THREADS=64, core Zen, 1 thread".
ZOR_FEEDBACK_API std::string blas_summary(const BlasInfo& info);

// The version of multiply's own kernel this process runs, for the same
// banner: "multiply kernel: avx2". Every version gives the same bits; the
// widest the CPU has is used unless ZOR_FEEDBACK_ISA (scalar, avx2, avx512,
// avx512-256) names another it has; a value it cannot follow is named in the
// line.
ZOR_FEEDBACK_API std::string multiply_kernel();

}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_BLAS_INFO_H
