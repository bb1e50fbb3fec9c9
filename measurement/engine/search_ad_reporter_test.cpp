#include "measurement/engine/search_ad_reporter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "measurement/engine/reporter_events.h"
#include "measurement/foundation/monitor_capture.h"
#include "measurement/foundation/persisted_config.h"
#include "measurement/foundation/test_support.h"
#include "os/process/clock.h"
#include "testsupport/local_http_server.h"

namespace {

using measurement::PersistedConfig;

class FixedToken final : public SearchAdTokenProvider {
 public:
  std::optional<std::string> attributionToken(os::Error*) override { return "token-1"; }
};

class SearchAdReporterTest : public testing::Test {
 protected:
  std::shared_ptr<APMSearchAdReporter> make(std::shared_ptr<SearchAdTokenProvider> provider,
                                            const os::URL& endpoint) {
    auto reporter =
        APMSearchAdReporter::create(queue_, config_.get(), std::move(provider), endpoint);
    if (reporter) reporter->setSearchAdReporterEnabled(true);
    return reporter;
  }
  // One attempt, waiting until its answer was handled on the worker queue.
  void attempt(APMSearchAdReporter& reporter) {
    std::promise<void> handled;
    reporter.setResponseObserverForTesting([&handled] { handled.set_value(); });
    queue_->sync([&] { reporter.maybeLogIAdCampaignEvent(); });
    handled.get_future().wait();
    queue_->sync([&] { reporter.setResponseObserverForTesting(nullptr); });
  }
  os::URL endpoint() { return *os::URL::parse(server_.url("/api/v1/")); }

  measurement::PreferencesSandbox sandbox_;
  os::clock::ScopedFakeClock clock_{1700000000};
  measurement::MonitorCapture capture_;
  ScopedReporterObserver observer_;
  std::unique_ptr<PersistedConfig> config_ = PersistedConfig::create("SearchAdReporterTest");
  std::shared_ptr<os::DispatchQueue> queue_ = os::DispatchQueue::serial("SearchAdReporterTest");
  testsupport::LocalHttpServer server_;
};

TEST_F(SearchAdReporterTest, TheAnswerDecidesTheOutcomeAndTheNextAttempt) {
  struct Case {
    const char* name;
    std::string answer;
    // The stored outcome ("-" for none), the "_cmp" logged and whether another attempt waits.
    std::string outcome;
    std::vector<std::string> campaign;
    bool nextAttempt;
  };
  const std::vector<Case> cases{
      {"test data",
       R"({"adId":"1234567890","campaignId":"1234567890","attribution":true})",
       "-",
       {},
       true},
      {"not attributed", R"({"attribution":false,"campaignId":"1234"})", "0", {}, false},
      {"attributed",
       R"({"attribution":true,"campaignId":"1234","keywordId":"5678"})",
       "1",
       {"source=Apple", "medium=search", "campaign=1234", "term=5678",
        "click_timestamp=1699999999999"},
       false},
      {"not JSON", "<html>", "-", {}, true},
      {"an empty object", "{}", "-", {}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    measurement::PreferencesSandbox sandbox;
    config_ = PersistedConfig::create("SearchAdReporterTest");
    config_->setFirstOpenTimestampMilliseconds(1700000000000);
    observer_.clear();
    server_.respond("POST", "/api/v1/", 200, c.answer, {{"Content-Type", "application/json"}});
    auto reporter = make(std::make_shared<FixedToken>(), endpoint());
    ASSERT_TRUE(reporter);
    attempt(*reporter);

    os::Value outcome = config_->searchAdCampaignValue();
    EXPECT_EQ(outcome.isNull() ? "-" : (outcome.boolValue() ? "1" : "0"), c.outcome);
    std::vector<std::string> campaign;
    for (const APMReportedEvent& event : observer_.events()) {
      if (event.name != "_cmp") continue;
      for (const auto& [key, value] : event.parameters) {
        campaign.push_back(
            key + "=" +
            (value.isString() ? *value.stringValue() : std::to_string(value.int64Value())));
      }
    }
    std::sort(campaign.begin(), campaign.end());
    std::vector<std::string> expected = c.campaign;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(campaign, expected);
    EXPECT_EQ(config_->searchAdRetryCount(), 1);
    std::optional<double> next;
    queue_->sync([&] { next = reporter->scheduledTimestamp(); });
    EXPECT_EQ(next.has_value(), c.nextAttempt);
    if (next) {
      EXPECT_EQ(*next, os::clock::now() + 86400);
    }
  }
  const testsupport::RecordedRequest request = server_.requests().back();
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.body, "token-1");
  EXPECT_EQ(request.header("cache-control"), "no-cache");
  EXPECT_EQ(request.header("Content-Type"), "text/plain");
}

TEST_F(SearchAdReporterTest, ATransportErrorStoresNothingAndWaitsForTheNextDay) {
  os::URL closed = endpoint();
  server_.stop();
  auto reporter = make(std::make_shared<FixedToken>(), closed);
  attempt(*reporter);
  EXPECT_TRUE(capture_.contains(32015));
  EXPECT_TRUE(config_->searchAdCampaignValue().isNull());
  std::optional<double> next;
  queue_->sync([&] { next = reporter->scheduledTimestamp(); });
  EXPECT_EQ(next, os::clock::now() + 86400);
}

TEST_F(SearchAdReporterTest, AttemptsAreADayApartAndEndWithAnOutcomeOrTheTenth) {
  // A restart ten hours after an attempt waits the fourteen hours left.
  config_->setSearchAdRetryCount(1);
  config_->setLastSearchAdLookUpTimestamp(os::clock::now() - 10 * 3600);
  auto reporter = make(std::make_shared<FixedToken>(), endpoint());
  std::optional<double> next;
  queue_->sync([&] {
    reporter->start();
    next = reporter->scheduledTimestamp();
  });
  EXPECT_EQ(next, os::clock::now() + 14 * 3600);
  queue_->sync([&] { reporter.reset(); });

  config_->setSearchAdRetryCount(10);
  EXPECT_FALSE(make(std::make_shared<FixedToken>(), endpoint()));
  config_->setSearchAdRetryCount(3);
  config_->setSearchAdCampaignValue(os::Value(false));
  EXPECT_FALSE(make(std::make_shared<FixedToken>(), endpoint()));
  EXPECT_TRUE(capture_.contains(32002));

  // Without the platform's attribution framework nothing is scheduled.
  config_ = PersistedConfig::create("SearchAdReporterTestFresh");
  auto without = make(nullptr, endpoint());
  ASSERT_TRUE(without);
  queue_->sync([&] {
    without->start();
    next = without->scheduledTimestamp();
  });
  EXPECT_TRUE(capture_.contains(32014));
  EXPECT_FALSE(next);
  queue_->sync([&] { without.reset(); });
}

}  // namespace
