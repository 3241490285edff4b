// The filter's one text form, its parser, and the check of its values.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "zor_feedback/filter.h"

namespace zor_feedback {

namespace {

// The shortest %g form that reads back to the same double.
std::string number_text(double v) {
  char buf[40];
  for (int digits = 1; digits <= 17; ++digits) {
    std::snprintf(buf, sizeof buf, "%.*g", digits, v);
    if (std::strtod(buf, nullptr) == v) break;
  }
  return buf;
}

const char* rule_name(AlphaRule r) {
  switch (r) {
    case AlphaRule::lcurve:
      return "lcurve";
    case AlphaRule::gcv:
      return "gcv";
    case AlphaRule::discrepancy:
      return "discrepancy";
  }
  return "lcurve";
}

std::vector<std::string> words(std::string text) {
  for (char& c : text)
    if (c == '=' || c == ':' || c == '\t') c = ' ';
  std::istringstream in(text);
  std::vector<std::string> out;
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

// A whole word as a finite double.
bool read_number(const std::string& w, double* v) {
  errno = 0;
  char* end = nullptr;
  *v = std::strtod(w.c_str(), &end);
  return end != w.c_str() && *end == '\0' && errno != ERANGE && std::isfinite(*v);
}

FilterParse refuse(std::string why) { return {std::nullopt, std::move(why)}; }

FilterParse checked(const Filter& f) {
  std::string why = filter_problem(f, 0, 0);
  if (!why.empty()) return refuse(why);
  return {f, {}};
}

FilterParse parse_tikhonov(const std::vector<std::string>& w) {
  if (w.size() < 2)
    return refuse("tikhonov needs a strength A (alpha = A * max(S)) or lcurve, gcv, discrepancy");
  const std::string& a = w[1];
  if ((a == "auto" || a == "lcurve" || a == "gcv") && w.size() == 2)
    return {Filter::tikhonov_auto(a == "gcv" ? AlphaRule::gcv : AlphaRule::lcurve), {}};
  double v = 0.0;
  if (a == "discrepancy") {
    if (w.size() != 3 || !read_number(w[2], &v))
      return refuse("tikhonov discrepancy needs one finite noise level, the rms of a monitor's noise");
    return checked(Filter::tikhonov_discrepancy(v));
  }
  if (w.size() != 2 || !read_number(a, &v))
    return refuse("tikhonov takes one finite strength A or lcurve, gcv, discrepancy NOISE; not '" + a + "'");
  return checked(Filter::tikhonov(v));
}

}  // namespace

std::string to_string(const Filter& f) {
  switch (f.kind()) {
    case Filter::Kind::default_cut:
      return "default";
    case Filter::Kind::rcond:
      return "rcond " + number_text(f.value());
    case Filter::Kind::keep:
      return "keep " + std::to_string(f.keep());
    case Filter::Kind::tikhonov:
      return "tikhonov " + number_text(f.value());
    case Filter::Kind::tikhonov_auto:
      return std::string("tikhonov ") + rule_name(f.rule()) +
             (f.rule() == AlphaRule::discrepancy ? " " + number_text(f.value()) : std::string());
  }
  return "default";
}

FilterParse parse_filter(const std::string& text) {
  const std::vector<std::string> w = words(text);
  if (w.empty())
    return refuse("empty filter: give default, rcond R, keep N or tikhonov A|lcurve|gcv|discrepancy NOISE");
  if (w[0] == "default" && w.size() == 1) return {Filter(), {}};
  if (w[0] == "tikhonov") return parse_tikhonov(w);
  double v = 0.0;
  if ((w[0] == "rcond" || w[0] == "keep") && (w.size() != 2 || !read_number(w[1], &v)))
    return refuse(w[0] + " takes one finite number");
  if (w[0] == "rcond") return checked(Filter::by_rcond(v));
  if (w[0] == "keep") {
    if (v != std::floor(v) || std::fabs(v) > 1e9) return refuse("keep takes a whole count, not " + w[1]);
    return checked(Filter::by_count(static_cast<int>(v)));
  }
  return refuse("unknown filter '" + text +
                "': give default, rcond R, keep N or tikhonov A|lcurve|gcv|discrepancy NOISE");
}

std::string filter_problem(const Filter& f, int rows, int cols) {
  const double v = f.value();
  char buf[120] = "";
  switch (f.kind()) {
    case Filter::Kind::default_cut:
      break;
    case Filter::Kind::rcond:
      if (!(v >= 0.0) || !std::isfinite(v))
        std::snprintf(buf, sizeof buf, "rcond %g is not a number >= 0", v);
      break;
    case Filter::Kind::keep:
      if (f.keep() < 1)
        std::snprintf(buf, sizeof buf, "cannot keep %d singular values: keep >= 1", f.keep());
      else if (rows > 0 && cols > 0 && f.keep() > std::min(rows, cols))
        std::snprintf(buf, sizeof buf, "cannot keep %d of %d singular values", f.keep(),
                      std::min(rows, cols));
      break;
    case Filter::Kind::tikhonov:
      if (!(v > 0.0) || !std::isfinite(v))
        std::snprintf(buf, sizeof buf, "tikhonov strength %g is not a number > 0", v);
      break;
    case Filter::Kind::tikhonov_auto:
      if (f.rule() == AlphaRule::discrepancy && (!(v > 0.0) || !std::isfinite(v)))
        std::snprintf(buf, sizeof buf, "noise level %g is not a number > 0", v);
      break;
  }
  return buf;
}

}  // namespace zor_feedback
