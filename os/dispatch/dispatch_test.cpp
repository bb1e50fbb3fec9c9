#include "os/dispatch/dispatch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "os/log/log.h"
#include "testsupport/run_loop.h"

namespace os {
namespace {

using testsupport::kPatience;

TEST(DispatchQueue, SerialQueueRunsTenThousandBlocksInOrder) {
  auto queue = DispatchQueue::serial("test.order");
  std::vector<int> order;  // touched only on the queue
  for (int i = 0; i < 10'000; ++i) queue->async([&order, i] { order.push_back(i); });
  ASSERT_TRUE(queue->sync([] {}));
  ASSERT_EQ(order.size(), 10'000u);
  for (int i = 0; i < 10'000; ++i) ASSERT_EQ(order[i], i);
}

TEST(DispatchQueue, SerialQueueRunsOneBlockAtATimeWhateverThreadsFeedIt) {
  auto queue = DispatchQueue::serial("test.exclusive");
  std::atomic<int> running{0};
  std::atomic<int> maxRunning{0};
  std::atomic<int> ran{0};
  auto block = [&] {
    int now = ++running;
    int seen = maxRunning.load();
    while (now > seen && !maxRunning.compare_exchange_weak(seen, now)) {
    }
    std::this_thread::yield();
    --running;
    ++ran;
  };
  std::vector<std::thread> feeders;
  for (int t = 0; t < 4; ++t) {
    feeders.emplace_back([&] {
      for (int i = 0; i < 500; ++i) {
        if (i % 50 == 0) {
          queue->sync(block);
        } else {
          queue->async(block);
        }
      }
    });
  }
  for (auto& feeder : feeders) feeder.join();
  queue->sync([] {});
  EXPECT_EQ(ran, 2000);
  EXPECT_EQ(maxRunning, 1);
}

TEST(DispatchQueue, SyncRunsOnTheCallingThreadAfterEarlierBlocks) {
  auto queue = DispatchQueue::serial("test.sync");
  std::atomic<bool> earlierDone{false};
  queue->async([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    earlierDone = true;
  });
  std::thread::id ranOn;
  bool sawEarlier = false;
  EXPECT_TRUE(queue->sync([&] {
    ranOn = std::this_thread::get_id();
    sawEarlier = earlierDone;
  }));
  EXPECT_EQ(ranOn, std::this_thread::get_id());
  EXPECT_TRUE(sawEarlier);
}

TEST(DispatchQueue, SyncOntoTheCurrentQueueFailsInsteadOfDeadlocking) {
  struct Case {
    const char* name;
    std::shared_ptr<DispatchQueue> queue;
  };
  for (const Case& c : {Case{"serial", DispatchQueue::serial("test.self.serial")},
                        Case{"concurrent", DispatchQueue::concurrent("test.self.concurrent")},
                        Case{"global", DispatchQueue::global()}}) {
    SCOPED_TRACE(c.name);
    log::Capture capture;
    DispatchSemaphore done;
    bool result = true;
    bool innerRan = false;
    Error error;
    c.queue->async([&] {
      result = c.queue->sync([&] { innerRan = true; }, &error);
      done.signal();
    });
    ASSERT_TRUE(done.wait(kPatience));
    EXPECT_FALSE(result);
    EXPECT_FALSE(innerRan);
    EXPECT_EQ(error.domain, kDispatchErrorDomain);
    EXPECT_EQ(error.code, kDispatchErrorSyncOntoCurrentQueue);
    EXPECT_TRUE(capture.contains(c.queue->label()));
  }
}

TEST(DispatchQueue, NestedSyncBackOntoTheOuterQueueFails) {
  log::Capture capture;
  auto a = DispatchQueue::serial("test.nested.a");
  auto b = DispatchQueue::serial("test.nested.b");
  bool syncOntoB = false;
  bool syncBackOntoA = true;
  bool innerRan = false;
  bool aIsCurrentInsideB = false;
  Error error;
  DispatchSemaphore done;
  a->async([&] {
    syncOntoB = b->sync([&] {
      aIsCurrentInsideB = a->isCurrent();
      syncBackOntoA = a->sync([&] { innerRan = true; }, &error);
    });
    done.signal();
  });
  ASSERT_TRUE(done.wait(kPatience));
  EXPECT_TRUE(syncOntoB);
  EXPECT_TRUE(aIsCurrentInsideB);
  EXPECT_FALSE(syncBackOntoA);
  EXPECT_FALSE(innerRan);
  EXPECT_EQ(error.code, kDispatchErrorSyncOntoCurrentQueue);
  // Both queues work normally afterwards.
  EXPECT_TRUE(a->sync([] {}));
  EXPECT_TRUE(b->sync([] {}));
}

TEST(DispatchQueue, SyncOntoTheMainQueueFromTheMainThreadFails) {
  ASSERT_TRUE(isMainThread());
  log::Capture capture;
  Error error;
  bool ran = false;
  EXPECT_FALSE(DispatchQueue::main()->sync([&] { ran = true; }, &error));
  EXPECT_FALSE(ran);
  EXPECT_EQ(error.code, kDispatchErrorSyncOntoCurrentQueue);
}

TEST(DispatchQueue, AfterNeverFiresEarly) {
  auto queue = DispatchQueue::serial("test.after");
  const std::vector<double> delays = {0.1, 0.03, 0.15, 0.0, 0.1, 0.06};
  std::vector<double> elapsed(delays.size(), -1);
  DispatchGroup group;
  auto start = MonotonicClock::now();
  for (size_t i = 0; i < delays.size(); ++i) {
    group.enter();
    queue->after(delays[i], [&, i] {
      elapsed[i] = std::chrono::duration<double>(MonotonicClock::now() - start).count();
      group.leave();
    });
  }
  ASSERT_TRUE(group.wait(kPatience));
  for (size_t i = 0; i < delays.size(); ++i) {
    EXPECT_GE(elapsed[i], delays[i]) << "block " << i;
  }
}

TEST(DispatchQueue, ThrowingBlockIsLoggedAndTheQueueGoesOn) {
  log::Capture capture;
  auto queue = DispatchQueue::serial("test.throwing");
  bool nextRan = false;
  queue->async([] { throw std::runtime_error("disk on fire"); });
  queue->async([] { throw 42; });
  queue->async([&] { nextRan = true; });
  ASSERT_TRUE(queue->sync([] { throw std::logic_error("sync block failed"); }));
  EXPECT_TRUE(nextRan);
  auto lines = capture.lines();
  ASSERT_EQ(lines.size(), 3u);
  for (const auto& line : lines) {
    EXPECT_EQ(line.level, log::Level::Error);
    EXPECT_NE(line.message.find("test.throwing"), std::string::npos) << line.message;
  }
  EXPECT_NE(lines[0].message.find("disk on fire"), std::string::npos);
  EXPECT_NE(lines[1].message.find("not a std::exception"), std::string::npos);
  EXPECT_NE(lines[2].message.find("sync block failed"), std::string::npos);
}

TEST(DispatchQueue, ConcurrentQueueRunsBlocksInParallel) {
  // Each block waits for the other: they only both finish when they run at the same time.
  auto queue = DispatchQueue::concurrent("test.parallel");
  DispatchSemaphore firstStarted, secondStarted;
  std::atomic<int> finished{0};
  DispatchGroup group;
  group.async(queue, [&] {
    firstStarted.signal();
    if (secondStarted.wait(kPatience)) ++finished;
  });
  group.async(queue, [&] {
    secondStarted.signal();
    if (firstStarted.wait(kPatience)) ++finished;
  });
  ASSERT_TRUE(group.wait(2 * kPatience));
  EXPECT_EQ(finished, 2);
}

TEST(DispatchQueue, PendingBlocksKeepAQueueAliveAndAnIdleQueueIsDestroyed) {
  std::weak_ptr<DispatchQueue> weak;
  DispatchSemaphore release;
  std::atomic<int> ran{0};
  DispatchGroup group;
  {
    auto queue = DispatchQueue::serial("test.lifetime");
    weak = queue;
    group.async(queue, [&] { release.wait(kPatience); });
    for (int i = 0; i < 100; ++i) group.async(queue, [&] { ++ran; });
  }
  EXPECT_FALSE(weak.expired());
  release.signal();
  ASSERT_TRUE(group.wait(kPatience));
  EXPECT_EQ(ran, 100);
  // The pool thread lets go of the queue right after its last block.
  for (int i = 0; i < 1000 && !weak.expired(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_TRUE(weak.expired());
}

TEST(DispatchQueue, IsCurrentAndSpecificValuesFollowTheQueueTheThreadIsOn) {
  static char kWorkerKey;
  static char kOtherKey;
  int workerValue = 1;
  int helperValue = 2;
  auto worker = DispatchQueue::serial("test.worker");
  auto helper = DispatchQueue::concurrent("test.helper");
  worker->setSpecific(&kWorkerKey, &workerValue);
  helper->setSpecific(&kOtherKey, &helperValue);
  helper->setSpecific(&kWorkerKey, nullptr);  // removing what was never set is harmless

  EXPECT_FALSE(worker->isCurrent());
  EXPECT_EQ(DispatchQueue::getSpecific(&kWorkerKey), nullptr);

  bool onWorker = false, onHelperInside = false, onWorkerInside = false;
  void *workerKeyOnWorker = nullptr, *workerKeyInside = nullptr, *otherKeyInside = nullptr;
  worker->sync([&] {
    onWorker = worker->isCurrent();
    workerKeyOnWorker = DispatchQueue::getSpecific(&kWorkerKey);
    helper->sync([&] {
      onHelperInside = helper->isCurrent();
      onWorkerInside = worker->isCurrent();
      workerKeyInside = DispatchQueue::getSpecific(&kWorkerKey);
      otherKeyInside = DispatchQueue::getSpecific(&kOtherKey);
    });
  });
  EXPECT_TRUE(onWorker);
  EXPECT_EQ(workerKeyOnWorker, &workerValue);
  EXPECT_TRUE(onHelperInside);
  EXPECT_TRUE(onWorkerInside);
  EXPECT_EQ(workerKeyInside, &workerValue);
  EXPECT_EQ(otherKeyInside, &helperValue);

  // A block on another queue is not on the worker, even from a pool thread.
  DispatchSemaphore done;
  bool workerCurrentElsewhere = true;
  void* workerKeyElsewhere = &workerValue;
  helper->async([&] {
    workerCurrentElsewhere = worker->isCurrent();
    workerKeyElsewhere = DispatchQueue::getSpecific(&kWorkerKey);
    done.signal();
  });
  ASSERT_TRUE(done.wait(kPatience));
  EXPECT_FALSE(workerCurrentElsewhere);
  EXPECT_EQ(workerKeyElsewhere, nullptr);

  worker->setSpecific(&kWorkerKey, nullptr);
  void* afterRemoval = &workerValue;
  worker->sync([&] { afterRemoval = DispatchQueue::getSpecific(&kWorkerKey); });
  EXPECT_EQ(afterRemoval, nullptr);
}

TEST(DispatchQueue, MainQueueIsCurrentOnTheMainThreadOnly) {
  EXPECT_TRUE(DispatchQueue::main()->isCurrent());
  bool onMainFromPool = true;
  DispatchSemaphore done;
  DispatchQueue::global()->async([&] {
    onMainFromPool = DispatchQueue::main()->isCurrent() || isMainThread();
    done.signal();
  });
  ASSERT_TRUE(done.wait(kPatience));
  EXPECT_FALSE(onMainFromPool);
}

TEST(DispatchQueueDeathTest, ThreadChecksPassOnTheirQueueAndAbortElsewhere) {
  if (!os::kThreadChecksEnabled) GTEST_SKIP() << "thread checks are compiled out in Release";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto worker = os::DispatchQueue::serial("com.example.checked");
  worker->sync([&] { OS_CHECK_ON(worker); });
  OS_CHECK_ON_MAIN();
  EXPECT_DEATH(OS_CHECK_ON(worker),
               "Thread check failed at .*dispatch_test.cpp:[0-9]+: must run on worker");
  EXPECT_DEATH(std::thread([] { OS_CHECK_ON_MAIN(); }).join(), "must run on the main thread");
}

TEST(DispatchGroup, WaitsForAThousandBlocksOverTheGlobalQueues) {
  DispatchGroup group;
  std::atomic<int> ran{0};
  const DispatchPriority priorities[] = {DispatchPriority::High, DispatchPriority::Default,
                                         DispatchPriority::Low};
  for (int i = 0; i < 1000; ++i) {
    group.async(DispatchQueue::global(priorities[i % 3]), [&] {
      if (ran.fetch_add(1) % 97 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
  }
  ASSERT_TRUE(group.wait(kPatience));
  EXPECT_EQ(ran, 1000);
}

TEST(DispatchGroup, WaitTimesOutAndNotifyRunsOnceAllWorkHasLeft) {
  log::Capture capture;
  DispatchGroup group;
  group.enter();
  group.enter();

  auto start = MonotonicClock::now();
  EXPECT_FALSE(group.wait(0.05));
  EXPECT_GE(MonotonicClock::now() - start, std::chrono::milliseconds(50));

  auto queue = DispatchQueue::serial("test.notify");
  std::atomic<int> notified{0};
  group.notify(queue, [&] { ++notified; });
  group.leave();
  queue->sync([] {});
  EXPECT_EQ(notified, 0);
  group.leave();
  EXPECT_TRUE(group.wait(kPatience));
  queue->sync([] {});
  EXPECT_EQ(notified, 1);

  // On an empty group, notify runs at once; an extra leave is logged and ignored.
  group.notify(queue, [&] { ++notified; });
  queue->sync([] {});
  EXPECT_EQ(notified, 2);
  group.leave();
  EXPECT_TRUE(capture.contains("without a matching enter"));
  EXPECT_TRUE(group.wait(0));
}

TEST(DispatchGroup, ThrowingBlockStillLeavesTheGroup) {
  log::Capture capture;
  DispatchGroup group;
  auto queue = DispatchQueue::serial("test.group.throwing");
  group.async(queue, [] { throw std::runtime_error("group block failed"); });
  EXPECT_TRUE(group.wait(kPatience));
  // The group is left while the exception unwinds; the queue logs it just after.
  queue->sync([] {});
  EXPECT_TRUE(capture.contains("group block failed"));
}

TEST(DispatchSemaphore, CountsSignalsAndTimesOut) {
  DispatchSemaphore semaphore(1);
  EXPECT_TRUE(semaphore.wait(0));
  auto start = MonotonicClock::now();
  EXPECT_FALSE(semaphore.wait(0.05));
  EXPECT_GE(MonotonicClock::now() - start, std::chrono::milliseconds(50));

  DispatchQueue::global()->after(0.02, [semaphore]() mutable {
    semaphore.signal();
    semaphore.signal();
  });
  EXPECT_TRUE(semaphore.wait(kPatience));
  EXPECT_TRUE(semaphore.wait(kPatience));
  EXPECT_FALSE(semaphore.wait(0));
}

TEST(DispatchOnce, RunsTheBlockOnceAcrossThreads) {
  DispatchOnce once;
  std::atomic<int> runs{0};
  DispatchGroup group;
  for (int i = 0; i < 16; ++i) {
    group.async(DispatchQueue::global(), [&] { once([&] { ++runs; }); });
  }
  ASSERT_TRUE(group.wait(kPatience));
  EXPECT_EQ(runs, 1);
}

}  // namespace
}  // namespace os
