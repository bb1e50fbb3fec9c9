// Time and waiting: delay and timeout of one promise, PRMPromiseAwait and
// PRMWaitForAllPromises. Included by platform/promises/promise.h.
//
//   std::optional<Token> token = PRMPromiseAwait(fetchToken(), &error);   // blocks this thread
//   if (!token) report(error);
//
// PRMPromiseAwait refuses a wait that could never end: when the promise is pending and a step
// it waits for runs on a queue the calling thread is on (the main thread awaiting work queued
// on the main queue, a block of a serial queue awaiting later work of the same queue), it
// returns at once with the error kDispatchErrorSyncOntoCurrentQueue of os::kDispatchErrorDomain,
// the same refusal as DispatchQueue::sync onto the current queue, and logs it. Only the steps
// that this library runs are known: the work of async() and of the wrappers needs its queue until
// it has run, and what its blocks are handed to afterwards is not followed; nor is a pending
// promise that the caller's own code will fulfil from a busy queue, nor the promise that a
// continuation will return before it has returned it.
#pragma once

#include <optional>

#include "platform/promises/promise.h"

namespace promises_internal {

// The timeout rejection (code kPRMPromiseErrorCodeTimedOut, no user info).
os::Error timedOutError();
// Before a wait on `state`: false, after logging and filling `*error`, when the wait could
// never end (see the header comment).
bool mayWaitFor(const StateBase& state, os::Error* error);
// Blocks the calling thread until `state` has resolved.
template <typename T>
void waitUntilResolved(const std::shared_ptr<State<T>>& state) {
  // The wake-up runs on the resolving thread itself, not on a queue: a wait therefore never
  // needs a free pool thread, however many threads are waiting.
  os::DispatchSemaphore resolved;
  state->observe(nullptr, [resolved](const State<T>&) mutable { resolved.signal(); });
  resolved.wait();
}

}  // namespace promises_internal

template <typename T>
PRMPromise<T> PRMPromise<T>::delay(double seconds) const {
  return delay(defaultDispatchQueue(), seconds);
}

template <typename T>
PRMPromise<T> PRMPromise<T>::delay(const Queue& queue, double seconds) const {
  auto target = promises_internal::State<T>::makePending();
  target->setResolvingStep(queue, state_);
  state_->observe(queue, [target, queue, seconds](const promises_internal::State<T>& settled) {
    if (settled.settledStatus() == promises_internal::Status::Fulfilled) {
      queue->after(seconds, [target, value = settled.settledValue()] { target->fulfill(value); });
    } else {
      target->reject(settled.settledError());
    }
  });
  return PRMPromise(std::move(target));
}

template <typename T>
PRMPromise<T> PRMPromise<T>::timeout(double seconds) const {
  return timeout(defaultDispatchQueue(), seconds);
}

template <typename T>
PRMPromise<T> PRMPromise<T>::timeout(const Queue& queue, double seconds) const {
  auto target = promises_internal::State<T>::makePending();
  target->setResolvingStep(queue, state_);
  state_->observe(queue, [target](const promises_internal::State<T>& settled) {
    if (settled.settledStatus() == promises_internal::Status::Fulfilled) {
      target->fulfill(settled.settledValue());
    } else {
      target->reject(settled.settledError());
    }
  });
  queue->after(seconds, [weakTarget = std::weak_ptr(target)] {
    if (auto target = weakTarget.lock()) target->reject(promises_internal::timedOutError());
  });
  return PRMPromise(std::move(target));
}

// Blocks the calling thread until `promise` resolves; returns its value, or nullopt and fills
// `*error` (when given) with its error. Returns at once, with the refusal described above, when
// the wait could never end.
template <typename T>
requires(!std::is_void_v<T>) std::optional<T> PRMPromiseAwait(const PRMPromise<T>& promise,
                                                              os::Error* error = nullptr) {
  const auto& state = promises_internal::Access::state(promise);
  if (!promises_internal::mayWaitFor(*state, error)) return std::nullopt;
  promises_internal::waitUntilResolved(state);
  if (state->settledStatus() == promises_internal::Status::Rejected) {
    os::fail(error, state->settledError());
    return std::nullopt;
  }
  return state->settledValue();
}

// PRMPromise<void>: true once fulfilled; false with `*error` filled as above.
bool PRMPromiseAwait(const PRMPromise<void>& promise, os::Error* error = nullptr);

// Waits until no promise is pending and no promise handler is queued or running, or until
// `timeoutSeconds` have passed; returns whether all promise work finished. On the main thread
// it turns the main run loop meanwhile, so that handlers queued on the main queue can run.
bool PRMWaitForAllPromises(double timeoutSeconds);
