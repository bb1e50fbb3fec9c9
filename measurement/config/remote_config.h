// RemoteConfig: the measurement configuration the service delivers for one application, and
// the answers to every question of the measurement code about server-tunable behaviour. It
// keeps the configuration in force, stores each accepted one in the database (the next process
// start parses the stored copy), and turns it into lookup state: the settings (Settings, read
// through its typed accessors), per-event configurations, data controls, consent defaults and
// delegations, the sign-in (PSM) settings and the event-editing program handed to the script
// runtime. It registers the library with the experiment service and builds the service's fetch
// and upload addresses.
//
//   RemoteConfigServices services;
//   services.experimentManager = manager;                      // may be null
//   services.eventEditingFactory = runtimeEventEditingFactory(scheduler.workerQueue());
//   std::shared_ptr<RemoteConfig> config =
//       RemoteConfig::create(appID, database.get(), std::nullopt, services);  // parses the stored one
//   config->updateMeasurementConfig(fetched);                  // worker queue
//   config->settings()->uploadingInterval();                   // any thread
//   config->isEventBlocklisted("_s");
//
// Every refusal is a log line of the measurement monitor (codes 29000-29027) and a false or
// empty result; a refused configuration leaves the configuration in force and everything
// derived from it untouched.
//
// Threads. Updates, parsing and database access run on the engine's worker queue (the
// database checks it). Everything else may be called from any thread: the derived state is
// guarded, readers get copies, and the settings cache serialises itself.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "measurement/config/config_contents.h"
#include "measurement/config/event_editing_loader.h"
#include "measurement/config/experiment_service.h"
#include "measurement/database/database.h"
#include "measurement/foundation/settings.h"
#include "measurement/privacy/identity_support.h"
#include "measurement/wire/schema/apmpb.h"
#include "os/net/url.h"
#include "os/sync/mutex.h"
#include "os/sync/thread_annotations.h"

namespace measurement {

// The name the library registers with the experiment service, and the flags it reads.
inline constexpr const char* kExperimentSDKName = "zad_odavodivezi";
inline constexpr const char* kRegionalDefaultsEnabledFlag = "regional_defaults_enabled";
inline constexpr const char* kSessionStitchingTokenFeatureEnabledFlag =
    "session_stitching_token_feature_enabled";

// What a remote configuration works with besides its application and database.
struct RemoteConfigServices {
  // The experiment service; null until it runs.
  std::shared_ptr<APMEManager> experimentManager = nullptr;
  // Makes the editing instance for the configuration's programs; null: the script runtime's,
  // unchecked against a queue.
  EventEditingFactory eventEditingFactory = nullptr;
  // Whether the user authorized tracking (status 3), which moves uploads to their own host.
  std::shared_ptr<IdentitySupport> identitySupport = DefaultIdentitySupport::sharedInstance();
  // Whether the engine exists and collects; experiments are fetched only then. Null: no engine.
  std::function<bool()> isMeasurementEnabled = nullptr;
};

class RemoteConfig final : public APMEExperimentObserverDelegate,
                           public APMESDKPropertyProviderDelegate,
                           public std::enable_shared_from_this<RemoteConfig> {
  struct Private {};

 public:
  // The shared instance without application or database, made once: it never stores or
  // parses a configuration and its settings (Settings::defaultInstance()) read their defaults.
  static const std::shared_ptr<RemoteConfig>& defaultInstance();

  // nullptr for an empty application id (29000) or a null database (29001). With `config`,
  // that configuration is applied as updateMeasurementConfig applies it; without, the stored one
  // is parsed. With a manager, registers the library and activates a stale pending snapshot
  // first. `database` must outlive the configuration. Worker queue.
  static std::shared_ptr<RemoteConfig> create(std::string appID, Database* database,
                                              std::optional<APMPBMeasurementConfig> config,
                                              RemoteConfigServices services);

  RemoteConfig(Private, std::string appID, Database* database, std::shared_ptr<Settings> settings,
               RemoteConfigServices services);
  RemoteConfig(const RemoteConfig&) = delete;
  RemoteConfig& operator=(const RemoteConfig&) = delete;

  // The settings of the configuration in force, the same object for the configuration's life.
  const std::shared_ptr<Settings>& settings() const { return settings_; }

  // ---- Configuration (worker queue) ----

  // Checks, stores and applies a fetched configuration. Refused: by the default instance
  // (29002), without a configuration (29003), with the origin "am" when its ZeZud app id is not
  // this application's (29022), when its app id is not (29004), and when the database does not
  // store it (29005).
  bool updateMeasurementConfig(const std::optional<APMPBMeasurementConfig>& config);
  // Rebuilds the derived state from `config` (null: logged, 29012, nothing changes). A
  // configuration of another application is ignored. When the first event-editing program does
  // not load (29026), the editing instance is dropped and the data controls, consent state and
  // sign-in settings keep their previous values.
  void parseRemoteConfigFromMeasurementConfig(const APMPBMeasurementConfig* config);
  // The stored configuration; nullopt when there is none or it cannot be read (logged).
  std::optional<APMPBMeasurementConfig> measurementConfigFromDatabase();
  // Forgets the derived state and the configuration in force (the editing instance stays) and
  // resets the experiment service.
  void reset();

  // Whether the last fetch lies at least the settings' cache time away from now (either way).
  bool isExpired();
  // Seconds since 1970 of the last fetch; 0 when never fetched or unreadable.
  double lastRemoteConfigUpdateTimestamp();
  // The configuration's version; -1 without a configuration or without the field.
  int64_t version() const;

  // ---- Endpoints (see endpoints.h) ----

  std::optional<os::URL> remoteConfigURL(std::optional<std::string_view> platform,
                                         int64_t SDKVersion, int64_t runtimeVersion) const;
  std::optional<std::string> uploadSubdomain() const;
  os::URL uploadURL() const;

  // ---- Per-event answers, by the name the engine holds (usually the internal one) ----

  // nullopt for an unknown name; an empty name is logged (29006).
  std::optional<APMPBEventConfig> eventConfigWithName(std::string_view name) const;
  // The event's own blocklisted switch when it is set and true, else the setting for public or
  // internal names.
  bool isEventBlocklisted(std::string_view name) const;
  bool isEventCustomConversion(std::string_view name) const;
  bool eventHasSamplingRate(std::string_view name) const;
  // The event's rate when it lies in 2..65535, else 1.
  int32_t samplingRateForEvent(std::string_view name) const;

  // ---- Consent and data controls: copies ----

  os::Dictionary consentDefaults() const;
  os::Dictionary consentDelegations() const;
  os::Dictionary regionalDefaults() const;
  std::set<std::string> corePlatformServices() const;
  bool isDMARegion() const;
  std::vector<std::string> dataControls() const;

  // The settings with an experiment override: the flag copied at the last activation for the
  // regional defaults, the client's current flag for the session stitching token.
  bool regionalDefaultsEnabled() const { return settings_->regionalDefaultsEnabled(); }
  bool sessionStitchingTokenFeatureEnabled() const {
    return settings_->sessionStitchingTokenFeatureEnabled();
  }

  // ---- Experiments ----

  // The manager's experiment ids; nullopt without a manager.
  std::optional<std::vector<int64_t>> experimentIDs() const;
  // Activates the snapshot a notification announced; false when none waits or activation
  // fails (29024, the snapshot stays announced). A snapshot announced while activating stays
  // announced for the next call.
  bool activateNewSnapshot();
  // Copies the client's "regional_defaults_enabled" flag (removed when it has none).
  void updateCachedExperimentFlags();

  void clientDidReceiveNewSnapshot(APMEClient& client) override;
  void clientDidReceiveFetchError(APMEClient& client, const os::Error* error) override;
  bool shouldFetchExperimentsForClient(APMEClient& client) override;

  // ---- Event editing ----

  // The loaded editing instance, or nullptr.
  std::shared_ptr<EventEditing> eventEditing() const;

 private:
  // The sign-in settings a configuration gave, by setting name.
  using PsmValues = std::vector<std::pair<std::string, int64_t>>;
  // Lookup state; replaced in parts by each parse.
  struct Derived {
    std::optional<APMPBMeasurementConfig> config;
    EventConfigs eventConfigs;
    std::vector<std::string> dataControls;
    ConsentConfiguration consent;
    os::Dictionary experimentFlags;
    PsmValues psmValues;
    std::shared_ptr<EventEditing> eventEditing;
  };

  bool isDefaultInstance() const { return database_ == nullptr && appID_.empty(); }
  void registerWithExperimentService();
  // Puts `config` in force (its version and upload address) and parses it.
  void applyMeasurementConfig(const APMPBMeasurementConfig& config);
  std::optional<bool> experimentFlag(std::string_view flag) const;
  // `read` applied, under the lock, to the event's configuration (null when there is none): the
  // per-event answers run for every event and need no copy of the message.
  template <typename Read>
  auto readEventConfig(std::string_view name, Read read) const;
  // Step of the parse: a new editing instance with the host modules and the first program;
  // false when the program did not load.
  bool loadEventEditing(const std::vector<APMPBProgram>& programs);
  void cacheSettings(const APMPBMeasurementConfig& config);
  PsmValues previousPsmValues() const;
  void cachePsmValues(const PsmValues& values);

  const std::string appID_;
  Database* const database_;
  const std::shared_ptr<Settings> settings_;
  const RemoteConfigServices services_;
  // Set once at creation, before the instance is shared.
  std::shared_ptr<APMEClient> experimentClient_;
  // Announced by the experiment service's queue, taken by the worker queue.
  std::atomic<bool> hasNewSnapshot_{false};

  mutable os::Mutex mutex_;
  Derived derived_ OS_GUARDED_BY(mutex_);
};

}  // namespace measurement
