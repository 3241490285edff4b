// The filter from a call's keywords: rcond, keep, tikhonov or its text form.
#include <string>

#include "binding.h"

namespace zor_feedback::python {

Filter filter_in(std::optional<double> rcond, std::optional<int> keep, const py::object& tikhonov,
                 const std::optional<std::string>& text) {
  const int given =
      int(rcond.has_value()) + int(keep.has_value()) + int(!tikhonov.is_none()) + int(text.has_value());
  if (given > 1) throw py::value_error("ERROR: give one of rcond, keep, tikhonov and filter; not inverted");
  if (keep && *keep == 0) throw py::value_error("keep=0 keeps no singular value: give keep >= 1, or rcond");
  if (rcond) return Filter::by_rcond(*rcond);
  if (keep) return Filter::by_count(*keep);
  if (!tikhonov.is_none() && !py::isinstance<py::str>(tikhonov))
    return Filter::tikhonov(tikhonov.cast<double>());
  if (!tikhonov.is_none() || text) {
    const FilterParse p = parse_filter(text ? *text : "tikhonov " + tikhonov.cast<std::string>());
    if (!p.filter) throw py::value_error(p.error);
    return *p.filter;
  }
  return Filter();
}

}  // namespace zor_feedback::python
