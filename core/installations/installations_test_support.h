// Helpers for the installation client's tests, which run on the main thread and turn its run
// loop so that promise handlers (on the main queue) run.
#pragma once

#include <gtest/gtest.h>

#include <optional>

#include "os/dispatch/runloop.h"
#include "os/value/error.h"
#include "platform/promises/promise.h"
#include "testsupport/run_loop.h"

namespace installations_testing {

using testsupport::kPatience;

// Turns the main run loop until `promise` has resolved; false (a test failure) when it is still
// pending after kPatience seconds.
template <typename T>
bool settle(const PRMPromise<T>& promise) {
  bool settled = testsupport::runUntil([&] { return !promise.isPending(); });
  EXPECT_TRUE(settled) << "the promise is still pending";
  return settled;
}

// The value of `promise` once it has resolved; nullopt when it was rejected (the error in
// `*error` when given).
template <typename T>
std::optional<T> awaitValue(const PRMPromise<T>& promise, os::Error* error = nullptr) {
  if (!settle(promise)) return std::nullopt;
  if (std::optional<os::Error> rejection = promise.error()) {
    if (error) *error = *rejection;
    return std::nullopt;
  }
  return promise.value();
}

// The error of `promise` once it has resolved; nullopt when it was fulfilled.
template <typename T>
std::optional<os::Error> awaitError(const PRMPromise<T>& promise) {
  if (!settle(promise)) return os::Error("installations_testing", -1, "still pending");
  return promise.error();
}

}  // namespace installations_testing
