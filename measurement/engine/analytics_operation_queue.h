// The facade's gate in front of its serial queue: a width-one FIFO of operations whose only work
// is to move a block onto the target queue. It starts suspended and holds every operation until
// resumed, then passes them on in the order they were added; while running, an operation is
// passed on at once, inside the call that adds it, so the order of additions from concurrent
// threads is the order in which the blocks reach the target.
//
//   AnalyticsOperationQueue gate("APMAnalyticsOperationQueue", serialQueue);
//   gate.addOperation([] { logOnSerialQueue(); });   // held
//   serialQueue->async(createEngine);
//   gate.resume();                                    // now after createEngine, in order
//
// Thread-safe.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "os/dispatch/dispatch.h"
#include "os/sync/mutex.h"

class AnalyticsOperationQueue {
 public:
  // A suspended queue that passes its operations' blocks to `target`.
  AnalyticsOperationQueue(std::string name, std::shared_ptr<os::DispatchQueue> target);
  AnalyticsOperationQueue(const AnalyticsOperationQueue&) = delete;
  AnalyticsOperationQueue& operator=(const AnalyticsOperationQueue&) = delete;

  const std::string& name() const { return name_; }

  // Adds an operation that moves `block` onto the target queue.
  void addOperation(os::DispatchBlock block);
  // Holds the operations added from now on.
  void suspend();
  // Passes on the held operations, in order, and every later one at once.
  void resume();
  bool isSuspended() const;
  // Returns once every operation added before the call has moved its block on. Waits forever
  // while the queue is suspended with operations held, as the platform's queue does.
  void waitUntilAllOperationsAreFinished();

 private:
  const std::string name_;
  const std::shared_ptr<os::DispatchQueue> target_;
  mutable os::Mutex mutex_;
  os::ConditionVariable drained_;
  bool suspended_ OS_GUARDED_BY(mutex_) = true;
  std::vector<os::DispatchBlock> held_ OS_GUARDED_BY(mutex_);
};
