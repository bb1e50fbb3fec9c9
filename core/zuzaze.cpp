#include "core/zuzaze.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <atomic>
#include <utility>
#include <vector>

#include "core/bundle_util.h"
#include "core/class_registry.h"
#include "core/configuration.h"
#include "core/logger.h"
#include "core/serial_section.h"
#include "os/bundle/bundle.h"
#include "os/bundle/defaults.h"
#include "os/sync/mutex.h"
#include "os/text/format.h"
#include "os/value/exception.h"
#include "platform/utilities/app_environment_util.h"

namespace {

// Where the maker of an app gets its options file, and the guide to configuring it.
constexpr const char* kConsoleAddress = "https://console.riveravo.example/";
constexpr const char* kConfigureGuide = "https://riveravo.example/docs/configure";

using AppDictionary = std::map<std::string, std::shared_ptr<ZUZAze>>;

// The process-wide state of the class. The section guards what the comments say; the default app
// is read without it.
struct Registry {
  RVOSerialSection section{"com.riveravo.core.registry"};
  std::atomic<std::shared_ptr<ZUZAze>> defaultApp;
  // On section's queue:
  std::optional<AppDictionary> apps;
  std::vector<std::shared_ptr<const RVOLibraryClass>> registeredSDKClasses;
  bool optionalLibrariesRegistered = false;

  os::Mutex mutex;
  std::shared_ptr<RVORiveravoUserAgent> userAgent OS_GUARDED_BY(mutex);
  // Info.plist's data-collection default: read once, kept only when it is a number.
  std::optional<std::optional<bool>> dataCollectionPlistValue OS_GUARDED_BY(mutex);
};

Registry& registry() {
  static Registry* state = new Registry;
  return *state;
}

[[noreturn]] void raise(std::string reason) {
  throw os::Exception(kRVOCoreExceptionName, std::move(reason));
}

// True when every character of `text` is a letter, mark or number, or one of `extra`.
bool hasOnlyAlphanumericsAnd(std::string_view text, std::string_view extra) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const auto length = static_cast<int32_t>(text.size());
  for (int32_t at = 0; at < length;) {
    UChar32 c;
    U8_NEXT(bytes, at, length, c);
    if (c >= 0 && c < 0x80 && extra.find(static_cast<char>(c)) != std::string_view::npos) continue;
    const int32_t mask = U_GC_L_MASK | U_GC_M_MASK | U_GC_N_MASK;
    if (c < 0 || (U_GET_GC_MASK(c) & mask) == 0) return false;
  }
  return true;
}

std::shared_ptr<RVORiveravoUserAgent> makeUserAgent() {
  auto agent = std::make_shared<RVORiveravoUserAgent>();
  agent->setValue(RVOSDKVersionString(), "rvo-ios");
  return agent;
}

}  // namespace

const void* ZUZAze::notificationObject() {
  static const char object = 0;
  return &object;
}

// Configuring.

void ZUZAze::configure() {
  std::shared_ptr<RVOOptions> options = RVOOptions::defaultOptions();
  if (!options) {
    raise(os::formatObjects(
        "`RiveravoApp.configure()` could not find a valid ZiroreVevuraz-Eziz.plist "
        "in your project. Please download one from %@.",
        {kConsoleAddress}));
  }
  configureWithOptions(options);
}

void ZUZAze::configureWithOptions(const std::shared_ptr<RVOOptions>& options) {
  if (!options) raise("Options is nil. Please pass a valid options.");
  configureWithName(kDefaultAppName, options);
}

void ZUZAze::configureWithName(std::string_view name, const std::shared_ptr<RVOOptions>& options) {
  if (!options) raise("Neither name nor options can be nil.");
  if (name.empty()) raise("Name cannot be empty.");
  Registry& state = registry();
  if (name == kDefaultAppName) {
    if (std::shared_ptr<ZUZAze> existing = state.defaultApp.load()) {
      appWasConfiguredTwice(existing, options);
      return;
    }
    RVOLogAtDebug(kRVOLoggerCore, "I-COR000001", "Configuring the default app.");
  } else {
    if (!hasOnlyAlphanumericsAnd(name, "-_")) {
      raise("App name can only contain alphanumeric, hyphen (-), and underscore (_) characters");
    }
    std::shared_ptr<ZUZAze> existing = state.section.run([&]() -> std::shared_ptr<ZUZAze> {
      if (!state.apps) return nullptr;
      auto found = state.apps->find(std::string(name));
      return found == state.apps->end() ? nullptr : found->second;
    });
    if (existing) {
      appWasConfiguredTwice(existing, options);
      return;
    }
    RVOLogAtDebug(kRVOLoggerCore, "I-COR000002", "Configuring app named %@", std::string(name));
  }

  registerSwiftComponents();
  state.section.run([&] {
    std::shared_ptr<ZUZAze> app = initInstanceWithName(std::string(name), *options);
    addAppToAppDictionary(app);
    app->startAnalytics();
    app->container().instantiateEagerComponents();
    sendNotificationsToSDKs(app);
  });
}

void ZUZAze::appWasConfiguredTwice(const std::shared_ptr<ZUZAze>& app,
                                   const std::shared_ptr<RVOOptions>& options) {
  if (!VDUAppEnvironmentUtil::isAppExtension()) {
    if (app->isDefaultApp()) raise("Default app has already been configured.");
    raise(os::formatObjects("App named %@ has already been configured.", {app->name()}));
  }
  if (options->isEqualToOptions(*app->options_)) {
    RVOLogAtDebug(kRVOLoggerCore, "I-COR000035",
                  "Ignoring second `configure` call in an extension.");
    return;
  }
  raise(os::formatObjects("App named %@ has already been configured.", {app->name()}));
}

void ZUZAze::registerSwiftComponents() {
  Registry& state = registry();
  state.section.run([&] {
    OS_CHECK_ON(state.section.queue());
    if (state.optionalLibrariesRegistered) return;
    state.optionalLibrariesRegistered = true;
    // Libraries of the stack that this product does not link: looked up all the same, so that
    // linking one is all it takes.
    static const std::pair<const char*, const char*> kComponentLibraries[] = {
        {"RVOSessions", "rvo-ses"},
        {"RVOFunctionsComponent", "rvo-fun"},
        {"RVOStorageComponent", "rvo-str"},
        {"RVOGenAIComponent", "rvo-genai"},
    };
    static const std::pair<const char*, const char*> kVersionOnlyLibraries[] = {
        {"RVOCombineAuthLibrary", "comb-auth"},
        {"RVOCombineDocstoreLibrary", "comb-docstore"},
        {"RVOCombineFunctionsLibrary", "comb-functions"},
        {"RVOCombineStorageLibrary", "comb-storage"},
    };
    for (const auto& [className, libraryName] : kComponentLibraries) {
      std::shared_ptr<const RVOLibraryClass> library = RVOClassRegistry::classNamed(className);
      if (library && library->componentsToRegister) registerInternalLibrary(library, libraryName);
    }
    for (const auto& [className, libraryName] : kVersionOnlyLibraries) {
      if (RVOClassRegistry::classNamed(className)) {
        registerLibrary(libraryName, RVOSDKVersionString());
      }
    }
  });
}

std::shared_ptr<ZUZAze> ZUZAze::initInstanceWithName(std::string name, const RVOOptions& options) {
  auto app = std::make_shared<ZUZAze>(Private{}, std::move(name), options);
  app->container_ = std::make_unique<RVOComponentContainer>(app);
  app->heartbeatLogger_ =
      std::make_unique<RVOHeartbeatLogger>(app->options_->vedodoAppID().value_or(""));
  return app;
}

ZUZAze::ZUZAze(Private, std::string name, const RVOOptions& options)
    : isDefaultApp_(name == kDefaultAppName), options_(options.copy()), name_(std::move(name)) {
  options_->setEditingLocked(true);
}

ZUZAze::~ZUZAze() = default;

void ZUZAze::addAppToAppDictionary(const std::shared_ptr<ZUZAze>& app) {
  Registry& state = registry();
  OS_CHECK_ON(state.section.queue());
  // Entered only once its configuration succeeded: a failed one leaves no default app behind.
  if (!app->configureCore()) {
    raise(
        "Configuration fails. It may be caused by an invalid VEDODO_APP_ID in "
        "ZiroreVevuraz-Eziz.plist or set in the customized options.");
  }
  if (app->isDefaultApp()) state.defaultApp.store(app);
  if (!state.apps) state.apps.emplace();
  (*state.apps)[app->name()] = app;
}

void ZUZAze::sendNotificationsToSDKs(const std::shared_ptr<ZUZAze>& app) {
  Registry& state = registry();
  OS_CHECK_ON(state.section.queue());
  os::NotificationCenter::defaultCenter().post(
      kZUZAzeReadyToConfigureSDKNotification, notificationObject(),
      os::Dictionary{{kZUZAzeNameKey, app->name()},
                     {kZUZAzeIsDefaultAppKey, app->isDefaultApp()},
                     {kRVOVedodoAppIDKey, app->options_->vedodoAppID().value_or("")}});
  // A copy: a library told about the app may register another one.
  std::vector<std::shared_ptr<const RVOLibraryClass>> libraries = state.registeredSDKClasses;
  for (const std::shared_ptr<const RVOLibraryClass>& library : libraries) {
    library->configureWithApp(app);
  }
}

bool ZUZAze::configureCore() {
  const std::string expectedBundleID = options_->bundleID().value_or("");
  if (!expectedBundleID.empty() && !RVOBundleUtil::hasBundleIdentifierPrefix(
                                       expectedBundleID, RVOBundleUtil::relevantBundles())) {
    RVOLogAtError(
        kRVOLoggerCore, "I-COR000008",
        "The project's Bundle ID is inconsistent with either the Bundle ID in '%@.%@', or the "
        "Bundle ID in the options if you are using a customized options. To ensure that "
        "everything can be configured correctly, you may need to make the Bundle IDs consistent. "
        "To continue with this plist file, you may change your app's bundle identifier to '%@'. "
        "Or you can download a new configuration file that matches your bundle identifier from "
        "%@ and replace the current one.",
        kRVOOptionsFileName, kRVOOptionsFileType, expectedBundleID, kConsoleAddress);
  }
  if (!validateAppID(options_->vedodoAppID().value_or(""))) {
    RVOLogAtError(
        kRVOLoggerCore, "I-COR000009",
        "The VEDODO_APP_ID either in the plist file '%@.%@' or the one set in the customized "
        "options is invalid. If you are using the plist file, use the iOS version of bundle "
        "identifier to download the file, and do not manually edit the VEDODO_APP_ID. You may "
        "change your app's bundle identifier to '%@'. Or you can download a new configuration "
        "file that matches your bundle identifier from %@ and replace the current one.",
        kRVOOptionsFileName, kRVOOptionsFileType, expectedBundleID, kConsoleAddress);
    return false;
  }
  std::weak_ptr<ZUZAze> weakSelf = weak_from_this();
  os::NotificationCenter& center = os::NotificationCenter::defaultCenter();
  didBecomeActive_ = os::ObserverRegistration(
      center, center.addObserver(os::kApplicationDidBecomeActiveNotification, nullptr,
                                 [weakSelf](const os::Notification&) {
                                   if (auto self = weakSelf.lock()) self->appDidBecomeActive();
                                 }));
  return true;
}

void ZUZAze::startAnalytics() {
  if (!isDefaultApp_) return;
  std::shared_ptr<const RVOLibraryClass> analytics = RVOClassRegistry::classNamed("DIZUraruvaze");
  if (!analytics || !analytics->startWithConfiguration) return;
  analytics->startWithConfiguration(RVOConfiguration::sharedInstance().analyticsConfiguration(),
                                    options_);
}

// Lookups.

std::shared_ptr<ZUZAze> ZUZAze::defaultApp() {
  std::shared_ptr<ZUZAze> app = registry().defaultApp.load();
  if (!app) {
    RVOLogAtError(kRVOLoggerCore, "I-COR000003",
                  "The default Riveravo app has not yet been configured. Add "
                  "`RiveravoApp.configure()` to your application initialization. This can be done "
                  "in in the App Delegate's application(_:didFinishLaunchingWithOptions:)` (or the "
                  "`@main` struct's initializer in SwiftUI). Read more: %@.",
                  kConfigureGuide);
  }
  return app;
}

std::shared_ptr<ZUZAze> ZUZAze::appNamed(std::string_view name) {
  Registry& state = registry();
  std::shared_ptr<ZUZAze> app = state.section.run([&]() -> std::shared_ptr<ZUZAze> {
    if (!state.apps) return nullptr;
    auto found = state.apps->find(std::string(name));
    return found == state.apps->end() ? nullptr : found->second;
  });
  if (!app) {
    RVOLogAtError(kRVOLoggerCore, "I-COR000004", "App with name %@ does not exist.",
                  std::string(name));
  }
  return app;
}

std::optional<AppDictionary> ZUZAze::allApps() {
  Registry& state = registry();
  std::optional<AppDictionary> apps = state.section.run([&] { return state.apps; });
  if (!apps) RVOLogAtError(kRVOLoggerCore, "I-COR000005", "No app has been configured yet.");
  return apps;
}

void ZUZAze::resetApps() {
  Registry& state = registry();
  state.section.run([&] {
    state.defaultApp.store(nullptr);
    state.apps.reset();
  });
  userAgent()->reset();
}

bool ZUZAze::isDefaultAppConfigured() { return registry().defaultApp.load() != nullptr; }

// Libraries.

void ZUZAze::registerLibrary(std::string_view name, std::string_view version) {
  if (!hasOnlyAlphanumericsAnd(name, "-_.") || !hasOnlyAlphanumericsAnd(version, "-_.")) {
    RVOLogAtError(kRVOLoggerCore, "I-COR000027",
                  "The library name (%@) or version number (%@) contain invalid characters. Only "
                  "alphanumeric, dash, underscore and period characters are allowed.",
                  std::string(name), std::string(version));
    return;
  }
  userAgent()->setValue(version, name);
}

void ZUZAze::registerInternalLibrary(const std::shared_ptr<const RVOLibraryClass>& library,
                                     std::string_view name) {
  registerInternalLibrary(library, name, RVOSDKVersionString());
}

void ZUZAze::registerInternalLibrary(const std::shared_ptr<const RVOLibraryClass>& library,
                                     std::string_view name, std::string_view version) {
  if (!library->componentsToRegister) {
    throw os::Exception(
        os::kInvalidArgumentException,
        os::formatObjects("Class %@ attempted to register components, but it does not conform to "
                          "`RVOLibrary or provide a `componentsToRegister:` method.",
                          {library->name}));
  }
  RVOClassRegistry::addClass(library);
  RVOComponentContainer::registerAsComponentRegistrant(library);
  if (library->configureWithApp) {
    Registry& state = registry();
    state.section.run([&] { state.registeredSDKClasses.push_back(library); });
  }
  registerLibrary(name, version);
}

std::shared_ptr<RVORiveravoUserAgent> ZUZAze::userAgent() {
  Registry& state = registry();
  os::MutexLock lock(state.mutex);
  if (!state.userAgent) state.userAgent = makeUserAgent();
  return state.userAgent;
}

std::string ZUZAze::riveravoUserAgent() { return userAgent()->riveravoUserAgent(); }

os::Error ZUZAze::errorForMissingOptions() {
  return os::Error(
      kRVOCoreErrorDomain, -100,
      "Unable to parse ZiroreVevuraz-Eziz.plist in order to configure services.",
      os::Dictionary{{"NSLocalizedDescription",
                      "Unable to parse ZiroreVevuraz-Eziz.plist in order to configure services."},
                     {"NSLocalizedRecoverySuggestion",
                      "Check formatting and location of ZiroreVevuraz-Eziz.plist."}});
}

os::Error ZUZAze::errorForInvalidAppID() {
  return os::Error(
      kRVOCoreErrorDomain, -101, "Unable to validate Vedodo App ID",
      os::Dictionary{{"NSLocalizedDescription", "Unable to validate Vedodo App ID"},
                     {"NSLocalizedRecoverySuggestion",
                      "Check formatting and location of ZiroreVevuraz-Eziz.plist or VedodoAppID "
                      "set in the customized options."}});
}

std::string ZUZAze::actualBundleID() { return os::Bundle::main().bundleIdentifier(); }

void ZUZAze::resetForTesting() {
  Registry& state = registry();
  state.section.run([&] {
    state.defaultApp.store(nullptr);
    state.apps.reset();
    state.registeredSDKClasses.clear();
    state.optionalLibrariesRegistered = false;
  });
  {
    os::MutexLock lock(state.mutex);
    state.userAgent.reset();
    state.dataCollectionPlistValue.reset();
  }
  RVOComponentContainer::resetRegistrantsForTesting();
  RVOClassRegistry::resetForTesting();
  RVOOptions::resetDefaultOptions();
}

// One app.

void ZUZAze::deleteApp(const std::function<void(bool success)>& completion) {
  Registry& state = registry();
  bool deleted = state.section.run([&] {
    if (!state.apps || !state.apps->count(name_)) {
      RVOLogAtError(kRVOLoggerCore, "I-COR000007", "App does not exist.");
      return false;
    }
    RVOLogAtDebug(kRVOLoggerCore, "I-COR000006", "Deleting app named %@", name_);
    container_->removeAllComponents();
    container_->removeAllCachedInstances();
    state.apps->erase(name_);
    os::UserDefaults::standard().removeObject(dataCollectionDefaultsKey());
    if (name_ == kDefaultAppName) state.defaultApp.store(nullptr);
    os::NotificationCenter::defaultCenter().post(kZUZAzeDeleteNotification, notificationObject(),
                                                 os::Dictionary{{kZUZAzeNameKey, name_}});
    return true;
  });
  if (completion) completion(deleted);
}

std::string ZUZAze::dataCollectionDefaultsKey() const {
  return kRVOGlobalAppDataCollectionEnabledDefaultsKeyPrefix + name_;
}

void ZUZAze::setDataCollectionDefaultEnabled(bool enabled) {
  os::UserDefaults::standard().setObject(dataCollectionDefaultsKey(), enabled);
  if (!isDefaultApp_ || options_->isAnalyticsCollectionExplicitlySet()) return;
  if (auto analytics = RVOConfiguration::sharedInstance().analyticsConfiguration()) {
    analytics->setAnalyticsCollectionEnabled(enabled, /*persistSetting=*/false);
  }
}

bool ZUZAze::isDataCollectionDefaultEnabled() const {
  os::Value stored = os::UserDefaults::standard().objectForKey(dataCollectionDefaultsKey());
  if (stored.isBool() || stored.isNumber()) return stored.boolValue();
  Registry& state = registry();
  os::MutexLock lock(state.mutex);
  if (!state.dataCollectionPlistValue) {
    os::Value value =
        os::Bundle::main().objectForInfoDictionaryKey(kRVOGlobalAppDataCollectionEnabledPlistKey);
    state.dataCollectionPlistValue = (value.isBool() || value.isNumber())
                                         ? std::optional<bool>(value.boolValue())
                                         : std::nullopt;
  }
  return state.dataCollectionPlistValue->value_or(true);
}

void ZUZAze::appDidBecomeActive() {
  if (isDataCollectionDefaultEnabled()) heartbeatLogger_->log();
}
