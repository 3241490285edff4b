// labelled_matrix.h - a response matrix with the names and planes of its
// monitors and correctors, read from and written to the loader's text format.
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
};

// Why `m` is not a consistent labelled matrix (sizes of the values, names and
// planes; empty or blank-containing names, a name twice in one plane;
// non-finite values);
// empty when it is.
ZOR_FEEDBACK_API std::string check_labelled_matrix(const LabelledMatrix& m);

// Reads `path` by load_file's counting pass and its header lines into *out.
// Refused, *out unchanged: a file that cannot be opened or read, no data, rows
// of unequal length, values that end at a separator, a NaN, an infinity or
// other text (the loader would read such a row differently than it looks), a
// label line whose count does not match the matrix, an unknown plane, a
// name twice in one plane, a file that changes while it is read. A name may
// stand once in plane x and once in plane y.
ZOR_FEEDBACK_API LabelledReport read_labelled_matrix(const char* path, LabelledMatrix* out);

// Writes `m` in the labelled format ("%.9g", which reads back into the same
// float), with `comment` lines first when given. Refused when `m` is not
// consistent, a comment line holds a line break, or the file cannot be written.
ZOR_FEEDBACK_API LabelledReport write_labelled_matrix(const char* path, const LabelledMatrix& m,
                                                      const std::vector<std::string>& comment = {});

}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_LABELLED_MATRIX_H
