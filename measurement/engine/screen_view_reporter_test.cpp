#include "measurement/engine/screen_view_reporter.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "measurement/engine/reporter_test_support.h"
#include "measurement/model/session_start_event.h"

namespace measurement {
namespace {

class ScreenViewReporterTest : public ReporterTest {
 protected:
  // Reports a screen and waits for its "_vs".
  APMReportedEvent report(RawParameters parameters, double timestamp = kStartTime) {
    size_t before = eventsNamed("_vs").size();
    screens_->trackScreenWithParameters(parameters, timestamp);
    EXPECT_TRUE(observer_.waitForEvents(before + 1, kDeadline));
    std::vector<APMReportedEvent> views = eventsNamed("_vs");
    return views.size() > before ? views[before] : APMReportedEvent{};
  }

  std::shared_ptr<APMScreenViewReporter> screens_ = APMScreenViewReporter::sharedInstance();
};

TEST_F(ScreenViewReporterTest, AReportedScreenIsLoggedAsAScreenViewAndBecomesCurrent) {
  EXPECT_TRUE(screens_->screenParameters().empty());
  // Before the first activation too.
  APMReportedEvent view = report({{"screen_name", os::Value("Home")}}, 1700000100.5);
  EXPECT_EQ(view.origin, "app");
  EXPECT_EQ(view.timestamp, 1700000100.5);
  int64_t id = view.parameters.at("_si").int64Value();
  EXPECT_EQ(view.parameters, (Parameters{{"_si", Value(id)},
                                         {"_sn", Value(std::string("Home"))},
                                         {"_mst", Value(int64_t{1})}}));
  EXPECT_TRUE(capture_.contains(31014));
  EXPECT_TRUE(capture_.contains(31029));
  EXPECT_EQ(screens_->screenParameters(),
            (Parameters{{"_si", Value(id)}, {"_sn", Value(std::string("Home"))}}));

  // The next screen names the one it came from and carries the cleaned extras.
  APMReportedEvent next = report({{"screen_name", os::Value("Cart")},
                                  {"screen_class", os::Value("CartView")},
                                  {"items_in_cart", os::Value(int64_t{3})},
                                  {"_internal", os::Value("dropped")}});
  Parameters expected{{"_si", Value(id + 1)},
                      {"_sc", Value(std::string("CartView"))},
                      {"_sn", Value(std::string("Cart"))},
                      {"_pi", Value(id)},
                      {"_pn", Value(std::string("Home"))},
                      {"_mst", Value(int64_t{1})},
                      {"items_in_cart", Value(int64_t{3})}};
  // The refused public parameter is recorded as the event's error.
  for (const char* key : {"_err", "_ev"}) {
    ASSERT_TRUE(next.parameters.contains(key)) << key;
    expected.insert_or_assign(key, next.parameters.at(key));
  }
  EXPECT_EQ(next.parameters, expected);
  EXPECT_EQ(next.parameters.at("_ev"), Value(std::string("_internal")));

  std::optional<std::string> name;
  std::optional<std::string> className;
  screens_->getScreenName(&name, &className);
  EXPECT_EQ(name, "Cart");
  EXPECT_EQ(className, "CartView");
  // The session-start event asks the current screen through its hook.
  std::optional<Event> start = sessionStartEvent(os::Value(int64_t{2}), false, kStartTime);
  ASSERT_TRUE(start);
  EXPECT_EQ(start->parameters().at("_sn"), Value(std::string("Cart")));
}

TEST_F(ScreenViewReporterTest, AnInvalidNameOrClassDropsTheReport) {
  report({{"screen_name", os::Value("Home")}, {"screen_class", os::Value("HomeView")}});
  Parameters current = screens_->screenParameters();
  struct Case {
    RawParameters parameters;
    int64_t code;
  } cases[] = {
      {{{"screen_name", os::Value(std::string(101, 'n'))}}, 31027},
      {{{"screen_name", os::Value(int64_t{7})}}, 31027},
      {{{"screen_name", os::Value("Ok")}, {"screen_class", os::Value("")}}, 31028},
      {{{"screen_class", os::Value(std::string(101, 'c'))}}, 31028},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    screens_->trackScreenWithParameters(c.parameters, kStartTime);
    EXPECT_TRUE(capture_.contains(c.code));
    EXPECT_EQ(screens_->screenParameters(), current);
  }
  // A later valid report follows directly on the last accepted one.
  APMReportedEvent view = report({{"screen_name", os::Value("Next")}});
  EXPECT_EQ(view.parameters.at("_pn"), Value(std::string("Home")));
  EXPECT_EQ(view.parameters.at("_si").int64Value(), current.at("_si").int64Value() + 1);
  EXPECT_EQ(eventsNamed("_vs").size(), 2u);
}

TEST_F(ScreenViewReporterTest, ConcurrentReportsGetDistinctIdentifiersInOneChain) {
  constexpr int kThreads = 4;
  constexpr int kReports = 250;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < kReports; ++i) {
        screens_->trackScreenWithParameters(
            {{"screen_name", os::Value("Screen" + std::to_string(t))}}, kStartTime);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  ASSERT_TRUE(observer_.waitForEvents(kThreads * kReports, kDeadline));
  std::set<int64_t> ids;
  std::set<int64_t> previousIDs;
  for (const APMReportedEvent& view : eventsNamed("_vs")) {
    ids.insert(view.parameters.at("_si").int64Value());
    if (view.parameters.contains("_pi")) previousIDs.insert(view.parameters.at("_pi").int64Value());
  }
  EXPECT_EQ(ids.size(), size_t{kThreads * kReports});
  EXPECT_EQ(*ids.rbegin() - *ids.begin(), kThreads * kReports - 1);
  // Every screen but the last is the previous screen of exactly one other.
  EXPECT_EQ(previousIDs.size(), size_t{kThreads * kReports - 1});
}

TEST_F(ScreenViewReporterTest, ActivationIsPermanentAndResignationCutsAdExposure) {
  EXPECT_FALSE(screens_->isAppActive());
  activate();
  EXPECT_TRUE(screens_->isAppActive());
  auto ads = APMAdExposureReporter::sharedInstance();
  ads->beginAdUnitExposure("a");
  clock_.advance(2);
  os::NotificationCenter::defaultCenter().post(os::kApplicationWillResignActiveNotification);
  EXPECT_TRUE(screens_->isAppActive());
  ASSERT_EQ(eventsNamed("_xu").size(), 1u);
  EXPECT_EQ(eventsNamed("_xu")[0].parameters.at("_xt"), Value(int64_t{2000}));
}

TEST_F(ScreenViewReporterTest, SettingTheScreenByNameIsRefused) {
  screens_->setScreenName("Home", "HomeView");
  EXPECT_EQ(codes(), std::vector<int64_t>{31000});
  EXPECT_TRUE(screens_->screenParameters().empty());
}

TEST(ScreenParametersTest, ScreensNameThemselvesAndTheirPredecessor) {
  PreferencesSandbox sandbox;
  MonitorCapture capture;
  struct Case {
    APMScreen screen;
    Parameters current;
    Parameters previous;
    std::vector<int64_t> codes;
  } cases[] = {
      {APMScreen("Home", "HomeView", 5),
       {{"_si", Value(int64_t{5})},
        {"_sc", Value(std::string("HomeView"))},
        {"_sn", Value(std::string("Home"))}},
       {{"_pi", Value(int64_t{5})},
        {"_pc", Value(std::string("HomeView"))},
        {"_pn", Value(std::string("Home"))}},
       {}},
      {APMScreen(std::nullopt, std::nullopt, 6),
       {{"_si", Value(int64_t{6})}},
       {{"_pi", Value(int64_t{6})}},
       {31014}},
      // An invalid class leaves the name out too.
      {APMScreen("Home", std::string(101, 'c'), 7),
       {{"_si", Value(int64_t{7})}},
       {{"_pi", Value(int64_t{7})}, {"_pn", Value(std::string("Home"))}},
       {31015}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.screen.instanceID());
    size_t before = capture.records().size();
    EXPECT_EQ(APMScreenParameters(c.screen), c.current);
    EXPECT_EQ(APMPreviousScreenParameters(c.screen), c.previous);
    std::vector<int64_t> codes;
    std::vector<MonitorRecord> records = capture.records();
    for (size_t i = before; i < records.size(); ++i) {
      if (records[i].code >= 31000 && records[i].code < 32000) codes.push_back(records[i].code);
    }
    EXPECT_EQ(codes, c.codes);
  }
}

TEST(LoggedAnalyticsModifierTest, TheScreenKeysGoOverTheExtraParameters) {
  LoggedAnalyticsModifier modifier{
      "Home", "HomeView", {{"screen_name", os::Value("stale")}, {"tab", os::Value("recent")}}};
  EXPECT_EQ(modifier.parameters(), (os::Dictionary{{"screen_class", os::Value("HomeView")},
                                                   {"screen_name", os::Value("Home")},
                                                   {"tab", os::Value("recent")}}));
}

}  // namespace
}  // namespace measurement
