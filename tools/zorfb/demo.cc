// zorfb demo: an orbit feedback server on a simulated storage ring, shown as a
// client of the server sees it.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "zorfb/zorfb.h"

namespace zorfb {

namespace {

std::string fmt(const char* format, double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, format, v);
  return buf;
}

// The simulated clock of the demo: one correction cycle per second from a fixed
// start, so that the history reads the same on every run.
constexpr std::time_t kDemoStart = 1718092800;  // 2024-06-11 08:00:00 UTC

std::string utc_time(std::time_t t) {
  std::tm tm{};
  char buf[32] = "?";
  if (gmtime_r(&t, &tm) != nullptr) std::strftime(buf, sizeof buf, "%H:%M:%S", &tm);
  return buf;
}

// Watches the library's log for errors while it lives and passes every line on
// to the sink that was installed before (the command's verbose output).
class ErrorWatch {
 public:
  ErrorWatch()
      : previous_(ovrix::set_log_sink([this](const ovrix::LogLine& l) {
          if ((l.flags & DF_LOG) != 0 && first_error_.empty()) first_error_ = l.origin + ": " + l.text;
          if (previous_) previous_(l);
        })) {}
  ~ErrorWatch() { ovrix::set_log_sink(std::move(previous_)); }
  ErrorWatch(const ErrorWatch&) = delete;
  ErrorWatch& operator=(const ErrorWatch&) = delete;
  const std::string& first_error() const { return first_error_; }

 private:
  std::string first_error_;
  ovrix::LogSink previous_;
};

void store(D_ringbuf& history, const std::string& text) {
  std::vector<char> c(text.begin(), text.end());
  c.push_back('\0');
  history.store(c.data());
}

}  // namespace

// ---------------------------------------------------------------------------
double Gaussian::operator()() {
  // Box-Muller on the generator's raw 32-bit output.
  if (have_spare_) {
    have_spare_ = false;
    return spare_;
  }
  const double u1 = (static_cast<double>(gen_()) + 0.5) / 4294967296.0;
  const double u2 = (static_cast<double>(gen_()) + 0.5) / 4294967296.0;
  const double rad = std::sqrt(-2.0 * std::log(u1));
  const double phi = 2.0 * 3.14159265358979323846 * u2;
  spare_ = rad * std::sin(phi);
  have_spare_ = true;
  return rad * std::cos(phi);
}

// ---------------------------------------------------------------------------
FeedbackSimulation::FeedbackSimulation(Settings s) : s_(std::move(s)), noise_(s_.seed) {
  FileShape shape;
  if (!count_shape(s_.matrix_file, &shape, &error_)) return;
  if (shape.rows == 0 || shape.cols == 0) {
    error_ = "'" + s_.matrix_file + "' holds no response matrix";
    return;
  }
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
  // The ring's field errors: kicks that the correctors have to cancel.
  for (int j = 0; j < n; ++j) errors_.push_back(s_.error_mrad * noise_());
}

bool FeedbackSimulation::load_and_invert() {
  if (!ok()) return false;
  ErrorWatch watch;
  if (!R_->load_file(s_.matrix_file.c_str())) {
    error_ = "cannot load '" + s_.matrix_file + "': " + watch.first_error();
    return false;
  }
  store(*history_, "loaded " + std::to_string(monitors_) + " x " + std::to_string(correctors_) + " response matrix");
  tol_ = s_.tol;
  R_->invert(*inverse_, *spectrum_, &tol_, &nosv_);
  if (!watch.first_error().empty()) {
    error_ = watch.first_error();
    return false;
  }
  store(*history_, "inverted: " + std::to_string(nosv_) + " of " + std::to_string(std::min(monitors_, correctors_)) +
                       " singular values, tolerance " + fmt("%.2g", tol_));
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
    orbit_->set_value(static_cast<float>(orbit_->value(i, 0, -1, -1, -1, -1) + s_.noise_mm * noise_()), i, 0, -1, -1,
                      -1, -1);
}

CycleRecord FeedbackSimulation::cycle() {
  measure();

  // The orbit and the correctors as a client reads them.
  CycleRecord rec;
  rec.cycle = cycle_;
  EqData request, reply;
  location_.get("ORBIT", &request, &reply);
  double sum = 0.0;
  for (int i = 0; i < reply.length(); ++i) {
    const double x = reply.get_double(i);
    sum += x * x;
    rec.orbit_max = std::max(rec.orbit_max, std::fabs(x));
  }
  rec.orbit_rms = std::sqrt(sum / std::max(reply.length(), 1));
  location_.get("CORRECTORS", &request, &reply);
  sum = 0.0;
  for (int j = 0; j < reply.length(); ++j) sum += reply.get_double(j) * reply.get_double(j);
  rec.corrector_rms = std::sqrt(sum / std::max(reply.length(), 1));

  char msg[100];
  std::snprintf(msg, sizeof msg, "cycle %d: orbit rms %.4f mm, max %.4f mm, correctors rms %.4f mrad", cycle_,
                rec.orbit_rms, rec.orbit_max, rec.corrector_rms);
  store(*history_, msg);

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

// ---------------------------------------------------------------------------
int run_demo(const Global& g, const DemoOptions& o) {
  FeedbackSimulation::Settings settings;
  settings.matrix_file = o.data.empty() ? example_data_path("ring_response.txt") : o.data;
  if (settings.matrix_file.empty()) {
    std::cerr << "zorfb: error: the example data (ring_response.txt) are neither installed next to zorfb nor in "
                 "the source tree; name a response-matrix file with --data\n";
    return kFailure;
  }
  settings.gain = o.gain;
  settings.seed = o.seed;

  LogSession log(g.verbose);
  // The demo's clock: the history's time stamps come from it.
  std::time_t now = kDemoStart;
  struct ClockGuard {
    ovrix::TimeSource previous;
    ~ClockGuard() { ovrix::set_time_source(std::move(previous)); }
  } clock{ovrix::set_time_source([&now] { return now; })};

  FeedbackSimulation sim(settings);
  if (!sim.ok()) {
    std::cerr << "zorfb: error: " << sim.error() << '\n';
    return kFailure;
  }
  const int m = sim.monitors(), n = sim.correctors();

  std::cout << "zorfb demo: an orbit feedback on a simulated storage ring (seed " << o.seed << ")\n\n";
  std::cout << "Location " << sim.location().name() << ":";
  for (const D_fct* p : sim.location().properties()) std::cout << ' ' << p->property_name();
  std::cout << '\n';

  bool ok = false;
  {
    StdoutDiversion diversion;  // the library's own standard-output lines
    ok = sim.load_and_invert();
    const std::string text = diversion.finish();
    if (g.verbose || g.debug) std::cout << text;
  }
  if (!ok) {
    std::cerr << "zorfb: error: " << sim.error() << '\n';
    return kFailure;
  }
  std::cout << "Loaded " << settings.matrix_file << "\n  " << m << " monitors x " << n
            << " correctors (mm/mrad), inverted by SVD into INVERSE (" << n << " x " << m << ")\n\n";

  // The spectrum as a client reads it; the cut-off is tol * max(S).
  const std::vector<float> spectrum = sim.client_spectrum();
  std::vector<double> values(spectrum.begin(), spectrum.end());
  const double smax = values.empty() ? 0.0 : *std::max_element(values.begin(), values.end());
  const double cutoff = static_cast<double>(sim.tol()) * smax;
  std::vector<bool> used;
  for (const double v : values) used.push_back(v > cutoff);
  std::cout << "SINGULAR_VALUES, log scale ('#' used, '.' dropped, '-' cut-off):\n"
            << spectrum_chart(values, used, cutoff, 10)
            << "tolerance " << fmt("%.2g", sim.tol()) << " (internal), cut-off " << fmt("%.2g", cutoff) << ", "
            << sim.nosv() << " of " << values.size() << " singular values used\n\n";

  std::cout << "Correction cycles: gain " << fmt("%g", o.gain) << ", field errors " << fmt("%g", settings.error_mrad)
            << " mrad rms, monitor noise " << fmt("%g", settings.noise_mm * 1e3) << " um rms\n";
  std::cout << "cycle  orbit rms [mm]  orbit max [mm]  correctors rms [mrad]\n";
  for (int c = 0; c <= o.cycles; ++c) {
    const CycleRecord r = sim.cycle();
    std::cout << fmt("%5.0f  ", r.cycle) << fmt("%14.4f  ", r.orbit_rms) << fmt("%14.4f  ", r.orbit_max)
              << fmt("%21.4f\n", r.corrector_rms);
    now += 1;
  }

  std::cout << "\nHISTORY as a client reads it (every entry, newest first):\n";
  const std::vector<USTR> history = sim.client_history();
  for (std::size_t i = 0; i < history.size(); ++i) {
    const USTR& u = history[i];
    if (u.tm == 0 && u.str_data.empty())
      std::cout << fmt("  [%2.0f]", static_cast<double>(i)) << " (empty)\n";
    else
      std::cout << fmt("  [%2.0f] ", static_cast<double>(i)) << utc_time(u.tm) << "  " << u.str_data << '\n';
  }

  // A worked example of the chicane functions: a first bunch compressor.
  ChicaneInput bc;
  bc.energy_mev = 130.0;
  bc.field_t = 0.09;
  bc.leff = 0.5;
  bc.d12 = 3.0;
  bc.d23 = 1.0;
  bc.a1 = 5e-4;
  std::cout << "\nChicane worked example (a first bunch compressor):\n";
  print_chicane(std::cout, bc, compute_chicane(bc), "  ");
  return kOk;
}

}  // namespace zorfb
