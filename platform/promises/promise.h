// PRMPromise<T>: a value of T that arrives later, or an os::Error instead. A promise is pending
// until it is resolved once, fulfilled with a value or rejected with an error; later attempts to
// resolve it are ignored. Handlers observe it on a dispatch queue (the default queue, the main
// queue unless PRMPromiseBase::setDefaultDispatchQueue() changes it); a handler never runs
// inside the call that adds it or that resolves the promise, even when the promise has
// resolved already, and the handlers of one promise are queued in the order they were added.
//
//   auto worker = os::DispatchQueue::serial("com.example.worker");
//   PRMPromise<std::string>::doWork(worker, [] { return readToken(); })   // runs on worker
//       .then([](const std::string& token) -> PRMResult<Request> {       // on the default queue
//         if (token.empty()) return os::Error("com.example", 1, "no token");
//         return buildRequest(token);
//       })
//       .then([](const Request& request) { return send(request); })      // a PRMPromise<Reply>
//       .catchError([](const os::Error& error) { logFailure(error); });
//
// A continuation returns a value (the next promise is fulfilled with it), an os::Error (it is
// rejected with it) or a promise (it follows that promise); one that may return more than one of
// these declares PRMResult<U> as its return type, as above. Continuations of a PRMPromise<void>
// take no argument, and one that returns nothing gives a PRMPromise<void>. Handlers receive the
// value as const T& (every handler of a promise sees the same value), so T must be copyable, and
// so must the work passed to the library (it is held in a std::function).
//
// Handles are cheap to copy and share one promise; any thread may resolve a promise while others
// add handlers. Handlers run on their queue, so a throwing handler is caught and logged by the
// queue (nothing here catches), and the promise it would have resolved stays pending.
//
// The promise group (PRMPromiseBase::dispatchGroup()) counts every pending promise and every
// handler not yet run; PRMWaitForAllPromises() waits until it is empty. A pending promise that
// every handle and step has dropped leaves the group: it can never resolve.
//
// The operations live in the headers this one includes at its end: chaining (then, catchError,
// recover, always, validate, doWork, async), timing (delay, timeout, PRMPromiseAwait),
// combinators (all, any, race, reduce, PRMPromiseAll), retry, and the wrappers of
// completion-handler operations. Each takes an optional queue as its first argument; without it
// the default queue is used.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "os/dispatch/dispatch.h"
#include "os/value/error.h"
#include "os/value/value.h"
#include "platform/promises/promise_state.h"

template <typename T>
class PRMPromise;

namespace promises_internal {

struct Access;

}  // namespace promises_internal

// What a continuation hands on to the next promise: a value of T (nothing for
// PRMResult<void>, whose default is the fulfilment), an error, or a promise to follow.
// Converts implicitly from each, so a continuation declared to return PRMResult<T> may
// `return value;`, `return os::Error(...);` or `return somePromise;`.
template <typename T>
class PRMResult {
 public:
  // Fulfilment of a PRMPromise<void>.
  PRMResult() requires std::is_void_v<T> {}
  // Fulfilment with a value (anything T can be built from).
  template <typename U>
  requires(!std::is_void_v<T> && !std::is_same_v<std::remove_cvref_t<U>, PRMResult> &&
           !std::is_same_v<std::remove_cvref_t<U>, os::Error> &&
           !std::is_same_v<std::remove_cvref_t<U>, PRMPromise<T>> &&
           std::is_constructible_v<T, U&&>) PRMResult(U&& value)
      : content_(std::in_place_index<0>, std::forward<U>(value)) {}
  // Rejection.
  PRMResult(os::Error error) : content_(std::in_place_index<1>, std::move(error)) {}
  // The outcome of another promise, once it has one.
  PRMResult(PRMPromise<T> promise) : content_(std::in_place_index<2>, std::move(promise)) {}

  bool isValue() const { return content_.index() == 0; }
  bool isError() const { return content_.index() == 1; }
  bool isPromise() const { return content_.index() == 2; }

  // Each accessor requires the matching is*() to hold.
  const promises_internal::Stored<T>& value() const { return std::get<0>(content_); }
  const os::Error& error() const { return std::get<1>(content_); }
  const PRMPromise<T>& promise() const { return std::get<2>(content_); }

 private:
  friend struct promises_internal::Access;
  std::variant<promises_internal::Stored<T>, os::Error, PRMPromise<T>> content_;
};

namespace promises_internal {

// The value type of the promise that a continuation returning R gives: R, or U for a
// PRMResult<U> or a PRMPromise<U>.
template <typename R>
struct ContinuationValueOf {
  using type = R;
};
template <typename U>
struct ContinuationValueOf<PRMResult<U>> {
  using type = U;
};
template <typename U>
struct ContinuationValueOf<PRMPromise<U>> {
  using type = U;
};

// What calling `Work` with the value of a promise of T (with nothing, for void) returns.
template <typename T, typename Work>
struct InvokeResultOf {
  using type = std::invoke_result_t<Work&, const T&>;
};
template <typename Work>
struct InvokeResultOf<void, Work> {
  using type = std::invoke_result_t<Work&>;
};

// The value type of then(work) on a promise of T.
template <typename T, typename Work>
using ContinuationValue =
    typename ContinuationValueOf<std::remove_cvref_t<typename InvokeResultOf<T, Work>::type>>::type;

// Calls `work` with the value of a promise of T, or with nothing for PRMPromise<void>.
template <typename T, typename Work>
decltype(auto) invokeWithValue(Work& work, const Stored<T>& value) {
  if constexpr (std::is_void_v<T>) {
    return work();
  } else {
    return work(value);
  }
}

// The fulfilment with a promise's own value, passed on unchanged: a fulfil transform is called
// with the value, or with nothing for PRMPromise<void>, so it takes `const auto&... value`.
template <typename T, typename... Value>
PRMResult<T> fulfilmentWith(const Value&... value) {
  return PRMResult<T>(value...);
}

// The PRMResult<U> of calling `call`; a call that returns nothing fulfils.
template <typename U, typename Call>
PRMResult<U> resultOf(Call&& call) {
  if constexpr (std::is_void_v<std::invoke_result_t<Call>>) {
    call();
    return PRMResult<U>();
  } else {
    return PRMResult<U>(call());
  }
}

}  // namespace promises_internal

template <typename T>
class PRMPromise : public PRMPromiseBase {
  static_assert(!std::is_same_v<std::remove_cv_t<T>, os::Error>,
                "a promise's value is never an error: return PRMResult<U> to reject");
  static_assert(!std::is_reference_v<T>, "promises hold values, not references");

 public:
  using ValueType = T;
  using Queue = std::shared_ptr<os::DispatchQueue>;
  // The blocks that async()'s work resolves its promise with. The fulfil block follows a
  // promise and rejects on an error, as a continuation's result does; the first call of
  // either wins.
  using FulfillBlock = std::function<void(PRMResult<T>)>;
  using RejectBlock = std::function<void(os::Error)>;
  // Asked after a failed run of attempts(): the attempts left and the run's error.
  using RetryCondition = std::function<bool(int64_t remainingAttempts, const os::Error& error)>;
  // The value type of all() over promises of T: a vector of the values, or nothing for void.
  using AllValue =
      std::conditional_t<std::is_void_v<T>, void, std::vector<promises_internal::Stored<T>>>;

  // ---- Creation and resolution (this header)

  // A new pending promise; it counts in the promise group until it resolves or is dropped.
  static PRMPromise pendingPromise();
  // A promise fulfilled with `value` (PRMPromise<void>: with nothing), or rejected with `error`.
  // Never counts in the promise group.
  static PRMPromise resolvedWith(promises_internal::Stored<T> value) requires(!std::is_void_v<T>);
  static PRMPromise resolvedWith() requires std::is_void_v<T>;
  static PRMPromise resolvedWith(os::Error error);

  // Fulfils or rejects a pending promise and queues its handlers; ignored once it has resolved.
  void fulfill(promises_internal::Stored<T> value) const requires(!std::is_void_v<T>);
  void fulfill() const requires std::is_void_v<T>;
  void reject(os::Error error) const;

  bool isPending() const;
  bool isFulfilled() const;
  bool isRejected() const;
  // The value when fulfilled, else nullopt.
  std::optional<promises_internal::Stored<T>> value() const requires(!std::is_void_v<T>);
  // The error when rejected, else nullopt.
  std::optional<os::Error> error() const;
  // "<PRMPromise 0x…> Pending", "<PRMPromise 0x…> Fulfilled: <value>" (a value that converts
  // to os::Value or can be streamed; "(null)" for void) or "<PRMPromise 0x…> Rejected: <error>".
  std::string description() const;

  // Queues onFulfill(value) (no argument for void) or onReject(error) on `queue` once the
  // promise resolves (at once when it has), as a member of the promise group.
  template <typename OnFulfill, typename OnReject>
  void observe(const Queue& queue, OnFulfill onFulfill, OnReject onReject) const;
  // Keeps `object` alive until the promise resolves.
  void addPendingObject(std::shared_ptr<void> object) const;

  // The same promise.
  friend bool operator==(const PRMPromise& a, const PRMPromise& b) { return a.state_ == b.state_; }

  // ---- Chaining (promise_chaining.h)

  // When fulfilled: work(value) on the queue decides the returned promise (a value, an error
  // or a promise to follow). A rejection passes on unchanged; work does not run.
  template <typename Work>
  PRMPromise<promises_internal::ContinuationValue<T, Work>> then(Work work) const;
  template <typename Work>
  PRMPromise<promises_internal::ContinuationValue<T, Work>> then(const Queue& queue,
                                                                 Work work) const;
  // When rejected: work(error) on the queue; the returned promise is rejected with the same
  // error whatever work does. A fulfilment passes on.
  template <typename Work>
  PRMPromise catchError(Work work) const;
  template <typename Work>
  PRMPromise catchError(const Queue& queue, Work work) const;
  // When rejected: work(error) on the queue returns a value, an error or a promise (anything
  // PRMResult<T> converts from) that resolves the returned promise. A fulfilment passes on.
  template <typename Work>
  PRMPromise recover(Work work) const;
  template <typename Work>
  PRMPromise recover(const Queue& queue, Work work) const;
  // work() on the queue after either outcome, which then passes on unchanged.
  template <typename Work>
  PRMPromise always(Work work) const;
  template <typename Work>
  PRMPromise always(const Queue& queue, Work work) const;
  // When fulfilled: predicate(value) on the queue; false rejects the returned promise with
  // kPRMPromiseErrorCodeValidationFailure. A rejection passes on.
  template <typename Predicate>
  PRMPromise validate(Predicate predicate) const;
  template <typename Predicate>
  PRMPromise validate(const Queue& queue, Predicate predicate) const;
  // Runs work() as a task on the queue (a member of the promise group) and returns at once a
  // promise that its result resolves: a value, an error, or a promise to follow.
  template <typename Work>
  static PRMPromise doWork(Work work);
  template <typename Work>
  static PRMPromise doWork(const Queue& queue, Work work);
  // Runs work(fulfill, reject) as a task on the queue and returns at once a promise that the
  // first call of either block resolves (see FulfillBlock). For PRMPromise<void>, fulfill({}).
  template <typename Work>
  static PRMPromise async(Work work);
  template <typename Work>
  static PRMPromise async(const Queue& queue, Work work);

  // ---- Timing (promise_timing.h)

  // Fulfilled with the value `seconds` after this promise's fulfilment (the handing over runs
  // on the queue); rejected at once when this promise is rejected.
  PRMPromise delay(double seconds) const;
  PRMPromise delay(const Queue& queue, double seconds) const;
  // Resolved like this promise, or rejected with kPRMPromiseErrorCodeTimedOut when `seconds`
  // pass first; a later outcome of this promise is then ignored. The timer does not keep the
  // returned promise alive.
  PRMPromise timeout(double seconds) const;
  PRMPromise timeout(const Queue& queue, double seconds) const;

  // ---- Combinators (promise_combinators.h)

  // Fulfilled with the values of all entries in their order (nothing for void) once all are
  // fulfilled; rejected with the first rejection. A plain value counts as a fulfilled promise;
  // an error entry rejects at once (once the task runs on the queue), before any entry is
  // observed. An empty list gives a promise fulfilled at once with an empty vector.
  static PRMPromise<AllValue> all(std::vector<PRMResult<T>> entries);
  static PRMPromise<AllValue> all(const Queue& queue, std::vector<PRMResult<T>> entries);
  // Fulfilled, once no entry is pending, with each entry's value or error in input order when
  // at least one entry was fulfilled; rejected with the error of the last entry to settle when
  // all were rejected. Plain values and errors count as resolved promises. The results never
  // hold a promise. An empty list gives a promise fulfilled at once with an empty vector.
  static PRMPromise<std::vector<PRMResult<T>>> any(std::vector<PRMResult<T>> entries);
  static PRMPromise<std::vector<PRMResult<T>>> any(const Queue& queue,
                                                   std::vector<PRMResult<T>> entries);
  // Resolved by the first entry that is a plain value or error (without observing any promise),
  // else by the first promise to resolve. An empty list gives a promise that never resolves.
  static PRMPromise race(std::vector<PRMResult<T>> entries);
  static PRMPromise race(const Queue& queue, std::vector<PRMResult<T>> entries);
  // Folds `items` into this promise's value: each step, on the queue, is
  // combine(partial, item) (anything PRMResult<T> converts from). A rejection anywhere passes on
  // to the end. An empty list returns this promise itself.
  template <typename Item, typename Combine>
  PRMPromise reduce(std::vector<Item> items, Combine combine) const;
  template <typename Item, typename Combine>
  PRMPromise reduce(const Queue& queue, std::vector<Item> items, Combine combine) const;

  // ---- Retry (promise_retry.h)

  // Runs work() (returning anything PRMResult<T> converts from) until it succeeds: the first
  // run at once on the calling thread, each later one `delay` seconds after a failure, on the
  // queue. `attempts` counts the runs after the first, so at most attempts + 1 runs happen.
  // Before each repeat, `condition` (when given) is asked with the attempts left (attempts,
  // attempts - 1, ..., 1) and the error; false stops. The promise is rejected with the last
  // run's error. retry() is one attempt after 1 second; attempts(n, work) waits 1 second.
  template <typename Work>
  static PRMPromise retry(Work work);
  template <typename Work>
  static PRMPromise retry(const Queue& queue, Work work);
  template <typename Work>
  static PRMPromise attempts(int64_t count, Work work);
  template <typename Work>
  static PRMPromise attempts(const Queue& queue, int64_t count, Work work);
  template <typename Work>
  static PRMPromise attempts(int64_t count, double delay, RetryCondition condition, Work work);
  template <typename Work>
  static PRMPromise attempts(const Queue& queue, int64_t count, double delay,
                             RetryCondition condition, Work work);

  // ---- Completion-handler wrappers (promise_wrappers.h)
  //
  // Each runs work(handler) as a task on the queue and returns at once a promise that the first
  // call of the handler resolves; a work that never calls it leaves the promise pending. The
  // optional error of the "OrError" forms rejects the promise when it holds one.

  // PRMPromise<void>: handler() fulfils.
  template <typename Work>
  static PRMPromise wrapCompletion(Work work) requires std::is_void_v<T>;
  template <typename Work>
  static PRMPromise wrapCompletion(const Queue& queue, Work work) requires std::is_void_v<T>;
  // PRMPromise<void>: handler(std::optional<os::Error>).
  template <typename Work>
  static PRMPromise wrapErrorCompletion(Work work) requires std::is_void_v<T>;
  template <typename Work>
  static PRMPromise wrapErrorCompletion(const Queue& queue, Work work) requires std::is_void_v<T>;
  // handler(PRMResult<T>): resolves like the fulfil block of async() (an error rejects).
  template <typename Work>
  static PRMPromise wrapObjectCompletion(Work work) requires(!std::is_void_v<T>);
  template <typename Work>
  static PRMPromise wrapObjectCompletion(const Queue& queue,
                                         Work work) requires(!std::is_void_v<T>);
  // handler(T value, std::optional<os::Error> error).
  template <typename Work>
  static PRMPromise wrapObjectOrErrorCompletion(Work work) requires(!std::is_void_v<T>);
  template <typename Work>
  static PRMPromise wrapObjectOrErrorCompletion(const Queue& queue,
                                                Work work) requires(!std::is_void_v<T>);
  // handler(std::optional<os::Error> error, T value).
  template <typename Work>
  static PRMPromise wrapErrorOrObjectCompletion(Work work) requires(!std::is_void_v<T>);
  template <typename Work>
  static PRMPromise wrapErrorOrObjectCompletion(const Queue& queue,
                                                Work work) requires(!std::is_void_v<T>);
  // PRMPromise<std::pair<A, B>>: handler(A first, B second, std::optional<os::Error>). With
  // os::Value members, a missing object is passed as the null value and stays one.
  template <typename Work>
  static PRMPromise wrap2ObjectsOrErrorCompletion(Work work);
  template <typename Work>
  static PRMPromise wrap2ObjectsOrErrorCompletion(const Queue& queue, Work work);
  // PRMPromise<bool>: handler(bool) and handler(bool, std::optional<os::Error>).
  template <typename Work>
  static PRMPromise wrapBoolCompletion(Work work) requires std::is_same_v<T, bool>;
  template <typename Work>
  static PRMPromise wrapBoolCompletion(const Queue& queue,
                                       Work work) requires std::is_same_v<T, bool>;
  template <typename Work>
  static PRMPromise wrapBoolOrErrorCompletion(Work work) requires std::is_same_v<T, bool>;
  template <typename Work>
  static PRMPromise wrapBoolOrErrorCompletion(const Queue& queue,
                                              Work work) requires std::is_same_v<T, bool>;
  // PRMPromise<int64_t>: handler(int64_t) and handler(int64_t, std::optional<os::Error>).
  template <typename Work>
  static PRMPromise wrapIntegerCompletion(Work work) requires std::is_same_v<T, int64_t>;
  template <typename Work>
  static PRMPromise wrapIntegerCompletion(const Queue& queue,
                                          Work work) requires std::is_same_v<T, int64_t>;
  template <typename Work>
  static PRMPromise wrapIntegerOrErrorCompletion(Work work) requires std::is_same_v<T, int64_t>;
  template <typename Work>
  static PRMPromise wrapIntegerOrErrorCompletion(const Queue& queue,
                                                 Work work) requires std::is_same_v<T, int64_t>;
  // PRMPromise<double>: handler(double) and handler(double, std::optional<os::Error>).
  template <typename Work>
  static PRMPromise wrapDoubleCompletion(Work work) requires std::is_same_v<T, double>;
  template <typename Work>
  static PRMPromise wrapDoubleCompletion(const Queue& queue,
                                         Work work) requires std::is_same_v<T, double>;
  template <typename Work>
  static PRMPromise wrapDoubleOrErrorCompletion(Work work) requires std::is_same_v<T, double>;
  template <typename Work>
  static PRMPromise wrapDoubleOrErrorCompletion(const Queue& queue,
                                                Work work) requires std::is_same_v<T, double>;

 private:
  friend struct promises_internal::Access;
  explicit PRMPromise(std::shared_ptr<promises_internal::State<T>> state)
      : state_(std::move(state)) {}

  std::shared_ptr<promises_internal::State<T>> state_;  // never null
};

namespace promises_internal {

// The library's way into handles and results.
struct Access {
  template <typename T>
  static const std::shared_ptr<State<T>>& state(const PRMPromise<T>& promise) {
    return promise.state_;
  }
  template <typename T>
  static PRMPromise<T> wrap(std::shared_ptr<State<T>> state) {
    return PRMPromise<T>(std::move(state));
  }
  template <typename T>
  static auto& content(PRMResult<T>& result) {
    return result.content_;
  }
};

// Resolves `target` with `result`: fulfils it with a value, rejects it with an error, or makes
// it follow a promise, whose outcome is handed over on `queue`.
template <typename T>
void resolve(const std::shared_ptr<State<T>>& target, const Queue& queue, PRMResult<T> result) {
  auto& content = Access::content(result);
  if (auto* value = std::get_if<0>(&content)) {
    target->fulfill(std::move(*value));
  } else if (auto* error = std::get_if<1>(&content)) {
    target->reject(std::move(*error));
  } else {
    const auto& followed = Access::state(std::get<2>(content));
    target->setResolvingStep(queue, followed);
    followed->observe(queue, [target](const State<T>& settled) {
      if (settled.settledStatus() == Status::Fulfilled) {
        target->fulfill(settled.settledValue());
      } else {
        target->reject(settled.settledError());
      }
    });
  }
}

// The outcome of a resolved promise as a result: its value or its error.
template <typename T>
PRMResult<T> settledResult(const State<T>& settled) {
  if (settled.settledStatus() == Status::Rejected) return settled.settledError();
  if constexpr (std::is_void_v<T>) {
    return PRMResult<T>();
  } else {
    return settled.settledValue();
  }
}

// A new promise of U that, once `source` resolves, is resolved on `queue` by
// onFulfill(value) or onReject(error), each returning anything PRMResult<U> converts from.
template <typename U, typename T, typename OnFulfill, typename OnReject>
PRMPromise<U> chain(const std::shared_ptr<State<T>>& source, const Queue& queue,
                    OnFulfill onFulfill, OnReject onReject) {
  auto target = State<U>::makePending();
  target->setResolvingStep(queue, source);
  source->observe(queue, [target, queue, onFulfill = std::move(onFulfill),
                          onReject = std::move(onReject)](const State<T>& settled) mutable {
    if (settled.settledStatus() == Status::Fulfilled) {
      resolve(target, queue,
              resultOf<U>([&] { return invokeWithValue<T>(onFulfill, settled.settledValue()); }));
    } else {
      resolve(target, queue, resultOf<U>([&] { return onReject(settled.settledError()); }));
    }
  });
  return Access::wrap(std::move(target));
}

// A pending promise that `work(target)` resolves, run as a task on `queue` inside the
// promise group; the promise is returned at once. Its resolution counts as a step on `queue`
// until `work` says otherwise.
template <typename T, typename Work>
PRMPromise<T> startTask(const Queue& queue, Work work) {
  auto target = State<T>::makePending();
  target->setResolvingStep(queue, {});
  PRMPromiseBase::dispatchGroup().async(
      queue, [target, work = std::move(work)]() mutable { work(target); });
  return Access::wrap(std::move(target));
}

// The blocks of async() that resolve `target`: the fulfil block as resolve() does, the reject
// block with its error.
template <typename T>
typename PRMPromise<T>::FulfillBlock fulfillBlock(std::shared_ptr<State<T>> target, Queue queue) {
  return [target = std::move(target), queue = std::move(queue)](PRMResult<T> result) {
    resolve(target, queue, std::move(result));
  };
}
template <typename T>
typename PRMPromise<T>::RejectBlock rejectBlock(std::shared_ptr<State<T>> target) {
  return [target = std::move(target)](os::Error error) { target->reject(std::move(error)); };
}

// "<value>" for the description of a fulfilled promise.
template <typename T>
std::string describeValue(const Stored<T>& value) {
  if constexpr (std::is_void_v<T>) {
    return "(null)";
  } else if constexpr (std::is_constructible_v<os::Value, const T&>) {
    return os::Value(value).description();
  } else if constexpr (requires(std::ostream & out) { out << value; }) {
    std::ostringstream out;
    out << value;
    return out.str();
  } else {
    return "<value>";
  }
}

}  // namespace promises_internal

template <typename T>
PRMPromise<T> PRMPromise<T>::pendingPromise() {
  return PRMPromise(promises_internal::State<T>::makePending());
}

template <typename T>
PRMPromise<T> PRMPromise<T>::resolvedWith(promises_internal::Stored<T> value) requires(
    !std::is_void_v<T>) {
  return PRMPromise(promises_internal::State<T>::makeFulfilled(std::move(value)));
}

template <typename T>
PRMPromise<T> PRMPromise<T>::resolvedWith() requires std::is_void_v<T> {
  return PRMPromise(promises_internal::State<T>::makeFulfilled({}));
}

template <typename T>
PRMPromise<T> PRMPromise<T>::resolvedWith(os::Error error) {
  return PRMPromise(promises_internal::State<T>::makeRejected(std::move(error)));
}

template <typename T>
void PRMPromise<T>::fulfill(promises_internal::Stored<T> value) const requires(!std::is_void_v<T>) {
  state_->fulfill(std::move(value));
}

template <typename T>
void PRMPromise<T>::fulfill() const requires std::is_void_v<T> {
  state_->fulfill({});
}

template <typename T>
void PRMPromise<T>::reject(os::Error error) const {
  state_->reject(std::move(error));
}

template <typename T>
bool PRMPromise<T>::isPending() const {
  return state_->status() == promises_internal::Status::Pending;
}

template <typename T>
bool PRMPromise<T>::isFulfilled() const {
  return state_->status() == promises_internal::Status::Fulfilled;
}

template <typename T>
bool PRMPromise<T>::isRejected() const {
  return state_->status() == promises_internal::Status::Rejected;
}

template <typename T>
std::optional<promises_internal::Stored<T>> PRMPromise<T>::value() const
    requires(!std::is_void_v<T>) {
  return state_->value();
}

template <typename T>
std::optional<os::Error> PRMPromise<T>::error() const {
  return state_->error();
}

template <typename T>
std::string PRMPromise<T>::description() const {
  std::ostringstream text;
  text << "<PRMPromise " << static_cast<const void*>(state_.get()) << "> ";
  if (auto value = state_->value()) {
    text << "Fulfilled: " << promises_internal::describeValue<T>(*value);
  } else if (auto error = state_->error()) {
    text << "Rejected: " << promises_internal::describeError(*error);
  } else {
    text << "Pending";
  }
  return text.str();
}

template <typename T>
template <typename OnFulfill, typename OnReject>
void PRMPromise<T>::observe(const Queue& queue, OnFulfill onFulfill, OnReject onReject) const {
  state_->observe(queue, [onFulfill = std::move(onFulfill), onReject = std::move(onReject)](
                             const promises_internal::State<T>& settled) mutable {
    if (settled.settledStatus() == promises_internal::Status::Fulfilled) {
      promises_internal::invokeWithValue<T>(onFulfill, settled.settledValue());
    } else {
      onReject(settled.settledError());
    }
  });
}

template <typename T>
void PRMPromise<T>::addPendingObject(std::shared_ptr<void> object) const {
  state_->addPendingObject(std::move(object));
}

#include "platform/promises/promise_chaining.h"
#include "platform/promises/promise_combinators.h"
#include "platform/promises/promise_retry.h"
#include "platform/promises/promise_timing.h"
#include "platform/promises/promise_wrappers.h"
