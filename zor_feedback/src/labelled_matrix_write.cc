// The consistency of a labelled matrix, and its file.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <utility>

#include "zor_feedback/labelled_matrix.h"

namespace zor_feedback {

const char* plane_name(Plane plane) { return plane == Plane::x ? "x" : "y"; }

namespace {

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
  for (std::size_t k = 0; k < m.values.size(); ++k)
    if (!std::isfinite(m.values[k]))
      return "element (" + std::to_string(k / cols) + ", " + std::to_string(k % cols) + ") is not finite";
  if (m.units.find('\n') != std::string::npos) return "the units hold a line break";
  std::string e = check_names(m.monitors, m.monitor_planes, "monitor");
  return e.empty() ? check_names(m.correctors, m.corrector_planes, "corrector") : e;
}

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

void write_words(std::FILE* f, const char* key, const std::vector<std::string>& words) {
  std::fprintf(f, "# %s:", key);
  for (const std::string& w : words) std::fprintf(f, " %s", w.c_str());
  std::fputc('\n', f);
}

void write_planes(std::FILE* f, const char* key, const std::vector<Plane>& planes) {
  std::fprintf(f, "# %s:", key);
  for (const Plane p : planes) std::fprintf(f, " %s", plane_name(p));
  std::fputc('\n', f);
}

}  // namespace

LabelledReport write_labelled_matrix(const char* path, const LabelledMatrix& m,
                                     const std::vector<std::string>& comment) {
  LabelledReport rep;
  const std::string shown = std::string("'") + (path != nullptr ? path : "(null)") + "'";
  rep.error = check_labelled_matrix(m);
  for (const std::string& c : comment)
    if (rep.error.empty() && c.find('\n') != std::string::npos)
      rep.error = "a comment line holds a line break";
  if (!rep.error.empty() || path == nullptr) {
    rep.error = "nothing written to " + shown + ": " + (path == nullptr ? "no file name" : rep.error);
    return rep;
  }
  std::unique_ptr<std::FILE, FileCloser> f(std::fopen(path, "w"));
  if (!f) {
    rep.error = "cannot write " + shown + ": " + std::strerror(errno);
    return rep;
  }
  for (const std::string& c : comment) std::fprintf(f.get(), "# %s\n", c.c_str());
  write_words(f.get(), "monitors", m.monitors);
  write_words(f.get(), "correctors", m.correctors);
  write_planes(f.get(), "monitor_planes", m.monitor_planes);
  write_planes(f.get(), "corrector_planes", m.corrector_planes);
  if (!m.units.empty()) std::fprintf(f.get(), "# units: %s\n", m.units.c_str());
  const auto cols = static_cast<std::size_t>(m.cols);
  for (std::size_t k = 0; k < m.values.size(); ++k)
    std::fprintf(f.get(), (k + 1) % cols == 0 ? "%.9g\n" : "%.9g ", m.values[k]);
  const bool failed = std::ferror(f.get()) != 0;
  if (std::fclose(f.release()) != 0 || failed) {
    rep.error = "cannot write " + shown + ": " + std::strerror(errno);
    return rep;
  }
  rep.ok = true;
  return rep;
}

}  // namespace zor_feedback
