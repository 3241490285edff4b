// classic_floor.h - the classic inversion's floor on the inverse's elements,
// and what it reports of it.
// Private to the library; not installed.
#ifndef ZOR_FEEDBACK_CLASSIC_FLOOR_H
#define ZOR_FEEDBACK_CLASSIC_FLOOR_H

#include <cmath>

#include "gsl_handles.h"
#include "zor_feedback/zor_feedback.h"

namespace zor_feedback {
namespace detail {

// Whether element v of the inverse is stored: |v| > tol (absolute, strict).
inline bool survives_clear(double v, double tol) { return std::fabs(v) > tol; }

// What the floor |v| <= tol does to the inverse P (either orientation): the
// counts, the share, the relative Frobenius change, the factor that would make
// it harmless (`internal`: the tolerance shrinks with the matrix, so the floor
// falls twice as fast), the largest elements, and whether what is stored is
// all zero for a non-zero matrix (s_max > 0).
void measure_floor(const GslMatrix& P, double tol, bool internal, double s_max, SvdReport* rep);

// From the figures in `rep`: an INFO line (flags 128) whenever elements were
// cleared, and a "WARNING: ..." line (DF_LOG, also kept in rep->warnings) when
// the inverse is all zero for a non-zero matrix or lost an element above 1e-6
// of its largest.
void report_clearing(const char* origin, double tol, SvdReport* rep);

}  // namespace detail
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_CLASSIC_FLOOR_H
