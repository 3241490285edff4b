// QTEV_ResponseMatrix::pseudo_inverse: the standard inversion of a response
// matrix, stored as floats.
#include <cmath>
#include <cstddef>
#include <string>
#include <vector>

#include "gsl_handles.h"
#include "inversion_checks.h"
#include "log_line.h"
#include "zor_feedback/zor_feedback.h"

using namespace zor_feedback::detail;
using zor_feedback::SvdReport;

namespace {

// The float inverse, or the refusal of one that float cannot carry.
std::string narrow(const std::vector<double>& inverse, std::vector<float>* out) {
  out->resize(inverse.size());
  bool any = false;
  for (std::size_t i = 0; i < inverse.size(); ++i) {
    const float f = static_cast<float>(inverse[i]);
    if (!std::isfinite(f))
      return format_line("ERROR: inverse element %.3e overflows float; rescale the matrix", inverse[i]);
    (*out)[i] = f;
    any = any || f != 0.0f;
  }
  if (!any) return format_line("ERROR: the inverse's elements lie below the float range; rescale the matrix");
  return {};
}

}  // namespace

SvdReport QTEV_ResponseMatrix::pseudo_inverse(QTEV_ResponseMatrix& pinvR, D_spectrum* singular_val,
                                              const zor_feedback::StandardOptions& options) {
  static const char* const name = "QTEV_ResponseMatrix::pseudo_inverse";
  const auto t0 = InversionClock::now();
  SvdReport rep;
  rep.inversion = zor_feedback::Inversion::standard;
  rep.method = options.method;
  rep.rows = rows;
  rep.cols = cols;
  rep.error = check_operands(name, *this, pinvR);
  if (!rep.error.empty()) return rep;
  const GslMatrix R = create_gsl_matrix();
  if (!R) return rep;  // not after the checks above

  std::vector<double> inverse;
  rep = zor_feedback::pseudo_inverse(R.get()->data, rows, cols, options, &inverse);
  std::vector<float> stored;
  if (rep.ok) rep.error = narrow(inverse, &stored);
  if (!rep.error.empty()) {
    rep.ok = false;
    log_line(name, DF_LOG, "%s", rep.error.c_str());
    return rep;
  }

  // Outputs, all computed: nothing below can fail.
  if (singular_val != nullptr) {
    singular_val->set_length(static_cast<int>(rep.singular_values.size()));
    for (std::size_t i = 0; i < rep.singular_values.size(); ++i)
      singular_val->fill_spectrum(static_cast<int>(i), static_cast<float>(rep.singular_values[i]));
  }
  for (int i = 0; i < cols; ++i)
    for (int j = 0; j < rows; ++j)
      pinvR.set_value(
          stored[static_cast<std::size_t>(i) * static_cast<std::size_t>(rows) + static_cast<std::size_t>(j)],
          i, j, -1, -1, -1, -1);
  for (const std::string& w : rep.warnings) log_line(name, DF_LOG, "%s", w.c_str());
  rep.time_ms = elapsed_ms(t0);
  return rep;
}
