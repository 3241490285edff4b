#include "inversion_checks.h"

namespace zor_feedback {
namespace detail {

double elapsed_ms(InversionClock::time_point t0) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(InversionClock::now() - t0).count();
  return static_cast<double>(ns) / 1e9 * 1000.0;
}

std::string check_operands(const char* origin, const QTEV_ResponseMatrix& self,
                           const QTEV_ResponseMatrix& pinvR) {
  if (self.num_dims() != 2)
    return log_line(origin, DF_LOG, "ERROR: matrix has %d dimensions, needs 2; not inverted",
                    self.num_dims());
  if (self.rows <= 0 || self.cols <= 0)
    return log_line(origin, DF_LOG, "ERROR: cannot invert an empty matrix (%d x %d)", self.rows, self.cols);
  if (pinvR.num_dims() != 2 || pinvR.rows != self.cols || pinvR.cols != self.rows)
    return log_line(origin, DF_LOG,
                    "ERROR: Dimension mismatch: dim(pinvR) (%d x %d) must be %d x %d for dim(this) (%d x %d)",
                    pinvR.rows, pinvR.cols, self.cols, self.rows, self.rows, self.cols);
  return {};
}

}  // namespace detail
}  // namespace zor_feedback
