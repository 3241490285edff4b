#include "inversion_messages.h"

#include <cstdio>

#include "log_line.h"
#include "ovrix_server.h"

namespace zor_feedback {
namespace detail {

void print_vector_table(const char* heading, const GslVector& v) {
  std::puts(heading);
  for (std::size_t i = 0; i < v.size(); ++i) std::printf("%f  ", v[i]);
  std::putchar('\n');
}

std::string warn_zero_pinv(const char* origin, bool input_cleared_all, double floor, long long cleared) {
  if (input_cleared_all)
    return log_line(
        origin, DF_LOG,
        "WARNING: all-zero inverse: tolerance %.3e cleared all %lld non-zero input elements; lower it", floor,
        cleared);
  return log_line(origin, DF_LOG,
                  "WARNING: all-zero inverse of a non-zero matrix: its elements lie below 2^-52; rescale it");
}

}  // namespace detail
}  // namespace zor_feedback
