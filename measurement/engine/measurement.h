// APMMeasurement: the measurement engine. One per process; it owns the worker queue
// "com.vedodo.vuve.worker", the measurement database, the remote configuration, the audiences,
// the session reporter, the network client and the upload alarm "Measurement timer".
//
//   // The facade, once, on its serial queue:
//   APMMeasurement::initializeSharedInstance(appID, /*enabled=*/true, /*deactivated=*/false, {});
//   if (auto engine = APMMeasurement::sharedInstance()) engine->setEnabled(false);
//   APMMeasurement::monitor().log(MonitorLevel::kNotice, 23012, "Analytics collection enabled");
//   APMMeasurement::remoteConfig()->settings()->uploadingInterval();   // engine's, else default
//
// Creation. initializeSharedInstance runs once per process under the process's creation mutex;
// an empty app id means no engine ever exists in this process. sharedInstance, hasSharedInstance
// and remoteConfig read without that mutex (the instance is published atomically once made), so
// nothing that creation calls can deadlock on them: before publication they answer as if no
// engine existed.
//
// Start-up. Creation only decides whether collection starts enabled (the persisted state, the
// deactivation and the enabled flag) and schedules setEnabledOnWorkerQueue. The first enabling
// builds the components (identity, wipe-out of an earlier app id's data, database, remote
// configuration, audiences, session reporter), which a failed enabling leaves unbuilt for the
// next attempt.
//
// Threads. Members named "...OnWorkerQueue" run on the worker queue and start with its check;
// the others may be called from any thread and only capture their arguments and schedule work
// there (block ids "APMMeasurement:<n>"), except resetAnalyticsDataWithAppInstanceID, which waits
// for the worker queue and so must never be called from it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/audience/audience.h"
#include "measurement/config/event_editing_loader.h"
#include "measurement/config/remote_config.h"
#include "measurement/cup/conditional_user_property_controller.h"
#include "measurement/cup/conditional_user_property_engine.h"
#include "measurement/database/database.h"
#include "measurement/engine/purchase_transaction.h"
#include "measurement/foundation/alarm.h"
#include "measurement/foundation/monitor.h"
#include "measurement/foundation/persisted_config.h"
#include "measurement/foundation/scheduler.h"
#include "measurement/foundation/user_attribute.h"
#include "measurement/foundation/value.h"
#include "measurement/model/event.h"
#include "measurement/model/parameter_sanitizer.h"
#include "measurement/privacy/identity.h"
#include "measurement/privacy/tcf_client.h"
#include "os/dispatch/notifications.h"
#include "os/net/url.h"
#include "os/sync/mutex.h"
#include "os/value/error.h"
#include "os/value/value.h"
#include "platform/utilities/network.h"

class APMSearchAdReporter;
class APMSessionReporter;
namespace measurement {
class AudienceTimestampsCache;
}
class SearchAdTokenProvider;

// The host's log-event interceptor: takes a public event instead of the engine (origin, name,
// parameters, timestamp in seconds since 1970).
using APMLogEventInterceptor =
    std::function<void(const std::string& origin, const std::string& name,
                       const measurement::RawParameters& parameters, double timestamp)>;

// One call of the engine's logging entry, as a test observer sees it.
struct APMLogEventCall {
  std::string origin;
  bool isPublicEvent = false;
  std::string name;
  measurement::RawParameters parameters;
  double timestamp = 0;
  bool enabled = false;
  bool ignoreEnabled = false;
  bool ignoreInterceptor = false;
  bool hasInterceptor = false;
  measurement::Parameters addedScreenParameters;
};

class APMMeasurement final : public measurement::ConditionalUserPropertyEngine,
                             public VDUNetworkLoggerDelegate,
                             public VDUNetworkReachabilityDelegate,
                             public std::enable_shared_from_this<APMMeasurement> {
  struct Private {};

 public:
  // What the designated initializer is given; create() fills it for the process's engine, tests
  // build engines of their own with other parts.
  struct Parts {
    std::string databaseName = measurement::kMeasurementDatabaseName;
    measurement::PersistedConfig* persistedConfig = nullptr;
    std::shared_ptr<VDUNetwork> network;
    std::shared_ptr<measurement::Scheduler> scheduler;
    std::string appID;
    bool isAnalyticsCollectionEnabled = false;
    bool isAnalyticsCollectionDeactivated = false;
    std::optional<std::vector<std::string>> safelistedEvents;
    // Makes the editing instance of the server's event-editing programs; null: the script
    // runtime on the worker queue.
    measurement::EventEditingFactory eventEditingFactory;
    // The platform's search-ad attribution token; none on this host.
    std::shared_ptr<SearchAdTokenProvider> searchAdTokenProvider;
  };

  // ---- The process's engine ----

  // Once per process, under the creation mutex: with a non-empty `appID`, creates the engine
  // (create()) and publishes it; an empty one leaves the process without an engine. Later calls
  // change nothing.
  static void initializeSharedInstance(std::string_view appID, bool isAnalyticsCollectionEnabled,
                                       bool isAnalyticsCollectionDeactivated,
                                       std::optional<std::vector<std::string>> safelistedEvents);
  // True once creation ran and produced an engine.
  static bool hasSharedInstance();
  // The engine, or null. Before creation was attempted it logs 23147 through the utilities'
  // logger (warning, "<ZadOdavodivezi>").
  static std::shared_ptr<APMMeasurement> sharedInstance();
  // The process's monitor; every measurement class logs through it.
  static measurement::Monitor& monitor();
  // The engine's remote configuration once start-up made one, else the default instance.
  static std::shared_ptr<measurement::RemoteConfig> remoteConfig();

  // The engine of the convenience initializer: logs the start lines (23007, 23222, 23008,
  // 23009, 23207), makes the network client (23010 when it cannot: the engine then runs
  // without), the scheduler of the worker queue and the alarm. nullptr for an empty app id
  // (23170).
  static std::shared_ptr<APMMeasurement> create(
      std::string_view appID, bool isAnalyticsCollectionEnabled,
      bool isAnalyticsCollectionDeactivated,
      std::optional<std::vector<std::string>> safelistedEvents);
  // The designated initializer: an engine over `parts` (persisted config, scheduler required),
  // which decides whether it starts enabled (shouldEnableMeasurement) and schedules that.
  static std::shared_ptr<APMMeasurement> createWithParts(Parts parts);

  APMMeasurement(Private, Parts parts);
  ~APMMeasurement() override;
  APMMeasurement(const APMMeasurement&) = delete;
  APMMeasurement& operator=(const APMMeasurement&) = delete;

  // ---- State and accessors (any thread) ----

  // Deactivated: false; else the persisted enabled state (1 yes, 2 no); else the enabled flag.
  bool shouldEnableMeasurement() const;
  bool isEnabled() const override { return enabled_.load(); }
  bool wasEnabledDuringInitialization() const { return wasEnabledDuringInitialization_; }
  // Schedules setEnabledOnWorkerQueue ("APMMeasurement:611").
  void setEnabled(bool enabled);
  bool isAnalyticsCollectionEnabled() const { return isAnalyticsCollectionEnabled_; }
  bool isAnalyticsCollectionDeactivated() const { return isAnalyticsCollectionDeactivated_; }
  // True once the component set-up of start-up succeeded.
  bool didInitializeComponents() const { return didInitializeComponents_.load(); }

  const std::string& appID() const { return appID_; }
  const std::optional<std::vector<std::string>>& safelistedEvents() const {
    return safelistedEvents_;
  }
  measurement::Scheduler& scheduler() override { return *scheduler_; }
  // Worker queue only; null until start-up opened the database.
  measurement::Database* database() override { return database_.get(); }
  measurement::PersistedConfig* persistedConfig() const { return persistedConfig_; }
  const std::shared_ptr<VDUNetwork>& network() const { return network_; }
  // The upload timer "Measurement timer" on the worker queue.
  measurement::Alarm& alarm() { return alarm_; }
  // Worker queue only; null until start-up made them.
  measurement::Audience* audience() { return audience_.get(); }
  measurement::TcfClient* tcfClient() { return tcfClient_.get(); }
  // Null until start-up set them.
  std::shared_ptr<measurement::Identity> identity() const;
  std::shared_ptr<measurement::RemoteConfig> remoteConfigInstance() const;
  std::shared_ptr<APMSessionReporter> sessionReporter() const;
  // The controller of the conditional user properties over this engine.
  const std::shared_ptr<measurement::ConditionalUserPropertyController>&
  conditionalUserPropertyController() const {
    return conditionalUserPropertyController_;
  }
  // Seconds since 1970: the load time of the stack this run (kept across runs until the first
  // open is reported, renewed by a reset).
  double initTimestamp() const { return initTimestamp_.load(); }

  // ---- Start-up (measurement_startup.cpp; worker queue) ----

  // Enables (starting up; a failed start logs 23011 and disables again) or disables
  // collection; enabling a deactivated engine logs 23206 and changes nothing.
  void setEnabledOnWorkerQueue(bool enable);
  // Builds the components once, then the start-up reports; false when the set-up failed.
  bool startMeasurementOnWorkerQueue();
  // The wipe table: whether the data collected under an earlier app id must go.
  bool shouldWipeDataWithAppID(const std::optional<std::string>& appID,
                               const std::optional<std::string>& appIDFromGMP,
                               const std::optional<std::string>& appIDFromZeZud,
                               const std::optional<std::string>& persistedAppIDFromGMP,
                               const std::optional<std::string>& persistedAppIDFromZeZud) const;
  // Persists the identity's app ids and this engine's app id under the collection origin.
  void updatePersistedAppIDFromGMPAndZeZud();
  // Chooses the start-up consent by source priority and applies and persists it.
  void setProspectiveConsentSettings();
  // Keeps the user property "_npa" in line with the ad-personalization setting.
  void setPersonalizedAdsUserPropertyOnWorkerQueue();
  // Derives the ad-personalization consent from an "_npa" value (a number or null).
  void updateAdPersonalizationConsentFromNPAValue(const os::Value& npa);
  // Takes the server's consent defaults, delegations and regional defaults.
  void updateConsentSettingsUtilWithRemoteConfig();
  // The "_npa" value the app's settings ask for: 1 (disable) / 0, or null when nothing is set.
  os::Value shouldDisableAdPersonalization();

  // ---- Reset and wipe-out (measurement_reset.cpp) ----

  // Any thread but the worker queue: wipes out on the worker queue and takes `appInstanceID`
  // ("APMMeasurement:3644"). An empty id is refused (23167) unless analytics storage is denied.
  bool resetAnalyticsDataWithAppInstanceID(const std::optional<std::string>& appInstanceID);
  // Worker queue. Clears persisted state, monitor data, the database (or, before it is open,
  // its file), the remote configuration and the identifiers.
  bool wipeoutAnalyticsDataAndResetComponents();
  // Worker queue. Whether bundles or raw events wait for upload.
  bool hasDataToUpload();
  // Worker queue. Deletes uploaded bundles.
  bool removeBundlesFromDatabaseWithIDs(const std::vector<int64_t>& rowIDs);
  // Worker queue. The set time of "_fot", else the earliest of all user properties; 0 when
  // none can be read.
  double firstOpenTimestamp();

  // ---- Lifecycle (measurement_lifecycle.cpp) ----

  // Observes did-become-active and will-resign-active; the last step of the component set-up.
  void subscribeForAppForegroundBackgroundNotifications();
  void handleAppDidBecomeActiveEvent();
  // Flushes the persisted state and, after the events logged before, uploads ("APMMeasurement:
  // 4250") inside a background task of the application.
  void handleAppWillResignActiveEvent();
  // Writes the persisted state now.
  void terminateBackgroundTask();

  // ---- Event road (filled by the event pipeline) ----

  // The logging entry of the facade; any thread. Schedules the worker twin
  // ("APMMeasurement:2403"), or hands the call to the test observer when one is installed.
  void logEventWithOrigin(std::string origin, bool isPublicEvent, std::string name,
                          measurement::RawParameters parameters, double timestamp, bool enabled,
                          bool ignoreEnabled, bool ignoreInterceptor,
                          APMLogEventInterceptor interceptor,
                          measurement::Parameters addedScreenParameters);
  // Installs (or with nullptr removes) the observer of logEventWithOrigin. Tests only.
  static void setLogEventObserverForTesting(std::function<void(const APMLogEventCall&)> observer);
  void setDefaultEventParameters(std::optional<os::Dictionary> parameters);
  // ConditionalUserPropertyEngine: logs the event (23051), processes the conditional user
  // properties (23050 when that fails) and writes the event and the triggered ones.
  void writeEventOnWorkerQueue(const measurement::Event& event) override;
  // Refuses a blocklisted event (23052); otherwise the write transaction.
  void writeFilteredEventOnWorkerQueue(const measurement::Event& event) override;

  // ---- Later work of the engine, reached from start-up and the facade ----

  void handleNonFirstOpenEventURL(const os::URL& url, double eventTimestampInSeconds);
  // The web page link of a browsing activity; this host has no user activities: nothing
  // (23003 for a null activity, else 23005).
  static std::optional<os::URL> deepLinkFromUserActivity(const os::Value& userActivity);
  // Passes on, to `callback` on a global queue, the completed purchases not seen before
  // ("APMMeasurement:4063").
  void filterPurchaseTransactions(
      std::vector<measurement::PurchaseTransaction> transactions,
      std::function<void(std::vector<measurement::PurchaseTransaction>)> callback);
  void setUserAttribute(const measurement::UserAttribute& attribute);
  void removeUserAttribute(const measurement::UserAttribute& attribute);
  void userPropertiesIncludingInternal(bool includeInternal,
                                       std::function<void(os::Dictionary)> callback);
  void maxUserPropertiesForOrigin(std::string_view origin, std::function<void(int32_t)> callback);
  void setSessionTimeoutInterval(double seconds);
  void sessionIDWithCompletion(
      std::function<void(int64_t sessionID, std::optional<os::Error> error)> completion);
  void setUserData(os::Dictionary userData);
  void updateSchedule();
  void uploadData();
  void fetchRemoteConfig();
  // Whether no network request of the engine is in flight.
  bool isNetworkReadyForRequest();
  void reportFirstOpenOnWorkerQueue();
  // Reports the stored launch link as a campaign, with `clickTimestampMillis` when given.
  void reportStoredCampaignEventOnWorkerQueue(std::optional<int64_t> clickTimestampMillis);
  bool shouldAllowRequestDeferredDeepLink();
  void requestDeferredDeepLink();
  void clearExpiredDeepLink();
  void reportAppUpdateOnWorkerQueue();
  void reportOSUpdateOnWorkerQueue();
  void startSearchAdReporterOnWorkerQueue();
  void checkPSMDependencyOnWorkerQueue();
  void maybeDeleteExpiredPSMValueOnWorkerQueue();
  void backfillSessionNumber();
  // Worker queue. Stores the user property.
  void setUserAttributeOnWorkerQueue(const measurement::UserAttribute& attribute);
  // Worker queue. The write transaction of one event.
  void writeEventTransactionOnWorkerQueue(const measurement::Event& event);

  // ---- The road of one event (measurement_logging.cpp, measurement_handling.cpp,
  // measurement_write.cpp, measurement_sessions.cpp, measurement_user_properties.cpp,
  // measurement_metadata.cpp, measurement_first_open.cpp) ----

  // Worker twin of logEventWithOrigin: default parameters, the event, then the interceptor, the
  // road without listeners or the road with them.
  void logEventOnWorkerQueueWithOrigin(const std::string& origin, bool isPublicEvent,
                                       const std::string& name,
                                       measurement::RawParameters parameters, double timestamp,
                                       bool enabled, bool ignoreEnabled, bool ignoreInterceptor,
                                       const APMLogEventInterceptor& interceptor,
                                       const measurement::Parameters& addedScreenParameters);
  // Handles the event; listeners are told afterwards of the event as it came in.
  void logEventOnWorkerQueue(const measurement::Event& event, bool notifyEventListeners);
  // Any thread: handles the event on the worker queue ("APMMeasurement:2509"); nullopt logs
  // 23048.
  void logEvent(const std::optional<measurement::Event>& event);
  // The engine's own events: default parameters (not for "_err"), the road, the listeners.
  void handleInternalEventOnWorkerQueue(measurement::Event event);
  void handleSetDefaultEventParametersOnWorkerQueue(
      const std::optional<os::Dictionary>& parameters);
  // The stored defaults with `parameters` over them.
  measurement::RawParameters parametersWithAddedDefaultEventParameters(
      measurement::RawParameters parameters) const;
  // The persisted count of earlier first opens as a decimal string; nullopt before any.
  std::optional<std::string> previousFirstOpenCount() const;
  void setPreviousFirstOpenCount(const std::optional<std::string>& count);

  // The single road from an accepted event to the database.
  void handleEventOnWorkerQueue(measurement::Event event);
  std::optional<measurement::Event> eventAfterSafelistingEvent(const measurement::Event& event);
  bool dedupeSubscriptionEvent(const measurement::Event& event);
  bool shouldDropDuplicatedSessionStartWithRolloutEvent(const measurement::Event& event);
  std::optional<measurement::Event> appExceptionEventWithRiveravoFeatureRollouts(
      const measurement::Event& event);
  void writeSessionStartEventOnWorkerQueue(const measurement::Event& event);

  // Inside the write transaction: false rolls it back.
  bool writeEventInTransaction(measurement::Event& event);
  bool updateLifetimeValueWithEvent(const measurement::Event& event);
  bool shouldProcessEvent(const measurement::Event& event, measurement::DailyCounts& counts,
                          bool isPublicEvent);
  bool isRealtimeEvent(measurement::Event& event, measurement::DailyCounts& counts);
  void maybeAddDebugAndRealtimeParameters(measurement::Event& event);
  bool writeEvent(const measurement::Event& event, bool isPublicEvent, bool isRealtime);
  // Schedules the "_fx" event of a first open matched to an advertising id later.
  void logFirstOpenConsentedEvent(double timestamp);

  // Background events start, extend or end the session.
  void processSessionFromEvent(const measurement::Event& event);
  void reportSessionStartOnWorkerQueueWithTimestamp(double timestamp, bool appInBackground);

  bool setUserPropertyInDatabaseOnWorkerQueue(const measurement::UserAttribute& attribute);
  void removeUserAttributeOnWorkerQueue(const measurement::UserAttribute& attribute);
  void userAttributeWithName(
      std::string name, std::function<void(std::optional<measurement::UserAttribute>)> callback);
  void setLastAdvertisingIDResetUserPropertyOnWorkerQueue();
  bool hasUserPropertyUserIDOnWorkerQueue();

  // Campaigns from links (measurement_deep_links.cpp).
  void handleOpenURL(const os::URL& url, std::optional<int64_t> clickTimestampMillis,
                     double eventTimestampInSeconds);
  // Schedules handleOpenURLOnWorkerQueue ("APMMeasurement:446").
  void handleDeepLink(const os::URL& url, std::optional<int64_t> clickTimestampMillis,
                      double eventTimestampInSeconds);
  // Logs "_cmp" (or "_cmpx" for an expired stored link) when the link is a campaign.
  void handleOpenURLOnWorkerQueue(const std::optional<os::URL>& url,
                                  std::optional<int64_t> clickTimestampMillis,
                                  double eventTimestampInSeconds, const os::Dictionary& extras);
  static bool isValidCampaignURLParamDictionary(const std::map<std::string, std::string>& params);
  // Whether click ids ("gclid", "dclid", "srsltid") may be reported.
  bool shouldAllowClickID();

  // This engine's remote configuration, else the default one before start-up made it.
  std::shared_ptr<measurement::RemoteConfig> engineConfig() const;

  // What the events written now have in common, stored once under its fingerprint.
  APMPBMeasurementBundle createRawEventMetadataWithUserAttributes(
      const std::vector<measurement::UserAttribute>& attributes);

  // The next whole hour after `milliseconds` (a whole hour moves on by one).
  static int64_t timestampMillisRoundedUpToNextHour(int64_t milliseconds);

  // ---- Network client delegates ----

  // The client's levels on the monitor's: 3 -> 1, 4 -> 4, 5 -> 3, 6 -> 6, 7 -> 7, other -> 3.
  static int64_t monitorLevelFromNetworkLevel(int64_t networkLevel);
  void VDUNetwork_logWithLevel(VDUNetworkLogLevel level, VDUNetworkMessageCode code,
                               const std::string& message,
                               const std::vector<os::Value>& contexts) override;
  void VDUNetwork_logWithLevel(VDUNetworkLogLevel level, VDUNetworkMessageCode code,
                               const std::string& message, const os::Value& context) override;
  void VDUNetwork_logWithLevel(VDUNetworkLogLevel level, VDUNetworkMessageCode code,
                               const std::string& message) override;
  // Schedules updateSchedule ("APMMeasurement:1034").
  void reachabilityDidChange() override;

  // ---- Upload (measurement_config_fetch.cpp, measurement_bundling.cpp,
  //      measurement_schedule.cpp, measurement_upload.cpp; worker queue) ----

  // The fetch's reply: records the outcome, may activate the body, then the next step.
  void networkRemoteConfigFetchCompletionHandler(
      const std::shared_ptr<const os::HTTPURLResponse>& response,
      const std::optional<os::Data>& data, const std::optional<os::Error>& error);
  // Turns the oldest group of raw events into one queued bundle in one transaction; true when
  // a group was consumed, so that more may wait.
  bool bundleRawEvents();
  // The next upload time (seconds since 1970), or 0 when nothing is to be scheduled.
  double nextUploadingTime();
  // Uploads at once when connected with data waiting, else schedules.
  void uploadDataOrRegisterAlarm();
  // The upload's reply: deletes the sent bundles on success, else records the failure.
  void networkUploadCompletionHandler(const std::shared_ptr<const os::HTTPURLResponse>& response,
                                      const std::optional<os::Error>& error);
  // The leading run of `bundles` that share the app id and the device id.
  static std::vector<measurement::QueuedBundle> filteredBundlesWithCompatibleAppID(
      const std::string& appID, const std::string& resettableDeviceID,
      const std::string& vendorDeviceID, const std::vector<measurement::QueuedBundle>& bundles);
  // Uptime (seconds) at which uploads were suspended; 0 when they are not.
  double suspendedUploadTimestamp() const { return suspendedUploadTimestamp_; }
  // The sampling roll: a uniform integer in [0, rate). Tests replace it.
  void setSamplingRollForTesting(std::function<uint32_t(uint32_t rate)> roll);

 private:
  // The component set-up of the first start; false when a component cannot be made.
  bool initializeComponentsOnWorkerQueue();
  // Step of the set-up: wipes when the app id changed (or a reset is unfinished).
  void maybeWipeDataOnWorkerQueue();
  // Schedules `block` on the worker queue with the engine held weakly.
  void scheduleWeakly(std::string_view blockID, std::function<void(APMMeasurement&)> block);

  const std::string databaseName_;
  const std::string appID_;
  const bool isAnalyticsCollectionEnabled_;
  const bool isAnalyticsCollectionDeactivated_;
  const std::optional<std::vector<std::string>> safelistedEvents_;
  measurement::PersistedConfig* const persistedConfig_;
  const std::shared_ptr<VDUNetwork> network_;
  const std::shared_ptr<measurement::Scheduler> scheduler_;
  const measurement::EventEditingFactory eventEditingFactory_;
  const std::shared_ptr<SearchAdTokenProvider> searchAdTokenProvider_;
  measurement::Alarm alarm_;
  std::shared_ptr<measurement::ConditionalUserPropertyController>
      conditionalUserPropertyController_;

  std::atomic<double> initTimestamp_{0};
  std::atomic<bool> enabled_{false};
  bool wasEnabledDuringInitialization_ = false;
  std::atomic<bool> didInitializeComponents_{false};
  os::Mutex initializeComponentsMutex_;

  // Worker queue only.
  std::shared_ptr<APMSearchAdReporter> searchAdReporter_;
  std::unique_ptr<measurement::Database> database_;
  std::unique_ptr<measurement::Audience> audience_;
  std::unique_ptr<measurement::TcfClient> tcfClient_;
  std::optional<std::string> previousGMPAppID_;
  bool shouldUpdateNPAUserProperty_ = false;
  bool shouldRequestDeferredDeepLinkAfterConfigFetch_ = false;
  bool foundAdPersonalizationPlistFlag_ = false;

  // Set on the worker queue, read from any thread.
  mutable os::Mutex componentsMutex_;
  std::shared_ptr<measurement::Identity> identity_ OS_GUARDED_BY(componentsMutex_);
  std::shared_ptr<measurement::RemoteConfig> remoteConfig_ OS_GUARDED_BY(componentsMutex_);
  std::shared_ptr<APMSessionReporter> sessionReporter_ OS_GUARDED_BY(componentsMutex_);

  std::vector<os::ObserverRegistration> notificationRegistrations_;

  // Upload state; worker queue only.
  bool isNetworkRequestPending_ = false;
  std::vector<int64_t> uploadingBundleIDs_;
  double suspendedUploadTimestamp_ = 0;
  std::function<uint32_t(uint32_t)> samplingRoll_;
  // Called once the upload pass comes to rest (no request in flight).
  std::vector<std::function<void()>> restWaiters_;
  // Runs the rest waiters when no request is in flight.
  void notifyRestWaitersIfIdle();
  // Logs the uploading ids (23047 when some are in flight already).
  void setUploadInProgressWithBundleIDs(std::vector<int64_t> rowIDs);
  void incrementRetryCounter();
  // Cancels the alarm, stops listening for reachability and writes the persisted state.
  void cancelUploadSchedule();
  // This engine's configuration once start-up made one, else the default instance.
  std::shared_ptr<measurement::RemoteConfig> configuration() const;
  // Step of the fetch's reply, inside its transaction: parses, checks and puts a fetched body in
  // force with its audiences; false (rolled back) when any step refuses.
  bool activateConfiguration(const os::Data& body);
  // Steps of bundleRawEvents, inside its transaction.
  // Session starts and engagement totals ("_lte", "_se") of the group; false ends bundling.
  bool evaluationTimeFromRawEvents(const std::vector<measurement::RawEventData>& rawEvents,
                                   APMPBMeasurementBundle& bundle);
  // Adds `milliseconds` to "_lte" (or "_se") and puts the total into the bundle.
  bool updateUserEngagement(int64_t milliseconds, APMPBMeasurementBundle& bundle,
                            bool sessionScoped);
  // Snapshots the event counts when analytics storage becomes denied, restores them when it
  // is granted again.
  void handleAnalyticsStorageConsentTransitions(const APMPBMeasurementBundle& bundle);
  std::optional<std::vector<measurement::Event>> eventsAfterUpdatingEventAggregates(
      const std::vector<measurement::Event>& events, measurement::AudienceTimestampsCache* cache,
      bool allowEventFilterEvaluation);
  bool updateAppMetadataForBundle(APMPBMeasurementBundle& bundle, double start, double end);
  void addBundleMetadataIntoBundle(APMPBMeasurementBundle& bundle, double start, double end);
  // Step of bundleRawEvents: the events of the group to upload, or nullopt on failure.
  std::optional<std::vector<measurement::Event>> processRawEvents(
      const std::vector<measurement::RawEventData>& rawEvents);
};

// Whether `event` is an ad-exposure event: origin "am", or name "_xa" or "_xu".
bool isAdExposureEvent(const measurement::Event& event);
