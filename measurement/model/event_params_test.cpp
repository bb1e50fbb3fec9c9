#include "measurement/model/event_params.h"

#include <gtest/gtest.h>

#include "measurement/foundation/monitor_capture.h"
#include "measurement/model/test_support.h"
#include "measurement/wire/access.h"

namespace measurement {
namespace {

class EventParamsTest : public MonitorDrainingTest {};

APMPBEventParam scalar(std::optional<std::string> name, int64_t value) {
  APMPBEventParam param;
  if (name) APMPBSetString(param, kEventParam_name, *name);
  APMPBSetInt64(param, kEventParam_int_value, value);
  return param;
}

APMPBEventParam withChildren(std::optional<std::string> name,
                             const std::vector<APMPBEventParam>& children) {
  APMPBEventParam param;
  if (name) APMPBSetString(param, kEventParam_name, *name);
  APMPBSetArray(param, kEventParam_param_value, children);
  return param;
}

os::Array twoItems() {
  return os::Array{os::Value(os::Dictionary{{"item_id", "a"}, {"price", 1.5}}),
                   os::Value(os::Dictionary{{"item_id", "b"}, {"quantity", 2}})};
}

TEST_F(EventParamsTest, ItemListsBecomeNamelessItemsAndComeBackAsArrays) {
  Parameters parameters{{"items", Value(twoItems())}, {"value", Value(9.5)}};
  std::vector<APMPBEventParam> params = eventParamsFromParameters(parameters, "purchase");
  ASSERT_EQ(params.size(), 2u);
  EXPECT_EQ(APMPBGetString(params[0], kEventParam_name), "items");
  std::vector<APMPBEventParam> items =
      APMPBGetArray<APMPBEventParam>(params[0], kEventParam_param_value);
  ASSERT_EQ(items.size(), 2u);
  EXPECT_FALSE(APMPBHasField(items[0], kEventParam_name));
  EXPECT_EQ(APMPBGetArray<APMPBEventParam>(items[0], kEventParam_param_value).size(), 2u);
  EXPECT_EQ(APMPBGetDouble(params[1], kEventParam_double_value), 9.5);

  std::optional<Parameters> back = eventParamsFromProto(params[0], false, nullptr);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(*back, (Parameters{{"items", Value(twoItems())}}));
}

TEST_F(EventParamsTest, DropsWhatAnItemCannotHoldAndLogsIt) {
  MonitorCapture capture;
  os::Array items{os::Value(os::Dictionary{
      {"inner", os::Array{}}, {"when", os::Value(os::Date{1.0})}, {"item_id", "a"}})};
  std::vector<APMPBEventParam> params =
      eventParamsFromParameters({{"items", Value(items)}}, "purchase");
  std::vector<APMPBEventParam> item = APMPBGetArray<APMPBEventParam>(
      APMPBGetArray<APMPBEventParam>(params.at(0), kEventParam_param_value).at(0),
      kEventParam_param_value);
  ASSERT_EQ(item.size(), 1u);
  EXPECT_EQ(APMPBGetString(item[0], kEventParam_name), "item_id");
  EXPECT_TRUE(capture.contains(16007));
  EXPECT_TRUE(capture.contains(16005));

  // An array among an item's parameters is already nested one level too deep.
  EXPECT_TRUE(eventParamsFromParameters({{"items", Value(items)}}, "purchase", true).empty());
}

TEST_F(EventParamsTest, PlainParametersKeepKindsAndDropNestedArrays) {
  os::Array items{os::Value(os::Dictionary{{"n", 1}, {"deep", os::Array{}}})};
  Parameters parameters{{"d", Value(1.0)},
                        {"i", Value(int64_t{1})},
                        {"s", Value(std::string("x"))},
                        {"items", Value(items)}};
  os::Dictionary plain = plainParametersFromEventParameters(parameters);
  EXPECT_TRUE(plain["d"].asReal());
  EXPECT_TRUE(plain["i"].asInteger());
  EXPECT_EQ(plain["items"], os::Value(os::Array{os::Value(os::Dictionary{{"n", 1}})}));
  EXPECT_FALSE(plainParametersFromEventParameters(parameters, true).contains("items"));
}

TEST_F(EventParamsTest, ReadsBackEachKindAndRefusesWhatHasNoValue) {
  APMPBEventParam text;
  APMPBSetString(text, kEventParam_name, "t");
  APMPBSetString(text, kEventParam_string_value, "v");
  APMPBSetInt64(text, kEventParam_int_value, 4);  // the string wins
  APMPBEventParam real;
  APMPBSetString(real, kEventParam_name, "r");
  APMPBSetDouble(real, kEventParam_double_value, 0.5);
  APMPBEventParam onlyFloat;
  APMPBSetString(onlyFloat, kEventParam_name, "f");
  APMPBSetFloat(onlyFloat, kEventParam_float_value, 1);

  struct Case {
    const char* what;
    APMPBEventParam param;
    std::optional<Parameters> expected;
    int64_t errorCode;
  } cases[] = {
      {"string first", text, Parameters{{"t", Value(std::string("v"))}}, 0},
      {"int", scalar("i", 7), Parameters{{"i", Value(int64_t{7})}}, 0},
      {"double", real, Parameters{{"r", Value(0.5)}}, 0},
      {"nameless", scalar(std::nullopt, 7), std::nullopt, 1},
      {"only a float", onlyFloat, std::nullopt, 2},
      {"empty item list", withChildren("items", {}), std::nullopt, 2},
      {"an item that gives nothing is left out",
       withChildren("items", {withChildren(std::nullopt, {scalar("n", 1)}), onlyFloat}),
       Parameters{{"items", Value(os::Array{os::Value(os::Dictionary{{"n", 1}})})}}, 0},
      {"deeper levels are not read",
       withChildren("items", {withChildren(std::nullopt, {withChildren("x", {scalar("y", 1)})})}),
       Parameters{{"items", Value(os::Array{os::Value(os::Dictionary{})})}}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    os::Error error;
    std::optional<Parameters> result = eventParamsFromProto(c.param, false, &error);
    EXPECT_EQ(result, c.expected);
    EXPECT_EQ(error.code, c.errorCode);
    // The answer never depends on whether an error was asked for.
    EXPECT_EQ(eventParamsFromProto(c.param, false, nullptr), c.expected);
  }
  // Inside an item, a parameter gives its children's own values, not an entry of its name.
  EXPECT_EQ(eventParamsFromProto(withChildren("x", {scalar("a", 1), text}), true, nullptr),
            (Parameters{{"a", Value(int64_t{1})}, {"t", Value(std::string("v"))}}));
}

}  // namespace
}  // namespace measurement
