// zorfb.h - the parts of the zorfb command-line tool, shared by its commands
// and its tests.
#ifndef ZORFB_ZORFB_H
#define ZORFB_ZORFB_H

#include <cstdio>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "zor_feedback/zor_feedback.h"
#include "zorfb/simulation.h"

namespace zorfb {

// Exit codes of every command.
enum Exit : int {
  kOk = 0,
  kFailure = 1,  // the operation failed: unreadable or ill-fitting file, library error
  kUsage = 2,    // bad command line
};

// Options that every command accepts.
struct Global {
  bool verbose = false;  // show the library's INFO and timing lines
  bool debug = false;    // set bit 128 of OVRIX_debug (the library's debug tables)
};

// ---------------------------------------------------------------------------
// Logging

// Receives the library's log lines while it lives and writes them to standard
// error as "origin: text": every line when verbose, otherwise only the DF_LOG
// lines (errors). Counts the DF_LOG lines, so that a command knows whether a
// library call failed. Restores the previous sink when destroyed.
class LogSession {
 public:
  explicit LogSession(bool verbose);
  ~LogSession();
  LogSession(const LogSession&) = delete;
  LogSession& operator=(const LogSession&) = delete;

  // DF_LOG lines seen so far.
  int errors() const { return errors_; }
  // Every line seen so far, whatever was printed.
  const std::vector<ovrix::LogLine>& lines() const { return lines_; }

 private:
  bool verbose_;
  int errors_ = 0;
  std::vector<ovrix::LogLine> lines_;
  ovrix::LogSink previous_;
};

// Diverts the process's standard output (file descriptor 1) into a temporary
// file while it lives. The library writes a few lines and, on request, its
// debug tables to standard output; a command collects them this way, so that
// its own csv or json output stays clean, and decides where they go.
class StdoutDiversion {
 public:
  StdoutDiversion();
  ~StdoutDiversion();
  StdoutDiversion(const StdoutDiversion&) = delete;
  StdoutDiversion& operator=(const StdoutDiversion&) = delete;

  // Ends the diversion and returns what was written meanwhile.
  std::string finish();

 private:
  std::FILE* file_ = nullptr;
  int saved_fd_ = -1;
};

// ---------------------------------------------------------------------------
// Response-matrix files

// The shape of a response-matrix file by the loader's own counting: data
// lines are the lines (split at line feeds) that do not start with '#'; the
// columns are the number of values on the last data line.
struct FileShape {
  int rows = 0;
  int cols = 0;
  int fewer_lines = 0;       // data lines with fewer values than the last one
  int first_fewer_line = 0;  // line number (from 1) of the first of them
  int more_lines = 0;        // data lines with more values than the last one
  int first_more_line = 0;   // line number of the first of them
  int last_data_line = 0;    // line number of the last data line
};

// Counts the shape of the file at path. Returns false, with a message in
// *error, when it is not a regular file that can be read.
bool count_shape(const std::string& path, FileShape* shape, std::string* error);

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

// A number as JSON: "%.9g", or null for infinity and NaN.
std::string json_number(double v);
// A string as a JSON string literal, quotes included.
std::string json_string(const std::string& s);

// Where the example data lie: the installed share directory next to the
// executable, else the source tree's examples/data. Empty when neither exists.
std::string example_data_path(const std::string& file);

// ---------------------------------------------------------------------------
// Commands. Each returns its exit code and writes its results to standard
// output, its errors to standard error.

struct InvertOptions {
  std::string file;
  float tol = -1.0f;          // svd: -1 = the library's internal tolerance; pinv: the input floor
  std::string out;            // write the inverse here when not empty
  std::string format = "text";  // text, csv or json
};
int run_svd(const Global& g, const InvertOptions& o);
int run_pinv(const Global& g, const InvertOptions& o);

// ---------------------------------------------------------------------------
// Chicane

struct ChicaneInput {
  double energy_mev = 0.0;  // total beam energy [MeV]
  double field_t = 0.0;     // dipole field [T], used when use_angle is false
  double angle_rad = 0.0;   // bending angle [rad], used when use_angle is true
  bool use_angle = false;
  double leff = 0.0;        // effective dipole length along the axis [m]
  double d12 = 0.0;         // drift between dipoles 1-2 and 3-4, along the axis [m]
  double d23 = 0.0;         // drift between dipoles 2-3 [m]
  double a1 = 0.0;          // field per unit current [T/A]; 0: no current
};

struct ChicaneResult {
  bool valid = false;
  std::string problem;      // why not valid
  double gamma = 0, beta = 0, p_si = 0, p_mev = 0;
  double angle = 0, field = 0, current = 0;
  double r = 0, x_bc = 0, l_bc = 0, straight = 0, delta_t = 0, r56 = 0;
};

// Every chicane quantity through the library's functions.
ChicaneResult compute_chicane(const ChicaneInput& in);
// The worked-example report: inputs and every result with its unit.
void print_chicane(std::ostream& os, const ChicaneInput& in, const ChicaneResult& r, const std::string& indent);

struct ChicaneOptions {
  ChicaneInput input;
  bool have_field = false;
  bool have_angle = false;
  std::string scan;     // "name=from:to:steps", empty for none
  std::string format = "text";
};
int run_chicane(const Global& g, const ChicaneOptions& o);

// ---------------------------------------------------------------------------
// Demo: a feedback server on a simulated ring.

struct DemoOptions {
  std::string data;  // response-matrix file; empty: the shipped ring
  int cycles = 12;
  double gain = 0.5;
  unsigned seed = 20240611;
};
int run_demo(const Global& g, const DemoOptions& o);

}  // namespace zorfb

#endif  // ZORFB_ZORFB_H
