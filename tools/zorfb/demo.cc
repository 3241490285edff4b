// zorfb demo: an orbit feedback server on a simulated storage ring, shown as a
// client of the server sees it.
#include <fmt/printf.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "rings.h"
#include "zorfb/zorfb.h"

namespace zor_feedback {
namespace cli {

using sim::CycleRecord;
using sim::example_data_path;
using sim::FeedbackSimulation;

namespace {

// The simulated clock of the demo: one correction cycle per second from a fixed
// start, so that the history reads the same on every run.
constexpr std::time_t kDemoStart = 1718092800;  // 2024-06-11 08:00:00 UTC

std::string utc_time(std::time_t t) {
  std::tm tm{};
  char buf[32] = "?";
  if (gmtime_r(&t, &tm) != nullptr) std::strftime(buf, sizeof buf, "%H:%M:%S", &tm);
  return buf;
}

}  // namespace

// ---------------------------------------------------------------------------
int run_demo(const Global& g, const DemoOptions& o) {
  sim::ExampleRing ring;
  if (!sim::example_ring(o.ring, &ring)) {
    std::cerr << "zorfb: error: no ring '" << o.ring << "' (ring96 or ring320)\n";
    return kUsage;
  }
  FeedbackSimulation::Settings settings;
  settings.matrix_file = o.data.empty() ? example_data_path(ring.file) : o.data;
  if (settings.matrix_file.empty()) {
    std::cerr << "zorfb: error: the example data (" << ring.file
              << ") are neither installed next to zorfb nor in the source tree; name a response-matrix file "
                 "with --data\n";
    return kFailure;
  }
  if (!o.filter.empty()) {
    const zor_feedback::FilterParse f = zor_feedback::parse_filter(o.filter);
    if (!f.filter) {
      std::cerr << "zorfb: error: --filter: " << f.error << '\n';
      return kUsage;
    }
    if (f.filter->kind() == zor_feedback::Filter::Kind::tikhonov_auto) {
      std::cerr << "zorfb: error: --filter: the demo's inverse serves every orbit; give a strength "
                   "(tikhonov A)\n";
      return kUsage;
    }
    settings.filter = *f.filter;
  }
  const bool pi = o.controller == "pi";
  if (!pi && o.kp) {
    std::cerr << "zorfb: error: --kp is a gain of --controller pi\n";
    return kUsage;
  }
  settings.controller = {pi ? loop::ControllerConfig::Kind::pi : loop::ControllerConfig::Kind::integrator,
                         pi ? o.kp.value_or(0.2) : 0.0, o.gain};
  const std::string problem = loop::controller_problem(settings.controller);
  if (!problem.empty()) {
    std::cerr << "zorfb: error: " << problem << '\n';
    return kUsage;
  }
  settings.seed = o.seed;
  settings.model_error = o.model_error;
  settings.noise_mm = o.noise_mm;
  settings.method = o.method.value_or(zor_feedback::SvdMethod::lapack);

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
  const int failing = o.fail_monitor.empty() ? -1 : sim.machine().monitor_index(o.fail_monitor);
  if (!o.fail_monitor.empty() && failing < 0) {
    std::cerr << "zorfb: error: no monitor '" << o.fail_monitor << "' in " << settings.matrix_file << '\n';
    return kUsage;
  }

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
  const zor_feedback::SvdReport& rep = sim.report();
  const double cutoff = rep.cutoff;
  std::vector<bool> used;
  for (std::size_t i = 0; i < values.size(); ++i) used.push_back(static_cast<int>(i) < rep.used);
  std::cout << "SINGULAR_VALUES, log scale ('#' used, '.' dropped, '-' cut-off):\n"
            << spectrum_chart(values, used, cutoff, 10);
  if (rep.alpha > 0)
    std::cout << "filter " << zor_feedback::to_string(settings.filter) << ": alpha "
              << fmt::sprintf("%.3g", rep.alpha)
              << ", each singular value s weighted s^2 / (s^2 + alpha^2), none dropped\n\n";
  else
    std::cout << "tolerance " << fmt::sprintf("%.2g", sim.tolerance()) << " (internal), cut-off "
              << fmt::sprintf("%.2g", cutoff) << ", " << rep.used << " of " << values.size()
              << " singular values used\n\n";

  std::cout << "The machine differs from the served matrix: model error "
            << fmt::sprintf("%g", settings.model_error)
            << ", monitor gains and rolls, corrector calibration;\n"
            << "field errors " << fmt::sprintf("%g", settings.error_mrad) << " mrad rms, monitor noise "
            << fmt::sprintf("%g", settings.noise_mm * 1e3)
            << " um rms, a slow drift and two spectral lines.\n";
  if (failing >= 0) std::cout << "Monitor " << o.fail_monitor << " fails at cycle " << o.fail_at << ".\n";
  std::cout << "\nCorrection cycles: " << loop::controller_text(settings.controller) << "\n";
  std::cout << "cycle  orbit rms [mm]  orbit max [mm]  correctors rms [mrad]  invalid\n";
  double last_rms = 0.0;
  for (int c = 0; c <= o.cycles; ++c) {
    if (c == o.fail_at && failing >= 0) sim.machine().set_monitor_fault(failing, sim::MonitorFault::invalid);
    const CycleRecord r = sim.cycle();
    std::cout << fmt::sprintf("%5d  ", r.cycle) << fmt::sprintf("%14.4f  ", r.orbit_rms)
              << fmt::sprintf("%14.4f  ", r.orbit_max) << fmt::sprintf("%21.4f  ", r.corrector_rms)
              << fmt::sprintf("%7d", r.invalid) << (r.skipped.empty() ? "" : "  " + r.skipped) << '\n';
    last_rms = r.orbit_rms;
    now += 1;
  }
  if (settings.noise_mm > 0)
    std::cout << "\nLast orbit rms " << fmt::sprintf("%.4f", last_rms)
              << " mm = " << fmt::sprintf("%.2f", last_rms / settings.noise_mm) << " x the monitor noise\n";

  std::cout << "\nHISTORY as a client reads it (every entry, newest first):\n";
  const std::vector<USTR> history = sim.client_history();
  for (std::size_t i = 0; i < history.size(); ++i) {
    const USTR& u = history[i];
    if (u.tm == 0 && u.str_data.empty())
      std::cout << fmt::sprintf("  [%2.0f]", static_cast<double>(i)) << " (empty)\n";
    else
      std::cout << fmt::sprintf("  [%2.0f] ", static_cast<double>(i)) << utc_time(u.tm) << "  " << u.str_data
                << '\n';
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

}  // namespace cli
}  // namespace zor_feedback
