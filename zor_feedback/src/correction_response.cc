// The orbit response of a step, R delta, through the non-zero runs of R.
#include <gsl/gsl_cblas.h>

#include <vector>

#include "correction_state.h"

namespace zor_feedback {
namespace detail {

std::vector<RowBlock> row_blocks(const LabelledMatrix& m) {
  std::vector<RowBlock> blocks;
  const auto n = static_cast<std::size_t>(m.cols);
  for (int i = 0; i < m.rows; ++i) {
    const double* row = m.values.data() + static_cast<std::size_t>(i) * n;
    int lo = 0, hi = m.cols;
    while (lo < hi && row[lo] == 0.0) ++lo;
    while (hi > lo && row[hi - 1] == 0.0) --hi;
    if (!blocks.empty() && blocks.back().first_col == lo && blocks.back().cols == hi - lo)
      ++blocks.back().rows;
    else
      blocks.push_back({i, 1, lo, hi - lo});
  }
  return blocks;
}

void add_response(const LabelledMatrix& m, const std::vector<RowBlock>& blocks,
                  const std::vector<double>& delta, std::vector<double>* out) {
  const auto n = static_cast<std::size_t>(m.cols);
  for (const RowBlock& b : blocks) {
    if (b.cols == 0) continue;
    const double* a =
        m.values.data() + static_cast<std::size_t>(b.first_row) * n + static_cast<std::size_t>(b.first_col);
    cblas_dgemv(CblasRowMajor, CblasNoTrans, b.rows, b.cols, 1.0, a, m.cols, delta.data() + b.first_col, 1,
                1.0, out->data() + b.first_row, 1);
  }
}

}  // namespace detail
}  // namespace zor_feedback
