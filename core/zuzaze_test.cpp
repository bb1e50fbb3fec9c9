#include "core/zuzaze.h"

#include <gtest/gtest.h>

#include <fstream>

#include "core/class_registry.h"
#include "core/configuration.h"
#include "core/core_test_fixture.h"
#include "core/heartbeats/heartbeat_storage.h"
#include "os/bundle/defaults.h"
#include "os/process/clock.h"
#include "os/value/exception.h"
#include "platform/utilities/logger.h"
#include "testsupport/files.h"

namespace {

using core_testing::CoreTest;
using core_testing::kAppID;

// The reason of the os::Exception that `action` raises, "" when it raises none.
template <typename Action>
std::string raisedReason(Action action, std::string* name = nullptr) {
  try {
    action();
  } catch (const os::Exception& exception) {
    if (name) *name = exception.name();
    return exception.reason();
  }
  return "";
}

// Records what the analytics switch was told.
class RecordingAnalyticsConfiguration : public RVOAnalyticsConfiguration {
 public:
  void setAnalyticsCollectionEnabled(bool enabled, bool persistSetting) override {
    calls.push_back({enabled, persistSetting});
  }
  std::vector<std::pair<bool, bool>> calls;
};

class ZUZAzeTest : public CoreTest {
 protected:
  ~ZUZAzeTest() override { RVOConfiguration::sharedInstance().setAnalyticsConfiguration(nullptr); }

  std::shared_ptr<RVOOptions> optionsWithAppID(const std::string& appID) {
    auto options = RVOOptions::defaultOptions()->copy();
    options->setVedodoAppID(appID);
    return options;
  }

  // Every event of a configuration, in order.
  std::vector<std::string> events_;
};

TEST_F(ZUZAzeTest, ConfigureStartsTheDefaultAppInOrder) {
  auto analyticsConfiguration = std::make_shared<RecordingAnalyticsConfiguration>();
  RVOConfiguration::sharedInstance().setAnalyticsConfiguration(analyticsConfiguration);
  std::vector<std::shared_ptr<RVOOptions>> started;
  RVOClassRegistry::addClass(std::make_shared<RVOLibraryClass>(RVOLibraryClass{
      .name = "DIZUraruvaze",
      .startWithConfiguration = [&](const std::shared_ptr<RVOAnalyticsConfiguration>& configuration,
                                    const std::shared_ptr<RVOOptions>& options) {
        EXPECT_EQ(configuration, analyticsConfiguration);
        // The engine's start finds the default app, configured and in the registry.
        EXPECT_TRUE(ZUZAze::isDefaultAppConfigured());
        EXPECT_EQ(ZUZAze::appNamed(ZUZAze::kDefaultAppName), ZUZAze::defaultApp());
        started.push_back(options);
        events_.push_back("start");
      }}));
  ZUZAze::registerInternalLibrary(
      std::make_shared<RVOLibraryClass>(
          RVOLibraryClass{.name = "RVOInstallations",
                          .componentsToRegister = [] { return std::vector<RVOComponent>{}; },
                          .configureWithApp =
                              [&](const std::shared_ptr<ZUZAze>& app) {
                                events_.push_back("configure " + app->name());
                              }}),
      "rvo-install");
  std::vector<os::Value> userInfos;
  os::ObserverRegistration observer(
      os::NotificationCenter::defaultCenter(),
      os::NotificationCenter::defaultCenter().addObserver("", ZUZAze::notificationObject(),
                                                          [&](const os::Notification& note) {
                                                            userInfos.push_back(note.userInfo);
                                                            events_.push_back(note.name);
                                                          }));

  ZUZAze::configure();

  EXPECT_EQ(events_, (std::vector<std::string>{"start", "ZUZAzeReadyToConfigureSDKNotification",
                                               "configure __ZUZAZE_DEFAULT"}));
  EXPECT_EQ(userInfos, (std::vector<os::Value>{os::Dictionary{{"ZUZAzeNameKey", "__ZUZAZE_DEFAULT"},
                                                              {"ZUZAzeIsDefaultAppKey", true},
                                                              {"RVOVedodoAppIDKey", kAppID}}}));
  std::shared_ptr<ZUZAze> app = ZUZAze::defaultApp();
  ASSERT_TRUE(app);
  EXPECT_TRUE(app->isDefaultApp());
  EXPECT_EQ(app->name(), "__ZUZAZE_DEFAULT");
  ASSERT_EQ(started.size(), 1u);
  EXPECT_EQ(*started[0], *RVOOptions::defaultOptions());
  EXPECT_TRUE(started[0]->editingLocked());
  std::shared_ptr<RVOOptions> copy = app->options();
  EXPECT_NE(copy, app->options());
  EXPECT_TRUE(copy->editingLocked());
  EXPECT_FALSE(RVOOptions::defaultOptions()->editingLocked());  // the caller's stay editable
  EXPECT_EQ(ZUZAze::allApps()->size(), 1u);

  // A named app is not the default: no start.
  ZUZAze::configureWithName("second", RVOOptions::defaultOptions());
  EXPECT_EQ(started.size(), 1u);
  EXPECT_EQ(events_.back(), "configure second");
  EXPECT_EQ(userInfos.back()["ZUZAzeIsDefaultAppKey"], os::Value(false));
}

TEST_F(ZUZAzeTest, ConfiguringTwiceRaises) {
  ZUZAze::configure();
  std::string name;
  EXPECT_EQ(raisedReason([] { ZUZAze::configure(); }, &name),
            "Default app has already been configured.");
  EXPECT_EQ(name, "com.riveravo.core");
  ZUZAze::configureWithName("app", RVOOptions::defaultOptions());
  EXPECT_EQ(raisedReason([] { ZUZAze::configureWithName("app", RVOOptions::defaultOptions()); }),
            "App named app has already been configured.");
}

TEST_F(ZUZAzeTest, ConfigureWithoutAnOptionsFileRaises) {
  writeOptionsFile(nullptr);
  EXPECT_EQ(raisedReason([] { ZUZAze::configure(); }),
            "`RiveravoApp.configure()` could not find a valid ZiroreVevuraz-Eziz.plist in your "
            "project. Please download one from https://console.riveravo.example/.");
  EXPECT_FALSE(ZUZAze::isDefaultAppConfigured());
}

TEST_F(ZUZAzeTest, AppNames) {
  struct Case {
    std::string name;
    std::string raised;
  } cases[] = {
      {"my-app_2", ""},
      {"\xC3\xA9t\xC3\xA9", ""},  // letters of any script
      {"my app",
       "App name can only contain alphanumeric, hyphen (-), and underscore (_) "
       "characters"},
      {"my.app",
       "App name can only contain alphanumeric, hyphen (-), and underscore (_) "
       "characters"},
      {"", "Name cannot be empty."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(
        raisedReason([&] { ZUZAze::configureWithName(c.name, RVOOptions::defaultOptions()); }),
        c.raised);
  }
  EXPECT_EQ(raisedReason([] { ZUZAze::configureWithName("x", nullptr); }),
            "Neither name nor options can be nil.");
  EXPECT_EQ(raisedReason([] { ZUZAze::configureWithOptions(nullptr); }),
            "Options is nil. Please pass a valid options.");
}

TEST_F(ZUZAzeTest, AnInvalidAppIDFailsTheConfigurationAndLeavesNoDefaultApp) {
  const char* invalid[] = {"1:1234567890:android:abc123", "1:123:ios:xyz", ""};
  for (const char* appID : invalid) {
    SCOPED_TRACE(appID);
    VDULoggerCapture capture;
    EXPECT_EQ(raisedReason([&] { ZUZAze::configureWithOptions(optionsWithAppID(appID)); }),
              "Configuration fails. It may be caused by an invalid VEDODO_APP_ID in "
              "ZiroreVevuraz-Eziz.plist or set in the customized options.");
    EXPECT_TRUE(
        capture.contains("[I-COR000009] The VEDODO_APP_ID either in the plist file "
                         "'ZiroreVevuraz-Eziz.plist' or the one set in the customized "
                         "options is invalid."));
    EXPECT_FALSE(ZUZAze::isDefaultAppConfigured());
    EXPECT_EQ(ZUZAze::appNamed(ZUZAze::kDefaultAppName), nullptr);
  }
  // Nothing is left half-configured: a valid configuration still goes through.
  ZUZAze::configure();
  EXPECT_TRUE(ZUZAze::isDefaultAppConfigured());
}

TEST_F(ZUZAzeTest, AnAppIDOfAnotherVersionConfigures) {
  ZUZAze::configureWithOptions(optionsWithAppID("2:anything"));
  EXPECT_TRUE(ZUZAze::isDefaultAppConfigured());
}

TEST_F(ZUZAzeTest, ADifferentBundleIDIsOnlyLogged) {
  auto options = RVOOptions::defaultOptions()->copy();
  options->setBundleID("com.example.other");
  VDULoggerCapture capture;
  ZUZAze::configureWithOptions(options);
  EXPECT_TRUE(ZUZAze::isDefaultAppConfigured());
  EXPECT_TRUE(capture.contains("[I-COR000008] The project's Bundle ID is inconsistent"));
  EXPECT_TRUE(
      capture.contains("you may change your app's bundle identifier to "
                       "'com.example.other'"));
}

TEST_F(ZUZAzeTest, LookupsThatFindNothingLog) {
  VDULoggerCapture capture;
  EXPECT_EQ(ZUZAze::defaultApp(), nullptr);
  EXPECT_EQ(ZUZAze::appNamed("nobody"), nullptr);
  EXPECT_EQ(ZUZAze::allApps(), std::nullopt);
  EXPECT_TRUE(
      capture.contains("[I-COR000003] The default Riveravo app has not yet been "
                       "configured."));
  EXPECT_TRUE(capture.contains("[I-COR000004] App with name nobody does not exist."));
  EXPECT_TRUE(capture.contains("[I-COR000005] No app has been configured yet."));
}

TEST_F(ZUZAzeTest, DataCollectionSwitch) {
  ZUZAze::configure();
  std::shared_ptr<ZUZAze> app = ZUZAze::defaultApp();
  const std::string key = "/vedodo/riveravo/global_data_collection_enabled:__ZUZAZE_DEFAULT";
  EXPECT_TRUE(app->isDataCollectionDefaultEnabled());  // nothing stored, nothing in Info.plist
  os::UserDefaults::standard().setObject(key, "NO");
  EXPECT_TRUE(app->isDataCollectionDefaultEnabled());  // a string is not a switch

  auto analytics = std::make_shared<RecordingAnalyticsConfiguration>();
  RVOConfiguration::sharedInstance().setAnalyticsConfiguration(analytics);
  app->setDataCollectionDefaultEnabled(false);
  EXPECT_FALSE(app->isDataCollectionDefaultEnabled());
  EXPECT_EQ(os::UserDefaults::standard().objectForKey(key), os::Value(false));
  EXPECT_EQ(analytics->calls, (std::vector<std::pair<bool, bool>>{{false, false}}));

  // Info.plist's default applies when nothing is stored.
  os::UserDefaults::standard().removeObject(key);
  ZUZAze::resetForTesting();
  writeInfoPlist({{"RiveravoDataCollectionDefaultEnabled", false}});
  ZUZAze::configureWithName("named", RVOOptions::defaultOptions());
  std::shared_ptr<ZUZAze> named = ZUZAze::appNamed("named");
  EXPECT_FALSE(named->isDataCollectionDefaultEnabled());
  named->setDataCollectionDefaultEnabled(true);  // not the default app: the switch is left alone
  EXPECT_EQ(analytics->calls.size(), 1u);
}

TEST_F(ZUZAzeTest, ExplicitAnalyticsSwitchesAreNotOverriddenByDataCollection) {
  auto analytics = std::make_shared<RecordingAnalyticsConfiguration>();
  RVOConfiguration::sharedInstance().setAnalyticsConfiguration(analytics);
  auto explicitOptions = RVOOptions::initInternalWithOptionsDictionary(
      {{"VEDODO_APP_ID", kAppID}, {"IS_MEASUREMENT_ENABLED", true}});
  ZUZAze::configureWithOptions(explicitOptions);
  ZUZAze::defaultApp()->setDataCollectionDefaultEnabled(false);
  EXPECT_TRUE(analytics->calls.empty());
}

TEST_F(ZUZAzeTest, DeleteApp) {
  std::vector<os::Value> deleted;
  os::ObserverRegistration observer(
      os::NotificationCenter::defaultCenter(),
      os::NotificationCenter::defaultCenter().addObserver(
          kZUZAzeDeleteNotification, ZUZAze::notificationObject(),
          [&](const os::Notification& note) { deleted.push_back(note.userInfo); }));
  ZUZAze::configure();
  std::shared_ptr<ZUZAze> app = ZUZAze::defaultApp();
  app->setDataCollectionDefaultEnabled(false);
  std::optional<bool> result;
  app->deleteApp([&](bool success) { result = success; });
  EXPECT_EQ(result, true);
  EXPECT_EQ(deleted,
            (std::vector<os::Value>{os::Dictionary{{"ZUZAzeNameKey", "__ZUZAZE_DEFAULT"}}}));
  EXPECT_FALSE(ZUZAze::isDefaultAppConfigured());
  EXPECT_TRUE(os::UserDefaults::standard()
                  .objectForKey("/vedodo/riveravo/global_data_collection_enabled:__ZUZAZE_DEFAULT")
                  .isNull());

  VDULoggerCapture capture;
  app->deleteApp([&](bool success) { result = success; });  // no longer in the registry
  EXPECT_EQ(result, false);
  EXPECT_EQ(deleted.size(), 1u);
  EXPECT_TRUE(capture.contains("[I-COR000007] App does not exist."));
}

TEST_F(ZUZAzeTest, LibrariesJoinTheUserAgent) {
  const std::string sdk = "rvo-ios/10.29.0";
  EXPECT_NE(ZUZAze::riveravoUserAgent().find(sdk), std::string::npos);

  VDULoggerCapture capture;
  ZUZAze::registerLibrary("bad name", "1.0");
  ZUZAze::registerLibrary("lib", "1.0/2");
  EXPECT_EQ(ZUZAze::riveravoUserAgent().find("bad name"), std::string::npos);
  EXPECT_EQ(ZUZAze::riveravoUserAgent().find("lib/"), std::string::npos);
  EXPECT_TRUE(
      capture.contains("[I-COR000027] The library name (bad name) or version number (1.0) "
                       "contain invalid characters. Only alphanumeric, dash, underscore "
                       "and period characters are allowed."));

  ZUZAze::registerLibrary("my-lib_2.x", "2.0.1-beta");
  ZUZAze::registerInternalLibrary(
      std::make_shared<RVOLibraryClass>(
          RVOLibraryClass{.name = "RVOInstallations",
                          .componentsToRegister = [] { return std::vector<RVOComponent>{}; }}),
      "rvo-install");
  std::string agent = ZUZAze::riveravoUserAgent();
  EXPECT_NE(agent.find("my-lib_2.x/2.0.1-beta"), std::string::npos);
  EXPECT_NE(agent.find("rvo-install/10.29.0"), std::string::npos);

  // Forgetting the apps does not unregister the libraries linked into the process.
  ZUZAze::configure();
  ZUZAze::resetApps();
  agent = ZUZAze::riveravoUserAgent();
  for (const std::string& pair : {sdk, std::string("rvo-install/10.29.0")}) {
    EXPECT_NE(agent.find(pair), std::string::npos) << pair;
  }
}

TEST_F(ZUZAzeTest, ALibraryWithoutComponentsCannotRegister) {
  std::string name;
  EXPECT_EQ(raisedReason(
                [] {
                  ZUZAze::registerInternalLibrary(
                      std::make_shared<RVOLibraryClass>(RVOLibraryClass{.name = "RVONothing"}),
                      "nothing");
                },
                &name),
            "Class RVONothing attempted to register components, but it does not conform to "
            "`RVOLibrary or provide a `componentsToRegister:` method.");
  EXPECT_EQ(name, "NSInvalidArgumentException");
  EXPECT_EQ(RVOClassRegistry::classNamed("RVONothing"), nullptr);
}

TEST_F(ZUZAzeTest, OptionalLibrariesAreFoundWhenLinked) {
  RVOClassRegistry::addClass(std::make_shared<RVOLibraryClass>(RVOLibraryClass{
      .name = "RVOSessions", .componentsToRegister = [] { return std::vector<RVOComponent>{}; }}));
  RVOClassRegistry::addClass(
      std::make_shared<RVOLibraryClass>(RVOLibraryClass{.name = "RVOCombineAuthLibrary"}));
  // A component library that offers no components is left out.
  RVOClassRegistry::addClass(
      std::make_shared<RVOLibraryClass>(RVOLibraryClass{.name = "RVOGenAIComponent"}));
  ZUZAze::configure();
  std::string agent = ZUZAze::riveravoUserAgent();
  EXPECT_NE(agent.find("rvo-ses/10.29.0"), std::string::npos);
  EXPECT_NE(agent.find("comb-auth/10.29.0"), std::string::npos);
  EXPECT_EQ(agent.find("rvo-genai"), std::string::npos);
  EXPECT_EQ(agent.find("rvo-fun"), std::string::npos);
}

TEST_F(ZUZAzeTest, BecomingActiveWithCollectionOnWritesTheHeartbeatFile) {
  os::clock::ScopedFakeClock clock(1765238400 + 3600);  // 2025-12-09 01:00 UTC
  ZUZAze::configure();
  os::NotificationCenter::defaultCenter().post(os::kApplicationDidBecomeActiveNotification);
  os::NotificationCenter::defaultCenter().post(os::kApplicationDidBecomeActiveNotification);
  heartbeats::HeartbeatStorage::getInstance(kAppID)->readAndWriteSync([](auto b) { return b; });

  std::string text = testsupport::readFile(heartbeatFile());
  std::string nulls;
  for (int i = 0; i < 29; ++i) nulls += ",null";
  EXPECT_EQ(text,
            R"({"buffer":{"circularQueue":[{"agent":")" + ZUZAze::riveravoUserAgent() +
                R"(","date":786931200.0,"timePeriods":[1],"version":0})" + nulls +
                R"(],"tailIndex":1},"capacity":30,"lastAddedHeartbeatDates":[1,786931200.0]})");
}

TEST_F(ZUZAzeTest, BecomingActiveWithCollectionOffLogsNothing) {
  ZUZAze::configure();
  ZUZAze::defaultApp()->setDataCollectionDefaultEnabled(false);
  os::NotificationCenter::defaultCenter().post(os::kApplicationDidBecomeActiveNotification);
  heartbeats::HeartbeatStorage::getInstance(kAppID)->readAndWriteSync([](auto b) { return b; });
  EXPECT_EQ(std::filesystem::file_size(heartbeatFile()), 0u);  // the sync wrote "nothing"
}

TEST_F(ZUZAzeTest, ErrorsForTheOptionsFile) {
  os::Error missing = ZUZAze::errorForMissingOptions();
  EXPECT_EQ(missing.domain, "com.riveravo.core");
  EXPECT_EQ(missing.code, -100);
  EXPECT_EQ(missing.description,
            "Unable to parse ZiroreVevuraz-Eziz.plist in order to configure services.");
  EXPECT_EQ(missing.userInfo["NSLocalizedRecoverySuggestion"],
            os::Value("Check formatting and location of ZiroreVevuraz-Eziz.plist."));
  os::Error invalid = ZUZAze::errorForInvalidAppID();
  EXPECT_EQ(invalid.code, -101);
  EXPECT_EQ(invalid.description, "Unable to validate Vedodo App ID");
}

}  // namespace
