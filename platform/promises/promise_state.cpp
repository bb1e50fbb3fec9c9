#include "platform/promises/promise_state.h"

#include <unordered_set>

#include "os/sync/mutex.h"

namespace {

struct DefaultQueue {
  os::Mutex mutex;
  std::shared_ptr<os::DispatchQueue> queue OS_GUARDED_BY(mutex);  // null: the main queue
};

// The process-wide settings are never destroyed: pool threads and the destructors of promises
// held in other static objects may still use them while the process exits.
DefaultQueue& defaultQueue() {
  static auto* shared = new DefaultQueue;
  return *shared;
}

}  // namespace

std::shared_ptr<os::DispatchQueue> PRMPromiseBase::defaultDispatchQueue() {
  auto& shared = defaultQueue();
  os::MutexLock lock(shared.mutex);
  return shared.queue ? shared.queue : os::DispatchQueue::main();
}

void PRMPromiseBase::setDefaultDispatchQueue(std::shared_ptr<os::DispatchQueue> queue) {
  if (!queue) return;
  auto& shared = defaultQueue();
  os::MutexLock lock(shared.mutex);
  shared.queue = std::move(queue);
}

os::DispatchGroup& PRMPromiseBase::dispatchGroup() {
  static auto* group = new os::DispatchGroup;  // never destroyed, as above
  return *group;
}

namespace promises_internal {

StateBase::StateBase(Status initial) : status_(initial) {
  if (initial == Status::Pending) {
    PRMPromiseBase::dispatchGroup().enter();
    inGroup_ = true;
  }
}

StateBase::~StateBase() {
  // A promise dropped while pending will never resolve: it stops counting as unfinished work.
  if (inGroup_) PRMPromiseBase::dispatchGroup().leave();
}

Status StateBase::status() const {
  os::MutexLock lock(mutex_);
  return status_;
}

std::optional<os::Error> StateBase::error() const {
  os::MutexLock lock(mutex_);
  if (status_ != Status::Rejected) return std::nullopt;
  return error_;
}

void StateBase::addPendingObject(std::shared_ptr<void> object) {
  os::MutexLock lock(mutex_);
  if (status_ == Status::Pending) pendingObjects_.push_back(std::move(object));
}

void StateBase::setResolvingStep(const Queue& queue, std::weak_ptr<StateBase> upstream) {
  os::MutexLock lock(mutex_);
  resolvingQueue_ = queue;
  upstream_ = std::move(upstream);
}

bool StateBase::waitWouldDeadlock() const {
  // Walks back along the pending promises this one waits for. A promise that follows itself
  // through a cycle never resolves anyway; the visited set only keeps the walk finite.
  std::unordered_set<const StateBase*> visited;
  std::shared_ptr<const StateBase> holder;
  const StateBase* state = this;
  while (state && visited.insert(state).second) {
    std::shared_ptr<os::DispatchQueue> queue;
    std::shared_ptr<StateBase> upstream;
    {
      os::MutexLock lock(state->mutex_);
      if (state->status_ != Status::Pending) return false;
      queue = state->resolvingQueue_.lock();
      upstream = state->upstream_.lock();
    }
    if (queue && queue->isCurrent()) return true;
    holder = std::move(upstream);
    state = holder.get();
  }
  return false;
}

bool StateBase::settleLocked(Status status) {
  if (status_ != Status::Pending) return false;
  status_ = status;
  pendingObjects_.clear();
  return true;
}

void StateBase::leaveGroupLocked() {
  if (!inGroup_) return;
  inGroup_ = false;
  PRMPromiseBase::dispatchGroup().leave();
}

void StateBase::releaseIteratively(std::shared_ptr<void> holder) {
  thread_local std::vector<std::shared_ptr<void>>* deferred = nullptr;
  if (deferred) {
    // An outer call on this thread is releasing already: it picks this one up.
    deferred->push_back(std::move(holder));
    return;
  }
  std::vector<std::shared_ptr<void>> queue;
  deferred = &queue;
  holder.reset();
  while (!queue.empty()) {
    auto next = std::move(queue.back());
    queue.pop_back();
    next.reset();
  }
  deferred = nullptr;
}

std::string describeError(const os::Error& error) {
  return "Error Domain=" + error.domain + " Code=" + std::to_string(error.code) + " \"" +
         error.localizedDescription() + "\"";
}

}  // namespace promises_internal
