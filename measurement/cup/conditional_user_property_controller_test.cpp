#include "measurement/cup/conditional_user_property_controller.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>

#include "measurement/cup/test_support.h"
#include "os/dispatch/dispatch.h"

namespace measurement {
namespace {

using testing::ConditionalUserPropertyTest;
using testing::kStartTime;
using testing::rawQuery;
using testing::RawRows;

using testing::Codes;
using testing::Names;

// ---- The record check ----

TEST_F(ConditionalUserPropertyTest, TheRecordCheckHoldsBothIntervalsWithinTheirBounds) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    double triggerTimeout;
    double timeToLive;
    bool valid;
    Codes logged;
  };
  const Case cases[] = {
      {0, 86400, false, {11000}},
      {0.0009, 86400, false, {11000}},
      {0.001, 86400, true, {}},
      {15552000, 86400, true, {}},
      {15552000.5, 86400, false, {11000}},
      {nan, 86400, false, {11000}},
      {3600, 0, false, {11001}},
      {3600, 0.001, true, {}},
      {3600, 15552000, true, {}},
      {3600, 15552000.5, false, {11001}},
      {3600, -1, false, {11001}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.triggerTimeout << " / " << c.timeToLive);
    const size_t before = capture_.records().size();
    // No trigger event name: the bounds hold all the same.
    ConditionalUserProperty record = property("app", "gold");
    record.setName("tier");
    record.setTriggerTimeout(c.triggerTimeout);
    record.setTimeToLive(c.timeToLive);
    EXPECT_EQ(ConditionalUserPropertyController::isValidConditionalUserProperty(record), c.valid);
    Codes logged;
    const std::vector<MonitorRecord> records = capture_.records();
    for (size_t i = before; i < records.size(); ++i) logged.push_back(records[i].code);
    EXPECT_EQ(logged, c.logged);
  }
}

TEST_F(ConditionalUserPropertyTest, TheRecordCheckRefusesBadOriginsNamesAndValues) {
  struct Case {
    const char* what;
    std::string origin;
    std::string name;
    std::optional<Value> value;
    bool valid;
  };
  const Case cases[] = {
      {"valid", "app", "tier", Value(std::string("gold")), true},
      {"no value (a removal)", "app", "tier", std::nullopt, true},
      {"number", "app", "tier", Value(int64_t{3}), true},
      {"empty origin", "", "tier", Value(std::string("gold")), false},
      {"origin of 33", std::string(33, 'o'), "tier", Value(std::string("gold")), false},
      {"name of 25", "app", std::string(25, 'n'), Value(std::string("gold")), false},
      {"name with a dash", "app", "ti-er", Value(std::string("gold")), false},
      {"empty string", "app", "tier", Value(std::string()), false},
      {"string of 37", "app", "tier", Value(std::string(37, 'v')), false},
      {"string of 36", "app", "tier", Value(std::string(36, 'v')), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ConditionalUserProperty record = property(c.origin, std::nullopt);
    record.setName(c.name);
    record.setValue(c.value);
    EXPECT_EQ(ConditionalUserPropertyController::isValidConditionalUserProperty(record), c.valid);
  }
}

// A refused record changes nothing, also when it asks for a removal.
TEST_F(ConditionalUserPropertyTest, ARefusedRecordRemovesNothing) {
  set(property("app", "gold"), "tier");
  ConditionalUserProperty removal = property("app", std::nullopt);
  removal.setTimeToLive(0);
  set(removal, "tier");
  EXPECT_EQ(properties(), (RawRows{{"tier", "app", "gold", "1"}}));
  EXPECT_EQ(attributes(), (RawRows{{"tier", "app", "gold"}}));
  EXPECT_EQ(codes(), (Codes{11012, 11013, 11001}));

  controller_->setConditionalUserProperty(nullptr, "tier");
  EXPECT_EQ(codes().back(), 11002);
}

// ---- Setting ----

TEST_F(ConditionalUserPropertyTest, APropertyWithoutTriggerIsActiveAtOnceWithItsCreationTime) {
  ConditionalUserProperty tier = property("app", "gold");
  tier.setName("ignored");       // the given name wins
  tier.setCreationTimestamp(5);  // replaced by the current time
  tier.setTriggeredEvent(eventTemplate("tier_on"));
  set(tier, "tier");

  EXPECT_EQ(properties("name, origin, value, active, creation_timestamp, triggered_timestamp"),
            (RawRows{{"tier", "app", "gold", "1", "1700000000.0", "1700000000.0"}}));
  EXPECT_EQ(attributes("name, origin, value, set_timestamp"),
            (RawRows{{"tier", "app", "gold", "1700000000.0"}}));
  // The triggered event goes through the engine's full path, with the property's origin.
  std::vector<Event> events = written();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].name(), "tier_on");
  EXPECT_EQ(events[0].origin(), "app");
  EXPECT_EQ(events[0].timestamp(), kStartTime);
  EXPECT_EQ(events[0].parameters().at("step"), Value(int64_t{1}));
  EXPECT_EQ(codes(), (Codes{11012, 11013}));
}

TEST_F(ConditionalUserPropertyTest, UpdatingAnActivePropertyKeepsItsActivationAndItsAttribute) {
  ConditionalUserProperty first = property("app", "gold");
  first.setTriggerEventName("level_up");
  first.setTriggeredEvent(eventTemplate("tier_on"));
  set(first, "tier");
  clock_.advance(10);
  logEvent("level_up");
  ASSERT_EQ(takeWrittenNames(), (Names{"level_up", "tier_on"}));
  const RawRows activation = properties("creation_timestamp, triggered_timestamp");

  // Another origin, another trigger and its event, a new value, life time and expired event;
  // the record is not marked active.
  clock_.advance(10);
  ConditionalUserProperty second = property("other", "silver");
  second.setTriggerEventName("purchase");
  second.setTriggerTimeout(60);
  second.setTimeToLive(7200);
  second.setTriggeredEvent(eventTemplate("other_on"));
  second.setExpiredEvent(eventTemplate("tier_off"));
  set(second, "tier");

  EXPECT_EQ(properties("name, origin, value, active, trigger_event_name, trigger_timeout, "
                       "time_to_live"),
            (RawRows{{"tier", "app", "silver", "1", "level_up", "3600.0", "7200.0"}}));
  EXPECT_EQ(properties("creation_timestamp, triggered_timestamp"), activation);
  EXPECT_EQ(attributes(), (RawRows{{"tier", "app", "gold"}}));
  EXPECT_EQ(takeWrittenNames(), Names{});
  std::optional<ConditionalUserProperty> stored;
  onWorker(
      [&] { stored = *engine_->database()->conditionalUserPropertyWithName("tier", nullptr); });
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->triggeredEvent()->name(), "tier_on");
  EXPECT_EQ(stored->expiredEvent()->name(), "tier_off");
  EXPECT_TRUE(capture_.contains(11010));

  // A record marked active does rewrite the attribute, under the stored origin.
  ConditionalUserProperty third = property("other", "bronze");
  third.setActive(true);
  set(third, "tier");
  EXPECT_EQ(attributes(), (RawRows{{"tier", "app", "bronze"}}));
}

TEST_F(ConditionalUserPropertyTest, SettingOverAnInactivePropertyStartsItAfresh) {
  ConditionalUserProperty waiting = property("app", "gold");
  waiting.setTriggerEventName("level_up");
  set(waiting, "tier");
  clock_.advance(100);
  set(property("app", "silver"), "tier");
  EXPECT_EQ(properties("value, active, creation_timestamp, triggered_timestamp"),
            (RawRows{{"silver", "1", "1700000100.0", "1700000100.0"}}));
  EXPECT_EQ(attributes(), (RawRows{{"tier", "app", "silver"}}));
}

// With a full table a new name is refused whole: its user attribute would otherwise stay
// forever, with no row to expire or clear it.
TEST_F(ConditionalUserPropertyTest, AFullTableRefusesANewNameWithItsAttributeAndEvent) {
  std::string inserts = "BEGIN;";
  for (int i = 0; i < 1000; ++i) {
    inserts +=
        "INSERT INTO conditional_properties (name, origin, value, creation_timestamp, "
        "active, trigger_timeout, triggered_timestamp, time_to_live) VALUES ('p" +
        std::to_string(i) + "', 'app', 'v', 1700000000, 0, 3600, 0, 86400);";
  }
  testing::rawExecute(path_, inserts + "COMMIT;");

  ConditionalUserProperty extra = property("app", "gold");
  extra.setTriggeredEvent(eventTemplate("tier_on"));
  set(extra, "tier");
  EXPECT_EQ(codes(), (Codes{11012, 11014}));
  EXPECT_EQ(properties("count(*)"), (RawRows{{"1000"}}));
  EXPECT_EQ(attributes(), RawRows{});
  EXPECT_EQ(takeWrittenNames(), Names{});

  set(property("app", "gold"), "p7");
  EXPECT_EQ(rawQuery(path_, "SELECT value, active FROM conditional_properties WHERE name = 'p7'"),
            (RawRows{{"gold", "1"}}));
  EXPECT_EQ(attributes(), (RawRows{{"p7", "app", "gold"}}));
}

// ---- Removing ----

TEST_F(ConditionalUserPropertyTest, ANilValueRemovesTheStoredPropertyAndLogsTheExpiredEvent) {
  set(property("app", "gold"), "tier");
  set(property("app", "gold"), "other");
  ASSERT_EQ(attributes("name"), (RawRows{{"other"}, {"tier"}}));

  ConditionalUserProperty removal = property("caller", std::nullopt);
  removal.setExpiredEvent(eventTemplate("tier_off"));
  set(removal, "tier");
  EXPECT_EQ(properties("name"), (RawRows{{"other"}}));
  EXPECT_EQ(attributes("name"), (RawRows{{"other"}}));
  std::vector<Event> events = written();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].name(), "tier_off");
  EXPECT_EQ(events[0].origin(), "app");  // the stored origin, not the caller's

  // A name that is not stored: 11018 and nothing else.
  const Codes before = codes();
  set(removal, "tier");
  Codes after = codes();
  EXPECT_EQ(Codes(after.begin() + static_cast<long>(before.size()), after.end()), Codes{11018});
  EXPECT_EQ(written().size(), 1u);
}

TEST_F(ConditionalUserPropertyTest, ClearingRemovesTheNamedPropertyAndLogsTheClearEvent) {
  ConditionalUserProperty waiting = property("app", "gold");
  waiting.setTriggerEventName("level_up");
  set(waiting, "tier");
  clear("tier-bad", eventTemplate("never"));  // the validator refuses the name
  EXPECT_EQ(properties("name"), (RawRows{{"tier"}}));

  clear("tier", eventTemplate("tier_cleared"));
  EXPECT_EQ(properties(), RawRows{});
  std::vector<Event> events = written();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].name(), "tier_cleared");
  EXPECT_EQ(events[0].origin(), "app");
  EXPECT_EQ(events[0].timestamp(), kStartTime);

  clear("tier");
  EXPECT_EQ(codes().back(), 11018);
}

// The delete of the user attribute fails: the property's row comes back and no event is
// logged.
TEST_F(ConditionalUserPropertyTest, AFailedRemovalRollsBackAndLogsNoEvent) {
  set(property("app", "gold"), "tier");
  testing::rawExecute(path_,
                      "CREATE TRIGGER refuse BEFORE DELETE ON user_attributes BEGIN "
                      "SELECT RAISE(ABORT, 'disk says no'); END;");
  clear("tier", eventTemplate("tier_cleared"));
  EXPECT_EQ(codes().back(), 11020);
  EXPECT_EQ(properties(), (RawRows{{"tier", "app", "gold", "1"}}));
  EXPECT_EQ(attributes(), (RawRows{{"tier", "app", "gold"}}));
  EXPECT_EQ(written().size(), 0u);
}

// ---- Disabled measurement ----

TEST_F(ConditionalUserPropertyTest, WithMeasurementDisabledNothingChanges) {
  set(property("app", "gold"), "tier");
  engine_->setEnabled(false);
  const Codes before = codes();

  set(property("app", "silver"), "tier");
  set(property("app", std::nullopt), "tier");
  clear("tier", eventTemplate("tier_cleared"));
  EXPECT_EQ(controller_->conditionalUserPropertiesWithNamePrefix("", ""), std::nullopt);

  Codes after = codes();
  EXPECT_EQ(Codes(after.begin() + static_cast<long>(before.size()), after.end()),
            (Codes{11007, 11015, 11015, 11005}));
  EXPECT_EQ(properties(), (RawRows{{"tier", "app", "gold", "1"}}));
  EXPECT_EQ(attributes(), (RawRows{{"tier", "app", "gold"}}));
  EXPECT_EQ(written().size(), 0u);
}

// ---- Querying ----

TEST_F(ConditionalUserPropertyTest, AQueryFiltersByNamePrefixAndOrigin) {
  set(property("app", "a"), "tier_one");
  set(property("app", "b"), "tier_two");
  set(property("auto", "c"), "tier_three");
  set(property("app", "d"), "other");
  struct Case {
    std::string prefix;
    std::string origin;
    Names names;
  };
  const Case cases[] = {
      {"", "", {"other", "tier_one", "tier_three", "tier_two"}},
      {"tier_", "", {"tier_one", "tier_three", "tier_two"}},
      {"TIER_T", "app", {"tier_two"}},
      {"", "auto", {"tier_three"}},
      {"none", "", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.prefix + "/" + c.origin);
    auto found = controller_->conditionalUserPropertiesWithNamePrefix(c.prefix, c.origin);
    ASSERT_TRUE(found);
    Names names;
    for (const ConditionalUserProperty& p : *found) names.push_back(p.name());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, c.names);
  }
}

// On the worker queue the query answers at once: waiting for a block queued behind the running
// one could only end in the time-out. (Were it to wait, this test would hang: the time-out is
// an hour.)
TEST_F(ConditionalUserPropertyTest, AQueryOnTheWorkerQueueAnswersAtOnce) {
  auto patient = ConditionalUserPropertyController::create(engine_, 3600);
  set(property("app", "gold"), "tier");
  std::optional<std::vector<ConditionalUserProperty>> found;
  onWorker([&] { found = patient->conditionalUserPropertiesWithNamePrefix("ti", ""); });
  ASSERT_TRUE(found);
  ASSERT_EQ(found->size(), 1u);
  EXPECT_EQ((*found)[0].value(), Value(std::string("gold")));
}

// A query whose wait ends before the worker queue answers answers nothing; the late answer
// lands in state the query shares with its block, not in the caller's finished frame, and the
// next query is answered.
TEST_F(ConditionalUserPropertyTest, AQueryThatTimesOutAnswersNothingAndItsLateAnswerIsHarmless) {
  auto hasty = ConditionalUserPropertyController::create(engine_, 0.01);
  set(property("app", "gold"), "tier");
  os::DispatchSemaphore release;
  engine_->scheduler().scheduleOnWorkerQueue("ConditionalUserPropertyTest:2",
                                             [&] { release.wait(); });
  // The worker queue stays busy until both queries have given up.
  EXPECT_EQ(hasty->conditionalUserPropertiesWithNamePrefix("tier", "app"), std::nullopt);
  std::thread([&] {
    EXPECT_EQ(hasty->conditionalUserPropertiesWithNamePrefix("", ""), std::nullopt);
  }).join();
  release.signal();
  onWorker([] {});  // the late blocks have answered
  // Asked through the patient controller: the hasty one's 10 ms would make the answer depend on
  // how soon the worker queue runs on a loaded machine.
  auto found = controller_->conditionalUserPropertiesWithNamePrefix("tier", "app");
  ASSERT_TRUE(found);
  EXPECT_EQ(found->size(), 1u);
  EXPECT_FALSE(capture_.contains(11006));
}

TEST_F(ConditionalUserPropertyTest, AFailedQueryIsLoggedAndAnswersNothing) {
  testing::rawExecute(path_, "DROP TABLE conditional_properties;");
  EXPECT_EQ(controller_->conditionalUserPropertiesWithNamePrefix("tier", ""), std::nullopt);
  EXPECT_EQ(codes(), Codes{11006});
}

// ---- Lifetime and threads ----

TEST_F(ConditionalUserPropertyTest, AScheduledSetDoesNothingOnceTheControllerIsGone) {
  os::DispatchSemaphore release;
  engine_->scheduler().scheduleOnWorkerQueue("ConditionalUserPropertyTest:2",
                                             [&] { release.wait(); });
  ConditionalUserProperty tier = property("app", "gold");
  controller_->setConditionalUserProperty(&tier, "tier");
  controller_->clearConditionalUserPropertyWithClearEvent(eventTemplate("tier_cleared"), "x");
  controller_.reset();
  release.signal();
  onWorker([] {});
  EXPECT_EQ(properties(), RawRows{});
  EXPECT_EQ(written().size(), 0u);
}

// Callers on several threads set, clear and query while events are logged on the worker
// queue; every operation applies whole.
TEST_F(ConditionalUserPropertyTest, OperationsFromManyThreadsApplyWhole) {
  constexpr int kThreads = 4;
  constexpr int kNames = 25;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kNames; ++i) {
        const std::string name = "t" + std::to_string(t) + "_" + std::to_string(i);
        ConditionalUserProperty record = property("app", "v" + std::to_string(i));
        if (i % 2 == 0) record.setTriggerEventName("level_up");
        controller_->setConditionalUserProperty(&record, name);
        if (i % 5 == 0) controller_->clearConditionalUserPropertyWithClearEvent(std::nullopt, name);
        if (i % 7 == 0) controller_->conditionalUserPropertiesWithNamePrefix("t", "app");
      }
    });
  }
  for (int i = 0; i < 20; ++i) logEvent("screen_view");
  for (std::thread& thread : threads) thread.join();
  logEvent("level_up");

  auto found = controller_->conditionalUserPropertiesWithNamePrefix("t", "app");
  ASSERT_TRUE(found);
  // Per thread: 25 names, of which the 5 multiples of 5 were cleared.
  EXPECT_EQ(found->size(), static_cast<size_t>(kThreads * (kNames - 5)));
  for (const ConditionalUserProperty& p : *found) EXPECT_TRUE(p.isActive()) << p.name();
  EXPECT_EQ(attributes("count(*)"), (RawRows{{std::to_string(kThreads * (kNames - 5))}}));
}

}  // namespace
}  // namespace measurement
