// zorfb - the zor_feedback library's operations on the command line, through
// the library's own code paths, so that an offline answer is the server's.
#include <gsl/gsl_errno.h>
#include <CLI/CLI.hpp>

#include <iostream>
#include <string>

#include "zor_feedback/blas_info.h"
#include "zorfb/zorfb.h"

namespace {

constexpr const char* kFooter =
    R"(Exit status: 0 success, 1 the operation failed (file, library error), 2 bad command line.

Response-matrix file: one line per monitor (row), one number per actuator
(column), separated by blanks; lines starting with '#' are comments. The
number of rows is the number of other lines, the number of columns the
number of values on the last of them.)";

void add_format(CLI::App* sub, std::string* format) {
  sub->add_option("--format", *format, "output: text (default), csv or json")
      ->check(CLI::IsMember({"text", "csv", "json"}));
}

// --svd gsl|lapack, into *method.
void add_method(CLI::App* sub, zor_feedback::SvdMethod* method) {
  sub->add_option_function<std::string>(
         "--svd", [method](const std::string& name) { zor_feedback::parse_svd_method(name, method); },
         "the decomposition: gsl (default, the server's default) or lapack (divide and conquer, far faster\n"
         "on large matrices, the same result to rounding)")
      ->check(CLI::IsMember({"gsl", "lapack"}));
}

// --tol T or --keep N for the SVD inversion.
void add_tolerance(CLI::App* sub, zor_feedback::cli::InvertOptions* o) {
  CLI::Option* tol = sub->add_option(
      "--tol", o->tol,
      "cut-off tolerance, relative to the largest singular value (and an absolute floor on the\n"
      "inverse's elements); -1 (default) asks for the library's internal one");
  CLI::Option* keep =
      sub->add_option(
             "--keep", o->keep,
             "choose the tolerance that lets exactly N singular values enter the inverse, and report it")
          ->check(CLI::PositiveNumber);
  tol->excludes(keep);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace zor_feedback::cli;

  CLI::App app{"zorfb " ZOR_FEEDBACK_VERSION
               ": response matrices, SVD cut-offs and chicane physics with the numerics of the\n"
               "zor_feedback library. Without a command it runs the demo.",
               "zorfb"};
  // The BLAS line tells whether OpenBLAS recognised the CPU (see README,
  // OPENBLAS_CORETYPE).
  app.set_version_flag("--version", [] {
    return std::string("zorfb " ZOR_FEEDBACK_VERSION "\n") +
           zor_feedback::blas_summary(zor_feedback::blas_info());
  });
  app.footer(kFooter);
  app.require_subcommand(0, 1);
  app.fallthrough();  // -v and --debug may also follow the command

  Global g;
  app.add_flag("-v,--verbose", g.verbose, "show the library's INFO and timing lines (on standard error)");
  app.add_flag("--debug", g.debug,
               "set bit 128 of OVRIX_debug: the library prints its debug tables (standard output with\n"
               "text output, standard error beside csv or json)");

  // demo
  DemoOptions demo;
  CLI::App* demo_cmd = app.add_subcommand(
      "demo", "a feedback server on a simulated ring: load, invert, correct, read back as a client");
  demo_cmd->add_option("--data", demo.data, "response-matrix file (default: the shipped ring_response.txt)");
  demo_cmd->add_option("--cycles", demo.cycles, "correction cycles after the first measurement (default 12)")
      ->check(CLI::Range(0, 1000));
  demo_cmd->add_option("--gain", demo.gain, "feedback gain (default 0.5)")->check(CLI::Range(0.0, 2.0));
  demo_cmd->add_option("--seed", demo.seed, "seed of the simulated errors and noise");
  add_method(demo_cmd, &demo.method);

  // svd
  InvertOptions svd;
  CLI::App* svd_cmd = app.add_subcommand(
      "svd", "invert a response-matrix file by SVD (QTEV_ResponseMatrix::invert) and chart its spectrum");
  svd_cmd->add_option("file", svd.file, "response-matrix file")->required();
  add_tolerance(svd_cmd, &svd);
  add_method(svd_cmd, &svd.method);
  svd_cmd->add_option("--out", svd.out,
                      "write the inverse (actuators x monitors) to this file, loadable by load_file");
  add_format(svd_cmd, &svd.format);

  // pinv
  InvertOptions pinv;
  pinv.tol = 0.0f;
  CLI::App* pinv_cmd = app.add_subcommand(
      "pinv", "invert a response-matrix file by Armadillo's pseudo-inverse (QTEV_ResponseMatrix::pinv)");
  pinv_cmd->add_option("file", pinv.file, "response-matrix file")->required();
  pinv_cmd->add_option(
      "--tolerance", pinv.tol,
      "floor on the input: elements with 0 < |a| < T are cleared before inverting (default 0)");
  pinv_cmd->add_option("--out", pinv.out,
                       "write the inverse (actuators x monitors) to this file, loadable by load_file");
  add_format(pinv_cmd, &pinv.format);

  // correct
  CorrectOptions correct;
  CLI::App* correct_cmd = app.add_subcommand(
      "correct", "one orbit correction step offline: the corrector change -gain * inverse * orbit");
  correct_cmd->add_option("matrix", correct.invert.file, "response-matrix file (monitors x actuators)")
      ->required();
  correct_cmd->add_option("orbit", correct.orbit, "orbit file: one value per monitor, one per line")
      ->required();
  add_tolerance(correct_cmd, &correct.invert);
  add_method(correct_cmd, &correct.invert.method);
  correct_cmd->add_option("--gain", correct.gain, "feedback gain G (default 1)");
  add_format(correct_cmd, &correct.invert.format);

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
