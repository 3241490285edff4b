// matrix_load.h - loading a response-matrix file of any format (labelled_matrix.h's
// list: text, .npy, .mtx, each optionally .gz) into a QTEV_ResponseMatrix of
// the file's own shape, refusing what would load differently than it looks.
// The one rule that the tool, the Python module and new servers share.
#ifndef ZOR_FEEDBACK_MATRIX_LOAD_H
#define ZOR_FEEDBACK_MATRIX_LOAD_H

#include <functional>
#include <string>
#include <vector>

#include "zor_feedback/export.h"
#include "zor_feedback/zor_feedback.h"

namespace zor_feedback {

// What one load_matrix_file did.
struct MatrixLoad {
  bool ok = false;           // the matrix was made and filled
  bool cannot_open = false;  // refused because the file cannot be opened or read
  std::string error;         // why not: one line that names the file
  int rows = 0, cols = 0;    // the file's shape, once known
  // What load_file logged as "WARNING: ..." for a text file (see LoadReport).
  std::vector<std::string> warnings;
};

// Makes the matrix through `make(rows, cols)` (the caller constructs it with
// its property name and location; `make` may not return null) and fills it
// from `path`. A text file is counted as load_file counts it and loaded by
// load_report; it is refused without data lines, with a last data line
// without numbers, and when misread() says it would load differently than it
// looks. Other formats are read by read_labelled_matrix. Every format is
// refused when a value lies beyond the float range. On a refusal `make` has
// not been called, or the matrix it returned is to be discarded.
ZOR_FEEDBACK_API MatrixLoad load_matrix_file(const char* path,
                                             const std::function<QTEV_ResponseMatrix*(int, int)>& make);

}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_MATRIX_LOAD_H
