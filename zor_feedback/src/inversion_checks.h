// inversion_checks.h - what both inversions check before they compute, and their clock.
// Private to the library; not installed.
#ifndef ZOR_FEEDBACK_INVERSION_CHECKS_H
#define ZOR_FEEDBACK_INVERSION_CHECKS_H

#include <chrono>
#include <cmath>
#include <cstddef>
#include <string>

#include "log_line.h"
#include "zor_feedback/zor_feedback.h"

namespace zor_feedback {
namespace detail {

// Machine epsilon of double, 2^-52.
constexpr double kDoubleEpsilon = 2.220446049250313e-16;
// Bit of OVRIX_debug that selects the tables of intermediate results.
constexpr int kInversionTables = 128;

using InversionClock = std::chrono::steady_clock;
double elapsed_ms(InversionClock::time_point t0);

// The checks both inversions make before they touch anything: this matrix is
// a non-empty two-dimensional array and pinvR has its transposed shape.
// Returns the logged error line, empty when all is well.
std::string check_operands(const char* origin, const QTEV_ResponseMatrix& self,
                           const QTEV_ResponseMatrix& pinvR);

// Logs and returns an error line when an element is NaN or infinite (GSL's
// SVD may then fail to converge and call the aborting error handler, and any
// inverse would be meaningless for the machine); empty otherwise.
// `element(i, j)` reads one.
template <typename Element>
std::string check_finite(const char* origin, int rows, int cols, Element element) {
  std::size_t bad = 0;
  int first_row = -1;
  int first_col = -1;
  for (int i = 0; i < rows; ++i)
    for (int j = 0; j < cols; ++j)
      if (!std::isfinite(element(i, j)) && bad++ == 0) {
        first_row = i;
        first_col = j;
      }
  if (bad == 0) return {};
  return log_line(origin, DF_LOG,
                  "ERROR: matrix holds %zu non-finite values, first at (%d, %d); not inverted", bad,
                  first_row, first_col);
}

// dest = transpose of src.

}  // namespace detail
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_INVERSION_CHECKS_H
