#include "core/installations/backoff_controller.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "os/process/clock.h"

namespace {

using Event = RVOInstallationsBackoffEvent;
constexpr Event kSuccess = kRVOInstallationsBackoffEventSuccess;
constexpr Event kRecoverable = kRVOInstallationsBackoffEventRecoverableFailure;
constexpr Event kUnrecoverable = kRVOInstallationsBackoffEventUnrecoverableFailure;

TEST(RVOInstallationsBackoffTest, WaitsAfterEachKindOfEvent) {
  struct Case {
    const char* name;
    std::vector<Event> events;  // registered one after another at time 0
    double refusedAt;           // seconds after the last event; negative: nothing refused
    double allowedAt;
  };
  const Case cases[] = {
      {"nothing yet", {}, -1, 0},
      {"one recoverable error", {kRecoverable}, 1.5, 3},
      {"two recoverable errors", {kRecoverable, kRecoverable}, 3.9, 5},
      {"recoverable then success", {kRecoverable, kSuccess}, -1, 0},
      {"unrecoverable", {kUnrecoverable}, 86399, 86400},
      {"unrecoverable then recoverable counts from 1", {kUnrecoverable, kRecoverable}, 1.9, 3},
  };
  for (const Case& testCase : cases) {
    double now = 100;
    RVOInstallationsBackoffController controller([&now] { return now; });
    for (Event event : testCase.events) controller.registerEvent(event);
    if (testCase.refusedAt >= 0) {
      now = 100 + testCase.refusedAt;
      EXPECT_FALSE(controller.isNextRequestAllowed()) << testCase.name;
    }
    now = 100 + testCase.allowedAt;
    EXPECT_TRUE(controller.isNextRequestAllowed()) << testCase.name;
  }
}

TEST(RVOInstallationsBackoffTest, RecoverableWaitsDoubleUpToTheCap) {
  for (int64_t attempt = 1; attempt <= 10; ++attempt) {
    double wait =
        RVOInstallationsBackoffController::backoffTimeIntervalWithEvent(kRecoverable, attempt);
    EXPECT_GE(wait, std::pow(2.0, attempt)) << attempt;
    EXPECT_LT(wait, std::pow(2.0, attempt) + 1) << attempt;
  }
  EXPECT_EQ(RVOInstallationsBackoffController::backoffTimeIntervalWithEvent(kRecoverable, 11),
            1800);
  EXPECT_EQ(RVOInstallationsBackoffController::backoffTimeIntervalWithEvent(kRecoverable, 40),
            1800);
  EXPECT_EQ(RVOInstallationsBackoffController::backoffTimeIntervalWithEvent(kSuccess, 3), 0);
  for (int i = 0; i < 100; ++i) {
    double milliseconds = RVOInstallationsBackoffController::randomMilliseconds() * 1000;
    EXPECT_GE(milliseconds, 0);
    EXPECT_LT(milliseconds, 1000);
    EXPECT_NEAR(milliseconds, std::round(milliseconds), 1e-6);
  }
}

// The default controller reads the monotonic clock: setting the system time back or forward
// neither lifts a 24-hour block nor stretches it.
TEST(RVOInstallationsBackoffTest, WallClockJumpsDoNotMoveTheBlock) {
  os::clock::ScopedFakeClock clock(1.8e9, 1000);
  RVOInstallationsBackoffController controller;
  controller.registerEvent(kUnrecoverable);
  clock.setNow(1.8e9 + 2 * 86400);  // the system time jumps two days ahead
  EXPECT_FALSE(controller.isNextRequestAllowed());
  clock.setMonotonic(1000 + 86400 - 1);
  clock.setNow(1.8e9 - 86400);  // and a day back
  EXPECT_FALSE(controller.isNextRequestAllowed());
  clock.setMonotonic(1000 + 86400);
  EXPECT_TRUE(controller.isNextRequestAllowed());
}

}  // namespace
