// pinv_downdate.h - the pseudo-inverse of a matrix of full column rank after
// one row or one column is taken out, from the matrix and its pseudo-inverse
// in O(m n), instead of a new decomposition. Private to the library; not
// installed.
#ifndef ZOR_FEEDBACK_PINV_DOWNDATE_H
#define ZOR_FEEDBACK_PINV_DOWNDATE_H

#include <string>
#include <vector>

namespace zor_feedback {
namespace detail {

// A (m x n, row-major) of full column rank (m >= n), X = pinv(A) (n x m,
// row-major), s_ratio = min(S) / max(S) of A. Row i out: X' (n x (m - 1))
// is pinv of A without row i, with
//   X'[:, k] = X[:, k] + X[:, i] h_k / (1 - h_i),  h = row i of A X.
// Refused (false, *error, *out unchanged) when the row carries the rank:
// 1 - h_i is not above `min_lever` or the new matrix could lose a mode to
// `rcond` (its smallest singular value is at least sqrt(1 - h_i) times A's).
bool pinv_without_row(const std::vector<double>& A, const std::vector<double>& X, int m, int n, int i,
                      double s_ratio, double rcond, std::vector<double>* out, std::string* error);

// Column j out: X'' ((n - 1) x m) is pinv of A without column j, with
//   X''[r, :] = X[r, :] - (p_rj / p_jj) X[j, :],  p = X X^T = (A^T A)^-1.
// A's modes all stay (the smallest singular value can only grow).
bool pinv_without_column(const std::vector<double>& X, int m, int n, int j, std::vector<double>* out,
                         std::string* error);

}  // namespace detail
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_PINV_DOWNDATE_H
