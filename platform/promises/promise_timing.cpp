#include "platform/promises/promise_timing.h"

#include "os/dispatch/runloop.h"
#include "os/log/log.h"

namespace promises_internal {

os::Error timedOutError() {
  return os::Error(kPRMPromiseErrorDomain, kPRMPromiseErrorCodeTimedOut);
}

bool mayWaitFor(const StateBase& state, os::Error* error) {
  if (!state.waitWouldDeadlock()) return true;
  static constexpr const char* kRefusal =
      "PRMPromiseAwait: the promise waits for work of a queue this thread is on; waiting here "
      "would never end";
  os::log::write(os::log::Level::Error, kRefusal);
  return os::fail(
      error, os::Error(os::kDispatchErrorDomain, os::kDispatchErrorSyncOntoCurrentQueue, kRefusal));
}

}  // namespace promises_internal

bool PRMPromiseAwait(const PRMPromise<void>& promise, os::Error* error) {
  const auto& state = promises_internal::Access::state(promise);
  if (!promises_internal::mayWaitFor(*state, error)) return false;
  promises_internal::waitUntilResolved(state);
  if (state->settledStatus() == promises_internal::Status::Rejected) {
    return os::fail(error, state->settledError());
  }
  return true;
}

bool PRMWaitForAllPromises(double timeoutSeconds) {
  auto& group = PRMPromiseBase::dispatchGroup();
  if (!os::isMainThread()) return group.wait(timeoutSeconds);
  return os::RunLoop::main().runUntil([&group] { return group.wait(0); }, timeoutSeconds);
}
