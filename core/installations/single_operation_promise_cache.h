// One operation at a time: callers that ask while a run is pending share its promise; once it
// resolves, the next caller starts a new run.
//
//   RVOInstallationsSingleOperationPromiseCache<Item> cache([weak] { return readOrCreate(); });
//   PRMPromise<Item> item = cache.getExistingPendingOrCreateNewPromise();   // shared while pending
//
// The pending promise is forgotten by a step on the promise library's default queue once it has
// resolved. Thread-safe: the handler is called under the cache's lock, so it must not use this
// cache (other caches are fine).
#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "os/sync/mutex.h"
#include "os/value/exception.h"
#include "platform/promises/promise.h"

template <typename T>
class RVOInstallationsSingleOperationPromiseCache {
 public:
  using NewOperationHandler = std::function<PRMPromise<T>()>;

  // Raises kInvalidArgumentException for an empty handler.
  explicit RVOInstallationsSingleOperationPromiseCache(NewOperationHandler newOperationHandler)
      : state_(std::make_shared<State>()) {
    if (!newOperationHandler) {
      throw os::Exception(os::kInvalidArgumentException,
                          "`newOperationHandler` must not be `nil`.");
    }
    state_->newOperationHandler = std::move(newOperationHandler);
  }

  PRMPromise<T> getExistingPendingOrCreateNewPromise() {
    os::MutexLock lock(state_->mutex);
    if (!state_->pendingPromise) {
      PRMPromise<T> promise = state_->newOperationHandler();
      state_->pendingPromise = promise;
      auto forget = [weak = std::weak_ptr<State>(state_), promise] {
        if (std::shared_ptr<State> state = weak.lock()) {
          os::MutexLock lock(state->mutex);
          if (state->pendingPromise == promise) state->pendingPromise.reset();
        }
      };
      promise.observe(
          PRMPromiseBase::defaultDispatchQueue(), [forget](const auto&...) { forget(); },
          [forget](const os::Error&) { forget(); });
    }
    return *state_->pendingPromise;
  }

  std::optional<PRMPromise<T>> getExistingPendingPromise() const {
    os::MutexLock lock(state_->mutex);
    return state_->pendingPromise;
  }

 private:
  struct State {
    NewOperationHandler newOperationHandler;
    os::Mutex mutex;
    std::optional<PRMPromise<T>> pendingPromise OS_GUARDED_BY(mutex);
  };
  // Shared with the forgetting steps, which may run after the cache is gone.
  const std::shared_ptr<State> state_;
};
