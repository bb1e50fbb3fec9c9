// What every PRMPromise shares whatever its value type: the error domain and codes, the default
// queue and the promise group; and, in promises_internal, the state behind the handles. Include
// platform/promises/promise.h rather than this header.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "os/dispatch/dispatch.h"
#include "os/sync/mutex.h"
#include "os/value/error.h"

// Error domain of the promise library's own errors.
inline constexpr const char* kPRMPromiseErrorDomain = "com.vedodo.PRMPromises.Error";
// Code of the rejection of timeout(): the interval passed before the promise resolved.
inline constexpr int64_t kPRMPromiseErrorCodeTimedOut = 1;
// Code of the rejection of validate(): the predicate refused the value.
inline constexpr int64_t kPRMPromiseErrorCodeValidationFailure = 2;

// Settings shared by every PRMPromise<T>, whatever its T.
class PRMPromiseBase {
 public:
  // The queue on which every operation without an explicit queue runs its handlers: the main
  // queue unless setDefaultDispatchQueue() changed it. Thread-safe.
  static std::shared_ptr<os::DispatchQueue> defaultDispatchQueue();
  // Changes the default queue for the whole process; operations started afterwards use it.
  // A null queue is ignored. Thread-safe.
  static void setDefaultDispatchQueue(std::shared_ptr<os::DispatchQueue> queue);
  // The group that counts unfinished promise work: every pending promise (until it resolves or
  // is destroyed) and every handler dispatched by a promise (until it has run).
  static os::DispatchGroup& dispatchGroup();
};

namespace promises_internal {

using Queue = std::shared_ptr<os::DispatchQueue>;

// What a promise of T holds when fulfilled: T itself, or std::monostate for PRMPromise<void>.
template <typename T>
using Stored = std::conditional_t<std::is_void_v<T>, std::monostate, T>;

enum class Status { Pending, Fulfilled, Rejected };

// The part of a promise's state that does not depend on its value type: the lock, the status,
// the error, the membership of the promise group, and what await() needs to know to refuse a
// wait that could never end.
class StateBase {
 public:
  StateBase(const StateBase&) = delete;
  StateBase& operator=(const StateBase&) = delete;

  Status status() const;
  // The error of a rejected promise, nullopt otherwise.
  std::optional<os::Error> error() const;
  // Keeps `object` alive until the promise resolves (at once dropped when it already has).
  void addPendingObject(std::shared_ptr<void> object);

  // Records that a step running on `queue` resolves this promise, possibly after `upstream`
  // resolves; a null queue and upstream record that nothing of this library does any more.
  void setResolvingStep(const Queue& queue, std::weak_ptr<StateBase> upstream);
  // True when the promise is pending and a step it waits for, on this promise or on the
  // pending promises it waits for, runs on a queue the calling thread is on: a wait here would
  // never end.
  bool waitWouldDeadlock() const;

  // Only from a handler dispatched by this promise, or after a wait saw it resolved: the
  // status and the error no longer change then, so no lock is needed.
  Status settledStatus() const { return status_; }
  const os::Error& settledError() const { return error_; }

 protected:
  // A pending state joins the promise group; a resolved one never does.
  explicit StateBase(Status initial);
  ~StateBase();

  // With mutex_ held: moves a pending promise to `status` and drops its pending objects;
  // false when it was already resolved.
  bool settleLocked(Status status) OS_REQUIRES(mutex_);
  // With mutex_ held, after the observers were dispatched: the promise leaves the group.
  void leaveGroupLocked() OS_REQUIRES(mutex_);

  // Destroys `holder` without recursing into the destructors it triggers. Dropping the head of
  // a long pending chain destroys every promise after it, each from the destructor of the one
  // before; this keeps the stack flat however long the chain is.
  static void releaseIteratively(std::shared_ptr<void> holder);

  mutable os::Mutex mutex_;
  // status_, error_ and value_ are written under mutex_ while pending and never change once
  // settled, when settledStatus() and its kind read them without it: the annotation would
  // reject those reads, so none is given.
  Status status_;
  os::Error error_;  // set when rejected
  bool inGroup_ OS_GUARDED_BY(mutex_) = false;
  std::weak_ptr<os::DispatchQueue> resolvingQueue_ OS_GUARDED_BY(mutex_);
  std::weak_ptr<StateBase> upstream_ OS_GUARDED_BY(mutex_);
  std::vector<std::shared_ptr<void>> pendingObjects_ OS_GUARDED_BY(mutex_);
};

// The state of one promise of T, shared by its handles and by the steps that resolve it.
template <typename T>
class State final : public StateBase, public std::enable_shared_from_this<State<T>> {
 public:
  // Runs once the promise has resolved; reads the outcome through settled*().
  using Handler = std::function<void(const State&)>;

  struct Private {};
  State(Private, Status initial) : StateBase(initial) {}
  ~State() {
    if (!observers_.empty()) {
      releaseIteratively(std::make_shared<std::vector<Observer>>(std::move(observers_)));
    }
  }

  static std::shared_ptr<State> makePending() {
    return std::make_shared<State>(Private{}, Status::Pending);
  }
  static std::shared_ptr<State> makeFulfilled(Stored<T> value) {
    auto state = std::make_shared<State>(Private{}, Status::Fulfilled);
    state->value_.emplace(std::move(value));
    return state;
  }
  static std::shared_ptr<State> makeRejected(os::Error error) {
    auto state = std::make_shared<State>(Private{}, Status::Rejected);
    state->error_ = std::move(error);
    return state;
  }

  // Fulfils a pending promise and dispatches its observers in the order they were added;
  // ignored once resolved.
  void fulfill(Stored<T> value) {
    os::MutexLock lock(mutex_);
    if (!settleLocked(Status::Fulfilled)) return;
    value_.emplace(std::move(value));
    notifyLocked();
  }
  // Rejects a pending promise, as fulfill() does.
  void reject(os::Error error) {
    os::MutexLock lock(mutex_);
    if (!settleLocked(Status::Rejected)) return;
    error_ = std::move(error);
    notifyLocked();
  }

  // Dispatches handler(*this) to `queue`, as a member of the promise group, once the promise
  // has resolved; at once when it already has. Never runs the handler inside this call. A null
  // queue runs the handler on the resolving thread instead (at once when already resolved),
  // for waits that only wake a thread.
  void observe(const Queue& queue, Handler handler) {
    os::MutexLock lock(mutex_);
    if (status_ == Status::Pending) {
      observers_.push_back({queue, std::move(handler)});
    } else {
      runLocked(queue, std::move(handler));
    }
  }

  // The value of a fulfilled promise, nullopt otherwise.
  std::optional<Stored<T>> value() const {
    os::MutexLock lock(mutex_);
    return value_;
  }
  // See settledStatus().
  const Stored<T>& settledValue() const { return *value_; }

 private:
  struct Observer {
    Queue queue;
    Handler handler;
  };

  // Observers are dispatched under the lock, so that one added by another thread right after
  // the resolution cannot overtake them; dispatching only queues work.
  void notifyLocked() OS_REQUIRES(this->mutex_) {
    auto observers = std::move(observers_);
    observers_.clear();
    for (auto& observer : observers) runLocked(observer.queue, std::move(observer.handler));
    leaveGroupLocked();
  }

  void runLocked(const Queue& queue, Handler handler) OS_REQUIRES(this->mutex_) {
    if (!queue) {
      handler(*this);
      return;
    }
    PRMPromiseBase::dispatchGroup().async(
        queue, [self = this->shared_from_this(), handler = std::move(handler)] { handler(*self); });
  }

  std::optional<Stored<T>> value_;                         // see status_
  std::vector<Observer> observers_ OS_GUARDED_BY(mutex_);  // dropped at resolution
};

// "Error Domain=<domain> Code=<code> "<localized description>"", as the platform describes
// an error.
std::string describeError(const os::Error& error);

}  // namespace promises_internal
