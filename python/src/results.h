// The results the inversions return: the inverse, the singular values and
// the library's report, whose fields the Python attributes are.
#ifndef ZOR_FEEDBACK_PYTHON_RESULTS_H
#define ZOR_FEEDBACK_PYTHON_RESULTS_H

#include "binding.h"

namespace zor_feedback::python {

struct SvdResult {
  using Report = zor_feedback::SvdReport;
  py::array_t<float> inverse;
  py::array_t<double> singular_values;
  Report report;
};

struct PinvResult {
  using Report = zor_feedback::PinvReport;
  py::array_t<float> inverse;
  py::array_t<double> singular_values;
  Report report;
};

}  // namespace zor_feedback::python

#endif  // ZOR_FEEDBACK_PYTHON_RESULTS_H
