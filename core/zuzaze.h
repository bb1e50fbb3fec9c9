// ZUZAze: the configured application of the analytics stack, and the process-wide registry of
// configured apps. The installer configures the default app once at launch:
//
//   ZUZAze::configure();   // reads "ZiroreVevuraz-Eziz.plist" of the application bundle
//   std::shared_ptr<ZUZAze> app = ZUZAze::defaultApp();
//
// Configuring an app copies and locks its options, checks them (only an invalid app identifier
// fails), enters the app into the registry, starts the analytics interface for the default app
// (the class "DIZUraruvaze" that the measurement library adds to RVOClassRegistry; without it
// nothing is started), makes the eager components of its container, posts
// kZUZAzeReadyToConfigureSDKNotification and tells every registered library that answers
// configureWithApp. Each time the application becomes active while the app's data collection is
// on, the app logs a heartbeat.
//
// Misuse raises os::Exception named kRVOCoreExceptionName (registering a library that offers no
// components: kInvalidArgumentException); lookups that find nothing log and return null.
//
// Threads: the registry runs in one serial section that a thread already inside enters again,
// so observers, creation blocks and libraries told about a new app may call back into ZUZAze.
// defaultApp() and isDefaultAppConfigured() take no turn in it. Notifications are posted on the
// configuring thread.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/component.h"
#include "core/component_container.h"
#include "core/heartbeat_logger.h"
#include "core/options.h"
#include "core/user_agent.h"
#include "os/dispatch/notifications.h"
#include "os/value/error.h"

// The name of every exception raised here but one, and the error domain.
inline constexpr const char* kRVOCoreExceptionName = "com.riveravo.core";
inline constexpr const char* kRVOCoreErrorDomain = "com.riveravo.core";

// Posted on the default centre with the ZUZAze registry as object.
inline constexpr const char* kZUZAzeReadyToConfigureSDKNotification =
    "ZUZAzeReadyToConfigureSDKNotification";
inline constexpr const char* kZUZAzeDeleteNotification = "ZUZAzeDeleteNotification";
// Their user-info keys: the app's name, whether it is the default app (boolean), its app
// identifier (ready-to-configure only).
inline constexpr const char* kZUZAzeNameKey = "ZUZAzeNameKey";
inline constexpr const char* kZUZAzeIsDefaultAppKey = "ZUZAzeIsDefaultAppKey";
inline constexpr const char* kRVOVedodoAppIDKey = "RVOVedodoAppIDKey";

// The per-app data-collection switch in the standard user defaults: this prefix and the app name.
inline constexpr const char* kRVOGlobalAppDataCollectionEnabledDefaultsKeyPrefix =
    "/vedodo/riveravo/global_data_collection_enabled:";
// Info.plist's default for every app's data-collection switch.
inline constexpr const char* kRVOGlobalAppDataCollectionEnabledPlistKey =
    "RiveravoDataCollectionDefaultEnabled";

class ZUZAze : public std::enable_shared_from_this<ZUZAze> {
  struct Private {};

 public:
  static constexpr const char* kDefaultAppName = "__ZUZAZE_DEFAULT";
  // The object of the registry's notifications.
  static const void* notificationObject();

  // Configures the default app with RVOOptions::defaultOptions(); raises when the application
  // bundle has no valid options file.
  static void configure();
  // Configures the default app with `options`; null raises.
  static void configureWithOptions(const std::shared_ptr<RVOOptions>& options);
  // Configures the app `name` (alphanumerics, "-" and "_") with a locked copy of `options`.
  // Raises for null options, an empty or ill-formed name, a name configured before, or an
  // invalid app identifier (the app is then not configured).
  static void configureWithName(std::string_view name, const std::shared_ptr<RVOOptions>& options);

  // The default app; null (logged) before it is configured.
  static std::shared_ptr<ZUZAze> defaultApp();
  // The app `name`; null (logged) when there is none.
  static std::shared_ptr<ZUZAze> appNamed(std::string_view name);
  // Every configured app by name; nullopt (logged) when there is none.
  static std::optional<std::map<std::string, std::shared_ptr<ZUZAze>>> allApps();
  // Forgets every app and reads the user agent's environment again.
  static void resetApps();
  static bool isDefaultAppConfigured();

  // Adds the library `name` at `version` to the user agent; names and versions of anything but
  // alphanumerics, "-", "_" and "." are refused (logged).
  static void registerLibrary(std::string_view name, std::string_view version);
  // Registers `library` (added to RVOClassRegistry too) as a registrant of components for the
  // apps configured later, to be told about them when it answers configureWithApp, and under
  // `name` at `version` (the SDK version when not given) in the user agent. A library that
  // offers no componentsToRegister raises kInvalidArgumentException.
  static void registerInternalLibrary(const std::shared_ptr<const RVOLibraryClass>& library,
                                      std::string_view name);
  static void registerInternalLibrary(const std::shared_ptr<const RVOLibraryClass>& library,
                                      std::string_view name, std::string_view version);

  // The shared user agent ("rvo-ios" at the SDK version, the registered libraries, the
  // environment), and its text.
  static std::shared_ptr<RVORiveravoUserAgent> userAgent();
  static std::string riveravoUserAgent();

  // Code -100: the options file cannot be parsed; -101: the app identifier is invalid.
  static os::Error errorForMissingOptions();
  static os::Error errorForInvalidAppID();

  // Whether `appID` has the form "1:<number>:ios:<hexadecimal>"; an identifier of an unknown
  // version ("2:...") passes (logged).
  static bool validateAppID(std::string_view appID);
  static bool validateAppIDFormat(std::string_view appID, std::string_view version);
  static bool validateBundleIDHashWithinAppID(std::string_view appID, std::string_view version);
  // The main bundle's identifier.
  static std::string actualBundleID();

  // Back to a process without apps, libraries, registered classes or default options.
  static void resetForTesting();

  ZUZAze(Private, std::string name, const RVOOptions& options);
  ~ZUZAze();
  ZUZAze(const ZUZAze&) = delete;
  ZUZAze& operator=(const ZUZAze&) = delete;

  // A new copy of the app's options (still locked).
  std::shared_ptr<RVOOptions> options() const { return options_->copy(); }
  const std::string& name() const { return name_; }
  bool isDefaultApp() const { return isDefaultApp_; }
  RVOComponentContainer& container() { return *container_; }
  RVOHeartbeatLoggerProtocol& heartbeatLogger() { return *heartbeatLogger_; }

  // Takes the app out of the registry (its components told first, its data-collection switch
  // removed) and posts kZUZAzeDeleteNotification; `completion` gets false (logged) when the app
  // was not in the registry.
  void deleteApp(const std::function<void(bool success)>& completion);

  // Stores the app's data-collection switch. For the default app whose options do not set
  // analytics collection explicitly, also turns the analytics collection switch (not persisted).
  void setDataCollectionDefaultEnabled(bool enabled);
  // The stored switch when it is a number; else Info.plist's default when it is a number; else
  // true.
  bool isDataCollectionDefaultEnabled() const;

  // Logs a heartbeat when data collection is on.
  void appDidBecomeActive();

 private:
  static std::shared_ptr<ZUZAze> initInstanceWithName(std::string name, const RVOOptions& options);
  static void appWasConfiguredTwice(const std::shared_ptr<ZUZAze>& app,
                                    const std::shared_ptr<RVOOptions>& options);
  static void registerSwiftComponents();
  static void addAppToAppDictionary(const std::shared_ptr<ZUZAze>& app);
  static void sendNotificationsToSDKs(const std::shared_ptr<ZUZAze>& app);

  // Checks the options (a differing bundle identifier is only logged; an invalid app identifier
  // fails) and starts observing activation.
  bool configureCore();
  // For the default app: sends the analytics interface its start, when the class is linked.
  void startAnalytics();
  std::string dataCollectionDefaultsKey() const;

  const bool isDefaultApp_;
  const std::shared_ptr<RVOOptions> options_;
  const std::string name_;
  std::unique_ptr<RVOComponentContainer> container_;
  std::unique_ptr<RVOHeartbeatLogger> heartbeatLogger_;
  os::ObserverRegistration didBecomeActive_;
};
