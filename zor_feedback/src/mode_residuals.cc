// The residual per mode of a step: the orbit error in the singular vectors
// of each plane's solve.
#include <algorithm>
#include <armadillo>
#include <cmath>
#include <string>
#include <vector>

#include "correction_state.h"

namespace zor_feedback {
namespace detail {
namespace {

// The monitors and correctors of plane `k` the step solved with (those
// steered back are not in its solve).
void plane_sets(const Correction::State& s, const Step& st, int k, std::vector<int>* monitors,
                std::vector<int>* correctors) {
  const LabelledMatrix& m = s.matrix;
  for (const int i : st.monitors_used)
    if (static_cast<int>(m.monitor_planes[static_cast<std::size_t>(i)]) == k) monitors->push_back(i);
  for (const int j : st.correctors_used) {
    const bool steered = std::binary_search(st.steered.begin(), st.steered.end(), j);
    if (!steered && static_cast<int>(m.corrector_planes[static_cast<std::size_t>(j)]) == k)
      correctors->push_back(j);
  }
}

// U^T of the weighted sub-matrix, each vector's first element of at least
// half its largest magnitude positive: the sign LAPACK picks is arbitrary, a
// fixed one makes the values comparable. (The largest element itself is not
// used: a symmetric ring has vectors with two of equal size, of either sign.)
}  // namespace

bool make_basis(const LabelledMatrix& m, const std::vector<double>& weights, const std::vector<int>& monitors,
                const std::vector<int>& correctors, ModeBasis* out) {
  const std::vector<double> a = weighted_sub_matrix(m, weights, monitors, correctors);
  const arma::mat A = arma::mat(a.data(), correctors.size(), monitors.size()).t();
  arma::mat U, V;
  arma::vec S;
  if (!arma::svd_econ(U, S, V, A, "left")) return false;
  for (arma::uword c = 0; c < U.n_cols; ++c) {
    const double half = 0.5 * arma::abs(U.col(c)).max();
    arma::uword first = 0;
    while (std::fabs(U(first, c)) < half) ++first;
    if (U(first, c) < 0) U.col(c) *= -1.0;
  }
  // U column-major is U^T row-major.
  out->rows = static_cast<int>(U.n_cols);
  out->ut.assign(U.memptr(), U.memptr() + U.n_elem);
  out->monitors = monitors;
  out->correctors = correctors;
  return true;
}

}  // namespace detail

ModeResiduals Correction::mode_residuals(const Step& step, const std::vector<double>& orbit) {
  State& s = *state_;
  ModeResiduals out;
  if (!step.ok)
    out.error = "the step was refused: " + step.error;
  else if (step.generation != s.generation)
    out.error = "the step was computed before a later change of the configuration";
  else if (orbit.size() != static_cast<std::size_t>(s.matrix.rows))
    out.error = "the orbit holds " + std::to_string(orbit.size()) + " values, the matrix " +
                std::to_string(s.matrix.rows) + " monitors";
  if (!out.error.empty()) return out;
  for (int k = 0; k < 2; ++k) {
    std::vector<int> monitors, correctors;
    detail::plane_sets(s, step, k, &monitors, &correctors);
    if (monitors.empty() || correctors.empty() || step.modes[k] <= 0) continue;
    detail::ModeBasis& b = s.mode_basis[k];
    if (b.rows == 0 || b.monitors != monitors || b.correctors != correctors)
      if (!detail::make_basis(s.matrix, s.weights, monitors, correctors, &b)) {
        b = detail::ModeBasis{};
        out.error = std::string("plane ") + plane_name(static_cast<Plane>(k)) + ": the SVD did not converge";
        out.plane[0].clear();
        return out;
      }
    const int modes = std::min(step.modes[k], b.rows);
    const std::size_t n = monitors.size();
    for (int r = 0; r < modes; ++r) {
      double sum = 0.0;
      for (std::size_t q = 0; q < n; ++q) {
        const auto i = static_cast<std::size_t>(monitors[q]);
        const double w = s.weights.empty() ? 1.0 : s.weights[i];
        const double e = orbit[i] - (s.reference.empty() ? 0.0 : s.reference[i]);
        sum += b.ut[static_cast<std::size_t>(r) * n + q] * w * e;
      }
      out.plane[k].push_back(sum);
    }
  }
  out.ok = true;
  return out;
}

}  // namespace zor_feedback
