// classic_floor.h - the classic inversion's floor on the inverse's elements, and what it
// reports of it.
// Private to the library; not installed.
#ifndef ZOR_FEEDBACK_CLASSIC_FLOOR_H
#define ZOR_FEEDBACK_CLASSIC_FLOOR_H

#include <cmath>

#include "zor_feedback/zor_feedback.h"

namespace zor_feedback {
namespace detail {

// Whether element v of the inverse is stored: |v| > tol (absolute, strict).
inline bool survives_clear(double v, double tol) { return std::fabs(v) > tol; }

// What the double role of the tolerance did to the inverse, from the counts
// in `rep`: an INFO line (flags 128) whenever elements were cleared, and a
// "WARNING: ..." line (DF_LOG, also kept in rep->warnings) when the inverse is
// all zero for a non-zero matrix or lost an element above 1e-6 of its largest.
void report_clearing(const char* origin, double tol, SvdReport* rep);

}  // namespace detail
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_CLASSIC_FLOOR_H
