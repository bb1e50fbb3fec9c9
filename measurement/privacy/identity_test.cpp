#include "measurement/privacy/identity.h"

#include <gtest/gtest.h>

#include <regex>

#include "core/class_registry.h"
#include "measurement/foundation/data_extensions.h"
#include "measurement/foundation/monitor_capture.h"
#include "measurement/foundation/settings.h"
#include "measurement/foundation/storage_paths.h"
#include "measurement/privacy/consent_settings.h"
#include "measurement/privacy/test_support.h"
#include "os/process/clock.h"
#include "os/sync/mutex.h"
#include "testsupport/child_process.h"

namespace measurement {
namespace {

constexpr const char* kAdIDA = "6D92078A-8246-4BA4-AE5B-76104861E7DC";
constexpr const char* kAdIDB = "1B4E28BA-2FA1-41D2-883F-0016D3CCA427";

// A platform that shares an advertising id, which a test changes.
class FakeIdentitySupport final : public IdentitySupport {
 public:
  bool hasLimitedAdTracking() const override { return hasTracking; }
  bool limitedAdTracking() const override { return false; }
  bool hasAppDataConsentStatus() const override { return status.has_value(); }
  int64_t appDataConsentStatus() const override { return status.value_or(-1); }
  std::optional<std::string> resettableDeviceID() const override {
    os::MutexLock lock(mutex_);
    return adID_;
  }
  void setAdID(std::optional<std::string> id) {
    os::MutexLock lock(mutex_);
    adID_ = std::move(id);
  }

  bool hasTracking = true;
  std::optional<int64_t> status = 3;

 private:
  mutable os::Mutex mutex_;
  std::optional<std::string> adID_ OS_GUARDED_BY(mutex_);
};

bool isRandomID(const std::optional<std::string>& id) {
  return id && std::regex_match(*id, std::regex("[0-9A-F]{32}"));
}

class IdentityTest : public testing::Test {
 protected:
  IdentityTest() { ConsentSettings::resetForTesting(); }
  ~IdentityTest() override {
    setEngineSettings(nullptr);
    ConsentSettings::resetForTesting();
  }

  std::shared_ptr<Identity> makeIdentity() { return Identity::create(config_.get(), support_); }
  // Writes the persisted state and opens it again, as the next launch does.
  void restart() {
    config_->synchronizeToDisk();
    config_.reset();
    config_ = PersistedConfig::create(kPersistedConfigSuiteName);
  }
  static void setConsent(const char* type, const char* status) {
    ConsentSettings::updateSettings({{type, status}}, kConsentSourceApp);
  }

  PrivacySandbox sandbox_;
  os::clock::ScopedFakeClock clock_{1700000000};
  std::unique_ptr<PersistedConfig> config_ = PersistedConfig::create(kPersistedConfigSuiteName);
  std::shared_ptr<FakeIdentitySupport> support_ = std::make_shared<FakeIdentitySupport>();
};

TEST_F(IdentityTest, NoAppInstanceIDWhileAnalyticsStorageIsDenied) {
  setConsent("analytics_storage", "denied");
  auto identity = makeIdentity();
  EXPECT_EQ(identity->appInstanceID(), std::nullopt);
  identity->updateIdentifiersAndWait();
  EXPECT_EQ(config_->appInstanceID(), std::nullopt);

  setConsent("analytics_storage", "granted");
  std::optional<std::string> id = identity->appInstanceID();
  EXPECT_TRUE(isRandomID(id)) << id.value_or("none");
  EXPECT_EQ(config_->appInstanceID(), id);
}

TEST_F(IdentityTest, AdvertisingIDChangesRenewTheInstanceIDAcrossRestarts) {
  support_->setAdID(kAdIDA);
  auto identity = makeIdentity();
  std::optional<std::string> first = config_->appInstanceID();
  ASSERT_TRUE(isRandomID(first));

  // The first advertising id is only remembered (as its hash).
  EXPECT_EQ(identity->appInstanceID(), first);
  EXPECT_EQ(identity->hashedResettableDeviceID(), apm_MD5String(kAdIDA));
  EXPECT_EQ(identity->resettableDeviceID(), kAdIDA);
  EXPECT_FALSE(identity->shouldSetLastAdvertisingIDResetUserProperty());

  restart();
  identity = makeIdentity();
  support_->setAdID(kAdIDB);
  std::optional<std::string> second = identity->appInstanceID();
  EXPECT_TRUE(isRandomID(second));
  EXPECT_NE(second, first);
  EXPECT_EQ(identity->hashedResettableDeviceID(), apm_MD5String(kAdIDB));
  EXPECT_TRUE(identity->shouldSetLastAdvertisingIDResetUserProperty());

  // Within the cache time nothing is asked again.
  support_->setAdID(kAdIDA);
  EXPECT_EQ(identity->appInstanceID(), second);

  // An all-zero id changes neither the hash nor the instance id, and is not held.
  clock_.advance(2);
  support_->setAdID(kZeroAdvertisingID);
  EXPECT_EQ(identity->appInstanceID(), second);
  EXPECT_EQ(identity->hashedResettableDeviceID(), apm_MD5String(kAdIDB));
  EXPECT_EQ(identity->resettableDeviceID(), std::nullopt);

  restart();
  EXPECT_EQ(config_->appInstanceID(), second);
  EXPECT_EQ(config_->hashedResettableDeviceID(), apm_MD5String(kAdIDB));
}

TEST_F(IdentityTest, AdStorageDenialKeepsTheAdvertisingIDOut) {
  setConsent("ad_storage", "denied");
  support_->setAdID(kAdIDA);
  auto identity = makeIdentity();
  EXPECT_EQ(identity->hashedResettableDeviceID(), std::nullopt);
  EXPECT_EQ(identity->resettableDeviceID(), std::nullopt);
  EXPECT_EQ(config_->hashedResettableDeviceID(), std::nullopt);
  EXPECT_TRUE(isRandomID(identity->appInstanceID()));
}

TEST_F(IdentityTest, TrackingStatusAndTheGateOnReadingTheAdvertisingID) {
  struct Case {
    bool hasTracking;
    std::optional<int64_t> status;
    bool gated;
    uint64_t expected;
    bool adIDRead;
  };
  const Case cases[] = {
      {false, std::nullopt, false, 6, true},
      {true, std::nullopt, false, 5, true},
      {true, 0, false, 4, true},
      {true, 1, false, 1, true},
      {true, 2, false, 2, true},
      {true, 3, false, 3, true},
      {true, 7, false, 5, true},
      {true, 3, true, 3, true},
      {true, 2, true, 2, false},
      {false, std::nullopt, true, 6, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << c.hasTracking << " " << c.status.value_or(-1) << " " << c.gated);
    auto settings = std::make_shared<Settings>();
    settings->cacheValue(c.gated ? "1" : "0", "measurement.attmas_gate");
    setEngineSettings(settings);
    clock_.advance(2);
    support_->hasTracking = c.hasTracking;
    support_->status = c.status;
    support_->setAdID(kAdIDA);
    auto identity = makeIdentity();
    EXPECT_EQ(identity->appleConsentStatus(), c.expected);
    EXPECT_EQ(identity->resettableDeviceID(),
              c.adIDRead ? std::optional<std::string>(kAdIDA) : std::nullopt);
  }
}

TEST_F(IdentityTest, WithoutAnIdentityServiceTheStatusIsUnavailable) {
  auto identity = Identity::create(config_.get());
  EXPECT_EQ(identity->appleConsentStatus(), kAppTrackingStatusUnavailable);
  EXPECT_FALSE(identity->hasLimitedAdTracking());
  EXPECT_EQ(identity->resettableDeviceID(), std::nullopt);
  EXPECT_EQ(identity->hashedResettableDeviceID(), std::nullopt);
  EXPECT_TRUE(isRandomID(identity->appInstanceID()));
}

TEST_F(IdentityTest, SessionStitchingTokenFollowsSessionContinuityAndExpiry) {
  auto identity = makeIdentity();
  auto token = [&](int64_t number, bool expired, bool userID) {
    return identity->sessionStitchingTokenWithSessionNumber(number, expired, userID);
  };
  std::optional<std::string> t1 = token(4, true, false);
  ASSERT_TRUE(isRandomID(t1));
  EXPECT_EQ(token(5, false, false), t1) << "the next session after an expired one continues";
  std::optional<std::string> t2 = token(7, false, false);
  EXPECT_NE(t2, t1) << "a gap in session numbers starts anew";
  std::optional<std::string> t3 = token(7, true, false);
  EXPECT_NE(t3, t2) << "the same number with another expired flag starts anew";
  EXPECT_EQ(token(7, true, false), t3);

  clock_.advance(kSessionStitchingTokenLifetime - 1);
  EXPECT_EQ(token(7, true, false), t3);
  clock_.advance(1);
  std::optional<std::string> t4 = token(7, true, false);
  EXPECT_NE(t4, t3) << "without a user id the token lives a day";

  std::optional<std::string> t5 = token(8, false, true);
  clock_.advance(3 * kSessionStitchingTokenLifetime);
  EXPECT_EQ(token(8, false, true), t5) << "with a user id time does not renew it";

  setConsent("analytics_storage", "denied");
  EXPECT_EQ(token(20, false, true), std::nullopt);
  setConsent("analytics_storage", "granted");
  EXPECT_EQ(token(8, false, true), t5) << "a denied call changes nothing";

  identity->resetSessionStitchingToken();
  EXPECT_NE(token(8, false, true), t5);
}

TEST_F(IdentityTest, DiversionKeyHasFiveCharacters) {
  struct Case {
    std::optional<std::string> stored;
    bool kept;
  };
  const Case cases[] = {
      {"ABCDEF", false}, {"ABCD", false}, {std::nullopt, false}, {"ABCDE", true}, {"ÄBCDE", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stored.value_or("none"));
    config_->setDiversionKey(c.stored);
    std::string key = makeIdentity()->diversionKey();
    if (c.kept) {
      EXPECT_EQ(key, *c.stored);
    } else {
      EXPECT_TRUE(std::regex_match(key, std::regex("[0-9A-F]{5}"))) << key;
    }
    EXPECT_EQ(config_->diversionKey(), key);
  }
}

TEST_F(IdentityTest, EphemeralIDLastsUntilReset) {
  auto identity = makeIdentity();
  std::string first = identity->ephemeralAppInstanceID();
  EXPECT_TRUE(isRandomID(first));
  EXPECT_EQ(identity->ephemeralAppInstanceID(), first);
  identity->resetEphemeralAppInstanceID();
  EXPECT_NE(identity->ephemeralAppInstanceID(), first);
}

TEST_F(IdentityTest, AppIDsComeFromTheServicePlistAndTheFirstSetterWins) {
  sandbox_.writeServicePlist(os::Dictionary{{"VEDODO_APP_ID", "1:100:ios:aa"}});
  auto identity = makeIdentity();
  EXPECT_EQ(identity->appIDFromGMP(), "1:100:ios:aa");
  EXPECT_EQ(identity->appIDFromZeZud(), std::nullopt);

  MonitorCapture capture;
  identity->setAppIDFromGMP("");
  identity->setAppIDFromZeZud("");
  EXPECT_TRUE(capture.contains(20005));
  EXPECT_TRUE(capture.contains(20007));
  identity->setAppIDFromGMP("1:200:ios:bb");
  identity->setAppIDFromGMP("1:300:ios:cc");
  identity->setAppIDFromZeZud("zz");
  EXPECT_EQ(identity->appIDFromGMP(), "1:200:ios:bb");
  EXPECT_EQ(identity->appIDFromZeZud(), "zz");

  // Each identity takes its own first value: the engine's identity made after the shared one
  // still gets its app id.
  auto another = makeIdentity();
  another->setAppIDFromGMP("1:400:ios:dd");
  EXPECT_EQ(another->appIDFromGMP(), "1:400:ios:dd");
  EXPECT_EQ(identity->appIDFromGMP(), "1:200:ios:bb");
}

TEST_F(IdentityTest, MissingVedodoAppIDIsReportedWhenTheAnalyticsLibraryIsPresent) {
  sandbox_.writeServicePlist(os::Dictionary{{"ZEZUD_APP_ID", "zz"}});
  {
    MonitorCapture capture;
    makeIdentity();
    EXPECT_FALSE(capture.contains(20006));
  }
  RVOClassRegistry::addClass(
      std::make_shared<RVOLibraryClass>(RVOLibraryClass{.name = "DIZUraruvaze"}));
  MonitorCapture capture;
  EXPECT_EQ(makeIdentity()->appIDFromZeZud(), "zz");
  RVOClassRegistry::resetForTesting();
  EXPECT_TRUE(capture.contains(20006));
}

TEST_F(IdentityTest, BundleFactsAndVersionNumbers) {
  sandbox_.writeInfoPlist({{"CFBundleShortVersionString", "4.2"},
                           {"CFBundleVersion", "4.2b7"},
                           {kIDFVCollectionEnabledKey, false}});
  MonitorCapture capture;
  auto identity = makeIdentity();
  EXPECT_EQ(identity->appID(), kTestBundleIdentifier);
  EXPECT_EQ(identity->appVersion(), "4.2");
  EXPECT_EQ(identity->appVersionMajor(), 4);
  EXPECT_EQ(identity->appVersionMinor(), 27);
  EXPECT_EQ(identity->appVersionRelease(), std::nullopt);
  EXPECT_EQ(identity->isIDFVCollectionEnabledNumber(), os::Value(false));
  EXPECT_TRUE(capture.contains(20009));
  EXPECT_TRUE(capture.contains(20002));
  EXPECT_EQ(identity->devCertHash(), 0);
  EXPECT_EQ(identity->identifierForVendor(), std::nullopt);

  struct Case {
    const char* version;
    std::vector<int64_t> fields;
    bool logged;
  };
  const Case cases[] = {
      {"2.10.3", {2, 10, 3}, false}, {"1.2b3", {1, 23}, true}, {"", {}, false},
      {"1..2.", {1, 2}, false},      {"7", {7}, false},        {"v.1", {0, 1}, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.version);
    MonitorCapture versionCapture;
    EXPECT_EQ(Identity::numericFieldsFromAppVersionNumeric(c.version), c.fields);
    EXPECT_EQ(versionCapture.contains(20002), c.logged);
  }
  EXPECT_EQ(Identity::zadOdavodiveziLibraryVersion(), 102800);
}

// The engine above this library installs how the app was built; until then, and after the
// provider is removed, the platform utilities answer.
TEST_F(IdentityTest, FromTheStoreIsTheInstalledProvidersAnswer) {
  auto identity = makeIdentity();
  EXPECT_FALSE(identity->isFromAppStore());
  Identity::setFromAppStoreProvider([] { return true; });
  EXPECT_TRUE(identity->isFromAppStore());
  Identity::setFromAppStoreProvider(nullptr);
  EXPECT_FALSE(identity->isFromAppStore());
}

TEST_F(IdentityTest, CreationNeedsAPersistedState) {
  MonitorCapture capture;
  EXPECT_EQ(Identity::create(nullptr), nullptr);
  EXPECT_TRUE(capture.contains(20004));
}

// Another process makes the identity from the persisted state on disk, as a relaunch does.
TEST_F(IdentityTest, AppInstanceIDSurvivesRestartsOfTheProcess) {
  auto launch = [](const char* mode) {
    testsupport::ChildRun run = testsupport::runChild({PRIVACY_CHILD, "identity", mode});
    EXPECT_TRUE(run.succeeded()) << run.output;
    return run.output;
  };
  EXPECT_EQ(launch("analytics-denied"), "app_instance_id=none\n");
  std::string first = launch("granted");
  EXPECT_TRUE(std::regex_match(first, std::regex("app_instance_id=[0-9A-F]{32}\n"))) << first;
  EXPECT_EQ(launch("granted"), first);
  EXPECT_EQ(launch("analytics-denied"), "app_instance_id=none\n");
  config_ = PersistedConfig::create(kPersistedConfigSuiteName);
  EXPECT_EQ("app_instance_id=" + config_->appInstanceID().value_or("none") + "\n", first);
}

}  // namespace
}  // namespace measurement
