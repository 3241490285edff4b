// D_ringbuf: a newest-first history of time-stamped messages, read by clients
// one entry or whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>
#include <deque>
#include <limits>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "testing.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// One entry as a client sees it.
struct Entry {
  std::string text;
  std::time_t tm;
  bool operator==(const Entry& o) const { return text == o.text && tm == o.tm; }
};
std::ostream& operator<<(std::ostream& os, const Entry& e) {
  return os << "{\"" << e.text << "\", " << e.tm << "}";
}

// The entries of a reply, checking on the way that the fields the history does
// not use are zero.
std::vector<Entry> entries(const EqData& d) {
  std::vector<Entry> v;
  for (int i = 0; i < d.length(); ++i) {
    const USTR* u = d.get_ustr(i);
    if (u == nullptr) {
      ADD_FAILURE() << "entry " << i << " is not a USTR";
      break;
    }
    EXPECT_EQ(u->i1_data, 0) << "entry " << i;
    EXPECT_EQ(u->f1_data, 0.0f) << "entry " << i;
    EXPECT_EQ(u->f2_data, 0.0f) << "entry " << i;
    v.push_back({u->str_data, u->tm});
  }
  return v;
}

std::vector<Entry> read_all(D_ringbuf& rb) {
  EqData request;  // no value
  EqData reply;
  rb.get(nullptr, &request, &reply, nullptr);
  EXPECT_EQ(reply.type(), DATA_USTR);
  return entries(reply);
}

void store(D_ringbuf& rb, const std::string& text) {
  std::vector<char> buf(text.begin(), text.end());
  buf.push_back('\0');
  rb.store(buf.data());
}

// The clock behind OVRIXtime() ticks once per reading: 1, 2, 3, ...
class RingBuf : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = ovrix::set_time_source([this] { return ++now_; });
  }
  void TearDown() override { ovrix::set_time_source(std::move(previous_)); }

  std::time_t now_ = 0;
  ovrix::TimeSource previous_;
};

const Entry kEmpty{"", 0};

// ----------------------------------------------------------------------------
TEST_F(RingBuf, StartsWithEmptySlotsAndFillsNewestFirst) {
  D_ringbuf rb("HISTORY", 4, nullptr);
  EXPECT_EQ(rb.data_type(), DATA_USTR);
  EXPECT_EQ(read_all(rb), std::vector<Entry>(4, kEmpty));

  store(rb, "a");
  store(rb, "b");
  EXPECT_EQ(read_all(rb), (std::vector<Entry>{{"b", 2}, {"a", 1}, kEmpty, kEmpty}));

  store(rb, "c");
  store(rb, "d");
  store(rb, "e");  // the first message drops out; the last slot holds the second
  EXPECT_EQ(read_all(rb), (std::vector<Entry>{{"e", 5}, {"d", 4}, {"c", 3}, {"b", 2}}));
}

TEST_F(RingBuf, SingleSlotIsReplaced) {
  D_ringbuf rb("HISTORY", 1, nullptr);
  store(rb, "first");
  store(rb, "second");
  EXPECT_EQ(read_all(rb), (std::vector<Entry>{{"second", 2}}));
}

TEST_F(RingBuf, SizeZeroOrLessStartsEmptyAndKeepsOneEntry) {
  for (int size : {0, -1, std::numeric_limits<int>::min()}) {
    SCOPED_TRACE(size);
    D_ringbuf rb("HISTORY", size, nullptr);
    EqData no_value, all;
    rb.get(nullptr, &no_value, &all, nullptr);
    EXPECT_EQ(all.length(), 0);

    // No entry to select: an empty reply, and nothing read outside the buffer.
    EqData request;
    request.set_numeric(DATA_INT, 0);
    EqData one;
    one.set(7, 0.0f, 0.0f, 9, "stale", 0);
    rb.get(nullptr, &request, &one, nullptr);
    EXPECT_EQ(one.type(), DATA_NULL);
    EXPECT_EQ(one.length(), 0);

    store(rb, "x");
    store(rb, "y");
    store(rb, "z");
    EXPECT_EQ(read_all(rb), (std::vector<Entry>{{"z", now_}}));
  }
}

TEST_F(RingBuf, StoreCopiesTheText) {
  D_ringbuf rb("HISTORY", 2, nullptr);
  char text[] = "beam on";
  rb.store(text);
  std::strcpy(text, "changed");
  text[0] = 'X';
  EXPECT_EQ(read_all(rb)[0].text, "beam on");

  // Texts of any length, and an empty one, are kept whole.
  const std::string long_text(5000, 'q');
  store(rb, long_text);
  store(rb, "");
  EXPECT_EQ(read_all(rb), (std::vector<Entry>{{"", 3}, {long_text, 2}}));
}

TEST_F(RingBuf, NullTextIsIgnored) {
  D_ringbuf rb("HISTORY", 3, nullptr);
  store(rb, "a");
  store(rb, "b");
  const auto before = read_all(rb);
  rb.store(nullptr);
  EXPECT_EQ(read_all(rb), before);
}

// The time stamp is read after the older entries have moved: a clock that
// looks at the history when it is read sees the shift already done.
TEST_F(RingBuf, TimeIsTakenAfterTheShift) {
  D_ringbuf rb("HISTORY", 3, nullptr);
  std::vector<std::vector<Entry>> seen;
  std::time_t t = 100;
  ovrix::set_time_source([&] {
    seen.push_back(read_all(rb));
    return ++t;
  });
  store(rb, "a");
  store(rb, "b");
  ovrix::set_time_source([this] { return ++now_; });

  ASSERT_EQ(seen.size(), 2u);  // one clock reading per store
  // Entry 0 is still the old newest, copied into entry 1 as well.
  EXPECT_EQ(seen[0], std::vector<Entry>(3, kEmpty));
  EXPECT_EQ(seen[1], (std::vector<Entry>{{"a", 101}, {"a", 101}, kEmpty}));
  EXPECT_EQ(read_all(rb), (std::vector<Entry>{{"b", 102}, {"a", 101}, kEmpty}));
}

// ----------------------------------------------------------------------------
// The request's value selects the entry, converted to an int by its type code.
TEST_F(RingBuf, RequestSelectsByTypeCode) {
  const int n = 5;
  D_ringbuf rb("HISTORY", n, nullptr);
  for (int k = 0; k < n; ++k) store(rb, "m" + std::to_string(k));
  const std::vector<Entry> all = read_all(rb);  // all[i].text == "m" + (4 - i)

  constexpr int kAll = -1;   // the whole buffer
  constexpr int kNone = -2;  // an empty reply
  struct Case {
    const char* what;
    int code;
    std::vector<double> values;
    int want;  // entry index, kAll or kNone
  };
  const std::vector<Case> cases = {
      // 32-bit integers
      {"int 0", DATA_INT, {0}, 0},
      {"int 3", DATA_INT, {3}, 3},
      {"int last", DATA_INT, {n - 1}, n - 1},
      {"int -1", DATA_INT, {-1}, kAll},
      {"int most negative", DATA_INT, {-2147483648.0}, kAll},
      {"int past the end", DATA_INT, {n}, kNone},
      {"int far past the end", DATA_INT, {2147483647.0}, kNone},
      {"bool", DATA_BOOL, {1}, 1},
      {"long", DATA_LONG, {2}, 2},
      {"uint read as signed", DATA_UINT, {4294967295.0}, kAll},
      {"ulong", DATA_ULONG, {4}, 4},
      // float: truncation toward zero
      {"float 2.9", DATA_FLOAT, {2.9}, 2},
      {"float -0.5", DATA_FLOAT, {-0.5}, 0},
      {"float -1.5", DATA_FLOAT, {-1.5}, kAll},
      {"float NaN", DATA_FLOAT, {kNaN}, kAll},
      {"float 3e9", DATA_FLOAT, {3e9}, kAll},
      {"float -inf", DATA_FLOAT, {-kInf}, kAll},
      {"float 1e6", DATA_FLOAT, {1e6}, kNone},
      // double
      {"double 1.99", DATA_DOUBLE, {1.99}, 1},
      {"double -0.9", DATA_DOUBLE, {-0.9}, 0},
      {"double NaN", DATA_DOUBLE, {kNaN}, kAll},
      {"double +inf", DATA_DOUBLE, {kInf}, kAll},
      {"double 1e10", DATA_DOUBLE, {1e10}, kAll},
      {"double -1e10", DATA_DOUBLE, {-1e10}, kAll},
      // 16-bit
      {"short 3", DATA_SHORT, {3}, 3},
      {"short -1", DATA_SHORT, {-1}, kAll},
      {"short 40000 wraps negative", DATA_SHORT, {40000}, kAll},
      {"ushort 2", DATA_USHORT, {2}, 2},
      {"ushort never negative", DATA_USHORT, {-1}, kNone},
      // arrays: the first element counts
      {"int array", DATA_A_INT, {2, -1}, 2},
      {"int array, negative first", DATA_A_INT, {-1, 2}, kAll},
      {"long array", DATA_A_LONG, {3, 0}, 3},
      {"bool array", DATA_A_BOOL, {1}, 1},
      {"uint array", DATA_A_UINT, {4}, 4},
      {"ulong array", DATA_A_ULONG, {2}, 2},
      {"float array", DATA_A_FLOAT, {3.7, 0.0}, 3},
      {"float array NaN", DATA_A_FLOAT, {kNaN}, kAll},
      {"double array", DATA_A_DOUBLE, {1.5, 9.0}, 1},
      {"double array NaN", DATA_A_DOUBLE, {kNaN, 1.0}, kAll},
      {"short array", DATA_A_SHORT, {-2}, kAll},
      {"short array 4", DATA_A_SHORT, {4}, 4},
      {"ushort array", DATA_A_USHORT, {2}, 2},
      // codes outside the table select entry 0
      {"md float array", DATA_MDA_FLOAT, {3}, 0},
      {"spectrum", DATA_SPECTRUM, {-1}, 0},
      {"code 3", 3, {2}, 0},
      {"code 112", 112, {-1}, 0},
      {"code 119", 119, {2}, 0},
      {"code 1000", 1000, {4}, 0},
      {"code -7", -7, {-1}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EqData request;
    request.set_numeric_array(c.code, c.values);
    EqData reply;
    rb.get(nullptr, &request, &reply, nullptr);
    if (c.want == kAll) {
      EXPECT_EQ(reply.type(), DATA_USTR);
      EXPECT_EQ(entries(reply), all);
    } else if (c.want == kNone) {
      EXPECT_EQ(reply.type(), DATA_NULL);
      EXPECT_EQ(reply.length(), 0);
    } else {
      EXPECT_EQ(reply.type(), DATA_USTR);
      EXPECT_EQ(entries(reply), std::vector<Entry>{all[static_cast<std::size_t>(c.want)]});
    }
  }

  // A USTR request carries no number the table knows: entry 0.
  EqData request;
  request.set(3, 0.0f, 0.0f, 0, "3", 0);
  EqData reply;
  rb.get(nullptr, &request, &reply, nullptr);
  EXPECT_EQ(entries(reply), std::vector<Entry>{all[0]});
}

// A framework may reuse one reply container for several requests.
TEST_F(RingBuf, ReusedReplyHoldsOnlyTheNewAnswer) {
  D_ringbuf rb("HISTORY", 4, nullptr);
  store(rb, "a");
  store(rb, "b");
  EqData one, none, all;
  one.set_numeric(DATA_INT, 1);
  none.set_numeric(DATA_INT, 9);

  EqData reply;
  rb.get(nullptr, &all, &reply, nullptr);
  ASSERT_EQ(reply.length(), 4);
  rb.get(nullptr, &one, &reply, nullptr);
  EXPECT_EQ(entries(reply), (std::vector<Entry>{{"a", 1}}));

  rb.get(nullptr, &all, &reply, nullptr);
  rb.get(nullptr, &none, &reply, nullptr);
  EXPECT_EQ(reply.type(), DATA_NULL);
  EXPECT_EQ(reply.length(), 0);

  reply.set_numeric_array(DATA_A_FLOAT, {1, 2, 3, 4, 5, 6});
  rb.get(nullptr, &one, &reply, nullptr);
  EXPECT_EQ(reply.type(), DATA_USTR);
  EXPECT_EQ(entries(reply), (std::vector<Entry>{{"a", 1}}));

  // The request may come in the reply container itself.
  EqData io;
  io.set_numeric(DATA_INT, 0);
  rb.get(nullptr, &io, &io, nullptr);
  EXPECT_EQ(entries(io), (std::vector<Entry>{{"b", 2}}));
  io.set_numeric(DATA_INT, -1);
  rb.get(nullptr, &io, &io, nullptr);
  EXPECT_EQ(io.length(), 4);
}

TEST_F(RingBuf, ReplyIsAnIndependentCopy) {
  D_ringbuf rb("HISTORY", 2, nullptr);
  store(rb, "a");
  EqData request, reply;
  rb.get(nullptr, &request, &reply, nullptr);
  reply.get_ustr(0)->str_data = "tampered";
  reply.set(0, 0.0f, 0.0f, 0, "extra", 2);
  store(rb, "b");
  EXPECT_EQ(read_all(rb), (std::vector<Entry>{{"b", 2}, {"a", 1}}));
  EXPECT_EQ(reply.get_ustr(1)->str_data, "");  // the later store left the copy alone
}

// Clients cannot change the history; the base's own USTR value is left alone
// and is not what a client reads.
TEST_F(RingBuf, SetReadWriteAndConfigDoNothing) {
  EqFct loc("FEEDBACK");
  D_ringbuf rb("HISTORY", 2, &loc);
  D_fct& prop = rb;  // as the framework calls it
  store(rb, "a");
  rb.set_value(7, 1.5f, 2.5f, 42, "base");
  const auto before = read_all(rb);

  EqData request;
  request.set(1, 0.0f, 0.0f, 99, "overwrite", 0);
  EqData reply;
  reply.set_numeric(DATA_INT, 123);
  prop.set(nullptr, &request, &reply, &loc);
  prop.set(nullptr, nullptr, nullptr, nullptr);
  prop.read();
  rb.config(nullptr);
  std::ostringstream os;
  prop.write(os);

  EXPECT_EQ(os.str(), "");
  EXPECT_EQ(reply.type(), DATA_INT);  // nothing written into the reply
  EXPECT_EQ(reply.get_int(), 123);
  EXPECT_EQ(read_all(rb), before);
  EXPECT_EQ(rb.get_int(), 7);
  EXPECT_EQ(rb.get_f1(), 1.5f);
  EXPECT_EQ(rb.get_f2(), 2.5f);
  EXPECT_EQ(rb.get_time(), 42);
  EXPECT_EQ(rb.get_string(), "base");
  for (const Entry& e : before) EXPECT_NE(e.text, "base");
}

TEST_F(RingBuf, ServedThroughItsLocation) {
  EqFct loc("FEEDBACK");
  {
    D_ringbuf rb("HISTORY", 3, &loc);
    ASSERT_EQ(loc.find("HISTORY"), &rb);
    EXPECT_EQ(loc.find("HISTORY")->data_type(), DATA_USTR);
    store(rb, "a");
    store(rb, "b");

    EqData request, reply;
    ASSERT_TRUE(loc.get("HISTORY", &request, &reply));
    EXPECT_EQ(entries(reply), (std::vector<Entry>{{"b", 2}, {"a", 1}, kEmpty}));
    request.set_numeric(DATA_FLOAT, 1.2);
    ASSERT_TRUE(loc.get("HISTORY", &request, &reply));
    EXPECT_EQ(entries(reply), (std::vector<Entry>{{"a", 1}}));

    // The framework's multi-read goes through get as well.
    request.set_numeric(DATA_INT, 0);
    rb.get_multi(nullptr, &request, &reply, &loc);
    EXPECT_EQ(entries(reply), (std::vector<Entry>{{"b", 2}}));
  }
  EXPECT_EQ(loc.find("HISTORY"), nullptr);  // unregistered when destroyed
}

// A long run checked, after every store, against a plain model of the history.
TEST_F(RingBuf, LongRunMatchesAModelHistory) {
  const int n = 100;
  D_ringbuf rb("HISTORY", n, nullptr);
  std::deque<Entry> model(n, kEmpty);
  for (int k = 0; k < 10000; ++k) {
    const std::string text =
        "message " + std::to_string(k) + std::string(static_cast<std::size_t>(k % 37), '.');
    store(rb, text);
    model.push_front({text, now_});
    model.pop_back();

    const auto got = read_all(rb);
    ASSERT_EQ(got.size(), model.size()) << "after store " << k;
    ASSERT_TRUE(std::equal(got.begin(), got.end(), model.begin())) << "after store " << k;

    EqData request, reply;
    const int index = (k * 7919) % (n + 3) - 1;  // -1 .. n + 1
    request.set_numeric(DATA_INT, index);
    rb.get(nullptr, &request, &reply, nullptr);
    if (index < 0) {
      ASSERT_EQ(reply.length(), n);
    } else if (index >= n) {
      ASSERT_EQ(reply.length(), 0);
    } else {
      ASSERT_EQ(entries(reply), std::vector<Entry>{model[static_cast<std::size_t>(index)]}) << k;
    }
  }
}

}  // namespace
