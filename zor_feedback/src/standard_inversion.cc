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

#include "gsl_handles.h"
#include "inversion_checks.h"
#include "log_line.h"
#include "svd_engine.h"
#include "zor_feedback/zor_feedback.h"

namespace zor_feedback {

using namespace detail;

double default_rcond(int rows, int cols) {
  return static_cast<double>(std::max(rows, cols)) * kDoubleEpsilon;
}

namespace {

// The cut asked for, before anything is computed: empty when it is sound.
std::string check_cut(int rows, int cols, const StandardOptions& o) {
  const int k = std::min(rows, cols);
  if (o.keep != 0 && o.rcond) return format_line("ERROR: give rcond or keep, not both; not inverted");
  if (o.keep != 0 && (o.keep < 1 || o.keep > k))
    return format_line("ERROR: cannot keep %d of %d singular values; not inverted", o.keep, k);
  if (o.rcond && !(*o.rcond >= 0.0))
    return format_line("ERROR: rcond %g is not a number >= 0; not inverted", *o.rcond);
  return {};
}

std::string check_input(const double* a, int rows, int cols, const StandardOptions& o,
                        const std::vector<double>* inverse) {
  if (a == nullptr || inverse == nullptr) return format_line("ERROR: null matrix or result; not inverted");
  if (rows <= 0 || cols <= 0)
    return format_line("ERROR: cannot invert an empty matrix (%d x %d)", rows, cols);
  std::string error = check_cut(rows, cols, o);
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
void choose_cut(const GslVector& S, const StandardOptions& o, int rows, int cols, SvdReport* rep) {
  const auto k = static_cast<int>(S.size());
  if (o.keep > 0) {
    rep->keep = o.keep;
    rep->used = o.keep;
    rep->cutoff = o.keep < k ? S[static_cast<std::size_t>(o.keep)] : 0.0;
    if (o.keep < k && S[static_cast<std::size_t>(o.keep - 1)] == S[static_cast<std::size_t>(o.keep)])
      rep->warnings.push_back(format_line("WARNING: keep %d splits a degenerate pair: s[%d] = s[%d] = %.9e",
                                          o.keep, o.keep - 1, o.keep, S[static_cast<std::size_t>(o.keep)]));
    return;
  }
  rep->rcond = o.rcond ? *o.rcond : default_rcond(rows, cols);
  rep->cutoff = rep->rcond * S[0];
  rep->used = static_cast<int>(
      std::count_if(S.get()->data, S.get()->data + S.size(), [rep](double s) { return s > rep->cutoff; }));
}

// SI * V^T with SI = diag(1 / S[i]) for the first `used` values, 0 beyond.
GslMatrix scaled_vt(const GslVector& S, int used, const GslMatrix& V) {
  const std::size_t n = S.size();
  GslMatrix X(n, n);
  for (std::size_t i = 0; i < static_cast<std::size_t>(used); ++i) {
    const double si = 1.0 / S[i];
    for (std::size_t j = 0; j < n; ++j) X(i, j) = si * V(j, i);
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
  choose_cut(S, options, rows, cols, &rep);
  const GslMatrix P = svd.times_u(scaled_vt(S, rep.used, svd.V()));
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
