// The host layer's contracts that the library relies on.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>

#include "ovrix_server.h"

namespace {

TEST(EqData, SetAppendsAtLengthAndReplacesExistingEntryAlone) {
  EqData d;
  EXPECT_EQ(d.type(), DATA_NULL);
  EXPECT_EQ(d.length(), 0);
  d.set(1, 0.5f, 0.25f, 10, "a", 0);
  d.set(2, 0.0f, 0.0f, 20, "b", 1);
  d.set(3, 0.0f, 0.0f, 30, "c", 2);
  ASSERT_EQ(d.length(), 3);
  EXPECT_EQ(d.type(), DATA_USTR);

  d.set(9, 0.0f, 0.0f, 90, "B", 1);
  ASSERT_EQ(d.length(), 3);
  EXPECT_EQ(d.get_ustr(0)->str_data, "a");
  EXPECT_EQ(d.get_ustr(1)->str_data, "B");
  EXPECT_EQ(d.get_ustr(1)->tm, 90);
  EXPECT_EQ(d.get_ustr(2)->str_data, "c");
  EXPECT_EQ(d.get_ustr(0)->f1_data, 0.5f);

  // Beyond the end or negative: nothing changes.
  d.set(0, 0.0f, 0.0f, 0, "x", 5);
  d.set(0, 0.0f, 0.0f, 0, "x", -1);
  EXPECT_EQ(d.length(), 3);
  EXPECT_EQ(d.get_ustr(3), nullptr);
  EXPECT_EQ(d.get_ustr(-1), nullptr);

  // An entry copied over its neighbour (as a shift does) is a copy.
  d.set(*d.get_ustr(0), 1);
  EXPECT_EQ(d.get_ustr(1)->str_data, "a");
  d.get_ustr(0)->str_data = "changed";
  EXPECT_EQ(d.get_ustr(1)->str_data, "a");
}

TEST(EqData, CopyFromIsDeepAndNullEmpties) {
  EqData a;
  a.set(0, 0.0f, 0.0f, 1, "one", 0);
  EqData b;
  b.set_numeric(DATA_INT, 7);
  b.copy_from(&a);
  ASSERT_EQ(b.length(), 1);
  EXPECT_EQ(b.type(), DATA_USTR);
  a.get_ustr(0)->str_data = "changed";
  EXPECT_EQ(b.get_ustr(0)->str_data, "one");
  b.copy_from(&b);
  EXPECT_EQ(b.length(), 1);
  b.copy_from(nullptr);
  EXPECT_EQ(b.type(), DATA_NULL);
  EXPECT_EQ(b.length(), 0);
}

TEST(EqData, GetIntByTypeCode) {
  struct Case {
    int code;
    double value;
    int want;
  };
  const int kMin = std::numeric_limits<int>::min();
  const double nan = std::nan("");
  const Case cases[] = {
      {DATA_INT, 5, 5},
      {DATA_INT, -3, -3},
      {DATA_BOOL, 1, 1},
      {DATA_LONG, 4294967297.0, 1},
      {DATA_UINT, 4294967295.0, -1},
      {DATA_ULONG, 12, 12},
      {DATA_FLOAT, 2.9, 2},
      {DATA_FLOAT, -0.5, 0},
      {DATA_FLOAT, nan, kMin},
      {DATA_FLOAT, 3e9, kMin},
      {DATA_DOUBLE, -2.9, -2},
      {DATA_DOUBLE, nan, kMin},
      {DATA_DOUBLE, -3e9, kMin},
      {DATA_DOUBLE, 2147483647.0, 2147483647},
      {DATA_SHORT, 40000, 40000 - 65536},
      {DATA_SHORT, -5, -5},
      {DATA_USHORT, -1, 65535},
      {DATA_A_FLOAT, 7.7, 7},
      {DATA_A_INT, 11, 11},
      {DATA_A_LONG, -11, -11},
      {DATA_A_BOOL, 1, 1},
      {DATA_A_UINT, 3, 3},
      {DATA_A_ULONG, 4, 4},
      {DATA_A_DOUBLE, 1e300, kMin},
      {DATA_A_SHORT, -7, -7},
      {DATA_A_USHORT, 65536 + 9, 9},
      {DATA_USTR, 5, 0},
      {DATA_MDA_FLOAT, 5, 0},
      {3, 5, 0},
      {119, 5, 0},
      {-1, 5, 0},
      {1000, 5, 0},
      {DATA_INT, nan, 0},
  };
  for (const Case& c : cases) {
    EqData d;
    d.set_numeric(c.code, c.value);
    EXPECT_EQ(d.type(), c.code);
    EXPECT_EQ(d.get_int(), c.want) << "code " << c.code << " value " << c.value;
  }
  EqData arr;
  arr.set_numeric_array(DATA_A_DOUBLE, {4.5, 1.0});
  EXPECT_EQ(arr.length(), 2);
  EXPECT_EQ(arr.get_int(), 4);
  arr.set_numeric_array(DATA_A_INT, {});
  EXPECT_EQ(arr.get_int(), 0);
}

TEST(MdFloatArray, OutOfRangeReadsNaNAndWritesNothing) {
  D_mdfloat_array a("A", 2, 3, nullptr, 0);
  EXPECT_EQ(a.data_type(), DATA_MDA_FLOAT);
  EXPECT_EQ(a.num_dims(), 2);
  EXPECT_EQ(a.dim(1), 2);
  EXPECT_EQ(a.dim(0), 3);
  a.set_value(1.5f, 1, 2, -1, -1, -1, -1);
  EXPECT_EQ(a.value(1, 2, -1, -1, -1, -1), 1.5f);
  EXPECT_EQ(a.value(0, 0, -1, -1, -1, -1), 0.0f);
  for (auto idx : {std::pair<int, int>{2, 0}, {0, 3}, {-1, 0}, {0, -1}, {1000000, 1000000}}) {
    a.set_value(9.0f, idx.first, idx.second, -1, -1, -1, -1);
    EXPECT_TRUE(std::isnan(a.value(idx.first, idx.second, -1, -1, -1, -1)));
  }
  EqData reply;
  a.get(nullptr, nullptr, &reply, nullptr);
  ASSERT_EQ(reply.length(), 6);
  for (int k = 0; k < 5; ++k) EXPECT_EQ(reply.get_double(k), 0.0);
  EXPECT_EQ(reply.get_double(5), 1.5);

  D_mdfloat_array neg("N", -4, 3, nullptr, 0);
  EXPECT_EQ(neg.dim(1), 0);
  EXPECT_TRUE(std::isnan(neg.value(0, 0, -1, -1, -1, -1)));
}

TEST(Location, PropertiesRegisterAndAreServed) {
  EqFct loc("FEEDBACK.X");
  {
    D_mdfloat_array a("RM", 1, 1, &loc, 0);
    D_spectrum s("SV", 4, &loc);
    ASSERT_EQ(loc.properties().size(), 2u);
    EXPECT_EQ(loc.find("SV"), &s);
    s.set_length(3);
    s.fill_spectrum(1, 2.5f);
    s.fill_spectrum(3, 9.0f);   // outside: ignored
    s.fill_spectrum(-1, 9.0f);  // outside: ignored
    EqData reply;
    EXPECT_TRUE(loc.get("SV", nullptr, &reply));
    ASSERT_EQ(reply.length(), 3);
    EXPECT_EQ(reply.get_double(1), 2.5);
    EXPECT_FALSE(loc.get("NONE", nullptr, &reply));
  }
  EXPECT_TRUE(loc.properties().empty());
}

TEST(Log, CaptureSeesEveryLineAndRestoresThePreviousSink) {
  std::vector<ovrix::LogLine> outer;
  auto previous = ovrix::set_log_sink([&](const ovrix::LogLine& l) { outer.push_back(l); });
  {
    ovrix::LogCapture cap;
    ovrix::printtostderr("A::b", "ERROR: x", DF_LOG);
    ovrix::printtostderr(std::string("A::c"), "INFO: y", 128);
    ASSERT_EQ(cap.lines().size(), 2u);
    EXPECT_EQ(cap.lines()[0].origin, "A::b");
    EXPECT_EQ(cap.lines()[0].text, "ERROR: x");
    EXPECT_EQ(cap.lines()[0].flags, DF_LOG);
    EXPECT_EQ(cap.lines()[1].flags, 128u);
  }
  ovrix::printtostderr("A::d", "after", 8);
  ASSERT_EQ(outer.size(), 1u);
  EXPECT_EQ(outer[0].origin, "A::d");
  ovrix::set_log_sink(previous);
}

TEST(Log, StandardErrorLayoutAndSelectionByDebugMask) {
  const int saved = OVRIX_debug;
  auto clock = ovrix::set_time_source([] { return std::time_t{0}; });
  testing::internal::CaptureStderr();
  OVRIX_debug = 0;
  ovrix::printtostderr("O::p", "ERROR: shown", DF_LOG);
  ovrix::printtostderr("O::p", "INFO: hidden", 128);
  ovrix::printtostderr("O::p", "took (ms): hidden", 8);
  OVRIX_debug = 8;
  ovrix::printtostderr("O::p", "took (ms): shown", 8);
  ovrix::printtostderr("O::p", "ends with its own line feed\n", 8);
  const std::string err = testing::internal::GetCapturedStderr();
  OVRIX_debug = saved;
  ovrix::set_time_source(clock);

  EXPECT_NE(err.find(" O::p: ERROR: shown\n"), std::string::npos) << err;
  EXPECT_NE(err.find(" O::p: took (ms): shown\n"), std::string::npos) << err;
  EXPECT_NE(err.find(" O::p: ends with its own line feed\n"), std::string::npos) << err;
  EXPECT_EQ(err.find("hidden"), std::string::npos) << err;
  EXPECT_EQ(err.find("\n\n"), std::string::npos) << err;
}

TEST(Clock, TestSourceReplacesSystemClock) {
  auto previous = ovrix::set_time_source([] { return std::time_t{1234}; });
  EXPECT_EQ(OVRIXtime(), 1234);
  ovrix::set_time_source(previous);
  EXPECT_GT(OVRIXtime(), 1600000000);
}

TEST(Ustr, PropertyHoldsOneValue) {
  D_ustr u("MSG", nullptr);
  EXPECT_EQ(u.data_type(), DATA_USTR);
  u.set_value(3, 1.0f, 2.0f, 77, "text");
  EqData reply;
  reply.set_numeric(DATA_INT, 1);
  u.get(nullptr, nullptr, &reply, nullptr);
  ASSERT_EQ(reply.length(), 1);
  EXPECT_EQ(reply.get_ustr(0)->str_data, "text");
  EXPECT_EQ(u.get_int(), 3);
  EXPECT_EQ(u.get_time(), 77);
}

}  // namespace
