#include "measurement/audience/filter_matching.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "measurement/audience/test_support.h"
#include "measurement/foundation/monitor_capture.h"

namespace measurement {
namespace {

using testing::message;
namespace ref = testing::ref;

using FilterMatchingTest = testing::SandboxedTest;

APMPBFilter filter(std::string_view text) { return message<APMPBFilter, ref::Filter>(text); }
APMPBNumberFilter numberFilter(std::string_view text) {
  return message<APMPBNumberFilter, ref::NumberFilter>(text);
}

Value text(const char* value) { return Value(std::string(value)); }
Value integer(int64_t value) { return Value(value); }

TEST(DecimalOrder, ComparesExactly) {
  struct Case {
    const char* a;
    const char* b;
    std::strong_ordering order;
  };
  const std::vector<Case> cases = {
      {"1.5", "2", std::strong_ordering::less},
      {"-3", "-2.99", std::strong_ordering::less},
      {"10", "9.999999999999999999999999999999999999", std::strong_ordering::greater},
      {"0", "-0.0001", std::strong_ordering::greater},
      {"-0", "0", std::strong_ordering::equal},
      {"1.50", "1.5", std::strong_ordering::equal},
      {"0.00000000000000000001", "0", std::strong_ordering::greater},
      {"9223372036854775807", "9223372036854775806", std::strong_ordering::greater},
  };
  for (const Case& c : cases) {
    std::optional<Decimal> a = Decimal::parse(c.a);
    std::optional<Decimal> b = Decimal::parse(c.b);
    if (!b) continue;
    EXPECT_TRUE((*a <=> *b) == c.order) << c.a << " vs " << c.b;
    EXPECT_TRUE((*b <=> *a) == (0 <=> (*a <=> *b))) << c.a << " vs " << c.b;
  }
}

TEST_F(FilterMatchingTest, MatchesValuesAgainstNumberFilters) {
  struct Case {
    const char* filter;
    Value value;
    Outcome expected;
  };
  const std::vector<Case> cases = {
      {"number_filter { comparison_type: 1 comparison_value: '10' }", integer(9), true},
      {"number_filter { comparison_type: 1 comparison_value: '10' }", integer(10), false},
      {"number_filter { comparison_type: 4 min_comparison_value: '1' max_comparison_value: '5' }",
       integer(1), true},
      {"number_filter { comparison_type: 4 min_comparison_value: '1' max_comparison_value: '5' }",
       integer(5), true},
      {"number_filter { comparison_type: 4 min_comparison_value: '1' max_comparison_value: '5' }",
       integer(6), false},
      {"number_filter { comparison_type: 2 comparison_value: '11' }", text("12"), true},
      {"number_filter { comparison_type: 3 comparison_value: '+7.' }", text("7.000"), true},
      {"number_filter { comparison_type: 3 comparison_value: '0.1' }", Value(0.1), true},
      {"number_filter { comparison_type: 2 comparison_value: '0.1' }", Value(0.1), false},
      {"number_filter { comparison_type: 3 comparison_value: '9007199254740993' }",
       integer(9007199254740993), true},
      {"number_filter { comparison_type: 3 comparison_value: '9007199254740992' }",
       integer(9007199254740993), false},
      // Negation inverts known outcomes only.
      {"negate: true number_filter { comparison_type: 1 comparison_value: '10' }", integer(9),
       false},
      {"negate: true number_filter { comparison_type: 1 comparison_value: '10' }", integer(10),
       true},
      {"negate: true number_filter { comparison_type: 1 comparison_value: '10' }", text("x"),
       std::nullopt},
      // The number filter wins over a string filter.
      {"number_filter { comparison_type: 1 comparison_value: '10' } "
       "string_filter { match_type: 5 expression: '3' }",
       integer(3), true},
      // Neither a number nor a string: nothing to compare, nothing logged.
      {"number_filter { comparison_type: 1 comparison_value: '10' }", Value(os::Array{}),
       std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(evaluateParameterFilter(filter(c.filter), c.value), c.expected)
        << c.filter << " with " << c.value.description();
  }
}

TEST_F(FilterMatchingTest, DoubleEqualityAcceptsTheNearestTwoNeighbours) {
  APMPBNumberFilter equal = numberFilter("comparison_type: 3 comparison_value: '2.5'");
  const double c = 2.5;
  const double up = std::nextafter(c, 3.0);
  const double down = std::nextafter(c, 2.0);
  EXPECT_EQ(evaluateNumberFilterWithDouble(equal, c), true);
  EXPECT_EQ(evaluateNumberFilterWithDouble(equal, up), true);
  EXPECT_EQ(evaluateNumberFilterWithDouble(equal, down), true);
  EXPECT_EQ(evaluateNumberFilterWithDouble(equal, std::nextafter(up, 3.0)), false);
  EXPECT_EQ(evaluateNumberFilterWithDouble(equal, std::nextafter(down, 2.0)), false);
}

TEST_F(FilterMatchingTest, LogsWhyAValueCannotBeCompared) {
  struct Case {
    const char* filter;
    Value value;
    int64_t code;
  };
  const std::vector<Case> cases = {
      {"number_filter { comparison_type: 2 comparison_value: '11' }", text("12a"), 7001},
      {"number_filter { comparison_type: 2 comparison_value: '11' }",
       Value(std::numeric_limits<double>::infinity()), 7002},
      {"number_filter { comparison_type: 2 comparison_value: '11' }", Value(std::nan("")), 7002},
      {"string_filter { match_type: 2 expression: 'a' }", integer(1), 7003},
      {"negate: true", text("a"), 7000},
      // More digits than a decimal keeps: the comparison value cannot be parsed exactly.
      {"number_filter { comparison_type: 1 comparison_value: "
       "'1.23456789012345678901234567890123456789012345' }",
       integer(1), 8015},
  };
  for (const Case& c : cases) {
    MonitorCapture capture;
    EXPECT_EQ(evaluateParameterFilter(filter(c.filter), c.value), std::nullopt) << c.filter;
    EXPECT_TRUE(capture.contains(c.code)) << c.filter << " should log " << c.code;
  }
}

TEST_F(FilterMatchingTest, ValidatesNumberFilters) {
  struct Case {
    const char* filter;
    bool valid;
    std::vector<int64_t> codes;
  };
  const std::vector<Case> cases = {
      {"comparison_value: '1'", false, {8006}},
      {"comparison_type: 0 comparison_value: '1'", false, {8007}},
      {"comparison_type: 5 comparison_value: '1'", false, {8011}},
      {"comparison_type: 1", false, {8008}},
      {"comparison_type: 2 comparison_value: '1e3'", false, {8008}},
      {"comparison_type: 4 comparison_value: '1'", false, {8009, 8010}},
      {"comparison_type: 4 min_comparison_value: '1'", false, {8010}},
      {"comparison_type: 4 min_comparison_value: '-.5' max_comparison_value: '2.'", true, {}},
      {"comparison_type: 3 comparison_value: '-0.5' float_comparison: true", true, {}},
  };
  for (const Case& c : cases) {
    MonitorCapture capture;
    EXPECT_EQ(isValidNumberFilter(numberFilter(c.filter)), c.valid) << c.filter;
    std::vector<int64_t> codes;
    for (const MonitorRecord& record : capture.records()) codes.push_back(record.code);
    EXPECT_EQ(codes, c.codes) << c.filter;
    // An invalid filter evaluates to unknown.
    if (!c.valid) {
      EXPECT_EQ(evaluateNumberFilterWithInt64(numberFilter(c.filter), 1), std::nullopt);
    }
  }
}

}  // namespace
}  // namespace measurement
