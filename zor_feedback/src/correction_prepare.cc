// A change of a Correction's settings in two phases: made on a draft that
// shares the matrix and the held inverses, its inverses made beside the
// steps, then installed between two of them.
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "correction_state.h"

namespace zor_feedback {

struct PreparedChange::Data {
  const Correction::State* origin = nullptr;
  unsigned long long version = 0;   // the origin's generation - moves at the start
  unsigned long long matrices = 0;  // the draft's at the start
  Correction draft;
  std::vector<int> before[2][2];  // the origin's monitors and correctors in use per plane, at the start
  std::vector<double> weights_before;
  bool modes_read[2] = {false, false};  // mode_residuals held a basis of the plane: it will again
  std::string error;
  bool prepared = false;
};

namespace {

Outcome refuse(std::string why) { return {false, std::move(why)}; }

// The monitors (which = 0) or correctors (1) of plane k in use.
std::vector<int> in_use(const Correction::State& s, int k, int which) {
  const std::vector<Plane>& planes = which == 0 ? s.matrix.monitor_planes : s.matrix.corrector_planes;
  const std::vector<bool>& on = which == 0 ? s.monitor_on : s.corrector_on;
  std::vector<int> out;
  for (std::size_t u = 0; u < planes.size(); ++u)
    if (on[u] && static_cast<int>(planes[u]) == k) out.push_back(static_cast<int>(u));
  return out;
}

// The labels of `m`, not its values.
LabelledMatrix labels_of(const LabelledMatrix& m) {
  LabelledMatrix out;
  out.rows = m.rows;
  out.cols = m.cols;
  out.monitors = m.monitors;
  out.correctors = m.correctors;
  out.monitor_planes = m.monitor_planes;
  out.corrector_planes = m.corrector_planes;
  out.units = m.units;
  return out;
}

// The settings of `s` into the draft `t` (the matrix's labels only, the
// held inverses shared).
void draft_of(const Correction::State& s, Correction::State* t) {
  t->matrix = labels_of(s.matrix);
  t->values_of = &s.matrix;
  t->kernel = s.kernel;
  t->monitor_on = s.monitor_on;
  t->corrector_on = s.corrector_on;
  t->weights = s.weights;
  t->reference = s.reference;
  t->limits = s.limits;
  t->planes[0] = s.planes[0];
  t->planes[1] = s.planes[1];
  t->policy = s.policy;
  t->rf_name = s.rf_name;
  t->rf_column = s.rf_column;
  t->depth = s.depth;
  for (int k = 0; k < 2; ++k) t->cache[k] = s.cache[k].shared_copy();
}

}  // namespace

PreparedChange::PreparedChange() : data_(std::make_unique<Data>()) {
  data_->error = "no change begun (Correction::begin_change begins one)";
}
PreparedChange::~PreparedChange() = default;
// A moved-from change stays one that adopt refuses.
PreparedChange::PreparedChange(PreparedChange&& o) noexcept : PreparedChange() { data_.swap(o.data_); }
PreparedChange& PreparedChange::operator=(PreparedChange&& o) noexcept {
  data_.swap(o.data_);
  return *this;
}

bool PreparedChange::ok() const { return data_->error.empty(); }
const std::string& PreparedChange::error() const { return data_->error; }
bool PreparedChange::prepared() const { return data_->prepared; }
const Correction& PreparedChange::settings() const { return data_->draft; }

PreparedChange Correction::begin_change(const std::function<std::string(Correction&)>& change) const {
  PreparedChange out;
  PreparedChange::Data& d = *out.data_;
  const State& s = *state_;
  if (s.values_of != nullptr) {
    d.error = "a draft of a change cannot begin another";
    return out;
  }
  if (s.matrix.rows == 0) {
    d.error = "no matrix";
    return out;
  }
  State& t = *d.draft.state_;
  draft_of(s, &t);
  d.origin = &s;
  d.version = s.generation - s.moves;
  d.matrices = t.matrices;
  for (int k = 0; k < 2; ++k)
    for (int which = 0; which < 2; ++which) d.before[k][which] = in_use(s, k, which);
  d.weights_before = s.weights;
  for (int k = 0; k < 2; ++k) d.modes_read[k] = s.mode_basis[k].rows > 0;
  d.error = change(d.draft);
  return out;
}

Outcome PreparedChange::prepare() {
  Data& d = *data_;
  if (!d.error.empty()) return refuse(d.error);
  if (d.prepared) return refuse("the change is prepared already");
  Correction::State& t = *d.draft.state_;
  if (t.values_of == nullptr || t.matrices != d.matrices)
    return refuse(d.error = "the draft was given a matrix of its own: a change keeps the matrix");
  for (int k = 0; k < 2; ++k) {
    const std::vector<int> mon = in_use(t, k, 0), cor = in_use(t, k, 1);
    // As compute: a plane without monitors or correctors is not solved, one
    // with fewer monitors than it keeps is refused there.
    if (mon.empty() || cor.empty() ||
        mon.size() < static_cast<std::size_t>(std::max(1, t.planes[k].cut.filter.keep())))
      continue;
    const std::string plane = std::string("plane ") + plane_name(static_cast<Plane>(k)) + ": ";
    std::string why;
    // One held already is the Correction's too: left as it is.
    if (t.cache[k].held(mon, cor) == nullptr &&
        t.cache[k].get(*t.values_of, t.weights, mon, cor, t.planes[k].cut, t.kernel, &why) == nullptr)
      return refuse(d.error = plane + why);
    // The modes mode_residuals reads, for a caller that reads them: made
    // here too when the sets or weights moved.
    if (d.modes_read[k] &&
        (mon != d.before[k][0] || cor != d.before[k][1] || t.weights != d.weights_before) &&
        !detail::make_basis(*t.values_of, t.weights, mon, cor, &t.mode_basis[k]))
      return refuse(d.error = plane + "the SVD did not converge");
  }
  d.prepared = true;
  return {true, {}};
}

Outcome Correction::adopt(PreparedChange&& change) {
  PreparedChange::Data& d = *change.data_;
  State& s = *state_;
  if (!d.error.empty()) return refuse(d.error);
  if (d.origin != &s) return refuse("the change was begun on another correction");
  if (!d.prepared) return refuse("the change is not prepared (PreparedChange::prepare makes its inverses)");
  State& t = *d.draft.state_;
  if (t.matrices != d.matrices)
    return refuse("the draft was given a matrix of its own: a change keeps the matrix");
  if (s.generation - s.moves != d.version)
    return refuse("the correction's settings changed since the change began; begin it again");
  // Moves only: the cycle that waits for this pays for no copy.
  const bool reweighted = s.weights != t.weights;
  s.monitor_on.swap(t.monitor_on);
  s.corrector_on.swap(t.corrector_on);
  s.weights.swap(t.weights);
  s.reference.swap(t.reference);
  s.limits.swap(t.limits);
  s.planes[0] = t.planes[0];
  s.planes[1] = t.planes[1];
  s.policy = t.policy;
  if (t.kernel != s.kernel) s.set_kernel(t.kernel);
  for (int k = 0; k < 2; ++k) {
    s.cache[k] = std::move(t.cache[k]);
    if (t.mode_basis[k].rows > 0)
      s.mode_basis[k] = std::move(t.mode_basis[k]);
    else if (reweighted)
      s.mode_basis[k] = detail::ModeBasis{};
  }
  ++s.generation;
  change = PreparedChange();  // adopted: adopting it again is refused
  return {true, {}};
}

}  // namespace zor_feedback
