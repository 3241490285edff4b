// The SimRing device's core without TANGO: its clock thread beside readers
// and writers, its stop, and requests refused without a change.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

#include "sim_ring.h"

namespace zt = zor_feedback::tango;
using zor_feedback::sim::CorrectorFault;
using zor_feedback::sim::MonitorFault;

namespace {

zt::SimRingSettings stepped(const char* ring = "ring96") {
  zt::SimRingSettings s;
  s.ring = ring;
  s.period_s = 0;
  return s;
}

}  // namespace

TEST(SimRing, ClockThreadBesideReadersAndWriters) {
  zt::SimRingSettings s;
  s.period_s = 0.01;
  zt::SimRing ring(s);
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r)
    readers.emplace_back([&] {
      double last = 0;
      while (!stop) {
        const zt::PlaneOrbit x = ring.orbit(0);
        const double t = ring.time_s();
        if (x.values.size() != 96 || ring.readbacks().size() != 48 || t < last) ++bad;
        last = t;
      }
    });
  for (int k = 0; k < 200; ++k) {
    EXPECT_EQ(ring.write(std::vector<double>(48, 1e-4 * k)), "");
    const bool known = k % 2 == 1;
    EXPECT_EQ(ring.set_monitor_fault(known ? "BPM03" : "nope", MonitorFault::invalid).empty(), known);
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  stop = true;
  for (std::thread& t : readers) t.join();
  EXPECT_EQ(bad, 0);
  EXPECT_GT(ring.time_s(), 0.0);
  EXPECT_DOUBLE_EQ(ring.setpoints()[0], 1e-4 * 199);
  EXPECT_FALSE(ring.advance(1.0).empty()) << "a free-running clock takes no Advance";
}

TEST(SimRing, StopsWithoutWaitingForTheNextTick) {
  zt::SimRingSettings s;
  s.period_s = 60;
  const auto t0 = std::chrono::steady_clock::now();
  { zt::SimRing ring(s); }
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
}

TEST(SimRing, RefusedRequestsChangeNothing) {
  zt::SimRing ring(stepped());
  std::vector<double> kicks(48, 0.0);
  kicks[3] = 0.2;
  ASSERT_EQ(ring.write(kicks), "");
  ASSERT_EQ(ring.advance(0.5), "");
  const std::vector<double> x = ring.orbit(0).values, rb = ring.readbacks();
  std::vector<double> beyond = kicks, nan = kicks;
  beyond[7] = 2.0001;
  nan[7] = std::nan("");
  EXPECT_NE(ring.write(beyond).find("CH08 is beyond its supply's limit"), std::string::npos);
  EXPECT_NE(ring.write(nan).find("CH08"), std::string::npos);
  EXPECT_NE(ring.write({}).find("0 set-points for 48"), std::string::npos);
  for (double dt : {-1.0, std::nan(""), 1e9}) EXPECT_NE(ring.advance(dt), "");
  EXPECT_NE(ring.set_corrector_fault("BPM01", CorrectorFault::refused), "");
  EXPECT_EQ(ring.setpoints(), kicks);
  EXPECT_EQ(ring.readbacks(), rb);
  EXPECT_EQ(ring.orbit(0).values, x);
  EXPECT_DOUBLE_EQ(ring.time_s(), 0.5);
  EXPECT_NE(ring.status().find("no fault"), std::string::npos);
}

TEST(SimRing, PlanesNamesAndFaults) {
  zt::SimRing ring(stepped("ring320"));
  ASSERT_EQ(ring.monitor_names().size(), 640u);
  EXPECT_EQ(ring.monitor_names()[0].back(), 'X');
  EXPECT_EQ(ring.monitor_names()[320].back(), 'Y');
  EXPECT_EQ(ring.orbit(1).values.size(), 320u);

  // A failed monitor shows at once in its plane only; restored, it reads.
  ASSERT_EQ(ring.set_monitor_fault("BPM002.Y", MonitorFault::invalid), "");
  EXPECT_TRUE(std::isnan(ring.orbit(1).values[1]));
  EXPECT_EQ(ring.orbit(1).invalid, 1);
  EXPECT_EQ(ring.orbit(0).invalid, 0);
  EXPECT_NE(ring.status().find("BPM002.Y failed"), std::string::npos);
  ASSERT_EQ(ring.set_monitor_fault("BPM002.Y", MonitorFault::none), "");
  EXPECT_EQ(ring.orbit(1).invalid, 0);

  // A spike is one reading: it shows now, is gone after the next advance,
  // and is no lasting fault.
  const double before = ring.orbit(0).values[5];
  ASSERT_EQ(ring.set_monitor_fault("BPM006.X", MonitorFault::spike), "");
  EXPECT_GT(ring.orbit(0).values[5] - before, 4.0);
  ASSERT_EQ(ring.advance(0.1), "");
  EXPECT_LT(std::fabs(ring.orbit(0).values[5] - before), 1.0);
  EXPECT_NE(ring.status().find("no fault"), std::string::npos);

  EXPECT_THROW(zt::SimRing(stepped("ring7")), std::invalid_argument);
  zt::SimRingSettings fast;
  fast.period_s = 0.001;
  EXPECT_THROW(zt::SimRing{fast}, std::invalid_argument);
}
