#include "measurement/foundation/scheduler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <vector>

#include "measurement/foundation/monitor_capture.h"
#include "measurement/foundation/test_support.h"

namespace measurement {
namespace {

class SchedulerTest : public testing::Test {
 protected:
  // The messages logged with `code`.
  std::vector<std::string> messages(int64_t code) const {
    std::vector<std::string> found;
    for (const MonitorRecord& record : capture_.records()) {
      if (record.code == code) found.push_back(record.message);
    }
    return found;
  }

  // The process's monitor keeps its sample in the preferences.
  PreferencesSandbox sandbox_;
  MonitorCapture capture_;
  Scheduler scheduler_{kWorkerQueueLabel};
};

TEST_F(SchedulerTest, BlocksRunOneAtATimeInTheirOrder) {
  EXPECT_EQ(scheduler_.workerQueue()->label(), "com.vedodo.vuve.worker");
  std::vector<int> order;
  std::atomic<int> running{0};
  std::atomic<bool> overlapped{false};
  for (int i = 0; i < 200; ++i) {
    scheduler_.scheduleOnWorkerQueue("SchedulerTest:1", [&, i] {
      if (running.fetch_add(1) != 0) overlapped = true;
      EXPECT_TRUE(scheduler_.workerQueue()->isCurrent());
      order.push_back(i);
      running.fetch_sub(1);
    });
  }
  scheduler_.dispatchSyncOnWorkerQueue("SchedulerTest:2", [&] { order.push_back(200); });
  ASSERT_EQ(order.size(), 201u);
  for (int i = 0; i <= 200; ++i) EXPECT_EQ(order[i], i);
  EXPECT_FALSE(overlapped);
  EXPECT_TRUE(capture_.records().empty());
}

TEST_F(SchedulerTest, AThrowingBlockIsLoggedWithItsIdentifierAndTheNextOneRuns) {
  bool nextRan = false;
  scheduler_.scheduleOnWorkerQueue("APMMeasurement:611", [] {
    throw os::Exception(os::kRangeException, "index 4 beyond bounds");
  });
  scheduler_.scheduleOnWorkerQueue("APMMeasurement:612",
                                   [] { throw std::runtime_error("disk full"); });
  scheduler_.scheduleOnWorkerQueue("APMMeasurement:613", [&] { nextRan = true; });
  scheduler_.dispatchSyncOnWorkerQueue("APMMeasurement:614", [] {});
  EXPECT_TRUE(nextRan);
  EXPECT_EQ(messages(30000),
            (std::vector<std::string>{
                "Exception on worker queue. Block ID=APMMeasurement:611. Exception",
                "Exception on worker queue. Block ID=APMMeasurement:612. Exception"}));
  std::vector<MonitorRecord> records = capture_.records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].level, 1);
  EXPECT_EQ(std::get<os::Exception>(records[0].contexts.at(0)).name(), "NSRangeException");
  EXPECT_EQ(std::get<os::Exception>(records[1].contexts.at(0)).name(), "std::runtime_error");
  EXPECT_EQ(std::get<os::Exception>(records[1].contexts.at(0)).reason(), "disk full");
}

TEST_F(SchedulerTest, ASynchronousBlockThatCannotFinishIsReported) {
  scheduler_.dispatchSyncOnWorkerQueue("APMDatabase:1", [] { throw std::logic_error("bad"); });
  EXPECT_EQ(messages(30003),
            std::vector<std::string>{
                "Exception on worker queue when processing sync block. Block ID=APMDatabase:1. "
                "Exception"});
  EXPECT_EQ(messages(30004),
            std::vector<std::string>{"Synchronous task failed. Block ID=APMDatabase:1"});

  // From the worker queue itself the call returns at once instead of waiting for itself.
  bool innerRan = false;
  scheduler_.dispatchSyncOnWorkerQueue("APMDatabase:2", [&] {
    scheduler_.dispatchSyncOnWorkerQueue("APMDatabase:3", [&] { innerRan = true; });
  });
  EXPECT_FALSE(innerRan);
  EXPECT_EQ(messages(30004).back(), "Synchronous task failed. Block ID=APMDatabase:3");
}

TEST_F(SchedulerTest, EmptyBlocksAreLoggedAndDropped) {
  scheduler_.scheduleOnWorkerQueue("APMMeasurement:1", nullptr);
  scheduler_.dispatchSyncOnWorkerQueue("APMMeasurement:2", nullptr);
  EXPECT_EQ(messages(30005),
            std::vector<std::string>{
                "Nil block dispatched asynchronously on worker queue. Block ID=APMMeasurement:1."});
  EXPECT_EQ(messages(30002),
            std::vector<std::string>{
                "Nil block dispatched synchronously on worker queue. Block ID=APMMeasurement:2."});
  EXPECT_TRUE(messages(30004).empty());
}

TEST_F(SchedulerTest, TheBackgroundCheckRefusesTheMainThreadOnly) {
  ASSERT_TRUE(os::isMainThread());
  EXPECT_FALSE(Scheduler::checkOnBackgroundThread("uploadOnWorkerQueue"));
  EXPECT_FALSE(Scheduler::checkOnBackgroundThread(""));
  // A synchronous block runs on the caller's thread: only a scheduled one is in the background.
  bool onWorker = false;
  scheduler_.scheduleOnWorkerQueue(
      "SchedulerTest:3", [&] { onWorker = Scheduler::checkOnBackgroundThread("fromTheWorker"); });
  scheduler_.dispatchSyncOnWorkerQueue("SchedulerTest:4", [] {});
  EXPECT_TRUE(onWorker);
  EXPECT_EQ(
      messages(30001),
      (std::vector<std::string>{"Method uploadOnWorkerQueue should execute on background thread",
                                "Method <empty method name> should execute on background thread"}));
  EXPECT_EQ(capture_.records().front().contexts.size(), 1u);
}

}  // namespace
}  // namespace measurement
