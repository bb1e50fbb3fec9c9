#include <gtest/gtest.h>

#include <algorithm>

#include "measurement/database/database_events_test_support.h"
#include "measurement/database/database_test_support.h"
#include "measurement/foundation/lookup.h"
#include "os/process/clock.h"

namespace measurement {
namespace {

using testing::appEvent;
using testing::rawExecute;
using testing::rawQuery;
using testing::RawRows;

constexpr double kNow = 1765400000;

ConditionalUserProperty property(const char* name, const char* origin = "app") {
  ConditionalUserProperty p;
  p.setName(name);
  p.setOrigin(origin);
  p.setValue(Value(std::string("gold")));
  p.setCreationTimestamp(kNow - 100);
  p.setTriggerTimeout(100);
  p.setTimeToLive(50);
  return p;
}

class DatabasePropertiesTest : public testing::OpenDatabaseTest {
 protected:
  std::vector<std::string> names(
      const std::optional<std::vector<ConditionalUserProperty>>& properties) {
    std::vector<std::string> result;
    if (properties) {
      for (const ConditionalUserProperty& p : *properties) result.push_back(p.name());
    }
    std::sort(result.begin(), result.end());
    return result;
  }
  void store(const ConditionalUserProperty& p) {
    os::Error error;
    ASSERT_TRUE(database_->updateConditionalUserProperty(p, &error)) << error.description;
  }
};

TEST_F(DatabasePropertiesTest, PurchasesAreNewOnceAndTheNewest1000Stay) {
  os::Error error;
  EXPECT_EQ(database_->insertIfNotDuplicatePurchaseFingerprint("", &error), false);
  EXPECT_EQ(database_->insertIfNotDuplicatePurchaseFingerprint("p0", &error), true);
  EXPECT_EQ(database_->insertIfNotDuplicatePurchaseFingerprint("p0", &error), false);
  for (int i = 1; i <= 1000; ++i) {
    ASSERT_EQ(database_->insertIfNotDuplicatePurchaseFingerprint("p" + std::to_string(i), &error),
              true);
  }
  EXPECT_EQ(rawQuery(path_, "SELECT count(*), min(rowid) > 1 FROM purchase_transactions"),
            (RawRows{{"1000", "1"}}));
  EXPECT_EQ(rawQuery(path_, "SELECT count(*) FROM purchase_transactions WHERE fingerprint = 'p0'"),
            (RawRows{{"0"}}));

  EXPECT_EQ(database_->insertIfNotDuplicateSubscriptionID("s", &error), true);
  EXPECT_EQ(database_->insertIfNotDuplicateSubscriptionID("s", &error), false);
  EXPECT_EQ(database_->deleteSubscriptionsOverLimit(&error), 0);
}

TEST_F(DatabasePropertiesTest, APropertyKeepsItsEventsAndLosesThoseItNoLongerHas) {
  ConditionalUserProperty p = property("tier");
  p.setTriggerEventName("purchase");
  p.setTriggeredEvent(appEvent("_vs", kNow, {{"n", 1}}));
  p.setExpiredEvent(appEvent("_e", kNow));
  store(p);
  os::Error error;
  Lookup<ConditionalUserProperty> read = database_->conditionalUserPropertyWithName("tier", &error);
  ASSERT_TRUE(read && *read) << error.description;
  EXPECT_EQ(**read, p);

  p.setTriggeredEvent(std::nullopt);
  p.setTriggerEventName("");
  store(p);
  EXPECT_EQ(rawQuery(path_,
                     "SELECT triggered_event IS NULL, trigger_event_name IS NULL, "
                     "expired_event IS NULL FROM conditional_properties"),
            (RawRows{{"1", "1", "0"}}));

  // An event that no longer decodes fails the read, with or without an error asked for.
  rawExecute(path_, "UPDATE conditional_properties SET expired_event = x'ffff'");
  EXPECT_FALSE(database_->conditionalUserPropertyWithName("tier", nullptr));
  EXPECT_FALSE(database_->conditionalUserPropertiesWithPrefix("", "", &error));
  EXPECT_EQ(error.description, "Failed to parse event from data");

  ConditionalUserProperty noValue = property("x");
  noValue.setValue(std::nullopt);
  EXPECT_FALSE(database_->updateConditionalUserProperty(noValue, &error));
  EXPECT_EQ(error.description,
            "Received conditional user property with nil value for getting dictionary "
            "representation");
}

TEST_F(DatabasePropertiesTest, StatesFollowTheClockAtTheirEdges) {
  os::clock::ScopedFakeClock clock(kNow);
  ConditionalUserProperty waiting = property("waiting");  // created exactly timeout ago
  waiting.setTriggerEventName("purchase");
  ConditionalUserProperty late = property("late");
  late.setCreationTimestamp(kNow - 101);
  late.setTriggerEventName("purchase");
  ConditionalUserProperty active = property("active");
  active.setActive(true);
  active.setTriggeredTimestamp(kNow - 51);
  for (const ConditionalUserProperty& p : {waiting, late, active}) store(p);

  EXPECT_EQ(names(database_->triggeredConditionalUserPropertiesWithEventName("purchase", nullptr)),
            (std::vector<std::string>{"waiting"}));
  EXPECT_EQ(names(database_->timedOutConditionalUserProperties(nullptr)),
            (std::vector<std::string>{"late"}));
  EXPECT_EQ(names(database_->expiredConditionalUserProperties(nullptr)),
            (std::vector<std::string>{"active"}));
  os::Error error;
  EXPECT_FALSE(database_->triggeredConditionalUserPropertiesWithEventName("", &error));
  EXPECT_EQ(error.description,
            "Received nil/empty event name for querying triggered conditional user properties");
}

TEST_F(DatabasePropertiesTest, PrefixAndOriginMatchLiterally) {
  for (const char* name : {"level_1", "levelX1", "LEVEL_2", "other"}) store(property(name));
  store(property("level_9", "a_b"));
  store(property("level_8", "aXb"));
  struct Case {
    const char* prefix;
    const char* origin;
    std::vector<std::string> found;
  } cases[] = {
      {"level_", "", {"LEVEL_2", "level_1", "level_8", "level_9"}},
      {"", "a_b", {"level_9"}},
      {"level_", "app", {"LEVEL_2", "level_1"}},
      {"", "", {"LEVEL_2", "levelX1", "level_1", "level_8", "level_9", "other"}},
      {"%", "", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.prefix) + " / " + c.origin);
    os::Error error;
    EXPECT_EQ(names(database_->conditionalUserPropertiesWithPrefix(c.prefix, c.origin, &error)),
              c.found)
        << error.description;
  }
  ASSERT_TRUE(database_->deleteConditionalUserPropertyWithName("other", nullptr));
  EXPECT_EQ(names(database_->conditionalUserPropertiesWithPrefix("oth", "", nullptr)),
            std::vector<std::string>{});
}

}  // namespace
}  // namespace measurement
