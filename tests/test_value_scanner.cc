// The fast value scanner against the meaning it re-implements: extracting
// doubles from a std::istringstream of the line until an extraction fails.
// Values must agree bit for bit, and so must the point where the line ends.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "value_scanner.h"

namespace {

using zor_feedback::detail::scan_values;

std::vector<double> stream_values(const std::string& line) {
  std::istringstream in(line);
  std::vector<double> out;
  double val;
  while (in >> val) out.push_back(val);
  return out;
}

// Scans the line from a buffer that continues with digits after its end, so
// that reading past `end` shows up as a difference.
std::vector<double> scanned_values(const std::string& line) {
  const std::string buffer = line + "987e5";
  std::vector<double> out;
  const long long n =
      scan_values(buffer.data(), buffer.data() + line.size(), [&out](double v) { out.push_back(v); });
  EXPECT_EQ(static_cast<std::size_t>(n), out.size()) << "count vs calls";
  return out;
}

std::uint64_t bits(double v) {
  std::uint64_t b;
  std::memcpy(&b, &v, sizeof b);
  return b;
}

std::string printable(const std::string& s) {
  std::string out;
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\x%02x", c);
      out += esc;
    }
  }
  return out;
}

// Empty when the lists agree bit for bit, else a description of the first difference.
std::string difference(const std::vector<double>& want, const std::vector<double>& got) {
  std::ostringstream msg;
  msg.precision(17);
  const std::size_t n = std::min(want.size(), got.size());
  for (std::size_t i = 0; i < n; ++i)
    if (bits(want[i]) != bits(got[i])) {
      msg << "value " << i << ": want " << want[i] << ", got " << got[i];
      return msg.str();
    }
  if (want.size() != got.size()) msg << "count: want " << want.size() << ", got " << got.size();
  return msg.str();
}

void expect_agrees(const std::string& line) {
  const std::string diff = difference(stream_values(line), scanned_values(line));
  EXPECT_TRUE(diff.empty()) << "line \"" << printable(line) << "\": " << diff;
}

// What the stream makes of lines at every quirk of its grammar; the scanner
// must give the same values.  Checking the expectation against the stream too
// keeps the table honest about the reference.
struct Known {
  std::string line;
  std::vector<double> values;
};

TEST(ValueScanner, QuirksOfStreamExtraction) {
  const double max = 1.7976931348623157e308;
  const double min_denormal = 4.9406564584124654e-324;
  const std::vector<Known> table = {
      {"", {}},
      {" \t\r\v\f", {}},
      {"1.234567e-03 -2.5e+01 0.125", {1.234567e-03, -2.5e+01, 0.125}},
      {"0.5  -1.25  3e-2", {0.5, -1.25, 3e-2}},
      {"1 2 3   # last row", {1, 2, 3}},
      {"  1\t2\r", {1, 2}},
      {"1\v2\f3\r4", {1, 2, 3, 4}},
      {"1 2 3\r", {1, 2, 3}},
      {"7", {7}},  // the end of the line right after a value: it counts
      {"1.2.3", {1.2, 0.3}},
      {"1e5e3", {1e5}},
      {"1e5.3", {1e5, 0.3}},
      {"1-2+3", {1, -2, 3}},
      {"1e+5-3", {1e5, -3}},
      {"+5 +.5 -.5 5.", {5, 0.5, -0.5, 5}},
      {"007 -00.5e1 0.e1 000", {7, -5, 0, 0}},
      {"-0 -0.0 -0e999999 0e-99999", {-0.0, -0.0, -0.0, 0.0}},
      {"1,2,3", {1}},
      {"1;2", {1}},
      {"1 2 x 4", {1, 2}},
      {"# 1 2", {}},
      {" #1", {}},
      {"1e", {}},
      {"2 1e+", {2}},
      {"1e-", {}},
      {"1.e", {}},
      {"1E3 1E", {1e3}},
      {"-", {}},
      {"+", {}},
      {"4 .", {4}},
      {"-.", {}},
      {".e1", {}},
      {"e5", {}},
      {"1e.5", {}},
      {"+-5", {}},
      {"--5", {}},
      {"1d5", {1}},
      {"inf", {}},
      {"-inf", {}},
      {"nan", {}},
      {"infinity 1", {}},
      {"0x1p3", {0}},
      {"-0x10", {-0.0}},
      {"1e400", {}},
      {"3 -1e400 4", {3}},
      {"1e308 1e309", {1e308}},
      {"1.7976931348623158e308", {max}},  // below the half-way point to infinity
      {"1.7976931348623159e308", {}},     // above it: rounds to infinity
      {"-1.7976931348623159e308", {}},
      {"1e-400 2", {0, 2}},
      {"-1e-400", {-0.0}},
      {"4.9e-324 2.4703282292062327e-324 2.4703282292062328e-324", {min_denormal, 0, min_denormal}},
      {"2.2250738585072011e-308", {2.2250738585072011e-308}},
      {"9007199254740993", {9007199254740992.0}},  // tie, to even
      {"9007199254740995", {9007199254740996.0}},
      {"9007199254740993e1", {90071992547409936.0}},  // above 2^53: not exact as a double
      {"123456789012345678901234567890", {1.2345678901234568e29}},
      {"0.1e-22 1e23 1e22 8.5e-23 4.35679e-30", {1e-23, 1e23, 1e22, 8.5e-23, 4.35679e-30}},
      {"1\x85 2", {1}},
      {"1\xa0 2", {1}},
      {std::string("1\0 2", 4), {1}},
      {"1\n2", {1, 2}},
  };
  for (const Known& k : table) {
    SCOPED_TRACE("line \"" + printable(k.line) + "\"");
    EXPECT_EQ(difference(k.values, stream_values(k.line)), "") << "reference";
    EXPECT_EQ(difference(k.values, scanned_values(k.line)), "") << "scanner";
  }
}

// Digit strings far longer than a double holds must still round like strtod,
// including exact half-way cases decided by the last of hundreds of digits.
TEST(ValueScanner, LongDigitStringsRoundLikeTheStream) {
  const std::string zeros(400, '0');
  const std::string nines(400, '9');
  const std::vector<std::string> lines = {
      "1" + zeros,
      "1" + zeros + "e-400",
      "0." + zeros + "1e400",
      "0." + zeros + "1",
      nines,
      "0." + nines,
      "9007199254740993" + zeros,        // 2^53 + 1 scaled: a tie
      "9007199254740993" + zeros + "1",  // just above the tie
      "9007199254740993." + zeros + "1e-400",
      // Half-way between 1 and its successor, 2^-53 exactly, then a tail.
      "1.00000000000000011102230246251565404236316680908203125",
      "1.00000000000000011102230246251565404236316680908203125" + zeros + "1",
      "1.00000000000000011102230246251565404236316680908203124" + nines,
      // The half-way point between 0 and the smallest denormal, 2^-1075.
      "2.4703282292062327208828439643411068618252990130716238221279284125033775364"
      "5e-324",
      "2.4703282292062327208828439643411068618252990130716238221279284125033775364"
      "5" +
          zeros + "1e-324",
      // Above the half-way point between the largest double and infinity.
      "1.797693134862315807937289714053034150799341327710154e308",
      "1.797693134862315807937289714053034150799341327710153" + nines + "e308",
      "1" + zeros + "e-92 2",
      "1e99999999999999999999999 2",
      "1e-99999999999999999999999 2",
      "0e99999999999999999999999 2",
      "-" + zeros + "1e-99999999999999999999 2",
  };
  for (const std::string& line : lines) expect_agrees(line);
}

// Lines built from the pieces the grammar reacts to, in random order, so that
// the scanner meets every combination of them.
class LineGenerator {
 public:
  explicit LineGenerator(std::uint64_t seed) : rng_(seed) {}

  std::string line() {
    std::string s;
    const int tokens = pick(0, 8);
    for (int t = 0; t < tokens; ++t) {
      separator(s);
      if (chance(85))
        number(s);
      else
        junk(s);
    }
    if (chance(30)) separator(s);
    return s;
  }

 private:
  int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
  bool chance(int percent) { return pick(0, 99) < percent; }
  char any_of(const char* set) { return set[pick(0, static_cast<int>(std::strlen(set)) - 1)]; }

  void digits(std::string& s, int n) {
    for (int i = 0; i < n; ++i) s += static_cast<char>('0' + pick(0, 9));
  }
  int digit_count() {
    const int r = pick(0, 99);
    if (r < 8) return 0;
    if (r < 75) return pick(1, 4);
    if (r < 92) return pick(5, 19);
    if (r < 97) return pick(20, 40);
    return pick(41, 400);
  }

  void mantissa(std::string& s) {
    const int r = pick(0, 99);
    if (r < 5) {
      s += std::string(static_cast<std::size_t>(pick(1, 30)), '0');
      digits(s, digit_count());
    } else if (r < 10) {
      s += std::string(static_cast<std::size_t>(pick(15, 60)), any_of("09"));
    } else if (r < 13) {
      static const char* const hard[] = {"2.4703282292062327", "2.4703282292062328", "1.7976931348623157",
                                         "1.7976931348623158", "1.7976931348623159", "9007199254740993",
                                         "4.9406564584124654", "2.2250738585072011", "2.2250738585072014"};
      s += hard[pick(0, 8)];
      return;
    } else {
      digits(s, digit_count());
    }
    if (chance(60)) {
      s += '.';
      digits(s, digit_count());
    }
    if (chance(3)) s += '.';
  }

  void exponent(std::string& s) {
    s += chance(50) ? 'e' : 'E';
    if (chance(70)) s += any_of("+-");
    if (chance(3)) s += any_of("+-");
    const int r = pick(0, 99);
    if (r < 8) return;
    if (r < 60)
      digits(s, pick(1, 2));
    else if (r < 85)
      s += std::to_string(pick(280, 345));
    else if (r < 95)
      digits(s, pick(3, 5));
    else
      digits(s, pick(6, 30));
  }

  void number(std::string& s) {
    if (chance(35)) s += any_of("+-");
    if (chance(2)) s += any_of("+-");
    mantissa(s);
    if (chance(45)) exponent(s);
    if (chance(2)) s += any_of("eE");
  }

  void separator(std::string& s) {
    const int r = pick(0, 99);
    if (r < 10) return;  // values run into each other
    if (r < 70) {
      s += ' ';
      return;
    }
    const int n = pick(1, 3);
    for (int i = 0; i < n; ++i) s += any_of(" \t\r\v\f ");
  }

  void junk(std::string& s) {
    const int r = pick(0, 99);
    if (r < 60) {
      s += any_of(",;#xXeEinfaINFAd.+-/");
    } else if (r < 75) {
      static const char* const words[] = {"inf", "nan", "-inf", "0x1A",     "1d3",
                                          "e5",  ".e",  "NaN",  "infinity", "+."};
      s += words[pick(0, 9)];
    } else {
      s += static_cast<char>(pick(0, 255));
    }
  }

  std::mt19937_64 rng_;
};

TEST(ValueScanner, AgreesWithStreamOnRandomLines) {
  LineGenerator gen(20240611);
  int failures = 0;
  long total_values = 0;
  for (int i = 0; i < 300000 && failures < 10; ++i) {
    const std::string line = gen.line();
    const std::vector<double> want = stream_values(line);
    total_values += static_cast<long>(want.size());
    const std::string diff = difference(want, scanned_values(line));
    if (!diff.empty()) {
      ++failures;
      ADD_FAILURE() << "line " << i << " \"" << printable(line) << "\": " << diff;
    }
  }
  // The generator has to produce lines with values, or the comparison proves little.
  EXPECT_GT(total_values, 300000);
}

TEST(ValueScanner, StopsAtTheGivenEnd) {
  const std::string text = "12345 6";
  std::vector<double> got;
  const long long n = scan_values(text.data(), text.data() + 3, [&got](double v) { got.push_back(v); });
  EXPECT_EQ(n, 1);
  EXPECT_EQ(got, std::vector<double>{123});
  EXPECT_EQ(scan_values(nullptr, nullptr, [](double) { FAIL(); }), 0);
}

}  // namespace
