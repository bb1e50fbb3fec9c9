#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "os/sync/mutex.h"
#include "platform/promises/promise.h"
#include "platform/promises/promise_test_support.h"

namespace {

using promises_test::secondsSince;
using promises_test::settles;
using promises_test::testError;

class PRMPromiseRetry : public ::testing::Test {
 protected:
  std::shared_ptr<os::DispatchQueue> queue_ = os::DispatchQueue::serial("test.promises.retry");
};

TEST_F(PRMPromiseRetry, TwoAttemptsRunThreeTimesAndRejectWithTheLastError) {
  std::atomic<int> runs{0};
  os::Mutex mutex;
  std::vector<int64_t> remainingSeen;  // under mutex
  auto start = os::MonotonicClock::now();
  auto promise = PRMPromise<int>::attempts(
      queue_, 2, 0.05,
      [&](int64_t remaining, const os::Error& error) {
        os::MutexLock lock(mutex);
        remainingSeen.push_back(remaining);
        EXPECT_EQ(error, testError(runs));
        return true;
      },
      [&]() -> PRMResult<int> { return testError(++runs); });
  ASSERT_TRUE(settles(promise));
  EXPECT_GE(secondsSince(start), 0.1);
  EXPECT_EQ(runs, 3);
  EXPECT_EQ(promise.error(), testError(3));
  os::MutexLock lock(mutex);
  EXPECT_EQ(remainingSeen, (std::vector<int64_t>{2, 1}));
}

TEST_F(PRMPromiseRetry, TheFirstRunIsOnTheCallingThreadAndLaterOnesOnTheQueue) {
  std::vector<std::thread::id> threads;  // the runs never overlap
  std::vector<bool> onQueue;
  auto queue = queue_;
  auto promise = PRMPromise<std::string>::attempts(queue_, 3, 0.01, nullptr,
                                                   [&, queue]() -> PRMResult<std::string> {
                                                     threads.push_back(std::this_thread::get_id());
                                                     onQueue.push_back(queue->isCurrent());
                                                     if (threads.size() < 3) return testError(1);
                                                     return "third time";
                                                   });
  ASSERT_EQ(threads.size(), 1u);  // before attempts() returned
  EXPECT_EQ(threads[0], std::this_thread::get_id());
  EXPECT_EQ(PRMPromiseAwait(promise), "third time");
  EXPECT_EQ(onQueue, (std::vector<bool>{false, true, true}));
}

TEST_F(PRMPromiseRetry, RunsStopWhenTheConditionRefusesOrNoAttemptIsLeft) {
  struct Case {
    const char* name;
    int64_t attempts;
    PRMPromise<int>::RetryCondition condition;
    int expectedRuns;
  };
  const Case cases[] = {
      {"condition refuses", 5, [](int64_t, const os::Error&) { return false; }, 1},
      {"condition refuses an error code", 5,
       [](int64_t, const os::Error& error) { return error.code != 2; }, 2},
      {"no attempts", 0, nullptr, 1},
      {"negative attempts", -1, nullptr, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::atomic<int> runs{0};
    auto promise = PRMPromise<int>::attempts(queue_, c.attempts, 0.001, c.condition,
                                             [&]() -> PRMResult<int> { return testError(++runs); });
    ASSERT_TRUE(settles(promise));
    EXPECT_EQ(runs, c.expectedRuns);
    EXPECT_EQ(promise.error(), testError(c.expectedRuns));
  }
}

TEST_F(PRMPromiseRetry, AWorkThatReturnsAPromiseIsRetriedOnItsRejection) {
  std::atomic<int> runs{0};
  auto queue = queue_;
  auto promise = PRMPromise<int>::attempts(queue_, 1, 0.01, nullptr, [&, queue] {
    int run = ++runs;
    return PRMPromise<int>::doWork(queue, [run]() -> PRMResult<int> {
      if (run == 1) return testError(1);
      return 10 * run;
    });
  });
  EXPECT_EQ(PRMPromiseAwait(promise), 20);
  EXPECT_EQ(runs, 2);
}

// retry() and attempts(n, work) wait one second between runs.
TEST_F(PRMPromiseRetry, ShortFormsRetryAfterOneSecond) {
  std::atomic<int> runs{0};
  auto start = os::MonotonicClock::now();
  auto retried = PRMPromise<int>::retry(queue_, [&]() -> PRMResult<int> {
    if (++runs == 1) return testError(1);
    return runs.load();
  });
  EXPECT_EQ(PRMPromiseAwait(retried), 2);
  EXPECT_GE(secondsSince(start), 1.0);

  std::atomic<int> attempted{0};
  auto once = PRMPromise<int>::attempts(queue_, 0,
                                        [&]() -> PRMResult<int> { return testError(++attempted); });
  ASSERT_TRUE(settles(once));
  EXPECT_EQ(attempted, 1);
}

}  // namespace
