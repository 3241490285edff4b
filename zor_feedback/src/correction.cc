// Correction: its configuration, each change checked before anything moves.
#include "zor_feedback/correction.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "correction_state.h"

namespace zor_feedback {

const char* limit_policy_name(LimitPolicy policy) {
  switch (policy) {
    case LimitPolicy::clip:
      return "clip";
    case LimitPolicy::split:
      return "split";
    default:
      return "scale";
  }
}

bool parse_limit_policy(const std::string& name, LimitPolicy* policy) {
  for (const LimitPolicy p : {LimitPolicy::scale, LimitPolicy::clip, LimitPolicy::split})
    if (name == limit_policy_name(p)) {
      *policy = p;
      return true;
    }
  return false;
}

const char* step_kernel_name(StepKernel kernel) {
  return kernel == StepKernel::fused_float ? "fused_float" : "exact";
}

bool parse_step_kernel(const std::string& name, StepKernel* kernel) {
  for (const StepKernel k : {StepKernel::exact, StepKernel::fused_float})
    if (name == step_kernel_name(k)) {
      *kernel = k;
      return true;
    }
  return false;
}

std::string gain_problem(double gain) {
  if (!std::isfinite(gain) || gain <= 0.0 || gain >= kMaxGain)
    return "the gain must be a finite number above 0 and below " +
           std::to_string(static_cast<int>(kMaxGain)) + " (from " +
           std::to_string(static_cast<int>(kMaxGain)) + " on the loop diverges)";
  return {};
}

std::string Correction::State::keep_problem(Plane plane, int keep, const std::vector<bool>& mon,
                                            const std::vector<bool>& cor) const {
  if (keep <= 0) return {};
  int m = 0, n = 0;
  for (std::size_t i = 0; i < mon.size(); ++i) m += matrix.monitor_planes[i] == plane && mon[i] ? 1 : 0;
  for (std::size_t j = 0; j < cor.size(); ++j) n += matrix.corrector_planes[j] == plane && cor[j] ? 1 : 0;
  if (m == 0 || n == 0 || keep <= std::min(m, n)) return {};
  return std::string("plane ") + plane_name(plane) + " keeps " + std::to_string(keep) + " singular values, " +
         "but has only " + std::to_string(m) + " monitors and " + std::to_string(n) +
         " correctors in use (at most " + std::to_string(std::min(m, n)) + " values)";
}

namespace {

Outcome done() { return {true, {}}; }
Outcome refuse(std::string why) { return {false, std::move(why)}; }

// The indices `name` stands for: every one of that name, or with ":x" /
// ":y" the one of that plane (an exact name first); empty when none.
std::vector<std::size_t> find(const std::vector<std::string>& names, const std::vector<Plane>& planes,
                              const std::string& name) {
  std::vector<std::size_t> out;
  for (std::size_t k = 0; k < names.size(); ++k)
    if (names[k] == name) out.push_back(k);
  const std::size_t colon = name.rfind(':');
  if (!out.empty() || colon == std::string::npos) return out;
  const std::string base = name.substr(0, colon), plane = name.substr(colon + 1);
  for (std::size_t k = 0; k < names.size(); ++k)
    if (names[k] == base && plane == plane_name(planes[k])) out.push_back(k);
  return out;
}

// Why `v` cannot be one value per monitor (finite, > 0 when `positive`).
std::string per_monitor(const std::vector<double>& v, int rows, bool positive, const char* what) {
  if (v.size() != static_cast<std::size_t>(rows))
    return std::string(what) + ": " + std::to_string(v.size()) + " values for " + std::to_string(rows) +
           " monitors";
  for (const double x : v)
    if (!std::isfinite(x) || (positive && x <= 0.0))
      return std::string(what) + ": every value must be finite" + (positive ? " and above 0" : "");
  return {};
}

// The same for a setting that may also be empty (none).
std::string per_monitor_or_none(const std::vector<double>& v, int rows, bool positive, const char* what) {
  return v.empty() ? std::string() : per_monitor(v, rows, positive, what);
}

}  // namespace

Correction::Correction(D_ringbuf* published, int depth) : state_(std::make_unique<State>()) {
  state_->published = published;
  state_->depth = static_cast<std::size_t>(std::max(1, depth));
}

Correction::~Correction() = default;

Outcome Correction::set_matrix(LabelledMatrix matrix) {
  if (std::string why = check_labelled_matrix(matrix); !why.empty()) return refuse(why);
  State& s = *state_;
  const std::vector<bool> all_m(static_cast<std::size_t>(matrix.rows), true);
  const std::vector<bool> all_c(static_cast<std::size_t>(matrix.cols), true);
  {
    State probe;  // the keep rule, asked of the new matrix
    probe.matrix.monitor_planes = matrix.monitor_planes;
    probe.matrix.corrector_planes = matrix.corrector_planes;
    for (const Plane p : {Plane::x, Plane::y})
      if (std::string why =
              probe.keep_problem(p, s.planes[static_cast<int>(p)].cut.filter.keep(), all_m, all_c);
          !why.empty())
        return refuse("the new matrix: " + why);
  }
  s.rf_name.clear();
  s.rf_column.clear();
  s.applied.clear();
  s.monitor_on.assign(static_cast<std::size_t>(matrix.rows), true);
  s.corrector_on.assign(static_cast<std::size_t>(matrix.cols), true);
  s.limits.assign(static_cast<std::size_t>(matrix.cols), KickLimit{});
  s.weights.clear();
  s.reference.clear();
  s.history.clear();
  s.set_matrix(std::move(matrix));
  return done();
}

const LabelledMatrix& Correction::matrix() const { return state_->matrix; }
const std::vector<bool>& Correction::monitor_enabled() const { return state_->monitor_on; }
const std::vector<bool>& Correction::corrector_enabled() const { return state_->corrector_on; }
const PlaneSettings& Correction::plane(Plane plane) const { return state_->planes[static_cast<int>(plane)]; }
const std::vector<KickLimit>& Correction::limits() const { return state_->limits; }
LimitPolicy Correction::policy() const { return state_->policy; }
const std::vector<double>& Correction::weights() const { return state_->weights; }
const std::vector<double>& Correction::reference() const { return state_->reference; }
const std::string& Correction::rf_name() const { return state_->rf_name; }
const std::vector<HistoryEntry>& Correction::history() const { return state_->history; }

namespace {

Outcome set_enabled(Correction::State& s, bool monitors, const std::string& name, bool enabled) {
  const LabelledMatrix& m = s.matrix;
  const char* what = monitors ? "monitor" : "corrector";
  std::vector<bool>* on = monitors ? &s.monitor_on : &s.corrector_on;
  const std::vector<std::size_t> at =
      find(monitors ? m.monitors : m.correctors, monitors ? m.monitor_planes : m.corrector_planes, name);
  if (at.empty()) return refuse(std::string("no ") + what + " named '" + name + "'");
  std::vector<bool> next = *on;
  for (const std::size_t u : at) next[u] = enabled;
  if (std::count(next.begin(), next.end(), true) == 0)
    return refuse(std::string("'") + name + "' is the last " + what + " in use; it cannot be masked");
  for (const Plane plane : {Plane::x, Plane::y})
    if (std::string why = s.keep_problem(plane, s.planes[static_cast<int>(plane)].cut.filter.keep(),
                                         monitors ? next : s.monitor_on, monitors ? s.corrector_on : next);
        !why.empty())
      return refuse("masking '" + name + "' refused: " + why);
  // The cache is keyed by the sets in use: its inverses stay valid.
  on->swap(next);
  ++s.generation;
  return done();
}

}  // namespace

Outcome Correction::set_monitor_enabled(const std::string& name, bool enabled) {
  return set_enabled(*state_, true, name, enabled);
}

Outcome Correction::set_corrector_enabled(const std::string& name, bool enabled) {
  return set_enabled(*state_, false, name, enabled);
}

Outcome Correction::set_plane(Plane plane, const PlaneSettings& settings) {
  const StandardOptions& c = settings.cut;
  if (std::string why = gain_problem(settings.gain); !why.empty()) return refuse(why);
  // s enters when s > rcond * max(S): from 1 on no value can, and every step would be refused.
  if (c.filter.kind() == Filter::Kind::rcond && !(c.filter.value() >= 0.0 && c.filter.value() < 1.0))
    return refuse("rcond must be a number >= 0 and below 1");
  if (std::string why = filter_problem(c.filter, 0, 0); !why.empty()) return refuse(why);
  // The cached inverse serves every orbit: its strength cannot follow one.
  if (c.filter.kind() == Filter::Kind::tikhonov_auto)
    return refuse("a plane's Tikhonov strength is given (tikhonov A); " + to_string(c.filter) +
                  " chooses it for one orbit: choose_tikhonov fixes the plane's from an orbit");
  State& s = *state_;
  if (std::string why = s.keep_problem(plane, c.filter.keep(), s.monitor_on, s.corrector_on); !why.empty())
    return refuse(why);
  PlaneSettings& now = s.planes[static_cast<int>(plane)];
  // A gain alone leaves the inverse as it is.
  if (now.cut.filter != c.filter || now.cut.method != c.method) s.cache[static_cast<int>(plane)].clear();
  now = settings;
  ++s.generation;
  return done();
}

Outcome Correction::set_cut(Plane plane, const StandardOptions& cut) {
  PlaneSettings p = state_->planes[static_cast<int>(plane)];
  p.cut = cut;
  return set_plane(plane, p);
}

Outcome Correction::set_gain(Plane plane, double gain) {
  PlaneSettings p = state_->planes[static_cast<int>(plane)];
  p.gain = gain;
  return set_plane(plane, p);
}

Outcome Correction::set_weights(const std::vector<double>& weights) {
  if (std::string why = per_monitor_or_none(weights, state_->matrix.rows, true, "weights"); !why.empty())
    return refuse(why);
  state_->weights = weights;
  state_->inverses_changed();
  return done();
}

Outcome Correction::set_reference(const std::vector<double>& reference) {
  if (std::string why = per_monitor_or_none(reference, state_->matrix.rows, false, "reference"); !why.empty())
    return refuse(why);
  state_->reference = reference;
  ++state_->generation;
  return done();
}

Outcome Correction::add_rf_column(const std::string& name, const std::vector<double>& column) {
  State& s = *state_;
  if (s.values_of != nullptr) return refuse("a draft of a change keeps the matrix: no RF column");
  if (std::string why = per_monitor(column, s.matrix.rows, false, "RF column"); !why.empty())
    return refuse(why);
  LabelledMatrix m = s.matrix;
  m.values.clear();
  for (std::size_t i = 0; i < column.size(); ++i) {
    const auto row =
        s.matrix.values.begin() + static_cast<std::ptrdiff_t>(i * static_cast<std::size_t>(m.cols));
    m.values.insert(m.values.end(), row, row + m.cols);
    m.values.push_back(column[i]);
  }
  ++m.cols;
  m.correctors.push_back(name);
  m.corrector_planes.push_back(Plane::x);
  if (std::string why = check_labelled_matrix(m); !why.empty()) return refuse(why);
  s.set_matrix(std::move(m));
  s.corrector_on.push_back(true);
  s.limits.emplace_back();
  s.history.clear();  // its kicks have one corrector fewer
  s.applied.clear();
  s.rf_name = name;
  s.rf_column = column;
  return done();
}

Outcome Correction::set_limit(const std::string& name, const KickLimit& limit) {
  const std::vector<std::size_t> at = find(state_->matrix.correctors, state_->matrix.corrector_planes, name);
  if (at.empty()) return refuse("no corrector named '" + name + "'");
  if (std::isnan(limit.min) || std::isnan(limit.max) || limit.min > limit.max)
    return refuse("the limits of '" + name + "' need min <= max");
  if (!(limit.max_step > 0.0)) return refuse("the max step of '" + name + "' must be above 0");
  for (const std::size_t k : at) state_->limits[k] = limit;
  ++state_->generation;
  return done();
}

void Correction::set_policy(LimitPolicy policy) {
  state_->policy = policy;
  ++state_->generation;
}

void Correction::set_step_kernel(StepKernel kernel) {
  if (kernel == state_->kernel) return;
  state_->set_kernel(kernel);
  ++state_->generation;
}

StepKernel Correction::step_kernel() const { return state_->kernel; }

Step Correction::compute(const std::vector<double>& orbit, const std::vector<double>& kicks) {
  if (state_->values_of != nullptr) {  // it holds no values of its own
    Step st;
    st.error = "a draft of a change does not step; adopt the change first";
    return st;
  }
  return detail::compute_step(*state_, orbit, kicks);
}

}  // namespace zor_feedback
