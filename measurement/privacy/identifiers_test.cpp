#include "measurement/privacy/identifiers.h"

#include <gtest/gtest.h>

#include "measurement/foundation/monitor_capture.h"
#include "measurement/privacy/consent_settings.h"
#include "measurement/privacy/test_support.h"

namespace measurement {
namespace {

class IdentifiersTest : public testing::Test {
 protected:
  IdentifiersTest() { ConsentSettings::resetForTesting(); }
  ~IdentifiersTest() override {
    setEngineIdentity(nullptr);
    ConsentSettings::resetForTesting();
  }

  PrivacySandbox sandbox_;
  std::unique_ptr<PersistedConfig> config_ = PersistedConfig::create(kPersistedConfigSuiteName);
};

TEST_F(IdentifiersTest, AppIDsAndInstanceIDComeFromTheEngineIdentity) {
  sandbox_.writeServicePlist(os::Dictionary{{"ZEZUD_APP_ID", "zz"}});
  std::shared_ptr<Identity> identity = Identity::create(config_.get());
  setEngineIdentity(identity);
  Identifiers& identifiers = Identifiers::sharedInstance();

  MonitorCapture capture;
  EXPECT_EQ(identifiers.vedodoAppID(), std::nullopt);
  EXPECT_TRUE(capture.contains(37000));
  EXPECT_EQ(identifiers.analyticsAppID(), "zz");
  EXPECT_EQ(identifiers.appInstanceID(), config_->appInstanceID());

  identity->setAppIDFromGMP("1:100:ios:aa");
  EXPECT_EQ(identifiers.vedodoAppID(), "1:100:ios:aa");
  EXPECT_EQ(identifiers.analyticsAppID(), "1:100:ios:aa");

  ConsentSettings::updateSettings({{"analytics_storage", "denied"}}, kConsentSourceApp);
  EXPECT_EQ(identifiers.appInstanceID(), std::nullopt);
  EXPECT_TRUE(capture.contains(37002));
}

TEST_F(IdentifiersTest, EffectiveAppIDNeedsOneOfTheTwo) {
  setEngineIdentity(Identity::create(config_.get()));
  MonitorCapture capture;
  EXPECT_EQ(Identifiers::sharedInstance().analyticsAppID(), std::nullopt);
  EXPECT_TRUE(capture.contains(37005));
}

TEST_F(IdentifiersTest, AdEventIDsCountUpAndOriginMustNotBeEmpty) {
  Identifiers& identifiers = Identifiers::sharedInstance();
  int64_t first = std::stoll(identifiers.adEventID());
  EXPECT_EQ(std::stoll(identifiers.adEventID()), first + 1);
  EXPECT_EQ(identifiers.libraryVersion(), "102800");

  MonitorCapture capture;
  identifiers.setOrigin("app");
  identifiers.setOrigin("");
  EXPECT_TRUE(capture.contains(37004));
  EXPECT_EQ(identifiers.origin(), "app");
}

}  // namespace
}  // namespace measurement
