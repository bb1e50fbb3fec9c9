#include "measurement/engine/bundle_fields.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "measurement/foundation/persisted_config.h"
#include "measurement/foundation/test_support.h"
#include "measurement/privacy/consent_settings.h"
#include "measurement/wire/access.h"
#include "os/process/clock.h"

namespace measurement {
namespace {

constexpr const char* kAdID = "6D92078A-8246-4BA4-AE5B-76104861E7DC";

class SharedAdID final : public IdentitySupport {
 public:
  // A status of -1 stands for a platform without tracking information.
  explicit SharedAdID(int64_t status) : status_(status) {}
  bool hasLimitedAdTracking() const override { return status_ >= 0; }
  bool limitedAdTracking() const override { return false; }
  bool hasAppDataConsentStatus() const override { return true; }
  int64_t appDataConsentStatus() const override { return status_; }
  std::optional<std::string> resettableDeviceID() const override { return kAdID; }

 private:
  int64_t status_;
};

class BundleFieldsTest : public testing::Test {
 protected:
  BundleFieldsTest() { ConsentSettings::resetForTesting(); }
  ~BundleFieldsTest() override { ConsentSettings::resetForTesting(); }

  std::shared_ptr<Identity> identity(int64_t status) {
    return Identity::create(config_.get(), std::make_shared<SharedAdID>(status));
  }

  PreferencesSandbox sandbox_;
  os::clock::ScopedFakeClock clock_{1700000000};
  std::unique_ptr<PersistedConfig> config_ = PersistedConfig::create("BundleFieldsTest");
};

// The identifier fields a bundle ended with: tags 19, 21, 27, 52 and 53 ("-" when absent).
std::string identifiers(const APMPBMeasurementBundle& bundle) {
  auto text = [&](int32_t index) { return APMPBGetString(bundle, index).value_or("-"); };
  std::string status =
      APMPBHasField(bundle, kMeasurementBundle_apple_consent_status)
          ? std::to_string(APMPBGetInt32(bundle, kMeasurementBundle_apple_consent_status))
          : "-";
  std::string instance = APMPBHasField(bundle, kMeasurementBundle_app_instance_id) ? "id" : "-";
  return text(kMeasurementBundle_resettable_device_id) + " " + instance + " " +
         text(kMeasurementBundle_vendor_device_id) + " " +
         text(kMeasurementBundle_consent_signals) + " " + status;
}

TEST_F(BundleFieldsTest, ConsentDecidesWhichIdentifiersABundleCarries) {
  struct Case {
    const char* name;
    const char* signals;
    bool gate;
    int64_t status;
    std::optional<std::string> stored;
    bool overwrite;
    std::string expected;
  };
  const std::string ad = kAdID;
  const std::vector<Case> cases{
      {"both storages granted", "G111", false, 3, std::nullopt, true, ad + " id - G111 3"},
      {"ad storage denied", "G1d1", false, 3, std::nullopt, true, "- id - G1d1 3"},
      {"analytics storage denied", "G110", false, 3, std::nullopt, true, ad + " - - G110 3"},
      {"the gate without authorization", "G111", true, 2, std::nullopt, true, "- id - G111 2"},
      {"the gate with authorization", "G111", true, 3, std::nullopt, true, ad + " id - G111 3"},
      {"without tracking information no status and no ad id", "G111", false, -1, std::nullopt, true,
       "- id - G111 -"},
      {"without overwrite the stored signals decide", "G111", false, 3, "G1D1", false,
       "- id - G1D1 3"},
      {"short signals leave the stored ones", "G1", false, 3, "G111", true, ad + " id - G111 3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    APMPBMeasurementBundle bundle;
    APMPBSetString(bundle, kMeasurementBundle_session_stitching_token, "token");
    if (c.stored) APMPBSetString(bundle, kMeasurementBundle_consent_signals, *c.stored);
    std::shared_ptr<Identity> made = identity(c.status);
    setBundleIdentifiersAndConsent(bundle, c.signals, c.gate, *made, c.overwrite);
    EXPECT_EQ(identifiers(bundle), c.expected);
    bool analyticsDenied = isAnalyticsStorageDenied(
        APMPBGetString(bundle, kMeasurementBundle_consent_signals).value_or(""));
    EXPECT_EQ(APMPBHasField(bundle, kMeasurementBundle_session_stitching_token), !analyticsDenied);
  }
}

TEST_F(BundleFieldsTest, DataControlsCoarsenOrRemoveWhatTheyName) {
  std::shared_ptr<Identity> made = identity(3);
  auto bundle = [] {
    APMPBMeasurementBundle bundle;
    APMPBSetString(bundle, kMeasurementBundle_os_version, "14.2.1");
    APMPBSetString(bundle, kMeasurementBundle_device_model, "Macmini9,1");
    APMPBSetString(bundle, kMeasurementBundle_app_instance_id, "instance");
    APMPBSetString(bundle, kMeasurementBundle_session_stitching_token, "token");
    APMPBSetString(bundle, kMeasurementBundle_consent_signals, "G111");
    APMPBUserAttribute id;
    APMPBSetString(id, kUserAttribute_name, "_id");
    APMPBUserAttribute other;
    APMPBSetString(other, kUserAttribute_name, "fav");
    APMPBSetArray(bundle, kMeasurementBundle_user_attributes,
                  std::vector<APMPBUserAttribute>{id, other});
    return bundle;
  };
  // os version, model, instance id, ephemeral id, token, attributes, controls recorded.
  auto describe = [](const APMPBMeasurementBundle& b) {
    std::string names;
    for (const auto& a : APMPBGetArray<APMPBUserAttribute>(b, kMeasurementBundle_user_attributes)) {
      names += APMPBGetString(a, kUserAttribute_name).value_or("?") + ";";
    }
    return APMPBGetString(b, kMeasurementBundle_os_version).value_or("-") + " " +
           APMPBGetString(b, kMeasurementBundle_device_model).value_or("-") + " " +
           APMPBGetString(b, kMeasurementBundle_app_instance_id).value_or("-") + " " +
           (APMPBHasField(b, kMeasurementBundle_ephemeral_app_instance_id) ? "eph" : "-") + " " +
           APMPBGetString(b, kMeasurementBundle_session_stitching_token).value_or("-") + " " +
           names + " " +
           std::to_string(APMPBGetArray(b, kMeasurementBundle_redacted_fields).size());
  };
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
      {{}, "14.2.1 Macmini9,1 instance - token _id;fav; 0"},
      {{"device_info"}, "14 - instance - token _id;fav; 1"},
      {{"os_version"}, "14 Macmini9,1 instance - token _id;fav; 1"},
      {{"app_instance_id"}, "14.2.1 Macmini9,1 - eph token _id;fav; 1"},
      {{"user_id", "enhanced_user_id"}, "14.2.1 Macmini9,1 instance - - fav; 2"},
  };
  for (const auto& [controls, expected] : cases) {
    APMPBMeasurementBundle b = bundle();
    applyDataControls(b, controls, *made);
    EXPECT_EQ(describe(b), expected) << (controls.empty() ? "none" : controls.front());
  }
}

TEST(BundleConsentFieldsTest, BundlesMatchOnlyWithTheSameConsentFields) {
  auto bundle = [](const char* signals, std::optional<int64_t> npa) {
    APMPBMeasurementBundle b;
    APMPBSetString(b, kMeasurementBundle_consent_signals, signals);
    APMPBSetBool(b, kMeasurementBundle_dma_region, true);
    if (npa) {
      APMPBUserAttribute attribute;
      APMPBSetString(attribute, kUserAttribute_name, "_npa");
      APMPBSetInt64(attribute, kUserAttribute_int_value, *npa);
      APMPBSetArray(b, kMeasurementBundle_user_attributes,
                    std::vector<APMPBUserAttribute>{attribute});
    }
    return b;
  };
  APMPBMeasurementBundle base = bundle("G111", std::nullopt);
  struct Case {
    const char* name;
    APMPBMeasurementBundle other;
    bool same;
  };
  const std::vector<Case> cases{
      {"identical", bundle("G111", std::nullopt), true},
      {"other signals", bundle("G110", std::nullopt), false},
      {"an \"_npa\" of 0 reads as none", bundle("G111", 0), true},
      {"an \"_npa\" of 1 differs", bundle("G111", 1), false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(haveSameConsentFields(&base, &c.other), c.same) << c.name;
  }
  EXPECT_FALSE(haveSameConsentFields(&base, nullptr));
}

}  // namespace
}  // namespace measurement
