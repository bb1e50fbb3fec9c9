#include "os/process/clock.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <thread>
#include <vector>

namespace os::clock {
namespace {

TEST(Clock, RealClocksFollowTheSystem) {
  EXPECT_NEAR(now(), static_cast<double>(std::time(nullptr)), 5.0);
  double before = monotonic();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_GE(monotonic() - before, 0.019);
}

TEST(Clock, UptimeCountsFromBootAndFollowsAFakeMonotonicClock) {
  // The kernel's own count of seconds since boot, sleep included.
  double fromProc = 0;
  FILE* file = std::fopen("/proc/uptime", "r");
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(std::fscanf(file, "%lf", &fromProc), 1);
  std::fclose(file);
  EXPECT_NEAR(uptime(), fromProc, 5.0);
  {
    ScopedFakeClock clock(kReferenceDate1970, 42);
    EXPECT_EQ(uptime(), 42);
    clock.advance(7200);
    EXPECT_EQ(uptime(), 7242);
  }
  EXPECT_NEAR(uptime(), fromProc, 5.0);
}

TEST(Clock, ReferenceDateIsTheStartOf2001) {
  std::tm start2001 = {};
  start2001.tm_year = 101;
  start2001.tm_mday = 1;
  EXPECT_EQ(kReferenceDate1970, static_cast<double>(timegm(&start2001)));
}

TEST(Clock, FakeClockIsFixedUntilMovedAndNestsAndRestores) {
  {
    ScopedFakeClock outer(1700000000.5, 100);
    EXPECT_EQ(now(), 1700000000.5);
    EXPECT_EQ(monotonic(), 100);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(now(), 1700000000.5);

    outer.advance(60);
    EXPECT_EQ(now(), 1700000060.5);
    EXPECT_EQ(monotonic(), 160);

    // A change of system time moves the wall clock only.
    outer.advance(-3600);
    EXPECT_EQ(now(), 1699996460.5);
    EXPECT_EQ(monotonic(), 160);
    outer.setNow(kReferenceDate1970);
    outer.setMonotonic(7);
    EXPECT_EQ(now(), kReferenceDate1970);
    EXPECT_EQ(monotonic(), 7);
    {
      ScopedFakeClock inner;
      EXPECT_EQ(now(), kReferenceDate1970);
      EXPECT_EQ(monotonic(), 0);
      inner.advance(1);
      EXPECT_EQ(monotonic(), 1);
      EXPECT_EQ(outer.monotonic(), 7);
    }
    EXPECT_EQ(monotonic(), 7);
  }
  EXPECT_NEAR(now(), static_cast<double>(std::time(nullptr)), 5.0);
  EXPECT_GT(monotonic(), 0);
}

TEST(Clock, ReadsFromOtherThreadsNeverGoBackwards) {
  ScopedFakeClock clock(0, 0);
  constexpr int kSteps = 2000;
  std::atomic<bool> done{false};
  std::vector<std::thread> readers;
  std::atomic<int> outOfOrder{0};
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&] {
      double lastWall = 0;
      double lastMonotonic = 0;
      while (!done.load()) {
        double wall = now();
        double mono = monotonic();
        if (wall < lastWall || mono < lastMonotonic || wall != static_cast<int>(wall)) ++outOfOrder;
        lastWall = wall;
        lastMonotonic = mono;
      }
    });
  }
  for (int i = 0; i < kSteps; ++i) clock.advance(1);
  done = true;
  for (auto& reader : readers) reader.join();
  EXPECT_EQ(outOfOrder.load(), 0);
  EXPECT_EQ(now(), kSteps);
  EXPECT_EQ(monotonic(), kSteps);
}

}  // namespace
}  // namespace os::clock
