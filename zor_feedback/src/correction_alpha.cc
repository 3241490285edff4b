// The Tikhonov strength of a plane chosen once, from one orbit, by the
// library's own rules, and fixed: the cached inverse then serves every orbit.
#include <cmath>
#include <string>
#include <vector>

#include "correction_state.h"

namespace zor_feedback {

namespace {

std::vector<int> in_use(const std::vector<Plane>& planes, const std::vector<bool>& on, Plane plane) {
  std::vector<int> out;
  for (std::size_t i = 0; i < planes.size(); ++i)
    if (on[i] && planes[i] == plane) out.push_back(static_cast<int>(i));
  return out;
}

// Why `automatic` cannot choose a strength, or `orbit` cannot be chosen
// from; empty when both can.
std::string request_problem(const Correction::State& s, const Filter& automatic,
                            const std::vector<double>& orbit, const std::vector<int>& monitors,
                            const std::vector<int>& correctors) {
  if (automatic.kind() != Filter::Kind::tikhonov_auto)
    return to_string(automatic) +
           " is no rule that chooses a strength (tikhonov lcurve, tikhonov gcv, tikhonov discrepancy NOISE)";
  if (std::string why = filter_problem(automatic, 0, 0); !why.empty()) return why;
  if (orbit.size() != static_cast<std::size_t>(s.matrix.rows))
    return "the orbit holds " + std::to_string(orbit.size()) + " values, the matrix " +
           std::to_string(s.matrix.rows) + " monitors";
  if (correctors.empty()) return "no corrector in use";
  if (monitors.empty()) return "no monitor in use";
  // An unread monitor would choose for another matrix than the step's.
  for (const int i : monitors)
    if (!std::isfinite(orbit[static_cast<std::size_t>(i)]))
      return "monitor '" + s.matrix.monitors[static_cast<std::size_t>(i)] +
             "' reads no number: the strength is chosen from an orbit that every monitor in use reads";
  return {};
}

// W (orbit - reference) at `monitors`, in their order.
std::vector<double> weighted_error(const Correction::State& s, const std::vector<double>& orbit,
                                   const std::vector<int>& monitors) {
  std::vector<double> b;
  b.reserve(monitors.size());
  for (const int i : monitors) {
    const auto u = static_cast<std::size_t>(i);
    const double w = s.weights.empty() ? 1.0 : s.weights[u];
    b.push_back(w * (orbit[u] - (s.reference.empty() ? 0.0 : s.reference[u])));
  }
  return b;
}

}  // namespace

TikhonovChoice Correction::choose_tikhonov(Plane plane, const Filter& automatic,
                                           const std::vector<double>& orbit) {
  const State& s = *state_;
  TikhonovChoice out;
  out.rule = automatic.rule();
  const std::string name = std::string("plane ") + plane_name(plane) + ": ";
  const std::vector<int> monitors = in_use(s.matrix.monitor_planes, s.monitor_on, plane);
  const std::vector<int> correctors = in_use(s.matrix.corrector_planes, s.corrector_on, plane);
  if (std::string why = request_problem(s, automatic, orbit, monitors, correctors); !why.empty()) {
    out.error = name + why;
    return out;
  }
  // The same inversion the tool's automatic filter makes: one rule in the library.
  StandardOptions options(automatic);
  options.method = s.planes[static_cast<int>(plane)].cut.method;
  options.orbit = weighted_error(s, orbit, monitors);
  const std::vector<double> a = detail::weighted_sub_matrix(s.matrix, s.weights, monitors, correctors);
  std::vector<double> inverse;
  const SvdReport r = pseudo_inverse(a.data(), static_cast<int>(monitors.size()),
                                     static_cast<int>(correctors.size()), options, &inverse);
  if (!r.ok) {
    const std::string tag = "ERROR: ";
    out.error = name + (r.error.compare(0, tag.size(), tag) == 0 ? r.error.substr(tag.size()) : r.error);
    return out;
  }
  out.alpha = r.alpha;
  out.relative = r.alpha / r.singular_values.front();
  out.filter = Filter::tikhonov(out.relative);
  out.monitors = static_cast<int>(monitors.size());
  out.correctors = static_cast<int>(correctors.size());
  out.warnings = r.warnings;
  PlaneSettings fixed = s.planes[static_cast<int>(plane)];
  fixed.cut.filter = out.filter;
  if (const Outcome o = set_plane(plane, fixed); !o.ok) {
    out.error = name + "the chosen " + to_string(out.filter) + " is refused: " + o.error;
    return out;
  }
  out.ok = true;
  return out;
}

}  // namespace zor_feedback
