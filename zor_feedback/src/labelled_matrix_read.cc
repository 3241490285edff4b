// Reading a labelled response matrix: the loader's counting pass decides the
// shape, a second pass takes the values and the label lines.
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "label_lines.h"
#include "matrix_file.h"
#include "matrix_formats.h"
#include "zor_feedback/labelled_matrix.h"

namespace zor_feedback {
namespace {

using detail::FileCount;

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
bool read_values(detail::LineReader& reader, const FileCount& c, LabelledMatrix* m, detail::Labels* labels,
                 std::string* error) {
  reader.rewind();
  m->values.clear();
  m->values.reserve(static_cast<std::size_t>(c.data_lines * c.last_count));
  std::string line;
  long long line_no = 0;
  while (reader.next(line)) {
    ++line_no;
    if (!detail::is_comment(line)) {
      detail::for_each_value(line, [m](double v) { m->values.push_back(v); });
      continue;
    }
    if (!detail::take_label_line(line, line_no, labels, error)) return false;
  }
  return !reader.failed();
}

// The two passes over a counted text; `unchanged` says whether the file is
// still as counted.
template <class Unchanged>
LabelledReport read_counted(detail::LineReader& reader, const FileCount& count, const std::string& shown,
                            LabelledMatrix* out, Unchanged&& unchanged) {
  LabelledReport rep;
  std::string why;
  if (const std::string p = shape_problem(count); !p.empty()) {
    rep.error = shown + ": " + p;
    return rep;
  }
  LabelledMatrix m;
  m.rows = static_cast<int>(count.data_lines);
  m.cols = static_cast<int>(count.last_count);
  detail::Labels labels;
  if (!read_values(reader, count, &m, &labels, &why)) {
    rep.error = shown + ": " + (why.empty() ? "cannot be read: " + std::string(std::strerror(errno)) : why);
    return rep;
  }
  if (m.values.size() != static_cast<std::size_t>(count.data_lines * count.last_count) || !unchanged()) {
    rep.error = shown + " changed while being read";
    return rep;
  }
  if (!detail::apply_labels(labels, &m, &why)) {
    rep.error = shown + ": " + why;
    return rep;
  }
  *out = std::move(m);
  rep.ok = true;
  return rep;
}

}  // namespace

namespace detail {

LabelledReport read_labelled_text(const char* path, LabelledMatrix* out) {
  CountedFile file(path);
  if (!file.error.empty()) {
    LabelledReport rep;
    rep.error = std::move(file.error);
    return rep;
  }
  return read_counted(file.reader, file.count, file.shown, out,
                      [&file] { return same_file_state(file.fd.get(), file.st); });
}

LabelledReport parse_labelled_text(const std::string& text, const std::string& shown, LabelledMatrix* out) {
  LineReader reader(&text);
  FileCount count;
  count_file(reader, &count);
  return read_counted(reader, count, shown, out, [] { return true; });
}

}  // namespace detail
}  // namespace zor_feedback
