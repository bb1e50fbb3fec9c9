// Helpers for the promise library's tests, which run on the main thread.
#pragma once

#include <chrono>

#include "os/dispatch/runloop.h"
#include "platform/promises/promise.h"
#include "testsupport/run_loop.h"

namespace promises_test {

using testsupport::kPatience;

// Turns the main run loop (so that main-queue handlers run) until `promise` has resolved;
// false when it is still pending after `timeoutSeconds`.
template <typename T>
bool settles(const PRMPromise<T>& promise, double timeoutSeconds = kPatience) {
  return testsupport::runUntil([&] { return !promise.isPending(); }, timeoutSeconds);
}

// Seconds since `start` on the monotonic clock.
inline double secondsSince(os::MonotonicClock::time_point start) {
  return std::chrono::duration<double>(os::MonotonicClock::now() - start).count();
}

inline os::Error testError(int64_t code) { return os::Error("test.promises", code); }

}  // namespace promises_test
