// label_lines.h - the "# key: ..." lines that name a matrix's monitors,
// correctors, planes and units, shared by the text and Matrix Market readers.
// Private to the library; not installed.
#ifndef ZOR_FEEDBACK_LABEL_LINES_H
#define ZOR_FEEDBACK_LABEL_LINES_H

#include <string>
#include <vector>

#include "zor_feedback/labelled_matrix.h"

namespace zor_feedback {
namespace detail {

constexpr int kLabelKeys = 5;  // monitors, correctors, monitor_planes, corrector_planes, units

struct Labels {
  std::string text[kLabelKeys];
  long long line[kLabelKeys] = {};  // where each key stood, 0: absent
};

// Takes a comment line (its first character is the comment mark) as a label
// line when it reads "<mark> key: rest". Returns false with *error on a second
// line of the same key; a comment of any other kind is left alone.
bool take_label_line(const std::string& line, long long line_no, Labels* labels, std::string* error);

// Sets the names, planes and units of *m (rows and cols set) from the label
// lines, defaults where one is missing, and checks the result.
bool apply_labels(const Labels& labels, LabelledMatrix* m, std::string* error);

// The label lines of `m`, each starting with `mark` ("#" or "%"): names and
// planes always, units when there are any.
std::string label_lines(const LabelledMatrix& m, const char* mark);

// Whether `m` carries more than the defaults (index names, plane x, no units).
bool has_labels(const LabelledMatrix& m);

}  // namespace detail
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_LABEL_LINES_H
