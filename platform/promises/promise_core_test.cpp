#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "os/dispatch/runloop.h"
#include "platform/promises/promise.h"
#include "platform/promises/promise_test_support.h"

namespace {

using promises_test::kPatience;
using promises_test::settles;
using promises_test::testError;

TEST(PRMPromiseCore, ResolvesOnceAndIgnoresEveryLaterAttempt) {
  struct Case {
    const char* name;
    std::function<void(const PRMPromise<int>&)> resolveTwice;
    bool fulfilled;
  };
  const Case cases[] = {
      {"fulfil, fulfil",
       [](auto& p) {
         p.fulfill(1);
         p.fulfill(2);
       },
       true},
      {"fulfil, reject",
       [](auto& p) {
         p.fulfill(1);
         p.reject(testError(2));
       },
       true},
      {"reject, fulfil",
       [](auto& p) {
         p.reject(testError(1));
         p.fulfill(2);
       },
       false},
      {"reject, reject",
       [](auto& p) {
         p.reject(testError(1));
         p.reject(testError(2));
       },
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto promise = PRMPromise<int>::pendingPromise();
    EXPECT_TRUE(promise.isPending());
    c.resolveTwice(promise);
    EXPECT_FALSE(promise.isPending());
    EXPECT_EQ(promise.isFulfilled(), c.fulfilled);
    EXPECT_EQ(promise.isRejected(), !c.fulfilled);
    if (c.fulfilled) {
      EXPECT_EQ(promise.value(), 1);
      EXPECT_EQ(promise.error(), std::nullopt);
    } else {
      EXPECT_EQ(promise.value(), std::nullopt);
      EXPECT_EQ(promise.error(), testError(1));
    }
  }
}

TEST(PRMPromiseCore, ResolvedWithFulfilsWithAValueAndRejectsWithAnError) {
  EXPECT_EQ(PRMPromise<std::string>::resolvedWith("token").value(), "token");
  EXPECT_EQ(PRMPromise<std::string>::resolvedWith(testError(3)).error(), testError(3));
  EXPECT_TRUE(PRMPromise<void>::resolvedWith().isFulfilled());
  EXPECT_TRUE(PRMPromise<void>::resolvedWith(testError(4)).isRejected());
  // The platform's nil value is the null os::Value.
  auto nothing = PRMPromise<os::Value>::resolvedWith(nullptr);
  ASSERT_TRUE(nothing.isFulfilled());
  EXPECT_TRUE(nothing.value()->isNull());
}

TEST(PRMPromiseCore, HandlersNeverRunInsideTheCallThatAddsOrResolves) {
  // On the main queue nothing can run until this thread turns the loop, so a handler that ran
  // inline would see the flags still false.
  bool fulfilReturned = false;
  bool handlerSawFlag = false;
  auto pending = PRMPromise<int>::pendingPromise();
  pending.observe(
      os::DispatchQueue::main(), [&](int) { handlerSawFlag = fulfilReturned; }, [](auto&) {});
  pending.fulfill(1);
  fulfilReturned = true;

  bool observeReturned = false;
  bool lateHandlerSawFlag = false;
  auto resolved = PRMPromise<int>::resolvedWith(2);
  resolved.observe(
      os::DispatchQueue::main(), [&](int) { lateHandlerSawFlag = observeReturned; }, [](auto&) {});
  observeReturned = true;

  EXPECT_TRUE(os::RunLoop::main().runUntil([&] { return lateHandlerSawFlag; }, kPatience));
  EXPECT_TRUE(handlerSawFlag);
}

TEST(PRMPromiseCore, RejectHandlerReceivesTheError) {
  auto queue = os::DispatchQueue::serial("test.promises.reject");
  auto promise = PRMPromise<int>::pendingPromise();
  std::atomic<bool> fulfilRan{false};
  std::optional<os::Error> received;  // written on the queue, read after the sync below
  promise.observe(
      queue, [&](int) { fulfilRan = true; }, [&](const os::Error& error) { received = error; });
  promise.reject(testError(5));
  ASSERT_TRUE(PRMWaitForAllPromises(kPatience));
  queue->sync([] {});
  EXPECT_FALSE(fulfilRan);
  EXPECT_EQ(received, testError(5));
}

// Another thread adds observers while this one resolves: the handlers still run in the order in
// which they were added, those added before the resolution and those added after alike.
TEST(PRMPromiseCore, HandlersRunInTheOrderAddedWhileAnotherThreadResolves) {
  constexpr int kObservers = 2'000;
  for (int round = 0; round < 20; ++round) {
    auto queue = os::DispatchQueue::serial("test.promises.order");
    auto promise = PRMPromise<int>::pendingPromise();
    std::vector<int> order;  // touched only on the queue
    std::atomic<int> added{0};
    std::thread observer([&] {
      for (int i = 0; i < kObservers; ++i) {
        promise.observe(
            queue, [&order, i](int) { order.push_back(i); }, [](auto&) {});
        added.store(i + 1, std::memory_order_release);
      }
    });
    while (added.load(std::memory_order_acquire) < kObservers / 2) std::this_thread::yield();
    promise.fulfill(round);
    observer.join();
    ASSERT_TRUE(PRMWaitForAllPromises(kPatience));
    queue->sync([] {});
    ASSERT_EQ(order.size(), size_t{kObservers});
    for (int i = 0; i < kObservers; ++i) ASSERT_EQ(order[i], i) << "round " << round;
  }
}

TEST(PRMPromiseCore, EveryHandlerRunsOnceWhenThreadsResolveAndObserveTogether) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 500;
  auto promise = PRMPromise<int>::pendingPromise();
  std::atomic<int> ran{0};
  std::atomic<int> wrongValue{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        promise.observe(
            os::DispatchQueue::global(),
            [&](int value) {
              if (value != 7) ++wrongValue;
              ++ran;
            },
            [](auto&) {});
        if (t == 0 && i == kPerThread / 2) promise.fulfill(7);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  ASSERT_TRUE(PRMWaitForAllPromises(kPatience));
  EXPECT_EQ(ran, kThreads * kPerThread);
  EXPECT_EQ(wrongValue, 0);
}

TEST(PRMPromiseCore, PlainOperationsUseTheProcessWideDefaultQueue) {
  ASSERT_EQ(PRMPromiseBase::defaultDispatchQueue(), os::DispatchQueue::main());
  auto onMain = PRMPromise<int>::resolvedWith(1).then([](int) { return os::isMainThread(); });
  ASSERT_TRUE(settles(onMain));
  EXPECT_EQ(onMain.value(), true);

  auto worker = os::DispatchQueue::serial("test.promises.default");
  PRMPromiseBase::setDefaultDispatchQueue(worker);
  EXPECT_EQ(PRMPromise<double>::defaultDispatchQueue(), worker);  // shared by every T
  auto onWorker =
      PRMPromise<int>::resolvedWith(1).then([worker](int) { return worker->isCurrent(); });
  PRMPromiseBase::setDefaultDispatchQueue(nullptr);  // ignored
  EXPECT_EQ(PRMPromiseBase::defaultDispatchQueue(), worker);
  PRMPromiseBase::setDefaultDispatchQueue(os::DispatchQueue::main());
  ASSERT_TRUE(settles(onWorker));
  EXPECT_EQ(onWorker.value(), true);
}

TEST(PRMPromiseCore, WaitForAllPromisesAnswersWhetherEveryPromiseSettled) {
  ASSERT_TRUE(PRMWaitForAllPromises(kPatience));  // what earlier tests left behind

  auto pending = PRMPromise<int>::pendingPromise();
  EXPECT_FALSE(PRMWaitForAllPromises(0.2));
  pending.fulfill(1);
  EXPECT_TRUE(PRMWaitForAllPromises(0.2));

  std::optional dropped = PRMPromise<int>::pendingPromise();
  EXPECT_FALSE(PRMWaitForAllPromises(0.2));
  dropped.reset();
  EXPECT_TRUE(PRMWaitForAllPromises(0.2));

  // A handler counts until it has run, also after its promise settled.
  auto queue = os::DispatchQueue::serial("test.promises.group");
  os::DispatchSemaphore release;
  PRMPromise<int>::resolvedWith(1).observe(
      queue, [release](int) mutable { release.wait(); }, [](auto&) {});
  EXPECT_FALSE(PRMWaitForAllPromises(0.2));
  release.signal();
  EXPECT_TRUE(PRMWaitForAllPromises(kPatience));

  // On the main thread the wait turns the run loop, so main-queue handlers finish meanwhile.
  bool ran = false;
  PRMPromise<int>::resolvedWith(1).observe(
      os::DispatchQueue::main(), [&](int) { ran = true; }, [](auto&) {});
  EXPECT_TRUE(PRMWaitForAllPromises(kPatience));
  EXPECT_TRUE(ran);
}

TEST(PRMPromiseCore, DroppingTheHeadOfALongPendingChainReleasesEveryStep) {
  ASSERT_TRUE(PRMWaitForAllPromises(kPatience));
  auto queue = os::DispatchQueue::serial("test.promises.drop");
  {
    auto head = PRMPromise<int>::pendingPromise();
    auto step = head;
    for (int i = 0; i < 100'000; ++i) step = step.then(queue, [](int value) { return value + 1; });
    EXPECT_FALSE(PRMWaitForAllPromises(0));
  }
  // Each step was destroyed (a destructor per step, without recursing through them) and left
  // the promise group.
  EXPECT_TRUE(PRMWaitForAllPromises(0));
}

TEST(PRMPromiseCore, PendingObjectsLiveUntilTheResolution) {
  auto promise = PRMPromise<int>::pendingPromise();
  auto object = std::make_shared<int>(1);
  std::weak_ptr<int> watch = object;
  promise.addPendingObject(std::move(object));
  EXPECT_FALSE(watch.expired());
  promise.reject(testError(1));
  EXPECT_TRUE(watch.expired());

  auto late = std::make_shared<int>(2);
  promise.addPendingObject(late);  // already resolved: not kept
  EXPECT_EQ(late.use_count(), 1);
}

TEST(PRMPromiseCore, DescriptionTellsTheStateAndTheOutcome) {
  auto pending = PRMPromise<int>::pendingPromise();
  EXPECT_TRUE(pending.description().starts_with("<PRMPromise 0x"));
  EXPECT_TRUE(pending.description().ends_with("> Pending"));
  pending.fulfill(42);
  EXPECT_TRUE(pending.description().ends_with("> Fulfilled: 42")) << pending.description();
  EXPECT_TRUE(PRMPromise<void>::resolvedWith().description().ends_with("> Fulfilled: (null)"));
  auto rejected = PRMPromise<int>::resolvedWith(os::Error("com.example", 7, "Disk full"));
  EXPECT_TRUE(
      rejected.description().ends_with("> Rejected: Error Domain=com.example Code=7 \"Disk full\""))
      << rejected.description();
}

}  // namespace
