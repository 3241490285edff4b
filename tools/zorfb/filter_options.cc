// The standard inversion's filter from svd's options: --tol, --keep,
// --tikhonov (with --noise, --orbit) or --filter, each into the one value.
#include <fmt/format.h>

#include <string>

#include "zorfb/zorfb.h"

namespace zor_feedback {
namespace cli {

namespace {

FilterParse filter_of(const InvertOptions& o) {
  if (!o.filter.empty()) return parse_filter(o.filter);
  if (!o.tikhonov.empty()) {
    std::string text = "tikhonov " + o.tikhonov;
    if (o.tikhonov == "discrepancy") {
      if (!o.noise) return {std::nullopt, "--tikhonov discrepancy needs --noise SIGMA"};
      text += fmt::format(" {}", *o.noise);
    }
    return parse_filter(text);
  }
  if (o.keep != 0) return {Filter::by_count(o.keep), {}};
  if (o.tol) return {Filter::by_rcond(*o.tol), {}};
  return {Filter(), {}};
}

}  // namespace

int standard_options(const InvertOptions& o, int rows, StandardOptions* out) {
  const FilterParse f = filter_of(o);
  if (!f.filter) {
    print_error(f.error);
    return kUsage;
  }
  out->filter = *f.filter;
  out->method = o.engine();
  if (o.noise && o.tikhonov != "discrepancy") {
    print_error("--noise is the noise level of --tikhonov discrepancy");
    return kUsage;
  }
  if (f.filter->kind() != Filter::Kind::tikhonov_auto) {
    if (!o.orbit.empty()) {
      print_error("--orbit is for an automatic strength (--tikhonov auto, gcv, discrepancy)");
      return kUsage;
    }
    return kOk;
  }
  if (o.orbit.empty()) {
    print_error(to_string(*f.filter) + " chooses the strength for an orbit: give --orbit FILE");
    return kUsage;
  }
  return read_column(o.orbit, rows, "the orbit", &out->orbit) ? kOk : kUsage;
}

}  // namespace cli
}  // namespace zor_feedback
