// tolerance.h - the tolerance rules: the internal tolerance, the cut-off, and the
// tolerance that keeps a given number of values.
// Private to the library; not installed.
#ifndef ZOR_FEEDBACK_TOLERANCE_H
#define ZOR_FEEDBACK_TOLERANCE_H

#include "gsl_handles.h"

namespace zor_feedback {
namespace detail {

// The internal tolerance: max(rows, cols) * eps * max(S), rounded to two
// significant digits, each stage stored as float. A zero max(S) gives NaN.
float internal_svd_tolerance(int rows, int cols, double s_max);

// Whether singular value s enters the inverse: s > tol * max(S) (relative,
// strict; a NaN cut-off drops every value).
inline bool passes_cutoff(double s, double cutoff) { return s > cutoff; }
// The float tolerance nearest the geometric middle of the gap after value
// `modes`, in the fewest significant digits, for which exactly
// `modes` of the non-increasing values S pass the cut-off. False, with the
// index of the value that prevents it in *blocking, when none does: S[modes-1]
// equals S[modes], or S[modes-1] is 0.
bool tolerance_keeping(const GslVector& S, int modes, float* tol, int* blocking);

}  // namespace detail
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_TOLERANCE_H
