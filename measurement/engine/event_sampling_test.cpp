#include "measurement/engine/event_sampling.h"

#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <string>

#include "measurement/model/event.h"
#include "measurement/privacy/test_support.h"

namespace measurement {
namespace {

constexpr const char* kAppID = "1:1:macos:a";
// 2023-11-14 22:13:20 UTC, and the day number it falls on.
constexpr double kNow = 1700000000;
constexpr int32_t kToday = 19675;

APMPBMeasurementConfig samplingConfig(bool enabled) {
  APMPBMeasurementConfig config;
  APMPBSetString(config, kMeasurementConfig_app_id, kAppID);
  APMPBSetting setting;
  APMPBSetString(setting, kSetting_name, "measurement.event_sampling_enabled");
  APMPBSetString(setting, kSetting_value, enabled ? "1" : "0");
  APMPBSetArray(config, kMeasurementConfig_settings, std::vector<APMPBSetting>{setting});
  std::vector<APMPBEventConfig> events;
  for (const auto& [name, rate] : {std::pair{"level_up", 10}, std::pair{"once", 1}}) {
    APMPBEventConfig event;
    APMPBSetString(event, kEventConfig_name, name);
    APMPBSetInt32(event, kEventConfig_sampling_rate, rate);
    events.push_back(event);
  }
  APMPBSetArray(config, kMeasurementConfig_event_config, events);
  return config;
}

// The event's integer parameters by name.
std::map<std::string, int64_t> parameters(const APMPBEvent& event) {
  std::map<std::string, int64_t> values;
  for (const APMPBEventParam& parameter : APMPBGetArray<APMPBEventParam>(event, kEvent_params)) {
    std::string name = APMPBGetString(parameter, kEventParam_name).value_or("");
    if (name == "_sr" || name == "_efs" || name == "_eid") {
      values[name] = APMPBGetInt64(parameter, kEventParam_int_value);
    }
  }
  return values;
}

class EventSamplingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    os::Error error;
    database_ = Database::open(kMeasurementDatabaseName, persisted_.get(), &error);
    ASSERT_TRUE(database_) << error.description;
  }

  APMPBEvent event(const std::string& name, double previous, RawParameters extra = {}) {
    auto made = Event::initWithOrigin("app", false, name, kNow, previous, extra);
    EXPECT_TRUE(made) << name;
    return made->protoEvent();
  }

  // Stores an aggregate row for `name` whose last bundled day is `day`.
  void storeAggregates(const std::string& name, int32_t day) {
    auto aggregates = EventAggregates::initWithName(name, 1, 1, 1, kNow - 60);
    aggregates->setLastBundledDay(day);
    os::Error error;
    ASSERT_TRUE(database_->updateEventAggregates(*aggregates, &error)) << error.description;
  }

  EventAggregates storedAggregates(const std::string& name) {
    os::Error error;
    auto stored = database_->eventAggregatesWithName(name, &error);
    EXPECT_TRUE(stored && *stored) << name;
    return **stored;
  }

  PrivacySandbox sandbox_;
  std::unique_ptr<PersistedConfig> persisted_ = PersistedConfig::create("com.example.sampling");
  std::unique_ptr<Database> database_;
};

TEST_F(EventSamplingTest, KeepsWinnersAndTheFirstEventOfADayAndDropsLaterLosers) {
  struct Case {
    const char* name;
    const char* event;
    std::optional<int32_t> storedDay;  // the name's aggregate row, when any
    double previous;                   // the event's previous timestamp
    uint32_t roll;
    RawParameters extra;
    bool kept;
    std::map<std::string, int64_t> added;
  };
  const double yesterday = kNow - 86400;
  for (const Case& c : {
           Case{"wins the roll", "level_up", kToday, 0, 0, {}, true, {{"_sr", 10}}},
           Case{"loses, first today",
                "level_up",
                kToday - 1,
                0,
                3,
                {},
                true,
                {{"_sr", 10}, {"_efs", 1}}},
           Case{"loses, already bundled today", "level_up", kToday, 0, 3, {}, false, {}},
           Case{"loses, never bundled: the previous time decides",
                "level_up",
                std::nullopt,
                yesterday,
                3,
                {},
                true,
                {{"_sr", 10}, {"_efs", 1}}},
           Case{"loses, never bundled, previous time today",
                "level_up",
                std::nullopt,
                kNow - 10,
                3,
                {},
                false,
                {}},
           Case{"already carries _sr",
                "level_up",
                kToday,
                0,
                0,
                {{"_sr", os::Value(int64_t{4})}},
                true,
                {{"_sr", 4}}},
           Case{"unconfigured name", "other", kToday, 0, 3, {}, true, {}},
           Case{"rate 1 is never sampled", "once", kToday, 0, 3, {}, true, {}},
       }) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(database_->reset(nullptr));
    auto config = RemoteConfig::create(kAppID, database_.get(), samplingConfig(true), {});
    ASSERT_TRUE(config);
    if (c.storedDay) storeAggregates(c.event, *c.storedDay);
    std::deque<uint32_t> rolls{c.roll};
    std::vector<uint32_t> rates;
    SamplingRoll roll = [&](uint32_t rate) {
      rates.push_back(rate);
      uint32_t value = rolls.front();
      rolls.pop_front();
      return value;
    };
    os::Error error;
    auto kept =
        sampleEvents({event(c.event, c.previous, c.extra)}, *database_, *config, roll, &error);
    ASSERT_TRUE(kept) << error.description;
    ASSERT_EQ(kept->size(), c.kept ? 1u : 0u);
    if (c.kept) {
      EXPECT_EQ(parameters(kept->front()), c.added);
    }
    bool sampled = std::string(c.event) == "level_up";
    EXPECT_EQ(rates, sampled ? std::vector<uint32_t>{10} : std::vector<uint32_t>{});
    if (c.storedDay) {
      EventAggregates stored = storedAggregates(c.event);
      // Kept events record their day; the counts stay as stored.
      EXPECT_EQ(stored.lastBundledDay(), c.kept ? kToday : *c.storedDay);
      EXPECT_EQ(stored.lifetimeCount(), 1);
      EXPECT_EQ(stored.lastSamplingRate(), sampled ? 10 : 1);
    }
  }
}

TEST_F(EventSamplingTest, SwitchedOffKeepsEveryEventUnchanged) {
  auto config = RemoteConfig::create(kAppID, database_.get(), samplingConfig(false), {});
  ASSERT_TRUE(config);
  SamplingRoll roll = [](uint32_t) -> uint32_t {
    ADD_FAILURE() << "no roll while sampling is off";
    return 1;
  };
  os::Error error;
  auto kept =
      sampleEvents({event("level_up", 0), event("level_up", 0)}, *database_, *config, roll, &error);
  ASSERT_TRUE(kept);
  ASSERT_EQ(kept->size(), 2u);
  EXPECT_TRUE(parameters(kept->front()).empty());
}

TEST_F(EventSamplingTest, TheSecureRollStaysWithinTheRate) {
  for (uint32_t rate : {2u, 10u, 65535u}) {
    for (int i = 0; i < 100; ++i) EXPECT_LT(secureSamplingRoll(rate), rate);
  }
}

}  // namespace
}  // namespace measurement
