// A matrix file of any format into a new matrix of its shape, refused where it
// would be read differently than it looks.
#include <cmath>
#include <string>

#include "file_contents.h"
#include "zor_feedback/labelled_matrix.h"
#include "zor_feedback/matrix_load.h"

namespace zor_feedback {
namespace {

// Why a text file of this shape is refused; empty when it is not.
std::string text_refusal(const std::string& shown, const MatrixFileShape& shape) {
  if (shape.rows == 0) return shown + " has no data lines (every line starts with '#')";
  // A last line of words (a heading without '#') says more as a count of 0.
  if (shape.cols == 0 && shape.separator.lines == 0 && shape.not_finite.lines == 0)
    return shown + ": the last data line (line " + std::to_string(shape.last_data_line) +
           ") holds no numbers, so the number of columns is 0; remove empty lines at the end and mark "
           "headings with '#'";
  const std::string why = misread(shape);
  return why.empty() ? why : shown + " " + why;
}

MatrixLoad load_text(const char* path, const std::string& shown,
                     const std::function<QTEV_ResponseMatrix*(int, int)>& make) {
  MatrixLoad out;
  const MatrixFileShape shape = matrix_file_shape(path);
  if (!shape.ok) {
    out.cannot_open = true;
    out.error = shape.error;
    return out;
  }
  out.rows = shape.rows;
  out.cols = shape.cols;
  out.error = text_refusal(shown, shape);
  if (!out.error.empty()) return out;
  QTEV_ResponseMatrix& R = *make(shape.rows, shape.cols);
  const LoadReport load = R.load_report(path);
  if (!load.ok) {
    out.error = "cannot load " + shown + " as a " + std::to_string(shape.rows) + " x " +
                std::to_string(shape.cols) + " response matrix: " + load.error;
    return out;
  }
  // A magnitude beyond the float range was stored as an infinity.
  for (int i = 0; i < shape.rows; ++i)
    for (int j = 0; j < shape.cols; ++j)
      if (!std::isfinite(R.value(i, j, -1, -1, -1, -1))) {
        out.error = shown + ": element (" + std::to_string(i) + ", " + std::to_string(j) +
                    ") lies beyond the float range of the matrix";
        return out;
      }
  out.warnings = load.warnings;
  out.ok = true;
  return out;
}

}  // namespace

MatrixLoad load_matrix_file(const char* path, const std::function<QTEV_ResponseMatrix*(int, int)>& make) {
  const std::string name = path != nullptr ? path : "";
  const std::string shown = "'" + (path != nullptr ? name : std::string("(null)")) + "'";
  if (!detail::has_format(name, ".npy") && !detail::has_format(name, ".mtx") && !detail::is_gzip_name(name))
    return load_text(path, shown, make);
  MatrixLoad out;
  LabelledMatrix m;
  const LabelledReport r = read_labelled_matrix(path, &m);
  if (!r.ok) {
    out.cannot_open = r.error.rfind("cannot open", 0) == 0 || r.error.rfind("cannot read", 0) == 0;
    out.error = r.error;
    return out;
  }
  out.rows = m.rows;
  out.cols = m.cols;
  QTEV_ResponseMatrix& R = *make(m.rows, m.cols);
  const auto cols = static_cast<std::size_t>(m.cols);
  for (std::size_t k = 0; k < m.values.size(); ++k)
    R.set_value(static_cast<float>(m.values[k]), static_cast<int>(k / cols), static_cast<int>(k % cols), -1,
                -1, -1, -1);
  out.ok = true;
  return out;
}

}  // namespace zor_feedback
