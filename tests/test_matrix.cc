// The response matrix as a property: construction, assignment, comparison and
// the conversions to and from Armadillo.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>

#include "testing.h"
#include "zor_feedback/arma.h"

namespace {

using zor_feedback::test::at;
using zor_feedback::test::fill;

float f(int i, int j) { return static_cast<float>(10 * i + j) + 0.25f; }

TEST(ResponseMatrix, ConstructionGivesShapeNameLocationAndZeros) {
  EqFct loc("FB");
  QTEV_ResponseMatrix m("RM", 3, 4, &loc);
  EXPECT_EQ(m.rows, 3);
  EXPECT_EQ(m.cols, 4);
  EXPECT_EQ(m.property_name(), "RM");
  EXPECT_EQ(m.location(), &loc);
  EXPECT_EQ(m.data_type(), DATA_MDA_FLOAT);
  EXPECT_EQ(loc.find("RM"), &m);
  for (float v : zor_feedback::test::elements(m)) EXPECT_EQ(v, 0.0f);

  QTEV_ResponseMatrix negative("N", -2, 3, nullptr);
  EXPECT_EQ(negative.rows, 0);
  EXPECT_EQ(negative.cols, 3);
}

TEST(ResponseMatrix, NullNameIsALogicError) {
  EXPECT_THROW(QTEV_ResponseMatrix(nullptr, 1, 1, nullptr), std::logic_error);
}

TEST(ResponseMatrix, InitSetsEveryElement) {
  QTEV_ResponseMatrix m("M", 3, 4, nullptr);
  m.init(2.5f);
  const auto v = zor_feedback::test::elements(m);
  ASSERT_EQ(v.size(), 12u);
  for (float x : v) EXPECT_EQ(x, 2.5f);
}

TEST(ResponseMatrix, AssignmentCopiesValuesAndShapeButNotName) {
  QTEV_ResponseMatrix a("A", 2, 2, nullptr);
  QTEV_ResponseMatrix b("B", 3, 4, nullptr);
  fill(b, f);
  a = b;
  EXPECT_EQ(a.rows, 3);
  EXPECT_EQ(a.cols, 4);
  EXPECT_EQ(a.property_name(), "A");
  EXPECT_TRUE(a == b);
  EXPECT_EQ(at(a, 2, 3), f(2, 3));
  // Independent storage.
  b.set_value(-1.0f, 0, 0, -1, -1, -1, -1);
  EXPECT_EQ(at(a, 0, 0), f(0, 0));
  EXPECT_TRUE(a != b);

  a = a;  // self-assignment changes nothing
  EXPECT_EQ(at(a, 2, 3), f(2, 3));
  EXPECT_EQ(a.rows, 3);
}

TEST(ResponseMatrix, EqualityIsExactIEEE) {
  QTEV_ResponseMatrix a("A", 2, 3, nullptr);
  QTEV_ResponseMatrix b("B", 2, 3, nullptr);
  fill(a, f);
  fill(b, f);
  EXPECT_TRUE(a == b);
  EXPECT_FALSE(a != b);

  b.set_value(std::nextafter(f(1, 2), 100.0f), 1, 2, -1, -1, -1, -1);
  EXPECT_FALSE(a == b);

  // Signed zeros are equal.
  a.init(0.0f);
  b.init(-0.0f);
  EXPECT_TRUE(a == b);

  // NaN is never equal, not even to itself.
  a.set_value(std::numeric_limits<float>::quiet_NaN(), 0, 0, -1, -1, -1, -1);
  EXPECT_FALSE(a == a);
  EXPECT_TRUE(a != a);
}

TEST(ResponseMatrix, ShapesDecideEqualityFirst) {
  QTEV_ResponseMatrix a("A", 2, 3, nullptr);
  QTEV_ResponseMatrix b("B", 3, 2, nullptr);
  QTEV_ResponseMatrix e1("E1", 0, 3, nullptr);
  QTEV_ResponseMatrix e2("E2", 0, 3, nullptr);
  QTEV_ResponseMatrix e3("E3", 0, 2, nullptr);
  EXPECT_FALSE(a == b);
  EXPECT_FALSE(a == e1);
  EXPECT_TRUE(e1 == e2);
  EXPECT_FALSE(e1 == e3);
}

TEST(ResponseMatrix, ArmadilloRoundTripIsExact) {
  QTEV_ResponseMatrix m("M", 3, 4, nullptr);
  fill(m, [](int i, int j) { return 1.0f / static_cast<float>(3 + i * 4 + j); });
  const arma::mat A = m.QTEV2arma_mat(m);
  ASSERT_EQ(A.n_rows, 3u);
  ASSERT_EQ(A.n_cols, 4u);
  for (arma::uword i = 0; i < 3; ++i)
    for (arma::uword j = 0; j < 4; ++j)
      EXPECT_EQ(A(i, j), static_cast<double>(at(m, static_cast<int>(i), static_cast<int>(j))));

  QTEV_ResponseMatrix back("BACK", 3, 4, nullptr);
  EXPECT_EQ(back.arma_mat2QTEV(A), &back);
  EXPECT_TRUE(back == m);

  // The argument is converted, not the object it is called on.
  QTEV_ResponseMatrix other("O", 1, 1, nullptr);
  EXPECT_EQ(other.QTEV2arma_mat(m).n_rows, 3u);
}

TEST(ResponseMatrix, ArmadilloIntoMatrixStoresTopLeftBlockOrRefusesSmaller) {
  arma::mat big(5, 6);
  for (arma::uword i = 0; i < 5; ++i)
    for (arma::uword j = 0; j < 6; ++j) big(i, j) = 0.1 * static_cast<double>(i * 6 + j);
  QTEV_ResponseMatrix m("M", 3, 4, nullptr);
  m.arma_mat2QTEV(big);
  for (arma::uword i = 0; i < 3; ++i)
    for (arma::uword j = 0; j < 4; ++j)
      EXPECT_EQ(at(m, static_cast<int>(i), static_cast<int>(j)), static_cast<float>(big(i, j)));

  const auto before = zor_feedback::test::elements(m);
  ovrix::LogCapture cap;
  m.arma_mat2QTEV(arma::mat(3, 3, arma::fill::ones));
  m.arma_mat2QTEV(arma::mat(2, 4, arma::fill::ones));
  m.arma_mat2QTEV(arma::mat());
  EXPECT_EQ(zor_feedback::test::elements(m), before);
  ASSERT_EQ(cap.lines().size(), 3u);
  EXPECT_EQ(cap.lines()[0].origin, "QTEV_ResponseMatrix::arma_mat2QTEV");
  EXPECT_EQ(cap.lines()[0].text,
            "ERROR: Dimension mismatch: dim(A) (3 x 3) is smaller than dim(this) (3 x 4)");
  EXPECT_EQ(cap.lines()[0].flags, DF_LOG);
}

TEST(ResponseMatrix, ConversionRoundsToNearestFloat) {
  QTEV_ResponseMatrix m("M", 1, 2, nullptr);
  arma::mat A(1, 2);
  A(0, 0) = 0.1;
  A(0, 1) = 1e300;
  m.arma_mat2QTEV(A);
  EXPECT_EQ(at(m, 0, 0), 0.1f);
  EXPECT_TRUE(std::isinf(at(m, 0, 1)));
}

}  // namespace
