#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <tuple>
#include <vector>

#include "platform/promises/promise.h"
#include "platform/promises/promise_test_support.h"

namespace {

using promises_test::kPatience;
using promises_test::settles;
using promises_test::testError;

class PRMPromiseCombinators : public ::testing::Test {
 protected:
  std::shared_ptr<os::DispatchQueue> queue_ = os::DispatchQueue::serial("test.promises.combine");
};

TEST_F(PRMPromiseCombinators, EmptyListsOfAllAndAnyFulfilAtOnce) {
  auto all = PRMPromise<int>::all(queue_, {});
  ASSERT_TRUE(all.isFulfilled());
  EXPECT_TRUE(all.value()->empty());
  EXPECT_TRUE(PRMPromise<void>::all(queue_, {}).isFulfilled());
  auto any = PRMPromise<int>::any(queue_, {});
  ASSERT_TRUE(any.isFulfilled());
  EXPECT_TRUE(any.value()->empty());
}

TEST_F(PRMPromiseCombinators, AllGivesTheValuesInInputOrderWhateverOrderTheyArriveIn) {
  auto last = PRMPromise<int>::resolvedWith(1).delay(queue_, 0.05);
  auto first = PRMPromise<int>::resolvedWith(3);
  auto all = PRMPromise<int>::all(queue_, {last, 2, first});
  EXPECT_EQ(PRMPromiseAwait(all), (std::vector<int>{1, 2, 3}));

  // The platform's nil keeps its place as the null value.
  auto values = PRMPromise<os::Value>::all(
      queue_, {os::Value(1), PRMPromise<os::Value>::resolvedWith(nullptr), os::Value("x")});
  EXPECT_EQ(PRMPromiseAwait(values), (std::vector<os::Value>{1, nullptr, "x"}));
}

TEST_F(PRMPromiseCombinators, AllRejectsWithAnErrorEntryWithoutWaitingForEarlierEntries) {
  auto pending = PRMPromise<int>::pendingPromise();
  auto all =
      PRMPromise<int>::all(queue_, {pending, testError(1), PRMPromise<int>::resolvedWith(2)});
  ASSERT_TRUE(settles(all));
  EXPECT_EQ(all.error(), testError(1));
  EXPECT_TRUE(pending.isPending());
}

TEST_F(PRMPromiseCombinators, AllRejectsWithTheFirstRejectionAndIgnoresTheRest) {
  auto a = PRMPromise<int>::pendingPromise();
  auto b = PRMPromise<int>::pendingPromise();
  auto c = PRMPromise<int>::pendingPromise();
  auto all = PRMPromise<int>::all(queue_, {a, b, c});
  a.fulfill(1);
  c.reject(testError(3));
  ASSERT_TRUE(settles(all));
  b.reject(testError(2));
  ASSERT_TRUE(PRMWaitForAllPromises(kPatience));
  EXPECT_EQ(all.error(), testError(3));
}

TEST_F(PRMPromiseCombinators, AllWaitsForTheLastOfManyPromises) {
  constexpr int kCount = 100'000;
  std::vector<PRMPromise<int>> promises;
  promises.reserve(kCount);
  for (int i = 0; i < kCount; ++i) promises.push_back(PRMPromise<int>::pendingPromise());
  auto all = PRMPromise<int>::all(queue_, {promises.begin(), promises.end()});
  for (int i = kCount - 1; i > 0; --i) promises[i].fulfill(i);
  queue_->sync([] {});
  EXPECT_TRUE(all.isPending());
  promises[0].fulfill(0);
  auto values = PRMPromiseAwait(all);
  ASSERT_TRUE(values);
  ASSERT_EQ(values->size(), size_t{kCount});
  for (int i = 0; i < kCount; ++i) ASSERT_EQ((*values)[i], i);
}

TEST_F(PRMPromiseCombinators, AllOfVoidPromisesFulfilsOnceEveryOneHas) {
  auto a = PRMPromise<void>::pendingPromise();
  auto b = PRMPromise<void>::pendingPromise();
  auto all = PRMPromise<void>::all(queue_, {a, b, PRMResult<void>()});
  a.fulfill();
  queue_->sync([] {});
  EXPECT_TRUE(all.isPending());
  b.fulfill();
  EXPECT_TRUE(PRMPromiseAwait(all));
}

TEST_F(PRMPromiseCombinators, PRMPromiseAllGathersValuesOfDifferentTypes) {
  auto identifier = PRMPromise<std::string>::pendingPromise();
  auto both = PRMPromiseAll(queue_, identifier, PRMPromise<int64_t>::resolvedWith(7),
                            PRMPromise<os::Value>::resolvedWith(nullptr));
  identifier.fulfill("fid");
  EXPECT_EQ(PRMPromiseAwait(both), std::make_tuple(std::string("fid"), int64_t{7}, os::Value()));

  auto failed = PRMPromiseAll(queue_, PRMPromise<std::string>::pendingPromise(),
                              PRMPromise<int>::resolvedWith(testError(6)));
  ASSERT_TRUE(settles(failed));
  EXPECT_EQ(failed.error(), testError(6));
}

TEST_F(PRMPromiseCombinators, AnyGivesEachValueOrErrorInInputOrder) {
  auto later = PRMPromise<int>::pendingPromise();
  auto any = PRMPromise<int>::any(
      queue_, {PRMPromise<int>::resolvedWith(testError(1)), later, testError(2), 4});
  queue_->sync([] {});
  EXPECT_TRUE(any.isPending());  // an entry is still pending
  later.fulfill(3);
  auto outcomes = PRMPromiseAwait(any);
  ASSERT_TRUE(outcomes);
  ASSERT_EQ(outcomes->size(), 4u);
  EXPECT_EQ((*outcomes)[0].error(), testError(1));
  EXPECT_EQ((*outcomes)[1].value(), 3);
  EXPECT_EQ((*outcomes)[2].error(), testError(2));
  EXPECT_EQ((*outcomes)[3].value(), 4);
}

TEST_F(PRMPromiseCombinators, AnyRejectsWithTheLastErrorWhenEveryEntryRejects) {
  auto a = PRMPromise<int>::pendingPromise();
  auto b = PRMPromise<int>::pendingPromise();
  auto any = PRMPromise<int>::any(queue_, {a, b});
  b.reject(testError(2));
  queue_->sync([] {});
  a.reject(testError(1));
  ASSERT_TRUE(settles(any));
  EXPECT_EQ(any.error(), testError(1));
}

TEST_F(PRMPromiseCombinators, RaceTakesThePlainEntryFirstAndOtherwiseTheFirstOutcome) {
  // A plain entry wins at once, even over a promise listed before it that has fulfilled.
  auto plain = PRMPromise<int>::race(queue_, {PRMPromise<int>::resolvedWith(1), 2, testError(3)});
  EXPECT_EQ(PRMPromiseAwait(plain), 2);
  auto plainError =
      PRMPromise<int>::race(queue_, {PRMPromise<int>::pendingPromise(), testError(3)});
  ASSERT_TRUE(settles(plainError));
  EXPECT_EQ(plainError.error(), testError(3));

  auto slow = PRMPromise<int>::pendingPromise();
  auto fast = PRMPromise<int>::pendingPromise();
  auto race = PRMPromise<int>::race(queue_, {slow, fast});
  fast.reject(testError(4));
  ASSERT_TRUE(settles(race));
  slow.fulfill(5);
  ASSERT_TRUE(PRMWaitForAllPromises(kPatience));
  EXPECT_EQ(race.error(), testError(4));
}

TEST_F(PRMPromiseCombinators, RaceOfAnEmptyListNeverResolves) {
  auto race = PRMPromise<int>::race(queue_, {});
  EXPECT_FALSE(settles(race, 0.1));
}

TEST_F(PRMPromiseCombinators, ReduceFoldsTheItemsInOrder) {
  auto receiver = PRMPromise<std::string>::resolvedWith(">");
  auto folded = receiver.reduce(
      queue_, std::vector<int>{1, 2, 3},
      [](const std::string& partial, int item) { return partial + std::to_string(item); });
  EXPECT_EQ(PRMPromiseAwait(folded), ">123");
  EXPECT_TRUE(receiver.reduce(queue_, std::vector<int>{},
                              [](const std::string& s, int) { return s; }) == receiver);
}

TEST_F(PRMPromiseCombinators, ReduceFollowsPromisesAndStopsAtTheFirstError) {
  std::atomic<int> calls{0};
  auto folded = PRMPromise<int>::resolvedWith(0).reduce(
      queue_, std::vector<int>{1, 2, 3, 4}, [&](int partial, int item) -> PRMResult<int> {
        ++calls;
        if (item == 3) return testError(3);
        return PRMPromise<int>::resolvedWith(partial + item);
      });
  ASSERT_TRUE(settles(folded));
  EXPECT_EQ(folded.error(), testError(3));
  EXPECT_EQ(calls, 3);

  auto rejected = PRMPromise<int>::resolvedWith(testError(1))
                      .reduce(queue_, std::vector<int>{1, 2}, [&](int partial, int) {
                        ++calls;
                        return partial;
                      });
  ASSERT_TRUE(settles(rejected));
  EXPECT_EQ(rejected.error(), testError(1));
  EXPECT_EQ(calls, 3);
}

}  // namespace
