// Continuations of one promise (then, catchError, recover, always, validate) and the promises
// that start work (doWork, async). Included by platform/promises/promise.h; see the contracts
// there.
#pragma once

#include "platform/promises/promise.h"

template <typename T>
template <typename Work>
PRMPromise<promises_internal::ContinuationValue<T, Work>> PRMPromise<T>::then(Work work) const {
  return then(defaultDispatchQueue(), std::move(work));
}

template <typename T>
template <typename Work>
PRMPromise<promises_internal::ContinuationValue<T, Work>> PRMPromise<T>::then(const Queue& queue,
                                                                              Work work) const {
  return promises_internal::chain<promises_internal::ContinuationValue<T, Work>>(
      state_, queue, std::move(work), [](const os::Error& error) { return error; });
}

template <typename T>
template <typename Work>
PRMPromise<T> PRMPromise<T>::catchError(Work work) const {
  return catchError(defaultDispatchQueue(), std::move(work));
}

template <typename T>
template <typename Work>
PRMPromise<T> PRMPromise<T>::catchError(const Queue& queue, Work work) const {
  return recover(queue, [work = std::move(work)](const os::Error& error) mutable {
    work(error);
    return error;
  });
}

template <typename T>
template <typename Work>
PRMPromise<T> PRMPromise<T>::recover(Work work) const {
  return recover(defaultDispatchQueue(), std::move(work));
}

template <typename T>
template <typename Work>
PRMPromise<T> PRMPromise<T>::recover(const Queue& queue, Work work) const {
  return promises_internal::chain<T>(
      state_, queue,
      [](const auto&... value) { return promises_internal::fulfilmentWith<T>(value...); },
      std::move(work));
}

template <typename T>
template <typename Work>
PRMPromise<T> PRMPromise<T>::always(Work work) const {
  return always(defaultDispatchQueue(), std::move(work));
}

template <typename T>
template <typename Work>
PRMPromise<T> PRMPromise<T>::always(const Queue& queue, Work work) const {
  // Both transforms share one copy of the work.
  auto shared = std::make_shared<Work>(std::move(work));
  return promises_internal::chain<T>(
      state_, queue,
      [shared](const auto&... value) {
        (*shared)();
        return promises_internal::fulfilmentWith<T>(value...);
      },
      [shared](const os::Error& error) {
        (*shared)();
        return error;
      });
}

template <typename T>
template <typename Predicate>
PRMPromise<T> PRMPromise<T>::validate(Predicate predicate) const {
  return validate(defaultDispatchQueue(), std::move(predicate));
}

template <typename T>
template <typename Predicate>
PRMPromise<T> PRMPromise<T>::validate(const Queue& queue, Predicate predicate) const {
  return promises_internal::chain<T>(
      state_, queue,
      [predicate = std::move(predicate)](const auto&... value) mutable -> PRMResult<T> {
        if (predicate(value...)) return promises_internal::fulfilmentWith<T>(value...);
        return os::Error(kPRMPromiseErrorDomain, kPRMPromiseErrorCodeValidationFailure);
      },
      [](const os::Error& error) { return error; });
}

template <typename T>
template <typename Work>
PRMPromise<T> PRMPromise<T>::doWork(Work work) {
  return doWork(defaultDispatchQueue(), std::move(work));
}

template <typename T>
template <typename Work>
PRMPromise<T> PRMPromise<T>::doWork(const Queue& queue, Work work) {
  return promises_internal::startTask<T>(
      queue, [queue, work = std::move(work)](
                 const std::shared_ptr<promises_internal::State<T>>& target) mutable {
        promises_internal::resolve(target, queue, promises_internal::resultOf<T>(work));
      });
}

template <typename T>
template <typename Work>
PRMPromise<T> PRMPromise<T>::async(Work work) {
  return async(defaultDispatchQueue(), std::move(work));
}

template <typename T>
template <typename Work>
PRMPromise<T> PRMPromise<T>::async(const Queue& queue, Work work) {
  return promises_internal::startTask<T>(
      queue, [queue, work = std::move(work)](
                 const std::shared_ptr<promises_internal::State<T>>& target) mutable {
        // From here on the blocks may be called from anywhere: the queue is no longer needed
        // (unless the fulfil block is handed a promise to follow, which records it again).
        target->setResolvingStep(nullptr, {});
        work(promises_internal::fulfillBlock(target, queue),
             promises_internal::rejectBlock(target));
      });
}
