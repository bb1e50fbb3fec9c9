#include "measurement/foundation/alarm.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "measurement/foundation/monitor_capture.h"
#include "measurement/foundation/test_support.h"
#include "os/process/clock.h"

namespace measurement {
namespace {

constexpr double kDeadline = 30;

class AlarmTest : public testing::Test {
 protected:
  // Runs `block` on the alarm's queue, where every call to the alarm belongs.
  void onQueue(const std::function<void()>& block) { ASSERT_TRUE(queue_->sync(block)); }

  // Returns once the dispatch layer has handed every delayed block due by now to its queue: a
  // block due later than them is queued after them.
  static void waitUntilDueBlocksAreQueued() {
    os::DispatchSemaphore queued;
    os::DispatchQueue::global()->after(0, [queued]() mutable { queued.signal(); });
    ASSERT_TRUE(queued.wait(kDeadline));
  }

  std::vector<std::pair<int64_t, std::string>> lines() const {
    std::vector<std::pair<int64_t, std::string>> found;
    for (const MonitorRecord& record : capture_.records()) {
      found.emplace_back(record.code, record.message);
    }
    return found;
  }

  PreferencesSandbox sandbox_;
  MonitorCapture capture_;
  std::shared_ptr<os::DispatchQueue> queue_ = os::DispatchQueue::serial("AlarmTest");
};

TEST_F(AlarmTest, FiresOnceOnItsQueueWithNothingPendingInsideItsBlockWhichMayRearmIt) {
  Alarm alarm(queue_, "");
  EXPECT_EQ(alarm.name(), "Timer");
  os::DispatchSemaphore secondRun;
  int runs = 0;
  std::function<void()> second = [&, secondRun]() mutable {
    ++runs;
    secondRun.signal();
  };
  onQueue([&] {
    alarm.runAfterDelay(0, [&] {
      EXPECT_TRUE(queue_->isCurrent());
      EXPECT_EQ(alarm.scheduledTimestamp(), std::nullopt);
      EXPECT_FALSE(alarm.hasActiveTimer());
      ++runs;
      alarm.runAfterDelay(0, second);
      EXPECT_TRUE(alarm.hasActiveTimer());
    });
    EXPECT_TRUE(alarm.hasActiveTimer());
  });
  ASSERT_TRUE(secondRun.wait(kDeadline));
  onQueue([&] {
    EXPECT_EQ(runs, 2);
    EXPECT_EQ(alarm.scheduledTimestamp(), std::nullopt);
    EXPECT_FALSE(alarm.hasActiveTimer());
  });
  using Line = std::pair<int64_t, std::string>;
  std::vector<Line> once{{2002, "Timer scheduled to fire in approx. (s)"},
                         {2001, "Timer fired"},
                         {2003, "Timer canceled"}};
  std::vector<Line> expected = once;
  expected.insert(expected.end(), once.begin(), once.end());
  EXPECT_EQ(lines(), expected);
  EXPECT_EQ(capture_.records()[0].level, 7);
  ASSERT_EQ(capture_.records()[0].contexts.size(), 1u);
  EXPECT_EQ(std::get<double>(capture_.records()[0].contexts[0]), 0.0);
}

TEST_F(AlarmTest, ArmingAgainReplacesAPendingRunEvenOneAlreadyDue) {
  Alarm alarm(queue_, "Measurement timer");
  os::DispatchSemaphore done;
  std::vector<std::string> ran;
  onQueue([&] {
    alarm.runAfterDelay(0, [&] { ran.push_back("first"); });
    // The first run is due and queued behind this block, but not started.
    waitUntilDueBlocksAreQueued();
    alarm.runAfterDelay(0, [&, done]() mutable {
      ran.push_back("second");
      done.signal();
    });
  });
  ASSERT_TRUE(done.wait(kDeadline));
  onQueue([] {});
  EXPECT_EQ(ran, std::vector<std::string>{"second"});
  EXPECT_EQ(lines()[1], std::make_pair(int64_t{2003}, std::string("Measurement timer canceled")));
  EXPECT_FALSE(capture_.contains(2004));
}

TEST_F(AlarmTest, CancelDropsThePendingRunAndIsSilentWhenIdle) {
  Alarm alarm(queue_, "Engagement timer");
  bool ran = false;
  onQueue([&] {
    alarm.cancel();
    EXPECT_TRUE(capture_.records().empty());
    alarm.runAfterDelay(0, [&] { ran = true; });
    waitUntilDueBlocksAreQueued();
    alarm.cancel();
    EXPECT_EQ(alarm.scheduledTimestamp(), std::nullopt);
    EXPECT_FALSE(alarm.hasActiveTimer());
    alarm.cancel();
  });
  onQueue([] {});
  EXPECT_FALSE(ran);
  EXPECT_EQ(lines(), (std::vector<std::pair<int64_t, std::string>>{
                         {2002, "Engagement timer scheduled to fire in approx. (s)"},
                         {2003, "Engagement timer canceled"}}));
}

TEST_F(AlarmTest, AnEmptyBlockIsRefusedAndLeavesThePendingRunAlone) {
  os::clock::ScopedFakeClock clock(1700000000);
  Alarm alarm(queue_, "APMExperimentAlarm");
  onQueue([&] {
    alarm.runAfterDelay(60, [] {});
    alarm.runAfterDelay(5, nullptr);
    EXPECT_EQ(alarm.scheduledTimestamp(), 1700000060);
    EXPECT_TRUE(alarm.hasActiveTimer());
    alarm.cancel();
  });
  ASSERT_TRUE(capture_.contains(2000));
  MonitorRecord refusal = capture_.records()[1];
  EXPECT_EQ(refusal.level, 1);
  EXPECT_EQ(refusal.message, "APMExperimentAlarm tried to schedule an empty block");
}

TEST_F(AlarmTest, DelaysAreDueOnTheWallClockAndOutOfRangeOnesNeverOverflow) {
  const double kYear = Alarm::kMaximumDelaySeconds;
  const double kNaN = std::numeric_limits<double>::quiet_NaN();
  const double kInfinity = std::numeric_limits<double>::infinity();
  struct Case {
    double delay;
    double dueIn;      // scheduledTimestamp - now
    bool firesAtOnce;  // within the test's deadline
  } cases[] = {
      {30, 30, false},           {-5, -5, true},         {kNaN, 0, true}, {1e300, kYear, false},
      {kInfinity, kYear, false}, {9.3e18, kYear, false},
  };
  os::clock::ScopedFakeClock clock(1700000000);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.delay);
    Alarm alarm(queue_, "Timer");
    os::DispatchSemaphore fired;
    onQueue([&] {
      alarm.runAfterDelay(c.delay, [fired]() mutable { fired.signal(); });
      EXPECT_EQ(alarm.scheduledTimestamp(), 1700000000 + c.dueIn);
    });
    if (c.firesAtOnce) {
      EXPECT_TRUE(fired.wait(kDeadline));
    } else {
      onQueue([&] { alarm.cancel(); });
    }
  }
}

TEST_F(AlarmTest, DestructionCancelsAndThePendingBlockNeverRuns) {
  auto alarm = std::make_unique<Alarm>(queue_, "Search Ad campaign report alarm");
  auto owner = std::make_shared<int>(1);
  std::weak_ptr<int> watchOwner = owner;
  bool ran = false;
  onQueue([&] {
    alarm->runAfterDelay(0, [&ran, owner] { ran = *owner == 1; });
    owner.reset();
    waitUntilDueBlocksAreQueued();
    alarm.reset();
    // The block and what it captured are gone with the alarm, not when it would have fired.
    EXPECT_TRUE(watchOwner.expired());
  });
  onQueue([] {});
  EXPECT_FALSE(ran);
  EXPECT_TRUE(capture_.contains(2003));
}

}  // namespace
}  // namespace measurement
