// Promises from operations that report through a completion handler (contracts in promise.h).
// Included by platform/promises/promise.h.
//
//   auto saved = PRMPromise<void>::wrapErrorCompletion([item](auto completion) {
//     store.save(item, [completion](std::optional<os::Error> error) { completion(error); });
//   });
#pragma once

#include <optional>
#include <utility>

#include "platform/promises/promise.h"

namespace promises_internal {

template <typename X>
struct IsPair : std::false_type {};
template <typename A, typename B>
struct IsPair<std::pair<A, B>> : std::true_type {};

// Every wrapper: async() whose work hands the caller's work a handler, which `translate` turns
// into a call of the fulfil or the reject block.
template <typename T, typename Handler, typename Work, typename Translate>
PRMPromise<T> wrapCompletion(const Queue& queue, Work work, Translate translate) {
  return PRMPromise<T>::async(
      queue, [work = std::move(work), translate = std::move(translate)](
                 const typename PRMPromise<T>::FulfillBlock& fulfill,
                 const typename PRMPromise<T>::RejectBlock& reject) mutable {
        work(Handler([translate, fulfill, reject](auto&&... arguments) {
          translate(fulfill, reject, std::forward<decltype(arguments)>(arguments)...);
        }));
      });
}

// The handler of the wrappers whose operation reports one value.
template <typename T, typename Work>
PRMPromise<T> wrapValueCompletion(const Queue& queue, Work work) {
  return wrapCompletion<T, std::function<void(T)>>(
      queue, std::move(work),
      [](const auto& fulfill, const auto&, T value) { fulfill(std::move(value)); });
}

// The handler of the wrappers whose operation reports a value and an optional error.
template <typename T, typename Work>
PRMPromise<T> wrapValueOrErrorCompletion(const Queue& queue, Work work) {
  return wrapCompletion<T, std::function<void(T, std::optional<os::Error>)>>(
      queue, std::move(work),
      [](const auto& fulfill, const auto& reject, T value, std::optional<os::Error> error) {
        if (error) {
          reject(std::move(*error));
        } else {
          fulfill(std::move(value));
        }
      });
}

}  // namespace promises_internal

template <typename T>
template <typename Work>
PRMPromise<T> PRMPromise<T>::wrapCompletion(Work work) requires std::is_void_v<T> {
  return wrapCompletion(defaultDispatchQueue(), std::move(work));
}

template <typename T>
template <typename Work>
PRMPromise<T> PRMPromise<T>::wrapCompletion(const Queue& queue,
                                            Work work) requires std::is_void_v<T> {
  return promises_internal::wrapCompletion<void, std::function<void()>>(
      queue, std::move(work), [](const auto& fulfill, const auto&) { fulfill({}); });
}

template <typename T>
template <typename Work>
PRMPromise<T> PRMPromise<T>::wrapErrorCompletion(Work work) requires std::is_void_v<T> {
  return wrapErrorCompletion(defaultDispatchQueue(), std::move(work));
}

template <typename T>
template <typename Work>
PRMPromise<T> PRMPromise<T>::wrapErrorCompletion(const Queue& queue,
                                                 Work work) requires std::is_void_v<T> {
  return promises_internal::wrapCompletion<void, std::function<void(std::optional<os::Error>)>>(
      queue, std::move(work),
      [](const auto& fulfill, const auto& reject, std::optional<os::Error> error) {
        if (error) {
          reject(std::move(*error));
        } else {
          fulfill({});
        }
      });
}

template <typename T>
template <typename Work>
PRMPromise<T> PRMPromise<T>::wrapObjectCompletion(Work work) requires(!std::is_void_v<T>) {
  return wrapObjectCompletion(defaultDispatchQueue(), std::move(work));
}

template <typename T>
template <typename Work>
PRMPromise<T> PRMPromise<T>::wrapObjectCompletion(const Queue& queue,
                                                  Work work) requires(!std::is_void_v<T>) {
  return promises_internal::wrapCompletion<T, FulfillBlock>(
      queue, std::move(work),
      [](const auto& fulfill, const auto&, PRMResult<T> result) { fulfill(std::move(result)); });
}

template <typename T>
template <typename Work>
PRMPromise<T> PRMPromise<T>::wrapObjectOrErrorCompletion(Work work) requires(!std::is_void_v<T>) {
  return wrapObjectOrErrorCompletion(defaultDispatchQueue(), std::move(work));
}

template <typename T>
template <typename Work>
PRMPromise<T> PRMPromise<T>::wrapObjectOrErrorCompletion(const Queue& queue,
                                                         Work work) requires(!std::is_void_v<T>) {
  return promises_internal::wrapValueOrErrorCompletion<T>(queue, std::move(work));
}

template <typename T>
template <typename Work>
PRMPromise<T> PRMPromise<T>::wrapErrorOrObjectCompletion(Work work) requires(!std::is_void_v<T>) {
  return wrapErrorOrObjectCompletion(defaultDispatchQueue(), std::move(work));
}

template <typename T>
template <typename Work>
PRMPromise<T> PRMPromise<T>::wrapErrorOrObjectCompletion(const Queue& queue,
                                                         Work work) requires(!std::is_void_v<T>) {
  // The same translation as wrapObjectOrErrorCompletion, with the arguments swapped.
  return wrapObjectOrErrorCompletion(
      queue,
      [work = std::move(work)](std::function<void(T, std::optional<os::Error>)> handler) mutable {
        work(std::function<void(std::optional<os::Error>, T)>(
            [handler](std::optional<os::Error> error, T value) {
              handler(std::move(value), std::move(error));
            }));
      });
}

template <typename T>
template <typename Work>
PRMPromise<T> PRMPromise<T>::wrap2ObjectsOrErrorCompletion(Work work) {
  return wrap2ObjectsOrErrorCompletion(defaultDispatchQueue(), std::move(work));
}

template <typename T>
template <typename Work>
PRMPromise<T> PRMPromise<T>::wrap2ObjectsOrErrorCompletion(const Queue& queue, Work work) {
  static_assert(promises_internal::IsPair<T>::value,
                "wrap2ObjectsOrErrorCompletion gives a PRMPromise<std::pair<A, B>>");
  using First = typename T::first_type;
  using Second = typename T::second_type;
  return wrapObjectOrErrorCompletion(
      queue,
      [work = std::move(work)](std::function<void(T, std::optional<os::Error>)> handler) mutable {
        work(std::function<void(First, Second, std::optional<os::Error>)>(
            [handler](First first, Second second, std::optional<os::Error> error) {
              handler(T(std::move(first), std::move(second)), std::move(error));
            }));
      });
}

template <typename T>
template <typename Work>
PRMPromise<T> PRMPromise<T>::wrapBoolCompletion(Work work) requires std::is_same_v<T, bool> {
  return wrapBoolCompletion(defaultDispatchQueue(), std::move(work));
}

template <typename T>
template <typename Work>
PRMPromise<T> PRMPromise<T>::wrapBoolCompletion(const Queue& queue,
                                                Work work) requires std::is_same_v<T, bool> {
  return promises_internal::wrapValueCompletion<T>(queue, std::move(work));
}

template <typename T>
template <typename Work>
PRMPromise<T> PRMPromise<T>::wrapBoolOrErrorCompletion(Work work) requires std::is_same_v<T, bool> {
  return wrapBoolOrErrorCompletion(defaultDispatchQueue(), std::move(work));
}

template <typename T>
template <typename Work>
PRMPromise<T> PRMPromise<T>::wrapBoolOrErrorCompletion(const Queue& queue,
                                                       Work work) requires std::is_same_v<T, bool> {
  return promises_internal::wrapValueOrErrorCompletion<T>(queue, std::move(work));
}

template <typename T>
template <typename Work>
PRMPromise<T> PRMPromise<T>::wrapIntegerCompletion(Work work) requires std::is_same_v<T, int64_t> {
  return wrapIntegerCompletion(defaultDispatchQueue(), std::move(work));
}

template <typename T>
template <typename Work>
PRMPromise<T> PRMPromise<T>::wrapIntegerCompletion(const Queue& queue,
                                                   Work work) requires std::is_same_v<T, int64_t> {
  return promises_internal::wrapValueCompletion<T>(queue, std::move(work));
}

template <typename T>
template <typename Work>
PRMPromise<T> PRMPromise<T>::wrapIntegerOrErrorCompletion(
    Work work) requires std::is_same_v<T, int64_t> {
  return wrapIntegerOrErrorCompletion(defaultDispatchQueue(), std::move(work));
}

template <typename T>
template <typename Work>
PRMPromise<T> PRMPromise<T>::wrapIntegerOrErrorCompletion(
    const Queue& queue, Work work) requires std::is_same_v<T, int64_t> {
  return promises_internal::wrapValueOrErrorCompletion<T>(queue, std::move(work));
}

template <typename T>
template <typename Work>
PRMPromise<T> PRMPromise<T>::wrapDoubleCompletion(Work work) requires std::is_same_v<T, double> {
  return wrapDoubleCompletion(defaultDispatchQueue(), std::move(work));
}

template <typename T>
template <typename Work>
PRMPromise<T> PRMPromise<T>::wrapDoubleCompletion(const Queue& queue,
                                                  Work work) requires std::is_same_v<T, double> {
  return promises_internal::wrapValueCompletion<T>(queue, std::move(work));
}

template <typename T>
template <typename Work>
PRMPromise<T> PRMPromise<T>::wrapDoubleOrErrorCompletion(
    Work work) requires std::is_same_v<T, double> {
  return wrapDoubleOrErrorCompletion(defaultDispatchQueue(), std::move(work));
}

template <typename T>
template <typename Work>
PRMPromise<T> PRMPromise<T>::wrapDoubleOrErrorCompletion(
    const Queue& queue, Work work) requires std::is_same_v<T, double> {
  return promises_internal::wrapValueOrErrorCompletion<T>(queue, std::move(work));
}
