// value_scanner.h - reading the numbers of one line of a response-matrix file.
// Private to the library (and its tools); not installed.
//
// The values of a line are, by definition, what extracting doubles with
// operator>> from a std::istringstream of the line yields (libstdc++, "C"
// locale): white space skipped before each value, the text of a value taken by
// num_get's grammar, accepted when strtod converts all of it to a finite
// number, and the line ends at the first failed extraction.  The stream costs
// about ten times what the loader can afford, so scan_values re-implements
// that meaning without it.  tests/test_value_scanner.cc and
// fuzz/fuzz_value_scanner.cc hold the two against each other.
#ifndef ZOR_FEEDBACK_VALUE_SCANNER_H
#define ZOR_FEEDBACK_VALUE_SCANNER_H

#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <system_error>

namespace zor_feedback {
namespace detail {
namespace scanning {

// isspace() of the "C" locale; bytes from 0x80 up are no white space there.
inline bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// The digit's value, or something above 9 for any other byte.
inline unsigned digit_value(char c) {
  return static_cast<unsigned>(static_cast<unsigned char>(c)) - static_cast<unsigned>('0');
}

// Exponent digits beyond this only push a value further out of range; the
// bound keeps the arithmetic in 64 bits and is far above any digit count a
// line in memory can have, so it cannot turn an overflow into an underflow.
constexpr std::int64_t kExponentCap = 1000000000000000;  // 1e15

// Last resort, for text that from_chars did not take as expected (not met in
// testing): strtod on a terminated copy, judged as the stream judges it.
inline bool convert_strtod(const char* first, const char* last, double& out) {
  const std::string text(first, last);
  char* stop = nullptr;
  const double v = std::strtod(text.c_str(), &stop);
  if (stop != text.c_str() + text.size() || std::isinf(v)) return false;
  out = v;
  return true;
}

// Converts the text [first, last) of one value, already checked against the
// grammar and without a '+' sign.  `magnitude` is the decimal exponent of the
// value's leading digit plus one: the value lies in [10^(m-1), 10^m).
inline bool convert_slow(const char* first, const char* last, bool negative, std::int64_t magnitude,
                         double& out) {
  double v = 0.0;
  const std::from_chars_result r = std::from_chars(first, last, v);
  if (r.ptr == last) {
    if (r.ec == std::errc()) {
      if (std::isinf(v)) return false;
      out = v;
      return true;
    }
    if (r.ec == std::errc::result_out_of_range) {
      // Both are correctly rounded, so from_chars is out of range exactly where
      // strtod returns +-HUGE_VAL (the stream fails) or +-0 after an underflow
      // (the stream accepts it); the magnitude tells which.
      if (magnitude > 0) return false;
      out = negative ? -0.0 : 0.0;
      return true;
    }
  }
  return convert_strtod(first, last, out);
}

// Reads one value at `pos` (not at the end, not at white space), as num_get
// does: optional sign, digits with at most one '.', then, once a mantissa digit
// has been seen, 'e' or 'E', an optional sign and digits.  The text so taken
// has to be a whole number for strtod, or the extraction fails.  On success
// moves `pos` past the text and stores the value.
inline bool scan_one(const char*& pos, const char* end, double& out) {
  const char* p = pos;
  const char* const number = *p == '+' ? p + 1 : p;  // from_chars takes no '+'
  const bool negative = *p == '-';
  if (*p == '+' || *p == '-') ++p;

  // Mantissa: w collects the digits from the first non-zero one on (exactly,
  // while there are at most 19 of them), nd counts those digits.
  std::uint64_t w = 0;
  const char* const mantissa = p;
  while (p != end && *p == '0') ++p;
  const char* first_sig = p;
  for (unsigned d; p != end && (d = digit_value(*p)) <= 9; ++p) w = w * 10 + d;
  std::int64_t nd = p - first_sig;
  std::int64_t nfrac = 0;
  if (p != end && *p == '.') {
    const char* const fraction = ++p;
    if (nd == 0)
      while (p != end && *p == '0') ++p;
    first_sig = p;
    for (unsigned d; p != end && (d = digit_value(*p)) <= 9; ++p) w = w * 10 + d;
    nd += p - first_sig;
    nfrac = p - fraction;
    if (p - mantissa == 1) return false;  // a lone '.'
  } else if (p == mantissa) {
    return false;  // no digit at all
  }

  std::int64_t exponent = 0;
  if (p != end && (*p == 'e' || *p == 'E')) {
    ++p;
    bool exp_negative = false;
    if (p != end && (*p == '+' || *p == '-')) {
      exp_negative = *p == '-';
      ++p;
    }
    const char* const exp_digits = p;
    for (unsigned d; p != end && (d = digit_value(*p)) <= 9; ++p)
      if (exponent < kExponentCap) exponent = exponent * 10 + d;
    if (p == exp_digits) return false;  // "1e", "1e+": strtod stops before the 'e'
    if (exp_negative) exponent = -exponent;
  }
  const char* const last = p;
  pos = last;

  if (nd == 0) {
    out = negative ? -0.0 : 0.0;
    return true;
  }
  const std::int64_t e10 = exponent - nfrac;  // value = w * 10^e10
#if defined(FLT_EVAL_METHOD) && FLT_EVAL_METHOD == 0
  // Clinger's fast path: w and 10^|e10| are exact doubles, so one correctly
  // rounded multiplication or division gives the correctly rounded value.
  static constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                      1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  if (nd <= 19 && w <= (std::uint64_t{1} << 53) && e10 >= -22 && e10 <= 22) {
    const double m = static_cast<double>(w);
    const double v = e10 < 0 ? m / kPow10[-e10] : m * kPow10[e10];
    out = negative ? -v : v;
    return true;
  }
#endif
  return convert_slow(number, last, negative, nd + e10, out);
}

}  // namespace scanning

// Calls f(double) for each value that extracting doubles with operator>> from
// a std::istringstream of the line [begin, end) yields, in order, until an
// extraction fails; returns the number of values.  Reads nothing outside
// [begin, end), which need not be terminated, and allocates nothing on its
// usual path.  With `stop`, *stop is where the values end: `end`, or the first
// text after white space that is no value.
template <class F>
long long scan_values(const char* begin, const char* end, F&& f, const char** stop = nullptr) {
  long long n = 0;
  const char* p = begin;
  for (;;) {
    while (p != end && scanning::is_space(*p)) ++p;
    double val;
    const char* const token = p;  // a failed value may have been consumed
    if (p == end || !scanning::scan_one(p, end, val)) {
      if (stop != nullptr) *stop = token;
      return n;
    }
    f(val);
    ++n;
  }
}

}  // namespace detail
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_VALUE_SCANNER_H
