#include "os/dispatch/runloop.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "os/log/log.h"
#include "testsupport/run_loop.h"

namespace os {
namespace {

using testsupport::kPatience;

double secondsSince(MonotonicClock::time_point start) {
  return std::chrono::duration<double>(MonotonicClock::now() - start).count();
}

TEST(RunLoop, MainQueueBlocksFromEightThreadsRunOnTheMainThreadInOrder) {
  ASSERT_TRUE(isMainThread());
  constexpr int kThreads = 8, kBlocksEach = 200;
  const auto mainThread = std::this_thread::get_id();
  std::vector<int> lastSeen(kThreads, -1);  // touched only on the main thread
  int ran = 0, offMain = 0, outOfOrder = 0;
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([&, t] {
      for (int i = 0; i < kBlocksEach; ++i) {
        DispatchQueue::main()->async([&, t, i] {
          if (std::this_thread::get_id() != mainThread || !isMainThread()) ++offMain;
          if (lastSeen[t] != i - 1) ++outOfOrder;
          lastSeen[t] = i;
          ++ran;
        });
      }
    });
  }
  EXPECT_TRUE(RunLoop::main().runUntil([&] { return ran == kThreads * kBlocksEach; }, kPatience));
  for (auto& poster : posters) poster.join();
  EXPECT_EQ(offMain, 0);
  EXPECT_EQ(outOfOrder, 0);
}

TEST(RunLoop, MainQueueSyncFromAPoolThreadRunsOnTheMainThread) {
  log::Capture capture;
  auto worker = DispatchQueue::serial("test.worker");
  std::atomic<bool> done{false};
  bool ranOnMain = false, syncReturned = false, syncBackOntoWorker = true;
  worker->async([&] {
    syncReturned = DispatchQueue::main()->sync([&] {
      ranOnMain = isMainThread();
      // The worker waits for this block: a sync back onto it would never return.
      syncBackOntoWorker = worker->sync([] {});
    });
    done = true;
  });
  EXPECT_TRUE(RunLoop::main().runUntil([&] { return done.load(); }, kPatience));
  EXPECT_TRUE(syncReturned);
  EXPECT_TRUE(ranOnMain);
  EXPECT_FALSE(syncBackOntoWorker);
}

TEST(RunLoop, TimersAndMainQueueBlocksRunDuringANestedRun) {
  bool timerFired = false, laterBlockRan = false, nestedResult = false, outerDone = false;
  bool laterBlockRanInsideNestedRun = false;
  auto timer = Timer::schedule(0.05, false, [&](Timer&) { timerFired = true; });
  DispatchQueue::main()->async([&] {
    // A modal session, as an alert's: the outer block waits inside the loop.
    nestedResult = RunLoop::main().runUntil([&] { return timerFired && laterBlockRan; }, kPatience);
    laterBlockRanInsideNestedRun = laterBlockRan;
    outerDone = true;
  });
  DispatchQueue::main()->async([&] { laterBlockRan = true; });
  EXPECT_TRUE(RunLoop::main().runUntil([&] { return outerDone; }, 2 * kPatience));
  EXPECT_TRUE(nestedResult);
  EXPECT_TRUE(laterBlockRanInsideNestedRun);
  timer->invalidate();
}

TEST(Timer, OneShotTimerFiresOnceNeverEarlyAndIsThenInvalid) {
  int fires = 0;
  double firedAfter = -1;
  auto start = MonotonicClock::now();
  auto timer = Timer::schedule(0.1, false, [&](Timer&) {
    ++fires;
    firedAfter = secondsSince(start);
  });
  EXPECT_TRUE(timer->isValid());
  EXPECT_TRUE(RunLoop::main().runUntil([&] { return fires > 0; }, kPatience));
  EXPECT_GE(firedAfter, 0.1);
  EXPECT_FALSE(timer->isValid());
  RunLoop::main().runUntil([] { return false; }, 0.05);
  EXPECT_EQ(fires, 1);
}

TEST(Timer, RepeatingTimerFollowsItsMovedFireDate) {
  int fires = 0;
  auto timer = Timer::schedule(0.02, true, [&](Timer& self) {
    if (++fires == 1) self.setFireDate(Timer::kDistantFuture);  // parked, still valid
  });
  ASSERT_TRUE(RunLoop::main().runUntil([&] { return fires == 1; }, kPatience));
  RunLoop::main().runUntil([] { return false; }, 0.15);
  EXPECT_EQ(fires, 1);
  EXPECT_TRUE(timer->isValid());

  auto moved = monotonicDeadline(0.1);
  timer->setFireDate(moved);
  EXPECT_EQ(timer->fireDate(), moved);
  ASSERT_TRUE(RunLoop::main().runUntil([&] { return fires == 2; }, kPatience));
  EXPECT_GE(MonotonicClock::now(), moved);
  // It goes on repeating from the moved date.
  EXPECT_TRUE(RunLoop::main().runUntil([&] { return fires == 4; }, kPatience));
  timer->invalidate();
  EXPECT_FALSE(timer->isValid());
  RunLoop::main().runUntil([] { return false; }, 0.05);
  EXPECT_EQ(fires, 4);
}

TEST(Timer, RepeatingTimerThatFallsBehindSkipsWhatItMissed) {
  int fires = 0;
  auto timer = Timer::schedule(0.02, true, [&](Timer&) { ++fires; });
  // The loop is stuck for about twelve intervals.
  DispatchQueue::main()->async([] { std::this_thread::sleep_for(std::chrono::milliseconds(250)); });
  RunLoop::main().runUntil([] { return false; }, 0.3);
  timer->invalidate();
  // One late fire, then at most a couple on the 20 ms grid, never the dozen missed ones.
  EXPECT_GE(fires, 1);
  EXPECT_LE(fires, 4);
}

TEST(Timer, ThrowingTimerIsLoggedAndKeepsFiring) {
  log::Capture capture;
  int fires = 0;
  auto timer = Timer::schedule(0.01, true, [&](Timer&) {
    ++fires;
    throw std::runtime_error("tick failed");
  });
  EXPECT_TRUE(RunLoop::main().runUntil([&] { return fires >= 2; }, kPatience));
  timer->invalidate();
  EXPECT_TRUE(capture.contains("tick failed"));
}

TEST(RunLoop, RunUntilTimesOutNeverEarlyAndTurnsAtLeastOnce) {
  auto start = MonotonicClock::now();
  EXPECT_FALSE(RunLoop::main().runUntil([] { return false; }, 0.05));
  EXPECT_GE(secondsSince(start), 0.05);

  bool ran = false;
  DispatchQueue::main()->async([&] { ran = true; });
  EXPECT_TRUE(RunLoop::main().runUntil([&] { return ran; }, 0));
}

TEST(RunLoop, StopEndsTheInnermostRunFromTheLoopOrAnotherThread) {
  bool innerReturned = false, afterInner = false;
  Timer::schedule(0.02, false, [](Timer&) { RunLoop::main().stop(); });
  DispatchQueue::main()->async([&] {
    // The timer stops this nested run, not the outer one.
    innerReturned = !RunLoop::main().runUntil([] { return false; }, kPatience);
    DispatchQueue::main()->async([&] {
      afterInner = true;
      RunLoop::main().stop();
    });
  });
  auto start = MonotonicClock::now();
  RunLoop::main().run();
  EXPECT_TRUE(innerReturned);
  EXPECT_TRUE(afterInner);
  EXPECT_LT(secondsSince(start), kPatience);

  std::atomic<bool> running{false};
  std::thread stopper([&] {
    while (!running) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    RunLoop::main().stop();
  });
  DispatchQueue::main()->async([&] { running = true; });
  RunLoop::main().run();
  stopper.join();
}

// A source fed through a pipe, like a window system's event connection.
class PipeSource : public RunLoopSource {
 public:
  explicit PipeSource(double maxSleep) : maxSleep_(maxSleep) { EXPECT_EQ(pipe(fds_), 0); }
  ~PipeSource() override {
    close(fds_[0]);
    close(fds_[1]);
  }
  void send() {
    char byte = 1;
    EXPECT_EQ(write(fds_[1], &byte, 1), 1);
  }
  double poll() override {
    ++polls;
    pollfd descriptor{fds_[0], POLLIN, 0};
    while (::poll(&descriptor, 1, 0) == 1) {
      char byte;
      if (read(fds_[0], &byte, 1) == 1) ++events;
    }
    if ((events > 0 && stopOnEvent) || (stopAtPolls > 0 && polls >= stopAtPolls)) {
      RunLoop::main().stop();
    }
    return maxSleep_;
  }
  int fileDescriptor() const override { return fds_[0]; }

  int polls = 0;
  int events = 0;
  bool stopOnEvent = false;
  int stopAtPolls = 0;  // stops the loop at this many polls (0: never)

 private:
  double maxSleep_;
  int fds_[2];
};

TEST(RunLoopSource, ItsDescriptorWakesTheLoop) {
  auto source = std::make_shared<PipeSource>(kWaitForever);
  source->stopOnEvent = true;
  RunLoop::main().addSource(source);
  bool gaveUp = false;
  auto guard = Timer::schedule(kPatience, false, [&](Timer&) {
    gaveUp = true;
    RunLoop::main().stop();
  });
  std::thread sender([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    source->send();
  });
  // run() sleeps until something wakes it: only the pipe can, before the guard timer.
  RunLoop::main().run();
  sender.join();
  guard->invalidate();
  RunLoop::main().removeSource(source.get());
  EXPECT_FALSE(gaveUp);
  EXPECT_EQ(source->events, 1);
}

TEST(RunLoopSource, TheLoopHonoursItsSleepAndStopsPollingItOnceRemoved) {
  auto source = std::make_shared<PipeSource>(0.02);
  source->stopAtPolls = 5;
  RunLoop::main().addSource(source);
  bool gaveUp = false;
  auto guard = Timer::schedule(kPatience, false, [&](Timer&) {
    gaveUp = true;
    RunLoop::main().stop();
  });
  RunLoop::main().run();
  guard->invalidate();
  // Five polls long before the guard: without the source's 20 ms the loop would sleep until it.
  EXPECT_FALSE(gaveUp);
  EXPECT_GE(source->polls, 5);

  RunLoop::main().removeSource(source.get());
  int pollsBefore = source->polls;
  RunLoop::main().runUntil([] { return false; }, 0.05);
  EXPECT_EQ(source->polls, pollsBefore);
}

TEST(RunLoop, RefusesToRunOnAnotherThread) {
  log::Capture capture;
  bool result = true;
  std::thread([&] { result = RunLoop::main().runUntil([] { return true; }, 0); }).join();
  EXPECT_FALSE(result);
  EXPECT_TRUE(capture.contains("only the main thread"));
}

}  // namespace
}  // namespace os
