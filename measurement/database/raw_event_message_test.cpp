#include "measurement/database/raw_event_message.h"

#include <gtest/gtest.h>

#include "measurement/wire/access.h"

namespace measurement {
namespace {

APMPBEventParam stringParam(const char* name, const char* value) {
  APMPBEventParam param;
  APMPBSetString(param, kEventParam_name, name);
  APMPBSetString(param, kEventParam_string_value, value);
  return param;
}

os::Data messageWith(const std::vector<APMPBEventParam>& params) {
  APMPBEvent message;
  APMPBSetArray(message, kEvent_params, params);
  return *message.protoBuffer();
}

TEST(RawEventMessage, StoresTheEventWithoutItsNameAndReadsItBack) {
  os::Array items{os::Value(os::Dictionary{{"item_id", "a"}})};
  std::optional<Event> event = Event::initWithOrigin(
      "app", true, "purchase", 1700000000.5, 1699999000.25,
      rawParameters(os::Dictionary{{"items", items}, {"value", 3}, {"currency", "EUR"}}));
  std::optional<os::Data> data = rawEventMessageData(*event);
  ASSERT_TRUE(data);
  std::optional<APMPBEvent> stored = APMPBEvent::initWithBuffer(*data);
  EXPECT_FALSE(APMPBHasField(*stored, kEvent_name));

  os::Error error;
  std::optional<Event> back = eventFromRawEventMessage("purchase", 1700000000.5, *data, &error);
  ASSERT_TRUE(back) << error.description;
  EXPECT_EQ(*back, *event);
}

TEST(RawEventMessage, RefusesRowsItCannotRestore) {
  APMPBEventParam numberOrigin;
  APMPBSetString(numberOrigin, kEventParam_name, "_o");
  APMPBSetInt64(numberOrigin, kEventParam_int_value, 1);
  APMPBEventParam floatOnly;
  APMPBSetString(floatOnly, kEventParam_name, "f");
  APMPBSetFloat(floatOnly, kEventParam_float_value, 1);
  struct Case {
    const char* what;
    std::string name;
    double timestamp;
    os::Data data;
    int64_t code;
    const char* description;
  } cases[] = {
      {"not a message", "_vs", 1, os::Data{0xff, 0xff}, 3, "Failed to parse event from data"},
      {"number origin", "_vs", 1, messageWith({numberOrigin}), 2,
       "Cannot create an event from database. Origin parameter is not a string"},
      {"no origin", "_vs", 1, messageWith({stringParam("k", "v")}), 2,
       "Cannot create an event from database. Missing origin parameter"},
      {"unreadable parameter", "_vs", 1, messageWith({stringParam("_o", "app"), floatOnly}), 2,
       "Failed to parse event params from data"},
      {"bad name", "bad name", 1, messageWith({stringParam("_o", "app")}), 2,
       "Failed to initialize raw event data from dictionary"},
      {"timestamp beyond milliseconds", "_vs", 1e300, messageWith({stringParam("_o", "app")}), 2,
       "Failed to initialize raw event data from dictionary"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    os::Error error;
    EXPECT_FALSE(eventFromRawEventMessage(c.name, c.timestamp, c.data, &error));
    EXPECT_EQ(error.code, c.code);
    EXPECT_EQ(error.description, c.description);
    EXPECT_FALSE(eventFromRawEventMessage(c.name, c.timestamp, c.data, nullptr));
  }
}

}  // namespace
}  // namespace measurement
