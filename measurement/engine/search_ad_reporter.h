// APMSearchAdReporter: finds out once per installation whether the app was installed from a
// search-ad campaign and, when it was, logs "_cmp" with source "Apple" and medium "search". It
// posts the platform's attribution token to the attribution endpoint, at most once a day and ten
// times per installation; the outcome and the attempts are persisted, and a stored outcome ends
// the work for good.
//
//   auto reporter = APMSearchAdReporter::create(worker, persistedConfig, tokenProvider);
//   if (reporter) { reporter->setSearchAdReporterEnabled(true); reporter->start(); }
//
// This host has no attribution framework: without a token provider the reporter only says so
// (32014). Threads: everything runs on the worker queue given at creation; the request's
// completion comes back to it before it touches the alarm or the persisted state.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "measurement/engine/engine_endpoints.h"
#include "measurement/foundation/alarm.h"
#include "measurement/foundation/persisted_config.h"
#include "os/dispatch/dispatch.h"
#include "os/net/url.h"
#include "os/value/error.h"

// The platform's attribution token, where there is one.
class SearchAdTokenProvider {
 public:
  virtual ~SearchAdTokenProvider() = default;
  // The token, or nullopt with `error` set.
  virtual std::optional<std::string> attributionToken(os::Error* error) = 0;
};

class APMSearchAdReporter : public std::enable_shared_from_this<APMSearchAdReporter> {
  struct Private {};

 public:
  static constexpr int64_t kMaxAttempts = 10;
  static constexpr double kAttemptInterval = 86400;
  static constexpr double kRequestTimeout = 10;

  // "https://attribution.tessaro.example/api/v1/".
  static os::URL defaultEndpoint();
  // nullptr without a queue (32000) or config (32001), after ten attempts, or once an outcome is
  // stored (32002).
  static std::shared_ptr<APMSearchAdReporter> create(
      std::shared_ptr<os::DispatchQueue> queue, measurement::PersistedConfig* config,
      std::shared_ptr<SearchAdTokenProvider> tokenProvider, os::URL endpoint = defaultEndpoint());

  APMSearchAdReporter(Private, std::shared_ptr<os::DispatchQueue> queue,
                      measurement::PersistedConfig* config,
                      std::shared_ptr<SearchAdTokenProvider> tokenProvider, os::URL endpoint);
  ~APMSearchAdReporter();

  bool isSearchAdReporterEnabled() const { return enabled_.load(); }
  void setSearchAdReporterEnabled(bool enabled) { enabled_.store(enabled); }

  // Worker queue from here on.
  void start();
  // Arms the alarm for a day after the last attempt (at once for the first).
  void scheduleSearchAdReport();
  void cancelScheduling();
  // One attempt, then the next one scheduled.
  void maybeLogIAdCampaignEvent();
  void fetchAttributionDetails();
  void requestAttributionPayloadWithToken(const std::string& token);
  // Stores the outcome once; an attributed install logs "_cmp".
  void logCampaignEventWithSearchAdCampaign(bool attribution, const std::string& campaign,
                                            const std::string& term);
  // When the next attempt is due; nullopt when none is.
  std::optional<double> scheduledTimestamp() const;
  // Called on the worker queue after each answer of the endpoint was handled. Tests only.
  void setResponseObserverForTesting(std::function<void()> observer) {
    responseObserver_ = std::move(observer);
  }

 private:
  // The answer of the endpoint, on the worker queue.
  void handleResponse(const std::optional<os::Data>& data, const std::optional<os::Error>& error);

  const std::shared_ptr<os::DispatchQueue> queue_;
  measurement::PersistedConfig* const config_;
  const std::shared_ptr<SearchAdTokenProvider> tokenProvider_;
  const os::URL endpoint_;
  // Null once scheduling was cancelled.
  std::unique_ptr<measurement::Alarm> alarm_;
  std::atomic<bool> enabled_{false};
  std::function<void()> responseObserver_;
};
