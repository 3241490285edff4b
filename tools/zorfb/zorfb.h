// zorfb.h - the parts of the zorfb command-line tool, shared by its commands
// and its tests.
#ifndef ZOR_FEEDBACK_CLI_ZORFB_H
#define ZOR_FEEDBACK_CLI_ZORFB_H

#include <cstdio>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "example_data.h"
#include "feedback_simulation.h"
#include "zor_feedback/labelled_matrix.h"
#include "zor_feedback/zor_feedback.h"

namespace zor_feedback {
namespace cli {

// Exit codes of every command.
enum Exit : int {
  kOk = 0,
  kFailure = 1,  // the operation failed: unreadable or ill-fitting file, refused or useless result
  kUsage = 2,    // bad command line
};

// Options that every command accepts.
struct Global {
  bool verbose = false;  // show the library's log lines
  bool debug = false;    // set bit 128 of OVRIX_debug (the library's debug tables)
};

// ---------------------------------------------------------------------------
// Logging

// Receives the library's log lines while it lives: with `verbose` it writes
// each to standard error as "origin: text", otherwise it keeps them quiet (a
// command reports errors and warnings from the library's results). Restores
// the previous sink when destroyed.
class LogSession {
 public:
  explicit LogSession(bool verbose);
  ~LogSession();
  LogSession(const LogSession&) = delete;
  LogSession& operator=(const LogSession&) = delete;

 private:
  ovrix::LogSink previous_;
};

// Diverts the process's standard output (file descriptor 1) into a temporary
// file while it lives. The library writes a few lines and, on request, its
// debug tables to standard output; a command collects them this way, so that
// its own csv or json output stays clean, and decides where they go.
class StdoutDiversion {
 public:
  StdoutDiversion();
  ~StdoutDiversion() { finish(); }

  // Ends the diversion and returns what was written meanwhile.
  std::string finish();

 private:
  struct Close {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };
  std::unique_ptr<std::FILE, Close> file_;  // null: not diverted
  int saved_fd_ = -1;
};

// ---------------------------------------------------------------------------
// Response-matrix files

// A matrix loaded from a file, shaped by the file itself.
struct MatrixInput {
  std::unique_ptr<QTEV_ResponseMatrix> R;
  zor_feedback::MatrixFileShape shape;  // ok, rows and cols
  std::vector<std::string> warnings;    // what the file may mean differently than it is read
};

// Loads a matrix file of any format by zor_feedback::load_matrix_file into a
// matrix `property` of the file's shape in `location`. Returns kOk, or
// kFailure after the refusal's text on standard error.
int load_matrix(const std::string& file, const char* property, EqFct& location, MatrixInput* in);

// Writes the matrix in the loader's format: the header lines as '#' comments,
// then one line per row with every value as "%.9g", which reads back into the
// same float. Returns false, with a message, when the matrix holds a value that
// the format cannot carry (infinity, NaN) or the file cannot be written.
bool write_matrix(const std::string& path, QTEV_ResponseMatrix& m, const std::vector<std::string>& header,
                  std::string* error);

// ---------------------------------------------------------------------------
// Output helpers

// A chart of the singular values on a log scale, one column per value (or per
// group of values when there are more than fit), with the cut-off marked:
// '#' for a value that is used, '.' for one that is dropped, a row of '-' at
// the cut-off (none when cutoff is not a positive number), 'v' at the bottom
// for a zero value.
std::string spectrum_chart(const std::vector<double>& values, const std::vector<bool>& used, double cutoff,
                           int height = 12, int max_width = 72);

void print_error(const std::string& text);
void print_warning(const std::string& text);

// ---------------------------------------------------------------------------
// Commands. Each returns its exit code and writes its results to standard
// output, its errors to standard error.

struct InvertOptions {
  std::string file;
  // svd, correct: the standard inversion's rcond, or with `classic` invert()'s
  // tolerance (-1: the internal one); pinv: the input floor.
  std::optional<double> tol;
  int keep = 0;                                   // svd: exactly this many singular values (0: use tol)
  std::string tikhonov;                           // svd: A, auto, lcurve, gcv or discrepancy (empty: none)
  std::optional<double> noise;                    // svd: the monitors' noise of --tikhonov discrepancy
  std::string orbit;                              // svd: the orbit file an automatic strength is chosen for
  std::string filter;                             // svd: the filter's text form (empty: by the options above)
  bool classic = false;                           // svd: invert() as servers run it, floor and all
  std::optional<zor_feedback::SvdMethod> method;  // unset: lapack, gsl with classic
  std::string out;                                // write the inverse here when not empty
  std::string format = "text";                    // text, csv or json
  zor_feedback::SvdMethod engine() const {
    return method.value_or(classic ? zor_feedback::SvdMethod::gsl : zor_feedback::SvdMethod::lapack);
  }
};
int run_svd(const Global& g, const InvertOptions& o);
// The standard inversion's options from the tool's (filter_options.cc):
// kUsage, with the reason printed, for a filter the library refuses or an
// orbit file that does not fit.
int standard_options(const InvertOptions& o, int rows, zor_feedback::StandardOptions* out);
// A column file (one value per line) of `count` values, read as a labelled
// matrix so that a misread line is refused the same way.
bool read_column(const std::string& file, int count, const char* what, std::vector<double>* out);
int run_pinv(const Global& g, const InvertOptions& o);

// One correction step through zor_feedback::Correction (correct.cc).
struct CorrectOptions {
  std::string matrix;              // labelled response-matrix file
  std::string orbit;               // the measured orbit: one value per monitor, one per line (nan: not read)
  std::string kicks;               // the present kicks, one per corrector; empty: all 0
  std::string limits;              // lines "NAME MIN MAX [MAX_STEP]"; empty: none
  std::string reference, weights;  // one value per monitor, one per line; empty: zero, all 1
  std::string rf_column;           // the RF column's response, one value per monitor; empty: none
  std::string rf_name = "RF";      // its corrector name
  std::vector<std::string> mask_monitors, mask_correctors;
  int keep[2] = {0, 0};          // per plane x, y: keep N modes (0: by rcond)
  std::optional<double> tol[2];  // per plane: rcond of the standard inversion
  std::string filter[2];         // per plane: the filter's text form (empty: by keep or tol)
  double gain[2] = {1.0, 1.0};   // per plane
  std::string policy = "scale";  // scale, clip or split
  zor_feedback::SvdMethod method = zor_feedback::SvdMethod::lapack;
  std::string format = "text";
};
int run_correct(const Global& g, const CorrectOptions& o);

// Shows, labels and converts a matrix (matrix.cc). Input and output by their
// names, as zor_feedback/labelled_matrix.h reads and writes them: .npy, .mtx,
// anything else the labelled text format; each optionally .gz. A .npy keeps
// no labels: writing one with labels warns on standard error.
struct MatrixOptions {
  std::string file;
  std::string out;                               // write it here when not empty
  std::string monitors, correctors;              // files of names, in order
  std::string monitor_planes, corrector_planes;  // "x y ...", with repeats "x*48"
  std::string units;
  std::string format = "text";  // text or json
};
int run_matrix(const Global& g, const MatrixOptions& o);

// ---------------------------------------------------------------------------
// Chicane

struct ChicaneInput {
  double energy_mev = 0.0;  // total beam energy [MeV]
  double field_t = 0.0;     // dipole field [T], used when the bend is given as a field
  double angle_rad = 0.0;   // bending angle [rad], used when use_angle is true
  bool use_angle = false;
  double r56 = 0.0;  // [m], used when use_r56 is true: the angle comes from R562alpha
  bool use_r56 = false;
  double leff = 0.0;  // effective dipole length along the axis [m]
  double d12 = 0.0;   // drift between dipoles 1-2 and 3-4, along the axis [m]
  double d23 = 0.0;   // drift between dipoles 2-3 [m]
  double a1 = 0.0;    // field per unit current [T/A]; 0: no current
};

struct ChicaneResult {
  bool valid = false;
  std::string problem;  // why not valid
  double gamma = 0, beta = 0, p_si = 0, p_mev = 0;
  double angle = 0, field = 0, current = 0;
  double r = 0, x_bc = 0, l_bc = 0, straight = 0, delta_t = 0, r56 = 0;
};

// Every chicane quantity through the library's functions.
ChicaneResult compute_chicane(const ChicaneInput& in);
// The worked-example report: inputs and every result with its unit.
void print_chicane(std::ostream& os, const ChicaneInput& in, const ChicaneResult& r,
                   const std::string& indent);

struct ChicaneOptions {
  ChicaneInput input;
  bool have_field = false;
  bool have_angle = false;
  bool have_r56 = false;
  std::string scan;  // "name=from:to:steps", empty for none
  std::string format = "text";
};
int run_chicane(const Global& g, const ChicaneOptions& o);

// ---------------------------------------------------------------------------
// Demo: a feedback server on a simulated ring (sim/feedback_simulation.h).

struct DemoOptions {
  std::string ring = "ring96";  // the example ring (sim/rings.h)
  std::string data;             // response-matrix file; empty: the ring's example file
  double model_error = 0.05;
  double noise_mm = 0.010;
  std::string fail_monitor;  // empty: none
  int fail_at = 5;
  int cycles = 12;
  std::string filter;                     // the singular values' filter (text form); empty: default
  std::string controller = "integrator";  // or "pi"
  double gain = 0.5;                      // the integral gain ki
  std::optional<double> kp;               // pi only; default 0.2
  unsigned long seed = 20240611;
  std::optional<zor_feedback::SvdMethod> method;
};
int run_demo(const Global& g, const DemoOptions& o);

// zorfb measure: the simulated machine's response measured column by column.
struct MeasureOptions {
  std::string ring = "ring96";
  std::string plane;  // x or y: that plane's monitors and correctors only; empty: all
  unsigned long seed = 20240611;
  double noise_mm = 0.010;
  double model_error = 0.05;
  int readings = 8;        // per side
  double kick_mrad = 0.0;  // 0: from target_mm by the nominal matrix
  double target_mm = 0.2;  // the orbit change of a kick at the monitor that answers most
  bool unipolar = false;
  double orbit_hz = 10.0;  // orbit readings per second of machine time
  std::string out, truth;  // the measured matrix (and its errors beside it); the true response
};
int run_measure(const Global& g, const MeasureOptions& o);

// A measured matrix against the truth: the share of elements within 3 of
// their standard errors (<=), |M - T|_F / |T|_F, and |errors|_F / |T|_F.
struct TruthFigures {
  double within_3_sigma = 0, relative_error = 0, relative_noise = 0;
};
TruthFigures compare_to_truth(const std::vector<double>& measured, const std::vector<double>& errors,
                              const std::vector<double>& truth);

}  // namespace cli
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_CLI_ZORFB_H
