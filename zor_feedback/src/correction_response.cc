// The orbit response of a step, R delta, through the non-zero runs of R: in
// double by BLAS, or from float copies of the runs on multiply's kernel.
#include <gsl/gsl_cblas.h>

#include <algorithm>
#include <vector>

#include "correction_state.h"
#include "fused_product.h"

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

std::vector<float> narrow_blocks(const LabelledMatrix& m, const std::vector<RowBlock>& blocks) {
  std::vector<float> out;
  const auto n = static_cast<std::size_t>(m.cols);
  for (const RowBlock& b : blocks)
    for (int i = b.first_row; i < b.first_row + b.rows; ++i) {
      const double* row = m.values.data() + static_cast<std::size_t>(i) * n;
      for (int j = b.first_col; j < b.first_col + b.cols; ++j)
        out.push_back(static_cast<float>(row[static_cast<std::size_t>(j)]));
    }
  return out;
}

void add_response_fused(const std::vector<RowBlock>& blocks, const std::vector<float>& narrow,
                        const std::vector<float>& delta, const std::vector<double>& base,
                        std::vector<double>* sums, std::vector<double>* out) {
  out->resize(base.size());
  const float* a = narrow.data();
  for (const RowBlock& b : blocks) {  // they cover every row, in order
    const auto rows = static_cast<std::size_t>(b.rows), cols = static_cast<std::size_t>(b.cols);
    const double* from = base.data() + b.first_row;
    double* o = out->data() + b.first_row;
    if (cols == 0) {
      std::copy(from, from + rows, o);
      continue;
    }
    sums->resize(rows);
    fused_gemv(a, delta.data() + b.first_col, rows, cols, sums->data());
    for (std::size_t r = 0; r < rows; ++r) o[r] = from[r] + (*sums)[r];
    a += rows * cols;
  }
}

}  // namespace detail
}  // namespace zor_feedback
