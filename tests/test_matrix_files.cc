// The matrix file formats by name (labelled text, .npy, Matrix Market, each
// optionally gzip-compressed): round trips, what each reader refuses and with
// which text, the float range on every write, the decompression cap, and
// load_matrix_file's refusals, which the tool and the Python module share.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "file_contents.h"
#include "testing.h"
#include "zor_feedback/labelled_matrix.h"
#include "zor_feedback/matrix_load.h"

namespace zor_feedback {
namespace {

LabelledMatrix labelled_2x3() {
  LabelledMatrix m;
  m.rows = 2;
  m.cols = 3;
  // 2.2222222222222222e27 printed to nine digits reads back as a float one
  // ulp away from its own.
  m.values = {0.1, -2.5, 3e-7, 4, 2.2222222222222222e27, -6e12};
  m.monitors = {"BPM1", "BPM2"};
  m.correctors = {"CH1", "CH2", "CV1"};
  m.monitor_planes = {Plane::x, Plane::y};
  m.corrector_planes = {Plane::x, Plane::x, Plane::y};
  m.units = "mm/mrad";
  return m;
}

std::string gzip(const std::string& data) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, 9, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string out(deflateBound(&z, data.size()), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(&out[0]);
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

// A .npy of `descr` with the header's shape and order as given.
std::string npy(const std::string& descr, const std::string& shape, const std::string& raw,
                bool fortran = false) {
  std::string h = "{'descr': '" + descr + "', 'fortran_order': " + (fortran ? "True" : "False") +
                  ", 'shape': " + shape + ", }";
  h.append(64 - (10 + h.size() + 1) % 64, ' ');
  h += '\n';
  std::string out("\x93NUMPY\x01\x00", 8);
  out += static_cast<char>(h.size() & 0xff);
  out += static_cast<char>(h.size() >> 8);
  return out + h + raw;
}

std::string doubles(const std::vector<double>& v) {
  return std::string(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(double));
}

LabelledReport read(const std::string& path, LabelledMatrix* m) {
  return read_labelled_matrix(path.c_str(), m);
}

void expect_refused(const std::string& path, const std::string& why) {
  LabelledMatrix m = labelled_2x3();
  const LabelledReport r = read(path, &m);
  EXPECT_FALSE(r.ok) << path;
  EXPECT_NE(r.error.find(why), std::string::npos) << path << ": " << r.error;
  EXPECT_EQ(m.values, labelled_2x3().values) << "a refused read leaves its output";
}

TEST(MatrixFiles, EveryFormatRoundTripsPlainAndCompressed) {
  test::TempDir dir;
  const LabelledMatrix m = labelled_2x3();
  for (const char* name : {"m.txt", "m.txt.gz", "m.mtx", "m.mtx.gz", "m.npy", "m.npy.gz"}) {
    const std::string path = (dir.path() / name).string();
    const LabelledReport w = write_labelled_matrix(path.c_str(), m, {"a note"});
    ASSERT_TRUE(w.ok) << name << ": " << w.error;
    const bool npy = std::strstr(name, ".npy") != nullptr;
    // Only the .npy loses the labels, and says so.
    EXPECT_EQ(w.warnings.size(), npy ? 1u : 0u) << name;
    LabelledMatrix back;
    const LabelledReport r = read(path, &back);
    ASSERT_TRUE(r.ok) << name << ": " << r.error;
    ASSERT_EQ(back.rows, 2);
    ASSERT_EQ(back.cols, 3);
    EXPECT_EQ(back.values, m.values) << name << ": every format keeps the doubles";
    if (npy) {
      EXPECT_EQ(back.monitors, (std::vector<std::string>{"0", "1"})) << name;
      EXPECT_TRUE(back.units.empty());
    } else {
      EXPECT_EQ(back.monitors, m.monitors) << name;
      EXPECT_EQ(back.corrector_planes, m.corrector_planes) << name;
      EXPECT_EQ(back.units, m.units) << name;
    }
  }
  // Default labels are nothing to lose.
  LabelledMatrix plain;
  ASSERT_TRUE(read((dir.path() / "m.npy").string(), &plain).ok);
  EXPECT_TRUE(write_labelled_matrix((dir.path() / "again.npy").c_str(), plain).warnings.empty());
  EXPECT_EQ(std::filesystem::file_size(dir.path() / "m.npy") % 64, 2 * 3 * 8 % 64) << "header padded to 64";
}

TEST(MatrixFiles, ValuesBeyondTheFloatRangeAreNeverWritten) {
  test::TempDir dir;
  LabelledMatrix m = labelled_2x3();
  m.values[4] = 1e39;
  for (const char* name : {"big.txt", "big.mtx", "big.npy", "big.txt.gz"}) {
    const std::string path = (dir.path() / name).string();
    const LabelledReport w = write_labelled_matrix(path.c_str(), m);
    EXPECT_FALSE(w.ok) << name;
    EXPECT_NE(w.error.find("element (1, 1) = 1e+39 lies beyond the float range"), std::string::npos)
        << w.error;
    EXPECT_FALSE(std::filesystem::exists(path)) << name;
  }
  // The largest float itself reads back.
  m.values[4] = 3.4028234663852886e38;
  const std::string edge = (dir.path() / "edge.txt").string();
  ASSERT_TRUE(write_labelled_matrix(edge.c_str(), m).ok);
  LabelledMatrix back;
  EXPECT_TRUE(read(edge, &back).ok);
  // And on reading: text, .mtx and .npy alike.
  expect_refused(test::write_file(dir.path() / "r.txt", "1 2\n3 1e39\n"), "beyond the float range");
  expect_refused(
      test::write_file(dir.path() / "r.mtx", "%%MatrixMarket matrix array real general\n1 1\n-2e40\n"),
      "beyond the float range");
  expect_refused(test::write_file(dir.path() / "r.npy", npy("<f8", "(1, 2)", doubles({1, 1e39}))),
                 "beyond the float range");
}

TEST(MatrixFiles, NpyReadsOnlyTwoDimensionalFloatArrays) {
  test::TempDir dir;
  const auto file = [&](const std::string& content) {
    return test::write_file(dir.path() / "a.npy", content);
  };
  // Fortran order runs down the columns.
  LabelledMatrix m;
  ASSERT_TRUE(read(file(npy("<f8", "(2, 3)", doubles({1, 4, 2, 5, 3, 6}), true)), &m).ok);
  EXPECT_EQ(m.values, (std::vector<double>{1, 2, 3, 4, 5, 6}));
  const float f[] = {0.5f, -1.5f};
  ASSERT_TRUE(read(file(npy("<f4", "(1, 2)", std::string(reinterpret_cast<const char*>(f), 8))), &m).ok);
  EXPECT_EQ(m.values, (std::vector<double>{0.5, -1.5}));

  expect_refused(file(npy("<f8", "(6,)", doubles({1, 2, 3, 4, 5, 6}))),
                 "a 1-D array (shape (6,)); a matrix file holds a 2-D array");
  expect_refused(file(npy("<f8", "(6,)", doubles({1, 2, 3, 4, 5, 6}))),
                 "numpy.save(path, a.reshape(rows, cols))");
  expect_refused(file(npy("<f8", "(1, 1, 2)", doubles({1, 2}))), "a 3-D array");
  expect_refused(file(npy("<f8", "()", doubles({1}))), "a 0-D array");
  expect_refused(file(npy(">f8", "(1, 2)", doubles({1, 2}))), "only little-endian float64");
  expect_refused(file(npy("<i8", "(1, 2)", doubles({1, 2}))), "descr '<i8'");
  expect_refused(file(npy("<f8", "(2, 2)", doubles({1, 2, 3}))), "ends before the 2 x 2 values");
  expect_refused(file(npy("<f8", "(1, 2)", doubles({1, 2, 3}))), "bytes after the values");
  expect_refused(file(npy("<f8", "(0, 2)", "")), "an empty array");
  expect_refused(file(npy("<f8", "(4611686018427387904, 4)", doubles({1}))), "is not read");
  expect_refused(file(npy("<f8", "(1099511627776, 1099511627776)", doubles({1}))), "ends before");
  expect_refused(file("1 2\n3 4\n"), "not a .npy file");
  expect_refused(file(npy("<f8", "(1, 2)", doubles({1, std::nan("")}))), "is not finite");
}

TEST(MatrixFiles, MatrixMarketArrayAndCoordinate) {
  test::TempDir dir;
  const auto file = [&](const std::string& body) { return test::write_file(dir.path() / "a.mtx", body); };
  LabelledMatrix m;
  LabelledReport r =
      read(file("%%MatrixMarket matrix coordinate real general\n% note\n2 3 2\n1 3 7.5\n2 1 -1\n"), &m);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(m.values, (std::vector<double>{0, 0, 7.5, -1, 0, 0})) << "unlisted entries are 0";
  r = read(file("%%MatrixMarket matrix coordinate integer symmetric\n3 3 2\n2 1 4\n3 3 9\n"), &m);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(m.values, (std::vector<double>{0, 4, 0, 4, 0, 0, 0, 0, 9})) << "mirrored";
  // A symmetric array holds the lower triangle column by column.
  r = read(file("%%MatrixMarket matrix array real symmetric\n2 2\n1\n2\n3\n"), &m);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(m.values, (std::vector<double>{1, 2, 2, 3}));
  r = read(file("%%MatrixMarket matrix array real skew-symmetric\n2 2\n5\n"), &m);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(m.values, (std::vector<double>{0, -5, 5, 0}));
  r = read(file("%%MatrixMarket matrix array real general\n2 2\n1\n2\n3\n4\n\n"), &m);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(m.values, (std::vector<double>{1, 3, 2, 4})) << "column-major";

  expect_refused(file("%%MatrixMarket matrix coordinate pattern general\n2 2 1\n1 1\n"),
                 "'pattern' matrix is not read");
  expect_refused(file("%%MatrixMarket matrix coordinate complex general\n1 1 1\n1 1 1 0\n"),
                 "'complex' matrix");
  expect_refused(file("%%MatrixMarket matrix coordinate real hermitian\n1 1 0\n"), "'hermitian' matrix");
  expect_refused(file("%%MatrixMarket matrix coordinate real general\n2 2 2\n1 1 1\n1 1 2\n"),
                 "line 4: entry (1, 1) is given twice");
  expect_refused(file("%%MatrixMarket matrix coordinate real symmetric\n2 2 2\n2 1 1\n1 2 2\n"),
                 "given twice");
  expect_refused(file("%%MatrixMarket matrix coordinate real general\n2 2 1\n3 1 1\n"),
                 "lies outside the 2 x 2");
  // An index past what a long long holds: no overflow on the way to the refusal.
  expect_refused(file("%%MatrixMarket matrix coordinate real general\n2 2 1\n1 -99999999999999999999 1\n"),
                 "lies outside the 2 x 2");
  expect_refused(file("%%MatrixMarket matrix coordinate real general\n2 2 2\n1 1 1\n"), "(1 of 2 read)");
  expect_refused(file("%%MatrixMarket matrix array real general\n2 2\n1\n2\n3\n"), "no value where");
  expect_refused(file("%%MatrixMarket matrix array real general\n1 1\n1\n2\n"),
                 "more entries than the size line");
  expect_refused(file("%%MatrixMarket matrix array real general\n1 1\n1 2\n"), "no value where");
  expect_refused(file("%%MatrixMarket matrix array real symmetric\n2 3\n1\n"), "(square, being symmetric)");
  expect_refused(file("%%MatrixMarket matrix array real general\n0 3\n"), "not that of a non-empty matrix");
  expect_refused(file("%%MatrixMarket matrix array real general\n99999999 99999999\n"), "non-empty matrix");
  // A tiny file cannot make the reader allocate a huge matrix.
  expect_refused(file("%%MatrixMarket matrix array real general\n4000 4000\n1\n"),
                 "asks for more values than the file holds");
  expect_refused(file("%%MatrixMarket matrix coordinate real general\n16000000 16000000 0\n"),
                 "asks for more values than a response matrix holds");
  expect_refused(file("1 2\n3 4\n"), "line 1 is not '%%MatrixMarket");
  expect_refused(file("%%MatrixMarket matrix array real general\n% monitors: A\n2 1\n1\n2\n"),
                 "'monitors:' holds 1 entries, the matrix 2");
}

TEST(MatrixFiles, GzipIsCheckedAndCapped) {
  test::TempDir dir;
  const std::string text = "# monitors: A B\n1 2\n3 4\n";
  const std::string gz = test::write_file(dir.path() / "m.txt.gz", gzip(text) + gzip("5 6\n"));
  LabelledMatrix m;
  LabelledReport r = read(gz, &m);
  ASSERT_FALSE(r.ok) << "two members read as one text: three rows for two names";
  EXPECT_NE(r.error.find("holds 2 entries, the matrix 3"), std::string::npos) << r.error;
  ASSERT_TRUE(read(test::write_file(dir.path() / "n.txt.gz", gzip(text)), &m).ok);
  EXPECT_EQ(m.values, (std::vector<double>{1, 2, 3, 4}));

  const std::string whole = gzip(text);
  expect_refused(test::write_file(dir.path() / "cut.txt.gz", whole.substr(0, whole.size() - 6)), "truncated");
  expect_refused(test::write_file(dir.path() / "plain.txt.gz", text), "not valid gzip");
  // A small file that inflates far: stopped at the cap, not by the memory.
  const std::string bomb = gzip(std::string(std::size_t{3} << 20, '0'));
  std::string out, error;
  EXPECT_FALSE(detail::gunzip(bomb, &out, &error, std::size_t{1} << 20));
  EXPECT_NE(error.find("more than 1 MiB once decompressed"), std::string::npos) << error;
  EXPECT_LE(out.size(), std::size_t{1} << 20);
  EXPECT_TRUE(detail::gunzip(bomb, &out, &error, std::size_t{4} << 20));
  // A compressed Matrix Market file whose last line is empty is no text file.
  const std::string mtx = test::write_file(dir.path() / "a.mtx.gz",
                                           gzip("%%MatrixMarket matrix array real general\n1 2\n1\n2\n\n\n"));
  r = read(mtx, &m);
  EXPECT_TRUE(r.ok) << r.error;
  expect_refused((dir.path() / "missing.npy.gz").string(), "cannot open");
}

// What zorfb and Python's load refuse, through the one function they call.
TEST(MatrixFiles, LoadMatrixFileRefusesWhatLoadsDifferently) {
  test::TempDir dir;
  ovrix::LogCapture quiet;
  std::unique_ptr<QTEV_ResponseMatrix> R;
  int made = 0;
  const auto make = [&](int rows, int cols) {
    ++made;
    R = std::make_unique<QTEV_ResponseMatrix>("R", rows, cols, nullptr);
    return R.get();
  };
  const auto load = [&](const std::string& name, const std::string& content) {
    return load_matrix_file(test::write_file(dir.path() / name, content).c_str(), make);
  };
  MatrixLoad l = load("ok.txt", "# a\n1 2 3\n4 5 6\n");
  ASSERT_TRUE(l.ok) << l.error;
  EXPECT_EQ(test::at(*R, 1, 2), 6.0f);
  l = load("ok.mtx.gz", gzip("%%MatrixMarket matrix array real general\n1 2\n1\n2\n"));
  ASSERT_TRUE(l.ok) << l.error;
  EXPECT_EQ(test::at(*R, 0, 1), 2.0f);
  EXPECT_EQ(made, 2);

  const std::pair<const char*, const char*> refused[] = {
      {"", "has no data lines"},
      {"# only\n# comments\n", "has no data lines"},
      {"1 2\n\n", "holds no numbers, so the number of columns is 0; remove empty lines at the end"},
      {"1,2\n3,4\n", "values separated by ','"},
      {"\x89PNG\r\n\x1a\n\x01\x02", "(line 3) holds no numbers"},
      {"1 2 \x89PNG\n", "the text after the values"},
      {"%%MatrixMarket matrix array real general\n1 2\n", "zorfb matrix FILE.mtx --out FILE.txt"}};
  for (const auto& [content, why] : refused) {
    made = 0;
    l = load("bad.txt", content);
    EXPECT_FALSE(l.ok) << content;
    EXPECT_FALSE(l.cannot_open);
    EXPECT_NE(l.error.find(why), std::string::npos) << l.error;
    EXPECT_EQ(made, 0) << "refused before the matrix is made: " << content;
  }
  l = load("big.txt", "1 2\n3 1e39\n");
  EXPECT_FALSE(l.ok);
  EXPECT_EQ(l.error, "'" + (dir.path() / "big.txt").string() +
                         "': element (1, 1) lies beyond the float range of the matrix");
  l = load("one.npy", npy("<f8", "(2,)", doubles({1, 2})));
  EXPECT_NE(l.error.find("a 1-D array"), std::string::npos) << l.error;
  l = load_matrix_file((dir.path() / "none.txt").c_str(), make);
  EXPECT_TRUE(l.cannot_open);
  l = load_matrix_file((dir.path() / "none.mtx.gz").c_str(), make);
  EXPECT_TRUE(l.cannot_open);
}

}  // namespace
}  // namespace zor_feedback
