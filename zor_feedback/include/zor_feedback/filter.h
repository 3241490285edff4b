// filter.h - the filter of the standard inversion's singular values: one
// value, carried unchanged from a caller's option to the inversion's report.
//
// The standard inversion forms V * diag(phi(s) / s) * U^T from one filter
// factor phi per singular value s:
//  * default:   phi = 1 for s > default_rcond(m, n) * max(S), else 0.
//  * rcond r:   phi = 1 for s > r * max(S) (relative, strict), else 0; r >= 0.
//  * keep N:    phi = 1 for the N largest values, else 0; 1 <= N <= min(m, n).
//  * tikhonov A: phi = s^2 / (s^2 + alpha^2), alpha = A * max(S): relative,
//    so that it does not depend on the matrix's units, as rcond; A > 0.
//  * tikhonov by a rule: alpha chosen for an orbit b (StandardOptions::orbit)
//    by the corner of the L-curve (log ||R x - b||, log ||x||) (lcurve), by the
//    minimum of generalised cross-validation (gcv), or so that the residual
//    ||R x - b|| equals sqrt(m) * noise, the noise being the rms of one
//    monitor's noise in the matrix's units (discrepancy).
#ifndef ZOR_FEEDBACK_FILTER_H
#define ZOR_FEEDBACK_FILTER_H

#include <optional>
#include <string>

#include "zor_feedback/export.h"

namespace zor_feedback {

// How an automatic Tikhonov filter chooses its strength.
enum class AlphaRule { lcurve, gcv, discrepancy };

class Filter {
 public:
  enum class Kind { default_cut, rcond, keep, tikhonov, tikhonov_auto };

  Filter() = default;  // the default cut
  static Filter by_rcond(double rcond) { return Filter(Kind::rcond, rcond, 0, AlphaRule::lcurve); }
  static Filter by_count(int keep) { return Filter(Kind::keep, 0.0, keep, AlphaRule::lcurve); }
  static Filter tikhonov(double relative_alpha) {
    return Filter(Kind::tikhonov, relative_alpha, 0, AlphaRule::lcurve);
  }
  // lcurve or gcv; for discrepancy use tikhonov_discrepancy.
  static Filter tikhonov_auto(AlphaRule rule) { return Filter(Kind::tikhonov_auto, 0.0, 0, rule); }
  static Filter tikhonov_discrepancy(double noise) {
    return Filter(Kind::tikhonov_auto, noise, 0, AlphaRule::discrepancy);
  }

  Kind kind() const { return kind_; }
  // rcond's r, tikhonov's A, discrepancy's noise; 0 for the other kinds.
  double value() const { return value_; }
  int keep() const { return keep_; }        // keep's N, 0 for the other kinds
  AlphaRule rule() const { return rule_; }  // tikhonov_auto only
  bool is_tikhonov() const { return kind_ == Kind::tikhonov || kind_ == Kind::tikhonov_auto; }

  friend bool operator==(const Filter& a, const Filter& b) {
    return a.kind_ == b.kind_ && a.value_ == b.value_ && a.keep_ == b.keep_ &&
           (a.kind_ != Kind::tikhonov_auto || a.rule_ == b.rule_);
  }
  friend bool operator!=(const Filter& a, const Filter& b) { return !(a == b); }

 private:
  Filter(Kind k, double v, int n, AlphaRule r) : kind_(k), value_(v), keep_(n), rule_(r) {}
  Kind kind_ = Kind::default_cut;
  double value_ = 0.0;
  int keep_ = 0;
  AlphaRule rule_ = AlphaRule::lcurve;
};

// The one text form: "default", "rcond 0.001", "keep 12", "tikhonov 0.01",
// "tikhonov lcurve", "tikhonov gcv", "tikhonov discrepancy 1e-06"; numbers in
// the shortest form that reads back to the same double.
ZOR_FEEDBACK_API std::string to_string(const Filter& filter);

// A filter from its text form; "tikhonov auto" is "tikhonov lcurve". Words
// are separated by blanks (or one '=' / ':', as in "keep=12"). Refused, with
// `error` saying why: any other word, a number that is not finite or out of
// its kind's range (rcond >= 0, keep >= 1, tikhonov and noise > 0), trailing
// text.
struct FilterParse {
  std::optional<Filter> filter;
  std::string error;
};
ZOR_FEEDBACK_API FilterParse parse_filter(const std::string& text);

// Why `filter` cannot filter an m x n matrix's singular values (keep beyond
// min(m, n), a value out of range); empty when it can.
ZOR_FEEDBACK_API std::string filter_problem(const Filter& filter, int rows, int cols);

}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_FILTER_H
