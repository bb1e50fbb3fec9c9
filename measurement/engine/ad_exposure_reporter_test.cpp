#include "measurement/engine/ad_exposure_reporter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "measurement/engine/reporter_test_support.h"
#include "measurement/engine/session_reporter.h"

namespace measurement {
namespace {

class AdExposureReporterTest : public ReporterTest {
 protected:
  AdExposureReporterTest() { activate(); }

  std::shared_ptr<APMAdExposureReporter> ads_ = APMAdExposureReporter::sharedInstance();
};

TEST_F(AdExposureReporterTest, AnExposureOfASecondOrMoreReportsTheAdUnitAndTheAds) {
  struct Case {
    double shown;
    int64_t milliseconds;  // 0: nothing reported
  } cases[] = {{0.75, 0}, {1.0, 1000}, {1.25, 1250}, {0.99, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shown);
    observer_.clear();
    ads_->beginAdUnitExposure("a");
    clock_.advance(c.shown);
    ads_->endAdUnitExposure("a");
    if (c.milliseconds == 0) {
      EXPECT_TRUE(observer_.events().empty());
      continue;
    }
    std::vector<APMReportedEvent> events = observer_.events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].origin, "am");
    EXPECT_EQ(events[0].name, "_xu");
    EXPECT_EQ(events[0].parameters,
              (Parameters{{"_ai", Value(std::string("a"))}, {"_xt", Value(c.milliseconds)}}));
    EXPECT_EQ(events[1].name, "_xa");
    EXPECT_EQ(events[1].parameters, (Parameters{{"_xt", Value(c.milliseconds)}}));
  }
  EXPECT_TRUE(capture_.contains(1009));
  EXPECT_TRUE(capture_.contains(1006));
}

TEST_F(AdExposureReporterTest, AnAdUnitStaysOpenUntilAsManyEndsAsBegins) {
  ads_->beginAdUnitExposure("a");
  ads_->beginAdUnitExposure("a");
  ads_->beginAdUnitExposure("b");
  clock_.advance(2);
  ads_->endAdUnitExposure("a");
  ads_->endAdUnitExposure("b");
  // "a" is still shown: the ads as a whole are too.
  EXPECT_EQ(eventsNamed("_xa").size(), 0u);
  ASSERT_EQ(eventsNamed("_xu").size(), 1u);
  EXPECT_EQ(eventsNamed("_xu")[0].parameters.at("_ai"), Value(std::string("b")));
  clock_.advance(1);
  ads_->endAdUnitExposure("a");
  ASSERT_EQ(eventsNamed("_xu").size(), 2u);
  EXPECT_EQ(eventsNamed("_xu")[1].parameters.at("_xt"), Value(int64_t{3000}));
  ASSERT_EQ(eventsNamed("_xa").size(), 1u);
  EXPECT_EQ(eventsNamed("_xa")[0].parameters.at("_xt"), Value(int64_t{3000}));

  ads_->endAdUnitExposure("a");
  ads_->endAdUnitExposure("");
  ads_->beginAdUnitExposure("");
  EXPECT_EQ(codes(), (std::vector<int64_t>{1004, 1003, 1000}));
  EXPECT_EQ(observer_.events().size(), 3u);
}

TEST_F(AdExposureReporterTest, TheHundredAndFirstOpenAdUnitIsRefused) {
  for (int i = 0; i < 100; ++i) ads_->beginAdUnitExposure("unit" + std::to_string(i));
  ads_->beginAdUnitExposure("unit100");
  ads_->beginAdUnitExposure("unit7");
  clock_.advance(1);
  // Refused: never opened.
  ads_->endAdUnitExposure("unit100");
  // Its other exposure was refused: this end closes it.
  ads_->endAdUnitExposure("unit7");
  std::vector<int64_t> refusals;
  for (int64_t code : codes()) {
    if (code == 1002 || code == 1004) refusals.push_back(code);
  }
  EXPECT_EQ(refusals, (std::vector<int64_t>{1002, 1002, 1004}));
  ASSERT_EQ(eventsNamed("_xu").size(), 1u);
  EXPECT_EQ(eventsNamed("_xu")[0].parameters.at("_ai"), Value(std::string("unit7")));
}

TEST_F(AdExposureReporterTest, ExposureIsCutPerScreenAndRestartedOnActivation) {
  auto screens = APMScreenViewReporter::sharedInstance();
  auto show = [&](const char* name) {
    size_t before = eventsNamed("_vs").size();
    screens->trackScreenWithParameters(
        RawParameters{{"screen_name", os::Value(name)}, {"screen_class", os::Value("View")}},
        os::clock::now());
    // The screen change reaches this reporter before the screen's "_vs" is logged. The count
    // of events is taken before the look for "_vs", so an event arriving in between ends the
    // wait instead of being waited past.
    for (;;) {
      const size_t seen = observer_.events().size();
      if (eventsNamed("_vs").size() != before) break;
      ASSERT_TRUE(observer_.waitForEvents(seen + 1, kDeadline));
    }
  };
  show("First");
  ads_->beginAdUnitExposure("a");
  clock_.advance(2);
  show("Second");
  clock_.advance(3);
  show("Third");
  clock_.advance(1.5);
  ads_->endAdUnitExposure("a");

  std::vector<APMReportedEvent> pieces = eventsNamed("_xu");
  ASSERT_EQ(pieces.size(), 3u);
  const char* screensShown[] = {"First", "Second", "Third"};
  int64_t milliseconds[] = {2000, 3000, 1500};
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(pieces[i].parameters.at("_sn"), Value(std::string(screensShown[i])));
    EXPECT_EQ(pieces[i].parameters.at("_xt"), Value(milliseconds[i]));
  }
  // The whole exposure ended with the last piece.
  ASSERT_EQ(eventsNamed("_xa").size(), 3u);

  // Time while resigned does not count: activation restarts the clocks.
  ads_->beginAdUnitExposure("b");
  clock_.advance(4);
  ads_->handleAppWillResignActiveWithScreen(nullptr);
  clock_.advance(60);
  ads_->handleAppDidBecomeActive();
  clock_.advance(1.25);
  ads_->endAdUnitExposure("b");
  pieces = eventsNamed("_xu");
  ASSERT_EQ(pieces.size(), 5u);
  EXPECT_EQ(pieces[3].parameters.at("_xt"), Value(int64_t{4000}));
  EXPECT_EQ(pieces[4].parameters.at("_xt"), Value(int64_t{1250}));
  EXPECT_EQ(pieces[4].parameters.at("_sn"), Value(std::string("Third")));
}

TEST_F(AdExposureReporterTest, NothingIsReportedWhileDisabledOrInactive) {
  ads_->setReportingEnabled(false);
  ads_->beginAdUnitExposure("a");
  clock_.advance(2);
  ads_->endAdUnitExposure("a");
  ads_->setReportingEnabled(true);
  EXPECT_EQ(codes(), (std::vector<int64_t>{1007, 1005}));

  APMScreenViewReporter::resetForTesting();
  ads_->beginAdUnitExposure("a");
  clock_.advance(2);
  ads_->endAdUnitExposure("a");
  EXPECT_EQ(codes(), (std::vector<int64_t>{1007, 1005, 1011, 1010}));
  EXPECT_TRUE(observer_.events().empty());
}

TEST_F(AdExposureReporterTest, TheEngagementTimerCutsOnTheCurrentScreen) {
  ads_->beginAdUnitExposure("a");
  clock_.advance(1.5);
  os::NotificationCenter::defaultCenter().post(kAPMSessionReporterEngagementTimerDidFire);
  ASSERT_EQ(eventsNamed("_xu").size(), 1u);
  EXPECT_EQ(eventsNamed("_xu")[0].parameters.at("_xt"), Value(int64_t{1500}));
  EXPECT_EQ(eventsNamed("_xa").size(), 1u);
}

}  // namespace
}  // namespace measurement
