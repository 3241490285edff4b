// Reading a labelled response matrix: the loader's counting pass decides the
// shape, a second pass takes the values and the label lines.
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "matrix_file.h"
#include "zor_feedback/labelled_matrix.h"

namespace zor_feedback {
namespace {

using detail::FileCount;

const char* const kKeys[] = {"monitors", "correctors", "monitor_planes", "corrector_planes", "units"};
constexpr int kKeyCount = 5;

struct Labels {
  std::string text[kKeyCount];
  long long line[kKeyCount] = {};  // where each key stood, 0: absent
};

std::vector<std::string> words(const std::string& s) {
  std::vector<std::string> out;
  std::size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && detail::scanning::is_space(s[i])) ++i;
    const std::size_t b = i;
    while (i < s.size() && !detail::scanning::is_space(s[i])) ++i;
    if (i > b) out.push_back(s.substr(b, i - b));
  }
  return out;
}

// "# key: rest" with one of the keys: its index and the rest; -1 for any other
// comment, which stays a comment.
int label_key(const std::string& line, std::string* rest) {
  std::size_t p = 1;
  while (p < line.size() && line[p] == ' ') ++p;
  for (int k = 0; k < kKeyCount; ++k) {
    const std::size_t n = std::strlen(kKeys[k]);
    if (line.compare(p, n, kKeys[k]) == 0 && p + n < line.size() && line[p + n] == ':') {
      *rest = line.substr(p + n + 1);
      return k;
    }
  }
  return -1;
}

// Why the counted file cannot be read as the matrix it looks like; empty when
// it can.
std::string shape_problem(const FileCount& c) {
  if (c.data_lines == 0) return "no data lines (every line starts with '#')";
  if (c.data_lines > INT_MAX || c.last_count > INT_MAX) return "more rows or columns than a matrix can have";
  if (c.last_count == 0) return "the last data line holds no numbers";
  const MatrixFileShape::Stop* stops[] = {&c.separator, &c.not_finite, &c.other};
  const char* what[] = {"a separator", "a value that is not a finite number", "text that is not a number"};
  for (int k = 0; k < 3; ++k)
    if (stops[k]->lines > 0)
      return "line " + std::to_string(stops[k]->first_line) + ": the values end at " + what[k] + " ('" +
             stops[k]->text + "')";
  for (const auto& [values, lines] : c.by_count)
    if (values != c.last_count)
      return "line " + std::to_string(lines.second) + " has " + std::to_string(values) +
             " values, the last data line " + std::to_string(c.last_count);
  return {};
}

// The second pass: values row by row, label lines by key.
bool read_values(detail::LineReader& reader, const FileCount& c, LabelledMatrix* m, Labels* labels,
                 std::string* error) {
  reader.rewind();
  m->values.clear();
  m->values.reserve(static_cast<std::size_t>(c.data_lines * c.last_count));
  std::string line, rest;
  long long line_no = 0;
  while (reader.next(line)) {
    ++line_no;
    if (!detail::is_comment(line)) {
      detail::for_each_value(line, [m](double v) { m->values.push_back(v); });
      continue;
    }
    const int k = label_key(line, &rest);
    if (k < 0) continue;
    if (labels->line[k] != 0) {
      *error = "line " + std::to_string(line_no) + ": a second '# " + kKeys[k] + ":' line (first: line " +
               std::to_string(labels->line[k]) + ")";
      return false;
    }
    labels->line[k] = line_no;
    labels->text[k] = std::move(rest);
  }
  return !reader.failed();
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
  *error = "line " + std::to_string(l.line[key]) + ": '# " + kKeys[key] + ":' holds " +
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

bool take_labels(const Labels& l, LabelledMatrix* m, std::string* error) {
  if (!take_names(l, 0, m->rows, &m->monitors, error) || !take_names(l, 1, m->cols, &m->correctors, error) ||
      !take_planes(l, 2, m->rows, &m->monitor_planes, error) ||
      !take_planes(l, 3, m->cols, &m->corrector_planes, error))
    return false;
  const std::vector<std::string> unit = words(l.text[4]);
  for (const std::string& w : unit) m->units += (m->units.empty() ? "" : " ") + w;
  *error = check_labelled_matrix(*m);
  return error->empty();
}

}  // namespace

LabelledReport read_labelled_matrix(const char* path, LabelledMatrix* out) {
  LabelledReport rep;
  if (out == nullptr) {
    rep.error = "read_labelled_matrix: no output";
    return rep;
  }
  detail::CountedFile file(path);
  if (!file.error.empty()) {
    rep.error = std::move(file.error);
    return rep;
  }
  const detail::FileCount& count = file.count;
  const std::string& shown = file.shown;
  std::string why;
  if (const std::string p = shape_problem(count); !p.empty()) {
    rep.error = shown + ": " + p;
    return rep;
  }
  LabelledMatrix m;
  m.rows = static_cast<int>(count.data_lines);
  m.cols = static_cast<int>(count.last_count);
  Labels labels;
  if (!read_values(file.reader, count, &m, &labels, &why)) {
    rep.error = shown + ": " + (why.empty() ? "cannot be read: " + std::string(std::strerror(errno)) : why);
    return rep;
  }
  if (m.values.size() != static_cast<std::size_t>(count.data_lines * count.last_count) ||
      !detail::same_file_state(file.fd.get(), file.st)) {
    rep.error = shown + " changed while being read";
    return rep;
  }
  if (!take_labels(labels, &m, &why)) {
    rep.error = shown + ": " + why;
    return rep;
  }
  *out = std::move(m);
  rep.ok = true;
  return rep;
}

}  // namespace zor_feedback
