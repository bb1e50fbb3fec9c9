// Promises over many promises: all, any, race and reduce (contracts in promise.h), and
// PRMPromiseAll over promises of different types. Included by platform/promises/promise.h.
//
//   PRMPromiseAll(legacyIdentifier(), legacyToken())
//       .then([](const std::tuple<std::string, std::string>& both) { ... });
//
// all and any count the entries still outstanding instead of re-reading every entry after each
// outcome, so they take time linear in the number of entries. Their handlers gather the values
// as they arrive rather than holding the entries: an entry that never resolves is not kept
// alive by the combinator. A combinator's handlers only record an outcome and count down, so
// they run on the thread that resolves the entry (kOnResolvingThread) instead of hopping to the
// queue: a dispatch per entry made the cost per entry grow with the number of entries, as
// every outcome waited in the queue as a separate allocation. The combined promise's own
// observers still run on their queues.
#pragma once

#include <atomic>
#include <optional>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/promises/promise.h"

namespace promises_internal {

// The queue argument of observe() that runs a combinator's handler on the resolving thread.
inline const Queue kOnResolvingThread{};

// The promise of each entry of a combinator's list: a plain value or error becomes a promise
// resolved with it.
template <typename T>
std::shared_ptr<State<T>> entryState(PRMResult<T>& entry) {
  auto& content = Access::content(entry);
  if (auto* value = std::get_if<0>(&content)) return State<T>::makeFulfilled(std::move(*value));
  if (auto* error = std::get_if<1>(&content)) return State<T>::makeRejected(std::move(*error));
  return Access::state(std::get<2>(content));
}

// The outcomes of a combinator's entries, filled in as they arrive, and the blocks that resolve
// the combinator's promise of Result. Each slot is written by the handler of its own entry; the
// handler that brings `outstanding` to zero sees all of them.
template <typename Slot, typename Result>
struct Gathered {
  Gathered(size_t count, typename PRMPromise<Result>::FulfillBlock fulfill,
           typename PRMPromise<Result>::RejectBlock reject)
      : slots(count), outstanding(count), fulfill(std::move(fulfill)), reject(std::move(reject)) {}
  std::vector<std::optional<Slot>> slots;
  std::atomic<size_t> outstanding;
  std::atomic<size_t> fulfilled{0};
  const typename PRMPromise<Result>::FulfillBlock fulfill;
  const typename PRMPromise<Result>::RejectBlock reject;
};

// async() for the combinators: their handlers hand the outcome over on `queue`, so unlike
// async() the promise goes on counting as resolved by a step on that queue.
template <typename T, typename Work>
PRMPromise<T> startCombining(const Queue& queue, Work work) {
  return startTask<T>(
      queue, [queue, work = std::move(work)](const std::shared_ptr<State<T>>& target) mutable {
        work(fulfillBlock(target, queue), rejectBlock(target));
      });
}

}  // namespace promises_internal

template <typename T>
PRMPromise<typename PRMPromise<T>::AllValue> PRMPromise<T>::all(std::vector<PRMResult<T>> entries) {
  return all(defaultDispatchQueue(), std::move(entries));
}

template <typename T>
PRMPromise<typename PRMPromise<T>::AllValue> PRMPromise<T>::all(const Queue& queue,
                                                                std::vector<PRMResult<T>> entries) {
  if (entries.empty()) {
    if constexpr (std::is_void_v<T>) {
      return PRMPromise<void>::resolvedWith();
    } else {
      return PRMPromise<AllValue>::resolvedWith(AllValue{});
    }
  }
  return promises_internal::startCombining<AllValue>(
      queue, [entries = std::move(entries)](auto fulfill, auto reject) mutable {
        std::vector<std::shared_ptr<promises_internal::State<T>>> states;
        states.reserve(entries.size());
        for (auto& entry : entries) {
          if (entry.isError()) {
            reject(entry.error());
            return;
          }
          states.push_back(promises_internal::entryState(entry));
        }
        auto gathered =
            std::make_shared<promises_internal::Gathered<promises_internal::Stored<T>, AllValue>>(
                states.size(), std::move(fulfill), std::move(reject));
        for (size_t index = 0; index < states.size(); ++index) {
          states[index]->observe(
              promises_internal::kOnResolvingThread,
              [gathered, index](const promises_internal::State<T>& settled) {
                if (settled.settledStatus() == promises_internal::Status::Rejected) {
                  gathered->reject(settled.settledError());
                  return;
                }
                gathered->slots[index].emplace(settled.settledValue());
                if (gathered->outstanding.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
                if constexpr (std::is_void_v<T>) {
                  gathered->fulfill({});
                } else {
                  AllValue values;
                  values.reserve(gathered->slots.size());
                  for (auto& slot : gathered->slots) values.push_back(std::move(*slot));
                  gathered->fulfill(std::move(values));
                }
              });
        }
      });
}

template <typename T>
PRMPromise<std::vector<PRMResult<T>>> PRMPromise<T>::any(std::vector<PRMResult<T>> entries) {
  return any(defaultDispatchQueue(), std::move(entries));
}

template <typename T>
PRMPromise<std::vector<PRMResult<T>>> PRMPromise<T>::any(const Queue& queue,
                                                         std::vector<PRMResult<T>> entries) {
  using Outcomes = std::vector<PRMResult<T>>;
  if (entries.empty()) return PRMPromise<Outcomes>::resolvedWith(Outcomes{});
  return promises_internal::startCombining<Outcomes>(
      queue, [entries = std::move(entries)](auto fulfill, auto reject) mutable {
        auto gathered = std::make_shared<promises_internal::Gathered<PRMResult<T>, Outcomes>>(
            entries.size(), std::move(fulfill), std::move(reject));
        for (size_t index = 0; index < entries.size(); ++index) {
          promises_internal::entryState(entries[index])
              ->observe(promises_internal::kOnResolvingThread,
                        [gathered, index](const promises_internal::State<T>& settled) {
                          if (settled.settledStatus() == promises_internal::Status::Fulfilled) {
                            gathered->fulfilled.fetch_add(1, std::memory_order_relaxed);
                          }
                          gathered->slots[index].emplace(promises_internal::settledResult(settled));
                          if (gathered->outstanding.fetch_sub(1, std::memory_order_acq_rel) != 1)
                            return;
                          if (gathered->fulfilled.load(std::memory_order_relaxed) == 0) {
                            // Every entry was rejected: the error of the one that settled last.
                            gathered->reject(settled.settledError());
                            return;
                          }
                          Outcomes outcomes;
                          outcomes.reserve(gathered->slots.size());
                          for (auto& slot : gathered->slots) outcomes.push_back(std::move(*slot));
                          gathered->fulfill(std::move(outcomes));
                        });
        }
      });
}

template <typename T>
PRMPromise<T> PRMPromise<T>::race(std::vector<PRMResult<T>> entries) {
  return race(defaultDispatchQueue(), std::move(entries));
}

template <typename T>
PRMPromise<T> PRMPromise<T>::race(const Queue& queue, std::vector<PRMResult<T>> entries) {
  return promises_internal::startCombining<T>(
      queue, [entries = std::move(entries)](const FulfillBlock& fulfill, const RejectBlock&) {
        for (const auto& entry : entries) {
          if (!entry.isPromise()) {
            fulfill(entry);
            return;
          }
        }
        for (const auto& entry : entries) {
          promises_internal::Access::state(entry.promise())
              ->observe(promises_internal::kOnResolvingThread,
                        [fulfill](const promises_internal::State<T>& settled) {
                          fulfill(promises_internal::settledResult(settled));
                        });
        }
      });
}

template <typename T>
template <typename Item, typename Combine>
PRMPromise<T> PRMPromise<T>::reduce(std::vector<Item> items, Combine combine) const {
  return reduce(defaultDispatchQueue(), std::move(items), std::move(combine));
}

template <typename T>
template <typename Item, typename Combine>
PRMPromise<T> PRMPromise<T>::reduce(const Queue& queue, std::vector<Item> items,
                                    Combine combine) const {
  PRMPromise current = *this;
  for (auto& item : items) {
    current = promises_internal::chain<T>(
        current.state_, queue,
        [combine, item = std::move(item)](const promises_internal::Stored<T>& partial) mutable {
          return combine(partial, item);
        },
        [](const os::Error& error) { return error; });
  }
  return current;
}

// all() over promises of different value types: fulfilled with the tuple of their values once
// all are fulfilled, rejected with the first rejection. None may be a PRMPromise<void>.
template <typename... Ts>
PRMPromise<std::tuple<Ts...>> PRMPromiseAll(const std::shared_ptr<os::DispatchQueue>& queue,
                                            const PRMPromise<Ts>&... promises) {
  static_assert(sizeof...(Ts) > 0, "PRMPromiseAll needs at least one promise");
  static_assert((!std::is_void_v<Ts> && ...), "a tuple cannot hold the value of a void promise");
  struct Values {
    std::tuple<std::optional<Ts>...> slots;
    std::atomic<size_t> outstanding{sizeof...(Ts)};
  };
  return promises_internal::startCombining<std::tuple<Ts...>>(
      queue, [promises...](auto fulfill, auto reject) {
        auto values = std::make_shared<Values>();
        auto observeEach = [&]<size_t... Index>(std::index_sequence<Index...>) {
          (promises_internal::Access::state(promises)->observe(
               promises_internal::kOnResolvingThread,
               [values, fulfill, reject](const promises_internal::State<Ts>& settled) {
                 if (settled.settledStatus() == promises_internal::Status::Rejected) {
                   reject(settled.settledError());
                   return;
                 }
                 std::get<Index>(values->slots).emplace(settled.settledValue());
                 if (values->outstanding.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
                 fulfill(std::apply(
                     [](auto&... slot) { return std::tuple<Ts...>(std::move(*slot)...); },
                     values->slots));
               }),
           ...);
        };
        observeEach(std::index_sequence_for<Ts...>{});
      });
}

template <typename... Ts>
PRMPromise<std::tuple<Ts...>> PRMPromiseAll(const PRMPromise<Ts>&... promises) {
  return PRMPromiseAll(PRMPromiseBase::defaultDispatchQueue(), promises...);
}
