#include "classic_floor.h"

#include <string>
#include <utility>

#include "log_line.h"

namespace zor_feedback {
namespace detail {

void report_clearing(const char* origin, double tol, SvdReport* rep) {
  if (rep->elements_cleared > 0)
    log_line(origin, kInfo, "INFO: Cleared %lld elements |v| <= tol from the inverse, largest %e",
             rep->elements_cleared, rep->largest_cleared);
  std::string warning;
  if (rep->zero_inverse && rep->used == 0)
    warning = log_line(
        origin, DF_LOG,
        "WARNING: all-zero inverse: no singular value is above the cut-off tol*max(S) = %.3e; lower tol",
        rep->cutoff);
  else if (rep->zero_inverse && rep->elements_cleared > 0)
    warning = log_line(
        origin, DF_LOG,
        "WARNING: all-zero inverse: tol %.3e also clears every element |v| <= tol; lower tol or units", tol);
  else if (rep->zero_inverse)
    warning =
        log_line(origin, DF_LOG,
                 "WARNING: all-zero inverse: its elements lie below the float range; rescale the matrix");
  else if (rep->elements_cleared > 0 && rep->largest_cleared > 1e-6 * rep->largest_element)
    warning =
        log_line(origin, DF_LOG,
                 "WARNING: tol %.3e cleared %lld elements up to %.3e (|v| <= tol); lower tol or change units",
                 tol, rep->elements_cleared, rep->largest_cleared);
  if (!warning.empty()) rep->warnings.push_back(std::move(warning));
}

}  // namespace detail
}  // namespace zor_feedback
