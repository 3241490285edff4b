// The response measurement: restore under a fault at every call it makes,
// resume equal to an uninterrupted run, errors against a known noise, kicks
// within limits, drift flags, and the two files it writes.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "zor_feedback/loop/measurement.h"

namespace zor_feedback {
namespace test {
namespace {

using namespace std::chrono_literals;
using loop::MeasureConfig;
using loop::MeasureResult;
using loop::MeasureState;

enum class Fault { none, fail_once, fail_always, throw_once, throw_always, stop };

// A linear ring: orbit = base + R (kicks - start) + Gaussian noise, one
// orbit per millisecond. The noise is drawn from a generator seeded by the
// kicks and the kicks before them at each write or read-back, so that the same
// steps read the same orbits in any run: an interrupted and resumed
// measurement reads what an uninterrupted one does (and the orbits at the start
// kicks after two different columns are independent). Every call (orbit read, write, read-back) counts;
// the call numbered `fault_at` (and, for the *_always kinds, every later one)
// fails, throws or sets the stop flag.
class FakeRing {
 public:
  FakeRing(loop::ManualClock& clock, std::size_t m, std::size_t n, double noise, unsigned seed)
      : start(n), kicks(n), R(m * n), base(m), clock_(clock), m_(m), n_(n), noise_(noise), seed_(seed) {
    std::mt19937_64 g(seed);
    std::normal_distribution<double> unit;
    for (double& r : R) r = unit(g);
    for (double& b : base) b = unit(g);
    for (double& k : start) k = 0.1 * unit(g);
    kicks = start;
    reseed();
  }
  double truth(std::size_t i, std::size_t j) const { return R[i * n_ + j]; }

  loop::Orbit read_orbit() {
    clock_.advance(1ms);
    loop::Orbit o;
    if (faulty("bpm server down")) {
      o.error = "bpm server down";
      return o;
    }
    o.ok = true;
    o.values = base;
    for (std::size_t i = 0; i < m_; ++i) {
      for (std::size_t j = 0; j < n_; ++j) o.values[i] += R[i * n_ + j] * (kicks[j] - start[j]);
      o.values[i] += noise_ * gauss_(gen_) + drift * static_cast<double>(reads_);
    }
    ++reads_;
    o.valid.assign(m_, true);
    o.stamp = clock_.now();
    return o;
  }
  loop::SinkResult write(const std::vector<double>& v) {
    loop::SinkResult r;
    if (faulty("interlock")) {
      r.error = "interlock";
      return r;
    }
    ++writes;
    if (!refuse_all && v != kicks) {
      before_ = kicks;
      kicks = v;
      polls_ = 0;
    }
    reseed();
    r.ok = !refuse_all;
    if (refuse_all) r.error = "locked";
    return r;
  }
  loop::SinkResult read_back() {
    loop::SinkResult r;
    if (faulty("no read-back")) {
      r.error = "no read-back";
      return r;
    }
    reseed();
    r.ok = true;
    r.values = polls_++ < lag_polls && !before_.empty() ? before_ : kicks;
    return r;
  }

  Fault fault = Fault::none;
  long fault_at = -1;
  std::atomic<bool>* stop = nullptr;
  long calls = 0;
  int writes = 0;
  bool refuse_all = false;
  double drift = 0.0;  // added to every monitor per orbit read
  long lag_polls = 0;  // a changed set-point reads back the old value this many times
  std::vector<double> start, kicks, R, base;

  struct Source final : loop::OrbitSource {
    explicit Source(FakeRing& r) : ring(r) {}
    loop::Orbit read() override { return ring.read_orbit(); }
    FakeRing& ring;
  } source{*this};
  struct Sink final : loop::CorrectorSink {
    explicit Sink(FakeRing& r) : ring(r) {}
    loop::SinkResult write(const std::vector<double>& v) override { return ring.write(v); }
    loop::SinkResult read() override { return ring.read_back(); }
    FakeRing& ring;
  } sink{*this};

 private:
  bool faulty(const char* why) {
    const long c = calls++;
    const bool once = fault == Fault::fail_once || fault == Fault::throw_once || fault == Fault::stop;
    if (fault == Fault::none || (once ? c != fault_at : c < fault_at)) return false;
    if (fault == Fault::stop) {
      stop->store(true);
      return false;
    }
    if (fault == Fault::throw_once || fault == Fault::throw_always) throw std::runtime_error(why);
    return true;
  }
  void reseed() {
    std::size_t h = seed_;
    for (double k : kicks) h = h * 1000003u ^ std::hash<double>()(k);
    for (double k : before_) h = h * 1000003u ^ std::hash<double>()(k);
    gen_.seed(h);
  }
  loop::ManualClock& clock_;
  std::size_t m_, n_;
  double noise_;
  unsigned seed_;
  std::mt19937_64 gen_;
  std::vector<double> before_;
  long polls_ = 0;
  std::normal_distribution<double> gauss_;
  long reads_ = 0;
};

MeasureConfig small_config() {
  MeasureConfig c;
  c.kicks = {0.05};
  c.readings = 4;
  c.correctors = {"C0", "C1", "C2", "C3"};
  return c;
}

// Each corrector is back at its start value or named in not_restored.
void expect_restored_or_named(const FakeRing& ring, const MeasureResult& r, const std::string& where) {
  for (std::size_t j = 0; j < ring.start.size(); ++j) {
    const std::string name = "C" + std::to_string(j);
    const bool named = std::count(r.not_restored.begin(), r.not_restored.end(), name) > 0;
    EXPECT_TRUE(ring.kicks[j] == ring.start[j] || named) << where << ": " << name << " left changed, unnamed";
  }
  EXPECT_EQ(r.restored, r.not_restored.empty()) << where;
}

// A fault at every call of a measurement, of every kind: the correctors are
// restored (or, when the sink itself keeps failing, named); a fault that
// passes leaves them restored, and the measurement resumed from its state
// gives the uninterrupted run's matrix exactly.
TEST(Measure, FaultAtEveryCallRestoresAndResumesToTheSameMatrix) {
  loop::ManualClock clean_clock;
  FakeRing clean(clean_clock, 6, 4, 0.01, 7);
  MeasureState clean_state;
  const MeasureResult ref =
      loop::measure_response(clean.source, clean.sink, clean_clock, small_config(), &clean_state);
  ASSERT_TRUE(ref.ok && ref.complete) << ref.error;
  const long total = clean.calls;
  ASSERT_GT(total, 40);
  const long last_restore = total - 2;  // its write and read-back close every call

  for (Fault kind :
       {Fault::fail_once, Fault::throw_once, Fault::stop, Fault::fail_always, Fault::throw_always}) {
    for (long at = 0; at < total; ++at) {
      const std::string where =
          "fault " + std::to_string(static_cast<int>(kind)) + " at call " + std::to_string(at);
      loop::ManualClock clock;
      FakeRing ring(clock, 6, 4, 0.01, 7);
      std::atomic<bool> stop{false};
      ring.fault = kind;
      ring.fault_at = at;
      ring.stop = &stop;
      MeasureState state;
      const MeasureResult r =
          loop::measure_response(ring.source, ring.sink, clock, small_config(), &state, &stop);
      expect_restored_or_named(ring, r, where);
      const bool always = kind == Fault::fail_always || kind == Fault::throw_always;
      if (at < last_restore && kind != Fault::stop) {
        EXPECT_FALSE(r.complete || r.ok) << where;
      } else {  // a stop, or a fault in the closing restore: the columns are all there
        EXPECT_TRUE(r.complete || (kind == Fault::stop && r.stopped)) << where;
        EXPECT_EQ(r.ok, r.restored) << where << ": " << r.error;
      }
      if (always) continue;
      EXPECT_TRUE(r.restored) << where;
      ring.fault = Fault::none;
      stop = false;
      const MeasureResult resumed =
          loop::measure_response(ring.source, ring.sink, clock, small_config(), &state, &stop);
      ASSERT_TRUE(resumed.ok && resumed.complete) << where << ": " << resumed.error;
      EXPECT_EQ(resumed.matrix.values, ref.matrix.values) << where;
      EXPECT_EQ(resumed.errors.values, ref.errors.values) << where;
      EXPECT_EQ(ring.kicks, ring.start) << where;
    }
  }
}

// A sink that takes no write at all: nothing is kicked, nothing named; one
// that takes the kick but refuses everything after: every corrector it left
// changed is named.
TEST(Measure, SinkThatRefusesIsNamed) {
  loop::ManualClock clock;
  FakeRing ring(clock, 6, 4, 0.01, 3);
  ring.fault = Fault::fail_always;
  ring.fault_at = 0;
  MeasureState state;
  MeasureResult r = loop::measure_response(ring.source, ring.sink, clock, small_config(), &state);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(ring.writes, 0);
  EXPECT_TRUE(r.restored);  // nothing was written

  FakeRing stuck(clock, 6, 4, 0.01, 3);
  stuck.fault = Fault::fail_always;
  stuck.fault_at = 6;  // a read-back, 4 start orbits and the first write pass; every later call fails
  MeasureState s2;
  r = loop::measure_response(stuck.source, stuck.sink, clock, small_config(), &s2);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(stuck.writes, 1);
  ASSERT_FALSE(r.restored);
  EXPECT_EQ(r.not_restored, (std::vector<std::string>{"C0", "C1", "C2", "C3"}));  // unreadable: all named
  EXPECT_NE(r.error.find("not back at their start values"), std::string::npos) << r.error;
}

// Against a known Gaussian noise: |measured - true| <= 3 sigma for at least
// 99 % of the elements, and the errors are the error of the mean
// (sigma sqrt(8/3 / N) / d bipolar with the drift fit over evenly spaced
// sides, sigma sqrt(1.5/N) / d unipolar, whose other side is the mean of the
// orbits before and after), not the spread of the shots.
TEST(Measure, ErrorsMatchAKnownNoise) {
  for (bool bipolar : {true, false}) {
    loop::ManualClock clock;
    const double sigma = 0.01, d = 0.02, sides = bipolar ? 8.0 / 3 : 1.5;
    FakeRing ring(clock, 96, 48, sigma, 11);
    MeasureConfig c;
    c.kicks = {d};
    c.readings = 16;
    c.bipolar = bipolar;
    MeasureState state;
    const MeasureResult r = loop::measure_response(ring.source, ring.sink, clock, c, &state);
    ASSERT_TRUE(r.ok && r.complete) << r.error;
    int inside = 0;
    std::vector<double> ratio;
    for (std::size_t i = 0; i < 96; ++i)
      for (std::size_t j = 0; j < 48; ++j) {
        const double e = r.errors.values[i * 48 + j];
        inside += std::fabs(r.matrix.values[i * 48 + j] - ring.truth(i, j)) <= 3 * e;
        ratio.push_back(e / (sigma * std::sqrt(sides / c.readings) / d));
      }
    EXPECT_GE(inside, 0.99 * 96 * 48) << (bipolar ? "bipolar" : "unipolar");
    std::nth_element(ratio.begin(), ratio.begin() + static_cast<long>(ratio.size() / 2), ratio.end());
    EXPECT_NEAR(ratio[ratio.size() / 2], 1.0, 0.1) << (bipolar ? "bipolar" : "unipolar");
    EXPECT_EQ(ring.kicks, ring.start);
    for (std::size_t j = 0; j < 48; ++j) {  // SNR: |true column| over sqrt(96) errors of the mean
      double norm = 0;
      for (std::size_t i = 0; i < 96; ++i) norm += ring.truth(i, j) * ring.truth(i, j);
      const double snr = std::sqrt(norm) * d / (std::sqrt(96.0) * sigma * std::sqrt(sides / c.readings));
      EXPECT_FALSE(r.columns[j].drift);
      EXPECT_NEAR(r.columns[j].snr / snr, 1.0, 0.15) << j;
    }
  }
}

// Kicks from a target orbit change by a prior matrix, cut to the limits
// around the start; a corrector without room is refused before any write.
TEST(Measure, KicksFromTargetWithinLimits) {
  loop::ManualClock clock;
  FakeRing ring(clock, 6, 4, 0.001, 5);
  MeasureConfig c;
  c.readings = 3;
  c.prior = ring.R;
  c.target_change = 0.1;
  c.lower.assign(4, -1.0);
  c.upper.assign(4, 1.0);
  c.upper[2] = ring.start[2] + 0.001;  // 1e-3 of room above: bipolar d <= 2e-3
  MeasureState state;
  MeasureResult r = loop::measure_response(ring.source, ring.sink, clock, c, &state);
  ASSERT_TRUE(r.ok) << r.error;
  for (std::size_t j = 0; j < 4; ++j) {
    double peak = 0;
    for (std::size_t i = 0; i < 6; ++i) peak = std::max(peak, std::fabs(ring.truth(i, j)));
    if (j == 2) {
      EXPECT_NEAR(r.columns[j].kick, 0.002, 1e-12);
      EXPECT_TRUE(r.columns[j].kick_capped);
    } else {
      EXPECT_NEAR(r.columns[j].kick, 0.1 / peak, 1e-12);
      EXPECT_FALSE(r.columns[j].kick_capped);
    }
  }

  c.bipolar = false;  // unipolar: no room above, so downwards
  c.upper[2] = ring.start[2];
  MeasureState s2;
  r = loop::measure_response(ring.source, ring.sink, clock, c, &s2);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_LT(r.columns[2].kick, 0.0);
  for (std::size_t i = 0; i < 6; ++i) EXPECT_NEAR(r.matrix.values[i * 4 + 2], ring.truth(i, 2), 0.05);

  c.bipolar = true;  // no room at all: refused, nothing written
  const int writes = ring.writes;
  MeasureState s3;
  r = loop::measure_response(ring.source, ring.sink, clock, c, &s3);
  EXPECT_FALSE(r.ok);
  EXPECT_NE(r.error.find("corrector 2 has no room"), std::string::npos) << r.error;
  EXPECT_EQ(ring.writes, writes);
  EXPECT_FALSE(s3.started);
}

// A drifting orbit flags its columns and keeps them; stopping after k columns
// and resuming gives the uninterrupted matrix.
TEST(Measure, DriftFlagsAndResumeByColumns) {
  loop::ManualClock clock;
  FakeRing ring(clock, 6, 4, 0.001, 9);
  ring.drift = 1e-3;
  MeasureConfig c = small_config();
  MeasureState state;
  const MeasureResult r = loop::measure_response(ring.source, ring.sink, clock, c, &state);
  ASSERT_TRUE(r.ok && r.complete) << r.error;
  for (std::size_t j = 0; j < 4; ++j) {
    EXPECT_TRUE(r.columns[j].drift) << j;
    // flagged and kept; the steady drift (1e-3 per orbit: 6e-3 between the
    // sides, eight errors of a column here) cancels in the fit of its three orbits
    for (std::size_t i = 0; i < 6; ++i)
      EXPECT_NEAR(r.matrix.values[i * 4 + j], ring.truth(i, j), 4 * r.errors.values[i * 4 + j]) << i << j;
  }

  loop::ManualClock c1, c2;
  FakeRing a(c1, 6, 4, 0.01, 2), b(c2, 6, 4, 0.01, 2);
  MeasureState whole, parts;
  const MeasureResult ra = loop::measure_response(a.source, a.sink, c1, small_config(), &whole);
  MeasureConfig two = small_config();
  two.max_columns = 2;
  MeasureResult rb = loop::measure_response(b.source, b.sink, c2, two, &parts);
  EXPECT_TRUE(rb.ok && rb.stopped && !rb.complete);
  EXPECT_EQ(parts.next_column, 2);
  EXPECT_EQ(b.kicks, b.start);
  rb = loop::measure_response(b.source, b.sink, c2, two, &parts);
  ASSERT_TRUE(rb.ok && rb.complete) << rb.error;
  EXPECT_EQ(rb.matrix.values, ra.matrix.values);
  EXPECT_EQ(rb.columns.size(), 4u);
}

// A supply that lags: the measurement waits for its read-back (and measures
// the same matrix); one that never gets there ends it, and the restore names
// the corrector whose read-back is still off.
TEST(Measure, WaitsForLaggingReadbacks) {
  loop::ManualClock c1, c2;
  FakeRing quick(c1, 6, 4, 0.01, 8), slow(c2, 6, 4, 0.01, 8);
  slow.lag_polls = 5;
  MeasureConfig c = small_config();
  c.poll = 20ms;
  MeasureState s1, s2;
  const MeasureResult a = loop::measure_response(quick.source, quick.sink, c1, c, &s1);
  const MeasureResult b = loop::measure_response(slow.source, slow.sink, c2, c, &s2);
  ASSERT_TRUE(a.ok && b.ok) << b.error;
  EXPECT_EQ(a.matrix.values, b.matrix.values);
  EXPECT_GE(b.columns[0].settle_time, 100ms);
  EXPECT_LT(a.columns[0].settle_time, 100ms);

  loop::ManualClock c3;
  FakeRing stuck(c3, 6, 4, 0.01, 8);
  stuck.lag_polls = 1000000;
  c.settle_max = 1s;
  MeasureState s3;
  const MeasureResult r = loop::measure_response(stuck.source, stuck.sink, c3, c, &s3);
  EXPECT_FALSE(r.ok);
  EXPECT_NE(r.error.find("corrector C0 did not reach its set-point"), std::string::npos) << r.error;
  EXPECT_EQ(r.not_restored, std::vector<std::string>{"C0"});
  EXPECT_EQ(stuck.kicks, stuck.start);  // set, though its read-back never says so
}

TEST(Measure, WritesMatrixAndErrorsFiles) {
  EXPECT_EQ(loop::errors_path("dir/ring.txt"), "dir/ring.errors.txt");
  EXPECT_EQ(loop::errors_path("dir.d/ring"), "dir.d/ring.errors");
  loop::ManualClock clock;
  FakeRing ring(clock, 6, 4, 0.01, 4);
  MeasureConfig c = small_config();
  c.units = "mm/mrad";
  MeasureState state;
  const MeasureResult r = loop::measure_response(ring.source, ring.sink, clock, c, &state);
  ASSERT_TRUE(r.complete);
  const std::string path = testing::TempDir() + "measured.txt";
  ASSERT_TRUE(loop::write_measurement(path, r).ok);
  LabelledMatrix m, e;
  ASSERT_TRUE(read_labelled_matrix(path.c_str(), &m).ok);
  ASSERT_TRUE(read_labelled_matrix(loop::errors_path(path).c_str(), &e).ok);
  EXPECT_EQ(m.correctors, r.matrix.correctors);
  EXPECT_EQ(e.units, "mm/mrad");
  for (std::size_t k = 0; k < m.values.size(); ++k) {
    EXPECT_NEAR(m.values[k], r.matrix.values[k], 1e-6 * std::fabs(r.matrix.values[k]));
    EXPECT_NEAR(e.values[k], r.errors.values[k], 1e-6 * r.errors.values[k]);
  }
  MeasureResult partial = r;
  partial.complete = false;
  EXPECT_FALSE(loop::write_measurement(testing::TempDir() + "partial.txt", partial).ok);
  std::remove(path.c_str());
  std::remove(loop::errors_path(path).c_str());
}

}  // namespace
}  // namespace test
}  // namespace zor_feedback
