#include "measurement/engine/analytics_operation_queue.h"

#include <utility>

AnalyticsOperationQueue::AnalyticsOperationQueue(std::string name,
                                                 std::shared_ptr<os::DispatchQueue> target)
    : name_(std::move(name)), target_(std::move(target)) {}

void AnalyticsOperationQueue::addOperation(os::DispatchBlock block) {
  os::MutexLock lock(mutex_);
  if (suspended_) {
    held_.push_back(std::move(block));
    return;
  }
  // Under the lock: the target sees the blocks in the order the operations were added.
  target_->async(std::move(block));
}

void AnalyticsOperationQueue::suspend() {
  os::MutexLock lock(mutex_);
  suspended_ = true;
}

void AnalyticsOperationQueue::resume() {
  os::MutexLock lock(mutex_);
  if (!suspended_) return;
  suspended_ = false;
  for (os::DispatchBlock& block : held_) target_->async(std::move(block));
  held_.clear();
  drained_.notify_all();
}

bool AnalyticsOperationQueue::isSuspended() const {
  os::MutexLock lock(mutex_);
  return suspended_;
}

void AnalyticsOperationQueue::waitUntilAllOperationsAreFinished() {
  os::MutexLock lock(mutex_);
  drained_.wait(lock, [this]() OS_REQUIRES(mutex_) { return held_.empty(); });
}
