#include "measurement/engine/connector.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "measurement/engine/connector_utils.h"
#include "measurement/foundation/test_support.h"
#include "os/dispatch/runloop.h"
#include "os/sync/mutex.h"

namespace {

using ::testing::ElementsAre;
using ::testing::Pair;

TEST(RVOConnectorUtilsTest, ListsKeepOtherComponentsAwayFromTheAppsOwn) {
  struct Case {
    const char* what;
    bool answer;
    bool expected;
  };
  const measurement::RawParameters plain{{"value", os::Value(int64_t{1})}};
  const measurement::RawParameters replayed{{"_r", os::Value(int64_t{1})}};
  const measurement::RawParameters debug{{"_dbg", os::Value(int64_t{1})}};
  const Case cases[] = {
      {"origin fiam", RVOConnectorUtils::isOriginAllowed("fiam"), true},
      {"origin app", RVOConnectorUtils::isOriginAllowed("app"), false},
      {"origin auto", RVOConnectorUtils::isOriginAllowed("auto"), false},
      {"origin am", RVOConnectorUtils::isOriginAllowed("am"), false},
      {"app origin app+fiam", RVOConnectorUtils::isAppOrigin("app+fiam"), true},
      {"app origin apple", RVOConnectorUtils::isAppOrigin("apple"), false},
      {"listener crash", RVOConnectorUtils::isListenerOriginAllowed("crash"), true},
      {"listener fcm", RVOConnectorUtils::isListenerOriginAllowed("fcm"), false},
      {"listener sees _cmp", RVOConnectorUtils::isEventNameAllowedForListeners("_cmp"), true},
      {"listener sees _exp_set", RVOConnectorUtils::isEventNameAllowedForListeners("_exp_set"),
       false},
      {"log _cmp", RVOConnectorUtils::shouldLogEventWithName("_cmp", plain), true},
      {"log empty name", RVOConnectorUtils::shouldLogEventWithName("", plain), false},
      {"log _s", RVOConnectorUtils::shouldLogEventWithName("_s", plain), false},
      {"log with _r", RVOConnectorUtils::shouldLogEventWithName("_cmp", replayed), false},
      {"log with _dbg", RVOConnectorUtils::shouldLogEventWithName("_cmp", debug), false},
      {"property _ln by fcm", RVOConnectorUtils::isUserPropertyAllowed("_ln", "fcm"), true},
      {"property _ln by crash", RVOConnectorUtils::isUserPropertyAllowed("_ln", "crash"), false},
      {"property _fot", RVOConnectorUtils::isUserPropertyAllowed("_fot", "fcm"), false},
      {"property _ltv_EUR", RVOConnectorUtils::isUserPropertyAllowed("_ltv_EUR", "fcm"), false},
      {"property _ltv_eur", RVOConnectorUtils::isUserPropertyAllowed("_ltv_eur", "fcm"), true},
      {"property _cc3", RVOConnectorUtils::isUserPropertyAllowed("_cc3", "fcm"), false},
      {"property _cc6", RVOConnectorUtils::isUserPropertyAllowed("_cc6", "fcm"), true},
      {"property empty", RVOConnectorUtils::isUserPropertyAllowed("", "fcm"), false},
      {"query _fot", RVOConnectorUtils::isUserPropertyAllowedForQuery("_fot"), true},
      {"query _sid", RVOConnectorUtils::isUserPropertyAllowedForQuery("_sid"), false},
      {"query plan", RVOConnectorUtils::isUserPropertyAllowedForQuery("plan"), true},
  };
  for (const Case& test : cases) EXPECT_EQ(test.answer, test.expected) << test.what;
}

TEST(DIZUraruvazeConnectorTest, EventsFromDictionariesAndSimplifiedParameters) {
  std::optional<measurement::Event> event = DIZUraruvazeConnector::eventFromDictionary(
      {{"origin", "fiam"},
       {"name", "_cmp"},
       {"timestamp", 1765400000.5},
       {"parameters", os::Dictionary{{"medium", "email"}}}});
  ASSERT_TRUE(event);
  EXPECT_EQ(event->origin(), "fiam");
  EXPECT_EQ(event->name(), "_cmp");
  EXPECT_EQ(event->timestamp(), 1765400000.5);

  // Without a timestamp the event is stamped now.
  std::optional<measurement::Event> now =
      DIZUraruvazeConnector::eventFromDictionary({{"origin", "fiam"}, {"name", "_cmp"}});
  ASSERT_TRUE(now);
  EXPECT_GT(now->timestamp(), 1765400000.0);

  // Item arrays are left out of what listeners see; numbers and strings stay as they are.
  std::optional<measurement::Event> purchase = measurement::Event::initWithOrigin(
      "app", false, "purchase", 1765400000, 0,
      {{"value", os::Value(2.5)},
       {"currency", os::Value("EUR")},
       {"items", os::Value(os::Array{os::Dictionary{{"item_id", "sku"}}})}});
  ASSERT_TRUE(purchase);
  EXPECT_EQ(DIZUraruvazeConnector::simplifiedParametersFromEventParameters(purchase->parameters()),
            (os::Dictionary{{"_o", "app"}, {"currency", "EUR"}, {"value", 2.5}}));
}

// Records what a listener is told; told on the main queue.
class RecordingListener : public DIZUraruvazeInteropListener {
 public:
  void messageTriggered(const std::string& name, const os::Dictionary& parameters) override {
    os::MutexLock lock(mutex_);
    names_.push_back(name);
    (void)parameters;
  }
  std::vector<std::string> names() {
    os::MutexLock lock(mutex_);
    return names_;
  }

 private:
  os::Mutex mutex_;
  std::vector<std::string> names_ OS_GUARDED_BY(mutex_);
};

// The facade's operation queue runs (as after a start), so logged events reach the listeners.
class ConnectorListenerTest : public ::testing::Test {
 protected:
  ConnectorListenerTest() { APMAnalytics::unsuspendOperationQueue(); }
  ~ConnectorListenerTest() override { APMAnalytics::resetForTesting(); }

  static std::optional<measurement::Event> event(const char* origin, const char* name) {
    return measurement::Event::initWithOrigin(origin, false, name, 1765400000, 0, {});
  }
  // Notifies the facade's listeners of `events`, then of a last "_cmp" from "clx" that the clx
  // listener waits for: everything before it has been delivered by then.
  void notify(const std::vector<std::optional<measurement::Event>>& events) {
    const size_t marksBefore = marks();
    for (const auto& each : events) APMAnalytics::notifyEventListeners(*each);
    APMAnalytics::notifyEventListeners(*event("clx", "_cmp"));
    ASSERT_TRUE(os::RunLoop::main().runUntil([&] { return marks() > marksBefore; }, 30));
  }
  // How many "_cmp" the clx listener has been told.
  size_t marks() {
    std::vector<std::string> names = clx_->names();
    return static_cast<size_t>(std::count(names.begin(), names.end(), "_cmp"));
  }

  measurement::PreferencesSandbox sandbox_;
  std::shared_ptr<DIZUraruvazeConnector> connector_ = std::make_shared<DIZUraruvazeConnector>();
  std::shared_ptr<RecordingListener> fiam_ = std::make_shared<RecordingListener>();
  std::shared_ptr<RecordingListener> crash_ = std::make_shared<RecordingListener>();
  std::shared_ptr<RecordingListener> clx_ = std::make_shared<RecordingListener>();
};

TEST_F(ConnectorListenerTest, EachOriginReachesItsListenerAndTheAppsEventsReachAll) {
  connector_->registerAnalyticsListener(fiam_, "fiam");
  connector_->registerAnalyticsListener(crash_, "crash");
  connector_->registerAnalyticsListener(clx_, "clx");
  connector_->registerAnalyticsListener(std::make_shared<RecordingListener>(), "fcm");  // refused

  notify({event("fiam", "_cmp"), event("app", "purchase"), event("fcm", "_cmp"),
          event("crash", "_exp_set"), event("crash", "_ae")});

  EXPECT_THAT(fiam_->names(), ElementsAre("_cmp", "purchase"));
  EXPECT_THAT(crash_->names(), ElementsAre("purchase", "_ae"));
  EXPECT_THAT(clx_->names(), ElementsAre("purchase", "_cmp"));

  // Unregistering one origin keeps the others told.
  connector_->unregisterAnalyticsListenerWithOrigin("fiam");
  notify({event("app", "sign_up")});
  EXPECT_THAT(fiam_->names(), ElementsAre("_cmp", "purchase"));
  EXPECT_THAT(crash_->names(), ElementsAre("purchase", "_ae", "sign_up"));
}

}  // namespace
