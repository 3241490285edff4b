// labelled_matrix.h - a response matrix with the names and planes of its
// monitors and correctors, read from and written to a matrix file.
//
// The format goes by the file's name:
//   NAME.npy    NumPy's .npy: a 2-D float64 or float32 array (little-endian, C or
//               Fortran order); no names, planes or units
//   NAME.mtx    Matrix Market: an array, or coordinate entries (unlisted ones 0);
//               real or integer; general, symmetric or skew-symmetric; the label
//               lines below with '%' for '#'
//   any other   the loader's text format with the label lines below
// and each of them may be gzip-compressed, with ".gz" appended to the name
// (at most 64 MiB once decompressed).
//
// The labels are '#' lines, which load_file skips, so a labelled file still
// loads into a QTEV_ResponseMatrix unchanged:
//   # monitors: BPM01 BPM02 ...          one name per row
//   # correctors: CH01 CV01 ...          one name per column
//   # monitor_planes: x x ... y y        x or y per row
//   # corrector_planes: x ... y          x or y per column
//   # units: mm/mrad                     free text
// Every key is optional: names default to the indices 0, 1, ..., planes to x.
// A name is unique per plane: a monitor (corrector) of plane x and one of
// plane y may share it; "NAME:x" and "NAME:y" select one of them where the
// correction takes names.
#ifndef ZOR_FEEDBACK_LABELLED_MATRIX_H
#define ZOR_FEEDBACK_LABELLED_MATRIX_H

#include <string>
#include <vector>

#include "zor_feedback/export.h"

namespace zor_feedback {

enum class Plane { x, y };

// "x" or "y".
ZOR_FEEDBACK_API const char* plane_name(Plane plane);

struct LabelledMatrix {
  int rows = 0;                // monitors
  int cols = 0;                // correctors
  std::vector<double> values;  // rows x cols, row-major
  std::vector<std::string> monitors, correctors;
  std::vector<Plane> monitor_planes, corrector_planes;
  std::string units;
};

// What a read or a write of a labelled matrix did.
struct LabelledReport {
  bool ok = false;    // false: refused, the output unchanged; `error` says why
  std::string error;  // one line
  // Written, but not all of it: what the file could not keep (the labels of
  // a .npy).
  std::vector<std::string> warnings;
};

// Why `m` is not a consistent labelled matrix (sizes of the values, names and
// planes; empty or blank-containing names, a name twice in one plane; values
// that are not finite or lie beyond the float range); empty when it is.
ZOR_FEEDBACK_API std::string check_labelled_matrix(const LabelledMatrix& m);

// Reads `path` into *out, by its name (see above); a text file by load_file's
// counting pass and its label lines.
// Refused, *out unchanged: a file that cannot be opened or read, no data, rows
// of unequal length, values that end at a separator, a NaN, an infinity or
// other text (the loader would read such a row differently than it looks), a
// label line whose count does not match the matrix, an unknown plane, a
// name twice in one plane, a file that changes while it is read, a value
// beyond the float range; a .npy that is not 2-D; a Matrix Market pattern or
// complex matrix, an entry outside the size or given twice; a file beyond
// 64 MiB. A name may stand once in plane x and once in plane y.
ZOR_FEEDBACK_API LabelledReport read_labelled_matrix(const char* path, LabelledMatrix* out);

// Writes `m` in the format its name gives (see above; text and Matrix Market
// with each value's shortest text that reads back as the same double, with
// the labels and the `comment` lines; .npy as float64 with a warning when
// labels are lost).
// Refused, nothing written, when `m` is not consistent (a value beyond the
// float range included) or a comment line holds a line break; refused when
// the file cannot be written.
ZOR_FEEDBACK_API LabelledReport write_labelled_matrix(const char* path, const LabelledMatrix& m,
                                                      const std::vector<std::string>& comment = {});

}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_LABELLED_MATRIX_H
