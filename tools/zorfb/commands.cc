// zorfb svd and pinv: the library's two inversions on a response-matrix
// file, with the figures a physicist needs to pick a cut-off. Every figure comes from the library's reports.
#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "zorfb/zorfb.h"

namespace zor_feedback {
namespace cli {

namespace {

using json = nlohmann::ordered_json;

// Above this many elements an inversion takes long enough to say so first.
constexpr long kLongWork = 100000;
// A gsl inversion slower than this gets the hint that lapack is faster.
constexpr double kSlowGslMs = 1000.0;

void announce_long_work(const char* what, int m, int n) {
  const long elements = static_cast<long>(m) * n;
  if (elements > kLongWork)
    std::cerr << fmt::format("zorfb: {} of a {} x {} matrix ({} elements), this may take a while ...\n", what,
                             m, n, elements);
}

// Where the library's own standard output goes after a call: with the text
// output when asked for (-v, --debug), to standard error beside csv or json.
void forward_library_output(const Global& g, const std::string& format, const std::string& text) {
  if (text.empty() || !(g.verbose || g.debug)) return;
  (format == "text" ? std::cout : std::cerr) << text << std::flush;
}

std::vector<bool> first_n(std::size_t size, int n) {
  std::vector<bool> v(size);
  for (std::size_t i = 0; i < size; ++i) v[i] = static_cast<int>(i) < n;
  return v;
}

// A number for json: null when not finite (nlohmann writes those as null too).
json number(double v) { return std::isfinite(v) ? json(v) : json(nullptr); }

std::string sci(double v, int digits = 3) { return fmt::format("{:.{}e}", v, digits); }

void print_csv_values(const std::vector<double>& values, const std::vector<bool>& used) {
  std::cout << "index,singular_value,used\n";
  for (std::size_t i = 0; i < values.size(); ++i)
    std::cout << fmt::format("{},{:.9g},{}\n", i, values[i], used[i] ? 1 : 0);
}

// A float as json: its shortest decimal that reads back into the same float.
json number(float v) { return std::isfinite(v) ? json(std::stod(fmt::format("{}", v))) : json(nullptr); }

// The scalar figures as the csv output's first line: "# key=value, ...".
std::string csv_header(const json& j) {
  std::string out = "#";
  for (const auto& [key, value] : j.items()) {
    if (value.is_array()) continue;
    const std::string text = value.is_string()         ? value.get<std::string>()
                             : value.is_number_float() ? fmt::format("{:.9g}", value.get<double>())
                                                       : value.dump();
    out += fmt::format(" {}={},", key, text);
  }
  out.back() = '\n';
  return out;
}

// The csv and json outputs. json: the figures `j`, then `more` (the lists)
// and the warnings. csv: j's figures as the first line, the warnings as
// comments, then `table`. False for the text output, which is the command's.
bool print_machine_output(const std::string& format, json j, const json& more,
                          const std::vector<std::string>& warnings, const std::function<void()>& table) {
  if (format == "json") {
    j.update(more);
    j["warnings"] = warnings;
    std::cout << j.dump(2) << '\n';
    return true;
  }
  if (format != "csv") return false;
  j.erase("command");
  std::cout << csv_header(j);
  for (const std::string& w : warnings) std::cout << "# warning: " << w << '\n';
  table();
  return true;
}

void print_range(const std::vector<double>& values, int used) {
  if (used == 0) return;
  const double hi = values.front(), lo = values[static_cast<std::size_t>(used - 1)];
  std::cout << fmt::format("used range  {} .. {}  (condition number {:.4g})\n", sci(hi), sci(lo), hi / lo);
}

// A library warning in the text report, after the report's own label.
void print_warnings(const std::vector<std::string>& warnings) {
  for (const std::string& w : warnings)
    std::cout << "warning     " << (w.rfind("WARNING: ", 0) == 0 ? w.substr(9) : w) << '\n';
}

std::vector<std::string> all_warnings(const MatrixInput& in, const std::vector<std::string>& more) {
  std::vector<std::string> w = in.warnings;
  w.insert(w.end(), more.begin(), more.end());
  return w;
}

// The inversion of svd and correct, and what both say about it.
struct Inversion {
  zor_feedback::SvdReport report;
  double total_ms = 0.0;
};

// The classic inversion, refused where its floor changes the inverse by more
// than a caller can ignore.
int invert_classic(const InvertOptions& o, QTEV_ResponseMatrix& R, QTEV_ResponseMatrix& inverse,
                   D_spectrum& spectrum, zor_feedback::SvdReport* r) {
  const float tol = static_cast<float>(o.tol.value_or(-1.0));
  *r = o.keep > 0 ? R.invert_keep(inverse, spectrum, o.keep) : R.invert_report(inverse, spectrum, tol);
  if (r->ok && r->floor_change > zor_feedback::kHarmlessFloorChange) {
    const std::string remedy = r->harmless_factor > 1.0
                                   ? fmt::format("divide the matrix by {:.0e}, or ", r->harmless_factor)
                                   : std::string();
    print_error(fmt::format(
        "the classic floor clears {:.1f}% of the inverse of '{}' and changes it by {:.3g}% (Frobenius); "
        "nothing is written.\n  {}drop --classic: the standard inversion needs no floor.",
        100.0 * r->cleared_share, o.file, 100.0 * r->floor_change, remedy));
    return kFailure;
  }
  return kOk;
}

// Runs the standard or the classic inversion into `inverse`; prints the
// library's standard output where it belongs, the error of a refusal, the
// lapack hint.
int invert(const Global& g, const InvertOptions& o, QTEV_ResponseMatrix& R, QTEV_ResponseMatrix& inverse,
           D_spectrum& spectrum, Inversion* inv) {
  R.set_svd_method(o.engine());
  zor_feedback::StandardOptions options;
  if (!o.classic)
    if (const int bad = standard_options(o, R.rows, &options); bad != kOk) return bad;
  announce_long_work("SVD", R.rows, R.cols);
  zor_feedback::SvdReport& r = inv->report;
  int rc = kOk;
  {
    StdoutDiversion diversion;
    if (o.classic) {
      rc = invert_classic(o, R, inverse, spectrum, &r);
    } else {
      r = R.pseudo_inverse(inverse, &spectrum, options);
    }
    forward_library_output(g, o.format, diversion.finish());
  }
  if (!r.ok) {
    print_error("the SVD inversion of '" + o.file + "' failed: " + r.error);
    return kFailure;
  }
  if (rc != kOk) return rc;
  if (o.engine() == zor_feedback::SvdMethod::gsl && r.time_ms > kSlowGslMs)
    std::cerr << fmt::format(
        "zorfb: note: GSL's SVD took {:.1f} s; --svd lapack gives the same result faster (the server's "
        "set_svd_method)\n",
        r.time_ms / 1000.0);
  if (r.zero_inverse) {
    print_error(
        fmt::format("the inverse of '{}' is all zero although the matrix is not; nothing is written.\n  {}\n "
                    " Try a smaller --tol, --keep N, or the standard inversion (without --classic).",
                    o.file, r.warnings.empty() ? std::string() : r.warnings.front()));
    return kFailure;
  }
  return kOk;
}

const char* inversion_name(const zor_feedback::SvdReport& r) {
  return r.inversion == zor_feedback::Inversion::classic ? "classic" : "standard";
}

// The svd figures as json keys (the report's field names), in the order they
// are printed.
json svd_json(const InvertOptions& o, const zor_feedback::SvdReport& r) {
  json j;
  j["file"] = o.file;
  j["rows"] = r.rows;
  j["cols"] = r.cols;
  j["inversion"] = inversion_name(r);
  j["method"] = zor_feedback::svd_method_name(r.method);
  if (r.inversion == zor_feedback::Inversion::classic) {
    j["tol"] = number(r.tol);
    j["tolerance_source"] = o.keep > 0 ? "keep" : r.internal_tolerance ? "internal" : "user";
  } else {
    j["filter"] = to_string(r.filter);
    if (r.filter.is_tikhonov())
      j["alpha"] = number(r.alpha);
    else
      j["rcond"] = number(r.rcond);
    j["filter_factors"] = r.filter_factors;
  }
  if (o.keep > 0) j["keep"] = o.keep;
  j["cutoff"] = number(r.cutoff);
  j["used"] = r.used;
  if (r.inversion == zor_feedback::Inversion::classic) {
    j["nosv"] = r.nosv;
    j["elements_cleared"] = r.elements_cleared;
    j["largest_cleared"] = number(r.largest_cleared);
    j["cleared_share"] = r.cleared_share;
    j["floor_change"] = r.floor_change;
  }
  j["condition_number"] = number(r.condition_number);
  j["condition_number_used"] = number(r.condition_number_used);
  j["time_ms"] = r.time_ms;
  return j;
}

void print_cut_text(const InvertOptions& o, const zor_feedback::SvdReport& r) {
  const std::size_t k = r.singular_values.size();
  if (r.inversion == zor_feedback::Inversion::standard && r.filter.is_tikhonov()) {
    std::cout << "filter      " << to_string(r.filter) << '\n';
    std::cout << "alpha       " << sci(r.alpha)
              << (r.filter.kind() == zor_feedback::Filter::Kind::tikhonov ? "  (A * largest singular value)\n"
                                                                          : "  (chosen for the orbit)\n");
    std::cout << fmt::format(
        "used        {} of {} singular values, each damped by s^2 / (s^2 + alpha^2); no element is cleared\n",
        r.used, k);
    return;
  }
  if (r.inversion == zor_feedback::Inversion::standard) {
    if (o.keep > 0)
      std::cout << fmt::format("keep        the {} largest singular values (by count)\n", o.keep);
    else
      std::cout << "rcond       " << sci(r.rcond)
                << (o.tol ? "  (given)" : "  (default: max(m, n) * 2^-52, numpy's)") << '\n';
    std::cout << "cut-off     " << sci(r.cutoff)
              << (o.keep > 0 ? "  (the first value dropped)\n" : "  (rcond * largest singular value)\n");
    std::cout << fmt::format(
        "used        {} of {} singular values enter the inverse; no element is cleared\n", r.used, k);
    return;
  }
  std::string source = "  (given)";
  if (o.keep > 0)
    source = fmt::format("  (chosen: exactly {} values pass the cut-off; set it on the server)", o.keep);
  else if (r.internal_tolerance)
    source = std::isnan(r.tol) ? "  (internal; not a number, since the largest singular value is 0)"
                               : "  (internal: max(m, n) * eps * max(S), two significant digits)";
  std::cout << "tolerance   " << sci(static_cast<double>(r.tol)) << source << '\n';
  std::cout << "cut-off     " << sci(r.cutoff) << "  (tolerance * largest singular value)\n";
  std::cout << fmt::format(
      "used        {} of {} singular values lie above the cut-off and enter the inverse\n", r.used, k);
  std::cout << fmt::format(
      "nosv        {}  (what the server reports: values not below the tolerance itself and "
      "not zero)\n",
      r.nosv);
  if (r.elements_cleared > 0)
    std::cout << fmt::format(
        "cleared     {} elements ({:.1f}%) of the inverse with |v| <= tolerance, largest {}; changed by "
        "{:.2g}%\n",
        r.elements_cleared, 100.0 * r.cleared_share, sci(r.largest_cleared), 100.0 * r.floor_change);
}

void print_svd_text(const InvertOptions& o, const zor_feedback::SvdReport& r) {
  const std::size_t k = r.singular_values.size();
  std::cout << fmt::format(
      "{} SVD inversion ({}) of {}: {} x {} (monitors x actuators), {} singular value{}\n\n",
      r.inversion == zor_feedback::Inversion::classic ? "Classic" : "Standard",
      r.method == zor_feedback::SvdMethod::lapack ? "LAPACK" : "GSL", o.file, r.rows, r.cols, k,
      k == 1 ? "" : "s");
  std::cout << "Singular values, log scale ('#' used, '.' dropped, '-' cut-off):\n"
            << spectrum_chart(r.singular_values, first_n(k, r.used), r.cutoff) << '\n';
  print_range(r.singular_values, r.used);
  print_cut_text(o, r);
  std::cout << fmt::format("condition   {:.4g} (matrix), {:.4g} (part used)\n", r.condition_number,
                           r.condition_number_used);
  std::cout << fmt::format("time        {:.3f} ms\n", r.time_ms);
}

// The comment lines of a written inverse.
std::vector<std::string> svd_out_header(const InvertOptions& o, const zor_feedback::SvdReport& r) {
  const int n = r.cols, m = r.rows;
  std::vector<std::string> h = {
      fmt::format("Pseudo-inverse of {} by the {} inversion (zorfb {}, {}).", o.file, inversion_name(r),
                  ZOR_FEEDBACK_VERSION, zor_feedback::svd_method_name(r.method)),
      fmt::format("Shape: {} rows (actuators) x {} columns (monitors).", n, m)};
  if (r.inversion == zor_feedback::Inversion::standard) {
    h.push_back(
        r.filter.is_tikhonov() ? fmt::format("{} (alpha {:.9g}): {} of {} singular values inverted, damped.",
                                             to_string(r.filter), r.alpha, r.used, r.singular_values.size())
        : o.keep > 0
            ? fmt::format("The {} largest of {} singular values inverted.", r.used, r.singular_values.size())
            : fmt::format("rcond {:.9g}: {} of {} singular values inverted.", r.rcond, r.used,
                          r.singular_values.size()));
    h.push_back("No element cleared. Units: the inverse of the input's.");
    return h;
  }
  h.push_back(fmt::format("Tolerance {:.9g} ({}): {} of {} singular values inverted (nosv {}).", r.tol,
                          o.keep > 0             ? "chosen"
                          : r.internal_tolerance ? "internal"
                                                 : "user",
                          r.used, r.singular_values.size(), r.nosv));
  h.push_back("Elements with |v| <= tolerance are stored as 0. Units: the inverse of the input's.");
  return h;
}

// What both inversion commands start from: the log session, the matrix of
// the file, and its inverse's property, all in one location.
struct InversionJob {
  explicit InversionJob(const Global& g) : log(g.verbose) {}
  int load(const std::string& file) {
    const int rc = load_matrix(file, "RESPONSE_MATRIX", location, &in);
    if (rc == kOk)
      inverse = std::make_unique<QTEV_ResponseMatrix>("INVERSE", in.shape.cols, in.shape.rows, &location);
    return rc;
  }
  LogSession log;
  EqFct location{"ZORFB"};
  MatrixInput in;
  std::unique_ptr<QTEV_ResponseMatrix> inverse;
};

}  // namespace

// ---------------------------------------------------------------------------
int run_svd(const Global& g, const InvertOptions& o) {
  InversionJob job(g);
  if (const int rc = job.load(o.file); rc != kOk) return rc;
  const int m = job.in.shape.rows, n = job.in.shape.cols;
  QTEV_ResponseMatrix& inverse = *job.inverse;
  D_spectrum spectrum("SINGULAR_VALUES", std::min(m, n), &job.location);
  Inversion inv;
  if (const int rc = invert(g, o, *job.in.R, inverse, spectrum, &inv); rc != kOk) return rc;
  const zor_feedback::SvdReport& r = inv.report;

  if (!o.out.empty()) {
    std::string why;
    const std::vector<std::string> header = svd_out_header(o, r);
    if (!write_matrix(o.out, inverse, header, &why)) {
      print_error(why);
      return kFailure;
    }
  }

  const std::vector<std::string> warnings = all_warnings(job.in, r.warnings);
  const std::vector<bool> used = first_n(r.singular_values.size(), r.used);
  json j{{"command", "svd"}};
  j.update(svd_json(o, r));
  const json lists{{"singular_values", r.singular_values},
                   {"used_flags", used},
                   {"out", o.out.empty() ? json(nullptr) : json(o.out)}};
  if (!print_machine_output(o.format, std::move(j), lists, warnings,
                            [&] { print_csv_values(r.singular_values, used); })) {
    print_svd_text(o, r);
    print_warnings(r.warnings);
    if (!o.out.empty()) std::cout << fmt::format("inverse     {} x {} written to {}\n", n, m, o.out);
  }
  return kOk;
}

// ---------------------------------------------------------------------------
int run_pinv(const Global& g, const InvertOptions& o) {
  InversionJob job(g);
  if (const int rc = job.load(o.file); rc != kOk) return rc;
  const int m = job.in.shape.rows, n = job.in.shape.cols;
  QTEV_ResponseMatrix& inverse = *job.inverse;
  announce_long_work("pseudo-inverse", m, n);

  zor_feedback::PinvReport r;
  {
    StdoutDiversion diversion;
    try {
      r = job.in.R->pinv_report(inverse, static_cast<float>(o.tol.value_or(0.0)));
    } catch (const std::exception& e) {
      std::cerr << diversion.finish();
      print_error(std::string("the pseudo-inverse of '") + o.file + "' failed: " + e.what());
      return kFailure;
    }
    forward_library_output(g, o.format, diversion.finish());
  }
  if (!r.ok) {
    print_error("the pseudo-inverse of '" + o.file + "' failed: " + r.error);
    return kFailure;
  }
  if (r.zero_inverse) {
    print_error(
        fmt::format("the pseudo-inverse of '{}' is all zero although the matrix is not; nothing is "
                    "written.\n  {}\n  Try a "
                    "smaller --tolerance, or the matrix in other units.",
                    o.file, r.warnings.empty() ? std::string() : r.warnings.front()));
    return kFailure;
  }
  static const char* const kPaths[] = {"svd", "symmetric", "cholesky", "diagonal"};
  const char* path = kPaths[static_cast<int>(r.path)];

  if (!o.out.empty()) {
    std::string why;
    const std::vector<std::string> header = {
        fmt::format("Pseudo-inverse of {} by QTEV_ResponseMatrix::pinv (zorfb {}).", o.file,
                    ZOR_FEEDBACK_VERSION),
        fmt::format("Shape: {} rows (actuators) x {} columns (monitors).", n, m),
        fmt::format("Input floor {:.9g}: {} elements cleared; result elements below 2^-52 cleared: {}.",
                    r.tol, r.input_cleared, r.elements_cleared),
        "Units: the inverse of the input's."};
    if (!write_matrix(o.out, inverse, header, &why)) {
      print_error(why);
      return kFailure;
    }
  }

  const std::vector<bool> used = first_n(r.singular_values.size(), r.used);
  json j{{"command", "pinv"},
         {"file", o.file},
         {"rows", m},
         {"cols", n},
         {"tol", number(r.tol)},
         {"input_cleared", r.input_cleared},
         {"elements_cleared", r.elements_cleared},
         {"path", path},
         {"threshold", number(r.threshold)},
         {"used", r.used},
         {"time_ms", r.time_ms}};
  const std::vector<std::string> warnings = all_warnings(job.in, r.warnings);
  const json lists{{"singular_values", r.singular_values},
                   {"used_flags", used},
                   {"out", o.out.empty() ? json(nullptr) : json(o.out)}};
  if (!print_machine_output(o.format, std::move(j), lists, warnings,
                            [&] { print_csv_values(r.singular_values, used); })) {
    std::cout << fmt::format("Pseudo-inverse of {}: {} x {} (monitors x actuators)\n\n", o.file, m, n);
    if (r.path == zor_feedback::PinvPath::cholesky) {
      std::cout << "Symmetric positive definite and well conditioned: Armadillo inverted it directly\n"
                   "(Cholesky), with no singular values to cut.\n\n";
    } else {
      std::cout << fmt::format(
          "{} of the matrix as inverted, log scale ('#' used, '.' dropped,\n'-' Armadillo's threshold max(m, "
          "n) "
          "* eps * max):\n",
          r.path == zor_feedback::PinvPath::svd ? "Singular values" : "Absolute eigenvalues");
      std::cout << spectrum_chart(r.singular_values, used, r.threshold) << '\n';
      print_range(r.singular_values, r.used);
    }
    std::cout << fmt::format("input floor {}  ({} elements with 0 < |a| < floor cleared)\n",
                             sci(static_cast<double>(r.tol)), r.input_cleared);
    std::cout << fmt::format("result      {} elements with 0 < |b| < 2^-52 cleared\n", r.elements_cleared);
    std::cout << fmt::format("used        {} of {} ({} decomposition)\n", r.used, std::min(m, n), path);
    std::cout << fmt::format("time        {:.3f} ms\n", r.time_ms);
    print_warnings(r.warnings);
    if (!o.out.empty()) std::cout << fmt::format("inverse     {} x {} written to {}\n", n, m, o.out);
  }
  return kOk;
}

}  // namespace cli
}  // namespace zor_feedback
