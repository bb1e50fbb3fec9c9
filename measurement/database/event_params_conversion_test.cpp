#include "measurement/database/event_params_conversion.h"

#include <gtest/gtest.h>

#include "measurement/database/database_test_support.h"
#include "measurement/foundation/measurement_error.h"
#include "measurement/wire/access.h"

namespace measurement {
namespace {

APMPBEventParam named(const char* name) {
  APMPBEventParam param;
  if (name) APMPBSetString(param, kEventParam_name, name);
  return param;
}
APMPBEventParam text(const char* name, const char* value) {
  APMPBEventParam param = named(name);
  APMPBSetString(param, kEventParam_string_value, value);
  return param;
}
APMPBEventParam number(const char* name, int64_t value) {
  APMPBEventParam param = named(name);
  APMPBSetInt64(param, kEventParam_int_value, value);
  return param;
}
APMPBEventParam real(const char* name, double value) {
  APMPBEventParam param = named(name);
  APMPBSetDouble(param, kEventParam_double_value, value);
  return param;
}
APMPBEventParam floatOnly(const char* name) {
  APMPBEventParam param = named(name);
  APMPBSetFloat(param, kEventParam_float_value, 1.5f);
  return param;
}
APMPBEventParam parent(const char* name, const std::vector<APMPBEventParam>& children) {
  APMPBEventParam param = named(name);
  std::vector<const NANOMessageBase*> pointers;
  for (const APMPBEventParam& child : children) pointers.push_back(&child);
  APMPBSetArray(param, kEventParam_param_value, pointers);
  return param;
}

using Values = std::map<std::string, Value>;

TEST(EventParamsConversion, TurnsMessagesIntoValuesByTheFirstFieldPresent) {
  testing::DatabaseSandbox sandbox;  // refused values are logged
  APMPBEventParam both = text("b", "first");
  APMPBSetInt64(both, kEventParam_int_value, 9);
  const APMPBEventParam items = parent(
      "items", {parent("", {text("item_id", "p1"), real("price", 2.5)}),
                parent("", {text("item_id", "p2"), floatOnly("skipped")}), floatOnly("bad")});
  struct Case {
    const char* name;
    APMPBEventParam param;
    bool nested;
    std::optional<Values> expected;
    int64_t code;
  };
  const Case cases[] = {
      {"string", text("s", "v"), false, Values{{"s", Value(std::string("v"))}}, 0},
      {"int", number("i", -4), false, Values{{"i", Value(int64_t{-4})}}, 0},
      {"double", real("d", 0.25), false, Values{{"d", Value(0.25)}}, 0},
      {"string before int", both, false, Values{{"b", Value(std::string("first"))}}, 0},
      {"items into an array of dictionaries", items, false,
       Values{{"items", Value(os::Array{os::Dictionary{{"item_id", "p1"}, {"price", 2.5}},
                                        os::Dictionary{{"item_id", "p2"}}})}},
       0},
      {"nested children give their own values", parent("x", {number("a", 1), text("b", "c")}), true,
       Values{{"a", Value(int64_t{1})}, {"b", Value(std::string("c"))}}, 0},
      {"nested without a name", number(nullptr, 3), true, Values{{"", Value(int64_t{3})}}, 0},
      {"only a float", floatOnly("f"), false, std::nullopt, kOperationFailed},
      {"no children", parent("p", {}), false, std::nullopt, kOperationFailed},
      {"top level without a name", number(nullptr, 3), false, std::nullopt, kInvalidInput},
      {"top level with an empty name", number("", 3), false, std::nullopt, kInvalidInput},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    os::Error error;
    EXPECT_EQ(eventParamsFromProto(&c.param, c.nested, &error), c.expected);
    EXPECT_EQ(error.code, c.code);
    EXPECT_EQ(eventParamsFromProto(&c.param, c.nested, nullptr).has_value(),
              c.expected.has_value());
  }
  os::Error error;
  EXPECT_EQ(eventParamsFromProto(nullptr, false, &error), std::nullopt);
  EXPECT_EQ(error.description, "Failed to parse empty event params data");
}

TEST(EventParamsConversion, StoresStringsDoublesAndEveryOtherKindAsInt64) {
  EXPECT_EQ(storageValueFromValue(Value(std::string("s"))), os::Value("s"));
  EXPECT_EQ(storageValueFromValue(Value(1.5)), os::Value(1.5));
  EXPECT_EQ(storageValueFromValue(Value(int64_t{-7})), os::Value(int64_t{-7}));
  EXPECT_EQ(storageValueFromValue(Value(os::Array{os::Dictionary{{"a", 1}}})),
            os::Value(int64_t{0}));
}

}  // namespace
}  // namespace measurement
