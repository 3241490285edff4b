#include "feedback_simulation.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <new>
#include <stdexcept>
#include <utility>

namespace zor_feedback {
namespace sim {

namespace {

void store(D_ringbuf& history, const std::string& text) {
  std::vector<char> c(text.begin(), text.end());
  c.push_back('\0');
  history.store(c.data());
}

double rms_of(EqFct& location, const char* property, double* max_abs) {
  EqData request, reply;
  location.get(property, &request, &reply);
  double sum = 0.0;
  for (int i = 0; i < reply.length(); ++i) {
    const double x = reply.get_double(i);
    sum += x * x;
    if (max_abs != nullptr) *max_abs = std::max(*max_abs, std::fabs(x));
  }
  return std::sqrt(sum / std::max(reply.length(), 1));
}

// A file's text as a log line may show it: other bytes as \xNN.
std::string printable(const std::string& text) {
  std::string out;
  for (const char ch : text) {
    const auto u = static_cast<unsigned char>(ch);
    if (u >= 0x20 && u < 0x7f) {
      out += ch;
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", u);
      out += hex;
    }
  }
  return out;
}

}  // namespace

FeedbackSimulation::FeedbackSimulation(Settings s)
    : s_(std::move(s)), request_tol_(s_.tol), request_keep_(s_.keep) {
  const zor_feedback::MatrixFileShape shape = zor_feedback::matrix_file_shape(s_.matrix_file.c_str());
  if (!shape.ok) {
    error_ = shape.error;
    return;
  }
  if (shape.rows == 0 || shape.cols == 0) {
    error_ = "'" + s_.matrix_file + "' holds no response matrix";
    return;
  }
  // The ring the server steers: the file's matrix with the machine's own errors.
  zor_feedback::LabelledMatrix nominal;
  const zor_feedback::LabelledReport read =
      zor_feedback::read_labelled_matrix(s_.matrix_file.c_str(), &nominal);
  if (!read.ok) {
    error_ = read.error;
    return;
  }
  MachineSettings ms;
  // The controller clamps to the supplies' limits, so that a saturated
  // corrector winds nothing up.
  controller_ =
      loop::make_pi_controller(solve_, s_.controller,
                               std::vector<loop::CorrectorLimit>(static_cast<std::size_t>(nominal.cols),
                                                                 {-ms.kick_limit_mrad, ms.kick_limit_mrad}),
                               &error_);
  if (!controller_ || !readbacks_.configure(s_.readback, &error_)) return;
  ms.seed = s_.seed;
  ms.model_error = s_.model_error;
  ms.noise_mm = s_.noise_mm;
  ms.error_kick_mrad = s_.error_mrad;
  ms.cycle_s = s_.cycle_s;
  try {
    machine_ = std::make_unique<Machine>(nominal, ms);
  } catch (const std::invalid_argument& e) {
    error_ = e.what();
    return;
  }

  monitors_ = shape.rows;
  correctors_ = shape.cols;
  const int m = monitors_, n = correctors_;
  // The properties a client sees at the location ...
  R_ = std::make_unique<QTEV_ResponseMatrix>("RESPONSE_MATRIX", m, n, &location_);
  inverse_ = std::make_unique<QTEV_ResponseMatrix>("INVERSE", n, m, &location_);
  spectrum_ = std::make_unique<D_spectrum>("SINGULAR_VALUES", std::min(m, n), &location_);
  spectrum_->set_length(std::min(m, n));  // its full length from the start, as a client sizes it
  orbit_ = std::make_unique<QTEV_ResponseMatrix>("ORBIT", m, 1, &location_);
  correctors_set_ = std::make_unique<QTEV_ResponseMatrix>("CORRECTORS", n, 1, &location_);
  history_ = std::make_unique<D_ringbuf>("HISTORY", s_.history, &location_);
  // ... and the working vectors it does not publish.
  step_ = std::make_unique<QTEV_ResponseMatrix>("STEP", n, 1, nullptr);
  R_->set_svd_method(s_.method);
  kicks_set_.assign(static_cast<std::size_t>(n), 0.0);
}

FeedbackSimulation::Candidate::Candidate(int m, int n)
    : R("RESPONSE_MATRIX", m, n, nullptr),
      inverse("INVERSE", n, m, nullptr),
      spectrum("SINGULAR_VALUES", std::min(m, n), nullptr) {}

void FeedbackSimulation::note(const std::string& text) { store(*history_, text.substr(0, 200)); }

bool FeedbackSimulation::load_and_invert() {
  if (!ok()) return false;
  const std::unique_ptr<Candidate> c = prepare(s_.matrix_file, s_.tol, s_.keep, "");
  compute(*c);
  std::string error;
  if (!commit(*c, &error)) {
    error_ = error;
    return false;
  }
  return true;
}

std::unique_ptr<FeedbackSimulation::Candidate> FeedbackSimulation::prepare(const std::string& file,
                                                                           double tol, int keep,
                                                                           std::string what) {
  auto c = std::make_unique<Candidate>(monitors_, correctors_);
  c->file = file;
  if (file.empty()) c->R = *R_;
  c->tol = tol;
  c->keep = keep;
  c->what = std::move(what);
  return c;
}

void FeedbackSimulation::compute(Candidate& c) const {
  if (!c.file.empty() && !load(c)) return;
  c.R.set_svd_method(s_.method);
  if (s_.inversion == zor_feedback::Inversion::standard) {
    zor_feedback::StandardOptions o;
    o.method = s_.method;
    if (c.tol != -1.0)
      o.filter = zor_feedback::Filter::by_rcond(c.tol);
    else if (c.keep > 0)
      o.filter = zor_feedback::Filter::by_count(c.keep);
    else
      o.filter = s_.filter;
    c.report = c.R.pseudo_inverse(c.inverse, &c.spectrum, o);
  } else if (!(std::fabs(c.tol) <= std::numeric_limits<float>::max())) {
    c.refusal = "ERROR: tolerance " + std::to_string(c.tol) + " is no finite float";
    return;
  } else {
    c.report = c.R.invert_report(c.inverse, c.spectrum, static_cast<float>(c.tol));
  }
  c.refusal = unsound(c);
}

bool FeedbackSimulation::commit(Candidate& c, std::string* error) {
  const std::string what = c.what.empty() ? std::string() : c.what + ": ";
  if (!c.refusal.empty()) {
    note("refused " + what + c.refusal);
    *error = c.refusal;
    return false;
  }
  *R_ = c.R;
  *inverse_ = c.inverse;
  spectrum_->set_length(c.spectrum.length());
  for (int i = 0; i < c.spectrum.length(); ++i) spectrum_->fill_spectrum(i, c.spectrum.point(i));
  report_ = c.report;
  masked_for_.clear();  // of the inverse served before
  request_tol_ = c.tol;
  request_keep_ = c.keep;
  const zor_feedback::SvdReport& r = report_;
  if (!c.file.empty())
    note(c.what.empty() ? "loaded " + std::to_string(monitors_) + " x " + std::to_string(correctors_) +
                              " response matrix"
                        : "loaded " + c.file);
  char msg[120];
  std::snprintf(msg, sizeof msg, "inverted (%s): %d of %d singular values, %s %.3g",
                r.inversion == zor_feedback::Inversion::standard ? "standard" : "classic", r.used,
                static_cast<int>(r.singular_values.size()),
                r.inversion == zor_feedback::Inversion::standard ? "rcond" : "tolerance", tolerance());
  note(msg);
  return true;
}

bool FeedbackSimulation::load(Candidate& c) const {
  // A file that the loader reads, but not as it looks, is refused whole.
  const zor_feedback::MatrixFileShape shape = zor_feedback::matrix_file_shape(c.file.c_str());
  if (const std::string why = zor_feedback::misread(shape); !why.empty()) {
    c.refusal = "ERROR: " + printable(why);
    return false;
  }
  const zor_feedback::LoadReport load = c.R.load_report(c.file.c_str());
  c.refusal = load.error;
  for (const std::string& w : load.warnings) c.refusal += (c.refusal.empty() ? "" : "; ") + w;
  return load.ok && c.refusal.empty();
}

// Why the candidate's inverse must not be served; empty when it may.
std::string FeedbackSimulation::unsound(Candidate& c) const {
  const zor_feedback::SvdReport& r = c.report;
  if (!r.ok) return r.error;
  bool nonzero = false;
  for (int i = 0; i < correctors_; ++i)
    for (int j = 0; j < monitors_; ++j) {
      const float v = c.inverse.value(i, j, -1, -1, -1, -1);
      if (!std::isfinite(v)) return "ERROR: the inverse holds infinite or NaN elements";
      nonzero = nonzero || v != 0.0f;
    }
  std::string warnings;
  for (const std::string& w : r.warnings) warnings += "; " + w;
  if (r.inversion == zor_feedback::Inversion::classic &&
      r.floor_change > zor_feedback::kHarmlessFloorChange) {
    char msg[120];
    std::snprintf(msg, sizeof msg, "ERROR: the classic floor changes the inverse by %.3g %% (limit %.3g %%)",
                  100 * r.floor_change, 100 * zor_feedback::kHarmlessFloorChange);
    return msg + warnings;
  }
  if (r.used == 0 || !nonzero)
    return "ERROR: the inverse is all zero (" + std::to_string(r.used) + " of " +
           std::to_string(r.singular_values.size()) + " singular values used)" + warnings;
  return {};
}

bool FeedbackSimulation::use_devices(loop::OrbitSource* source, loop::CorrectorSink* sink,
                                     std::string* error) {
  if (source == nullptr || sink == nullptr) {
    *error = "no orbit source or corrector sink";
    return false;
  }
  if (!read_kicks_from(*sink, error)) return false;
  source_ = source;
  sink_ = sink;
  return true;
}

bool FeedbackSimulation::read_kicks(std::string* error) {
  return sink_ == nullptr || read_kicks_from(*sink_, error);
}

bool FeedbackSimulation::read_kicks_from(loop::CorrectorSink& sink, std::string* error) {
  const loop::SinkResult r = sink.read_setpoints();
  if (!r.ok) {
    *error = "the correctors cannot be read: " + r.error;
    return false;
  }
  if (r.values.size() != static_cast<std::size_t>(correctors_)) {
    *error = "the correctors read " + std::to_string(r.values.size()) + " values for " +
             std::to_string(correctors_) + " correctors of the matrix";
    return false;
  }
  for (const double k : r.values)
    if (!std::isfinite(k) || std::fabs(k) > std::numeric_limits<float>::max()) {
      *error = "the correctors read a value that is not a finite float";
      return false;
    }
  kicks_set_ = r.values;
  readbacks_.clear();  // a count from before is of other set-points
  for (int j = 0; j < correctors_; ++j)
    correctors_set_->set_value(static_cast<float>(kicks_set_[static_cast<std::size_t>(j)]), j, 0, -1, -1, -1,
                               -1);
  return true;
}

// The simulated machine one cycle on, or the devices: what they did not give
// is invalid, with *error saying why none was given.
OrbitReading FeedbackSimulation::read_ring(std::string* error) {
  if (source_ == nullptr) {
    if (cycle_ > 0) machine_->advance(s_.cycle_s);
    return machine_->read_orbit();
  }
  const auto m = static_cast<std::size_t>(monitors_);
  OrbitReading r;
  r.values.assign(m, std::numeric_limits<double>::quiet_NaN());
  r.valid.assign(m, false);
  const loop::Orbit o = source_->read();
  if (!o.ok) {
    *error = "the orbit source failed: " + o.error;
  } else if (o.values.size() != m || o.valid.size() != m) {
    *error = "the orbit source gave " + std::to_string(o.values.size()) + " values for " + std::to_string(m) +
             " monitors of the matrix";
  } else {
    for (std::size_t i = 0; i < m; ++i) {
      r.valid[i] = o.valid[i] && std::isfinite(o.values[i]);
      if (r.valid[i]) r.values[i] = o.values[i];
    }
  }
  return r;
}

loop::SinkResult FeedbackSimulation::read_readbacks() {
  if (!readbacks_.rule().on()) return loop::SinkResult{true, {}, {}};
  if (sink_ != nullptr) return sink_->read();
  return loop::SinkResult{true, {}, machine_->readbacks()};
}

std::string FeedbackSimulation::check_readbacks(const loop::SinkResult& r,
                                                const std::vector<std::string>& names) {
  if (!readbacks_.rule().on()) return {};
  const loop::ReadbackVerdict v = readbacks_.check(kicks_set_, r, names);
  if (!v.trip) return {};
  const std::string text = "cycle " + std::to_string(cycle_ - 1) + ": " + v.detail + ", no step";
  note(text);
  return text;
}

CycleRecord FeedbackSimulation::begin_cycle() {
  std::string error;
  const OrbitReading r = read_ring(&error);
  return begin_cycle(r, error);
}

CycleRecord FeedbackSimulation::begin_cycle(const OrbitReading& r, const std::string& error) {
  CycleRecord rec;
  rec.source_error = error;
  valid_ = r.valid;
  double sum = 0.0;
  for (int i = 0; i < monitors_; ++i) {
    const double x = r.values[static_cast<std::size_t>(i)];
    orbit_->set_value(static_cast<float>(x), i, 0, -1, -1, -1, -1);
    if (!r.valid[static_cast<std::size_t>(i)]) {
      ++rec.invalid;
      continue;
    }
    sum += x * x;
    rec.orbit_max = std::max(rec.orbit_max, std::fabs(x));
  }
  rec.cycle = cycle_++;
  rec.orbit_rms = std::sqrt(sum / std::max(monitors_ - rec.invalid, 1));
  rec.corrector_rms = rms_of(location_, "CORRECTORS", nullptr);

  char msg[120];
  std::snprintf(msg, sizeof msg, "cycle %d: orbit rms %.4f mm, max %.4f mm, correctors rms %.4f mrad",
                rec.cycle, rec.orbit_rms, rec.orbit_max, rec.corrector_rms);
  std::string text = msg;
  if (rec.invalid > 0) text += ", " + std::to_string(rec.invalid) + " invalid";
  if (!rec.source_error.empty()) text += " (" + rec.source_error + ")";
  note(text);
  return rec;
}

// The inverse of the served matrix without the rows of the monitors that are
// not valid now, at the served cut; kept until the validity or the served
// inverse changes.
bool FeedbackSimulation::masked_inverse(std::string* error) {
  if (masked_for_ == valid_) return true;
  const auto m = static_cast<std::size_t>(monitors_), n = static_cast<std::size_t>(correctors_);
  std::vector<double> a(m * n, 0.0);
  for (std::size_t i = 0; i < m; ++i)
    if (valid_[i])
      for (std::size_t j = 0; j < n; ++j)
        a[i * n + j] = R_->value(static_cast<int>(i), static_cast<int>(j), -1, -1, -1, -1);
  // Without a row the matrix can lose a mode (in ring320 one monitor alone sees
  // a pattern of correctors): never amplify more than the served inverse does,
  // so a value below half the smallest one it used is cut.
  const std::vector<double>& sv = report_.singular_values;
  double rcond = report_.inversion == zor_feedback::Inversion::standard ? report_.rcond : 0.0;
  if (report_.used > 0 && !sv.empty() && sv.front() > 0)
    rcond = std::max(rcond, 0.5 * sv[static_cast<std::size_t>(report_.used - 1)] / sv.front());
  zor_feedback::StandardOptions o;
  if (rcond > 0 && rcond < 1) o.filter = zor_feedback::Filter::by_rcond(rcond);
  // A served Tikhonov filter damps the same way without those rows.
  if (report_.alpha > 0 && s_.filter.kind() == zor_feedback::Filter::Kind::tikhonov) o.filter = s_.filter;
  std::vector<double> inverse;
  const zor_feedback::SvdReport r =
      zor_feedback::pseudo_inverse(a.data(), monitors_, correctors_, o, &inverse);
  if (!r.ok) {
    *error = r.error;
    return false;
  }
  masked_ = std::move(inverse);
  masked_for_ = valid_;
  return true;
}

// inverse * orbit over the valid monitors; false, with rec->skipped, when no
// sound step can be made.
bool FeedbackSimulation::step_of(CycleRecord* rec, std::vector<double>* step) {
  const std::string cycle = "cycle " + std::to_string(rec->cycle) + ": ";
  step->assign(static_cast<std::size_t>(correctors_), 0.0);
  if (!rec->source_error.empty()) {
    rec->skipped = cycle + rec->source_error + ", no step";
  } else if (rec->invalid == monitors_) {
    rec->skipped = cycle + "no valid monitor, no step";
  } else if (rec->invalid == 0) {
    inverse_->multiply(*orbit_, *step_);
    for (int j = 0; j < correctors_; ++j)
      (*step)[static_cast<std::size_t>(j)] = step_->value(j, 0, -1, -1, -1, -1);
  } else {
    const bool fresh = masked_for_ != valid_;
    std::string error;
    if (!masked_inverse(&error)) {
      rec->skipped = cycle + "no inverse without the invalid monitors (" + error + "), no step";
    } else {
      if (fresh) {
        std::string names;
        for (std::size_t i = 0; i < valid_.size(); ++i)
          if (!valid_[i]) names += (names.empty() ? "" : " ") + machine_->nominal().monitors[i];
        note(cycle + "left out of the step, not valid: " + names);
      }
      const auto m = static_cast<std::size_t>(monitors_);
      for (std::size_t j = 0; j < step->size(); ++j)
        for (std::size_t i = 0; i < m; ++i)
          if (valid_[i])
            (*step)[j] += masked_[j * m + i] * orbit_->value(static_cast<int>(i), 0, -1, -1, -1, -1);
    }
  }
  for (std::size_t j = 0; rec->skipped.empty() && j < step->size(); ++j)
    if (!std::isfinite((*step)[j]))
      rec->skipped = cycle + "step of corrector " + std::to_string(j) + " not finite, not applied";
  if (!rec->skipped.empty()) note(rec->skipped);
  return rec->skipped.empty();
}

loop::ControllerStep FeedbackSimulation::GivenSolve::step(const std::vector<double>&,
                                                          const std::vector<double>& kicks) {
  loop::ControllerStep out;
  out.ok = true;
  out.kicks = kicks;
  for (std::size_t j = 0; j < out.kicks.size() && j < change.size(); ++j) out.kicks[j] += change[j];
  return out;
}

CycleRecord FeedbackSimulation::cycle() {
  CycleRecord rec = begin_cycle();
  if (rec.source_error.empty()) rec.tripped = check_readbacks(read_readbacks(), {});
  if (!rec.tripped.empty()) return rec;
  // The correction: the controller's step from e = -inverse * orbit; never a
  // step that is not finite, never one from a monitor that is not valid.
  std::vector<double> step;
  if (!step_of(&rec, &step)) return rec;
  solve_.change.resize(step.size());
  std::transform(step.begin(), step.end(), solve_.change.begin(), [](double v) { return -v; });
  const loop::ControllerStep next = controller_->step(orbit(), kicks_set_);
  std::string error = next.error;
  if (next.ok && set_kicks(next.kicks, &error)) {
    controller_->written();
    return rec;
  }
  rec.skipped = "cycle " + std::to_string(rec.cycle) + ": " + error + ", not applied";
  note(rec.skipped);
  return rec;
}

std::vector<double> FeedbackSimulation::orbit() {
  std::vector<double> v(static_cast<std::size_t>(monitors_));
  for (int i = 0; i < monitors_; ++i) v[static_cast<std::size_t>(i)] = orbit_->value(i, 0, -1, -1, -1, -1);
  return v;
}

bool FeedbackSimulation::set_kicks(const std::vector<double>& kicks, std::string* error) {
  if (kicks.size() != kicks_set_.size()) {
    *error = std::to_string(kicks.size()) + " kicks for " + std::to_string(correctors_) + " correctors";
    return false;
  }
  for (const double k : kicks)
    if (!std::isfinite(k) || std::fabs(k) > std::numeric_limits<float>::max()) {
      *error = "a kick that is not a finite float";
      return false;
    }
  if (sink_ != nullptr) {
    const loop::SinkResult w = sink_->write(kicks);
    if (!w.ok) {
      *error = "the correctors refused the write: " + w.error;
      return false;
    }
  } else if (const WriteResult w = machine_->write(kicks); !w.ok) {
    *error = w.error;
    return false;
  }
  kicks_set_ = kicks;
  for (int j = 0; j < correctors_; ++j)
    correctors_set_->set_value(static_cast<float>(kicks[static_cast<std::size_t>(j)]), j, 0, -1, -1, -1, -1);
  return true;
}

std::vector<float> FeedbackSimulation::client_spectrum() {
  EqData request, reply;
  location_.get("SINGULAR_VALUES", &request, &reply);
  std::vector<float> v;
  for (int i = 0; i < reply.length(); ++i) v.push_back(static_cast<float>(reply.get_double(i)));
  return v;
}

std::vector<USTR> FeedbackSimulation::client_history() {
  EqData request, reply;  // a request without a value asks for every entry
  location_.get("HISTORY", &request, &reply);
  std::vector<USTR> v;
  for (int i = 0; i < reply.length(); ++i)
    if (const USTR* u = reply.get_ustr(i)) v.push_back(*u);
  return v;
}

}  // namespace sim
}  // namespace zor_feedback
