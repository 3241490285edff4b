// The inverse the loop's step applies, assembled into the served n x m
// matrix, and served through a re-inversion's candidate.
#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "loop_core.h"

namespace zor_feedback {
namespace server {

namespace {

using zor_feedback::Plane;

// The monitors (or correctors) of `plane` that are enabled.
std::vector<int> in_use(const std::vector<Plane>& planes, const std::vector<bool>& on, Plane plane) {
  std::vector<int> out;
  for (std::size_t i = 0; i < planes.size(); ++i)
    if (on[i] && planes[i] == plane) out.push_back(static_cast<int>(i));
  return out;
}

// One plane into `out`: its inverse at the plane's columns x rows, its report.
bool add_plane(const zor_feedback::Correction& c, const zor_feedback::LabelledMatrix& m, Plane plane,
               LoopInverse* out) {
  const std::vector<int> cols = in_use(m.corrector_planes, c.corrector_enabled(), plane);
  if (cols.empty()) return true;  // the step leaves this plane alone
  const std::vector<int> rows = in_use(m.monitor_planes, c.monitor_enabled(), plane);
  if (rows.empty()) return true;  // every monitor masked: the library stops this plane only
  const std::string name = std::string("plane ") + zor_feedback::plane_name(plane);
  const zor_feedback::PlaneSettings& p = c.plane(plane);
  if (rows.size() < static_cast<std::size_t>(std::max(1, p.cut.filter.keep()))) {
    out->report.error = name + ": " + std::to_string(rows.size()) +
                        " monitors in use, the step needs at least " +
                        std::to_string(std::max(1, p.cut.filter.keep()));
    return false;
  }
  std::vector<double> a;
  a.reserve(rows.size() * cols.size());
  for (const int i : rows)
    for (const int j : cols)
      a.push_back(m.values[static_cast<std::size_t>(i) * static_cast<std::size_t>(m.cols) +
                           static_cast<std::size_t>(j)]);
  std::vector<double> inv;
  const zor_feedback::SvdReport r = zor_feedback::pseudo_inverse(a.data(), static_cast<int>(rows.size()),
                                                                 static_cast<int>(cols.size()), p.cut, &inv);
  if (!r.ok) {
    out->report.error = name + ": " + r.error;
    return false;
  }
  for (std::size_t b = 0; b < cols.size(); ++b)
    for (std::size_t k = 0; k < rows.size(); ++k)
      out->values[static_cast<std::size_t>(cols[b]) * static_cast<std::size_t>(m.rows) +
                  static_cast<std::size_t>(rows[k])] = inv[b * rows.size() + k];
  const int k = static_cast<int>(plane);
  out->planes[k] = r;
  out->report.used += r.used;
  out->report.singular_values.insert(out->report.singular_values.end(), r.singular_values.begin(),
                                     r.singular_values.end());
  for (const std::string& w : r.warnings) out->report.warnings.push_back(name + ": " + w);
  return true;
}

// The one value of `field` over the planes in use; NaN when they differ.
double common(const LoopInverse& inv, const std::function<double(const zor_feedback::SvdReport&)>& field) {
  double v = NAN;
  bool first = true;
  for (const zor_feedback::SvdReport& r : inv.planes) {
    if (!r.ok) continue;
    if (!first && field(r) != v) return NAN;
    v = field(r);
    first = false;
  }
  return v;
}

}  // namespace

LoopInverse loop_inverse(const zor_feedback::Correction& c, const zor_feedback::LabelledMatrix& m) {
  LoopInverse out;
  zor_feedback::SvdReport& r = out.report;
  out.values.assign(static_cast<std::size_t>(m.rows) * static_cast<std::size_t>(m.cols), 0.0);
  for (const Plane plane : {Plane::x, Plane::y})
    if (!add_plane(c, m, plane, &out)) return out;
  r.inversion = zor_feedback::Inversion::standard;
  r.method = c.plane(Plane::x).cut.method;
  r.rows = m.rows;
  r.cols = m.cols;
  r.rcond = common(out, [](const zor_feedback::SvdReport& p) { return p.rcond; });
  r.keep = static_cast<int>(common(out, [](const zor_feedback::SvdReport& p) { return p.keep; }));
  std::vector<double>& s = r.singular_values;
  std::sort(s.begin(), s.end(), std::greater<double>());
  r.condition_number = s.empty() || s.back() == 0.0 ? HUGE_VAL : s.front() / s.back();
  for (const double v : out.values)
    if (!(std::fabs(v) <= std::numeric_limits<float>::max())) {
      r.error = "ERROR: the loop's inverse holds elements that are no finite float";
      return out;
    }
  if (r.used == 0) {
    r.error = "ERROR: the loop's inverse is all zero (no corrector in use)";
    return out;
  }
  r.ok = true;
  return out;
}

std::string loop_inverse_text(const LoopInverse& inv) {
  std::string s;
  for (const Plane plane : {Plane::x, Plane::y}) {
    const zor_feedback::SvdReport& r = inv.planes[static_cast<int>(plane)];
    if (!r.ok) continue;
    char text[120];
    if (r.filter.is_tikhonov())
      std::snprintf(text, sizeof text, "plane %s %d of %d (%s, alpha %.3e)", zor_feedback::plane_name(plane),
                    r.used, static_cast<int>(r.singular_values.size()),
                    zor_feedback::to_string(r.filter).c_str(), r.alpha);
    else if (r.keep > 0)
      std::snprintf(text, sizeof text, "plane %s %d of %d (keep %d)", zor_feedback::plane_name(plane), r.used,
                    static_cast<int>(r.singular_values.size()), r.keep);
    else
      std::snprintf(text, sizeof text, "plane %s %d of %d (rcond %.3e)", zor_feedback::plane_name(plane),
                    r.used, static_cast<int>(r.singular_values.size()), r.rcond);
    s += (s.empty() ? "" : ", ") + std::string(text);
  }
  return s;
}

void serve_in(const LoopInverse& inv, sim::FeedbackSimulation::Candidate& c) {
  const zor_feedback::SvdReport& r = inv.report;
  std::size_t at = 0;
  for (int j = 0; j < r.cols; ++j)
    for (int i = 0; i < r.rows; ++i)
      c.inverse.set_value(static_cast<float>(inv.values[at++]), j, i, -1, -1, -1, -1);
  const int n = static_cast<int>(r.singular_values.size());
  c.spectrum.set_length(n);
  for (int k = 0; k < n; ++k)
    c.spectrum.fill_spectrum(k, static_cast<float>(r.singular_values[static_cast<std::size_t>(k)]));
  c.report = r;
}

}  // namespace server
}  // namespace zor_feedback
