#include "measurement/runtime/value.h"

#include <gtest/gtest.h>
#include <unicode/numberformatter.h>

#include <cmath>
#include <cstring>
#include <random>

#include "measurement/runtime/test_support.h"

namespace measurement::runtime {
namespace {

using testing::run;

std::string text(double value) { return os::text::fromUtf16(numberText(value)); }

TEST(ValuesTest, NumberText) {
  EXPECT_EQ(text(1e21), "1e+21");
  EXPECT_EQ(text(0.000001), "0.000001");
  EXPECT_EQ(text(0.0000001), "1e-7");
  EXPECT_EQ(text(1.5e-7), "1.5e-7");
  EXPECT_EQ(text(-0.0), "0");
  EXPECT_EQ(text(1234567), "1234567");
  EXPECT_EQ(text(2.5), "2.5");
  EXPECT_EQ(text(0.1), "0.1");
  EXPECT_EQ(text(-123.456), "-123.456");
  EXPECT_EQ(text(1e20), "100000000000000000000");
  EXPECT_EQ(text(std::nan("")), "NaN");
  EXPECT_EQ(text(-INFINITY), "-Infinity");
  EXPECT_EQ(text(5e-324), "5e-324");
  EXPECT_EQ(text(1.7976931348623157e308), "1.7976931348623157e+308");
}

// ICU's formatter with 17 significant digits, half-up, no grouping, scientific outside the
// plain range, gives the same text.
std::string icuText(double value) {
  using namespace icu::number;
  bool scientific = std::fabs(value) >= 1e21 || std::fabs(value) < 1e-6;
  LocalizedNumberFormatter formatter =
      NumberFormatter::withLocale(icu::Locale("en_US"))
          .precision(Precision::maxSignificantDigits(17))
          .roundingMode(UNUM_ROUND_HALFUP)
          .grouping(UNUM_GROUPING_OFF)
          .notation(scientific ? Notation::scientific() : Notation::simple());
  UErrorCode status = U_ZERO_ERROR;
  icu::UnicodeString formatted = formatter.formatDouble(value, status).toString(status);
  std::string out;
  formatted.toUTF8String(out);
  std::string fixed;
  for (size_t i = 0; i < out.size(); ++i) {
    if (out[i] == 'E') {
      fixed += out[i + 1] == '-' ? "e" : "e+";
    } else {
      fixed += out[i];
    }
  }
  return fixed;
}

TEST(ValuesTest, NumberTextAgreesWithIcu) {
  std::mt19937_64 random(7);
  std::uniform_int_distribution<uint64_t> bits;
  int compared = 0;
  for (int i = 0; i < 20000; ++i) {
    uint64_t pattern = bits(random);
    double value;
    std::memcpy(&value, &pattern, sizeof value);
    if (!std::isfinite(value) || value == 0) continue;
    ASSERT_EQ(text(value), icuText(value)) << pattern;
    ++compared;
  }
  for (double value : {0.1, 1.0 / 3, 123456789012345680000.0, 1e-6, 9.999999999999999e20, 1e-7}) {
    EXPECT_EQ(text(value), icuText(value));
  }
  EXPECT_GT(compared, 19000);
}

TEST(ValuesTest, StringNumber) {
  EXPECT_EQ(stringNumber(u"  "), 0);
  EXPECT_TRUE(std::isnan(stringNumber(u"12abc")));
  EXPECT_EQ(stringNumber(u"1e3"), 1000);
  EXPECT_EQ(stringNumber(u" \u00a0\u2028-2.5\n"), -2.5);
  EXPECT_EQ(stringNumber(u"Infinity"), INFINITY);
  EXPECT_TRUE(std::isnan(stringNumber(u"+Infinity")));
  EXPECT_EQ(stringNumber(u".5"), 0.5);
  EXPECT_EQ(stringNumber(u"5."), 5);
  EXPECT_TRUE(std::isnan(stringNumber(u".")));
  EXPECT_TRUE(std::isnan(stringNumber(u"1e")));
  EXPECT_TRUE(std::isnan(stringNumber(u"0x10")));
  EXPECT_EQ(stringNumber(u"1e400"), INFINITY);
  EXPECT_EQ(stringNumber(u"-1e-400"), 0);
}

TEST(ValuesTest, Table) {
  const testing::Row rows[] = {
      {R"(("7" ("44") ("45") 1))", "[undefined,null,1]"},
      {R"(("0" "" ("7" ("44") ("45") 1)))", "',,1'"},
      {R"(("41" "a") ("3" "a" ("7")) ("43" ("15" "a") 5 1) ("16" ("15" "a") "length"))", "6"},
      {R"(("41" "a") ("3" "a" ("7")) ("43" ("15" "a") 5 1) ("16" ("15" "a") 2))", "undefined"},
      {R"(("41" "a") ("3" "a" ("7")) ("43" ("15" "a") 5 1)
          ("2" ("15" "a") "hasOwnProperty" ("46" 2)))",
       "false"},
      {R"(("41" "a" "k") ("3" "a" ("7")) ("3" "k" "") ("43" ("15" "a") 5 1) ("43" ("15" "a") "p" 1)
          ("47" "n" ("15" "a") ("46" ("3" "k" ("0" ("15" "k") ("15" "n"))))) ("15" "k"))",
       "'p5'"},
      {R"(("43" ("7") "length" -1))", "error 11"},
      {R"(("50" "f" ("7") 1 2) ("f"))", "2"},
      {R"(("2" ("44") "x" ("46")))", "error 7"},
      {R"(("0" ("7" ("7" 1 2) 3) ""))", "'1,2,3'"},
      {R"(("0" ("51" "fname" ("7")) ""))", "'fname'"},
      {R"(("37" ("7" "5") 1))", "4"},
      {R"(("37" ("8") 1))", "NaN"},
      {R"(("28" ("7")))", "false"},
  };
  for (const auto& row : rows) EXPECT_EQ(run(row.program), row.expected) << row.program;
}

TEST(ValuesTest, EqualityAndCycles) {
  os::Error error;
  Value nan = Value::number(std::nan(""));
  EXPECT_TRUE(isEqualToRuntimeValue(nan, nan, &error));
  EXPECT_FALSE(strictEquals(nan, nan));
  Ref<APMPArrayValue> a(new APMPArrayValue({Value::number(1)}));
  Ref<APMPArrayValue> b(new APMPArrayValue({Value::number(1)}));
  EXPECT_TRUE(isEqualToRuntimeValue(Value(a), Value(b), &error));
  EXPECT_FALSE(strictEquals(Value(a), Value(b)));
  // Cycles: string forms write "" where they recur; equality stops with error 10.
  a->elements().push_back(Value(a));
  b->elements().push_back(Value(b));
  EXPECT_EQ(os::text::fromUtf16(stringForm(Value(a), &error)), "1,");
  EXPECT_FALSE(failed(&error));
  EXPECT_FALSE(isEqualToRuntimeValue(Value(a), Value(b), &error));
  EXPECT_EQ(error.code, kWrongKind);
  a->dropContents();
  b->dropContents();
}

TEST(ValuesTest, DeepChainsAreFreedWithoutRecursion) {
  Value chain = Value(Ref<APMPArrayValue>(new APMPArrayValue()));
  for (int i = 0; i < 1000000; ++i) {
    chain = Value(Ref<APMPArrayValue>(new APMPArrayValue({chain})));
  }
  chain = Value();  // would overflow the stack if destruction recursed
  SUCCEED();
}

}  // namespace
}  // namespace measurement::runtime
