#include "measurement/audience/regex_cache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace measurement {
namespace {

TEST(RegexCache, CompilesEachPatternAndCaseRuleOnce) {
  os::Error error;
  auto first = cachedRegex("^lev(el)?_[0-9]+$", false, &error);
  ASSERT_TRUE(first);
  EXPECT_EQ(cachedRegex("^lev(el)?_[0-9]+$", false, &error), first);
  auto exactCase = cachedRegex("^lev(el)?_[0-9]+$", true, &error);
  ASSERT_TRUE(exactCase);
  EXPECT_NE(exactCase, first);

  EXPECT_EQ(first->firstMatch("LEVEL_3"), true);
  EXPECT_EQ(exactCase->firstMatch("LEVEL_3"), false);
  EXPECT_EQ(exactCase->firstMatch("lev_42"), true);
}

TEST(RegexCache, FindsAMatchAnywhereCountingUtf16Units) {
  os::Error error;
  auto regex = CompiledRegex::compile("^.b", true, &error);
  ASSERT_TRUE(regex);
  // An emoji is one code point: "." consumes all of it.
  EXPECT_EQ(regex->firstMatch("😀b"), true);
  EXPECT_EQ(CompiledRegex::compile("x", true, &error)->firstMatch("abxcd"), true);
}

TEST(RegexCache, RefusesAPatternThatDoesNotCompile) {
  os::Error error;
  EXPECT_FALSE(cachedRegex("(unbalanced", false, &error));
  EXPECT_EQ(error.description, "U_REGEX_MISMATCHED_PAREN");
  EXPECT_FALSE(cachedRegex("(unbalanced", false, nullptr));
}

TEST(RegexCache, ABacktrackingPatternStopsAtTheLimitAndTheNextMatchRuns) {
  os::Error error;
  auto regex = cachedRegex("(a+)+$", true, &error);
  ASSERT_TRUE(regex);
  EXPECT_EQ(regex->firstMatch(std::string(30, 'a') + "b"), std::nullopt);
  EXPECT_EQ(regex->firstMatch(std::string(30, 'a')), true);
  EXPECT_EQ(regex->firstMatch("b"), false);
}

TEST(RegexCache, ThreadsShareOneExpressionEachMatchingItsOwnText) {
  os::Error error;
  auto regex = cachedRegex("(a+)+$", true, &error);
  ASSERT_TRUE(regex);
  const std::string hostile = std::string(30, 'a') + "b";
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 20; ++i) {
        // Matches that hit the limit put their matcher back for the next one.
        const bool stopped = (t + i) % 5 == 0;
        std::optional<bool> found = regex->firstMatch(stopped ? hostile : std::string(t + 1, 'a'));
        if (found != (stopped ? std::nullopt : std::optional<bool>(true))) ++wrong;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong, 0);
}

}  // namespace
}  // namespace measurement
