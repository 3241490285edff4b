// The label lines of a matrix file: names, planes and units by key.
#include "label_lines.h"

#include <cstring>
#include <utility>

#include "value_scanner.h"

namespace zor_feedback {
namespace detail {
namespace {

const char* const kKeys[] = {"monitors", "correctors", "monitor_planes", "corrector_planes", "units"};

std::vector<std::string> words(const std::string& s) {
  std::vector<std::string> out;
  std::size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && scanning::is_space(s[i])) ++i;
    const std::size_t b = i;
    while (i < s.size() && !scanning::is_space(s[i])) ++i;
    if (i > b) out.push_back(s.substr(b, i - b));
  }
  return out;
}

// "<mark> key: rest" with one of the keys: its index and the rest; -1 for any
// other comment, which stays a comment.
int label_key(const std::string& line, std::string* rest) {
  std::size_t p = 1;
  while (p < line.size() && line[p] == ' ') ++p;
  for (int k = 0; k < kLabelKeys; ++k) {
    const std::size_t n = std::strlen(kKeys[k]);
    if (line.compare(p, n, kKeys[k]) == 0 && p + n < line.size() && line[p + n] == ':') {
      *rest = line.substr(p + n + 1);
      return k;
    }
  }
  return -1;
}

// Names of one label line, or the defaults 0..count-1.
bool take_names(const Labels& l, int key, int count, std::vector<std::string>* names, std::string* error) {
  names->clear();
  if (l.line[key] == 0) {
    for (int i = 0; i < count; ++i) names->push_back(std::to_string(i));
    return true;
  }
  *names = words(l.text[key]);
  if (static_cast<int>(names->size()) == count) return true;
  *error = "line " + std::to_string(l.line[key]) + ": '" + kKeys[key] + ":' holds " +
           std::to_string(names->size()) + " entries, the matrix " + std::to_string(count);
  return false;
}

bool take_planes(const Labels& l, int key, int count, std::vector<Plane>* planes, std::string* error) {
  std::vector<std::string> names;
  if (!take_names(l, key, count, &names, error)) return false;
  planes->assign(static_cast<std::size_t>(count), Plane::x);
  if (l.line[key] == 0) return true;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (names[i] == "x" || names[i] == "y") {
      (*planes)[i] = names[i] == "x" ? Plane::x : Plane::y;
      continue;
    }
    *error = "line " + std::to_string(l.line[key]) + ": plane '" + names[i] + "' is neither x nor y";
    return false;
  }
  return true;
}

void append_words(std::string* out, const char* mark, const char* key, const std::vector<std::string>& w) {
  *out += std::string(mark) + " " + key + ":";
  for (const std::string& s : w) *out += " " + s;
  *out += '\n';
}

}  // namespace

bool take_label_line(const std::string& line, long long line_no, Labels* labels, std::string* error) {
  std::string rest;
  const int k = label_key(line, &rest);
  if (k < 0) return true;
  if (labels->line[k] != 0) {
    *error = "line " + std::to_string(line_no) + ": a second '" + kKeys[k] + ":' line (first: line " +
             std::to_string(labels->line[k]) + ")";
    return false;
  }
  labels->line[k] = line_no;
  labels->text[k] = std::move(rest);
  return true;
}

bool apply_labels(const Labels& l, LabelledMatrix* m, std::string* error) {
  if (!take_names(l, 0, m->rows, &m->monitors, error) || !take_names(l, 1, m->cols, &m->correctors, error) ||
      !take_planes(l, 2, m->rows, &m->monitor_planes, error) ||
      !take_planes(l, 3, m->cols, &m->corrector_planes, error))
    return false;
  m->units.clear();
  for (const std::string& w : words(l.text[4])) m->units += (m->units.empty() ? "" : " ") + w;
  *error = check_labelled_matrix(*m);
  return error->empty();
}

std::string label_lines(const LabelledMatrix& m, const char* mark) {
  std::string out;
  append_words(&out, mark, kKeys[0], m.monitors);
  append_words(&out, mark, kKeys[1], m.correctors);
  std::vector<std::string> planes;
  for (const Plane p : m.monitor_planes) planes.push_back(plane_name(p));
  append_words(&out, mark, kKeys[2], planes);
  planes.clear();
  for (const Plane p : m.corrector_planes) planes.push_back(plane_name(p));
  append_words(&out, mark, kKeys[3], planes);
  if (!m.units.empty()) out += std::string(mark) + " units: " + m.units + "\n";
  return out;
}

bool has_labels(const LabelledMatrix& m) {
  for (std::size_t i = 0; i < m.monitors.size(); ++i)
    if (m.monitors[i] != std::to_string(i)) return true;
  for (std::size_t j = 0; j < m.correctors.size(); ++j)
    if (m.correctors[j] != std::to_string(j)) return true;
  for (const Plane p : m.monitor_planes)
    if (p != Plane::x) return true;
  for (const Plane p : m.corrector_planes)
    if (p != Plane::x) return true;
  return !m.units.empty();
}

}  // namespace detail
}  // namespace zor_feedback
