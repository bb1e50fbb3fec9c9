#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "measurement/audience/filter_matching.h"
#include "measurement/audience/test_support.h"
#include "measurement/foundation/monitor_capture.h"

namespace measurement {
namespace {

using testing::message;
namespace ref = testing::ref;

using StringFilterTest = testing::SandboxedTest;

APMPBStringFilter stringFilter(std::string_view text) {
  return message<APMPBStringFilter, ref::StringFilter>(text);
}

TEST_F(StringFilterTest, MatchesEachTypeWithAndWithoutCase) {
  struct Case {
    const char* filter;
    const char* value;
    bool expected;
  };
  const std::vector<Case> cases = {
      {"match_type: 2 expression: 'abc'", "ABCdef", true},
      {"match_type: 2 expression: 'abc' case_sensitive: true", "ABCdef", false},
      {"match_type: 2 expression: 'abc' case_sensitive: true", "abcdef", true},
      {"match_type: 3 expression: 'xyz'", "fooXYZ", true},
      {"match_type: 3 expression: 'xyz'", "fooxyzz", false},
      {"match_type: 3 expression: 'xyz' case_sensitive: true", "fooXYZ", false},
      {"match_type: 3 expression: 'longer than s'", "s", false},
      {"match_type: 4 expression: 'MID'", "a mid b", true},
      {"match_type: 4 expression: 'MID' case_sensitive: true", "a mid b", false},
      {"match_type: 5 expression: 'Exact'", "eXACT", true},
      {"match_type: 5 expression: 'Exact'", "eXACTly", false},
      {"match_type: 5 expression: 'Exact' case_sensitive: true", "eXACT", false},
      {"match_type: 6 expression_list: ['a', 'B']", "b", true},
      {"match_type: 6 expression_list: ['a', 'B']", "bb", false},
      {"match_type: 6 expression_list: ['a', 'B'] case_sensitive: true", "b", false},
      {"match_type: 6 expression_list: ['a', 'B'] case_sensitive: true", "B", true},
      // Positions count UTF-16 units: an emoji is two of them.
      {"match_type: 3 expression: '😀X'", "a😀x", true},
      {"match_type: 5 expression: '😀'", "😀", true},
      // Full case folding: "ß" folds to "ss", so the lengths differ and EXACT refuses.
      {"match_type: 2 expression: 'STRASS'", "straße", true},
      {"match_type: 5 expression: 'STRASSE'", "straße", false},
      {"match_type: 1 expression: '^lev(el)?_[0-9]+$'", "LEVEL_3", true},
      {"match_type: 1 expression: '^lev(el)?_[0-9]+$' case_sensitive: true", "LEVEL_3", false},
      {"match_type: 1 expression: 'b'", "abc", true},
      // A known type beyond IN_LIST never matches.
      {"match_type: 7 expression: 'a'", "a", false},
      // ASCII on both sides is compared byte by byte; anything else as Unicode text, where the
      // Kelvin sign folds to "k" and a letter with a combining mark is one character.
      {"match_type: 4 expression: 'ss'", "STRASSE", true},
      {"match_type: 4 expression: 'X' case_sensitive: true", "axb", false},
      {"match_type: 3 expression: 'abc'", "bc", false},
      {"match_type: 2 expression: 'kel'", "\u212Aelvin", true},
      {"match_type: 4 expression: 'AF'", "cafe\u0301", true},
      {"match_type: 4 expression: 'e'", "cafe\u0301", false},
      // An empty expression is no prefix or suffix, with or without the case rule.
      {"match_type: 2 expression: ''", "abc", false},
      {"match_type: 2 expression: '' case_sensitive: true", "abc", false},
      {"match_type: 3 expression: ''", "abc", false},
      {"match_type: 3 expression: '' case_sensitive: true", "abc", false},
  };
  for (const Case& c : cases) {
    const std::string value = c.value;
    const APMPBStringFilter filter = stringFilter(c.filter);
    EXPECT_EQ(evaluateStringFilter(filter, &value), c.expected) << c.filter << " with " << c.value;
    // The prepared form answers the same.
    std::optional<PreparedStringFilter> prepared = PreparedStringFilter::of(filter);
    ASSERT_TRUE(prepared) << c.filter;
    EXPECT_EQ(evaluateStringFilter(*prepared, filter, &value), c.expected)
        << c.filter << " with " << c.value;
  }
}

TEST_F(StringFilterTest, ValidatesWhatEachTypeNeeds) {
  struct Case {
    const char* filter;
    bool valid;
    int64_t code;
  };
  const std::vector<Case> cases = {
      {"expression: 'a'", false, 9000},
      {"match_type: 0 expression: 'a'", false, 9001},
      {"match_type: 2", false, 9002},
      {"match_type: 6", false, 9003},
      {"match_type: 6 expression: 'a'", false, 9003},
      {"match_type: 1 expression: '(unbalanced'", false, 9004},
      {"match_type: 6 expression_list: 'a'", true, 0},
      {"match_type: 8 expression: 'a'", true, 0},
      {"match_type: 1 expression: '[a-z]+'", true, 0},
  };
  for (const Case& c : cases) {
    {
      // Preparing a filter tells the same without a word: the evaluation logs.
      MonitorCapture silent;
      EXPECT_EQ(PreparedStringFilter::of(stringFilter(c.filter)).has_value(), c.valid) << c.filter;
      EXPECT_TRUE(silent.records().empty()) << c.filter;
    }
    MonitorCapture capture;
    EXPECT_EQ(isValidStringFilter(stringFilter(c.filter)), c.valid) << c.filter;
    if (!c.valid) {
      EXPECT_TRUE(capture.contains(c.code)) << c.filter;
      const std::string value = "a";
      EXPECT_EQ(evaluateStringFilter(stringFilter(c.filter), &value), std::nullopt);
      EXPECT_TRUE(capture.contains(9006)) << c.filter;
    }
  }
  MonitorCapture capture;
  EXPECT_EQ(evaluateStringFilter(stringFilter("match_type: 2 expression: 'a'"), nullptr),
            std::nullopt);
  EXPECT_TRUE(capture.contains(9005));
}

TEST_F(StringFilterTest, ABacktrackingExpressionIsUnknownAndTheNextValueIsEvaluated) {
  APMPBStringFilter filter =
      stringFilter("match_type: 1 expression: '(a+)+$' case_sensitive: true");
  MonitorCapture capture;
  const std::string hostile = std::string(30, 'a') + "b";
  EXPECT_EQ(evaluateStringFilter(filter, &hostile), std::nullopt);
  EXPECT_TRUE(capture.contains(9006));
  const std::string benign = std::string(30, 'a');
  EXPECT_EQ(evaluateStringFilter(filter, &benign), true);
}

}  // namespace
}  // namespace measurement
