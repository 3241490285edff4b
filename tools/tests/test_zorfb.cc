// zorfb: the executable end to end (exit codes, messages, results equal to the
// library's own), and its parts in-process (chart, demo, chicane).
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "testing.h"
#include "zor_feedback/labelled_matrix.h"
#include "zor_feedback/loop/measurement.h"
#include "zorfb/zorfb.h"

namespace {

struct Result {
  int rc = -1;
  std::string out;
  std::string err;
};

std::string quote(const std::string& s) {
  std::string q = "'";
  for (const char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::string slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class Zorfb : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = ::testing::TempDir() + "zorfb_XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  std::string path(const std::string& name) const { return dir_ + "/" + name; }

  std::string write(const std::string& name, const std::string& text) const {
    std::ofstream(path(name), std::ios::binary) << text;
    return path(name);
  }

  Result run(const std::vector<std::string>& args) const {
    std::string cmd = quote(ZOR_FEEDBACK_ZORFB_EXE);
    for (const std::string& a : args) cmd += " " + quote(a);
    cmd += " >" + quote(path("stdout")) + " 2>" + quote(path("stderr"));
    const int status = std::system(cmd.c_str());
    Result r;
    r.rc = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = slurp(path("stdout"));
    r.err = slurp(path("stderr"));
    return r;
  }

  std::string dir_;
};

// A well-conditioned 5 x 3 matrix (5 monitors, 3 actuators), and a rank-1
// one with an exactly zero singular value.
const char* const kTall =
    "# 5 monitors x 3 actuators\n"
    "1.5 -0.25 0.125\n"
    "0.5 2.0 -1.0\n"
    "-0.75 0.5 3.25\n"
    "2.0 1.0 0.5   # a note after the values\n"
    "0.1 -0.2 0.3\n";
const char* const kRankOne = "2 0\n1 0\n";

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> v;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) v.push_back(l);
  return v;
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// --- Exit codes and messages ---------------------------------------------

TEST_F(Zorfb, CommandLineExitCodesAndMessages) {
  const std::string good = write("good.txt", kTall);
  const std::string chicane[] = {"chicane", "-E", "130", "--leff", "0.5", "--d12", "3", "--d23", "1"};
  auto ch = [&](std::vector<std::string> extra) {
    std::vector<std::string> v(std::begin(chicane), std::end(chicane));
    v.insert(v.end(), extra.begin(), extra.end());
    return v;
  };
  struct Case {
    std::vector<std::string> args;
    int rc;
    std::string out_part;  // expected in stdout ("" is in everything)
    std::string err_part;  // expected in stderr
  };
  const std::vector<Case> cases = {
      {{"--help"}, 0, "Usage", ""},
      {{"svd", "--help"}, 0, "--tol", ""},
      {{"chicane", "--help"}, 0, "z12 = d12 + leff", ""},
      {{"--version"}, 0, ZOR_FEEDBACK_VERSION, ""},
      {{"nonsense"}, 2, "", "nonsense"},
      {{"svd"}, 2, "", "file is required"},
      {{"svd", good, "--format", "xml"}, 2, "", "xml"},
      {{"svd", good, "--tol", "abc"}, 2, "", "abc"},
      {{"demo", "--cycles", "-3"}, 2, "", "cycles"},
      {{"demo", "--kp", "0.2"}, 2, "", "--kp is a gain of --controller pi"},
      {{"demo", "--controller", "pi", "--kp", "1.8"}, 2, "", "kp must lie in [0, 2 - ki)"},
      {{"demo", "--controller", "pid"}, 2, "", "pid"},
      {{"demo", "--filter", "tikhonov gcv"}, 2, "", "give a strength (tikhonov A)"},
      {{"demo", "--filter", "keep 0"}, 2, "", "--filter"},
      {{"svd", path("missing.txt")}, 1, "", "cannot open"},
      {{"pinv", path("missing.txt")}, 1, "", "cannot open"},
      {ch({}), 2, "", "one of --field, --angle or --r56"},
      {ch({"--field", "0.1", "--angle", "5"}), 2, "", "excludes"},
      {ch({"--field", "2"}), 1, "", "too strong"},
      {ch({"--field", "0.09", "--scan", "field=1:2:5"}), 2, "", "leave out --field"},
      {ch({"--scan", "gamma=1:2:5"}), 2, "", "NAME one of"},
      {ch({"--scan", "field=1:2"}), 2, "", "FROM:TO:STEPS"},
      {ch({"--field", "0.09"}), 0, "R56", ""},
  };
  for (const Case& c : cases) {
    std::string shown;
    for (const std::string& a : c.args) shown += a + " ";
    SCOPED_TRACE(shown);
    const Result r = run(c.args);
    EXPECT_EQ(r.rc, c.rc) << r.err;
    EXPECT_TRUE(contains(r.out, c.out_part)) << r.out;
    EXPECT_TRUE(contains(r.err, c.err_part)) << r.err;
  }
}

TEST_F(Zorfb, BadFilesGiveClearErrors) {
  struct Case {
    const char* what;
    std::string content;
    std::string err_part;
  };
  const std::vector<Case> cases = {
      {"empty", "", "has no data lines"},
      {"comments only", "# a\n# b\n", "has no data lines"},
      {"empty line at the end", "1 2\n3 4\n\n", "last data line (line 3) holds no numbers"},
      {"heading without '#' last", "1 2\nx y\n", "holds no numbers"},
      {"longer earlier line", "1 2 3\n4 5\n", "more than no. of actuators"},
      {"beyond float", "1e39 1\n1 1\n", "beyond the float range"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string f = write("bad.txt", c.content);
    for (const char* cmd : {"svd", "pinv"}) {
      const Result r = run({cmd, f});
      EXPECT_EQ(r.rc, 1) << r.err;
      EXPECT_TRUE(contains(r.err, c.err_part)) << r.err;
    }
  }
}

TEST_F(Zorfb, ShorterEarlierLineIsRefused) {
  const Result r = run({"svd", write("short.txt", "1 2\n4 5 6\n")});
  EXPECT_EQ(r.rc, 1) << r.err;
  EXPECT_TRUE(contains(r.err, "line 1: fewer values than the 3 of the last data line")) << r.err;
}

// --- Results equal to the library's ---------------------------------------

struct LibraryInverse {
  LibraryInverse(const std::string& file, int m, int n, float t)
      : R("R", m, n, nullptr), inverse("INV", n, m, nullptr), spectrum("S", std::min(m, n), nullptr), tol(t) {
    ovrix::LogCapture quiet;
    EXPECT_TRUE(R.load_file(file.c_str()));
  }
  QTEV_ResponseMatrix R, inverse;
  D_spectrum spectrum;
  float tol;
  int nosv = 0;
};

// The csv output: the header comment's key=value pairs and the value rows.
struct Csv {
  std::string header;
  std::vector<double> values;
  std::vector<int> used;
};

Csv parse_csv(const std::string& out) {
  Csv c;
  const std::vector<std::string> lines = lines_of(out);
  EXPECT_GE(lines.size(), 2u);
  if (lines.size() < 2) return c;
  c.header = lines[0];
  std::size_t k = 1;
  while (k < lines.size() && lines[k].rfind("# warning: ", 0) == 0) ++k;
  EXPECT_EQ(lines[k], "index,singular_value,used");
  const std::size_t first = ++k;
  for (; k < lines.size(); ++k) {
    int index = 0, used = 0;
    double v = 0;
    EXPECT_EQ(std::sscanf(lines[k].c_str(), "%d,%lf,%d", &index, &v, &used), 3) << lines[k];
    EXPECT_EQ(index, static_cast<int>(k - first));
    c.values.push_back(v);
    c.used.push_back(used);
  }
  return c;
}

TEST_F(Zorfb, SvdMatchesTheLibraryAndOutRoundTrips) {
  const std::string file = write("tall.txt", kTall);
  for (const float tol : {-1.0f, 0.01f}) {
    SCOPED_TRACE(tol);
    const std::string out = path("inverse.txt");
    const Result r =
        run({"svd", file, "--classic", "--tol", std::to_string(tol), "--format", "csv", "--out", out});
    ASSERT_EQ(r.rc, 0) << r.err;

    LibraryInverse lib(file, 5, 3, tol);
    {
      ovrix::LogCapture quiet;
      lib.R.invert(lib.inverse, lib.spectrum, &lib.tol, &lib.nosv);
    }
    const Csv csv = parse_csv(r.out);
    ASSERT_EQ(csv.values.size(), 3u);
    for (int i = 0; i < 3; ++i)
      EXPECT_EQ(static_cast<float>(csv.values[static_cast<std::size_t>(i)]), lib.spectrum.point(i)) << i;
    EXPECT_TRUE(contains(csv.header, "nosv=" + std::to_string(lib.nosv))) << csv.header;
    // The tolerance reads back into the very float the server would use.
    const std::size_t at_tol = csv.header.find(" tol=");
    ASSERT_NE(at_tol, std::string::npos) << csv.header;
    EXPECT_EQ(std::strtof(csv.header.c_str() + at_tol + 5, nullptr), lib.tol) << csv.header;

    // The inverse written with --out loads back into exactly the library's.
    QTEV_ResponseMatrix back("BACK", 3, 5, nullptr);
    {
      ovrix::LogCapture quiet;
      ASSERT_TRUE(back.load_file(out.c_str()));
    }
    EXPECT_TRUE(zor_feedback::test::same_bits(zor_feedback::test::elements(back),
                                              zor_feedback::test::elements(lib.inverse)));
    EXPECT_EQ(slurp(out).rfind("# ", 0), 0u) << "comment header first";
  }
}

TEST_F(Zorfb, SvdWithAUserToleranceDropsValuesAndSaysSo) {
  // Singular values 3, 1 and 0.01: a relative tolerance of 0.1 drops the last.
  const std::string file = write("diag.txt", "3 0 0\n0 1 0\n0 0 0.01\n");
  const Result csv = run({"svd", file, "--tol", "0.1", "--format", "csv"});
  ASSERT_EQ(csv.rc, 0) << csv.err;
  EXPECT_EQ(parse_csv(csv.out).used, (std::vector<int>{1, 1, 0}));

  const Result text = run({"svd", file, "--tol", "0.1"});
  ASSERT_EQ(text.rc, 0) << text.err;
  EXPECT_TRUE(contains(text.out, "cut-off")) << text.out;
  EXPECT_TRUE(contains(text.out, "#")) << text.out;
  EXPECT_TRUE(contains(text.out, ".")) << text.out;
  EXPECT_TRUE(contains(text.out, "time")) << text.out;

  const Result json = run({"svd", file, "--tol", "0.1", "--format", "json"});
  ASSERT_EQ(json.rc, 0) << json.err;
  const auto j = nlohmann::json::parse(json.out);
  EXPECT_EQ(j["used_flags"], nlohmann::json({true, true, false})) << json.out;
  EXPECT_EQ(j["inversion"], "standard") << json.out;
  EXPECT_EQ(j["rcond"], 0.1) << json.out;
}

TEST_F(Zorfb, TikhonovIsTheLibrarysFilterAndItsAutomaticStrengthNeedsAnOrbit) {
  const std::string file = write("tall.txt", kTall);
  // The tool inverts the float matrix the file loads as.
  const float stored[] = {1.5f,  -0.25f, 0.125f, 0.5f, 2.0f, -1.0f, -0.75f, 0.5f,
                          3.25f, 2.0f,   1.0f,   0.5f, 0.1f, -0.2f, 0.3f};
  const std::vector<double> a(std::begin(stored), std::end(stored));
  const std::string orbit = write("orbit.txt", "0.3\n-0.1\n0.7\n0.2\n0.05\n");
  const std::vector<double> b = {0.3, -0.1, 0.7, 0.2, 0.05};
  const std::pair<std::vector<std::string>, zor_feedback::Filter> runs[] = {
      {{"--tikhonov", "0.01"}, zor_feedback::Filter::tikhonov(0.01)},
      {{"--filter", "tikhonov 0.01"}, zor_feedback::Filter::tikhonov(0.01)},
      {{"--tikhonov", "gcv", "--orbit", orbit},
       zor_feedback::Filter::tikhonov_auto(zor_feedback::AlphaRule::gcv)},
      {{"--tikhonov", "discrepancy", "--noise", "0.3", "--orbit", orbit},
       zor_feedback::Filter::tikhonov_discrepancy(0.3)},
      {{"--filter", "keep 2"}, zor_feedback::Filter::by_count(2)}};
  for (const auto& [args, filter] : runs) {
    std::vector<std::string> cmd = {"svd", file, "--format", "json"};
    cmd.insert(cmd.end(), args.begin(), args.end());
    const Result r = run(cmd);
    ASSERT_EQ(r.rc, 0) << args.front() << ": " << r.err;
    const auto j = nlohmann::json::parse(r.out);
    zor_feedback::StandardOptions o{filter};
    o.orbit = b;
    std::vector<double> x;
    const zor_feedback::SvdReport lib = zor_feedback::pseudo_inverse(a.data(), 5, 3, o, &x);
    ASSERT_TRUE(lib.ok) << lib.error;
    EXPECT_EQ(j["filter"], to_string(filter)) << r.out;
    EXPECT_EQ(j["filter_factors"].get<std::vector<double>>(), lib.filter_factors) << r.out;
    if (filter.is_tikhonov()) {
      EXPECT_EQ(j["alpha"].get<double>(), lib.alpha) << r.out;
    }
  }
  const std::pair<std::vector<std::string>, const char*> refused[] = {
      {{"--tikhonov", "auto"}, "give --orbit FILE"},
      {{"--tikhonov", "discrepancy", "--orbit", orbit}, "needs --noise SIGMA"},
      {{"--tikhonov", "0.01", "--orbit", orbit}, "--orbit is for an automatic strength"},
      {{"--tikhonov", "0.01", "--noise", "1"}, "--noise is the noise level of --tikhonov discrepancy"},
      {{"--tikhonov", "lcurve", "--orbit", write("short.txt", "1\n2\n")}, "is 5 x 1"},
      {{"--tikhonov", "-1"}, "tikhonov strength -1 is not a number > 0"},
      {{"--filter", "tikhonov"}, "tikhonov needs a strength"},
      {{"--tikhonov", "0.01", "--tol", "0.1"}, "excludes"},
      {{"--tikhonov", "0.01", "--classic"}, "excludes"}};
  for (const auto& [args, why] : refused) {
    std::vector<std::string> cmd = {"svd", file};
    cmd.insert(cmd.end(), args.begin(), args.end());
    const Result r = run(cmd);
    EXPECT_EQ(r.rc, 2) << args.front();
    EXPECT_TRUE(contains(r.err, why)) << r.err;
  }
}

TEST_F(Zorfb, PinvMatchesTheLibraryAndOutRoundTrips) {
  const std::string file = write("tall.txt", kTall);
  const std::string out = path("pinv.txt");
  const Result r = run({"pinv", file, "--tolerance", "0.2", "--format", "json", "--out", out});
  ASSERT_EQ(r.rc, 0) << r.err;
  EXPECT_TRUE(contains(r.out, "\"input_cleared\": 2")) << r.out;  // 0.125 and 0.1

  LibraryInverse lib(file, 5, 3, 0.2f);
  {
    ovrix::LogCapture quiet;
    lib.R.pinv(lib.inverse, &lib.tol);
  }
  QTEV_ResponseMatrix back("BACK", 3, 5, nullptr);
  {
    ovrix::LogCapture quiet;
    ASSERT_TRUE(back.load_file(out.c_str()));
  }
  EXPECT_TRUE(zor_feedback::test::same_bits(zor_feedback::test::elements(back),
                                            zor_feedback::test::elements(lib.inverse)));
}

TEST_F(Zorfb, NonFiniteInverseIsNotWritten) {
  // A negative tolerance inverts the zero singular value of a rank-1 matrix;
  // the standard inversion refuses a negative rcond outright.
  const std::string out = path("inf.txt");
  const Result r = run({"svd", write("rank1.txt", kRankOne), "--classic", "--tol", "-0.5", "--out", out});
  EXPECT_EQ(r.rc, 1) << r.out;
  EXPECT_TRUE(contains(r.err, "not finite")) << r.err;
  EXPECT_NE(::access(out.c_str(), F_OK), 0) << "nothing written";
  const Result standard = run({"svd", path("rank1.txt"), "--tol", "-0.5", "--out", out});
  EXPECT_EQ(standard.rc, 1);
  EXPECT_TRUE(contains(standard.err, "rcond -0.5 is not a number >= 0")) << standard.err;
  EXPECT_NE(::access(out.c_str(), F_OK), 0) << "nothing written";
}

TEST_F(Zorfb, OutputStreamsFollowTheOptions) {
  const std::string file = write("tall.txt", kTall);  // 5 x 3: the library reports its transposition
  const Result quiet = run({"svd", file});
  ASSERT_EQ(quiet.rc, 0);
  EXPECT_EQ(quiet.err, "");
  EXPECT_FALSE(contains(quiet.out, "INFO"));

  const Result verbose = run({"svd", file, "--classic", "-v"});
  ASSERT_EQ(verbose.rc, 0);
  EXPECT_TRUE(contains(verbose.err, "QTEV_ResponseMatrix::invert: INFO: SVD on 5 x 3 matrix ..."))
      << verbose.err;
  EXPECT_TRUE(contains(verbose.err, "took (ms)")) << verbose.err;

  // The debug tables go to standard output, but never into json.
  const Result debug = run({"--debug", "svd", file, "--classic"});
  ASSERT_EQ(debug.rc, 0);
  EXPECT_TRUE(contains(debug.out, "pinv(A)")) << debug.out;
  const Result json = run({"svd", file, "--classic", "--debug", "--format", "json"});
  ASSERT_EQ(json.rc, 0);
  EXPECT_EQ(json.out.rfind("{", 0), 0u) << json.out;
  EXPECT_FALSE(contains(json.out, "pinv(A)"));
  EXPECT_TRUE(contains(json.err, "pinv(A)"));
}

TEST_F(Zorfb, LargeMatrixIsAnnounced) {
  // 400 x 300 = 120000 elements, past the announcement threshold.
  std::string text;
  for (int i = 0; i < 400; ++i) {
    for (int j = 0; j < 300; ++j)
      text += std::to_string(((i * 7 + j * 13) % 17) - 8 + (i == j ? 40 : 0)) + " ";
    text += "\n";
  }
  const Result r = run({"svd", write("big.txt", text), "--format", "csv"});
  ASSERT_EQ(r.rc, 0) << r.err;
  EXPECT_TRUE(contains(r.err, "400 x 300 matrix (120000 elements)")) << r.err;
}

// What the server would compute wrongly or read differently than meant never
// ends in success: an all-zero inverse of a non-zero matrix, a separated file,
// a NaN where a value stands.
TEST_F(Zorfb, NoSilentWrongInverse) {
  const std::string line = std::string(ZOR_FEEDBACK_DATA_DIR) + "/transfer_line_response.txt";
  const Result fine = run({"svd", line, "--classic"});
  EXPECT_EQ(fine.rc, 0) << fine.err;
  EXPECT_FALSE(contains(fine.out + fine.err, "warning")) << "the internal tolerance in the usual units";

  // The relative tolerance 0.1 is also the absolute floor of elements < 0.07:
  // the classic inversion is refused, the standard one needs no floor.
  const std::string out = path("inverse.txt");
  const Result floor = run({"svd", line, "--classic", "--tol", "0.1", "--out", out});
  EXPECT_EQ(floor.rc, 1);
  EXPECT_TRUE(contains(floor.err, "the classic floor clears 100.0% of the inverse")) << floor.err;
  EXPECT_TRUE(contains(floor.err, "drop --classic")) << floor.err;
  EXPECT_NE(::access(out.c_str(), F_OK), 0) << "nothing written";
  EXPECT_EQ(run({"svd", line, "--tol", "0.1", "--out", out}).rc, 0);

  // The same matrix in units a million times smaller: the internal tolerance
  // grows with the matrix and clears its whole inverse.
  std::string scaled;
  for (const std::string& l : lines_of(slurp(line))) {
    if (l.empty() || l[0] == '#') continue;
    std::istringstream in(l);
    for (double v; in >> v;) scaled += std::to_string(v * 1e6) + " ";
    scaled += "\n";
  }
  const Result units = run({"svd", write("scaled.txt", scaled), "--classic", "--format", "json"});
  EXPECT_EQ(units.rc, 1);
  EXPECT_TRUE(contains(units.err, "the classic floor clears")) << units.err;
  EXPECT_EQ(run({"svd", path("scaled.txt")}).rc, 0) << "the standard inversion has no units";

  const Result pinv = run({"pinv", line, "--tolerance", "1e3"});
  EXPECT_EQ(pinv.rc, 1);
  EXPECT_TRUE(contains(pinv.err, "cleared all 114 non-zero input elements")) << pinv.err;

  const Result csv = run({"svd", write("m.csv", "1,2,3\n4,5,6\n")});
  EXPECT_EQ(csv.rc, 1);
  EXPECT_TRUE(contains(csv.err, "line 1: values separated by ','")) << csv.err;
  const Result nan = run({"svd", write("nan.txt", "1 2\nnan 4\n")});
  EXPECT_EQ(nan.rc, 1);
  EXPECT_TRUE(contains(nan.err, "line 2: 'nan' is not a number the loader reads")) << nan.err;
  const Result words = run({"svd", write("words.txt", "1 0 # fine\n0 2 volts\n")});
  EXPECT_EQ(words.rc, 1) << words.err;
  EXPECT_TRUE(contains(words.err, "'" + path("words.txt") + "' line 2: the text after the values ('volts')"))
      << words.err;
}

// --keep N: the standard inversion keeps N values by count; the classic one
// gives the tolerance to set on the server, where its floor allows it.
TEST_F(Zorfb, KeepCountsValuesAndGivesTheServersTolerance) {
  const std::string ring = std::string(ZOR_FEEDBACK_DATA_DIR) + "/ring_response.txt";
  for (const int n : {48, 35}) {
    const Result keep = run({"svd", ring, "--keep", std::to_string(n), "--format", "json"});
    ASSERT_EQ(keep.rc, 0) << keep.err;
    EXPECT_EQ(nlohmann::json::parse(keep.out)["used"], n);
  }
  const Result classic = run({"svd", ring, "--classic", "--keep", "48", "--format", "json"});
  ASSERT_EQ(classic.rc, 0) << classic.err;
  const auto j = nlohmann::json::parse(classic.out);
  EXPECT_EQ(j["tolerance_source"], "keep");
  const Result server = run({"svd", ring, "--classic", "--tol", j["tol"].dump(), "--format", "json"});
  EXPECT_EQ(nlohmann::json::parse(server.out)["used"], 48) << "the tolerance as an operator types it";

  // The ring's modes come in pairs of equal singular values: no tolerance
  // splits one, a count does and says so.
  const Result pair = run({"svd", ring, "--classic", "--keep", "40"});
  EXPECT_EQ(pair.rc, 1);
  EXPECT_TRUE(contains(pair.err, "no tolerance keeps exactly 40 values")) << pair.err;
  const Result split = run({"svd", ring, "--keep", "40"});
  EXPECT_EQ(split.rc, 0);
  EXPECT_TRUE(contains(split.out, "splits a degenerate pair")) << split.out;
}

TEST_F(Zorfb, CorrectIsMinusGainTimesTheStandardInverseTimesTheOrbitWithinLimitsAndMasks) {
  const std::string ring = std::string(ZOR_FEEDBACK_DATA_DIR) + "/ring_response.txt";
  std::string orbit_text = "# orbit [mm]\n";
  std::vector<double> orbit;
  for (int i = 0; i < 96; ++i) {
    orbit.push_back(std::stod(std::to_string(0.1 * std::sin(0.7 * i))));
    orbit_text += std::to_string(0.1 * std::sin(0.7 * i)) + "\n";
  }
  const std::string orbit_file = write("orbit.txt", orbit_text);
  const Result r = run({"correct", ring, orbit_file, "--gain", "0.5", "--format", "json"});
  ASSERT_EQ(r.rc, 0) << r.err;
  const auto j = nlohmann::json::parse(r.out);

  zor_feedback::LabelledMatrix m;
  ASSERT_TRUE(zor_feedback::read_labelled_matrix(ring.c_str(), &m).ok);
  std::vector<double> inverse;
  ASSERT_TRUE(zor_feedback::pseudo_inverse(m.values.data(), 96, 48, {}, &inverse).ok);
  ASSERT_EQ(j["delta"].size(), 48u);
  EXPECT_EQ(j["step"], j["delta"]);
  for (std::size_t k = 0; k < 48; ++k) {
    double s = 0.0;
    for (std::size_t i = 0; i < 96; ++i) s += inverse[k * 96 + i] * orbit[i];
    EXPECT_NEAR(j["delta"][k].get<double>(), -0.5 * s, 1e-12) << k;
  }
  EXPECT_LT(j["orbit_rms_after"].get<double>(), j["orbit_rms_before"].get<double>());

  // A plane's filter by its text: the step of the library's Tikhonov inverse; one chosen per orbit is
  // refused.
  const Result t =
      run({"correct", ring, orbit_file, "--gain", "0.5", "--filter-x", "tikhonov 0.05", "--format", "json"});
  ASSERT_EQ(t.rc, 0) << t.err;
  const auto jt = nlohmann::json::parse(t.out);
  ASSERT_TRUE(
      zor_feedback::pseudo_inverse(m.values.data(), 96, 48, {zor_feedback::Filter::tikhonov(0.05)}, &inverse)
          .ok);
  for (std::size_t k = 0; k < 48; ++k) {
    double s = 0.0;
    for (std::size_t i = 0; i < 96; ++i) s += inverse[k * 96 + i] * orbit[i];
    EXPECT_NEAR(jt["delta"][k].get<double>(), -0.5 * s, 1e-12) << k;
  }
  for (const auto& [text, why] :
       {std::pair<const char*, const char*>{"tikhonov auto", "chooses it for one orbit"},
        {"tikhonov", "tikhonov needs a strength"},
        {"cut 3", "unknown filter 'cut 3'"}}) {
    const Result bad = run({"correct", ring, orbit_file, "--filter-x", text});
    EXPECT_EQ(bad.rc, 2) << text;
    EXPECT_TRUE(contains(bad.err, why)) << bad.err;
  }

  // Limits, masks and a policy: every kick inside, the bound corrector named.
  const std::string limits =
      write("limits.txt", "# name min max [max_step]\nCH04 -0.002 0.002\nCH11 -inf inf 0.001\n");
  std::string kicks_text;
  for (int k = 0; k < 48; ++k) kicks_text += k == 3 ? "0.001\n" : "0\n";
  const std::string kicks = write("kicks.txt", kicks_text);
  const Result c =
      run({"correct", ring, orbit_file, "--gain", "0.5", "--kicks", kicks, "--limits", limits,
           "--mask-monitor", "BPM06", "--mask-corrector", "CH08", "--policy", "clip", "--format", "json"});
  ASSERT_EQ(c.rc, 0) << c.err;
  const auto jc = nlohmann::json::parse(c.out);
  EXPECT_EQ(jc["limited"], nlohmann::json({"CH04", "CH11"}));
  EXPECT_DOUBLE_EQ(jc["kicks"][3].get<double>(), -0.002);
  EXPECT_LE(std::fabs(jc["delta"][10].get<double>()), 0.001 * (1 + 1e-12));
  EXPECT_EQ(jc["delta"][7].get<double>(), 0.0);
  EXPECT_EQ(jc["monitors_used"].size(), 95u);
  EXPECT_EQ(jc["correctors_used"].size(), 47u);

  const Result wrong = run({"correct", ring, ring});
  EXPECT_EQ(wrong.rc, 1);
  EXPECT_TRUE(contains(wrong.err, "is 96 x 1 (one value per monitor")) << wrong.err;
  for (const char* gain : {"0", "nan", "-1", "2", "3"}) {
    const Result bad = run({"correct", ring, orbit_file, "--gain-y", gain});
    EXPECT_EQ(bad.rc, 2) << gain;
    EXPECT_TRUE(contains(bad.err, "gain must be a finite number above 0 and below 2")) << bad.err;
  }

  // The reference, the weights and the RF column from column files: half
  // the orbit as the reference halves the step; equal weights change nothing.
  std::string half, ones, rf;
  for (int i = 0; i < 96; ++i) {
    char line[64];
    std::snprintf(line, sizeof line, "%.17g\n", orbit[static_cast<std::size_t>(i)] / 2);
    half += line;
    ones += "3\n";
    std::snprintf(line, sizeof line, "%.17g\n", 0.01 * i);
    rf += line;
  }
  const Result h = run({"correct", ring, orbit_file, "--gain", "0.5", "--reference", write("half.txt", half),
                        "--weights", write("ones.txt", ones), "--format", "json"});
  ASSERT_EQ(h.rc, 0) << h.err;
  const auto jh = nlohmann::json::parse(h.out);
  for (std::size_t k = 0; k < 48; ++k)
    EXPECT_NEAR(jh["delta"][k].get<double>(), j["delta"][k].get<double>() / 2, 1e-12) << k;
  const Result with_rf = run({"correct", ring, orbit_file, "--rf-column", write("rf.txt", rf), "--rf-name",
                              "RFQ", "--format", "json"});
  ASSERT_EQ(with_rf.rc, 0) << with_rf.err;
  const auto jr = nlohmann::json::parse(with_rf.out);
  EXPECT_EQ(jr["correctors"].back(), "RFQ");
  EXPECT_EQ(jr["delta"].size(), 49u);
  const Result rf_kicks = run({"correct", ring, orbit_file, "--rf-column", path("rf.txt"), "--kicks", kicks});
  EXPECT_EQ(rf_kicks.rc, 1);
  EXPECT_TRUE(contains(rf_kicks.err, "is 49 x 1")) << rf_kicks.err;
  const Result nan_limit = run({"correct", ring, orbit_file, "--limits", write("nan.txt", "3 nan 1\n")});
  EXPECT_NE(nan_limit.rc, 0);
  EXPECT_TRUE(contains(nan_limit.err, "line 1: not NAME MIN MAX [MAX_STEP]")) << nan_limit.err;
  const Result unknown = run({"correct", ring, orbit_file, "--mask-corrector", "CH.QF99"});
  EXPECT_EQ(unknown.rc, 2);
  EXPECT_TRUE(contains(unknown.err, "no corrector named 'CH.QF99'")) << unknown.err;
}

TEST_F(Zorfb, MatrixLabelsAndConvertsThroughNpyAndMatrixMarket) {
  const std::string text = write("m.txt", kTall);
  const std::string mon = write("mon.txt", "A B C\nD E\n"), cor = write("cor.txt", "H1 H2 V1");
  const Result l = run({"matrix", text, "--monitors", mon, "--correctors", cor, "--monitor-planes", "x*3 y*2",
                        "--corrector-planes", "x x y", "--units", "mm/mrad", "--out", path("l.txt")});
  ASSERT_EQ(l.rc, 0) << l.err;
  EXPECT_TRUE(contains(l.out, "plane y: 2 monitors (D .. E), 1 correctors (V1 .. V1)")) << l.out;
  const Result npy = run({"matrix", path("l.txt"), "--out", path("m.npy")});
  ASSERT_EQ(npy.rc, 0) << npy.err;
  EXPECT_TRUE(contains(npy.err, "zorfb: warning: '" + path("m.npy") + "': a .npy file holds the values only"))
      << npy.err;
  ASSERT_EQ(run({"matrix", path("m.npy"), "--out", path("m.mtx")}).rc, 0);
  ASSERT_EQ(run({"matrix", path("m.mtx"), "--out", path("back.txt")}).rc, 0);
  zor_feedback::LabelledMatrix a, b;
  ASSERT_TRUE(zor_feedback::read_labelled_matrix(path("l.txt").c_str(), &a).ok);
  ASSERT_TRUE(zor_feedback::read_labelled_matrix(path("back.txt").c_str(), &b).ok);
  EXPECT_EQ(a.correctors, (std::vector<std::string>{"H1", "H2", "V1"}));
  EXPECT_EQ(a.units, "mm/mrad");
  EXPECT_EQ(b.values, a.values) << "npy and mtx carry the values unchanged";
  EXPECT_EQ(b.monitors[0], "0") << "npy carries no names";
  // A compressed Matrix Market file keeps the labels, and svd reads it by its name.
  const Result gz = run({"matrix", path("l.txt"), "--out", path("l.mtx.gz")});
  ASSERT_EQ(gz.rc, 0) << gz.err;
  EXPECT_TRUE(gz.err.empty()) << gz.err;
  zor_feedback::LabelledMatrix c;
  ASSERT_TRUE(zor_feedback::read_labelled_matrix(path("l.mtx.gz").c_str(), &c).ok);
  EXPECT_EQ(c.monitors, a.monitors);
  EXPECT_EQ(c.monitor_planes, a.monitor_planes);
  EXPECT_EQ(run({"svd", path("l.mtx.gz"), "--keep", "2"}).rc, 0);
  const Result vec =
      run({"svd", write("v.npy", std::string("\x93NUMPY\x01\x00\x3a\x00", 10) +
                                     "{'descr': '<f8', 'fortran_order': False, 'shape': (1,), }\n" +
                                     std::string(8, '\0'))});
  EXPECT_EQ(vec.rc, 1);
  EXPECT_TRUE(contains(vec.err, "a 1-D array (shape (1,)); a matrix file holds a 2-D array")) << vec.err;
  const Result bad = run({"matrix", text, "--monitor-planes", "x*3 z*2"});
  EXPECT_EQ(bad.rc, 1);
  EXPECT_TRUE(contains(bad.err, "'z*2' is not x, y")) << bad.err;
}

TEST_F(Zorfb, ChicaneFromItsR56) {
  const Result r = run({"chicane", "-E", "130", "--leff", "0.5", "--d12", "3", "--d23", "1", "--r56",
                        "-0.0729222763", "--format", "json"});
  ASSERT_EQ(r.rc, 0) << r.err;
  const auto j = nlohmann::json::parse(r.out)[0];
  EXPECT_NEAR(j["angle_rad"].get<double>(), 0.10396146, 5e-9);
  EXPECT_NEAR(j["field_T"].get<double>(), 0.09, 1e-9);
  EXPECT_NEAR(j["R56_m"].get<double>(), -0.0729222763, 1e-12);
  const Result wrong =
      run({"chicane", "-E", "130", "--leff", "0.5", "--d12", "3", "--d23", "1", "--r56", "0.01"});
  EXPECT_EQ(wrong.rc, 1);
  EXPECT_TRUE(contains(wrong.err, "negative R56")) << wrong.err;
}

TEST_F(Zorfb, DemoIsShortDeterministicAndConverges) {
  const Result a = run({"demo"});
  ASSERT_EQ(a.rc, 0) << a.err;
  EXPECT_EQ(a.err, "");
  const std::size_t n = lines_of(a.out).size();
  EXPECT_GE(n, 40u);
  EXPECT_LE(n, 100u);
  for (const char* part : {"SINGULAR_VALUES", "HISTORY", "cycle 12", "R56", "tolerance"})
    EXPECT_TRUE(contains(a.out, part)) << part;
  EXPECT_EQ(run({}).out, a.out) << "plain zorfb runs the demo, the same every time";
}

// --- In-process parts --------------------------------------------------------

TEST(ZorfbChart, MarksUsedDroppedCutoffAndZero) {
  const std::string chart =
      zor_feedback::cli::spectrum_chart({100.0, 10.0, 1.0, 0.0}, {true, true, false, false}, 5.0, 6);
  const std::vector<std::string> rows = lines_of(chart);
  ASSERT_EQ(rows.size(), 8u) << chart;  // 6 rows, the axis, the index labels
  // Four characters per value: the first value fills the top row alone.
  EXPECT_EQ(rows[0], " 1.0e+02 |####") << chart;
  int cut_rows = 0;
  for (const std::string& r : rows) cut_rows += r.find("cut-off") != std::string::npos;
  EXPECT_EQ(cut_rows, 1) << chart;
  EXPECT_EQ(rows[5].substr(9), "|########....vvvv") << "dropped 1.0 and the zero at the bottom\n" << chart;

  // A cut-off far below every value is named instead of squashing the chart.
  const std::string far = zor_feedback::cli::spectrum_chart({100.0, 10.0}, {true, true}, 1e-12, 6);
  EXPECT_NE(far.find("cut-off 1.0e-12 lies below every value"), std::string::npos) << far;
  EXPECT_EQ(zor_feedback::cli::spectrum_chart({}, {}, 1.0), "(no singular values)\n");
  EXPECT_EQ(zor_feedback::cli::spectrum_chart({0.0, 0.0}, {false, false}, std::nan("")),
            "(every singular value is 0)\n");
}

TEST(ZorfbDemo, OrbitConvergesToTheNoiseFloor) {
  zor_feedback::sim::FeedbackSimulation::Settings s;
  s.matrix_file = std::string(ZOR_FEEDBACK_DATA_DIR) + "/ring_response.txt";
  zor_feedback::sim::FeedbackSimulation sim(s);
  ASSERT_TRUE(sim.ok()) << sim.error();
  ASSERT_TRUE(sim.load_and_invert()) << sim.error();
  EXPECT_EQ(sim.monitors(), 96);
  EXPECT_EQ(sim.correctors(), 48);
  EXPECT_EQ(sim.report().used, 48);
  EXPECT_EQ(sim.client_spectrum().size(), 48u);

  std::vector<double> rms;
  for (int c = 0; c <= 12; ++c) rms.push_back(sim.cycle().orbit_rms);
  EXPECT_GT(rms[0], 10 * s.noise_mm) << "the errors dominate before the first correction";
  // With gain 0.5 the error orbit halves each cycle until the noise dominates.
  for (std::size_t c = 1; c <= 4; ++c) EXPECT_LT(rms[c], 0.6 * rms[c - 1]) << c;
  EXPECT_LT(rms.back(), 2 * s.noise_mm);

  // The history as a client reads it: newest first, one entry per cycle, the
  // load and the inversion before them.
  const std::vector<USTR> h = sim.client_history();
  ASSERT_EQ(h.size(), 16u);
  EXPECT_EQ(h[0].str_data.rfind("cycle 12:", 0), 0u) << h[0].str_data;
  EXPECT_EQ(h[12].str_data.rfind("cycle 0:", 0), 0u) << h[12].str_data;
  EXPECT_EQ(h[13].str_data.rfind("inverted", 0), 0u) << h[13].str_data;
  EXPECT_EQ(h[14].str_data.rfind("loaded 96 x 48", 0), 0u) << h[14].str_data;
  EXPECT_EQ(h[15].str_data, "");
}

TEST(ZorfbDemo, PiControllerConvergesAndBadGainsAreRefused) {
  namespace zl = zor_feedback::loop;
  zor_feedback::sim::FeedbackSimulation::Settings s;
  s.matrix_file = std::string(ZOR_FEEDBACK_DATA_DIR) + "/ring_response.txt";
  s.controller = {zl::ControllerConfig::Kind::pi, 0.2, 0.5};
  zor_feedback::sim::FeedbackSimulation sim(s);
  ASSERT_TRUE(sim.ok()) << sim.error();
  ASSERT_TRUE(sim.load_and_invert()) << sim.error();
  double rms = 0.0;
  for (int c = 0; c <= 14; ++c) rms = sim.cycle().orbit_rms;
  EXPECT_LT(rms, 2 * s.noise_mm);

  s.controller = {zl::ControllerConfig::Kind::integrator, 0.1, 0.5};
  const zor_feedback::sim::FeedbackSimulation bad(s);
  EXPECT_FALSE(bad.ok());
  EXPECT_EQ(bad.error(), "the integrator has no kp");
}

TEST(ZorfbDemo, Ring320WithTikhonovReachesTheNoiseFloor) {
  zor_feedback::sim::FeedbackSimulation::Settings s;
  s.matrix_file = std::string(ZOR_FEEDBACK_DATA_DIR) + "/ring320_response.txt";
  s.filter = zor_feedback::Filter::tikhonov(0.002);
  zor_feedback::sim::FeedbackSimulation sim(s);
  ASSERT_TRUE(sim.ok() && sim.load_and_invert()) << sim.error();
  EXPECT_GT(sim.report().alpha, 0.0);
  double last = 0.0;
  for (int c = 0; c <= 30; ++c) {
    const double rms = sim.cycle().orbit_rms;
    if (c > 20) last += rms / 10;
  }
  EXPECT_LT(last, 1.5 * s.noise_mm);
}

TEST(ZorfbDemo, WrongFileIsReported) {
  zor_feedback::sim::FeedbackSimulation::Settings s;
  s.matrix_file = ::testing::TempDir() + "zorfb_no_such_file.txt";
  zor_feedback::sim::FeedbackSimulation sim(s);
  EXPECT_FALSE(sim.ok());
  EXPECT_FALSE(sim.load_and_invert());
}

TEST(ZorfbChicane, FieldAndAngleGiveTheSameChicane) {
  zor_feedback::cli::ChicaneInput in;
  in.energy_mev = 130.0;
  in.field_t = 0.09;
  in.leff = 0.5;
  in.d12 = 3.0;
  in.d23 = 1.0;
  const zor_feedback::cli::ChicaneResult by_field = zor_feedback::cli::compute_chicane(in);
  ASSERT_TRUE(by_field.valid) << by_field.problem;
  in.use_angle = true;
  in.angle_rad = by_field.angle;
  const zor_feedback::cli::ChicaneResult by_angle = zor_feedback::cli::compute_chicane(in);
  EXPECT_NEAR(by_angle.field, 0.09, 1e-12);
  EXPECT_DOUBLE_EQ(by_angle.r56, by_field.r56);

  // The straight reference is the axis from dipole 1's entrance to dipole 4's
  // exit, and delta_t is the path difference over c.
  EXPECT_DOUBLE_EQ(by_field.straight, 2 * 3.0 + 1.0 + 4 * 0.5);
  EXPECT_NEAR(by_field.delta_t, (by_field.l_bc - by_field.straight) / 299792458.0, 1e-18);
  EXPECT_GT(by_field.delta_t, 0.0);
  EXPECT_LT(by_field.r56, 0.0);
  EXPECT_NEAR(by_field.p_mev, std::sqrt(130.0 * 130.0 - 0.51099895 * 0.51099895), 1e-4);

  // No bend: the path is the straight line.
  in.angle_rad = 0.0;
  const zor_feedback::cli::ChicaneResult straight = zor_feedback::cli::compute_chicane(in);
  EXPECT_TRUE(straight.valid);
  EXPECT_EQ(straight.delta_t, 0.0);
  EXPECT_EQ(straight.r56, 0.0);

  // Out of the domain: said, not computed into nonsense.
  in.use_angle = false;
  in.field_t = 2.0;
  EXPECT_FALSE(zor_feedback::cli::compute_chicane(in).valid);
  in.field_t = 0.09;
  in.energy_mev = 0.3;
  EXPECT_FALSE(zor_feedback::cli::compute_chicane(in).valid);
}

}  // namespace

// zorfb measure on ring96: the files it writes read back with the ring's
// labels, and the measured matrix lies within 3 of its standard errors of
// the machine's true response for at least 99 % of the elements.
TEST(ZorfbMeasure, Ring96WithinItsErrorsOfTheTruth) {
  zor_feedback::cli::MeasureOptions o;
  o.readings = 16;
  o.orbit_hz = 100;
  o.out = ::testing::TempDir() + "zorfb_measured.txt";
  o.truth = ::testing::TempDir() + "zorfb_truth.txt";
  ASSERT_EQ(zor_feedback::cli::run_measure({}, o), 0);
  zor_feedback::LabelledMatrix m, e, t;
  ASSERT_TRUE(zor_feedback::read_labelled_matrix(o.out.c_str(), &m).ok);
  ASSERT_TRUE(zor_feedback::read_labelled_matrix(zor_feedback::loop::errors_path(o.out).c_str(), &e).ok);
  ASSERT_TRUE(zor_feedback::read_labelled_matrix(o.truth.c_str(), &t).ok);
  EXPECT_EQ(m.rows, 96);
  EXPECT_EQ(m.cols, 48);
  EXPECT_EQ(m.monitors, t.monitors);
  EXPECT_EQ(e.correctors, t.correctors);
  EXPECT_EQ(m.correctors.front(), "CH01");
  const zor_feedback::cli::TruthFigures f = zor_feedback::cli::compare_to_truth(m.values, e.values, t.values);
  EXPECT_GE(f.within_3_sigma, 0.99);
  EXPECT_LT(f.relative_error, 1.5 * f.relative_noise);
  o.ring = "ring7";
  EXPECT_EQ(zor_feedback::cli::run_measure({}, o), zor_feedback::cli::kUsage);
  for (const std::string& p : {o.out, zor_feedback::loop::errors_path(o.out), o.truth})
    std::remove(p.c_str());
}
