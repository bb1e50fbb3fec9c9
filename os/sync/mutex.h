// A std::mutex that clang's thread-safety analysis knows about, and its scoped lock.
//
//   os::Mutex mutex_;
//   std::vector<Item> items_ OS_GUARDED_BY(mutex_);
//   ...
//   os::MutexLock lock(mutex_);
//   items_.push_back(item);
//
// Waiting on a condition: os::ConditionVariable waits on an os::MutexLock
// (`condition_.wait(lock, [&] { return ready_; })`).
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "os/sync/thread_annotations.h"

namespace os {

class OS_CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() OS_ACQUIRE() { mutex_.lock(); }
  void unlock() OS_RELEASE() { mutex_.unlock(); }
  bool try_lock() OS_TRY_ACQUIRE(true) { return mutex_.try_lock(); }

 private:
  friend class ConditionVariable;
  std::mutex mutex_;
};

// Holds `mutex` from construction to destruction; unlock()/lock() in between let a caller drop
// it around a callback.
class OS_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) OS_ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~MutexLock() OS_RELEASE() {
    if (locked_) mutex_.unlock();
  }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  void lock() OS_ACQUIRE() {
    mutex_.lock();
    locked_ = true;
  }
  void unlock() OS_RELEASE() {
    locked_ = false;
    mutex_.unlock();
  }

 private:
  friend class ConditionVariable;
  Mutex& mutex_;
  bool locked_ = true;
};

// A std::condition_variable that waits on an os::MutexLock. It waits on the mutex itself, where
// std::condition_variable_any would take a mutex of its own around every wait and notify: two
// more futex calls for each hand-over between threads, which busy queues pay thousands of times
// a second.
class ConditionVariable {
 public:
  void notify_one() noexcept { condition_.notify_one(); }
  void notify_all() noexcept { condition_.notify_all(); }

  // `lock` must hold its mutex; it holds it again on return.
  void wait(MutexLock& lock) {
    std::unique_lock<std::mutex> native = adopt(lock);
    condition_.wait(native);
    native.release();
  }
  // The predicates read what the lock's mutex guards; the analysis cannot see that `lock` holds
  // it, so it is off for the three that call one.
  template <typename Predicate>
  void wait(MutexLock& lock, Predicate ready) OS_NO_THREAD_SAFETY_ANALYSIS {
    while (!ready()) wait(lock);
  }
  template <typename Clock, typename Duration>
  std::cv_status wait_until(MutexLock& lock,
                            const std::chrono::time_point<Clock, Duration>& deadline) {
    std::unique_lock<std::mutex> native = adopt(lock);
    std::cv_status status = condition_.wait_until(native, deadline);
    native.release();
    return status;
  }
  // Whether `ready` holds at the end, as std::condition_variable's own.
  template <typename Clock, typename Duration, typename Predicate>
  bool wait_until(MutexLock& lock, const std::chrono::time_point<Clock, Duration>& deadline,
                  Predicate ready) OS_NO_THREAD_SAFETY_ANALYSIS {
    while (!ready()) {
      if (wait_until(lock, deadline) == std::cv_status::timeout) return ready();
    }
    return true;
  }
  template <typename Rep, typename Period, typename Predicate>
  bool wait_for(MutexLock& lock, const std::chrono::duration<Rep, Period>& timeout,
                Predicate ready) OS_NO_THREAD_SAFETY_ANALYSIS {
    return wait_until(lock, std::chrono::steady_clock::now() + timeout, std::move(ready));
  }

 private:
  static std::unique_lock<std::mutex> adopt(MutexLock& lock) {
    return std::unique_lock<std::mutex>(lock.mutex_.mutex_, std::adopt_lock);
  }

  std::condition_variable condition_;
};

}  // namespace os
