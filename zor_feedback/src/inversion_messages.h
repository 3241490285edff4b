// inversion_messages.h - the debug tables of the SVD inversion and the pinv warnings.
// Private to the library; not installed.
#ifndef ZOR_FEEDBACK_INVERSION_MESSAGES_H
#define ZOR_FEEDBACK_INVERSION_MESSAGES_H

#include <string>

#include "gsl_handles.h"

namespace zor_feedback {
namespace detail {

void print_vector_table(const char* heading, const GslVector& v);

// The warning of a pinv whose result is all zero for a non-zero matrix:
// whether the input floor cleared it all, or the result lies below 2^-52.
std::string warn_zero_pinv(const char* origin, bool input_cleared_all, double floor, long long cleared);

}  // namespace detail
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_INVERSION_MESSAGES_H
