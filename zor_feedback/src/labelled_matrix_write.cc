// The consistency of a labelled matrix, and its file.
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <utility>

#include "label_lines.h"
#include "matrix_formats.h"
#include "zor_feedback/labelled_matrix.h"

namespace zor_feedback {

const char* plane_name(Plane plane) { return plane == Plane::x ? "x" : "y"; }

namespace {

std::string format_value(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

// A name may appear once per plane: a monitor of plane x and one of plane y
// may share it (NAME:x and NAME:y tell them apart).
std::string check_names(const std::vector<std::string>& names, const std::vector<Plane>& planes,
                        const char* what) {
  std::set<std::pair<std::string, Plane>> seen;
  for (std::size_t k = 0; k < names.size(); ++k) {
    const std::string& n = names[k];
    if (n.empty() || n.find_first_of(" \t\r\n\v\f") != std::string::npos)
      return std::string(what) + " name '" + n + "' is empty or holds white space";
    if (!seen.insert({n, planes[k]}).second)
      return std::string(what) + " name '" + n + "' appears twice in plane " + plane_name(planes[k]);
  }
  return {};
}

}  // namespace

std::string check_labelled_matrix(const LabelledMatrix& m) {
  if (m.rows <= 0 || m.cols <= 0) return "the matrix is empty";
  const auto rows = static_cast<std::size_t>(m.rows), cols = static_cast<std::size_t>(m.cols);
  if (m.values.size() != rows * cols)
    return std::to_string(m.values.size()) + " values for a " + std::to_string(m.rows) + " x " +
           std::to_string(m.cols) + " matrix";
  if (m.monitors.size() != rows || m.monitor_planes.size() != rows)
    return "the monitor names or planes do not number the rows";
  if (m.correctors.size() != cols || m.corrector_planes.size() != cols)
    return "the corrector names or planes do not number the columns";
  // The matrix and every file of it hold floats: a value beyond their range
  // would become an infinity.
  for (std::size_t k = 0; k < m.values.size(); ++k)
    if (std::isinf(static_cast<float>(m.values[k])) || !std::isfinite(m.values[k]))
      return "element (" + std::to_string(k / cols) + ", " + std::to_string(k % cols) + ")" +
             (std::isfinite(m.values[k])
                  ? " = " + format_value(m.values[k]) + " lies beyond the float range (3.4e38)"
                  : std::string(" is not finite"));
  if (m.units.find('\n') != std::string::npos) return "the units hold a line break";
  std::string e = check_names(m.monitors, m.monitor_planes, "monitor");
  return e.empty() ? check_names(m.correctors, m.corrector_planes, "corrector") : e;
}

namespace detail {

std::string labelled_text(const LabelledMatrix& m, const std::vector<std::string>& comment) {
  std::string out;
  for (const std::string& c : comment) out += "# " + c + "\n";
  out += label_lines(m, "#");
  const auto cols = static_cast<std::size_t>(m.cols);
  for (std::size_t k = 0; k < m.values.size(); ++k) {
    append_value(&out, m.values[k]);
    out += (k + 1) % cols == 0 ? '\n' : ' ';
  }
  return out;
}

void append_value(std::string* out, double v) {
  char buf[32];
  const std::to_chars_result r = std::to_chars(buf, buf + sizeof buf, v);
  out->append(buf, r.ptr);
}

}  // namespace detail
}  // namespace zor_feedback
