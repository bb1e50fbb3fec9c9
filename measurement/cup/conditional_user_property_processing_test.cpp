// The per-event processing: triggers, time-outs, expiry, and the roll-back of a failed step.
#include <gtest/gtest.h>

#include "measurement/cup/conditional_user_property_controller.h"
#include "measurement/cup/test_support.h"

namespace measurement {
namespace {

using testing::ConditionalUserPropertyTest;
using testing::kStartTime;
using testing::rawQuery;
using testing::RawRows;

using testing::Codes;
using testing::Names;

class ConditionalUserPropertyProcessingTest : public ConditionalUserPropertyTest {
 protected:
  explicit ConditionalUserPropertyProcessingTest(bool onFaultyDisk = false)
      : ConditionalUserPropertyTest(onFaultyDisk) {}

  // A property waiting for `trigger` (none: active at once) that logs "<name>_on",
  // "<name>_timeout" and "<name>_off".
  void setWithEvents(const std::string& name, const std::string& trigger, double triggerTimeout,
                     double timeToLive) {
    ConditionalUserProperty record = property("app", name + "_value");
    record.setTriggerEventName(trigger);
    record.setTriggerTimeout(triggerTimeout);
    record.setTimeToLive(timeToLive);
    record.setTriggeredEvent(eventTemplate(name + "_on"));
    record.setTimedOutEvent(eventTemplate(name + "_timeout"));
    record.setExpiredEvent(eventTemplate(name + "_off"));
    set(record, name);
  }
  void startAfresh() {
    testing::rawExecute(path_, "DELETE FROM conditional_properties; DELETE FROM user_attributes;");
    clock_.setNow(kStartTime);
    takeWrittenNames();
  }
};

TEST_F(ConditionalUserPropertyProcessingTest, AWaitingPropertyIsActivatedByItsTriggerEvent) {
  struct Case {
    const char* what;
    std::vector<std::string> waitingFor;  // property "p<i>" waits for waitingFor[i]
    double after;                         // seconds after the set
    std::string logged;
    Names written;
    RawRows active;  // names of the active properties
  };
  const Case cases[] = {
      {"its trigger", {"level_up"}, 10, "level_up", {"level_up", "p0_on"}, {{"p0"}}},
      {"at the trigger timeout", {"level_up"}, 3600, "level_up", {"level_up", "p0_on"}, {{"p0"}}},
      {"another event", {"level_up"}, 10, "purchase", {"purchase"}, {}},
      {"after the trigger timeout",
       {"level_up"},
       3600.5,
       "level_up",
       {"p0_timeout", "level_up"},
       {}},
      {"an ad impression, for its internal name",
       {"_ai"},
       10,
       "ad_impression",
       {"ad_impression", "p0_on"},
       {{"p0"}}},
      {"the internal name, for an ad impression", {"ad_impression"}, 10, "_ai", {"_ai"}, {}},
      {"an ad impression that some wait for by name",
       {"ad_impression", "_ai"},
       10,
       "ad_impression",
       {"ad_impression", "p0_on"},
       {{"p0"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    startAfresh();
    for (size_t i = 0; i < c.waitingFor.size(); ++i) {
      setWithEvents("p" + std::to_string(i), c.waitingFor[i], 3600, 86400);
    }
    ASSERT_EQ(attributes(), RawRows{});
    clock_.advance(c.after);
    logEvent(c.logged);
    EXPECT_EQ(takeWrittenNames(), c.written);
    EXPECT_EQ(rawQuery(path_, "SELECT name FROM conditional_properties WHERE active = 1"),
              c.active);
    EXPECT_EQ(attributes("name"), c.active);
    if (!c.active.empty()) {
      // Activated now: the attribute, the row and the triggered event carry the event's time.
      const std::string now = std::to_string(static_cast<int64_t>(kStartTime + c.after)) + ".0";
      EXPECT_EQ(attributes("origin, value, set_timestamp"), (RawRows{{"app", "p0_value", now}}));
      EXPECT_EQ(
          rawQuery(path_, "SELECT triggered_timestamp FROM conditional_properties WHERE active"),
          (RawRows{{now}}));
      EXPECT_EQ(written().back().timestamp(), kStartTime + c.after);
      EXPECT_EQ(written().back().origin(), "app");
    }
  }
}

TEST_F(ConditionalUserPropertyProcessingTest, LapsedPropertiesGoWithTheNextEventBeforeIt) {
  struct Case {
    const char* what;
    std::string trigger;  // empty: active at once
    double after;
    Names written;
    bool stored;
    bool attribute;
  };
  const Case cases[] = {
      {"waiting, at its trigger timeout", "never", 3600, {"screen_view"}, true, false},
      {"waiting, past its trigger timeout",
       "never",
       3600.5,
       {"p_timeout", "screen_view"},
       false,
       false},
      {"active, at its time to live", "", 86400, {"screen_view"}, true, true},
      {"active, past its time to live", "", 86400.5, {"p_off", "screen_view"}, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    startAfresh();
    setWithEvents("p", c.trigger, 3600, 86400);
    takeWrittenNames();  // "p_on" of a property active at once
    clock_.advance(c.after);
    logEvent("screen_view");
    EXPECT_EQ(takeWrittenNames(), c.written);
    EXPECT_EQ(properties("count(*)"), (RawRows{{c.stored ? "1" : "0"}}));
    EXPECT_EQ(attributes("count(*)"), (RawRows{{c.attribute ? "1" : "0"}}));
  }
}

// One event: time-out events, expiry events, the event, then the triggered events.
TEST_F(ConditionalUserPropertyProcessingTest, OneEventWritesEachKindInItsOrder) {
  setWithEvents("expiring", "", 3600, 100);
  setWithEvents("waiting", "never", 50, 86400);
  clock_.advance(80);
  setWithEvents("triggered", "level_up", 3600, 86400);
  clock_.advance(30);
  ASSERT_EQ(takeWrittenNames(), Names{"expiring_on"});
  logEvent("level_up");
  EXPECT_EQ(takeWrittenNames(),
            (Names{"waiting_timeout", "expiring_off", "level_up", "triggered_on"}));
  EXPECT_EQ(properties("name, active"), (RawRows{{"triggered", "1"}}));
  EXPECT_EQ(attributes("name"), (RawRows{{"triggered"}}));
  const Codes logged = codes();
  EXPECT_EQ(Codes(logged.end() - 3, logged.end()), (Codes{10002, 10005, 10010}));
}

// A step that fails rolls the whole processing back: nothing lapses, nothing is triggered, no
// event of the controller is written, and the engine still writes the event. Once the fault is
// gone the next event does it all.
TEST_F(ConditionalUserPropertyProcessingTest, AFailedStepRollsTheWholeEventBack) {
  struct Case {
    const char* what;
    const char* fault;
    int64_t code;
  };
  const Case cases[] = {
      {"deleting the second timed-out property",
       "CREATE TRIGGER fault BEFORE DELETE ON conditional_properties WHEN old.name = 'waiting2' "
       "BEGIN SELECT RAISE(ABORT, 'refused'); END;",
       10003},
      {"deleting the user attribute of an expired property",
       "CREATE TRIGGER fault BEFORE DELETE ON user_attributes WHEN old.name = 'expiring' "
       "BEGIN SELECT RAISE(ABORT, 'refused'); END;",
       10006},
      {"deleting an expired property",
       "CREATE TRIGGER fault BEFORE DELETE ON conditional_properties WHEN old.name = 'expiring' "
       "BEGIN SELECT RAISE(ABORT, 'refused'); END;",
       10007},
      {"storing the activation",
       "CREATE TRIGGER fault BEFORE INSERT ON conditional_properties WHEN new.name = 'triggered' "
       "BEGIN SELECT RAISE(ABORT, 'refused'); END;",
       10011},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    startAfresh();
    setWithEvents("expiring", "", 3600, 100);
    setWithEvents("waiting1", "never", 50, 86400);
    setWithEvents("waiting2", "never", 50, 86400);
    clock_.advance(80);
    setWithEvents("triggered", "level_up", 3600, 86400);
    clock_.advance(30);
    takeWrittenNames();
    const RawRows propertiesBefore = properties("*");
    const RawRows attributesBefore = attributes("*");

    testing::rawExecute(path_, c.fault);
    logEvent("level_up");
    EXPECT_EQ(takeWrittenNames(), Names{"level_up"});
    EXPECT_EQ(properties("*"), propertiesBefore);
    EXPECT_EQ(attributes("*"), attributesBefore);
    EXPECT_TRUE(capture_.contains(c.code));
    EXPECT_TRUE(capture_.contains(23050));

    testing::rawExecute(path_, "DROP TRIGGER fault;");
    logEvent("level_up");
    EXPECT_EQ(takeWrittenNames(), (Names{"waiting1_timeout", "waiting2_timeout", "expiring_off",
                                         "level_up", "triggered_on"}));
  }
}

class ConditionalUserPropertyFaultyDiskTest : public ConditionalUserPropertyProcessingTest {
 protected:
  ConditionalUserPropertyFaultyDiskTest() : ConditionalUserPropertyProcessingTest(true) {}
};

// The disk refuses the commit: the same as a failed step, and the next event does the work.
TEST_F(ConditionalUserPropertyFaultyDiskTest, ACommitTheDiskRefusesIsRolledBack) {
  setWithEvents("waiting", "never", 50, 86400);
  clock_.advance(60);
  vfs_->failWrites(true);
  logEvent("screen_view");
  vfs_->failWrites(false);
  EXPECT_GT(vfs_->refusedCalls(), 0);
  EXPECT_EQ(takeWrittenNames(), Names{"screen_view"});
  EXPECT_TRUE(capture_.contains(23050));
  EXPECT_EQ(properties("name"), (RawRows{{"waiting"}}));

  logEvent("screen_view");
  EXPECT_EQ(takeWrittenNames(), (Names{"waiting_timeout", "screen_view"}));
  EXPECT_EQ(properties("name"), RawRows{});
}

TEST_F(ConditionalUserPropertyTest, NoEventIsNoProcessing) {
  std::optional<std::vector<Event>> triggered = std::vector<Event>();
  onWorker([&] { triggered = controller_->processEventOnWorkerQueue(nullptr); });
  EXPECT_EQ(triggered, std::nullopt);
  EXPECT_EQ(codes(), Codes{10000});
}

}  // namespace
}  // namespace measurement
