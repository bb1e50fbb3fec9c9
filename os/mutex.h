// A std::mutex that clang's thread-safety analysis knows about, and its scoped lock.
//
//   os::Mutex mutex_;
//   std::vector<Item> items_ OS_GUARDED_BY(mutex_);
//   ...
//   os::MutexLock lock(mutex_);
//   items_.push_back(item);
//
// Waiting on a condition: os::MutexLock is a BasicLockable, so std::condition_variable_any
// waits on it directly (`condition_.wait(lock, [&] { return ready_; })`).
#pragma once

#include <mutex>

#include "os/thread_annotations.h"

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
  Mutex& mutex_;
  bool locked_ = true;
};

}  // namespace os
