// A matrix file by its name: .npy, .mtx or the labelled text, each of them
// plain or gzip-compressed (.gz).
#include <string>

#include "file_contents.h"
#include "label_lines.h"
#include "matrix_formats.h"
#include "zor_feedback/labelled_matrix.h"

namespace zor_feedback {
namespace {

std::string shown_path(const char* path) {
  return std::string("'") + (path != nullptr ? path : "(null)") + "'";
}

LabelledReport from_npy(const std::string& bytes, const std::string& shown, LabelledMatrix* out) {
  LabelledReport rep;
  detail::NpyArray a;
  if (!detail::parse_npy(bytes, shown, 2, &a, &rep.error)) return rep;
  LabelledMatrix m;
  m.rows = static_cast<int>(a.rows);
  m.cols = static_cast<int>(a.cols);
  m.values = std::move(a.values);
  detail::Labels none;
  std::string why;
  if (!detail::apply_labels(none, &m, &why)) {
    rep.error = shown + ": " + why;
    return rep;
  }
  *out = std::move(m);
  rep.ok = true;
  return rep;
}

}  // namespace

LabelledReport read_labelled_matrix(const char* path, LabelledMatrix* out) {
  LabelledReport rep;
  if (out == nullptr) {
    rep.error = "read_labelled_matrix: no output";
    return rep;
  }
  const std::string name = path != nullptr ? path : "";
  const bool npy = detail::has_format(name, ".npy"), mtx = detail::has_format(name, ".mtx");
  if (!npy && !mtx && !detail::is_gzip_name(name)) return detail::read_labelled_text(path, out);
  std::string bytes;
  if (!detail::read_file_contents(path, &bytes, &rep.error)) return rep;
  const std::string shown = shown_path(path);
  if (npy) return from_npy(bytes, shown, out);
  if (mtx) return detail::parse_mtx(bytes, shown, out);
  return detail::parse_labelled_text(bytes, shown, out);
}

LabelledReport write_labelled_matrix(const char* path, const LabelledMatrix& m,
                                     const std::vector<std::string>& comment) {
  LabelledReport rep;
  const std::string shown = shown_path(path);
  rep.error = check_labelled_matrix(m);
  for (const std::string& c : comment)
    if (rep.error.empty() && c.find('\n') != std::string::npos)
      rep.error = "a comment line holds a line break";
  if (!rep.error.empty() || path == nullptr) {
    rep.error = "nothing written to " + shown + ": " + (path == nullptr ? "no file name" : rep.error);
    return rep;
  }
  const bool npy = detail::has_format(path, ".npy"), mtx = detail::has_format(path, ".mtx");
  const std::string data = npy   ? detail::npy_bytes(m)
                           : mtx ? detail::mtx_text(m, comment)
                                 : detail::labelled_text(m, comment);
  if (!detail::write_file_contents(path, data, &rep.error)) return rep;
  // A .npy holds the values only; the caller hears what stayed behind.
  if (npy && detail::has_labels(m))
    rep.warnings.push_back(
        shown +
        ": a .npy file holds the values only; the names, planes and units were not written "
        "(a .mtx or the text format keeps them)");
  rep.ok = true;
  return rep;
}

}  // namespace zor_feedback
