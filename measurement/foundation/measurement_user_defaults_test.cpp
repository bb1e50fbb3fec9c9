#include "measurement/foundation/measurement_user_defaults.h"

#include <gtest/gtest.h>

#include "measurement/foundation/test_support.h"
#include "platform/utilities/logger.h"

namespace measurement {
namespace {

constexpr const char* kSuite = "com.vedodo.gmp.measurement.tcf.userdefaults";

class MeasurementUserDefaultsTest : public testing::Test {
 protected:
  MeasurementUserDefaultsTest() { VDULoggerResetForTesting(); }
  static os::Value onDisk(const std::string& domain) { return PreferencesSandbox::onDisk(domain); }

  PreferencesSandbox sandbox_;
  VDULoggerCapture capture_;
};

TEST_F(MeasurementUserDefaultsTest, TypedReadsConvertNumbersOnlyAndGiveTheirOwnKindOnly) {
  MeasurementUserDefaults defaults(kSuite);
  defaults.setObject(os::Value("12"), "text");
  defaults.setInteger(7, "integer");
  defaults.setDouble(2.5, "real");
  defaults.setBool(true, "flag");
  defaults.setObject(os::Array{"a"}, "array");
  defaults.setObject(os::Dictionary{{"k", 1}}, "dictionary");
  defaults.setObject(os::Date{1.7e9}, "date");
  defaults.setObject(os::Data{1, 2}, "data");

  struct Case {
    const char* key;
    int64_t integer;
    double real;
    bool flag;
    bool string, array, dictionary, number;
  };
  const Case cases[] = {
      {"text", 0, 0, false, true, false, false, false},
      {"integer", 7, 7, true, false, false, false, true},
      {"real", 2, 2.5, true, false, false, false, true},
      {"flag", 1, 1, true, false, false, false, true},
      {"array", 0, 0, false, false, true, false, false},
      {"dictionary", 0, 0, false, false, false, true, false},
      {"date", 0, 0, false, false, false, false, false},
      {"data", 0, 0, false, false, false, false, false},
      {"missing", 0, 0, false, false, false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    EXPECT_EQ(defaults.integerForKey(c.key), c.integer);
    EXPECT_EQ(defaults.doubleForKey(c.key), c.real);
    EXPECT_EQ(defaults.floatForKey(c.key), static_cast<float>(c.real));
    EXPECT_EQ(defaults.boolForKey(c.key), c.flag);
    EXPECT_EQ(defaults.stringForKey(c.key).has_value(), c.string);
    EXPECT_EQ(defaults.arrayForKey(c.key).has_value(), c.array);
    EXPECT_EQ(defaults.dictionaryForKey(c.key).has_value(), c.dictionary);
    EXPECT_EQ(!defaults.numberForKey(c.key).isNull(), c.number);
  }
  EXPECT_EQ(onDisk(kSuite)["date"], os::Value(os::Date{1.7e9}));
  EXPECT_EQ(onDisk(kSuite)["data"], os::Value(os::Data{1, 2}));
}

TEST_F(MeasurementUserDefaultsTest, RefusalsAreLoggedAndChangeNothing) {
  MeasurementUserDefaults defaults(kSuite);
  defaults.setInteger(1, "kept");
  defaults.setObject(2, "");
  EXPECT_TRUE(defaults.objectForKey("").isNull());
  defaults.setObject(os::Array{"x", nullptr}, "kept");
  EXPECT_EQ(defaults.integerForKey("kept"), 1);
  EXPECT_EQ(onDisk(kSuite), os::Value(os::Dictionary{{"kept", 1}}));
  EXPECT_TRUE(capture_.contains(
      "<ZadOdavodivezi>[I-ACS041002] Cannot set object for invalid user default key."));
  EXPECT_TRUE(capture_.contains(
      "<ZadOdavodivezi>[I-ACS041001] Cannot get object for invalid user default key."));
  EXPECT_TRUE(
      capture_.contains("<ZadOdavodivezi>[I-ACS041003] Cannot set invalid object to user "
                        "defaults. Must be a string or number or an array. Value"));
}

TEST_F(MeasurementUserDefaultsTest, SuitesAreSeparateAndClearingEmptiesOnlyItsOwn) {
  MeasurementUserDefaults suite(kSuite);
  MeasurementUserDefaults& app = MeasurementUserDefaults::shared();
  suite.setInteger(1, "a");
  suite.setInteger(2, "b");
  app.setInteger(3, "a");
  suite.clearAllData();
  EXPECT_TRUE(suite.objectForKey("a").isNull());
  EXPECT_TRUE(suite.objectForKey("b").isNull());
  EXPECT_EQ(app.integerForKey("a"), 3);
  EXPECT_EQ(onDisk(kSuite), os::Value(os::Dictionary{}));
  EXPECT_EQ(onDisk(os::UserDefaults::standard().domainName())["a"], os::Value(3));
}

}  // namespace
}  // namespace measurement
