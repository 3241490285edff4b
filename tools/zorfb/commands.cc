// zorfb svd and zorfb pinv: the library's two inversions on a response-matrix
// file, with the results a physicist needs to pick a cut-off.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "zorfb/zorfb.h"

namespace zorfb {

namespace {

// Above this many elements an inversion takes long enough to say so first.
constexpr long kLongWork = 100000;

std::string fmt(const char* format, double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, format, v);
  return buf;
}

void error(const std::string& text) { std::cerr << "zorfb: error: " << text << '\n'; }

// A response matrix read from a file, shaped by the file itself.
struct Input {
  std::unique_ptr<QTEV_ResponseMatrix> R;
  int rows = 0;
  int cols = 0;
};

// Counts the file's shape, builds a matrix of it in `location` and loads it
// with load_file. Returns kOk, or the exit code after an error message.
int load_input(const std::string& file, EqFct& location, LogSession& log, Input* in) {
  FileShape shape;
  std::string why;
  if (!count_shape(file, &shape, &why)) {
    error(why);
    return kFailure;
  }
  if (shape.rows == 0) {
    error("'" + file + "' has no data lines (every line starts with '#')");
    return kFailure;
  }
  if (shape.cols == 0) {
    error("'" + file + "': the last data line (line " + std::to_string(shape.last_data_line) +
          ") holds no numbers, so the number of columns is 0; remove empty lines at the end and mark "
          "headings with '#'");
    return kFailure;
  }
  // A longer line makes the loader refuse the file (with its own message); a
  // shorter one is loaded and leaves the rest of its row as it was (0 here).
  if (shape.fewer_lines > 0)
    std::cerr << "zorfb: warning: '" << file << "': " << shape.fewer_lines << " of " << shape.rows
              << " data lines hold fewer than the " << shape.cols << " values of the last one (first at line "
              << shape.first_fewer_line << "); their missing elements are 0\n";

  in->R = std::make_unique<QTEV_ResponseMatrix>("RESPONSE_MATRIX", shape.rows, shape.cols, &location);
  in->rows = shape.rows;
  in->cols = shape.cols;
  const int errors = log.errors();
  if (!in->R->load_file(file.c_str()) || log.errors() != errors) {
    error("cannot load '" + file + "' as a " + std::to_string(shape.rows) + " x " + std::to_string(shape.cols) +
          " response matrix");
    return kFailure;
  }
  for (int i = 0; i < in->rows; ++i)
    for (int j = 0; j < in->cols; ++j)
      if (!std::isfinite(in->R->value(i, j, -1, -1, -1, -1))) {
        error("'" + file + "': element (" + std::to_string(i) + ", " + std::to_string(j) +
              ") lies beyond the float range of the matrix");
        return kFailure;
      }
  return kOk;
}

void announce_long_work(const char* what, const Input& in) {
  const long elements = static_cast<long>(in.rows) * in.cols;
  if (elements > kLongWork)
    std::cerr << "zorfb: " << what << " of a " << in.rows << " x " << in.cols << " matrix (" << elements
              << " elements), this may take a while ...\n";
}

// Where the library's own standard output goes after a call: with the text
// output when asked for (-v, --debug), to standard error beside csv or json.
void forward_library_output(const Global& g, const InvertOptions& o, const std::string& text) {
  if (text.empty() || !(g.verbose || g.debug)) return;
  (o.format == "text" ? std::cout : std::cerr) << text << std::flush;
}

// The inverse written with --out.
int write_inverse(const InvertOptions& o, QTEV_ResponseMatrix& inverse, const std::vector<std::string>& header) {
  std::string why;
  if (!write_matrix(o.out, inverse, header, &why)) {
    error(why);
    return kFailure;
  }
  return kOk;
}

double elapsed_ms(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

// One spectrum, as svd and pinv report it.
struct Spectrum {
  std::vector<double> values;
  std::vector<bool> used;
  double cutoff = 0.0;
  int used_count() const { return static_cast<int>(std::count(used.begin(), used.end(), true)); }
};

void print_csv_values(const Spectrum& s) {
  std::cout << "index,singular_value,used\n";
  for (std::size_t i = 0; i < s.values.size(); ++i)
    std::cout << i << ',' << json_number(s.values[i]) << ',' << (s.used[i] ? 1 : 0) << '\n';
}

void print_json_values(const Spectrum& s) {
  std::cout << "  \"singular_values\": [";
  for (std::size_t i = 0; i < s.values.size(); ++i) std::cout << (i ? ", " : "") << json_number(s.values[i]);
  std::cout << "],\n  \"used_flags\": [";
  for (std::size_t i = 0; i < s.used.size(); ++i) std::cout << (i ? ", " : "") << (s.used[i] ? "true" : "false");
  std::cout << "],\n";
}

void print_range(const Spectrum& s) {
  double hi = 0.0, lo = HUGE_VAL;
  for (std::size_t i = 0; i < s.values.size(); ++i)
    if (s.used[i]) {
      hi = std::max(hi, s.values[i]);
      lo = std::min(lo, s.values[i]);
    }
  if (s.used_count() == 0) return;
  std::cout << "used range  " << fmt("%.3e", hi) << " .. " << fmt("%.3e", lo) << "  (condition number "
            << fmt("%.4g", hi / lo) << ")\n";
}

}  // namespace

// ---------------------------------------------------------------------------
int run_svd(const Global& g, const InvertOptions& o) {
  LogSession log(g.verbose);
  EqFct location("ZORFB");
  Input in;
  if (const int rc = load_input(o.file, location, log, &in); rc != kOk) return rc;
  const int m = in.rows, n = in.cols, k = std::min(m, n);

  QTEV_ResponseMatrix inverse("INVERSE", n, m, &location);
  D_spectrum spectrum("SINGULAR_VALUES", k, &location);
  announce_long_work("SVD", in);

  float tol = o.tol;
  const bool internal = tol == -1.0f;
  int nosv = 0;
  const int errors = log.errors();
  StdoutDiversion diversion;
  const auto t0 = std::chrono::steady_clock::now();
  in.R->invert(inverse, spectrum, &tol, &nosv);
  const double ms = elapsed_ms(t0);
  forward_library_output(g, o, diversion.finish());
  if (log.errors() != errors) {
    error("the SVD inversion of '" + o.file + "' failed");
    return kFailure;
  }

  // The spectrum as a client reads it, and which values entered the inverse:
  // those above the relative cut-off tol * max(S).
  EqData request, reply;
  location.get("SINGULAR_VALUES", &request, &reply);
  Spectrum s;
  for (int i = 0; i < reply.length(); ++i) s.values.push_back(reply.get_double(i));
  double smax = 0.0;
  for (const double v : s.values) smax = std::max(smax, v);
  s.cutoff = static_cast<double>(tol) * smax;
  for (const double v : s.values) s.used.push_back(v > s.cutoff);

  if (!o.out.empty()) {
    const int rc = write_inverse(
        o, inverse,
        {"Pseudo-inverse of " + o.file + " by QTEV_ResponseMatrix::invert (zorfb " ZOR_FEEDBACK_VERSION ").",
         "Shape: " + std::to_string(n) + " rows (actuators) x " + std::to_string(m) + " columns (monitors).",
         "Tolerance " + fmt("%.9g", tol) + (internal ? " (internal)" : " (user)") + ": " +
             std::to_string(s.used_count()) + " of " + std::to_string(k) + " singular values inverted (nosv " +
             std::to_string(nosv) + ").",
         "Elements with |v| <= tolerance are stored as 0. Units: the inverse of the input's."});
    if (rc != kOk) return rc;
  }

  const char* source = internal ? "internal" : "user";
  if (o.format == "csv") {
    std::cout << "# file=" << o.file << ", rows=" << m << ", cols=" << n << ", tolerance=" << json_number(tol)
              << ", tolerance_source=" << source << ", cutoff=" << json_number(s.cutoff) << ", nosv=" << nosv
              << ", used=" << s.used_count() << ", time_ms=" << fmt("%.4f", ms) << '\n';
    print_csv_values(s);
  } else if (o.format == "json") {
    std::cout << "{\n  \"command\": \"svd\",\n  \"file\": " << json_string(o.file) << ",\n  \"rows\": " << m
              << ",\n  \"cols\": " << n << ",\n  \"tolerance\": " << json_number(tol)
              << ",\n  \"tolerance_source\": \"" << source << "\",\n  \"cutoff\": " << json_number(s.cutoff)
              << ",\n  \"nosv\": " << nosv << ",\n  \"used\": " << s.used_count() << ",\n";
    print_json_values(s);
    std::cout << "  \"time_ms\": " << fmt("%.4f", ms)
              << ",\n  \"out\": " << (o.out.empty() ? std::string("null") : json_string(o.out)) << "\n}\n";
  } else {
    std::cout << "SVD of " << o.file << ": " << m << " x " << n << " (monitors x actuators), " << k
              << (k == 1 ? " singular value\n\n" : " singular values\n\n");
    std::cout << "Singular values, log scale ('#' used, '.' dropped, '-' cut-off):\n";
    std::cout << spectrum_chart(s.values, s.used, s.cutoff);
    std::cout << '\n';
    print_range(s);
    std::cout << "tolerance   " << fmt("%.3e", tol)
              << (!internal             ? "  (given)"
                  : std::isnan(tol)     ? "  (internal; not a number, since the largest singular value is 0)"
                                        : "  (internal: max(m, n) * eps * max(S), two significant digits)")
              << '\n';
    std::cout << "cut-off     " << fmt("%.3e", s.cutoff) << "  (tolerance * largest singular value)\n";
    std::cout << "used        " << nosv << " of " << k << " singular values";
    if (nosv != s.used_count())
      std::cout << " not below the tolerance; " << s.used_count() << " lie above the cut-off and enter the inverse";
    std::cout << '\n';
    std::cout << "time        " << fmt("%.3f", ms) << " ms\n";
    if (!o.out.empty()) std::cout << "inverse     " << n << " x " << m << " written to " << o.out << '\n';
  }
  return kOk;
}

// ---------------------------------------------------------------------------
int run_pinv(const Global& g, const InvertOptions& o) {
  LogSession log(g.verbose);
  EqFct location("ZORFB");
  Input in;
  if (const int rc = load_input(o.file, location, log, &in); rc != kOk) return rc;
  const int m = in.rows, n = in.cols, k = std::min(m, n);

  QTEV_ResponseMatrix inverse("INVERSE", n, m, &location);
  announce_long_work("pseudo-inverse", in);

  float tolerance = o.tol;
  const std::size_t first_line = log.lines().size();
  const int errors = log.errors();
  double ms = 0.0;
  {
    StdoutDiversion diversion;
    const auto t0 = std::chrono::steady_clock::now();
    try {
      in.R->pinv(inverse, &tolerance);
    } catch (const std::exception& e) {
      const std::string text = diversion.finish();
      std::cerr << text;
      error(std::string("the pseudo-inverse of '") + o.file + "' failed: " + e.what());
      return kFailure;
    }
    ms = elapsed_ms(t0);
    forward_library_output(g, o, diversion.finish());
  }
  if (log.errors() != errors) {
    error("the pseudo-inverse of '" + o.file + "' failed");
    return kFailure;
  }
  // How many elements each floor removed, from the library's own lines.
  int in_cleared = 0, out_cleared = 0;
  for (std::size_t i = first_line; i < log.lines().size(); ++i) {
    const ovrix::LogLine& l = log.lines()[i];
    int count = 0;
    if (std::sscanf(l.text.c_str(), "removed %d values", &count) != 1) continue;
    if (l.text.find("in input") != std::string::npos) in_cleared = count;
    if (l.text.find("in inverse") != std::string::npos) out_cleared = count;
  }

  // For the chart: the singular values of the matrix that Armadillo inverted
  // (the input floor applied), and Armadillo's own threshold.
  arma::mat A = in.R->QTEV2arma_mat(*in.R);
  A.transform([&](double a) { return (std::fabs(a) < static_cast<double>(tolerance) && a != 0.0) ? 0.0 : a; });
  arma::vec sv;
  Spectrum s;
  if (arma::svd(sv, A)) {
    const double threshold =
        static_cast<double>(std::max(m, n)) * (sv.n_elem ? sv.max() : 0.0) * std::numeric_limits<double>::epsilon();
    s.cutoff = threshold;
    for (const double v : sv) {
      s.values.push_back(v);
      s.used.push_back(v >= threshold && v > 0.0);
    }
  }

  if (!o.out.empty()) {
    const int rc = write_inverse(
        o, inverse,
        {"Pseudo-inverse of " + o.file + " by QTEV_ResponseMatrix::pinv (zorfb " ZOR_FEEDBACK_VERSION ").",
         "Shape: " + std::to_string(n) + " rows (actuators) x " + std::to_string(m) + " columns (monitors).",
         "Input floor " + fmt("%.9g", tolerance) + ": " + std::to_string(in_cleared) +
             " elements cleared; result elements below 2^-52 cleared: " + std::to_string(out_cleared) + ".",
         "Units: the inverse of the input's."});
    if (rc != kOk) return rc;
  }

  if (o.format == "csv") {
    std::cout << "# file=" << o.file << ", rows=" << m << ", cols=" << n << ", tolerance=" << json_number(tolerance)
              << ", input_cleared=" << in_cleared << ", inverse_cleared=" << out_cleared
              << ", threshold=" << json_number(s.cutoff) << ", used=" << s.used_count()
              << ", time_ms=" << fmt("%.4f", ms) << '\n';
    print_csv_values(s);
  } else if (o.format == "json") {
    std::cout << "{\n  \"command\": \"pinv\",\n  \"file\": " << json_string(o.file) << ",\n  \"rows\": " << m
              << ",\n  \"cols\": " << n << ",\n  \"tolerance\": " << json_number(tolerance)
              << ",\n  \"input_cleared\": " << in_cleared << ",\n  \"inverse_cleared\": " << out_cleared
              << ",\n  \"threshold\": " << json_number(s.cutoff) << ",\n  \"used\": " << s.used_count() << ",\n";
    print_json_values(s);
    std::cout << "  \"time_ms\": " << fmt("%.4f", ms)
              << ",\n  \"out\": " << (o.out.empty() ? std::string("null") : json_string(o.out)) << "\n}\n";
  } else {
    std::cout << "Pseudo-inverse of " << o.file << ": " << m << " x " << n << " (monitors x actuators)\n\n";
    std::cout << "Singular values of the matrix as inverted, log scale ('#' used, '.' dropped,\n"
                 "'-' Armadillo's threshold max(m, n) * eps * max(S)):\n";
    std::cout << spectrum_chart(s.values, s.used, s.cutoff);
    std::cout << '\n';
    print_range(s);
    std::cout << "input floor " << fmt("%.3e", tolerance) << "  (" << in_cleared
              << " elements with 0 < |a| < floor cleared)\n";
    std::cout << "result      " << out_cleared << " elements with 0 < |b| < 2^-52 cleared\n";
    std::cout << "used        " << s.used_count() << " of " << k << " singular values\n";
    std::cout << "time        " << fmt("%.3f", ms) << " ms\n";
    if (!o.out.empty()) std::cout << "inverse     " << n << " x " << m << " written to " << o.out << '\n';
  }
  return kOk;
}

}  // namespace zorfb
