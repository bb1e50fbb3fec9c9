#include "os/sync/mutex.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

struct Flag {
  os::Mutex mutex;
  os::ConditionVariable changed;
  bool set OS_GUARDED_BY(mutex) = false;
};

TEST(ConditionVariableTest, WaiterSeesWhatTheNotifierSetUnderTheLock) {
  Flag flag;
  std::thread waiter([&] {
    os::MutexLock lock(flag.mutex);
    flag.changed.wait(lock, [&]() OS_REQUIRES(flag.mutex) { return flag.set; });
    // Still held on return: the notifier cannot have cleared the flag meanwhile.
    EXPECT_TRUE(flag.set);
  });
  {
    os::MutexLock lock(flag.mutex);
    flag.set = true;
  }
  flag.changed.notify_one();
  waiter.join();
}

TEST(ConditionVariableTest, TimedWaitsTellWhetherThePredicateHeld) {
  Flag flag;
  os::MutexLock lock(flag.mutex);
  auto isSet = [&]() OS_REQUIRES(flag.mutex) { return flag.set; };
  // Nobody sets it: each wait gives up at its deadline, false, with the lock held again.
  EXPECT_FALSE(flag.changed.wait_for(lock, 1ms, isSet));
  EXPECT_FALSE(flag.changed.wait_until(lock, std::chrono::steady_clock::now() + 1ms, isSet));
  EXPECT_EQ(flag.changed.wait_until(lock, std::chrono::steady_clock::now() + 1ms),
            std::cv_status::timeout);
  flag.set = true;
  // Already true: no wait at all, whatever the deadline.
  EXPECT_TRUE(flag.changed.wait_until(lock, std::chrono::steady_clock::time_point::min(), isSet));
  // The lock still works as a lock after the waits.
  lock.unlock();
  EXPECT_TRUE(flag.mutex.try_lock());
  flag.mutex.unlock();
  lock.lock();
}

TEST(ConditionVariableTest, NotifyAllWakesEveryWaiter) {
  Flag flag;
  int awake = 0;
  std::vector<std::thread> waiters;
  for (int i = 0; i < 4; ++i) {
    waiters.emplace_back([&] {
      os::MutexLock lock(flag.mutex);
      flag.changed.wait(lock, [&]() OS_REQUIRES(flag.mutex) { return flag.set; });
      ++awake;
    });
  }
  {
    os::MutexLock lock(flag.mutex);
    flag.set = true;
  }
  flag.changed.notify_all();
  for (std::thread& waiter : waiters) waiter.join();
  EXPECT_EQ(awake, 4);
}

}  // namespace
