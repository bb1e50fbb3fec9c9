#include "measurement/model/event.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "measurement/foundation/monitor_capture.h"
#include "measurement/model/event_params.h"
#include "measurement/model/test_support.h"
#include "measurement/wire/access.h"

namespace measurement {
namespace {

class EventTest : public MonitorDrainingTest {};

constexpr double kNow = 1700000000.25;

Value text(std::string s) { return Value(std::move(s)); }
Value integer(int64_t i) { return Value(i); }

std::optional<Event> makeEvent(std::string_view name, const os::Dictionary& parameters = {},
                               std::string_view origin = "app", bool isPublic = false) {
  return Event::initWithOrigin(origin, isPublic, name, kNow, 0, rawParameters(parameters));
}

TEST_F(EventTest, RefusesBadOriginsNamesAndTimestamps) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    const char* what;
    std::string origin;
    bool isPublic;
    std::string name;
    double timestamp;
    double previous;
    bool made;
  } cases[] = {
      {"app", "app", true, "level_up", kNow, 0, true},
      {"auto, internal name", "auto", false, "_vs", kNow, 0, true},
      {"forwarded origin", "tag_manager+gtm", true, "level_up", kNow, 0, true},
      {"empty origin", "", false, "_vs", kNow, 0, false},
      {"+gtm alone", "+gtm", false, "_vs", kNow, 0, false},
      {"33-character origin", std::string(33, 'o'), false, "_vs", kNow, 0, false},
      {"32-character origin", std::string(32, 'o'), false, "_vs", kNow, 0, true},
      {"reserved public name", "app", true, "first_open", kNow, 0, false},
      {"reserved name, not public", "app", false, "first_open", kNow, 0, true},
      {"allowed ad event", "app", true, "ad_impression", kNow, 0, true},
      {"name with a blank", "app", false, "level up", kNow, 0, false},
      {"41-character name", "app", false, std::string(41, 'n'), kNow, 0, false},
      {"NaN timestamp", "app", false, "_vs", nan, 0, false},
      {"infinite timestamp", "app", false, "_vs", inf, 0, false},
      {"milliseconds beyond int64", "app", false, "_vs", 9.3e15, 0, false},
      {"largest int64 milliseconds", "app", false, "_vs", 9.2e15, 0, true},
      {"negative milliseconds beyond int64", "app", false, "_vs", -9.3e15, 0, false},
      {"NaN previous timestamp", "app", false, "_vs", kNow, nan, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Event::initWithOrigin(c.origin, c.isPublic, c.name, c.timestamp, c.previous, {})
                  .has_value(),
              c.made);
  }
}

TEST_F(EventTest, KeepsALatePreviousTimestampAndAlwaysWritesTheOrigin) {
  MonitorCapture capture;
  std::optional<Event> event = Event::initWithOrigin(
      "auto", false, "_vs", 10, 20, rawParameters(os::Dictionary{{"_o", "someone else"}}));
  ASSERT_TRUE(event);
  EXPECT_TRUE(capture.contains(16002));
  EXPECT_EQ(event->previousTimestamp(), 20);
  EXPECT_EQ(event->parameters(), (Parameters{{"_o", text("auto")}}));
}

TEST_F(EventTest, ConversionNeedsValidValueAndCurrency) {
  std::optional<Event> conversion = makeEvent("purchase", {{"_c", 1}, {"value", 9.99}});
  ASSERT_TRUE(conversion);
  EXPECT_FALSE(conversion->isConversion());
  EXPECT_EQ(conversion->parameters(),
            (Parameters{{"_err", integer(19)}, {"_ev", text("currency")}, {"_o", text("app")}}));

  std::optional<Event> impression = makeEvent("ad_impression", {{"value", 9.99}});
  EXPECT_FALSE(impression->parameters().contains("value"));
  EXPECT_EQ(impression->parameters().at("_err"), integer(19));

  std::optional<Event> plain = makeEvent("level_up", {{"value", 9.99}});
  EXPECT_TRUE(plain->parameters().contains("value"));
}

TEST_F(EventTest, SwitchingConversionOffAndOnKeepsOtherErrors) {
  std::optional<Event> event =
      makeEvent("purchase", {{"_c", 1}, {"value", 5}, {"currency", "EUR"}});
  ASSERT_TRUE(event->isConversion());
  event->setConversion(false);
  EXPECT_FALSE(event->isConversion());
  EXPECT_EQ(event->parameters().at("_err"), integer(10));
  event->setConversion(true);
  EXPECT_TRUE(event->isConversion());
  EXPECT_FALSE(event->parameters().contains("_err"));

  std::optional<Event> withError =
      makeEvent("purchase", {{"_c", 1}, {"_err", 3}, {"value", 5}, {"currency", "EUR"}});
  withError->setConversion(false);
  EXPECT_EQ(withError->parameters().at("_err"), integer(3));
  withError->setConversion(true);
  EXPECT_EQ(withError->parameters().at("_err"), integer(3));

  std::optional<Event> notConversion = makeEvent("purchase");
  notConversion->setConversion(false);
  EXPECT_FALSE(notConversion->parameters().contains("_err"));
}

TEST_F(EventTest, FlagsAreInt64OneParameters) {
  MonitorCapture capture;
  std::optional<Event> event = makeEvent("_vs");
  event->setRealtime(true);
  event->setDebug(true);
  EXPECT_TRUE(event->isRealtime());
  EXPECT_TRUE(event->isDebug());
  EXPECT_EQ(event->parameters().at("_r"), integer(1));
  event->setDebug(false);
  EXPECT_FALSE(event->parameters().contains("_dbg"));

  EXPECT_FALSE(makeEvent("_vs", {{"_r", 2}})->isRealtime());
  EXPECT_FALSE(capture.contains(16006));
  EXPECT_FALSE(makeEvent("_vs", {{"_r", "1"}})->isRealtime());
  EXPECT_TRUE(capture.contains(16006));
}

TEST_F(EventTest, AppliedParametersNeverOverrideTheEventsOwn) {
  std::optional<Event> event = makeEvent("level_up", {{"level", 3}});
  event->applyParameters(rawParameters(os::Dictionary{{"level", 9}, {"mode", "hard"}}));
  EXPECT_EQ(event->parameters().at("level"), integer(3));
  EXPECT_EQ(event->parameters().at("mode"), text("hard"));
  // The public rules apply: an internal name is refused.
  event->applyParameters(rawParameters(os::Dictionary{{"_x", 1}}));
  EXPECT_FALSE(event->parameters().contains("_x"));
}

TEST_F(EventTest, AddsScreenParametersOnce) {
  MonitorCapture capture;
  std::optional<Event> event = makeEvent("_vs");
  EXPECT_FALSE(event->addScreenParameters(rawParameters(os::Dictionary{{"_sn", "Home"}})));
  EXPECT_FALSE(
      event->addScreenParameters(rawParameters(os::Dictionary{{"_si", "5"}, {"_sn", "Home"}})));
  EXPECT_FALSE(event->addScreenParameters(rawParameters(os::Dictionary{{"_si", 5}, {"_sc", ""}})));
  EXPECT_TRUE(capture.contains(16003));
  EXPECT_FALSE(event->addScreenParameters(
      rawParameters(os::Dictionary{{"_si", 5}, {"_sn", std::string(101, 'n')}})));
  EXPECT_TRUE(capture.contains(16004));
  EXPECT_TRUE(event->parameters().size() == 1);

  RawParameters typed{{"_si", os::Value(5)}, {"_sn", Value(std::string("Home"))}};
  EXPECT_TRUE(event->addScreenParameters(typed));
  EXPECT_EQ(event->parameters().at("_si"), integer(5));
  EXPECT_EQ(event->parameters().at("_sn"), text("Home"));
  EXPECT_FALSE(event->addScreenParameters(typed));
}

TEST_F(EventTest, UploadMessageCarriesMillisecondsTruncatedTowardZero) {
  std::optional<Event> event =
      Event::initWithOrigin("app", false, "_vs", 1.2345, 0, rawParameters(os::Dictionary{}));
  APMPBEvent message = event->protoEvent();
  EXPECT_EQ(APMPBGetString(message, kEvent_name), "_vs");
  EXPECT_EQ(APMPBGetInt64(message, kEvent_timestamp_millis), 1234);
  EXPECT_FALSE(APMPBHasField(message, kEvent_previous_timestamp_millis));

  std::optional<Event> before =
      Event::initWithOrigin("app", false, "_vs", -1.2345, -1.5, rawParameters(os::Dictionary{}));
  APMPBEvent negative = before->protoEvent();
  EXPECT_EQ(APMPBGetInt64(negative, kEvent_timestamp_millis), -1234);
  // Only a previous timestamp above the double epsilon is written.
  EXPECT_FALSE(APMPBHasField(negative, kEvent_previous_timestamp_millis));
  EXPECT_EQ(APMPBGetInt64(event->copyWithPreviousTimestamp(0.5)->protoEvent(),
                          kEvent_previous_timestamp_millis),
            500);
}

TEST_F(EventTest, SurvivesTheUploadMessageWithItsItems) {
  os::Array items{os::Value(os::Dictionary{{"item_id", "a"}, {"price", 2.5}}),
                  os::Value(os::Dictionary{{"item_id", "b"}, {"quantity", 3}})};
  std::optional<Event> event = Event::initWithOrigin(
      "app", true, "purchase", kNow, kNow - 60,
      rawParameters(
          os::Dictionary{{"items", items}, {"value", 7}, {"currency", "EUR"}, {"coupon", "X"}}));
  ASSERT_TRUE(event);
  std::optional<Event> back = Event::initWithEventProto(event->protoEvent());
  ASSERT_TRUE(back);
  EXPECT_EQ(back->parameters(), event->parameters());
  EXPECT_EQ(back->origin(), "app");
  EXPECT_EQ(back->timestamp(), 1700000000.25);
  EXPECT_EQ(back->previousTimestamp(), 1699999940.25);
}

TEST_F(EventTest, ReadsMessagesDefensively) {
  MonitorCapture capture;
  auto param = [](std::optional<std::string> name, std::optional<std::string> value) {
    APMPBEventParam p;
    if (name) APMPBSetString(p, kEventParam_name, *name);
    if (value) APMPBSetString(p, kEventParam_string_value, *value);
    return p;
  };
  APMPBEventParam floatOnly = param("f", std::nullopt);
  APMPBSetFloat(floatOnly, kEventParam_float_value, 1);
  APMPBEventParam intOrigin = param("_o", std::nullopt);
  APMPBSetInt64(intOrigin, kEventParam_int_value, 1);

  auto message = [](std::vector<APMPBEventParam> params) {
    APMPBEvent m;
    APMPBSetString(m, kEvent_name, "_vs");
    APMPBSetInt64(m, kEvent_timestamp_millis, 5000);
    APMPBSetArray(m, kEvent_params, params);
    return m;
  };
  std::optional<Event> event = Event::initWithEventProto(
      message({param(std::nullopt, "x"), floatOnly, param("_o", "auto"), param("k", "v")}));
  ASSERT_TRUE(event);
  EXPECT_EQ(event->parameters(), (Parameters{{"_o", text("auto")}, {"k", text("v")}}));
  EXPECT_EQ(event->timestamp(), 5);
  EXPECT_TRUE(capture.contains(15000));
  EXPECT_TRUE(capture.contains(15002));

  EXPECT_FALSE(Event::initWithEventProto(message({param("k", "v")})));
  EXPECT_FALSE(Event::initWithEventProto(message({intOrigin})));
  EXPECT_TRUE(capture.contains(15001));
}

TEST_F(EventTest, TravelsThroughEventEditingUnderItsPublicName) {
  std::optional<Event> event = makeEvent("_vs", {{"_sn", "Home"}, {"n", 2}}, "auto");
  EditEvent edit = event->editEvent();
  EXPECT_EQ(edit.name, "screen_view");
  EXPECT_EQ(edit.timestamp, kNow);
  EXPECT_EQ(edit.parameters, (os::Dictionary{{"_o", "auto"}, {"_sn", "Home"}, {"n", 2}}));

  std::optional<Event> back = Event::eventFromEditEvent(edit);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->name(), "_vs");
  EXPECT_EQ(back->origin(), "auto");
  EXPECT_EQ(back->parameters(), event->parameters());

  std::optional<Event> noOrigin =
      Event::eventFromEditEvent(EditEvent{"my_event", kNow, {{"_o", 3}}});
  EXPECT_EQ(noOrigin->origin(), "app");
  // A script can set any time; one that no upload message can carry makes no event.
  EXPECT_FALSE(Event::eventFromEditEvent(EditEvent{"my_event", 1e300, {}}));
  EXPECT_FALSE(Event::eventFromEditEvent(
      EditEvent{"my_event", std::numeric_limits<double>::quiet_NaN(), {}}));
}

TEST_F(EventTest, CopiesValidateAgain) {
  std::optional<Event> event = makeEvent("level_up", {{"level", 3}});
  std::optional<Event> copy = event->copy();
  EXPECT_EQ(copy, event);
  std::optional<Event> other = event->copyWithParameters(rawParameters(os::Dictionary{{"x", 1}}));
  EXPECT_EQ(other->parameters(), (Parameters{{"_o", text("app")}, {"x", integer(1)}}));
  EXPECT_FALSE(event->copyWithPreviousTimestamp(std::numeric_limits<double>::infinity()));
}

}  // namespace
}  // namespace measurement
