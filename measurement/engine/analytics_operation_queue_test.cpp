#include "measurement/engine/analytics_operation_queue.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "os/sync/mutex.h"

namespace {

// Blocks run on a serial queue and record their numbers.
class OperationQueueTest : public ::testing::Test {
 protected:
  void add(int number) {
    gate_.addOperation([this, number] {
      os::MutexLock lock(mutex_);
      ran_.push_back(number);
    });
  }
  std::vector<int> ranAfterDrain() {
    target_->sync([] {});
    os::MutexLock lock(mutex_);
    return ran_;
  }

  std::shared_ptr<os::DispatchQueue> target_ = os::DispatchQueue::serial("operation-target");
  AnalyticsOperationQueue gate_{"gate", target_};
  os::Mutex mutex_;
  std::vector<int> ran_ OS_GUARDED_BY(mutex_);
};

TEST_F(OperationQueueTest, HoldsOperationsUntilResumedThenPassesThemAfterEarlierTargetWork) {
  EXPECT_TRUE(gate_.isSuspended());
  add(1);
  add(2);
  EXPECT_TRUE(ranAfterDrain().empty());
  // What reaches the target directly before the resume runs before everything held.
  target_->async([this] {
    os::MutexLock lock(mutex_);
    ran_.push_back(0);
  });
  gate_.resume();
  add(3);
  EXPECT_EQ(ranAfterDrain(), (std::vector<int>{0, 1, 2, 3}));

  gate_.suspend();
  add(4);
  EXPECT_EQ(ranAfterDrain().size(), 4u);
  gate_.resume();
  EXPECT_EQ(ranAfterDrain().back(), 4);
}

TEST_F(OperationQueueTest, KeepsEachThreadsOrderAcrossConcurrentAdditions) {
  constexpr int kThreads = 8;
  constexpr int kPerThread = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < kPerThread; ++i) add(t * kPerThread + i);
    });
  }
  // Resuming while threads add must neither lose nor reorder anything.
  gate_.resume();
  for (std::thread& thread : threads) thread.join();
  std::vector<int> ran = ranAfterDrain();
  ASSERT_EQ(ran.size(), size_t{kThreads * kPerThread});
  std::vector<int> last(kThreads, -1);
  for (int number : ran) {
    const int thread = number / kPerThread;
    EXPECT_GT(number, last[thread]);
    last[thread] = number;
  }
}

TEST_F(OperationQueueTest, WaitReturnsOnceHeldOperationsHaveMovedOn) {
  add(1);
  std::thread resumer([this] { gate_.resume(); });
  gate_.waitUntilAllOperationsAreFinished();
  resumer.join();
  EXPECT_EQ(ranAfterDrain(), (std::vector<int>{1}));
}

}  // namespace
