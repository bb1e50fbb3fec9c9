// Carries a download's progress from the transfer thread to the main queue no more often than
// the screen can show it: at most once a frame, and for every change of whole percent (on a
// headless screen, only then). Between two posts the reports only overwrite one value, so the
// main thread's work does not grow with the bytes received, and a post that is still waiting
// shows the latest report when it runs.
//
//   // transfer thread
//   if (coalescer.offer(percent, os::clock::monotonic())) {
//     os::DispatchQueue::main()->async([&] { show(coalescer.take()); });
//   }
//
// A report of 100 or more is always shown: either it is posted, or a post that is waiting takes
// it. Thread-safe.
#pragma once

#include "os/sync/mutex.h"

class TSRProgressCoalescer {
 public:
  // `frameSeconds`: the shortest time between two posts within one whole percent; 0 for a
  // headless screen, which shows only changes of whole percent.
  explicit TSRProgressCoalescer(double frameSeconds) : frameSeconds_(frameSeconds) {}

  // Records `percent`, reported at `now` (seconds on any steady clock). True when the caller
  // must post a call of take() to the main queue; false when one is waiting already or the
  // report is too soon after the last.
  bool offer(double percent, double now);

  // The latest report; the next offer may post again. Main thread.
  double take();

 private:
  const double frameSeconds_;
  os::Mutex mutex_;
  double latest_ OS_GUARDED_BY(mutex_) = 0;
  bool waiting_ OS_GUARDED_BY(mutex_) = false;
  bool posted_ OS_GUARDED_BY(mutex_) = false;
  double lastPost_ OS_GUARDED_BY(mutex_) = 0;
  int lastWholePercent_ OS_GUARDED_BY(mutex_) = 0;
};
