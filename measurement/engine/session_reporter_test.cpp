#include "measurement/engine/session_reporter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <optional>

#include "measurement/engine/reporter_test_support.h"
#include "measurement/foundation/persisted_config.h"
#include "os/dispatch/runloop.h"

namespace measurement {
namespace {

const char* const kEfficient = "measurement.collection.efficient_engagement_reporting_enabled";
const char* const kRedundantRemoval = "measurement.collection.redundant_engagement_removal_enabled";
const char* const kBackgrounded = "measurement.lifecycle.app_backgrounded_tracking";

const char* flag(bool on) { return on ? "1" : "0"; }

class SessionReporterTest : public ReporterTest {
 protected:
  // An enabled reporter of an active application.
  std::shared_ptr<APMSessionReporter> activeReporter() {
    activate();
    auto reporter = APMSessionReporter::create(config_.get());
    reporter->setReportingEnabled(true);
    return reporter;
  }

  std::unique_ptr<PersistedConfig> config_ = PersistedConfig::create("SessionReporterTest");
  APMScreen home_{"Home", "HomeView", 41};
};

TEST_F(SessionReporterTest, OneEngagementEventReportsAtMostAnHourAndReopensTheInterval) {
  auto reporter = activeReporter();
  clock_.advance(2 * 3600);
  EXPECT_EQ(reporter->logEngagementEventAndReturnTimeWithScreen(nullptr, false), 3600000);
  clock_.advance(2.5);
  reporter->logUserEngagementEvent();

  std::vector<APMReportedEvent> engagements = eventsNamed("_e");
  ASSERT_EQ(engagements.size(), 2u);
  EXPECT_EQ(engagements[0].origin, "auto");
  EXPECT_EQ(engagements[0].parameters, (Parameters{{"_et", Value(int64_t{3600000})}}));
  EXPECT_EQ(engagements[1].parameters, (Parameters{{"_et", Value(int64_t{2500})}}));
  // Each "_e" is session activity and re-arms the engagement timer.
  EXPECT_EQ(config_->lastSessionActivityClockTime(), os::clock::now());
  EXPECT_EQ(reporter->userEngagementTimer().scheduledTimestamp(), os::clock::now() + 3600);
}

TEST_F(SessionReporterTest, EngagementIsNotReportedWhileInactiveOrDisabled) {
  auto reporter = APMSessionReporter::create(config_.get());
  reporter->setReportingEnabled(true);
  clock_.advance(5);
  EXPECT_EQ(reporter->logEngagementEventAndReturnTimeWithScreen(&home_, false), 0);
  EXPECT_EQ(codes(), std::vector<int64_t>{33006});
  EXPECT_FALSE(reporter->userEngagementTimer().scheduledTimestamp());

  activate();
  reporter->setReportingEnabled(false);
  EXPECT_EQ(reporter->logEngagementEventAndReturnTimeWithScreen(&home_, false), 0);
  // The interval reopened all the same: the next report counts from here.
  reporter->setReportingEnabled(true);
  clock_.advance(1.5);
  EXPECT_EQ(reporter->logEngagementEventAndReturnTimeWithScreen(&home_, false), 1500);
  std::vector<APMReportedEvent> engagements = eventsNamed("_e");
  ASSERT_EQ(engagements.size(), 1u);
  EXPECT_EQ(engagements[0].parameters, (Parameters{{"_et", Value(int64_t{1500})},
                                                   {"_si", Value(int64_t{41})},
                                                   {"_sc", Value(std::string("HomeView"))},
                                                   {"_sn", Value(std::string("Home"))}}));
}

TEST_F(SessionReporterTest, AScreenChangeAttributesASecondOrMoreToTheScreenBeingLeft) {
  struct Case {
    bool efficient;
    bool redundantRemoval;
    double engaged;
    bool logs;
  } cases[] = {
      {false, false, 0.9, false}, {false, false, 1.0, true}, {true, false, 1.0, true},
      {true, true, 5.0, false},   {false, true, 5.0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.efficient << c.redundantRemoval << " " << c.engaged);
    ScopedEngineSettings settings{{kEfficient, flag(c.efficient)},
                                  {kRedundantRemoval, flag(c.redundantRemoval)}};
    observer_.clear();
    auto reporter = activeReporter();
    clock_.advance(c.engaged);
    APMScreen next("Settings", "SettingsView", 42);
    reporter->handleScreenDidChangeFromScreen(&home_, &next);
    reporter->handleScreenDidChangeFromScreen(nullptr, &next);

    std::vector<APMReportedEvent> engagements = eventsNamed("_e");
    ASSERT_EQ(engagements.size(), c.logs ? 1u : 0u);
    if (!c.logs) continue;
    Parameters expected{{"_et", Value(saturatingInt64(c.engaged * 1000))},
                        {"_si", Value(int64_t{41})},
                        {"_sc", Value(std::string("HomeView"))},
                        {"_sn", Value(std::string("Home"))}};
    // Under efficient reporting the screen's "_e" rides along with the free-ride time.
    if (c.efficient) expected.emplace("_fr", Value(int64_t{1}));
    EXPECT_EQ(engagements[0].parameters, expected);
  }
}

TEST_F(SessionReporterTest, ResignationReportsEngagementAndTheBackgroundEventAsConfigured) {
  struct Case {
    bool backgrounded;
    bool redundantRemoval;
    bool efficient;
    std::optional<Parameters> engagement;  // "_e", when one is logged
    std::optional<Parameters> background;  // "_ab", when one is logged
  } cases[] = {
      {false, false, false, Parameters{{"_et", Value(int64_t{2500})}}, std::nullopt},
      {true, false, false, Parameters{{"_et", Value(int64_t{2500})}}, Parameters{}},
      {true, false, true, Parameters{{"_et", Value(int64_t{2500})}, {"_fr", Value(int64_t{1})}},
       Parameters{{"_et", Value(int64_t{2500})}}},
      {true, true, true, std::nullopt, Parameters{{"_et", Value(int64_t{2500})}}},
      {true, true, false, std::nullopt, Parameters{}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.backgrounded << c.redundantRemoval << c.efficient);
    ScopedEngineSettings settings{{kBackgrounded, flag(c.backgrounded)},
                                  {kRedundantRemoval, flag(c.redundantRemoval)},
                                  {kEfficient, flag(c.efficient)}};
    observer_.clear();
    auto reporter = activeReporter();
    clock_.advance(2.5);
    reporter->handleAppWillResignActiveWithScreen(nullptr);

    std::vector<APMReportedEvent> engagements = eventsNamed("_e");
    ASSERT_EQ(engagements.size(), c.engagement ? 1u : 0u);
    if (c.engagement) {
      EXPECT_EQ(engagements[0].parameters, *c.engagement);
    }
    std::vector<APMReportedEvent> backgrounds = eventsNamed("_ab");
    ASSERT_EQ(backgrounds.size(), c.background ? 1u : 0u);
    if (c.background) {
      EXPECT_EQ(backgrounds[0].parameters, *c.background);
    }
    EXPECT_FALSE(reporter->userEngagementTimer().scheduledTimestamp());
  }
}

TEST_F(SessionReporterTest, ASessionExpiresWhenTheLastActivityIsBeyondTheTimeoutEitherWay) {
  auto reporter = APMSessionReporter::create(config_.get());
  EXPECT_EQ(reporter->timeoutSessionInterval(), 1800);
  struct Case {
    double lastActivityFromNow;
    bool expired;
  } cases[] = {{-1800, false}, {-1800.5, true}, {1800, false}, {1801, true}, {0, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lastActivityFromNow);
    config_->setLastSessionActivityClockTime(os::clock::now() + c.lastActivityFromNow);
    EXPECT_EQ(reporter->isSessionExpired(), c.expired);
    EXPECT_EQ(reporter->extendSession(), !c.expired);
    double expectedActivity =
        c.expired ? os::clock::now() + c.lastActivityFromNow : os::clock::now();
    EXPECT_EQ(config_->lastSessionActivityClockTime(), expectedActivity);
  }

  reporter->setTimeoutSessionInterval(-5);
  EXPECT_EQ(reporter->timeoutSessionInterval(), 0.0);
  EXPECT_EQ(codes(), std::vector<int64_t>{33001});
  config_->setLastSessionActivityClockTime(os::clock::now());
  EXPECT_FALSE(reporter->isSessionExpired());
  clock_.advance(0.001);
  EXPECT_TRUE(reporter->isSessionExpired());
  // A new session is started only while the application is active.
  EXPECT_FALSE(reporter->shouldStartNewSession());
  activate();
  EXPECT_TRUE(reporter->shouldStartNewSession());
}

TEST_F(SessionReporterTest, ActivationAfterExpiryStartsASessionWithTheRaisedNumber) {
  config_->setSessionNumber(6);
  config_->setLastSessionActivityClockTime(os::clock::now() - 7200);
  auto reporter = activeReporter();
  clock_.advance(10);
  reporter->handleAppDidBecomeActive();

  std::vector<APMReportedEvent> starts = eventsNamed("_s");
  ASSERT_EQ(starts.size(), 1u);
  int64_t sessionID = saturatingInt64(os::clock::now());
  EXPECT_EQ(starts[0].origin, "auto");
  EXPECT_EQ(starts[0].parameters,
            (Parameters{{"_sid", Value(sessionID)}, {"_sno", Value(int64_t{7})}}));
  std::vector<APMReportedUserProperty> properties = observer_.userProperties();
  ASSERT_EQ(properties.size(), 4u);
  // Cleared first, then set to the new session's values.
  EXPECT_EQ(properties[0].name, "_sid");
  EXPECT_TRUE(properties[0].value.isNull());
  EXPECT_EQ(properties[1].name, "_sno");
  EXPECT_TRUE(properties[1].value.isNull());
  EXPECT_EQ(properties[2].value, os::Value(sessionID));
  EXPECT_EQ(properties[3].value, os::Value(int64_t{7}));
  EXPECT_EQ(properties[3].origin, "auto");
  EXPECT_EQ(config_->sessionNumber(), 7);
  EXPECT_EQ(config_->lastSessionActivityClockTime(), os::clock::now());

  // The session is current now: another activation starts none.
  reporter->handleAppDidBecomeActive();
  EXPECT_EQ(eventsNamed("_s").size(), 1u);

  std::optional<UserAttribute> number = reporter->sessionNumberProperty();
  ASSERT_TRUE(number);
  EXPECT_EQ(number->value(), Value(int64_t{7}));
  std::optional<UserAttribute> id = reporter->sessionIDPropertyWithTimestamp(1700000123.9);
  ASSERT_TRUE(id);
  EXPECT_EQ(id->value(), Value(int64_t{1700000123}));
  EXPECT_EQ(id->lastSetTimestamp(), 1700000123.9);
}

TEST_F(SessionReporterTest, SessionStartNeedsAnActiveAppAndReporting) {
  auto reporter = APMSessionReporter::create(config_.get());
  reporter->setReportingEnabled(true);
  reporter->logSessionStartEvent();
  EXPECT_EQ(codes(), std::vector<int64_t>{33005});
  activate();
  reporter->setReportingEnabled(false);
  reporter->logSessionStartEvent();
  EXPECT_TRUE(observer_.events().empty());
  EXPECT_EQ(config_->sessionNumber(), 0);
}

TEST_F(SessionReporterTest, FreeRideTimeIsCutOnlyUnderEfficientReporting) {
  auto reporter = activeReporter();
  clock_.advance(3);
  EXPECT_EQ(reporter->cutFreerideEngagementTimeMillis(), 0);
  ScopedEngineSettings settings{{kEfficient, "1"}};
  EXPECT_EQ(reporter->cutFreerideEngagementTimeMillis(), 3000);
  clock_.advance(0.25);
  EXPECT_EQ(reporter->cutFreerideEngagementTimeMillis(), 250);
  // The uptime going back (boot time unreadable) counts as no engagement.
  clock_.setMonotonic(-1);
  EXPECT_EQ(reporter->incurredEngagementTime(), 0.0);
  EXPECT_TRUE(capture_.contains(33004));
}

TEST_F(SessionReporterTest, TheWorkerQueueSwitchesTheTimerOnTheMainQueue) {
  activate();
  auto reporter = APMSessionReporter::create(config_.get());
  auto worker = os::DispatchQueue::serial("SessionReporterTest.worker");
  worker->async([reporter] { reporter->setReportingEnabled(true); });
  EXPECT_TRUE(os::RunLoop::main().runUntil(
      [&] { return reporter->userEngagementTimer().scheduledTimestamp().has_value(); }, kDeadline));
  EXPECT_EQ(reporter->userEngagementTimer().scheduledTimestamp(), os::clock::now() + 3600);
  worker->async([reporter] { reporter->setReportingEnabled(false); });
  EXPECT_TRUE(os::RunLoop::main().runUntil(
      [&] { return !reporter->userEngagementTimer().scheduledTimestamp(); }, kDeadline));
  EXPECT_FALSE(reporter->isReportingEnabled());
}

TEST_F(SessionReporterTest, TheEngagementTimerAnnouncesItselfThenReportsEngagement) {
  // One millisecond between engagement reports.
  ScopedEngineSettings settings{{"measurement.session.event_user_engagement_interval", "1"}};
  std::atomic<int> announced{0};
  os::NotificationCenter& center = os::NotificationCenter::defaultCenter();
  os::ObserverRegistration registration(
      center, center.addObserver(kAPMSessionReporterEngagementTimerDidFire, nullptr,
                                 [&](const os::Notification&) {
                                   // Announced before the "_e" of the same firing.
                                   if (announced.load() == int(eventsNamed("_e").size())) {
                                     announced.fetch_add(1);
                                   }
                                 }));
  auto reporter = activeReporter();
  EXPECT_TRUE(
      os::RunLoop::main().runUntil([&] { return eventsNamed("_e").size() >= 2; }, kDeadline));
  reporter->setReportingEnabled(false);
  EXPECT_GE(announced.load(), 2);
  EXPECT_FALSE(reporter->userEngagementTimer().scheduledTimestamp());
}

}  // namespace
}  // namespace measurement
