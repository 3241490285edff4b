// The standard inversion: the truncated-SVD pseudo-inverse that LAPACK and
// numpy.linalg.pinv give, with a relative cut-off or a count, and nothing
// done to its elements after it is formed.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "filter_factors.h"
#include "gsl_handles.h"
#include "inversion_checks.h"
#include "log_line.h"
#include "svd_engine.h"
#include "tikhonov_alpha.h"
#include "zor_feedback/zor_feedback.h"

namespace zor_feedback {

using namespace detail;

double default_rcond(int rows, int cols) {
  return static_cast<double>(std::max(rows, cols)) * kDoubleEpsilon;
}

namespace {

// The filter asked for, before anything is computed: empty when it is sound.
std::string check_filter(int rows, int cols, const StandardOptions& o) {
  std::string why = filter_problem(o.filter, rows, cols);
  if (!why.empty()) return format_line("ERROR: %s; not inverted", why.c_str());
  if (o.filter.kind() != Filter::Kind::tikhonov_auto) return {};
  if (o.orbit.size() != static_cast<std::size_t>(rows))
    return format_line("ERROR: %s needs an orbit of %d values, not %zu; not inverted",
                       to_string(o.filter).c_str(), rows, o.orbit.size());
  if (!std::all_of(o.orbit.begin(), o.orbit.end(), [](double v) { return std::isfinite(v); }))
    return format_line("ERROR: the orbit holds a value that is not finite; not inverted");
  return {};
}

std::string check_input(const double* a, int rows, int cols, const StandardOptions& o,
                        const std::vector<double>* inverse) {
  if (a == nullptr || inverse == nullptr) return format_line("ERROR: null matrix or result; not inverted");
  if (rows <= 0 || cols <= 0)
    return format_line("ERROR: cannot invert an empty matrix (%d x %d)", rows, cols);
  std::string error = check_filter(rows, cols, o);
  if (!error.empty()) return error;
  const auto n = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
  const double* bad = std::find_if(a, a + n, [](double v) { return !std::isfinite(v); });
  if (bad != a + n) {
    const auto at = static_cast<std::size_t>(bad - a), c = static_cast<std::size_t>(cols);
    const auto bad_count = std::count_if(bad, a + n, [](double v) { return !std::isfinite(v); });
    return format_line("ERROR: matrix holds %td non-finite values, first at (%zu, %zu); not inverted",
                       bad_count, at / c, at % c);
  }
  return {};
}

// How many values enter: the `keep` largest, or those above rcond * max(S).
void choose_cut(const GslVector& S, const Filter& f, int rows, int cols, SvdReport* rep) {
  const auto k = static_cast<int>(S.size());
  if (f.kind() == Filter::Kind::keep) {
    const int keep = f.keep();
    rep->keep = keep;
    rep->used = keep;
    rep->cutoff = keep < k ? S[static_cast<std::size_t>(keep)] : 0.0;
    // Values closer than the decomposition's own accuracy are a degenerate
    // pair: which of the pair's directions the count keeps is arbitrary.
    const double kept = S[static_cast<std::size_t>(keep - 1)];
    // A count past the numerical rank inverts rounding noise.
    if (kept <= default_rcond(rows, cols) * S[0])
      rep->warnings.push_back(
          format_line("WARNING: keep %d inverts s[%d] = %.3e, below the SVD's accuracy %.3e", keep, keep - 1,
                      kept, default_rcond(rows, cols) * S[0]));
    if (keep < k && kept - rep->cutoff <= default_rcond(rows, cols) * S[0])
      rep->warnings.push_back(
          format_line("WARNING: keep %d splits a degenerate pair: s[%d] = %.9e, s[%d] = %.9e", keep, keep - 1,
                      kept, keep, rep->cutoff));
    return;
  }
  rep->rcond = f.kind() == Filter::Kind::rcond ? f.value() : default_rcond(rows, cols);
  rep->cutoff = rep->rcond * S[0];
  rep->used = static_cast<int>(
      std::count_if(S.get()->data, S.get()->data + S.size(), [rep](double s) { return s > rep->cutoff; }));
}

// The orbit's projection on R's left singular vectors (U^T b), through the
// decomposition: U is the tall matrix's U when R was decomposed as it is, its
// V when R's transpose was.
std::vector<double> orbit_modes(const TallSvd& svd, bool tall, const std::vector<double>& b) {
  if (tall) return svd.ut_times(b);
  const GslMatrix& V = svd.V();
  std::vector<double> beta(V.size2(), 0.0);
  for (std::size_t j = 0; j < V.size1(); ++j)
    for (std::size_t i = 0; i < V.size2(); ++i) beta[i] += V(j, i) * b[j];
  return beta;
}

// alpha, relative or chosen for the orbit by the filter's rule.
bool choose_alpha(const TallSvd& svd, const StandardOptions& o, int rows, SvdReport* rep) {
  const std::vector<double>& s = rep->singular_values;
  const Filter& f = o.filter;
  rep->used = static_cast<int>(std::count_if(s.begin(), s.end(), [](double v) { return v > 0.0; }));
  if (f.kind() == Filter::Kind::tikhonov || rep->used == 0) {
    rep->alpha = f.value() * s.front();
    return true;
  }
  double b2 = 0.0;
  for (double v : o.orbit) b2 += v * v;
  const TikhonovCurve curve(s, orbit_modes(svd, rep->transposed, o.orbit), b2, rows);
  const AlphaChoice c = f.rule() == AlphaRule::lcurve ? alpha_by_lcurve(curve)
                        : f.rule() == AlphaRule::gcv  ? alpha_by_gcv(curve)
                                                      : alpha_by_discrepancy(curve, f.value());
  rep->warnings.insert(rep->warnings.end(), c.warnings.begin(), c.warnings.end());
  rep->error = c.error;
  rep->alpha = c.alpha;
  return c.error.empty();
}

// diag(w) * V^T, w the weights of the values in the inverse.
GslMatrix scaled_vt(const std::vector<double>& w, const GslMatrix& V) {
  const std::size_t n = w.size();
  GslMatrix X(n, n);
  for (std::size_t i = 0; i < n; ++i) {
    if (w[i] == 0.0) continue;
    for (std::size_t j = 0; j < n; ++j) X(i, j) = w[i] * V(j, i);
  }
  return X;
}

// The refusal of a result that no caller may be handed, empty for a sound one.
std::string check_result(const SvdReport& rep, const GslMatrix& P) {
  if (rep.used == 0 && rep.singular_values.front() == 0.0)
    return format_line("ERROR: the matrix is all zero; it has no inverse to apply");
  if (rep.used == 0)
    return format_line("ERROR: no singular value is above rcond*max(S) = %.3e; lower rcond", rep.cutoff);
  const double* d = P.get()->data;
  if (!std::all_of(d, d + P.size1() * P.size2(), [](double v) { return std::isfinite(v); }))
    return format_line("ERROR: the inverse is not finite (s[%d] = %.3e); raise rcond or keep fewer",
                       rep.used - 1, rep.singular_values[static_cast<std::size_t>(rep.used - 1)]);
  return {};
}

void fill_figures(const GslMatrix& P, SvdReport* rep) {
  const std::vector<double>& s = rep->singular_values;
  const double* d = P.get()->data;
  for (std::size_t i = 0; i < P.size1() * P.size2(); ++i)
    rep->largest_element = std::max(rep->largest_element, std::fabs(d[i]));
  rep->condition_number = s.back() == 0.0 ? HUGE_VAL : s.front() / s.back();
  rep->condition_number_used = s.front() / s[static_cast<std::size_t>(rep->used - 1)];
}

}  // namespace

SvdReport pseudo_inverse(const double* a, int rows, int cols, const StandardOptions& options,
                         std::vector<double>* inverse) {
  const auto t0 = InversionClock::now();
  SvdReport rep;
  rep.inversion = Inversion::standard;
  rep.method = options.method;
  rep.rows = rows;
  rep.cols = cols;
  rep.filter = options.filter;
  rep.error = check_input(a, rows, cols, options, inverse);
  if (!rep.error.empty()) return rep;

  const auto m = static_cast<std::size_t>(rows), n = static_cast<std::size_t>(cols);
  GslMatrix R(m, n, GslMatrix::Fill::none);
  std::copy(a, a + m * n, R.get()->data);
  rep.transposed = rows > cols;
  TallSvd svd;
  if (!svd.decompose(options.method, std::move(R), rep.transposed)) {
    rep.error = format_line("ERROR: the SVD did not converge; not inverted");
    return rep;
  }
  const GslVector& S = svd.S();
  rep.singular_values.assign(S.get()->data, S.get()->data + S.size());
  const bool tikhonov = options.filter.is_tikhonov();
  if (!tikhonov)
    choose_cut(S, options.filter, rows, cols, &rep);
  else if (!choose_alpha(svd, options, rows, &rep))
    return rep;
  rep.filter_factors = tikhonov ? tikhonov_factors(rep.singular_values, rep.alpha)
                                : cut_factors(rep.singular_values, rep.used);
  const GslMatrix P = svd.times_u(
      scaled_vt(inverse_weights(rep.singular_values, rep.filter_factors, tikhonov, rep.alpha), svd.V()));
  rep.error = check_result(rep, P);
  if (!rep.error.empty()) return rep;
  fill_figures(P, &rep);

  // P is the inverse (n x m) itself, or its transpose when the matrix was.
  std::vector<double> out(m * n);
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = 0; j < m; ++j) out[i * m + j] = rep.transposed ? P(j, i) : P(i, j);
  *inverse = std::move(out);
  rep.time_ms = elapsed_ms(t0);
  rep.ok = true;
  return rep;
}

}  // namespace zor_feedback
