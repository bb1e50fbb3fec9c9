#include "measurement/privacy/consent_types.h"

#include <gtest/gtest.h>

namespace measurement {
namespace {

TEST(ConsentTypesTest, NamesAndNumbersRoundTripAndRefuseTheRest) {
  for (int64_t type = 1; type <= 4; ++type) {
    ASSERT_TRUE(consentTypeName(type));
    EXPECT_EQ(consentTypeFromName(*consentTypeName(type)), type);
  }
  EXPECT_EQ(consentTypeName(2), "analytics_storage");
  EXPECT_EQ(consentTypeName(0), std::nullopt);
  EXPECT_EQ(consentTypeName(5), std::nullopt);
  EXPECT_EQ(consentTypeFromName("AD_STORAGE"), 0);

  EXPECT_EQ(consentStatusName(1), "granted");
  EXPECT_EQ(consentStatusName(2), "denied");
  EXPECT_EQ(consentStatusName(3), std::nullopt);
  // Names convert exactly; stored values compare ignoring case.
  EXPECT_EQ(consentStatusFromName("Denied"), 0);
  EXPECT_EQ(consentStatusOfValue("DENIED"), 2);
  EXPECT_EQ(consentStatusOfValue("Granted"), 1);
  EXPECT_EQ(consentStatusOfValue(true), 0);
  EXPECT_EQ(consentStatusOfValue(nullptr), 0);

  EXPECT_EQ(consentSignalCode(1), "1");
  EXPECT_EQ(consentSignalCode(2), "0");
  EXPECT_EQ(consentSignalCode(0), "-");
}

TEST(ConsentTypesTest, SourcesHaveTheirDigitsAndStorageKeys) {
  struct Case {
    int64_t source;
    int64_t digit;
  };
  for (const Case& c : {Case{5, 7}, Case{10, 5}, Case{20, 3}, Case{30, 5}, Case{40, 4},
                        Case{100, 0}, Case{15, 0}}) {
    EXPECT_EQ(consentSourceDiagnosticValue(c.source), c.digit) << c.source;
  }
  EXPECT_EQ(consentSourceForStorageKey("consent_settings_tcf"), 5);
  EXPECT_EQ(consentSourceForStorageKey("consent_settings_3p"), 10);
  EXPECT_EQ(consentSourceForStorageKey("consent_settings"), 30);
  EXPECT_EQ(consentSourceForStorageKey("anything"), 30);
}

TEST(ConsentTypesTest, OnlyTheAdTypesTakeThePolicyValue) {
  EXPECT_TRUE(isEuConsentPolicyValue("ad_user_data", "eu_consent_policy"));
  EXPECT_TRUE(isEuConsentPolicyValue("ad_personalization", "EU_Consent_Policy"));
  EXPECT_FALSE(isEuConsentPolicyValue("ad_storage", "eu_consent_policy"));
  EXPECT_FALSE(isEuConsentPolicyValue("ad_user_data", "denied"));
  EXPECT_FALSE(isEuConsentPolicyValue("ad_user_data", 1));
}

}  // namespace
}  // namespace measurement
