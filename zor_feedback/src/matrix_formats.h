// matrix_formats.h - one reader and one writer per matrix file format: the
// labelled text, NumPy's .npy and Matrix Market; each may be gzip-compressed.
// read_labelled_matrix and write_labelled_matrix choose among them by the
// file's name. Private to the library; not installed.
#ifndef ZOR_FEEDBACK_MATRIX_FORMATS_H
#define ZOR_FEEDBACK_MATRIX_FORMATS_H

#include <string>
#include <vector>

#include "zor_feedback/labelled_matrix.h"

namespace zor_feedback {
namespace detail {

// The labelled text format from a file (both passes over the file, refused
// when it changes between them) or from memory.
LabelledReport read_labelled_text(const char* path, LabelledMatrix* out);
LabelledReport parse_labelled_text(const std::string& text, const std::string& shown, LabelledMatrix* out);
// The text of `m` with `comment` lines first; `m` checked by the caller.
std::string labelled_text(const LabelledMatrix& m, const std::vector<std::string>& comment);

// An array of a .npy file: float64 or float32, little-endian, C or Fortran
// order, stored row-major here.
struct NpyArray {
  int dims = 0;        // 1 or 2
  long long rows = 0;  // the length of a 1-D array
  long long cols = 1;
  std::vector<double> values;
};
// Reads the bytes of a .npy file. `dims` is the dimension the caller means (2
// for a matrix, 1 for a vector); any other is refused with a text that says
// how to save the array. `shown` names the file in messages.
bool parse_npy(const std::string& bytes, const std::string& shown, int dims, NpyArray* out,
               std::string* error);
// The bytes of a 2-D float64 .npy file of the values of `m`.
std::string npy_bytes(const LabelledMatrix& m);

// A Matrix Market matrix: array or coordinate; real or integer; general,
// symmetric or skew-symmetric. Label lines "% key: ..." as in the text format.
LabelledReport parse_mtx(const std::string& text, const std::string& shown, LabelledMatrix* out);
// The shortest text that reads back as exactly `v`: a written file holds the
// very doubles it was given. (Nine digits of a double can round to a float
// one ulp away from the double's own.)
void append_value(std::string* out, double v);

// A Matrix Market array of `m` (values column by column), its labels
// in "%" comment lines after the header.
std::string mtx_text(const LabelledMatrix& m, const std::vector<std::string>& comment);

}  // namespace detail
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_MATRIX_FORMATS_H
