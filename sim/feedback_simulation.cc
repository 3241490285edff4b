#include "feedback_simulation.h"

#include <gsl/gsl_randist.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
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

}  // namespace

FeedbackSimulation::FeedbackSimulation(Settings s) : s_(std::move(s)) {
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
  orbit_ = std::make_unique<QTEV_ResponseMatrix>("ORBIT", m, 1, &location_);
  correctors_set_ = std::make_unique<QTEV_ResponseMatrix>("CORRECTORS", n, 1, &location_);
  history_ = std::make_unique<D_ringbuf>("HISTORY", s_.history, &location_);
  // ... and the working vectors it does not publish.
  kicks_ = std::make_unique<QTEV_ResponseMatrix>("KICKS", n, 1, nullptr);
  step_ = std::make_unique<QTEV_ResponseMatrix>("STEP", n, 1, nullptr);
  R_->set_svd_method(s_.method);
  // The ring's field errors: kicks that the correctors have to cancel.
  for (int j = 0; j < n; ++j) errors_.push_back(gsl_ran_gaussian(rng_.get(), s_.error_mrad));
}

void FeedbackSimulation::note(const std::string& text) { store(*history_, text); }

bool FeedbackSimulation::load_and_invert() {
  if (!ok()) return false;
  const zor_feedback::LoadReport load = R_->load_report(s_.matrix_file.c_str());
  if (!load.ok) {
    error_ = load.error;
    return false;
  }
  note("loaded " + std::to_string(monitors_) + " x " + std::to_string(correctors_) + " response matrix");
  const zor_feedback::SvdReport r = reinvert(s_.tol);
  if (!r.ok) error_ = r.error;
  return r.ok;
}

zor_feedback::SvdReport FeedbackSimulation::reinvert(float tol) {
  zor_feedback::SvdReport r = R_->invert_report(*inverse_, *spectrum_, tol);
  if (!r.ok) return r;
  char msg[100];
  std::snprintf(msg, sizeof msg, "inverted: %d of %d singular values, tolerance %.2g", r.used,
                static_cast<int>(r.singular_values.size()), static_cast<double>(r.tol));
  note(msg);
  report_ = r;
  return r;
}

bool FeedbackSimulation::replace_matrix(const std::string& path, std::string* error) {
  const int m = monitors_, n = correctors_;
  QTEV_ResponseMatrix R("RESPONSE_MATRIX", m, n, nullptr), inverse("INVERSE", n, m, nullptr);
  D_spectrum spectrum("SINGULAR_VALUES", std::min(m, n), nullptr);
  R.set_svd_method(s_.method);
  const zor_feedback::LoadReport load = R.load_report(path.c_str());
  if (!load.ok) {
    *error = load.error;
    return false;
  }
  const zor_feedback::SvdReport r =
      R.invert_report(inverse, spectrum, report_.internal_tolerance ? -1.0f : report_.tol);
  if (!r.ok) {
    *error = r.error;
    return false;
  }
  *R_ = R;
  *inverse_ = inverse;
  spectrum_->set_length(spectrum.length());
  for (int i = 0; i < spectrum.length(); ++i) spectrum_->fill_spectrum(i, spectrum.point(i));
  report_ = r;
  note("loaded " + path);
  return true;
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

CycleRecord FeedbackSimulation::cycle() {
  measure();

  // The orbit and the correctors as a client reads them.
  CycleRecord rec;
  rec.cycle = cycle_;
  rec.orbit_rms = rms_of(location_, "ORBIT", &rec.orbit_max);
  rec.corrector_rms = rms_of(location_, "CORRECTORS", nullptr);

  char msg[100];
  std::snprintf(msg, sizeof msg, "cycle %d: orbit rms %.4f mm, max %.4f mm, correctors rms %.4f mrad", cycle_,
                rec.orbit_rms, rec.orbit_max, rec.corrector_rms);
  note(msg);

  // The correction: correctors -= gain * inverse * orbit.
  inverse_->multiply(*orbit_, *step_);
  for (int j = 0; j < correctors_; ++j)
    correctors_set_->set_value(static_cast<float>(correctors_set_->value(j, 0, -1, -1, -1, -1) -
                                                  s_.gain * step_->value(j, 0, -1, -1, -1, -1)),
                               j, 0, -1, -1, -1, -1);
  ++cycle_;
  return rec;
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
