#include "measurement/audience/regex_cache.h"

#include <gtest/gtest.h>

#include <string>

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

}  // namespace
}  // namespace measurement
