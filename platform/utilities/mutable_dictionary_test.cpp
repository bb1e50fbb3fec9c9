#include "platform/utilities/mutable_dictionary.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

TEST(VDUMutableDictionary, AReadSeesEveryEarlierWriteOfItsThread) {
  VDUMutableDictionary<> dictionary;
  EXPECT_EQ(dictionary.count(), 0u);
  dictionary.setObject("one", "a");
  EXPECT_EQ(dictionary.objectForKey("a"), os::Value("one"));
  dictionary.setObjectForKeyedSubscript(os::Value(2), "b");
  EXPECT_EQ(dictionary["b"], os::Value(2));
  dictionary.setObjectForKeyedSubscript(std::nullopt, "a");
  EXPECT_EQ(dictionary.objectForKey("a"), std::nullopt);
  dictionary.removeObjectForKey("b");
  EXPECT_EQ(dictionary.count(), 0u);
}

TEST(VDUMutableDictionary, SnapshotsDoNotChangeWithLaterWrites) {
  VDUMutableDictionary<> dictionary;
  dictionary.setObject(1, "a");
  dictionary.setObject(2, "b");
  auto snapshot = dictionary.dictionary();
  dictionary.removeAllObjects();
  EXPECT_EQ(dictionary.count(), 0u);
  EXPECT_EQ(snapshot.size(), 2u);
  EXPECT_EQ(dictionary.description(), "{}");
  dictionary.setObject("x", "k");
  EXPECT_EQ(dictionary.description(), "{\n    k = x;\n}");
}

TEST(VDUMutableDictionary, ManyThreadsWriteWithoutLosingAnything) {
  VDUMutableDictionary<int> dictionary;
  std::vector<std::thread> threads;
  for (int thread = 0; thread < 4; ++thread) {
    threads.emplace_back([&dictionary, thread] {
      for (int i = 0; i < 250; ++i) {
        dictionary.setObject(i, std::to_string(thread) + "-" + std::to_string(i));
        (void)dictionary.count();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(dictionary.count(), 1000u);
  EXPECT_EQ(dictionary.objectForKey("3-249"), 249);
}

}  // namespace
