#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <utility>

#include "platform/promises/promise.h"
#include "platform/promises/promise_test_support.h"

namespace {

using promises_test::settles;
using promises_test::testError;

class PRMPromiseWrappers : public ::testing::Test {
 protected:
  template <typename T, typename V>
  void expectFulfilled(const PRMPromise<T>& promise, const V& value) {
    ASSERT_TRUE(settles(promise));
    EXPECT_EQ(promise.value(), value);
  }
  template <typename T>
  void expectRejected(const PRMPromise<T>& promise, int64_t code) {
    ASSERT_TRUE(settles(promise));
    EXPECT_EQ(promise.error(), testError(code));
  }

  std::shared_ptr<os::DispatchQueue> queue_ = os::DispatchQueue::serial("test.promises.wrap");
};

const std::optional<os::Error> kNoError;

TEST_F(PRMPromiseWrappers, EachShapeResolvesFromWhatItsHandlerReceives) {
  auto q = queue_;
  EXPECT_TRUE(settles(PRMPromise<void>::wrapCompletion(q, [](auto done) { done(); })));

  auto noError = PRMPromise<void>::wrapErrorCompletion(q, [](auto done) { done(kNoError); });
  ASSERT_TRUE(settles(noError));
  EXPECT_TRUE(noError.isFulfilled());
  expectRejected(PRMPromise<void>::wrapErrorCompletion(q, [](auto done) { done(testError(1)); }),
                 1);

  expectFulfilled(PRMPromise<int>::wrapObjectCompletion(q, [](auto done) { done(2); }), 2);
  expectRejected(PRMPromise<int>::wrapObjectCompletion(q, [](auto done) { done(testError(2)); }),
                 2);

  expectFulfilled(PRMPromise<std::string>::wrapObjectOrErrorCompletion(
                      q, [](auto done) { done("a", kNoError); }),
                  "a");
  // An object and an error together: the error wins.
  expectRejected(PRMPromise<std::string>::wrapObjectOrErrorCompletion(
                     q, [](auto done) { done("a", testError(3)); }),
                 3);
  expectFulfilled(PRMPromise<std::string>::wrapErrorOrObjectCompletion(
                      q, [](auto done) { done(kNoError, "b"); }),
                  "b");
  expectRejected(PRMPromise<std::string>::wrapErrorOrObjectCompletion(
                     q, [](auto done) { done(testError(4), "b"); }),
                 4);

  using Pair = std::pair<os::Value, os::Value>;
  expectFulfilled(PRMPromise<Pair>::wrap2ObjectsOrErrorCompletion(
                      q, [](auto done) { done(nullptr, "second", kNoError); }),
                  Pair(nullptr, "second"));
  expectRejected(PRMPromise<Pair>::wrap2ObjectsOrErrorCompletion(
                     q, [](auto done) { done(1, 2, testError(5)); }),
                 5);

  expectFulfilled(PRMPromise<bool>::wrapBoolCompletion(q, [](auto done) { done(true); }), true);
  expectFulfilled(
      PRMPromise<bool>::wrapBoolOrErrorCompletion(q, [](auto done) { done(false, kNoError); }),
      false);
  expectRejected(
      PRMPromise<bool>::wrapBoolOrErrorCompletion(q, [](auto done) { done(true, testError(6)); }),
      6);
  expectFulfilled(
      PRMPromise<int64_t>::wrapIntegerCompletion(q, [](auto done) { done(int64_t{-7}); }),
      int64_t{-7});
  expectFulfilled(PRMPromise<int64_t>::wrapIntegerOrErrorCompletion(
                      q, [](auto done) { done(int64_t{1} << 40, kNoError); }),
                  int64_t{1} << 40);
  expectRejected(PRMPromise<int64_t>::wrapIntegerOrErrorCompletion(
                     q, [](auto done) { done(0, testError(7)); }),
                 7);
  expectFulfilled(PRMPromise<double>::wrapDoubleCompletion(q, [](auto done) { done(0.5); }), 0.5);
  expectFulfilled(
      PRMPromise<double>::wrapDoubleOrErrorCompletion(q, [](auto done) { done(2.5, kNoError); }),
      2.5);
  expectRejected(
      PRMPromise<double>::wrapDoubleOrErrorCompletion(q, [](auto done) { done(0, testError(8)); }),
      8);
}

TEST_F(PRMPromiseWrappers, OnlyTheFirstCallOfTheHandlerCounts) {
  expectFulfilled(PRMPromise<int>::wrapObjectOrErrorCompletion(queue_,
                                                               [](auto done) {
                                                                 done(1, kNoError);
                                                                 done(2, testError(2));
                                                               }),
                  1);
  expectRejected(PRMPromise<void>::wrapErrorCompletion(queue_,
                                                       [](auto done) {
                                                         done(testError(3));
                                                         done(kNoError);
                                                       }),
                 3);
}

TEST_F(PRMPromiseWrappers, TheWorkRunsOnTheQueueAndItsHandlerMayBeCalledFromAnywhereLater) {
  os::DispatchSemaphore release;
  std::atomic<bool> ranOnQueue{false};
  auto queue = queue_;
  auto promise = PRMPromise<std::string>::wrapObjectOrErrorCompletion(
      queue_, [&, queue](std::function<void(std::string, std::optional<os::Error>)> done) mutable {
        release.wait();
        ranOnQueue = queue->isCurrent();
        std::thread([done] { done("from a thread", kNoError); }).detach();
      });
  EXPECT_TRUE(promise.isPending());  // returned while the work waits on its queue
  release.signal();
  expectFulfilled(promise, "from a thread");
  EXPECT_TRUE(ranOnQueue);
}

TEST_F(PRMPromiseWrappers, AWorkThatNeverCallsItsHandlerLeavesThePromisePending) {
  std::atomic<bool> ran{false};
  auto promise = PRMPromise<void>::wrapCompletion(queue_, [&](auto) { ran = true; });
  queue_->sync([] {});
  EXPECT_TRUE(ran);
  EXPECT_FALSE(settles(promise, 0.05));
}

TEST_F(PRMPromiseWrappers, PlainFormsRunTheWorkOnTheMainQueue) {
  auto promise = PRMPromise<bool>::wrapBoolCompletion([](auto done) { done(os::isMainThread()); });
  expectFulfilled(promise, true);
}

}  // namespace
