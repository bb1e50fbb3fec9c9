#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "platform/promises/promise.h"
#include "platform/promises/promise_test_support.h"

namespace {

using promises_test::kPatience;
using promises_test::settles;
using promises_test::testError;

class PRMPromiseChaining : public ::testing::Test {
 protected:
  std::shared_ptr<os::DispatchQueue> queue_ = os::DispatchQueue::serial("test.promises.chain");
};

TEST_F(PRMPromiseChaining, TenThousandStepChainGivesTheExactValue) {
  auto head = PRMPromise<int64_t>::pendingPromise();
  auto step = head;
  for (int i = 0; i < 10'000; ++i) {
    step = step.then(queue_, [](int64_t value) { return value * 3 % 1'000'003 + 1; });
  }
  head.fulfill(1);
  int64_t expected = 1;
  for (int i = 0; i < 10'000; ++i) expected = expected * 3 % 1'000'003 + 1;
  EXPECT_EQ(PRMPromiseAwait(step), expected);
}

// What a continuation returns decides the next promise.
TEST_F(PRMPromiseChaining, ThenIsResolvedByWhatItsWorkReturns) {
  struct Case {
    const char* name;
    std::function<PRMResult<std::string>(int)> work;
    std::optional<std::string> value;
    std::optional<os::Error> error;
  };
  auto queue = queue_;
  const Case cases[] = {
      {"a value", [](int v) { return std::to_string(v); }, "5", std::nullopt},
      {"an error", [](int) { return testError(1); }, std::nullopt, testError(1)},
      {"a fulfilled promise", [](int) { return PRMPromise<std::string>::resolvedWith("done"); },
       "done", std::nullopt},
      {"a promise fulfilled later",
       [queue](int) { return PRMPromise<std::string>::resolvedWith("later").delay(queue, 0.02); },
       "later", std::nullopt},
      {"a promise rejected later",
       [queue](int) { return PRMPromise<std::string>::doWork(queue, [] { return testError(2); }); },
       std::nullopt, testError(2)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto next = PRMPromise<int>::resolvedWith(5).then(queue_, c.work);
    ASSERT_TRUE(settles(next));
    EXPECT_EQ(next.value(), c.value);
    EXPECT_EQ(next.error(), c.error);
  }
}

TEST_F(PRMPromiseChaining, ContinuationsRunOnTheirQueueAndChangeTheValueType) {
  auto other = os::DispatchQueue::serial("test.promises.other");
  auto queue = queue_;
  auto length = PRMPromise<std::string>::resolvedWith("four")
                    .then(queue_,
                          [queue](const std::string& text) {
                            EXPECT_TRUE(queue->isCurrent());
                            return text.size();
                          })
                    .then(other, [other](size_t size) {
                      EXPECT_TRUE(other->isCurrent());
                      return static_cast<double>(size) / 2;
                    });
  EXPECT_EQ(PRMPromiseAwait(length), 2.0);
}

TEST_F(PRMPromiseChaining, VoidPromisesChainWithoutValues) {
  std::atomic<int> steps{0};
  auto done = PRMPromise<void>::resolvedWith()
                  .then(queue_, [&] { ++steps; })
                  .then(queue_,
                        [&] {
                          ++steps;
                          return 3;
                        })
                  .then(queue_, [&](int three) {
                    steps += three;
                    return PRMResult<void>();
                  });
  EXPECT_TRUE(PRMPromiseAwait(done));
  EXPECT_EQ(steps, 5);
}

TEST_F(PRMPromiseChaining, VoidPromisesCatchRecoverAlwaysAndValidate) {
  std::atomic<int> ran{0};
  auto recovered = PRMPromise<void>::resolvedWith(testError(4))
                       .catchError(queue_, [&](const os::Error&) { ++ran; })
                       .always(queue_, [&] { ++ran; })
                       .recover(queue_,
                                [&](const os::Error& error) {
                                  EXPECT_EQ(error, testError(4));
                                  return PRMResult<void>();
                                })
                       .validate(queue_, [&] { return ++ran == 3; });
  EXPECT_TRUE(PRMPromiseAwait(recovered));
  EXPECT_EQ(ran, 3);

  auto passedOn = PRMPromise<void>::resolvedWith()
                      .recover(queue_, [](const os::Error&) { return testError(5); })
                      .always(queue_, [&] { ++ran; });
  EXPECT_TRUE(PRMPromiseAwait(passedOn));
  auto refused = PRMPromise<void>::resolvedWith().validate(queue_, [] { return false; });
  ASSERT_TRUE(settles(refused));
  EXPECT_EQ(refused.error()->code, kPRMPromiseErrorCodeValidationFailure);
  EXPECT_EQ(ran, 4);
}

TEST_F(PRMPromiseChaining, RejectionSkipsThenAndValidateAndReachesCatchUnchanged) {
  std::atomic<int> skippedRan{0};
  std::atomic<int> caught{0};
  auto result = PRMPromise<int>::resolvedWith(testError(9))
                    .then(queue_,
                          [&](int value) {
                            ++skippedRan;
                            return value;
                          })
                    .validate(queue_,
                              [&](int) {
                                ++skippedRan;
                                return true;
                              })
                    .catchError(queue_, [&](const os::Error& error) {
                      EXPECT_EQ(error, testError(9));
                      ++caught;
                    });
  ASSERT_TRUE(settles(result));
  EXPECT_EQ(result.error(), testError(9));
  EXPECT_EQ(skippedRan, 0);
  EXPECT_EQ(caught, 1);
}

TEST_F(PRMPromiseChaining, CatchAndRecoverLeaveAFulfilmentAlone) {
  std::atomic<int> ran{0};
  auto result = PRMPromise<int>::resolvedWith(4)
                    .catchError(queue_, [&](const os::Error&) { ++ran; })
                    .recover(queue_, [&](const os::Error&) {
                      ++ran;
                      return 0;
                    });
  EXPECT_EQ(PRMPromiseAwait(result), 4);
  EXPECT_EQ(ran, 0);
}

TEST_F(PRMPromiseChaining, RecoverTurnsARejectionIntoWhatItsWorkReturns) {
  struct Case {
    const char* name;
    std::function<PRMResult<int>(const os::Error&)> recovery;
    std::optional<int> value;
    std::optional<os::Error> error;
  };
  const Case cases[] = {
      {"a value", [](const os::Error& e) { return static_cast<int>(e.code) * 10; }, 10,
       std::nullopt},
      {"a new error", [](const os::Error&) { return testError(2); }, std::nullopt, testError(2)},
      {"a promise", [](const os::Error&) { return PRMPromise<int>::resolvedWith(7); }, 7,
       std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto recovered = PRMPromise<int>::resolvedWith(testError(1)).recover(queue_, c.recovery);
    ASSERT_TRUE(settles(recovered));
    EXPECT_EQ(recovered.value(), c.value);
    EXPECT_EQ(recovered.error(), c.error);
  }
}

TEST_F(PRMPromiseChaining, AlwaysRunsAfterEitherOutcomeAndPassesItOn) {
  std::atomic<int> ran{0};
  auto fulfilled = PRMPromise<int>::resolvedWith(3).always(queue_, [&] { ++ran; });
  auto rejected = PRMPromise<int>::resolvedWith(testError(3)).always(queue_, [&] { ++ran; });
  EXPECT_EQ(PRMPromiseAwait(fulfilled), 3);
  os::Error error;
  EXPECT_EQ(PRMPromiseAwait(rejected, &error), std::nullopt);
  EXPECT_EQ(error, testError(3));
  EXPECT_EQ(ran, 2);
}

TEST_F(PRMPromiseChaining, ValidateRejectsARefusedValueWithCodeTwo) {
  auto accepted = PRMPromise<std::string>::resolvedWith("ok").validate(
      queue_, [](const std::string& text) { return !text.empty(); });
  auto refused = PRMPromise<std::string>::resolvedWith("").validate(
      queue_, [](const std::string& text) { return !text.empty(); });
  EXPECT_EQ(PRMPromiseAwait(accepted), "ok");
  os::Error error;
  EXPECT_EQ(PRMPromiseAwait(refused, &error), std::nullopt);
  EXPECT_EQ(error, os::Error("com.vedodo.PRMPromises.Error", 2));
  EXPECT_TRUE(error.userInfo.isNull());
}

TEST_F(PRMPromiseChaining, DoWorkRunsOnTheQueueAndReturnsAtOnce) {
  os::DispatchSemaphore release;
  std::atomic<bool> ranOnQueue{false};
  auto queue = queue_;
  auto promise = PRMPromise<int>::doWork(queue_, [&, queue]() mutable {
    release.wait();
    ranOnQueue = queue->isCurrent();
    return 11;
  });
  EXPECT_TRUE(promise.isPending());  // the work is still blocked on its queue
  release.signal();
  EXPECT_EQ(PRMPromiseAwait(promise), 11);
  EXPECT_TRUE(ranOnQueue);

  auto failing = PRMPromise<int>::doWork(queue_, []() -> PRMResult<int> { return testError(4); });
  ASSERT_TRUE(settles(failing));
  EXPECT_EQ(failing.error(), testError(4));
  auto following = PRMPromise<int>::doWork(queue_, [] { return PRMPromise<int>::resolvedWith(5); });
  EXPECT_EQ(PRMPromiseAwait(following), 5);
}

TEST_F(PRMPromiseChaining, AsyncKeepsTheFirstResolutionOfItsWork) {
  struct Case {
    const char* name;
    std::function<void(PRMPromise<int>::FulfillBlock, PRMPromise<int>::RejectBlock)> work;
    std::optional<int> value;
    std::optional<os::Error> error;
  };
  const Case cases[] = {
      {"fulfil twice",
       [](auto fulfill, auto) {
         fulfill(1);
         fulfill(2);
       },
       1, std::nullopt},
      {"reject, then fulfil",
       [](auto fulfill, auto reject) {
         reject(testError(1));
         fulfill(2);
       },
       std::nullopt, testError(1)},
      {"fulfil with an error", [](auto fulfill, auto) { fulfill(testError(2)); }, std::nullopt,
       testError(2)},
      {"fulfil with a promise",
       [](auto fulfill, auto) { fulfill(PRMPromise<int>::resolvedWith(3)); }, 3, std::nullopt},
      {"fulfil later from another thread",
       [](auto fulfill, auto) { std::thread([fulfill] { fulfill(4); }).detach(); }, 4,
       std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto promise = PRMPromise<int>::async(queue_, c.work);
    ASSERT_TRUE(settles(promise));
    EXPECT_EQ(promise.value(), c.value);
    EXPECT_EQ(promise.error(), c.error);
  }
}

TEST_F(PRMPromiseChaining, AWorkThatDropsItsBlocksLeavesNoPendingWork) {
  ASSERT_TRUE(PRMWaitForAllPromises(kPatience));
  std::optional neverResolved = PRMPromise<int>::async(queue_, [](auto, auto) {});
  EXPECT_FALSE(PRMWaitForAllPromises(0.1));
  EXPECT_TRUE(neverResolved->isPending());
  neverResolved.reset();
  EXPECT_TRUE(PRMWaitForAllPromises(kPatience));
}

TEST_F(PRMPromiseChaining, PlainFormsRunOnTheMainQueue) {
  std::atomic<int> onMain{0};
  auto check = [&] { onMain += os::isMainThread(); };
  auto result = PRMPromise<int>::doWork([&] {
                  check();
                  return 1;
                })
                    .then([&](int v) {
                      check();
                      return v;
                    })
                    .validate([&](int) {
                      check();
                      return true;
                    })
                    .always([&] { check(); })
                    .then([](int) -> PRMResult<int> { return testError(1); })
                    .catchError([&](const os::Error&) { check(); })
                    .recover([&](const os::Error&) {
                      check();
                      return 2;
                    });
  auto started = PRMPromise<int>::async([&](auto fulfill, auto) {
    check();
    fulfill(3);
  });
  ASSERT_TRUE(settles(result));
  ASSERT_TRUE(settles(started));
  EXPECT_EQ(result.value(), 2);
  EXPECT_EQ(onMain, 7);
}

}  // namespace
