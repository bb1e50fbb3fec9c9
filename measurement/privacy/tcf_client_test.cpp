#include "measurement/privacy/tcf_client.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "measurement/model/error_parameters.h"
#include "measurement/privacy/consent_settings.h"
#include "measurement/privacy/test_support.h"
#include "os/sync/mutex.h"
#include "testsupport/child_process.h"

namespace measurement {
namespace {

// Vendor 755 consented (or not), at the end of a string of 755 vendors.
std::string vendors(bool vedodo) { return std::string(754, '1') + (vedodo ? "1" : "0"); }

// Every value that lets TCF data apply, with all seven purposes consented.
const std::vector<std::pair<const char*, os::Value>> kApplyingValues = {
    {kIABTCFCmpSdkIDKey, 300},
    {kIABTCFPolicyVersionKey, 4},
    {kIABTCFGdprAppliesKey, 1},
    {kIABTCFEnableAdvertiserConsentModeKey, 1},
    {kIABTCFVendorConsentsKey, vendors(true)},
    {kIABTCFPurposeConsentsKey, "1111111"},
};

os::Dictionary tcfConsent(const char* adStorage, const char* adPersonalization,
                          const char* adUserData) {
  return {{"ad_storage", adStorage},
          {"ad_personalization", adPersonalization},
          {"ad_user_data", adUserData}};
}

class TcfClientTest : public testing::Test {
 protected:
  TcfClientTest() {
    ConsentSettings::resetForTesting();
    setInternalEventLogger(
        [this](std::string_view origin, std::string_view name, Parameters parameters) {
          ASSERT_EQ(origin, "auto");
          ASSERT_EQ(name, "_tcf");
          ASSERT_EQ(parameters.size(), 1u);
          os::MutexLock lock(mutex_);
          events_.push_back(*parameters.at("_tcfd").stringValue());
        });
  }
  ~TcfClientTest() override {
    setInternalEventLogger(nullptr);
    ConsentSettings::resetForTesting();
  }

  // A client over the application's preferences that records the consent it hands on.
  std::unique_ptr<TcfClient> makeClient() {
    return std::make_unique<TcfClient>(
        [this](const os::Dictionary& consent, std::string_view key) {
          consents_.emplace_back(consent, std::string(key));
        },
        appDefaults_);
  }
  // Writes "KEY=i:5", "KEY=s:text" or "KEY=-" into the application's preferences file from
  // another process, as a consent-management platform does.
  static void writeFromAnotherProcess(const std::vector<std::string>& assignments) {
    std::vector<std::string> command = {PRIVACY_CHILD, "defaults"};
    command.insert(command.end(), assignments.begin(), assignments.end());
    testsupport::ChildRun run = testsupport::runChild(command);
    ASSERT_TRUE(run.succeeded()) << run.output;
  }
  void writeHere(const std::vector<std::pair<const char*, os::Value>>& values) {
    for (const auto& [key, value] : values) appDefaults_.setObject(value, key);
  }
  std::vector<std::string> events() {
    os::MutexLock lock(mutex_);
    return events_;
  }
  static os::Value storedCopy() { return PreferencesSandbox::onDisk(kTcfSuiteName); }

  PrivacySandbox sandbox_;
  MeasurementUserDefaults appDefaults_;
  std::vector<std::pair<os::Dictionary, std::string>> consents_;
  os::Mutex mutex_;
  std::vector<std::string> events_ OS_GUARDED_BY(mutex_);
};

TEST_F(TcfClientTest, WithoutTcfValuesNothingIsReportedStoredOrApplied) {
  auto client = makeClient();
  client->setConsentFromTCFData();
  EXPECT_EQ(client->stringRepresentationFromTCFData(), "isTCFDataEnabled=1");
  EXPECT_TRUE(client->persistedValuesEqualCurrentData());
  EXPECT_TRUE(events().empty());
  EXPECT_TRUE(consents_.empty());
  EXPECT_TRUE(storedCopy().isNull());
}

TEST_F(TcfClientTest, ValuesWrittenByAnotherProcessAreReportedOnceStoredAndApplied) {
  auto client = makeClient();
  writeFromAnotherProcess({"IABTCF_CmpSdkID=i:300", "IABTCF_PolicyVersion=i:4",
                           "IABTCF_gdprApplies=i:1", "IABTCF_EnableAdvertiserConsentMode=i:1",
                           "IABTCF_VendorConsents=s:" + vendors(true),
                           "IABTCF_PurposeConsents=s:1111111"});
  client->setConsentFromTCFData();
  const std::string representation =
      "isTCFDataEnabled=1,isAdvertiserConsentModeEnabled=1,cmpSDKID=300,"
      "hasVedodoInVendorConsents=1,gdprApplies=1,policyVersion=4,purposeConsents=1111111";
  EXPECT_EQ(client->stringRepresentationFromTCFData(), representation);
  EXPECT_EQ(events(), std::vector<std::string>{"14I4f"});
  ASSERT_EQ(consents_.size(), 1u);
  EXPECT_EQ(consents_[0].first, tcfConsent("granted", "granted", "granted"));
  EXPECT_EQ(consents_[0].second, "consent_settings_tcf");
  EXPECT_EQ(storedCopy(), os::Value(os::Dictionary{
                              {"VEDODO_ANALYTICS_TCF_DATA_ENABLED", true},
                              {"IABTCF_CmpSdkID", 300},
                              {"IABTCF_PolicyVersion", 4},
                              {"IABTCF_gdprApplies", 1},
                              {"IABTCF_EnableAdvertiserConsentMode", 1},
                              {"IABTCF_VendorConsents", vendors(true)},
                              {"IABTCF_PurposeConsents", "1111111"},
                              {"tcf_StringRepresentation", representation},
                          }));

  // The same values again: nothing new, also for a client made after a restart.
  client->setConsentFromTCFData();
  makeClient()->setConsentFromTCFData();
  EXPECT_EQ(events().size(), 1u);
  EXPECT_EQ(consents_.size(), 1u);

  // Purpose 3 withdrawn: reported and applied again.
  writeFromAnotherProcess({"IABTCF_PurposeConsents=s:1101111"});
  client->setConsentFromTCFData();
  EXPECT_EQ(events().size(), 2u);
  ASSERT_EQ(consents_.size(), 2u);
  EXPECT_EQ(consents_[1].first, tcfConsent("granted", "denied", "granted"));

  // Every value removed: a change to report, with nothing left to apply and nothing stored.
  writeFromAnotherProcess({"IABTCF_CmpSdkID=-", "IABTCF_PolicyVersion=-", "IABTCF_gdprApplies=-",
                           "IABTCF_EnableAdvertiserConsentMode=-", "IABTCF_VendorConsents=-",
                           "IABTCF_PurposeConsents=-"});
  client->setConsentFromTCFData();
  EXPECT_EQ(events(), (std::vector<std::string>{"14I4f", "14I4f", "10005"}));
  EXPECT_EQ(consents_.size(), 2u);
  EXPECT_EQ(storedCopy(), os::Value(os::Dictionary{
                              {"VEDODO_ANALYTICS_TCF_DATA_ENABLED", true},
                              {"tcf_StringRepresentation", "isTCFDataEnabled=1"},
                          }));

  client->clearPersistedValues();
  EXPECT_EQ(storedCopy(), os::Value(os::Dictionary{}));
}

TEST_F(TcfClientTest, ConsentIsAppliedOnlyWhereTheFrameworkCoversTheVendor) {
  struct Case {
    const char* name;
    std::vector<std::pair<const char*, os::Value>> changes;  // over kApplyingValues
    std::optional<os::Dictionary> consent;
  };
  const Case cases[] = {
      {"everything granted", {}, tcfConsent("granted", "granted", "granted")},
      {"vendor string shorter than 755", {{kIABTCFVendorConsentsKey, std::string(754, '1')}}, {}},
      {"vendor 755 without consent", {{kIABTCFVendorConsentsKey, vendors(false)}}, {}},
      {"GDPR does not apply", {{kIABTCFGdprAppliesKey, 0}}, {}},
      {"advertiser consent mode off", {{kIABTCFEnableAdvertiserConsentModeKey, 0}}, {}},
      {"advertiser consent mode as text", {{kIABTCFEnableAdvertiserConsentModeKey, "1"}}, {}},
      {"policy version 3",
       {{kIABTCFPolicyVersionKey, 3}},
       tcfConsent("granted", "granted", "denied")},
      {"purpose 7 missing",
       {{kIABTCFPurposeConsentsKey, "111111"}},
       tcfConsent("granted", "granted", "denied")},
      {"purposes 1 and 4 denied",
       {{kIABTCFPurposeConsentsKey, "0110111"}},
       tcfConsent("denied", "denied", "denied")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    consents_.clear();
    writeHere(kApplyingValues);
    writeHere(c.changes);
    auto client = makeClient();
    client->clearPersistedValues();
    size_t before = events().size();
    client->setConsentFromTCFData();
    EXPECT_EQ(events().size(), before + 1) << "every change is reported";
    EXPECT_FALSE(storedCopy()["tcf_StringRepresentation"].isNull());
    if (c.consent) {
      ASSERT_EQ(consents_.size(), 1u);
      EXPECT_EQ(consents_[0].first, *c.consent);
    } else {
      EXPECT_TRUE(consents_.empty());
    }
  }
}

TEST_F(TcfClientTest, TheInfoPlistSwitchTurnsApplicationOff) {
  writeHere(kApplyingValues);
  for (const os::Value& value : {os::Value(false), os::Value("YES")}) {
    SCOPED_TRACE(value.description());
    sandbox_.writeInfoPlist({{kTcfDataEnabledKey, value}});
    auto client = makeClient();
    client->clearPersistedValues();
    client->setConsentFromTCFData();
    EXPECT_TRUE(client->stringRepresentationFromTCFData().starts_with("isTCFDataEnabled=0,"));
    EXPECT_FALSE(client->shouldApplyTCFData());
    EXPECT_TRUE(consents_.empty());
  }
  sandbox_.writeInfoPlist({{kTcfDataEnabledKey, true}});
  EXPECT_TRUE(TcfData::readTCFDataEnabledStateFromPlist());
}

TEST_F(TcfClientTest, BundleParameterEncodesIdVersionAndFlags) {
  struct Case {
    os::Value cmpID;
    os::Value policyVersion;
    bool dmaRegion;
    bool gdprApplies;
    bool advertiserMode;
    const char* expected;
  };
  const Case cases[] = {
      {300, 4, true, true, true, "14I4f"},     {5000, 70, false, false, false, "10004"},
      {-1, -1, true, false, false, "10005"},   {nullptr, nullptr, false, true, false, "10006"},
      {4095, 63, false, false, true, "1___c"}, {64, 10, true, true, false, "110a7"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    writeHere({{kIABTCFCmpSdkIDKey, c.cmpID},
               {kIABTCFPolicyVersionKey, c.policyVersion},
               {kIABTCFGdprAppliesKey, c.gdprApplies ? 1 : 0},
               {kIABTCFEnableAdvertiserConsentModeKey, c.advertiserMode}});
    auto client = makeClient();
    client->setIsDMARegion(c.dmaRegion);
    client->readTCFData();
    EXPECT_EQ(client->tcfBundleParameterValue(), c.expected);
  }
}

TEST_F(TcfClientTest, WithoutASinkConsentGoesToTheSettingsAsTcfData) {
  writeHere(kApplyingValues);
  writeHere({{kIABTCFPurposeConsentsKey, "0111111"}});
  ConsentSettings::updateSettingsIfPriorityAllows({{"ad_storage", "granted"}}, kConsentSourceApp);
  TcfClient client(nullptr, appDefaults_);
  client.setConsentFromTCFData();
  EXPECT_EQ(ConsentSettings::consentSource(), kConsentSourceTCF);
  EXPECT_TRUE(ConsentSettings::isAdStorageDenied());
  EXPECT_TRUE(ConsentSettings::isAdUserDataDenied());
  EXPECT_EQ(ConsentSettings::adPersonalization(), true);
}

}  // namespace
}  // namespace measurement
