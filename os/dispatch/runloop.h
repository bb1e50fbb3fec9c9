// The main thread's run loop: it runs the main queue's blocks, fires timers and polls event
// sources, and sleeps in between until one of them has something to do.
//
//   auto tick = os::Timer::schedule(1.0, true, [](os::Timer&) { redraw(); });
//   os::RunLoop::main().run();  // until os::RunLoop::main().stop()
//
// Tests turn it until something has happened:
//
//   EXPECT_TRUE(os::RunLoop::main().runUntil([&] { return done; }, 5.0));
//
// Only the main thread (the process's initial thread) runs the loop. A block that the loop runs
// (a main-queue block, a timer, a source) may run it again: a nested run is a modal session that
// goes on running main-queue blocks, timers and sources until its own end (stop(), or its
// runUntil condition or deadline); then the outer run carries on. A timer whose block is running
// does not fire again inside that block's nested runs. There are no run-loop modes: every timer
// and source takes part in every run.
//
// Exceptions thrown by timer blocks and sources are caught and logged, like a queue's.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

#include "os/dispatch/dispatch.h"
#include "os/sync/mutex.h"

namespace os {

class Timer;

// Something the main run loop polls on every turn, such as a window system's event queue.
class RunLoopSource {
 public:
  virtual ~RunLoopSource() = default;

  // Handles whatever is pending, on the main thread, and returns how long the loop may sleep
  // before the next poll: 0 to be polled again at once, kWaitForever to sleep until something
  // else (a timer, a block, fileDescriptor(), wakeUp()) turns the loop.
  virtual double poll() = 0;
  // A descriptor whose readability turns a sleeping loop, or -1. poll() must consume what made
  // it readable, or the loop spins.
  virtual int fileDescriptor() const { return -1; }
};

class RunLoop {
 public:
  // The run loop of the main thread.
  static RunLoop& main();

  // Turns the loop until stop(). Main thread only (elsewhere it logs and returns at once).
  void run();
  // Turns the loop until `condition` holds, stop() is called or `timeoutSeconds` have passed
  // (at least one turn unless the condition holds at once); returns whether the condition
  // holds. The condition is checked on the main thread before the first turn, after every turn,
  // and at least every 10 ms, so that it may watch state that other threads change without
  // waking the loop. Main thread only.
  bool runUntil(const std::function<bool()>& condition, double timeoutSeconds);
  // Ends the innermost run() or runUntil() in progress after its current turn; does nothing when
  // none is. Thread-safe.
  void stop();
  // Makes a sleeping loop turn. Thread-safe and cheap when the loop is already awake.
  void wakeUp();

  // Adds `source` to every following turn. Thread-safe.
  void addSource(std::shared_ptr<RunLoopSource> source);
  // Removes `source`: once this returns it is not polled again. Thread-safe.
  void removeSource(const RunLoopSource* source);

 private:
  friend class Timer;
  struct Run {
    std::atomic<bool> stopRequested{false};
  };

  RunLoop();
  bool runWhile(const std::function<bool()>* condition, MonotonicClock::time_point deadline);
  // Runs the main queue, the due timers and the sources once; returns when the loop must turn
  // next at the latest.
  MonotonicClock::time_point turn();
  MonotonicClock::time_point fireTimers();
  MonotonicClock::time_point pollSources();
  void sleepUntil(MonotonicClock::time_point wake);
  std::vector<std::shared_ptr<RunLoopSource>> sourcesSnapshot();

  const int wakeFd_;  // an eventfd, written by wakeUp()
  // Set when wakeUp() has written to wakeFd_ and the loop has not turned since: more writes
  // would add nothing.
  std::atomic<bool> wakePending_{false};

  os::Mutex mutex_;
  std::vector<std::shared_ptr<Timer>> timers_ OS_GUARDED_BY(mutex_);  // the valid ones
  std::vector<std::shared_ptr<RunLoopSource>> sources_ OS_GUARDED_BY(mutex_);
  std::vector<Run*> runs_ OS_GUARDED_BY(mutex_);  // innermost last
};

// A one-shot or repeating timer on the main run loop; its block runs on the main thread. The
// loop keeps a valid timer alive, so a caller may drop the returned pointer.
class Timer {
  struct Private {};

 public:
  using Block = std::function<void(Timer& timer)>;

  // A fire date that never comes: setFireDate(kDistantFuture) parks a timer without
  // invalidating it.
  static constexpr MonotonicClock::time_point kDistantFuture = MonotonicClock::time_point::max();

  // Schedules a timer that first fires `intervalSeconds` from now and then, when `repeats`,
  // every `intervalSeconds` (at least 0.1 ms) after its fire date. A repeating timer that falls
  // behind skips the fires it missed instead of firing in a burst. A one-shot timer is
  // invalidated once it has fired. Thread-safe.
  static std::shared_ptr<Timer> schedule(double intervalSeconds, bool repeats, Block block);

  Timer(Private, double intervalSeconds, bool repeats, Block block);
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

  double interval() const { return interval_; }

  // When the timer fires next. Thread-safe.
  MonotonicClock::time_point fireDate() const;
  // Moves the next fire; a repeating timer goes on every interval from there. Thread-safe.
  void setFireDate(MonotonicClock::time_point date);
  // Stops the timer for good and releases its block. Thread-safe.
  void invalidate();
  bool isValid() const;

 private:
  friend class RunLoop;

  const double interval_;
  const bool repeats_;
  // All under RunLoop::main().mutex_, which the analysis cannot name from here.
  MonotonicClock::time_point fireDate_;
  bool valid_ = true;
  bool firing_ = false;
  std::shared_ptr<const Block> block_;
};

}  // namespace os
