#include "measurement/model/session_start_event.h"

#include <gtest/gtest.h>

#include <limits>

#include "measurement/model/test_support.h"

namespace measurement {
namespace {

Value integer(int64_t i) { return Value(i); }

class SessionStartEvent : public MonitorDrainingTest {
 protected:
  ~SessionStartEvent() override { setScreenParametersProvider(nullptr); }
};

TEST_F(SessionStartEvent, CarriesTheSessionAndNoScreenWhileNoneIsKnown) {
  std::optional<Event> start = sessionStartEvent(os::Value(3), false, 1700000000.9);
  ASSERT_TRUE(start);
  EXPECT_EQ(start->name(), "_s");
  EXPECT_EQ(start->origin(), "auto");
  EXPECT_EQ(start->previousTimestamp(), 0);
  EXPECT_EQ(start->parameters(), (Parameters{{"_o", Value(std::string("auto"))},
                                             {"_sid", integer(1700000000)},
                                             {"_sno", integer(3)}}));
}

TEST_F(SessionStartEvent, AddsTheCurrentScreenInTheForegroundOnly) {
  int calls = 0;
  setScreenParametersProvider([&] {
    ++calls;
    return Parameters{{"_si", integer(42)}, {"_sn", Value(std::string("Home"))}};
  });
  std::optional<Event> foreground = sessionStartEvent(os::Value(1), false, 100);
  EXPECT_EQ(foreground->parameters().at("_si"), integer(42));
  EXPECT_EQ(foreground->parameters().at("_sn"), Value(std::string("Home")));

  std::optional<Event> background = sessionStartEvent(os::Value(1), true, 100);
  EXPECT_EQ(background->parameters().at("_aib"), integer(1));
  EXPECT_FALSE(background->parameters().contains("_si"));
  EXPECT_EQ(calls, 1);
}

TEST_F(SessionStartEvent, RefusesATimeNoMessageCanCarry) {
  EXPECT_FALSE(sessionStartEvent(os::Value(1), false, std::numeric_limits<double>::infinity()));
  EXPECT_FALSE(sessionStartEvent(os::Value(1), false, std::numeric_limits<double>::quiet_NaN()));
}

}  // namespace
}  // namespace measurement
