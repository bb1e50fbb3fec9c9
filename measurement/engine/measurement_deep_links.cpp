// Campaigns from links: a link that opened the application, or the launch link stored at
// did-finish-launching, becomes the campaign event "_cmp" when its query names a campaign. The
// deferred deep link of the ad services needs an advertising identity, which this host does not
// have, so shouldAllowRequestDeferredDeepLink refuses it here.
#include <algorithm>
#include <array>
#include <utility>

#include "measurement/engine/analytics.h"
#include "measurement/engine/deep_link_storage.h"
#include "measurement/engine/deferred_deep_link.h"
#include "measurement/engine/engine_endpoints.h"
#include "measurement/engine/measurement.h"
#include "measurement/foundation/data_extensions.h"
#include "measurement/foundation/measurement_user_defaults.h"
#include "measurement/privacy/consent_settings.h"
#include "os/bundle/bundle.h"
#include "os/process/process.h"

namespace {

using measurement::Event;
using measurement::MonitorLevel;
using measurement::Scheduler;
using measurement::Value;

// Link parameter -> event parameter.
constexpr std::array<std::pair<const char*, const char*>, 18> kCampaignParameters{{
    {"aclid", "aclid"},
    {"anid", "anid"},
    {"utm_campaign", "campaign"},
    {"cis", "_cis"},
    {"utm_content", "content"},
    {"cp1", "cp1"},
    {"dclid", "dclid"},
    {"gclid", "gclid"},
    {"gbraid", "gbraid"},
    {"utm_medium", "medium"},
    {"utm_source", "source"},
    {"srsltid", "srsltid"},
    {"utm_term", "term"},
    {"utm_id", "campaign_id"},
    {"utm_creative_format", "creative_format"},
    {"utm_marketing_tactic", "marketing_tactic"},
    {"utm_source_platform", "source_platform"},
    {"sfmc_id", "sfmc_id"},
}};
// Any one of these, non-empty, makes a campaign.
constexpr std::array<const char*, 9> kCampaignKeys{"utm_campaign", "gclid",   "utm_medium",
                                                   "utm_source",   "gbraid",  "utm_id",
                                                   "dclid",        "srsltid", "sfmc_id"};
constexpr std::array<const char*, 3> kClickIDs{"gclid", "dclid", "srsltid"};
constexpr const char* kNotSet = "(not set)";
constexpr uint64_t kTrackingAuthorized = 3;

measurement::ConfigStore& sharedDefaults() {
  return measurement::MeasurementUserDefaults::shared();
}

}  // namespace

std::optional<os::URL> APMMeasurement::deepLinkFromUserActivity(const os::Value& userActivity) {
  if (userActivity.isNull()) {
    monitor().log(MonitorLevel::kDebug, 23003, "User Activity is empty. User Activity", nullptr);
    return std::nullopt;
  }
  // This host has no user activities to read a web page link from.
  monitor().log(MonitorLevel::kWarning, 23005, "NSUserActivity is not supported");
  return std::nullopt;
}

void APMMeasurement::clearExpiredDeepLink() {
  if (isStoredDeepLinkOlderThan(sharedDefaults(),
                                engineConfig()->settings()->attributionCacheTTLInterval())) {
    measurement::clearStoredDeepLink(sharedDefaults());
  }
}

void APMMeasurement::reportStoredCampaignEventOnWorkerQueue(
    std::optional<int64_t> clickTimestampMillis) {
  Scheduler::checkOnBackgroundThread(
      "reportStoredCampaignEventWithClickTimestampInMillisOnWorkerQueue:");
  measurement::ConfigStore& defaults = sharedDefaults();
  const os::Value link = defaults.objectForKey(measurement::kStoredDeepLinkKey);
  const std::string* text = link.asString();
  if (!text || text->empty()) return;
  double stored = defaults.objectForKey(measurement::kStoredDeepLinkTimestampKey).doubleValue();
  std::string linkText = *text;
  os::Dictionary extras;
  if (!isStoredDeepLinkOlderThan(defaults,
                                 engineConfig()->settings()->attributionCacheTTLInterval())) {
    extras["_cc"] = measurement::previousHourStartMillis(static_cast<int64_t>(stored * 1000));
  } else {
    linkText = kNotSet;
    extras = {{"utm_source", kNotSet}, {"utm_medium", kNotSet}, {"_cc", int64_t{1}}};
  }
  measurement::clearStoredDeepLink(defaults);
  // An expired link keeps only the extras; a link that does not parse has no query to add.
  handleOpenURLOnWorkerQueue(os::URL::parse(linkText), clickTimestampMillis, stored, extras);
}

void APMMeasurement::handleNonFirstOpenEventURL(const os::URL& url,
                                                double eventTimestampInSeconds) {
  if (scheduler_->workerQueue()->isCurrent()) {
    monitor().log(MonitorLevel::kErrorSilent, 23163,
                  "Do not call handleNonFirstOpenOpenURL on the measurement worker queue");
    return;
  }
  handleOpenURL(url, std::nullopt, eventTimestampInSeconds);
}

void APMMeasurement::handleOpenURL(const os::URL& url, std::optional<int64_t> clickTimestampMillis,
                                   double eventTimestampInSeconds) {
  if (url.absoluteString().empty()) return;
  handleDeepLink(url, clickTimestampMillis, eventTimestampInSeconds);
}

void APMMeasurement::handleDeepLink(const os::URL& url, std::optional<int64_t> clickTimestampMillis,
                                    double eventTimestampInSeconds) {
  scheduleWeakly("APMMeasurement:446", [url, clickTimestampMillis,
                                        eventTimestampInSeconds](APMMeasurement& engine) {
    engine.handleOpenURLOnWorkerQueue(url, clickTimestampMillis, eventTimestampInSeconds, {});
  });
}

void APMMeasurement::handleOpenURLOnWorkerQueue(const std::optional<os::URL>& url,
                                                std::optional<int64_t> clickTimestampMillis,
                                                double eventTimestampInSeconds,
                                                const os::Dictionary& extras) {
  std::map<std::string, std::string> params;
  os::Dictionary numbers;
  for (const auto& [key, value] : extras) {
    if (const std::string* text = value.asString()) {
      params[key] = *text;
    } else if (value.isNumber()) {
      numbers[key] = value;
    }
  }
  if (url && url->query()) {
    for (auto& [key, value] : measurement::apm_dictionaryWithHttpArgumentsString(*url->query())) {
      params[key] = std::move(value);
    }
  }
  if (params.empty()) {
    monitor().log(MonitorLevel::kDebug, 23000, "Deep Link Web URL query is empty");
    return;
  }
  if (!isValidCampaignURLParamDictionary(params)) {
    os::Dictionary described(params.begin(), params.end());
    monitor().log(MonitorLevel::kWarning, 23001,
                  "Deep Link does not contain valid required params. URL params",
                  os::Value(described));
    return;
  }
  measurement::RawParameters eventParams;
  for (const auto& [linkName, eventName] : kCampaignParameters) {
    auto found = params.find(linkName);
    if (found != params.end() && !found->second.empty())
      eventParams[eventName] = Value(found->second);
  }
  if (!shouldAllowClickID()) {
    for (const char* name : kClickIDs) eventParams.erase(name);
  }
  for (const auto& [key, value] : numbers) eventParams[key] = value;
  if (clickTimestampMillis) eventParams["click_timestamp"] = Value(*clickTimestampMillis);
  double time = std::max(persistedConfig_->firstOpenTimestampMilliseconds() / 1000.0,
                         eventTimestampInSeconds);
  auto gbraid = params.find("gbraid");
  if (gbraid != params.end() && !gbraid->second.empty()) {
    if (auto property =
            measurement::UserAttribute::create("auto", "_gbraid", Value(gbraid->second), time)) {
      setUserPropertyInDatabaseOnWorkerQueue(*property);
    }
  }
  auto cc = numbers.find("_cc");
  bool expired = cc != numbers.end() && cc->second.isNumber() && cc->second.integerValue() == 1;
  std::optional<Event> campaign =
      Event::initWithOrigin("auto", false, expired ? "_cmpx" : "_cmp", time, 0, eventParams);
  if (!campaign) return;
  handleInternalEventOnWorkerQueue(*campaign);
  APMAnalytics::notifyEventListeners(*campaign);
}

bool APMMeasurement::isValidCampaignURLParamDictionary(
    const std::map<std::string, std::string>& params) {
  return std::any_of(kCampaignKeys.begin(), kCampaignKeys.end(), [&](const char* key) {
    auto found = params.find(key);
    return found != params.end() && !found->second.empty();
  });
}

bool APMMeasurement::shouldAllowClickID() {
  std::shared_ptr<measurement::Identity> identity = this->identity();
  if (!identity || !identity->iOS14OrAbove()) return true;
  std::optional<std::string> adID = identity->resettableDeviceID();
  if (adID && !adID->empty()) return true;
  return identity->appleConsentStatus() == kTrackingAuthorized;
}

void APMMeasurement::requestDeferredDeepLink() {
  std::shared_ptr<measurement::Identity> identity = this->identity();
  std::shared_ptr<measurement::RemoteConfig> config = engineConfig();
  std::shared_ptr<measurement::Settings> settings = config->settings();
  measurement::DeferredDeepLinkQuery query;
  query.libraryVersion = measurement::Identity::zadOdavodiveziLibraryVersion();
  query.advertisingID = identity ? identity->resettableDeviceID().value_or("") : "";
  query.bundleID = identity ? identity->appID() : "";
  query.retryCount = persistedConfig_->deferredDeepLinkRetryCount();
  query.test = !(identity && identity->isFromAppStore()) &&
               os::process::hasArgument("-DebugDeferredDeepLink");
  query.dmaConsentEnabled = settings->DMAConsentEnabled();
  if (query.dmaConsentEnabled) {
    std::string signals = measurement::ConsentSettings::consentSignals();
    if (!signals.empty()) query.consentSignals = signals;
    query.dmaRegion = config->isDMARegion();
    query.adUserDataDenied = measurement::ConsentSettings::isAdUserDataDenied();
    query.corePlatformServices = config->corePlatformServices();
    query.adPersonalizationGranted = measurement::ConsentSettings::adPersonalization();
  }
  std::optional<os::URL> url = measurement::deferredDeepLinkURL(kDeferredDeepLinkHost, query);
  if (!url || !network_) {
    monitor().log(MonitorLevel::kWarning, 23198, "URL to retrieve Deferred Deep Link is invalid");
    return;
  }
  network_->setTimeoutInterval(settings->networkTimeout());
  network_->getURL(
      url, os::HTTPHeaders(), scheduler_->workerQueue(), false,
      [weak = weak_from_this()](std::shared_ptr<const os::HTTPURLResponse> response,
                                std::optional<os::Data> data, std::optional<os::Error> error) {
        auto engine = weak.lock();
        if (!engine) return;
        int status = response ? response->statusCode() : 0;
        if (error || (status != 200 && status != 204 && status != 304)) {
          monitor().log(MonitorLevel::kErrorSampled, 23199,
                        "Failed to retrieve Deferred Deep Link. Will retry on next launch. Code, "
                        "error",
                        int64_t{status}, error.value_or(os::Error()));
          engine->persistedConfig_->setDeferredDeepLinkRetryCount(
              engine->persistedConfig_->deferredDeepLinkRetryCount() + 1);
          engine->updateSchedule();
          return;
        }
        engine->persistedConfig_->setDeferredDeepLinkRetrievalComplete(os::Value(int64_t{0}));
        std::optional<os::Dictionary> info = measurement::deepLinkInfoFromResponseData(
            data ? std::string(data->begin(), data->end()) : std::string());
        if (!info || info->empty()) {
          engine->updateSchedule();
          return;
        }
        monitor().log(MonitorLevel::kDebug, 23200, "Successfully retrieved Deferred Deep Link");
        // This host has no application delegate to hand the link to.
        monitor().log(MonitorLevel::kVerbose, 23203, "Sending Deferred Deep Link to app delegate");
        monitor().log(MonitorLevel::kWarning, 23204,
                      "App delegate not configured to handle Deferred Deep Link",
                      (*info)["deeplink"]);
      });
}

bool APMMeasurement::shouldAllowRequestDeferredDeepLink() {
  std::shared_ptr<measurement::Settings> settings = engineConfig()->settings();
  if (!settings->isDeferredDeepLinkEnabled()) {
    monitor().log(MonitorLevel::kWarningSilent, 23193, "Deferred Deep Link feature disabled");
    return false;
  }
  os::Value enabled =
      os::Bundle::main().objectForInfoDictionaryKey("VEDODO_ANALYTICS_DEFERRED_DEEP_LINK_ENABLED");
  if (!(enabled.isNumber() || enabled.isBool()) || !enabled.boolValue()) return false;
  if (!persistedConfig_->deferredDeepLinkRetrievalComplete().isNull()) {
    monitor().log(MonitorLevel::kDebug, 23194, "Already retrieved Deferred Deep Link. Skipping");
    return false;
  }
  if (persistedConfig_->deferredDeepLinkRetryCount() >= settings->maxDeferredDeepLinkRetryCount()) {
    monitor().log(MonitorLevel::kWarning, 23195,
                  "Failed to retrieve Deferred Deep Link. Reached retry limit");
    persistedConfig_->setDeferredDeepLinkRetrievalComplete(os::Value(int64_t{1}));
    return false;
  }
  if (measurement::ConsentSettings::isAdStorageDenied()) {
    monitor().log(MonitorLevel::kWarning, 23252,
                  "IDFA unavailable to retrieve Deferred Deep Link due to denied ad storage "
                  "consent. Skipping");
    return false;
  }
  std::shared_ptr<measurement::Identity> identity = this->identity();
  bool limited = !identity || !identity->hasLimitedAdTracking() || identity->limitedAdTracking();
  if (limited) {
    monitor().log(MonitorLevel::kWarning, 23196,
                  "IDFA unavailable to retrieve Deferred Deep Link. Skipping");
    return false;
  }
  monitor().log(MonitorLevel::kDebug, 23197, "Deferred Deep Link feature enabled");
  return true;
}
