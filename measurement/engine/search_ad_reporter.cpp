#include "measurement/engine/search_ad_reporter.h"

#include <cmath>
#include <utility>

#include "measurement/engine/reporter_events.h"
#include "measurement/foundation/monitor.h"
#include "os/net/urlsession.h"
#include "os/process/clock.h"
#include "os/value/json.h"

namespace {

using measurement::monitor;
using measurement::MonitorLevel;

constexpr const char* kTestID = "1234567890";

std::string stringOf(const os::Value& value) { return value.stringValue().value_or(""); }

}  // namespace

os::URL APMSearchAdReporter::defaultEndpoint() {
  return *os::URL::parse(std::string("https://") + kSearchAdAttributionHost + "/api/v1/");
}

std::shared_ptr<APMSearchAdReporter> APMSearchAdReporter::create(
    std::shared_ptr<os::DispatchQueue> queue, measurement::PersistedConfig* config,
    std::shared_ptr<SearchAdTokenProvider> tokenProvider, os::URL endpoint) {
  if (!queue) {
    monitor().log(MonitorLevel::kErrorSilent, 32000,
                  "Cannot init Search Ad reporter. Queue must be provided");
    return nullptr;
  }
  if (!config) {
    monitor().log(MonitorLevel::kErrorSilent, 32001,
                  "Cannot init Search Ad reporter. Persisted config must be provided");
    return nullptr;
  }
  if (config->searchAdRetryCount() > kMaxAttempts - 1) return nullptr;
  if (!config->searchAdCampaignValue().isNull()) {
    monitor().log(MonitorLevel::kDebug, 32002,
                  "Search Ad campaign attribution was already reported. Do not start Search Ad "
                  "Reporter.");
    return nullptr;
  }
  return std::make_shared<APMSearchAdReporter>(Private{}, std::move(queue), config,
                                               std::move(tokenProvider), std::move(endpoint));
}

APMSearchAdReporter::APMSearchAdReporter(Private, std::shared_ptr<os::DispatchQueue> queue,
                                         measurement::PersistedConfig* config,
                                         std::shared_ptr<SearchAdTokenProvider> tokenProvider,
                                         os::URL endpoint)
    : queue_(std::move(queue)),
      config_(config),
      tokenProvider_(std::move(tokenProvider)),
      endpoint_(std::move(endpoint)),
      alarm_(std::make_unique<measurement::Alarm>(queue_, "Search Ad campaign report alarm")) {}

APMSearchAdReporter::~APMSearchAdReporter() {
  // The alarm belongs to the worker queue: it is cancelled there, by its destruction.
  if (alarm_) queue_->async([alarm = std::shared_ptr<measurement::Alarm>(std::move(alarm_))] {});
}

void APMSearchAdReporter::start() {
  if (!tokenProvider_) {
    monitor().log(
        MonitorLevel::kDebug, 32014,
        "AdServices framework is not linked. Search Ad Attribution Reporter is disabled.");
    return;
  }
  scheduleSearchAdReport();
}

void APMSearchAdReporter::scheduleSearchAdReport() {
  if (!alarm_) {
    monitor().log(MonitorLevel::kWarningSilent, 32013,
                  "Search Ad Campaign attribution alarm is already canceled");
    return;
  }
  if (!isSearchAdReporterEnabled()) {
    alarm_->cancel();
    return;
  }
  if (!config_->searchAdCampaignValue().isNull()) {
    monitor().log(MonitorLevel::kDebug, 32004,
                  "Search Ad report not scheduled. Search Ad campaign attribution was already "
                  "reported.");
    cancelScheduling();
    return;
  }
  if (alarm_->scheduledTimestamp()) {
    monitor().log(MonitorLevel::kWarningSilent, 32005,
                  "Search Ad Campaign attribution alarm is already scheduled");
    return;
  }
  if (config_->searchAdRetryCount() >= kMaxAttempts) {
    monitor().log(MonitorLevel::kWarningSilent, 32007,
                  "Search Ad Campaign attribution exceeds the max number of retries. Do not "
                  "schedule again.");
    cancelScheduling();
    return;
  }
  monitor().log(MonitorLevel::kDebug, 32006, "Scheduling Search Ad Report timer");
  double delay =
      kAttemptInterval - std::abs(os::clock::now() - config_->lastSearchAdLookUpTimestamp());
  alarm_->runAfterDelay(delay, [weak = weak_from_this()] {
    if (auto reporter = weak.lock()) reporter->maybeLogIAdCampaignEvent();
  });
}

void APMSearchAdReporter::cancelScheduling() {
  if (alarm_) alarm_->cancel();
  alarm_.reset();
}

void APMSearchAdReporter::maybeLogIAdCampaignEvent() {
  if (!tokenProvider_) return;
  config_->setLastSearchAdLookUpTimestamp(os::clock::now());
  fetchAttributionDetails();
  scheduleSearchAdReport();
}

void APMSearchAdReporter::fetchAttributionDetails() {
  config_->setSearchAdRetryCount(config_->searchAdRetryCount() + 1);
  os::Error error;
  std::optional<std::string> token = tokenProvider_->attributionToken(&error);
  if (!token) {
    monitor().log(MonitorLevel::kErrorSampled, 32018,
                  "Cannot send request for Search Ad campaign attribution. Error", error);
    return;
  }
  if (!token->empty()) requestAttributionPayloadWithToken(*token);
}

void APMSearchAdReporter::requestAttributionPayloadWithToken(const std::string& token) {
  if (token.empty()) return;
  os::URLRequest request(endpoint_, kRequestTimeout);
  request.setHTTPMethod("POST");
  request.setValue("no-cache", "cache-control");
  request.setValue("text/plain", "Content-Type");
  request.setHTTPBody(os::Data(token.begin(), token.end()));
  auto task = os::URLSession::sharedSession()->dataTaskWithRequest(
      request,
      [weak = weak_from_this(), queue = queue_](const std::optional<os::Data>& data,
                                                const std::shared_ptr<const os::URLResponse>&,
                                                const std::optional<os::Error>& error) {
        // The alarm and the persisted outcome belong to the worker queue.
        queue->async([weak, data, error] {
          auto reporter = weak.lock();
          if (!reporter) return;
          reporter->handleResponse(data, error);
          if (reporter->responseObserver_) reporter->responseObserver_();
        });
      });
  task->resume();
}

void APMSearchAdReporter::handleResponse(const std::optional<os::Data>& data,
                                         const std::optional<os::Error>& error) {
  if (error) {
    monitor().log(MonitorLevel::kErrorSampled, 32015,
                  "Cannot send request for Search Ad campaign attribution. Error", *error);
    scheduleSearchAdReport();
    return;
  }
  os::Error parseError;
  std::string text = data ? std::string(data->begin(), data->end()) : std::string();
  std::optional<os::Value> answer = os::json::parse(text, &parseError);
  if (!answer) {
    monitor().log(MonitorLevel::kErrorSampled, 32017,
                  "Search Ad Reporter failed to parse JSON data. Error", parseError);
    scheduleSearchAdReport();
    return;
  }
  const os::Dictionary* fields = answer->asDictionary();
  if (!fields || fields->empty()) {
    scheduleSearchAdReport();
    return;
  }
  if (stringOf((*answer)["adId"]) == kTestID && stringOf((*answer)["campaignId"]) == kTestID) {
    monitor().log(MonitorLevel::kDebug, 32016,
                  "Search Ad Reporter returned test data. Will retry next time.");
    scheduleSearchAdReport();
    return;
  }
  logCampaignEventWithSearchAdCampaign((*answer)["attribution"].boolValue(),
                                       stringOf((*answer)["campaignId"]),
                                       stringOf((*answer)["keywordId"]));
  cancelScheduling();
}

void APMSearchAdReporter::logCampaignEventWithSearchAdCampaign(bool attribution,
                                                               const std::string& campaign,
                                                               const std::string& term) {
  if (!config_->searchAdCampaignValue().isNull()) {
    monitor().log(MonitorLevel::kWarningSilent, 32008, "Search Ad Campaign is already tracked");
    return;
  }
  config_->setSearchAdCampaignValue(os::Value(attribution));
  if (!attribution) return;
  measurement::Parameters parameters{{"source", measurement::Value(std::string("Apple"))},
                                     {"medium", measurement::Value(std::string("search"))}};
  if (!campaign.empty()) parameters.insert_or_assign("campaign", measurement::Value(campaign));
  if (!term.empty()) parameters.insert_or_assign("term", measurement::Value(term));
  int64_t firstOpen = config_->firstOpenTimestampMilliseconds();
  if (firstOpen < 2) {
    monitor().log(MonitorLevel::kWarningSilent, 32009,
                  "Search Ad Campaign does not have click_timestamp.");
  } else {
    parameters.insert_or_assign("click_timestamp", measurement::Value(firstOpen - 1));
  }
  logReporterEvent("auto", "_cmp", std::move(parameters));
}

std::optional<double> APMSearchAdReporter::scheduledTimestamp() const {
  return alarm_ ? alarm_->scheduledTimestamp() : std::nullopt;
}
