#include "feedback_simulation.h"

#include <gsl/gsl_randist.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <new>
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
  // The Mersenne Twister of GSL: the same noise on every platform.
  rng_.reset(gsl_rng_alloc(gsl_rng_mt19937));
  if (!rng_) throw std::bad_alloc();
  gsl_rng_set(rng_.get(), s_.seed);

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
  kicks_ = std::make_unique<QTEV_ResponseMatrix>("KICKS", n, 1, nullptr);
  step_ = std::make_unique<QTEV_ResponseMatrix>("STEP", n, 1, nullptr);
  R_->set_svd_method(s_.method);
  // The ring's field errors: kicks that the correctors have to cancel.
  for (int j = 0; j < n; ++j) errors_.push_back(gsl_ran_gaussian(rng_.get(), s_.error_mrad));
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
      o.rcond = c.tol;
    else if (c.keep > 0)
      o.keep = c.keep;
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

void FeedbackSimulation::measure() {
  // orbit = R * (field errors + corrector settings) + monitor noise
  for (int j = 0; j < correctors_; ++j)
    kicks_->set_value(static_cast<float>(errors_[static_cast<std::size_t>(j)] +
                                         correctors_set_->value(j, 0, -1, -1, -1, -1)),
                      j, 0, -1, -1, -1, -1);
  R_->multiply(*kicks_, *orbit_);
  for (int i = 0; i < monitors_; ++i)
    orbit_->set_value(
        static_cast<float>(orbit_->value(i, 0, -1, -1, -1, -1) + gsl_ran_gaussian(rng_.get(), s_.noise_mm)),
        i, 0, -1, -1, -1, -1);
}

CycleRecord FeedbackSimulation::begin_cycle() {
  measure();

  // The orbit and the correctors as a client reads them.
  CycleRecord rec;
  rec.cycle = cycle_++;
  rec.orbit_rms = rms_of(location_, "ORBIT", &rec.orbit_max);
  rec.corrector_rms = rms_of(location_, "CORRECTORS", nullptr);

  char msg[100];
  std::snprintf(msg, sizeof msg, "cycle %d: orbit rms %.4f mm, max %.4f mm, correctors rms %.4f mrad",
                rec.cycle, rec.orbit_rms, rec.orbit_max, rec.corrector_rms);
  note(msg);
  return rec;
}

CycleRecord FeedbackSimulation::cycle() {
  CycleRecord rec = begin_cycle();
  // The correction: correctors -= gain * inverse * orbit; never a step that
  // is not finite.
  inverse_->multiply(*orbit_, *step_);
  for (int j = 0; j < correctors_; ++j)
    if (!std::isfinite(step_->value(j, 0, -1, -1, -1, -1))) {
      rec.skipped = "cycle " + std::to_string(rec.cycle) + ": step of corrector " + std::to_string(j) +
                    " not finite, not applied";
      note(rec.skipped);
      return rec;
    }
  for (int j = 0; j < correctors_; ++j) {
    const auto set = static_cast<float>(correctors_set_->value(j, 0, -1, -1, -1, -1) -
                                        s_.gain * step_->value(j, 0, -1, -1, -1, -1));
    correctors_set_->set_value(set, j, 0, -1, -1, -1, -1);
    kicks_set_[static_cast<std::size_t>(j)] = set;
  }
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
