// The conditional fetch of the application's measurement configuration, and its reply: failures
// steer the upload schedule, a new body is activated in one transaction, and the fetch time is
// recorded so that the configuration counts as fresh. Worker queue only.
#include "measurement/audience/audience.h"
#include "measurement/engine/measurement.h"
#include "measurement/privacy/identity.h"
#include "measurement/runtime/runtime.h"
#include "os/process/clock.h"

using measurement::MonitorLevel;

namespace {

constexpr const char* kPlatform = "macos";

bool isAnswered(int status) {
  return status == 200 || status == 204 || status == 304 || status == 404;
}

std::optional<std::string> nonEmpty(std::optional<std::string> text) {
  if (text && text->empty()) return std::nullopt;
  return text;
}

}  // namespace

void APMMeasurement::fetchRemoteConfig() {
  std::shared_ptr<measurement::RemoteConfig> config = configuration();
  std::optional<os::URL> url =
      config->remoteConfigURL(kPlatform, measurement::Identity::zadOdavodiveziLibraryVersion(),
                              measurement::runtime::APMPRuntime::runtimeVersion());
  if (!url || !network_) {
    monitor().log(MonitorLevel::kErrorSilent, 23125, "Invalid server URL to get configuration");
    return;
  }
  monitor().log(MonitorLevel::kVerbose, 23126, "Fetching configuration from the server");
  os::HTTPHeaders headers;
  if (std::optional<std::string> lastModified =
          nonEmpty(persistedConfig_->configServerLastModifiedString().stringValue())) {
    headers.set("If-Modified-Since", *lastModified);
  }
  if (std::optional<std::string> etag = nonEmpty(persistedConfig_->configServerETag())) {
    headers.set("If-None-Match", *etag);
  }
  isNetworkRequestPending_ = true;
  network_->setTimeoutInterval(config->settings()->networkTimeout());
  network_->getURL(
      url, headers, scheduler_->workerQueue(), /*usingBackgroundSession=*/false,
      [weak = weak_from_this()](std::shared_ptr<const os::HTTPURLResponse> response,
                                std::optional<os::Data> data, std::optional<os::Error> error) {
        auto engine = weak.lock();
        if (!engine) return;
        engine->isNetworkRequestPending_ = false;
        engine->networkRemoteConfigFetchCompletionHandler(response, data, error);
        engine->notifyRestWaitersIfIdle();
      });
}

void APMMeasurement::networkRemoteConfigFetchCompletionHandler(
    const std::shared_ptr<const os::HTTPURLResponse>& response, const std::optional<os::Data>& data,
    const std::optional<os::Error>& error) {
  // A reply cut off in transit counts as failed, whatever status line came first.
  int status = response && !error ? response->statusCode() : 0;
  monitor().log(MonitorLevel::kVerbose, 23127, "Fetched configuration. Status code",
                static_cast<int64_t>(status));
  double now = os::clock::now();
  std::string errorText = error ? error->description : std::string();
  if (!isAnswered(status)) {
    monitor().log(MonitorLevel::kWarning, 23128,
                  "Network request failed to fetch remote config. Code, Error",
                  static_cast<int64_t>(status), errorText);
    persistedConfig_->setLastFailedUploadTimestamp(now);
    if (status == 429 || status == 503) persistedConfig_->setLastBackoffTimestamp(now);
    monitor().log(MonitorLevel::kWarning, 23129,
                  "Network fetch failed. Will retry later. Code, error",
                  static_cast<int64_t>(status), errorText);
    updateSchedule();
    return;
  }
  bool fetchedBody = status == 200 || status == 204;
  persistedConfig_->setLastFailedUploadTimestamp(0);
  persistedConfig_->setLastBackoffTimestamp(0);
  if (status == 404) {
    monitor().log(MonitorLevel::kWarning, 23130,
                  "Configuration not found. Using default configuration");
  } else if (status == 304) {
    monitor().log(MonitorLevel::kVerbose, 23131,
                  "Configuration has not been modified. Using the same configuration. Code",
                  static_cast<int64_t>(status));
  } else {
    monitor().log(MonitorLevel::kVerbose, 23133,
                  "Successfully fetched configuration from the server. Code, size",
                  static_cast<int64_t>(status), response->expectedContentLength());
  }
  os::Error timestampError;
  if (database_ && database_->updateRemoteConfigSuccessfulTimestamp(now, &timestampError)) {
    suspendedUploadTimestamp_ = 0;
  } else {
    if (fetchedBody) {
      monitor().log(MonitorLevel::kErrorSampled, 23134,
                    "Failed to set last set timestamp in database. Error", timestampError);
    } else {
      monitor().log(MonitorLevel::kErrorSampled, 23132,
                    "Failed to update config last set timestamp. Error", timestampError);
    }
    suspendedUploadTimestamp_ = os::clock::uptime();
  }

  // The validators belong to the body they came with: kept only once that body is in force
  // (or the server said there is none, or nothing changed), so that a refused body is fetched
  // again instead of being answered 304 for ever.
  bool keepValidators = true;
  if (fetchedBody && data && !data->empty() && database_) {
    keepValidators = database_->performTransaction([&] { return activateConfiguration(*data); });
  }
  if (keepValidators) {
    persistedConfig_->setConfigServerLastModifiedString(
        response->valueForHTTPHeaderField("Last-Modified"));
    persistedConfig_->setConfigServerETag(response->valueForHTTPHeaderField("ETag"));
  }
  persistedConfig_->synchronizeToDisk();

  std::shared_ptr<measurement::RemoteConfig> config = configuration();
  if (config->settings()->DMAConsentEnabled() && shouldRequestDeferredDeepLinkAfterConfigFetch_) {
    shouldRequestDeferredDeepLinkAfterConfigFetch_ = false;
    requestDeferredDeepLink();
  } else {
    uploadDataOrRegisterAlarm();
  }
  if (tcfClient_) tcfClient_->setIsDMARegion(config->isDMARegion());
}

bool APMMeasurement::activateConfiguration(const os::Data& body) {
  std::optional<APMPBMeasurementConfig> config = APMPBMeasurementConfig::initWithBuffer(body);
  if (!config) {
    monitor().log(MonitorLevel::kErrorSilent, 23135, "Configuration data is invalid.");
    return false;
  }
  auto identity = this->identity();
  std::optional<std::string> expected = identity ? identity->appIDFromGMP() : std::nullopt;
  if (!expected || APMPBGetString(*config, kMeasurementConfig_app_id) != expected) {
    monitor().log(MonitorLevel::kErrorSilent, 23136,
                  "Configuration does not have valid Vedodo App ID.");
    return false;
  }
  std::vector<APMPBAudience> audiences =
      APMPBGetArray<APMPBAudience>(*config, kMeasurementConfig_audiences);
  APMPBClearField(*config, kMeasurementConfig_audiences);
  std::string text(body.begin(), body.end());
  std::shared_ptr<measurement::RemoteConfig> remote = remoteConfigInstance();
  if (!remote || !remote->updateMeasurementConfig(*config)) {
    monitor().log(MonitorLevel::kErrorSilent, 23138,
                  "Failed to update configuration with new server configuration", text);
    return false;
  }
  updateConsentSettingsUtilWithRemoteConfig();
  if (!audience_ || !audience_->updateAudiences(audiences)) {
    monitor().log(MonitorLevel::kErrorSilent, 23137,
                  "Failed to update audiences with new server configuration", text);
    return false;
  }
  return true;
}
