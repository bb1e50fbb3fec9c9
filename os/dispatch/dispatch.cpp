#include "os/dispatch/dispatch.h"

#include <cxxabi.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <deque>
#include <exception>
#include <thread>

#include "os/dispatch/runloop.h"
#include "os/log/log.h"
#include "os/sync/mutex.h"

namespace os {
namespace {

// One queue a thread is on, linked to the queue (if any) whose block waits for it through a
// sync. Frames live on the stacks of the threads that run the blocks; a frame reached through
// `parent` belongs to a thread that is blocked in sync, so it stays valid and unchanged.
struct Frame {
  const DispatchQueue* queue;
  const Frame* parent;
};

thread_local const Frame* tCurrentFrame = nullptr;

class FrameScope {
 public:
  FrameScope(const DispatchQueue* queue, const Frame* parent)
      : frame_{queue, parent}, saved_(tCurrentFrame) {
    tCurrentFrame = &frame_;
  }
  ~FrameScope() { tCurrentFrame = saved_; }
  FrameScope(const FrameScope&) = delete;
  FrameScope& operator=(const FrameScope&) = delete;

 private:
  Frame frame_;
  const Frame* saved_;
};

bool threadIsOn(const DispatchQueue* queue) {
  for (const Frame* frame = tCurrentFrame; frame; frame = frame->parent) {
    if (frame->queue == queue) return true;
  }
  return false;
}

// Runs `block`, logging what it throws with the context that `describe()` returns; the context
// is only built when something was thrown, which keeps it off the path of every block.
template <typename Describe>
bool performCatching(const DispatchBlock& block, Describe describe) {
  std::string what;
  try {
    block();
    return true;
  } catch (abi::__forced_unwind&) {
    throw;  // thread cancellation must unwind the whole stack
  } catch (const std::exception& exception) {
    what = exception.what();
  } catch (...) {
    what = "an exception that is not a std::exception";
  }
  log::write(log::Level::Error, "Uncaught exception in " + describe() + ": " + what);
  return false;
}

template <typename Predicate>
bool waitUntil(os::ConditionVariable& condition, os::MutexLock& lock,
               MonotonicClock::time_point deadline, Predicate predicate) {
  if (deadline == MonotonicClock::time_point::max()) {
    condition.wait(lock, predicate);
    return true;
  }
  return condition.wait_until(lock, deadline, predicate);
}

}  // namespace

MonotonicClock::time_point monotonicDeadline(double seconds) {
  auto now = MonotonicClock::now();
  if (!(seconds > 0)) return now;
  // Past about thirty years the arithmetic would overflow; nothing waits that long.
  if (seconds > 1e9) return MonotonicClock::time_point::max();
  return now + std::chrono::ceil<MonotonicClock::duration>(std::chrono::duration<double>(seconds));
}

bool isMainThread() {
  thread_local const bool isMain = syscall(SYS_gettid) == getpid();
  return isMain;
}

bool performLoggingExceptions(std::string_view context, const DispatchBlock& block) {
  return performCatching(block, [context] { return std::string(context); });
}

namespace internal {
void threadCheckFailed(const char* expected, const char* file, int line) {
  log::write(log::Level::Error, std::string("Thread check failed at ") + file + ":" +
                                    std::to_string(line) + ": must run on " + expected);
  std::abort();
}
}  // namespace internal

int threadPoolSize() {
  static const int size = std::max(4, static_cast<int>(std::thread::hardware_concurrency()));
  return size;
}

// The threads that run every queue but the main one. Work of a higher priority is taken first.
// Created on first use and never destroyed, so that blocks still running while the process
// exits find it intact.
class ThreadPool {
 public:
  static ThreadPool& shared() {
    static ThreadPool* pool = new ThreadPool(threadPoolSize());
    return *pool;
  }

  // `block` is empty for a serial queue's drain.
  void submit(DispatchPriority priority, std::shared_ptr<DispatchQueue> queue,
              DispatchBlock block) {
    bool wake;
    {
      os::MutexLock lock(mutex_);
      work_[static_cast<size_t>(priority)].push_back({std::move(queue), std::move(block)});
      wake = idle_ > 0;
    }
    if (wake) workAvailable_.notify_one();
  }

 private:
  struct Work {
    std::shared_ptr<DispatchQueue> queue;
    DispatchBlock block;
  };

  explicit ThreadPool(int threads) {
    for (int i = 0; i < threads; ++i) std::thread([this] { run(); }).detach();
  }

  void run() {
    os::MutexLock lock(mutex_);
    for (;;) {
      auto queue = std::find_if(work_.begin(), work_.end(), [](auto& q) { return !q.empty(); });
      if (queue == work_.end()) {
        ++idle_;
        workAvailable_.wait(lock);
        --idle_;
        continue;
      }
      Work work = std::move(queue->front());
      queue->pop_front();
      lock.unlock();
      work.queue->runFromPool(std::move(work.block));
      // The block's captures and perhaps the queue itself are destroyed here, outside the
      // lock, since their destructors may queue more work.
      work = {};
      lock.lock();
    }
  }

  os::Mutex mutex_;
  os::ConditionVariable workAvailable_;
  std::array<std::deque<Work>, 3> work_ OS_GUARDED_BY(mutex_);  // indexed by DispatchPriority
  int idle_ OS_GUARDED_BY(mutex_) = 0;                          // threads waiting for work
};

namespace {

// One thread that holds the blocks of `after` until their time, then queues them.
class DelayedBlocks {
 public:
  static DelayedBlocks& shared() {
    static DelayedBlocks* delayed = new DelayedBlocks;
    return *delayed;
  }

  void add(MonotonicClock::time_point when, std::shared_ptr<DispatchQueue> queue,
           DispatchBlock block) {
    {
      os::MutexLock lock(mutex_);
      heap_.push_back({when, nextSequence_++, std::move(queue), std::move(block)});
      std::push_heap(heap_.begin(), heap_.end(), Later{});
    }
    changed_.notify_one();
  }

 private:
  struct Entry {
    MonotonicClock::time_point when;
    uint64_t sequence;  // keeps blocks due at the same time in the order they were added
    std::shared_ptr<DispatchQueue> queue;
    DispatchBlock block;
  };
  struct Later {
    bool operator()(const Entry& a, const Entry& b) const {
      return a.when != b.when ? a.when > b.when : a.sequence > b.sequence;
    }
  };

  DelayedBlocks() {
    std::thread([this] { run(); }).detach();
  }

  void run() {
    os::MutexLock lock(mutex_);
    for (;;) {
      if (heap_.empty()) {
        changed_.wait(lock);
        continue;
      }
      // A copy: add() may move the heap's entries while this thread waits.
      MonotonicClock::time_point when = heap_.front().when;
      if (MonotonicClock::now() < when) {
        changed_.wait_until(lock, when);
        continue;
      }
      std::pop_heap(heap_.begin(), heap_.end(), Later{});
      Entry entry = std::move(heap_.back());
      heap_.pop_back();
      lock.unlock();
      entry.queue->async(std::move(entry.block));
      entry = {};
      lock.lock();
    }
  }

  os::Mutex mutex_;
  os::ConditionVariable changed_;
  std::vector<Entry> heap_ OS_GUARDED_BY(mutex_);  // a min-heap by (when, sequence)
  uint64_t nextSequence_ OS_GUARDED_BY(mutex_) = 0;
};

}  // namespace

// A sync caller's turn on a serial queue (signalled by the queue's drain), or a main-queue sync
// (signalled by the main thread once `block` has run there).
struct DispatchQueue::Handoff {
  const DispatchBlock* block = nullptr;
  const Frame* callerFrame = nullptr;

  // Must hold the lock while notifying: the waiter's Handoff lives on its stack and is gone as
  // soon as wait() returns.
  void signal() {
    os::MutexLock lock(mutex);
    signalled = true;
    condition.notify_one();
  }
  void wait() {
    os::MutexLock lock(mutex);
    condition.wait(lock, [this]() OS_REQUIRES(mutex) { return signalled; });
  }

  os::Mutex mutex;
  os::ConditionVariable condition;
  bool signalled OS_GUARDED_BY(mutex) = false;
};

DispatchQueue::DispatchQueue(Private, std::string label, Kind kind, DispatchPriority priority)
    : label_(std::move(label)), kind_(kind), priority_(priority) {}

std::shared_ptr<DispatchQueue> DispatchQueue::serial(std::string label, DispatchPriority priority) {
  return std::make_shared<DispatchQueue>(Private{}, std::move(label), Kind::Serial, priority);
}

std::shared_ptr<DispatchQueue> DispatchQueue::concurrent(std::string label,
                                                         DispatchPriority priority) {
  return std::make_shared<DispatchQueue>(Private{}, std::move(label), Kind::Concurrent, priority);
}

const std::shared_ptr<DispatchQueue>& DispatchQueue::global(DispatchPriority priority) {
  // Never destroyed: pool threads may still run their blocks while the process exits.
  static const auto* queues = new std::array<std::shared_ptr<DispatchQueue>, 3>{
      concurrent("os.global.high", DispatchPriority::High),
      concurrent("os.global.default", DispatchPriority::Default),
      concurrent("os.global.low", DispatchPriority::Low),
  };
  return (*queues)[static_cast<size_t>(priority)];
}

const std::shared_ptr<DispatchQueue>& DispatchQueue::main() {
  static const auto* queue = new std::shared_ptr<DispatchQueue>(
      std::make_shared<DispatchQueue>(Private{}, "os.main", Kind::Main, DispatchPriority::High));
  return *queue;
}

void DispatchQueue::async(DispatchBlock block) {
  switch (kind_) {
    case Kind::Concurrent:
      ThreadPool::shared().submit(priority_, shared_from_this(), std::move(block));
      return;
    case Kind::Serial: {
      bool schedule;
      {
        os::MutexLock lock(mutex_);
        pending_.push_back({std::move(block)});
        schedule = !active_;
        active_ = true;
      }
      if (schedule) ThreadPool::shared().submit(priority_, shared_from_this(), {});
      return;
    }
    case Kind::Main: {
      {
        os::MutexLock lock(mutex_);
        pending_.push_back({std::move(block)});
      }
      RunLoop::main().wakeUp();
      return;
    }
  }
}

bool DispatchQueue::sync(const DispatchBlock& block, Error* error) {
  if (threadIsOn(this) || (kind_ == Kind::Main && isMainThread())) {
    std::string description =
        "sync onto the queue '" + label_ + "', which the calling thread is already on";
    log::write(log::Level::Error, description + "; the block was not run");
    return fail(error,
                Error(kDispatchErrorDomain, kDispatchErrorSyncOntoCurrentQueue, description));
  }
  switch (kind_) {
    case Kind::Concurrent:
      runBlock(block, tCurrentFrame);
      return true;
    case Kind::Serial: {
      Handoff turn;
      bool mustWait;
      {
        os::MutexLock lock(mutex_);
        mustWait = active_;
        if (mustWait) {
          pending_.push_back({{}, &turn});
        } else {
          active_ = true;
        }
      }
      if (mustWait) turn.wait();
      runBlock(block, tCurrentFrame);
      releaseSerial();
      return true;
    }
    case Kind::Main: {
      Handoff done;
      done.block = &block;
      done.callerFrame = tCurrentFrame;
      {
        os::MutexLock lock(mutex_);
        pending_.push_back({{}, &done});
      }
      RunLoop::main().wakeUp();
      done.wait();
      return true;
    }
  }
  return false;
}

void DispatchQueue::after(double seconds, DispatchBlock block) {
  auto when = monotonicDeadline(seconds);
  if (when == MonotonicClock::time_point::max()) return;
  DelayedBlocks::shared().add(when, shared_from_this(), std::move(block));
}

bool DispatchQueue::isCurrent() const {
  return threadIsOn(this) || (kind_ == Kind::Main && isMainThread());
}

void DispatchQueue::setSpecific(const void* key, void* value) {
  os::MutexLock lock(specificsMutex_);
  auto entry = std::find_if(specifics_.begin(), specifics_.end(),
                            [key](const auto& pair) { return pair.first == key; });
  if (entry == specifics_.end()) {
    if (value) specifics_.emplace_back(key, value);
  } else if (value) {
    entry->second = value;
  } else {
    specifics_.erase(entry);
  }
}

void* DispatchQueue::specific(const void* key) const {
  os::MutexLock lock(specificsMutex_);
  for (const auto& [entryKey, value] : specifics_) {
    if (entryKey == key) return value;
  }
  return nullptr;
}

void* DispatchQueue::getSpecific(const void* key) {
  for (const Frame* frame = tCurrentFrame; frame; frame = frame->parent) {
    if (void* value = frame->queue->specific(key)) return value;
  }
  return isMainThread() ? main()->specific(key) : nullptr;
}

void DispatchQueue::runFromPool(DispatchBlock block) {
  if (kind_ == Kind::Serial) {
    drainSerial();
  } else {
    runBlock(block, nullptr);
  }
}

void DispatchQueue::drainSerial() {
  // Takes the pending items in batches and runs them without the lock. Past kDrainBudget blocks
  // the queue goes back on the pool, behind other queues' work, so that a busy queue does not
  // keep a pool thread to itself.
  constexpr int kDrainBudget = 1024;
  for (int ran = 0; ran < kDrainBudget;) {
    {
      os::MutexLock lock(mutex_);
      if (pending_.empty()) {
        active_ = false;
        return;
      }
      batch_.swap(pending_);
    }
    for (size_t i = 0; i < batch_.size(); ++i, ++ran) {
      if (Handoff* turn = batch_[i].handoff) {
        {
          os::MutexLock lock(mutex_);
          pending_.insert(pending_.begin(), std::make_move_iterator(batch_.begin() + i + 1),
                          std::make_move_iterator(batch_.end()));
        }
        batch_.clear();
        turn->signal();  // the sync caller holds the queue now, and releases it after its block
        return;
      }
      runBlock(batch_[i].block, nullptr);
    }
    batch_.clear();
  }
  releaseSerial();
}

void DispatchQueue::releaseSerial() {
  bool schedule;
  {
    os::MutexLock lock(mutex_);
    schedule = !pending_.empty();
    active_ = schedule;
  }
  if (schedule) ThreadPool::shared().submit(priority_, shared_from_this(), {});
}

void DispatchQueue::runBlock(const DispatchBlock& block, const void* callerFrame) {
  FrameScope scope(this, static_cast<const Frame*>(callerFrame));
  performCatching(block, [this] { return "dispatch queue '" + label_ + "'"; });
}

bool runMainQueueBlocks() {
  if (!isMainThread()) return false;
  DispatchQueue& queue = *DispatchQueue::main();
  size_t count = queue.batch_.size() - queue.batchNext_;
  {
    os::MutexLock lock(queue.mutex_);
    count += queue.pending_.size();
  }
  // Each item leaves batch_ before it runs: its block may run a nested run loop, which calls
  // this again and goes on with the next items.
  bool ran = false;
  for (; count > 0; --count) {
    if (queue.batchNext_ == queue.batch_.size()) {
      queue.batch_.clear();
      queue.batchNext_ = 0;
      os::MutexLock lock(queue.mutex_);
      if (queue.pending_.empty()) break;
      queue.batch_.swap(queue.pending_);
    }
    DispatchQueue::Item item = std::move(queue.batch_[queue.batchNext_++]);
    ran = true;
    if (DispatchQueue::Handoff* done = item.handoff) {
      queue.runBlock(*done->block, done->callerFrame);
      done->signal();
    } else {
      queue.runBlock(item.block, tCurrentFrame);
    }
  }
  return ran;
}

struct DispatchGroup::State {
  os::Mutex mutex;
  os::ConditionVariable finished;
  long outstanding OS_GUARDED_BY(mutex) = 0;
  std::vector<std::pair<std::shared_ptr<DispatchQueue>, DispatchBlock>> notifications
      OS_GUARDED_BY(mutex);
};

DispatchGroup::DispatchGroup() : state_(std::make_shared<State>()) {}

void DispatchGroup::enter() {
  os::MutexLock lock(state_->mutex);
  ++state_->outstanding;
}

void DispatchGroup::leave() {
  decltype(State::notifications) notifications;
  {
    os::MutexLock lock(state_->mutex);
    if (state_->outstanding == 0) {
      log::write(log::Level::Error, "DispatchGroup::leave() without a matching enter(); ignored");
      return;
    }
    if (--state_->outstanding > 0) return;
    notifications.swap(state_->notifications);
    // Under the lock: a waiter that returns may destroy the group at once.
    state_->finished.notify_all();
  }
  for (auto& [queue, block] : notifications) queue->async(std::move(block));
}

void DispatchGroup::async(const std::shared_ptr<DispatchQueue>& queue, DispatchBlock block) {
  struct LeaveOnExit {
    DispatchGroup& group;
    ~LeaveOnExit() { group.leave(); }
  };
  enter();
  queue->async([group = *this, block = std::move(block)]() mutable {
    LeaveOnExit leave{group};
    block();
  });
}

bool DispatchGroup::wait(double timeoutSeconds) const {
  os::MutexLock lock(state_->mutex);
  return waitUntil(state_->finished, lock, monotonicDeadline(timeoutSeconds),
                   [this]() OS_REQUIRES(state_->mutex) { return state_->outstanding == 0; });
}

void DispatchGroup::notify(const std::shared_ptr<DispatchQueue>& queue, DispatchBlock block) {
  {
    os::MutexLock lock(state_->mutex);
    if (state_->outstanding > 0) {
      state_->notifications.emplace_back(queue, std::move(block));
      return;
    }
  }
  queue->async(std::move(block));
}

struct DispatchSemaphore::State {
  os::Mutex mutex;
  os::ConditionVariable available;
  long value OS_GUARDED_BY(mutex) = 0;
};

DispatchSemaphore::DispatchSemaphore(long value) : state_(std::make_shared<State>()) {
  state_->value = value;
}

void DispatchSemaphore::signal() {
  // Notifies under the lock: a waiter that returns may destroy the semaphore at once.
  os::MutexLock lock(state_->mutex);
  ++state_->value;
  state_->available.notify_one();
}

bool DispatchSemaphore::wait(double timeoutSeconds) {
  os::MutexLock lock(state_->mutex);
  if (!waitUntil(state_->available, lock, monotonicDeadline(timeoutSeconds),
                 [this]() OS_REQUIRES(state_->mutex) { return state_->value > 0; })) {
    return false;
  }
  --state_->value;
  return true;
}

}  // namespace os
