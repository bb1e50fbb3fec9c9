#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "os/log/log.h"
#include "platform/promises/promise.h"
#include "platform/promises/promise_test_support.h"

namespace {

using promises_test::kPatience;
using promises_test::secondsSince;
using promises_test::settles;
using promises_test::testError;

const os::Error kTimedOut("com.vedodo.PRMPromises.Error", 1);

class PRMPromiseTiming : public ::testing::Test {
 protected:
  std::shared_ptr<os::DispatchQueue> queue_ = os::DispatchQueue::serial("test.promises.timing");
};

// A promise fulfilled with `value` after `seconds`, by a timer of its own.
PRMPromise<int> fulfilledAfter(double seconds, int value) {
  auto promise = PRMPromise<int>::pendingPromise();
  os::DispatchQueue::global()->after(seconds, [promise, value] { promise.fulfill(value); });
  return promise;
}

// Blocks once `queue`'s timers due within `seconds` from now have run: a timer armed later and
// due no earlier is queued behind them, so the mark is set after theirs.
void waitForTimersOf(const std::shared_ptr<os::DispatchQueue>& queue, double seconds) {
  os::DispatchSemaphore passed;
  queue->after(seconds, [passed]() mutable { passed.signal(); });
  ASSERT_TRUE(passed.wait(kPatience));
}

// No race with the scheduler in these: the source stays pending until the timer has decided, or
// has its outcome before the timer is armed.
TEST_F(PRMPromiseTiming, TimeoutRejectsWithCodeOneWhenTheIntervalPassesFirst) {
  auto source = PRMPromise<int>::pendingPromise();
  auto bounded = source.timeout(queue_, 0.05);
  ASSERT_TRUE(settles(bounded));
  EXPECT_EQ(bounded.error(), kTimedOut);
  EXPECT_TRUE(bounded.error()->userInfo.isNull());
  source.fulfill(5);
  ASSERT_TRUE(PRMWaitForAllPromises(kPatience));  // the late value reached the timeout's handler
  EXPECT_EQ(bounded.error(), kTimedOut);
}

TEST_F(PRMPromiseTiming, TimeoutPassesOnAnOutcomeThatComesInTime) {
  // Pending when the timer is armed, far longer than any stall could delay the value.
  auto later = fulfilledAfter(0.01, 4).timeout(queue_, 600);
  EXPECT_EQ(PRMPromiseAwait(later), 4);

  // Settled before the timer is armed: the outcome's handler is queued ahead of the timer's.
  auto source = PRMPromise<int>::pendingPromise();
  source.fulfill(5);
  auto fulfilled = source.timeout(queue_, 0.05);
  auto rejected = PRMPromise<int>::resolvedWith(testError(3)).timeout(queue_, 0.05);
  waitForTimersOf(queue_, 0.05);  // the timers have fired and changed nothing
  ASSERT_TRUE(PRMWaitForAllPromises(kPatience));
  EXPECT_EQ(fulfilled.value(), 5);
  EXPECT_EQ(rejected.error(), testError(3));
}

TEST_F(PRMPromiseTiming, TimeoutsTimerDoesNotKeepItsPromiseAlive) {
  ASSERT_TRUE(PRMWaitForAllPromises(kPatience));
  {
    auto source = PRMPromise<int>::pendingPromise();
    auto bounded = source.timeout(queue_, 60);
    EXPECT_FALSE(PRMWaitForAllPromises(0.05));
  }
  // Only the timer, due in a minute, still refers to the bounded promise: were that a strong
  // reference, the promise would stay pending until then.
  EXPECT_TRUE(PRMWaitForAllPromises(kPatience));
}

TEST_F(PRMPromiseTiming, DelayHandsTheValueOnNoEarlierThanTheInterval) {
  auto start = os::MonotonicClock::now();
  auto delayed = PRMPromise<int>::resolvedWith(8).delay(queue_, 0.1);
  EXPECT_EQ(PRMPromiseAwait(delayed), 8);
  EXPECT_GE(secondsSince(start), 0.1);
}

TEST_F(PRMPromiseTiming, DelayOfARejectionRejectsWithoutWaiting) {
  auto start = os::MonotonicClock::now();
  auto delayed = PRMPromise<int>::resolvedWith(testError(2)).delay(queue_, 60);
  ASSERT_TRUE(settles(delayed));
  EXPECT_EQ(delayed.error(), testError(2));
  EXPECT_LT(secondsSince(start), 30);
}

TEST_F(PRMPromiseTiming, AwaitReturnsTheValueOrTheError) {
  EXPECT_EQ(PRMPromiseAwait(fulfilledAfter(0.02, 6)), 6);
  os::Error error;
  EXPECT_EQ(PRMPromiseAwait(PRMPromise<int>::resolvedWith(testError(4)), &error), std::nullopt);
  EXPECT_EQ(error, testError(4));
  EXPECT_EQ(PRMPromiseAwait(PRMPromise<int>::resolvedWith(testError(4))), std::nullopt);

  EXPECT_TRUE(PRMPromiseAwait(PRMPromise<void>::doWork(queue_, [] {})));
  os::Error voidError;
  EXPECT_FALSE(PRMPromiseAwait(
      PRMPromise<void>::doWork(queue_, [] { return PRMResult<void>(testError(5)); }), &voidError));
  EXPECT_EQ(voidError, testError(5));
}

// Each case builds, on the main thread, a pending promise whose steps need a queue that the
// awaiting thread is on.
TEST_F(PRMPromiseTiming, AwaitRefusesAWaitThatCouldNeverEnd) {
  auto main = os::DispatchQueue::main();
  auto queue = queue_;
  struct Case {
    const char* name;
    std::function<PRMPromise<int>()> make;
  };
  const Case cases[] = {
      {"then on the main queue",
       [] { return PRMPromise<int>::resolvedWith(1).then([](int v) { return v; }); }},
      {"doWork on the main queue",
       [main] { return PRMPromise<int>::doWork(main, [] { return 1; }); }},
      {"a step on a worker after a step on the main queue",
       [main, queue] {
         return PRMPromise<int>::doWork(main, [] { return 1; }).then(queue, [](int v) {
           return v;
         });
       }},
      {"a delay handed over on the main queue",
       [main] { return PRMPromise<int>::resolvedWith(1).delay(main, 0); }},
      {"a retry on the main queue",
       [main] {
         return PRMPromise<int>::attempts(main, 1, 0, nullptr,
                                          [] { return PRMResult<int>(testError(1)); });
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto promise = c.make();
    os::log::Capture capture;
    os::Error error;
    EXPECT_EQ(PRMPromiseAwait(promise, &error), std::nullopt);
    EXPECT_EQ(error.domain, os::kDispatchErrorDomain);
    EXPECT_EQ(error.code, os::kDispatchErrorSyncOntoCurrentQueue);
    EXPECT_TRUE(capture.contains("PRMPromiseAwait"));
    ASSERT_TRUE(settles(promise));  // the loop turns: the promise was fine, only the wait was not
  }

  // A block of a serial queue awaiting later work of the same queue.
  os::log::Capture capture;
  std::optional<int> result;
  os::Error refusal;
  queue_->sync([&] {
    result = PRMPromiseAwait(PRMPromise<int>::doWork(queue, [] { return 1; }), &refusal);
  });
  EXPECT_EQ(result, std::nullopt);
  EXPECT_EQ(refusal.code, os::kDispatchErrorSyncOntoCurrentQueue);
}

TEST_F(PRMPromiseTiming, AwaitWaitsWhereTheStepsRunElsewhere) {
  // Steps on other queues are fine from the main thread...
  auto viaWorker =
      PRMPromise<int>::doWork(queue_, [] { return 1; }).then(queue_, [](int v) { return v + 1; });
  EXPECT_EQ(PRMPromiseAwait(viaWorker), 2);
  // ...and so is a worker queue's block awaiting work of the main queue that is already done.
  auto done = PRMPromise<int>::doWork([] { return 3; });
  ASSERT_TRUE(settles(done));
  std::optional<int> seen;
  queue_->sync([&] { seen = PRMPromiseAwait(done); });
  EXPECT_EQ(seen, 3);
}

TEST_F(PRMPromiseTiming, AwaitKnowsWhenAsyncWorkNoLongerNeedsItsQueue) {
  auto main = os::DispatchQueue::main();
  os::log::Capture capture;
  os::Error error;

  // async: the work needs the main queue until it has run; then its blocks may be called from
  // anywhere, here another thread.
  std::atomic<bool> workRan{false};
  auto fromThread = PRMPromise<int>::async(main, [&](auto fulfill, auto) {
    workRan = true;
    std::thread([fulfill] {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      fulfill(4);
    }).detach();
  });
  EXPECT_EQ(PRMPromiseAwait(fromThread, &error), std::nullopt);
  EXPECT_EQ(error.code, os::kDispatchErrorSyncOntoCurrentQueue);
  ASSERT_TRUE(os::RunLoop::main().runUntil([&] { return workRan.load(); }, kPatience));
  EXPECT_EQ(PRMPromiseAwait(fromThread), 4);

  // all: its handlers hand the values over on the main queue, also after its task has run.
  auto entry = PRMPromise<int>::pendingPromise();
  auto all = PRMPromise<int>::all(main, {entry});
  EXPECT_FALSE(settles(all, 0.05));
  error = {};
  EXPECT_EQ(PRMPromiseAwait(all, &error), std::nullopt);
  EXPECT_EQ(error.code, os::kDispatchErrorSyncOntoCurrentQueue);
  entry.fulfill(1);
  EXPECT_TRUE(settles(all));
}

// More awaiting blocks than the pool has threads: the waits never need a pool thread to wake.
TEST_F(PRMPromiseTiming, ManyBlockedAwaitsDoNotStarveTheirOwnWakeUps) {
  auto gate = PRMPromise<int>::pendingPromise();
  std::atomic<int> woke{0};
  const int blocks = os::threadPoolSize() * 2;
  for (int i = 0; i < blocks; ++i) {
    os::DispatchQueue::global()->async([gate, &woke] {
      if (PRMPromiseAwait(gate) == 1) ++woke;
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  gate.fulfill(1);
  EXPECT_TRUE(os::RunLoop::main().runUntil([&] { return woke == blocks; }, kPatience));
}

}  // namespace
