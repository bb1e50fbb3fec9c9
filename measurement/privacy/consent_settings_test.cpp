#include "measurement/privacy/consent_settings.h"

#include <gtest/gtest.h>

#include <latch>
#include <thread>

#include "measurement/privacy/test_support.h"

namespace measurement {
namespace {

class ConsentSettingsTest : public testing::Test {
 protected:
  ConsentSettingsTest() { ConsentSettings::resetForTesting(); }
  ~ConsentSettingsTest() override { ConsentSettings::resetForTesting(); }
};

os::Dictionary allTypes(const char* status) {
  os::Dictionary settings;
  for (const char* type : kConsentTypes) settings.emplace(type, status);
  return settings;
}

struct AnswerCase {
  const char* name;
  os::Dictionary current;  // applied from the app (source 30) after the digits are reset
  std::optional<os::Dictionary> defaults;
  std::optional<os::Dictionary> delegated;
  std::optional<os::Dictionary> regional;
  bool adStorageDenied;
  bool analyticsStorageDenied;
  bool adUserDataDenied;
  std::optional<bool> adPersonalization;
  const char* signals;
  const char* diagnostics;
};

TEST_F(ConsentSettingsTest, AnswersFollowCurrentValuesDefaultsDelegationAndRegionalPolicy) {
  const AnswerCase cases[] = {
      {"nothing set", {}, {}, {}, {}, false, false, false, std::nullopt, "G1--", "19999"},
      {"policy without regional default",
       {{"ad_user_data", "eu_consent_policy"}},
       {},
       {},
       {},
       false,
       false,
       true,
       std::nullopt,
       "G1--",
       "19989"},
      {"policy with a granted regional default",
       {{"ad_user_data", "eu_consent_policy"}},
       {},
       {},
       os::Dictionary{{"ad_user_data", "granted"}},
       false,
       false,
       false,
       std::nullopt,
       "G1--",
       "19989"},
      {"delegated to a denied storage",
       {{"ad_storage", "denied"}},
       {},
       os::Dictionary{{"ad_user_data", "ad_storage"}},
       {},
       true,
       false,
       true,
       std::nullopt,
       "G10-",
       "15929"},
      {"delegated type unset: the default decides",
       {{"analytics_storage", "granted"}},
       os::Dictionary{{"ad_user_data", "denied"}},
       os::Dictionary{{"ad_user_data", "ad_storage"}},
       {},
       false,
       false,
       true,
       std::nullopt,
       "G1-1",
       "19529"},
      {"a denied storage default is no denial",
       {},
       os::Dictionary{{"ad_storage", "denied"}, {"ad_personalization", "granted"}},
       {},
       {},
       false,
       false,
       false,
       true,
       "G1--",
       "19991"},
      {"upper-case values",
       allTypes("DENIED"),
       {},
       {},
       {},
       true,
       true,
       true,
       false,
       "G100",
       "15555"},
      {"personalization policy with a granted regional default",
       {{"ad_personalization", "eu_consent_policy"}},
       {},
       {},
       os::Dictionary{{"ad_personalization", "granted"}},
       false,
       false,
       false,
       true,
       "G1--",
       "19998"},
  };
  for (const AnswerCase& c : cases) {
    SCOPED_TRACE(c.name);
    ConsentSettings::resetForTesting();
    ConsentSettings::resetDiagnosticSources();
    ConsentSettings::setDefaultSettings(c.defaults);
    ConsentSettings::setDelegatedSettings(c.delegated);
    ConsentSettings::setRegionalDefaults(c.regional);
    if (!c.current.empty()) {
      ASSERT_TRUE(ConsentSettings::updateSettingsIfPriorityAllows(c.current, kConsentSourceApp));
    }
    EXPECT_EQ(ConsentSettings::isAdStorageDenied(), c.adStorageDenied);
    EXPECT_EQ(ConsentSettings::isAnalyticsStorageDenied(), c.analyticsStorageDenied);
    EXPECT_EQ(ConsentSettings::isAdUserDataDenied(), c.adUserDataDenied);
    EXPECT_EQ(ConsentSettings::didAdUserDataConsentChange(!c.adUserDataDenied), true);
    EXPECT_EQ(ConsentSettings::adPersonalization(), c.adPersonalization);
    EXPECT_EQ(ConsentSettings::consentSignals(), c.signals);
    EXPECT_EQ(ConsentSettings::consentDiagnostics(), c.diagnostics);
  }
}

TEST_F(ConsentSettingsTest, FreshStateReadsEmpty) {
  EXPECT_EQ(ConsentSettings::consentSettings(), std::nullopt);
  EXPECT_EQ(ConsentSettings::defaultSettings(), std::nullopt);
  EXPECT_EQ(ConsentSettings::consentSource(), 100);
  EXPECT_EQ(ConsentSettings::version(), 1);
  EXPECT_EQ(ConsentSettings::consentSignals(), "G1--");
  EXPECT_EQ(ConsentSettings::consentDiagnostics(), "19999");
  EXPECT_EQ(ConsentSettings::description(), "ad_storage is granted. analytics_storage is granted.");
}

TEST_F(ConsentSettingsTest, PriorityDecidesWhichSourceMayReplaceTheSettings) {
  struct Case {
    int64_t current;
    int64_t incoming;
    bool accepted;
  };
  const Case cases[] = {{10, 5, true},   {5, 10, true},   {5, 30, false}, {30, 30, true},
                        {30, 40, false}, {40, 30, true},  {20, 10, true}, {100, 5, true},
                        {100, 10, true}, {100, 30, true}, {100, 40, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.current << " <- " << c.incoming);
    ConsentSettings::resetForTesting();
    ConsentSettings::setConsentSettings(allTypes("granted"));
    ConsentSettings::setConsentSource(c.current);
    EXPECT_EQ(ConsentSettings::isConsentSourceHigherPriority(c.incoming), c.accepted);
    int calls = 0;
    bool applied = ConsentSettings::updateSettingsIfPriorityAllows(
        {{"ad_storage", "denied"}}, c.incoming, [&](const os::Dictionary& merged, int64_t source) {
          ++calls;
          EXPECT_EQ(merged.at("ad_storage"), os::Value("denied"));
          EXPECT_EQ(source, c.incoming);
        });
    EXPECT_EQ(applied, c.accepted);
    EXPECT_EQ(calls, c.accepted ? 1 : 0);
    EXPECT_EQ(ConsentSettings::isAdStorageDenied(), c.accepted);
    EXPECT_EQ(ConsentSettings::consentSource(), c.accepted ? c.incoming : c.current);
  }
  ConsentSettings::setConsentSource(kConsentSourceThirdParty);
  EXPECT_TRUE(ConsentSettings::isConsentSourceEqualPriority(5));
  EXPECT_TRUE(ConsentSettings::isConsentSourceEqualPriority(10));
  EXPECT_FALSE(ConsentSettings::isConsentSourceEqualPriority(20));
}

// Two sources racing: the app (30) may never overwrite what TCF data (5) set, however the two
// threads interleave, because the priority test and the update are one step on the queue.
TEST_F(ConsentSettingsTest, LowerPrioritySourceNeverOverwritesAHigherOneUnderRacingUpdates) {
  constexpr int kRounds = 20;
  constexpr int kUpdates = 500;
  for (int round = 0; round < kRounds; ++round) {
    ConsentSettings::resetForTesting();
    std::optional<os::Dictionary> persisted;
    int64_t persistedSource = 0;
    auto persist = [&](const os::Dictionary& merged, int64_t source) {
      persisted = merged;
      persistedSource = source;
    };
    std::latch start(2);
    auto run = [&](int64_t source, const char* status) {
      start.arrive_and_wait();
      for (int i = 0; i < kUpdates; ++i) {
        ConsentSettings::updateSettingsIfPriorityAllows(allTypes(status), source, persist);
      }
      // Whatever happened before, the last word is this thread's.
      ConsentSettings::updateSettingsIfPriorityAllows(allTypes(status), source, persist);
    };
    std::thread tcf(run, kConsentSourceTCF, "granted");
    std::thread app(run, kConsentSourceApp, "denied");
    tcf.join();
    app.join();
    ASSERT_EQ(ConsentSettings::consentSettings(), allTypes("granted")) << "round " << round;
    ASSERT_EQ(ConsentSettings::consentSource(), kConsentSourceTCF);
    ASSERT_EQ(persisted, allTypes("granted"));
    ASSERT_EQ(persistedSource, kConsentSourceTCF);
  }
}

TEST_F(ConsentSettingsTest, DiagnosticDigitsFollowSourcesResetsAndClearing) {
  ConsentSettings::resetDiagnosticSources();
  ConsentSettings::updateSettings(allTypes("granted"), kConsentSourceApp);
  EXPECT_EQ(ConsentSettings::consentDiagnostics(), "15555");

  ConsentSettings::updateSettings({{"ad_storage", "denied"}}, kConsentSourceTCF);
  EXPECT_EQ(ConsentSettings::consentDiagnostics(), "17555");
  ConsentSettings::setConsentSource(kConsentSourceAppOnStart);
  EXPECT_EQ(ConsentSettings::consentDiagnostics(), "14444");
  ConsentSettings::setDiagnosticSource(3, "analytics_storage");
  EXPECT_EQ(ConsentSettings::consentDiagnostics(), "14344");

  ConsentSettings::unsetAdPersonalization();
  EXPECT_EQ(ConsentSettings::consentSettings()->count("ad_personalization"), 0u);
  EXPECT_EQ(ConsentSettings::consentDiagnostics(), "14349");

  // Removing the settings returns the source to "nothing loaded".
  ConsentSettings::setConsentSettings(std::nullopt);
  EXPECT_EQ(ConsentSettings::consentSource(), 100);
  EXPECT_EQ(ConsentSettings::consentDiagnostics(), "19999");

  ConsentSettings::updateSettings(allTypes("denied"), kConsentSourceThirdParty);
  ConsentSettings::setDefaultSettings(os::Dictionary{{"ad_personalization", "granted"}});
  ConsentSettings::clearAllSettings();
  EXPECT_EQ(ConsentSettings::consentSource(), 100);
  EXPECT_EQ(ConsentSettings::consentSettings(), std::nullopt);
  EXPECT_EQ(ConsentSettings::defaultSettings(), std::nullopt);
  EXPECT_EQ(ConsentSettings::consentDiagnostics(), "19999");
}

TEST_F(ConsentSettingsTest, UpdatesMergeOverTheCurrentSettings) {
  ConsentSettings::updateSettings({{"ad_storage", "granted"}, {"ad_user_data", "denied"}});
  ConsentSettings::updateSettings({{"ad_storage", "denied"}});
  EXPECT_EQ(ConsentSettings::consentSettings(),
            (os::Dictionary{{"ad_storage", "denied"}, {"ad_user_data", "denied"}}));
  // A plain merge sets no source.
  EXPECT_EQ(ConsentSettings::consentSource(), 100);
}

TEST_F(ConsentSettingsTest, VersionTakesOnlyOneOrTwo) {
  ConsentSettings::setVersion(2);
  ConsentSettings::setVersion(3);
  ConsentSettings::setVersion(0);
  EXPECT_EQ(ConsentSettings::version(), 2);
  ConsentSettings::setVersion(1);
  EXPECT_EQ(ConsentSettings::version(), 1);
}

TEST_F(ConsentSettingsTest, DescriptionShowsSetTypesAndPolicyValues) {
  ConsentSettings::updateSettings({{"ad_storage", "denied"},
                                   {"ad_user_data", "eu_consent_policy"},
                                   {"ad_personalization", "granted"}});
  EXPECT_EQ(ConsentSettings::description(),
            "ad_storage is denied. analytics_storage is granted. ad_user_data is denied "
            "(eu_consent_policy). ad_personalization is granted.");
  ConsentSettings::setRegionalDefaults(os::Dictionary{{"ad_user_data", "granted"}});
  EXPECT_EQ(ConsentSettings::description(),
            "ad_storage is denied. analytics_storage is granted. ad_user_data is granted "
            "(eu_consent_policy). ad_personalization is granted.");
}

TEST_F(ConsentSettingsTest, SettingsFromDictionaryKeepOnlyTheFourTypes) {
  EXPECT_EQ(ConsentSettings::consentSettingsFromDictionary(
                {{"ad_storage", "granted"}, {"other", 1}, {"ad_user_data", 7}}),
            (os::Dictionary{{"ad_storage", "granted"}, {"ad_user_data", 7}}));
}

TEST_F(ConsentSettingsTest, DefaultsFromTheInfoPlist) {
  PrivacySandbox sandbox;
  struct Case {
    const char* name;
    os::Dictionary info;
    os::Dictionary expected;
  };
  const Case cases[] = {
      {"none", {}, {}},
      {"policy and booleans",
       {{kDefaultAllowAdStorageKey, "eu_consent_policy"},
        {kDefaultAllowAnalyticsStorageKey, false},
        {kDefaultAllowAdUserDataKey, "EU_CONSENT_POLICY"},
        {kDefaultAllowAdPersonalizationKey, true}},
       {{"analytics_storage", "denied"}, {"ad_user_data", "eu_consent_policy"}}},
      {"strings and numbers",
       {{kDefaultAllowAdStorageKey, "YES"},
        {kDefaultAllowAnalyticsStorageKey, 1},
        {kDefaultAllowAdUserDataKey, os::Data{1, 2}},
        {kDefaultAllowAdPersonalizationKey, "no"}},
       {{"ad_storage", "granted"},
        {"analytics_storage", "granted"},
        {"ad_personalization", "denied"}}},
      {"personalization policy",
       {{kDefaultAllowAdPersonalizationKey, "eu_consent_policy"}},
       {{"ad_personalization", "eu_consent_policy"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sandbox.writeInfoPlist(c.info);
    EXPECT_EQ(ConsentSettings::consentSettingsFromPlist(), c.expected);
  }
}

}  // namespace
}  // namespace measurement
