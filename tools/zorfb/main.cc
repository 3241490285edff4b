// zorfb - the zor_feedback library's operations on the command line, through
// the library's own code paths, so that an offline answer is the server's.
#include <dlfcn.h>
#include <gsl/gsl_errno.h>
#include <CLI/CLI.hpp>

#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>

#include "zor_feedback/blas_info.h"
#include "zor_feedback/correction.h"
#include "zorfb/zorfb.h"

namespace {

constexpr const char* kFooter =
    R"(Exit status: 0 success, 1 the operation failed (file, library error), 2 bad command line.

Response-matrix file: one line per monitor (row), one number per actuator
(column), separated by blanks; lines starting with '#' are comments. The
number of rows is the number of other lines, the number of columns the
number of values on the last of them. By its name a file may also be a .npy
(2-D) or a Matrix Market .mtx, and any of them gzip-compressed (.gz).)";

void add_format(CLI::App* sub, std::string* format) {
  sub->add_option("--format", *format, "output: text (default), csv or json")
      ->check(CLI::IsMember({"text", "csv", "json"}));
}

// --svd gsl|lapack, into *method.
void add_method(CLI::App* sub, std::optional<zor_feedback::SvdMethod>* method) {
  sub->add_option_function<std::string>(
         "--svd",
         [method](const std::string& name) {
           zor_feedback::SvdMethod m = zor_feedback::SvdMethod::lapack;
           zor_feedback::parse_svd_method(name, &m);
           *method = m;
         },
         "the decomposition: lapack (divide and conquer; the default) or gsl (the default with --classic,\n"
         "the server's engine); the same result to rounding")
      ->check(CLI::IsMember({"gsl", "lapack"}));
}

// --tol T or --keep N for the SVD inversion, and --classic.
void add_cut(CLI::App* sub, zor_feedback::cli::InvertOptions* o) {
  CLI::Option* tol = sub->add_option_function<double>(
      "--tol", [o](double t) { o->tol = t; },
      "the relative cut-off rcond: s enters when s > T * max(S), as numpy.linalg.pinv's rcond\n"
      "(default max(m, n) * 2^-52); with --classic invert()'s tolerance (-1: the internal one), also an\n"
      "absolute floor on the inverse's elements");
  CLI::Option* keep =
      sub->add_option("--keep", o->keep, "exactly the N largest singular values enter the inverse")
          ->check(CLI::PositiveNumber);
  tol->excludes(keep);
  CLI::Option* tikhonov = sub->add_option(
      "--tikhonov", o->tikhonov,
      "Tikhonov: s / (s^2 + alpha^2) for every value; A gives alpha = A * max(S) (unit-independent, as\n"
      "--tol); auto (the L-curve's corner), gcv or discrepancy (--noise) choose alpha for --orbit");
  sub->add_option_function<double>(
         "--noise", [o](double v) { o->noise = v; },
         "with --tikhonov discrepancy: the rms of a monitor's noise; the residual is sqrt(m) * SIGMA")
      ->needs(tikhonov);
  sub->add_option("--orbit", o->orbit,
                  "the orbit (one value per monitor, one per line) an automatic alpha is for");
  CLI::Option* filter = sub->add_option(
      "--filter", o->filter,
      "the filter by its text: default, rcond R, keep N, tikhonov A|lcurve|gcv|discrepancy S");
  for (CLI::Option* other : {tol, keep, tikhonov}) {
    other->excludes(filter);
    if (other != tikhonov) other->excludes(tikhonov);
  }
  sub->add_flag("--classic", o->classic,
                "invert() as servers have always run it (GSL, its tolerance and floor); refused when\n"
                "the floor changes the inverse by more than 0.1 %")
      ->excludes(tikhonov)
      ->excludes(filter);
}

// One BLAS thread unless the user's environment asks for more: a tool run
// beside a busy server would otherwise spin a thread per core for small
// products. OpenBLAS reads its variables when it loads, so it is told here.
void one_blas_thread_unless_asked() {
  for (const char* v : {"OPENBLAS_NUM_THREADS", "GOTO_NUM_THREADS", "OMP_NUM_THREADS"})
    if (std::getenv(v) != nullptr) return;
  using SetThreads = void (*)(int);
  if (void* f = ::dlsym(RTLD_DEFAULT, "openblas_set_num_threads")) reinterpret_cast<SetThreads>(f)(1);
}

// zorfb correct and its options.
CLI::App* add_correct(CLI::App& app, zor_feedback::cli::CorrectOptions* o) {
  CLI::App* sub = app.add_subcommand(
      "correct",
      "one orbit-correction step (a dry run): masks by name, a cut and gain per plane, kick limits");
  sub->add_option("matrix", o->matrix, "labelled response-matrix file (monitors x correctors)")->required();
  sub->add_option("orbit", o->orbit, "orbit file: one value per monitor, one per line (nan: not read)")
      ->required();
  sub->add_option("--kicks", o->kicks, "present kicks, one per corrector, one per line (default 0)");
  sub->add_option("--limits", o->limits, "kick limits, lines NAME MIN MAX [MAX_STEP]");
  sub->add_option("--reference", o->reference, "the orbit to correct to, one value per monitor (default 0)");
  sub->add_option("--weights", o->weights, "monitor weights, one value per monitor (default 1)");
  CLI::Option* rf = sub->add_option("--rf-column", o->rf_column,
                                    "the RF frequency's orbit response, one value per monitor: a corrector "
                                    "of plane x (its kick comes last in --kicks)");
  sub->add_option("--rf-name", o->rf_name, "the RF column's corrector name (default RF)")->needs(rf);
  sub->add_option("--mask-monitor", o->mask_monitors, "leave this monitor out (repeatable)");
  sub->add_option("--mask-corrector", o->mask_correctors, "leave this corrector unmoved (repeatable)");
  sub->add_option_function<double>(
      "--gain", [o](double g) { o->gain[0] = o->gain[1] = g; },
      "the gain of both planes (before --gain-x, --gain-y)");
  const char* const planes[] = {"x", "y"};
  for (int k = 0; k < 2; ++k) {
    const std::string p = planes[k];
    CLI::Option* keep =
        sub->add_option("--keep-" + p, o->keep[k], "plane " + p + ": keep the N largest modes")
            ->check(CLI::PositiveNumber);
    CLI::Option* tol = sub->add_option_function<double>(
        "--tol-" + p, [o, k](double t) { o->tol[k] = t; },
        "plane " + p + ": relative cut-off rcond of the singular values (default max(m, n) * eps)");
    tol->excludes(keep);
    sub->add_option("--filter-" + p, o->filter[k],
                    "plane " + p + ": the filter by its text: default, rcond R, keep N, tikhonov A")
        ->excludes(keep)
        ->excludes(tol);
    sub->add_option("--gain-" + p, o->gain[k], "plane " + p + ": gain (default 1; above 1 overshoots)");
  }
  sub->add_option("--policy", o->policy, "at a kick limit: scale (default), clip or split")
      ->check(CLI::IsMember({"scale", "clip", "split"}));
  sub->add_option_function<std::string>(
         "--svd", [o](const std::string& name) { zor_feedback::parse_svd_method(name, &o->method); },
         "the decomposition of the standard inversion: lapack (default) or gsl")
      ->check(CLI::IsMember({"gsl", "lapack"}));
  add_format(sub, &o->format);
  return sub;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace zor_feedback::cli;
  one_blas_thread_unless_asked();

  CLI::App app{"zorfb " ZOR_FEEDBACK_VERSION
               ": response matrices, SVD cut-offs and chicane physics with the numerics of the\n"
               "zor_feedback library. Without a command it runs the demo.",
               "zorfb"};
  // The BLAS line tells whether OpenBLAS recognised the CPU (see README,
  // OPENBLAS_CORETYPE).
  app.set_version_flag("--version", [] {
    return std::string("zorfb " ZOR_FEEDBACK_VERSION "\n") +
           zor_feedback::blas_summary(zor_feedback::blas_info()) + "\n" + zor_feedback::multiply_kernel();
  });
  app.footer(kFooter);
  app.require_subcommand(0, 1);
  app.fallthrough();  // -v and --debug may also follow the command

  Global g;
  app.add_flag("-v,--verbose", g.verbose, "show the library's INFO and timing lines (on standard error)");
  app.add_flag("--debug", g.debug,
               "set bit 128 of OVRIX_debug: the library prints its debug tables (standard output with\n"
               "text output, standard error beside csv or json)");

  // measure
  MeasureOptions meas;
  CLI::App* meas_cmd = app.add_subcommand(
      "measure", "measure the response matrix of the simulated ring, restoring every corrector");
  meas_cmd->add_option("--ring", meas.ring, "the simulated ring: ring96 (default) or ring320");
  meas_cmd->add_option("--plane", meas.plane, "x or y: only that plane's monitors and correctors")
      ->check(CLI::IsMember({"x", "y"}));
  meas_cmd->add_option("--seed", meas.seed, "seed of the simulated errors and noise");
  meas_cmd->add_option("--noise", meas.noise_mm, "monitor noise rms [mm] (default 0.010)")
      ->check(CLI::Range(0.0, 10.0));
  meas_cmd
      ->add_option("--model-error", meas.model_error, "relative error of the nominal model (default 0.05)")
      ->check(CLI::Range(0.0, 1.0));
  meas_cmd->add_option("--readings", meas.readings, "orbits averaged per side (default 8)")
      ->check(CLI::Range(2, 10000));
  meas_cmd->add_option("--kick", meas.kick_mrad, "kick per corrector [mrad] (default: from --target)")
      ->check(CLI::Range(0.0, 4.0));
  meas_cmd
      ->add_option("--target", meas.target_mm,
                   "orbit change of a kick at its largest monitor [mm] (default 0.2)")
      ->check(CLI::PositiveNumber);
  meas_cmd->add_option("--rate", meas.orbit_hz, "orbit readings per second of machine time (default 10)")
      ->check(CLI::Range(0.1, 10000.0));
  meas_cmd->add_flag("--unipolar", meas.unipolar, "kick one way (start + d) instead of +-d/2");
  meas_cmd->add_option("-o,--out", meas.out, "write the matrix here and its errors beside it (.errors)");
  meas_cmd->add_option("--truth", meas.truth, "write the machine's true response here (simulation only)");

  // demo
  DemoOptions demo;
  CLI::App* demo_cmd = app.add_subcommand(
      "demo", "a feedback server on a simulated ring: load, invert, correct, read back as a client");
  demo_cmd->add_option("--ring", demo.ring, "the simulated ring: ring96 (default) or ring320")
      ->check(CLI::IsMember({"ring96", "ring320"}));
  demo_cmd->add_option("--data", demo.data, "response-matrix file (default: the example file of --ring)");
  demo_cmd
      ->add_option("--model-error", demo.model_error,
                   "the machine's relative model error, unknown to the feedback (default 0.05)")
      ->check(CLI::Range(0.0, 0.5));
  demo_cmd->add_option("--noise", demo.noise_mm, "monitor noise rms [mm] (default 0.010)")
      ->check(CLI::Range(0.0, 10.0));
  demo_cmd->add_option("--fail-monitor", demo.fail_monitor,
                       "a monitor (by name) that fails, reading no valid value");
  demo_cmd->add_option("--at", demo.fail_at, "the cycle at which --fail-monitor fails (default 5)")
      ->check(CLI::Range(0, 1000));
  demo_cmd->add_option("--cycles", demo.cycles, "correction cycles after the first measurement (default 12)")
      ->check(CLI::Range(0, 1000));
  demo_cmd->add_option("--filter", demo.filter,
                       "the filter of the singular values: default, rcond R, keep N or tikhonov A");
  demo_cmd->add_option("--controller", demo.controller, "integrator (default) or pi")
      ->check(CLI::IsMember({"integrator", "pi"}));
  demo_cmd->add_option("--kp", demo.kp, "pi: the proportional gain (default 0.2)");
  demo_cmd->add_option("--gain,--ki", demo.gain, "feedback gain, the integral gain ki (default 0.5)")
      ->check(CLI::Validator(
          [](std::string& v) {
            char* end = nullptr;
            const double gain = std::strtod(v.c_str(), &end);
            return *end == '\0' && end != v.c_str() ? zor_feedback::gain_problem(gain) : std::string();
          },
          "GAIN"));
  demo_cmd->add_option("--seed", demo.seed, "seed of the simulated errors and noise");
  add_method(demo_cmd, &demo.method);

  // svd
  InvertOptions svd;
  CLI::App* svd_cmd = app.add_subcommand(
      "svd",
      "invert a response-matrix file by SVD (the standard inversion, or invert() with --classic)\n"
      "and chart its spectrum");
  svd_cmd->add_option("file", svd.file, "response-matrix file")->required();
  add_cut(svd_cmd, &svd);
  add_method(svd_cmd, &svd.method);
  svd_cmd->add_option("--out", svd.out,
                      "write the inverse (actuators x monitors) to this file, loadable by load_file");
  add_format(svd_cmd, &svd.format);

  // pinv
  InvertOptions pinv;
  CLI::App* pinv_cmd = app.add_subcommand(
      "pinv", "invert a response-matrix file by Armadillo's pseudo-inverse (QTEV_ResponseMatrix::pinv)");
  pinv_cmd->add_option("file", pinv.file, "response-matrix file")->required();
  pinv_cmd->add_option_function<double>(
      "--tolerance", [&pinv](double t) { pinv.tol = t; },
      "floor on the input: elements with 0 < |a| < T are cleared before inverting (default 0)");
  pinv_cmd->add_option("--out", pinv.out,
                       "write the inverse (actuators x monitors) to this file, loadable by load_file");
  add_format(pinv_cmd, &pinv.format);

  // correct
  CorrectOptions correct;
  CLI::App* correct_cmd = add_correct(app, &correct);

  // matrix
  MatrixOptions mat;
  CLI::App* mat_cmd = app.add_subcommand(
      "matrix",
      "show a response matrix's planes; label it, or convert it (text, .npy, .mtx, each optionally .gz) "
      "with --out");
  mat_cmd
      ->add_option("file", mat.file, "matrix file: .npy, .mtx or the labelled text format (optionally .gz)")
      ->required();
  mat_cmd->add_option("--out", mat.out,
                      "write it here: .npy (values only), .mtx or anything else for labelled text; "
                      "+.gz compresses");
  mat_cmd->add_option("--monitors", mat.monitors, "file of the monitor names, in row order");
  mat_cmd->add_option("--correctors", mat.correctors, "file of the corrector names, in column order");
  mat_cmd->add_option("--monitor-planes", mat.monitor_planes, "the rows' planes: 'x x y ...' or 'x*48 y*48'");
  mat_cmd->add_option("--corrector-planes", mat.corrector_planes, "the columns' planes, as --monitor-planes");
  mat_cmd->add_option("--units", mat.units, "units of the elements, e.g. mm/mrad");
  mat_cmd->add_option("--format", mat.format, "output: text (default) or json")
      ->check(CLI::IsMember({"text", "json"}));

  // chicane
  ChicaneOptions ch;
  CLI::App* ch_cmd =
      app.add_subcommand("chicane", "every quantity of a four-dipole chicane, or a scan over one parameter");
  ch_cmd->add_option("-E,--energy", ch.input.energy_mev, "total beam energy [MeV]")->required();
  CLI::Option* field = ch_cmd->add_option("-B,--field", ch.input.field_t, "dipole field [T]");
  CLI::Option* angle =
      ch_cmd->add_option("--angle", ch.input.angle_rad, "bending angle of each dipole [deg]");
  CLI::Option* r56 = ch_cmd->add_option(
      "--r56", ch.input.r56, "the chicane's R56 [m], negative: the bend that gives it (R562alpha)");
  field->excludes(angle);
  r56->excludes(field)->excludes(angle);
  ch_cmd->add_option("--leff", ch.input.leff, "effective dipole length along the axis [m]")->required();
  ch_cmd->add_option("--d12", ch.input.d12, "drift between dipoles 1-2 (and 3-4) along the axis [m]")
      ->required();
  ch_cmd->add_option("--d23", ch.input.d23, "drift between dipoles 2-3 [m]")->required();
  ch_cmd->add_option("--a1", ch.input.a1, "field per unit current [T/A], to show the magnet current");
  ch_cmd->add_option("--scan", ch.scan,
                     "NAME=FROM:TO:STEPS: a table over one of energy, field, angle, r56, leff, d12, d23\n"
                     "(in the units above), e.g. --scan field=0.05:0.2:7");
  add_format(ch_cmd, &ch.format);
  ch_cmd->footer(
      "Geometry: four dipoles of effective length leff along the axis; dipoles 1 and 4 bend to one\n"
      "side, 2 and 3 to the other. d12 is the drift between dipoles 1 and 2 (and 3 and 4), d23 the\n"
      "drift between dipoles 2 and 3, both along the axis. The path length l_bc runs from the\n"
      "entrance of dipole 1 to the exit of dipole 4; its straight reference is L = 2 d12 + d23 +\n"
      "4 leff, which delta_t receives as the centre distances z12 = d12 + leff and z23 = d23 + leff.\n"
      "Energies enter E2gamma and E2p in joules (E [MeV] * 1.602176634e-13). csv and json give\n"
      "lengths in m, times in s, angles in rad.");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int rc = app.exit(e);
    return rc == 0 ? kOk : kUsage;
  }

  if (g.debug) OVRIX_debug |= 128;
  gsl_set_error_handler_off();  // a failed GSL call returns its status; it never aborts the tool
  try {
    if (*svd_cmd) return run_svd(g, svd);
    if (*pinv_cmd) return run_pinv(g, pinv);
    if (*correct_cmd) return run_correct(g, correct);
    if (*mat_cmd) return run_matrix(g, mat);
    if (*meas_cmd) return run_measure(g, meas);
    if (*ch_cmd) {
      ch.have_field = field->count() > 0;
      ch.have_angle = angle->count() > 0;
      ch.have_r56 = r56->count() > 0;
      ch.input.use_r56 = ch.have_r56;
      if (ch.have_angle) {
        ch.input.angle_rad *= 3.14159265358979323846 / 180.0;
        ch.input.use_angle = true;
      }
      return run_chicane(g, ch);
    }
    return run_demo(g, demo);
  } catch (const std::exception& e) {
    std::cerr << "zorfb: error: " << e.what() << '\n';
    return kFailure;
  }
}
