#include "measurement/foundation/numeric.h"

#include <gtest/gtest.h>
#include <unicode/regex.h>

#include <memory>
#include <set>

#include "measurement/foundation/monitor_capture.h"
#include "measurement/foundation/test_support.h"

namespace measurement {
namespace {

// The accept set is that of the regular expression below matched against the whole text; ICU's
// matcher serves as the independent reference.
bool referenceMatches(std::string_view text) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::UnicodeString pattern(u"^[+-]?(([0-9]+\\.?)|([0-9]*\\.[0-9]+))$");
  // The matcher keeps a reference to its input.
  const icu::UnicodeString input =
      icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), text.size()));
  auto matcher =
      std::make_unique<icu::RegexMatcher>(pattern, input, UREGEX_CASE_INSENSITIVE, status);
  EXPECT_TRUE(U_SUCCESS(status));
  return matcher->matches(status);
}

TEST(Numeric, DecimalNumberStringsMatchTheReferenceExpression) {
  const char* texts[] = {
      "12",   "+3.",     "-0.5",    ".5",
      "1e3",  "0x10",    "",        ".",
      "+",    "-",       "+.",      "1.2.3",
      " 1",   "1 ",      "1\n",     "1\r\n",
      "1\r",  "1\f",     "1\v",     "1\n\n",
      "\n1",  "1\u2028", "1\u0085", "1\t",
      "0007", "-.25",    "+-1",     "١٢",
      "12a",  "1,5",     "00.00",   "9999999999999999999999999999999999999999999999"};
  for (const char* text : texts) {
    EXPECT_EQ(isDecimalNumberString(text), referenceMatches(text)) << '"' << text << '"';
  }
}

TEST(Numeric, DecimalNumberFromStringIsExactOrNothing) {
  // Refusals are logged through the process's monitor, which keeps its sample in the sandbox.
  PreferencesSandbox sandbox;
  MonitorCapture capture;
  struct Case {
    std::string text;
    const char* number;  // nullptr: no number, refused with `code`
    int64_t code = 0;
  };
  const Case cases[] = {
      {"12", "12"},
      {"-0.5", "-0.5"},
      {".5", "0.5"},
      {"-.25", "-0.25"},
      {"+.5", "0.5"},
      {"007", "7"},
      {"1.50", "1.5"},
      {"3.", "3"},
      {"-0", "0"},
      {"0.000", "0"},
      {"100", "100"},
      {"0.001", "0.001"},
      {"12\n", nullptr, 26001},
      {"12345678901234567890123456789012345678", "12345678901234567890123456789012345678"},
      {"-1234567890.1234567890123456789012345678", "-1234567890.1234567890123456789012345678"},
      // 45 significant digits: more than a Decimal keeps.
      {"123456789012345678901234567890123456789012345", nullptr, 26003},
      {"1.23456789012345678901234567890123456789012345", nullptr, 26003},
      // Rounded away in the 39th digit, which the text comparison cannot see.
      {"1.000000000000000000000000000000000000001", "1"},
      {"99999999999999999999999999999999999999.9", nullptr, 26003},
      {"1e3", nullptr, 26001},
      {"", nullptr, 26001},
      {"abc", nullptr, 26001},
      // Beyond the exponent a Decimal can hold.
      {"1" + std::string(128, '0'), nullptr, 26002},
  };
  for (const Case& c : cases) {
    const std::optional<Decimal> number = decimalNumberFromString(c.text);
    if (c.number) {
      ASSERT_TRUE(number) << c.text;
      EXPECT_EQ(number->text(), c.number);
    } else {
      EXPECT_FALSE(number) << c.text;
      ASSERT_FALSE(capture.records().empty());
      EXPECT_EQ(capture.records().back().code, c.code) << c.text;
      EXPECT_EQ(capture.records().back().level, 2);
    }
  }
}

TEST(Numeric, DecimalPowersOfTenStayWithinTheirRange) {
  EXPECT_TRUE(Decimal::parse("1" + std::string(127, '0')));
  EXPECT_FALSE(Decimal::parse("1" + std::string(128, '0')));
  EXPECT_TRUE(Decimal::parse("0." + std::string(127, '0') + "1"));
  EXPECT_FALSE(Decimal::parse("0." + std::string(128, '0') + "1"));
  EXPECT_EQ(Decimal::parse("1.0"), Decimal::parse("001"));
  EXPECT_NE(Decimal::parse("1"), Decimal::parse("-1"));
}

TEST(Numeric, RandomInt64Varies) {
  std::set<int64_t> values;
  for (int i = 0; i < 8; ++i) values.insert(randomInt64());
  EXPECT_GT(values.size(), 1u);
}

TEST(Numeric, NameTablesAreOneWay) {
  EXPECT_EQ(publicToInternalParameterNames().size(), 54u);
  EXPECT_EQ(userPropertyInternalNames().size(), 10u);
  std::set<std::string> publicNamesOfConversion;
  for (const auto& [publicName, internal] : publicToInternalParameterNames()) {
    EXPECT_TRUE(internal.starts_with("_")) << publicName;
    if (internal == "_c") publicNamesOfConversion.insert(publicName);
  }
  EXPECT_EQ(publicNamesOfConversion,
            (std::set<std::string>{"ga_conversion", "riveravo_conversion"}));
  EXPECT_EQ(userPropertyInternalNames().at("user_id"), "_id");
  EXPECT_EQ(publicToInternalParameterNames().at("message_device_time"), "_ndt");
}

}  // namespace
}  // namespace measurement
