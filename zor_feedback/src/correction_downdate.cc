// A plane inverse for one monitor or one corrector fewer, from a held one by
// a rank-one downdate: O(m n) where a decomposition is O(m n^2).
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <string>
#include <vector>

#include "correction_state.h"
#include "pinv_downdate.h"

namespace zor_feedback {
namespace detail {

namespace {

// The position of the one element of `longer` that `shorter` lacks, -1 when
// they differ otherwise.
int dropped(const std::vector<int>& longer, const std::vector<int>& shorter) {
  if (longer.size() != shorter.size() + 1) return -1;
  const auto at = std::mismatch(shorter.begin(), shorter.end(), longer.begin()).first - shorter.begin();
  if (!std::equal(shorter.begin() + at, shorter.end(), longer.begin() + at + 1)) return -1;
  return static_cast<int>(at);
}

// The ratio min(S) / max(S) a rows x cols matrix must stay above for `cut`
// to keep all its modes with no warning; -1 when `cut` drops one anyway.
double ratio_needed(const Filter& cut, int rows, int cols) {
  const double accuracy = default_rcond(rows, cols);
  switch (cut.kind()) {
    case Filter::Kind::default_cut:
      return accuracy;
    case Filter::Kind::rcond:
      return std::max(cut.value(), accuracy);
    case Filter::Kind::keep:
      return cut.keep() == std::min(rows, cols) ? accuracy : -1.0;
    default:
      return -1.0;  // Tikhonov weighs every mode: the downdate is of the plain inverse
  }
}

}  // namespace

bool downdate_inverse(const PlaneInverse& from, const LabelledMatrix& m, const std::vector<double>& weights,
                      const std::vector<int>& monitors, const std::vector<int>& correctors,
                      const StandardOptions& cut, PlaneInverse* out) {
  if (!(from.s_ratio > 0.0) || from.downdates >= PlaneInverse::kMaxDowndates) return false;
  const int rows = static_cast<int>(monitors.size()), cols = static_cast<int>(correctors.size());
  const double needed = ratio_needed(cut.filter, rows, cols);
  if (needed < 0.0 || rows < cols) return false;
  std::string why;
  double ratio = from.s_ratio;  // removing a column cannot lower min(S) / max(S)
  if (from.correctors == correctors) {
    const int i = dropped(from.monitors, monitors);
    if (i < 0) return false;
    const std::vector<double> a = weighted_sub_matrix(m, weights, from.monitors, correctors);
    if (!pinv_without_row(a, from.inverse, rows + 1, cols, i, from.s_ratio, needed, &out->inverse, &why))
      return false;
    // min(S) falls by at most sqrt(1 - h_i), h_i the row's leverage; max(S) cannot rise.
    double h = 0.0;
    for (int c = 0; c < cols; ++c)
      h += a[static_cast<std::size_t>(i) * static_cast<std::size_t>(cols) + static_cast<std::size_t>(c)] *
           from.inverse[static_cast<std::size_t>(c) * static_cast<std::size_t>(rows + 1) +
                        static_cast<std::size_t>(i)];
    ratio *= std::sqrt(std::max(0.0, 1.0 - h));
  } else if (from.monitors == monitors) {
    const int j = dropped(from.correctors, correctors);
    if (j < 0 || !(ratio > needed)) return false;
    if (!pinv_without_column(from.inverse, rows, cols + 1, j, &out->inverse, &why)) return false;
  } else {
    return false;
  }
  out->monitors = monitors;
  out->correctors = correctors;
  out->modes = cols;
  out->warnings.clear();
  out->s_ratio = ratio;
  out->downdates = from.downdates + 1;
  return true;
}

}  // namespace detail
}  // namespace zor_feedback
