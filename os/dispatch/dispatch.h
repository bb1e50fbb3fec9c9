// Dispatch queues: the platform's way of running blocks on other threads.
//
//   auto worker = os::DispatchQueue::serial("com.example.worker");
//   worker->async([] { touchTheDatabase(); });           // later, on a pool thread, in FIFO order
//   worker->sync([] { readSomething(); });               // now, on this thread, in turn
//   worker->after(0.5, [] { retry(); });                 // not before half a second from now
//   os::DispatchQueue::main()->async([] { updateUi(); });  // on the main thread's run loop
//
// Threads. All queues except the main queue run their blocks on ONE process-wide pool of
// max(4, std::thread::hardware_concurrency()) threads (see threadPoolSize()). The pool does not
// grow when blocks block, so a block must not wait for long on something that needs the pool
// while many others do the same. The three global queues are concurrent queues of high, default
// and low priority: a free pool thread takes work of a higher priority first (priority is an
// ordering, not an OS scheduling priority). A concurrent queue's blocks run in parallel on the
// pool; a serial queue runs at most one block at a time, in FIFO order, on some pool thread. The
// main queue's blocks run only on the main thread (the process's initial thread), when the main
// run loop (os/dispatch/runloop.h) turns.
//
// sync. `sync` runs its block on the calling thread: on a serial queue once the blocks queued
// before it have run, on a concurrent queue at once. A main-queue sync runs its block on the main
// thread, in turn, while the caller waits. The thread that runs a block is "on" that queue, and
// stays on it through nested syncs: inside A's block, `B->sync(...)` runs with the thread on B
// and on A. A `sync` onto a queue the thread is already on (also a concurrent one) would deadlock
// or break the queue's order, so it returns false with an error of kDispatchErrorDomain instead;
// so does `sync` onto the main queue from the main thread. Only the calling thread's own chain is
// checked: a sync that waits for a busy queue whose block in turn waits for the caller (say, the
// main thread syncs onto a worker whose running block syncs onto the main queue) still hangs.
//
// Checks. `queue->isCurrent()` and the queue-specific values tell code which queue it runs on:
//
//   static char kWorkerKey;
//   worker->setSpecific(&kWorkerKey, &kWorkerKey);
//   assert(os::DispatchQueue::getSpecific(&kWorkerKey) == &kWorkerKey);  // "on the worker queue"
//
// Every component states which queue its entry points run on, and checks it there:
//
//   void Database::insertOnWorkerQueue(...) {
//     OS_CHECK_ON(worker_);   // this thread runs a block of worker_ (or syncs through it)
//   void View::setFrame(...) {
//     OS_CHECK_ON_MAIN();     // the main thread
//
// A failed check logs the file, line and expected queue and aborts. The checks are compiled in
// unless the build is a Release build (TESSARO_THREAD_CHECKS, set by the top CMakeLists.txt), so
// debug, the default RelWithDebInfo and the sanitizer builds all enforce them.
//
// Failures. A block that throws is caught; the exception is logged at Level::Error with the
// queue's label, and the queue goes on with its next block. Nothing throws across a queue.
//
// Lifetime. Queues are held by std::shared_ptr. A pending block keeps its queue alive, so a
// caller may drop its reference right after `async`. `queue->sync([] {})` waits until the
// queue's earlier blocks have run.
#pragma once

#include <chrono>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "os/sync/mutex.h"
#include "os/value/error.h"

namespace os {

using DispatchBlock = std::function<void()>;
using MonotonicClock = std::chrono::steady_clock;

// A timeout that never expires, for the waits below and RunLoop::runUntil.
inline constexpr double kWaitForever = std::numeric_limits<double>::infinity();

// The monotonic time `seconds` from now; a negative or NaN delay is now, and an infinite (or
// absurdly long) one is MonotonicClock::time_point::max().
MonotonicClock::time_point monotonicDeadline(double seconds);

// True on the process's initial thread, which runs the main run loop.
bool isMainThread();

// Runs `block`, catching whatever it throws: the exception is logged at Level::Error as
// "Uncaught exception in <context>: <what()>" and false is returned. The queues, timers and run
// loop use it so that nothing throws across a queue or thread boundary.
bool performLoggingExceptions(std::string_view context, const DispatchBlock& block);

namespace internal {
[[noreturn]] void threadCheckFailed(const char* expected, const char* file, int line);
}  // namespace internal

#if TESSARO_THREAD_CHECKS
inline constexpr bool kThreadChecksEnabled = true;
#define OS_CHECK_ON_MAIN() \
  (::os::isMainThread()    \
       ? (void)0           \
       : ::os::internal::threadCheckFailed("the main thread", __FILE__, __LINE__))
#define OS_CHECK_ON(queue) \
  ((queue)->isCurrent() ? (void)0 : ::os::internal::threadCheckFailed(#queue, __FILE__, __LINE__))
#else
inline constexpr bool kThreadChecksEnabled = false;
#define OS_CHECK_ON_MAIN() ((void)0)
#define OS_CHECK_ON(queue) ((void)0)
#endif

// Error domain of `sync` refusals.
inline constexpr const char* kDispatchErrorDomain = "os.dispatch";
// Code of a `sync` onto a queue the calling thread is already on.
inline constexpr int kDispatchErrorSyncOntoCurrentQueue = 1;

enum class DispatchPriority { High, Default, Low };

// Number of threads of the pool that runs all non-main queues: max(4, hardware threads).
int threadPoolSize();

class DispatchQueue : public std::enable_shared_from_this<DispatchQueue> {
  struct Private {};

 public:
  enum class Kind { Serial, Concurrent, Main };

  // A new serial queue. `priority` orders its work on the pool against other queues'.
  static std::shared_ptr<DispatchQueue> serial(
      std::string label, DispatchPriority priority = DispatchPriority::Default);
  // A new concurrent queue: its blocks may run in parallel on the pool.
  static std::shared_ptr<DispatchQueue> concurrent(
      std::string label, DispatchPriority priority = DispatchPriority::Default);
  // The process-wide concurrent queue of `priority`.
  static const std::shared_ptr<DispatchQueue>& global(
      DispatchPriority priority = DispatchPriority::Default);
  // The queue whose blocks run on the main thread, drained by RunLoop::main().
  static const std::shared_ptr<DispatchQueue>& main();

  DispatchQueue(Private, std::string label, Kind kind, DispatchPriority priority);
  DispatchQueue(const DispatchQueue&) = delete;
  DispatchQueue& operator=(const DispatchQueue&) = delete;

  const std::string& label() const { return label_; }

  // Queues `block` and returns at once. Thread-safe.
  void async(DispatchBlock block);

  // Runs `block` in its turn (see the header comment) and returns after it. Returns false
  // without running it, logs, and fills `*error` when given, when the calling thread is already
  // on this queue. A block that throws is logged; sync still returns true.
  bool sync(const DispatchBlock& block, Error* error = nullptr);

  // Queues `block` on this queue when `seconds` have passed on the monotonic clock, never
  // earlier. An infinite delay never fires.
  void after(double seconds, DispatchBlock block);

  // True when the calling thread runs a block of this queue, directly or through nested syncs.
  // For the main queue: true on the main thread.
  bool isCurrent() const;

  // Attaches `value` to this queue under `key` (nullptr removes it). The queue does not own
  // `value`. Thread-safe.
  void setSpecific(const void* key, void* value);
  // The value under `key` of the queues the calling thread is on, innermost first (the main
  // queue last, on the main thread); nullptr when none of them has one.
  static void* getSpecific(const void* key);

 private:
  struct Handoff;
  // A block to run, or a sync caller waiting for its turn (block empty, handoff set).
  struct Item {
    DispatchBlock block;
    Handoff* handoff = nullptr;
  };
  friend class ThreadPool;
  friend bool runMainQueueBlocks();

  void runFromPool(DispatchBlock block);
  void drainSerial();
  void releaseSerial();
  void runBlock(const DispatchBlock& block, const void* callerFrame);
  void* specific(const void* key) const;

  const std::string label_;
  const Kind kind_;
  const DispatchPriority priority_;

  os::Mutex mutex_;
  // Serial and main queues: blocks not yet started, and sync callers waiting for their turn.
  std::vector<Item> pending_ OS_GUARDED_BY(mutex_);
  // The items that the drain took out of pending_ in one go; the two vectors swap back and
  // forth and keep their capacity. Touched only by the thread that holds the serial queue, or
  // by the main thread.
  std::vector<Item> batch_;
  size_t batchNext_ = 0;  // main queue: the next item of batch_ to run
  // Serial queues: a drain is scheduled or running, or a sync caller holds the queue.
  bool active_ OS_GUARDED_BY(mutex_) = false;

  mutable os::Mutex specificsMutex_;
  std::vector<std::pair<const void*, void*>> specifics_ OS_GUARDED_BY(specificsMutex_);
};

// Runs the main queue's blocks that were pending when it was called (blocks queued meanwhile
// wait for the next call), on the main thread; returns whether it ran any. RunLoop::main()
// calls it on every turn; nothing else should.
bool runMainQueueBlocks();

// Counts outstanding work and tells when all of it is done. Copies share one group.
//
//   os::DispatchGroup group;
//   for (auto& part : parts) group.async(os::DispatchQueue::global(), [part] { load(part); });
//   group.notify(os::DispatchQueue::main(), [] { allLoaded(); });
class DispatchGroup {
 public:
  DispatchGroup();

  // One more piece of outstanding work; each enter() needs one leave().
  void enter();
  // One piece of work done. A leave() without its enter() is logged and ignored.
  void leave();
  // enter(), then runs `block` on `queue` and leave()s after it (also when it throws).
  void async(const std::shared_ptr<DispatchQueue>& queue, DispatchBlock block);
  // Waits until no work is outstanding; false when `timeoutSeconds` passed first.
  bool wait(double timeoutSeconds = kWaitForever) const;
  // Queues `block` on `queue` as soon as no work is outstanding (at once when none is).
  void notify(const std::shared_ptr<DispatchQueue>& queue, DispatchBlock block);

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// A counting semaphore. Copies share one semaphore.
class DispatchSemaphore {
 public:
  explicit DispatchSemaphore(long value = 0);

  // Adds one to the count, waking a waiter.
  void signal();
  // Takes one from the count, waiting while it is zero; false when `timeoutSeconds` passed first.
  bool wait(double timeoutSeconds = kWaitForever);

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// Runs a block once per DispatchOnce object, whichever thread comes first; the others wait
// until it has run. A block that throws has not run: the next call tries again.
//
//   static os::DispatchOnce once;
//   once([] { buildTheTable(); });
class DispatchOnce {
 public:
  template <typename Block>
  void operator()(Block&& block) {
    std::call_once(flag_, std::forward<Block>(block));
  }

 private:
  std::once_flag flag_;
};

}  // namespace os
