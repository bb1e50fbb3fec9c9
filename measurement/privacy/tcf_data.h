// One snapshot of the IAB Transparency and Consent Framework (TCF, version 2) values that a
// consent-management platform leaves in the application's preferences under "IABTCF_" keys,
// with the answers the measurement code derives from them.
//
//   TcfData data;                      // over the application's own preferences
//   data.readFromUserDefaults();       // picks up what the platform wrote, also from elsewhere
//   if (data.hasVedodoInVendorConsents() && data.isAdStoragePurposeGranted()) ...
//
// Bit strings are texts of "0" and "1" whose index 0 is vendor (or purpose) 1; an index outside
// the string counts as not consented. Not thread-safe: one owner reads and refreshes it.
#pragma once

#include <optional>
#include <string>

#include "measurement/foundation/config_store.h"
#include "os/value/value.h"

namespace measurement {

// The Info.plist switch that lets TCF data apply (on when absent).
inline constexpr const char* kTcfDataEnabledKey = "VEDODO_ANALYTICS_TCF_DATA_ENABLED";
inline constexpr const char* kIABTCFEnableAdvertiserConsentModeKey =
    "IABTCF_EnableAdvertiserConsentMode";
inline constexpr const char* kIABTCFVendorConsentsKey = "IABTCF_VendorConsents";
inline constexpr const char* kIABTCFCmpSdkIDKey = "IABTCF_CmpSdkID";
inline constexpr const char* kIABTCFGdprAppliesKey = "IABTCF_gdprApplies";
inline constexpr const char* kIABTCFPolicyVersionKey = "IABTCF_PolicyVersion";
inline constexpr const char* kIABTCFPurposeConsentsKey = "IABTCF_PurposeConsents";
// The measurement vendor's number in the vendor list.
inline constexpr int64_t kVedodoTcfVendorID = 755;

class TcfData {
 public:
  // Reads the Info.plist switch now; the preferences values stay empty until
  // readFromUserDefaults. `userDefaults` must outlive the snapshot.
  explicit TcfData(ConfigStore& userDefaults);

  // The Info.plist switch: true when absent, the boolean of a number, false for anything else.
  static bool readTCFDataEnabledStateFromPlist();
  // Rereads the six preferences values (after taking in what other processes wrote): numbers as
  // numbers (null for other kinds), strings as strings (nullopt for other kinds).
  void readFromUserDefaults();

  bool isTCFDataEnabled() const { return isTCFDataEnabled_; }
  const os::Value& isAdvertiserConsentModeEnabled() const { return advertiserConsentMode_; }
  const std::optional<std::string>& vendorConsents() const { return vendorConsents_; }
  const os::Value& cmpSDKID() const { return cmpSDKID_; }
  const os::Value& gdprApplies() const { return gdprApplies_; }
  const os::Value& policyVersion() const { return policyVersion_; }
  const std::optional<std::string>& purposeConsents() const { return purposeConsents_; }

  // Vendor 755 consented.
  bool hasVedodoInVendorConsents() const;
  // Purpose 1.
  bool isAdStoragePurposeGranted() const;
  // Purposes 3 and 4.
  bool isAdPersonalizationPurposeGranted() const;
  // A policy version of at least 4 is present.
  bool canAccessAdUserDataPurpose() const;
  // canAccessAdUserDataPurpose() and purposes 1 and 7.
  bool isAdUserDataPurposeGranted() const;

 private:
  bool isPurposeGranted(int64_t purpose) const;

  ConfigStore& userDefaults_;
  bool isTCFDataEnabled_;
  os::Value advertiserConsentMode_;
  std::optional<std::string> vendorConsents_;
  os::Value cmpSDKID_;
  os::Value gdprApplies_;
  os::Value policyVersion_;
  std::optional<std::string> purposeConsents_;
};

}  // namespace measurement
