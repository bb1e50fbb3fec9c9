// Repeating work until it succeeds: retry and attempts (contracts in promise.h). Included by
// platform/promises/promise.h.
//
//   // A request sent at most twice: once more, a second later, when the first answer was a 500.
//   auto reply = PRMPromise<Reply>::attempts(1, 1.0,
//       [](int64_t, const os::Error& error) { return isServerError(error); },
//       [request] { return send(request); });
#pragma once

#include "platform/promises/promise.h"

namespace promises_internal {

// One retrying operation: its promise, and what each run needs.
template <typename T, typename Work>
struct RetryRun : std::enable_shared_from_this<RetryRun<T, Work>> {
  RetryRun(Queue queue, double delay, std::function<bool(int64_t, const os::Error&)> condition,
           Work work)
      : target(State<T>::makePending()),
        queue(std::move(queue)),
        delay(delay),
        condition(std::move(condition)),
        work(std::move(work)) {}

  // Runs the work on the calling thread; `remaining` runs may follow a failure.
  void step(int64_t remaining) {
    PRMResult<T> result = resultOf<T>(work);
    if (!result.isPromise()) {
      finish(remaining, std::move(result));
      return;
    }
    Access::state(result.promise())
        ->observe(queue, [self = this->shared_from_this(), remaining](const State<T>& settled) {
          self->finish(remaining, settledResult(settled));
        });
  }

  void finish(int64_t remaining, PRMResult<T> result) {
    if (!result.isError()) {
      resolve(target, queue, std::move(result));
      return;
    }
    if (remaining > 0 && (!condition || condition(remaining, result.error()))) {
      queue->after(delay,
                   [self = this->shared_from_this(), remaining] { self->step(remaining - 1); });
      return;
    }
    target->reject(result.error());
  }

  const std::shared_ptr<State<T>> target;
  const Queue queue;
  const double delay;
  const std::function<bool(int64_t, const os::Error&)> condition;
  Work work;  // only one run at a time touches it
};

// Seconds between the runs of retry() and attempts(count, work).
inline constexpr double kDefaultRetryDelay = 1.0;

}  // namespace promises_internal

template <typename T>
template <typename Work>
PRMPromise<T> PRMPromise<T>::retry(Work work) {
  return attempts(defaultDispatchQueue(), 1, std::move(work));
}

template <typename T>
template <typename Work>
PRMPromise<T> PRMPromise<T>::retry(const Queue& queue, Work work) {
  return attempts(queue, 1, std::move(work));
}

template <typename T>
template <typename Work>
PRMPromise<T> PRMPromise<T>::attempts(int64_t count, Work work) {
  return attempts(defaultDispatchQueue(), count, std::move(work));
}

template <typename T>
template <typename Work>
PRMPromise<T> PRMPromise<T>::attempts(const Queue& queue, int64_t count, Work work) {
  return attempts(queue, count, promises_internal::kDefaultRetryDelay, nullptr, std::move(work));
}

template <typename T>
template <typename Work>
PRMPromise<T> PRMPromise<T>::attempts(int64_t count, double delay, RetryCondition condition,
                                      Work work) {
  return attempts(defaultDispatchQueue(), count, delay, std::move(condition), std::move(work));
}

template <typename T>
template <typename Work>
PRMPromise<T> PRMPromise<T>::attempts(const Queue& queue, int64_t count, double delay,
                                      RetryCondition condition, Work work) {
  auto run = std::make_shared<promises_internal::RetryRun<T, Work>>(
      queue, delay, std::move(condition), std::move(work));
  run->target->setResolvingStep(queue, {});
  run->step(count);
  return PRMPromise(run->target);
}
