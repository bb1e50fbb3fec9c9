#include "measurement/privacy/tcf_data.h"

#include "measurement/foundation/data_extensions.h"
#include "os/bundle/bundle.h"

namespace measurement {

TcfData::TcfData(ConfigStore& userDefaults)
    : userDefaults_(userDefaults), isTCFDataEnabled_(readTCFDataEnabledStateFromPlist()) {}

bool TcfData::readTCFDataEnabledStateFromPlist() {
  os::Value value = os::Bundle::main().objectForInfoDictionaryKey(kTcfDataEnabledKey);
  if (value.isNull()) return true;
  return (value.isNumber() || value.isBool()) && value.boolValue();
}

void TcfData::readFromUserDefaults() {
  // The platform that writes these values may be another process.
  userDefaults_.synchronize();
  advertiserConsentMode_ = userDefaults_.numberForKey(kIABTCFEnableAdvertiserConsentModeKey);
  vendorConsents_ = userDefaults_.stringForKey(kIABTCFVendorConsentsKey);
  cmpSDKID_ = userDefaults_.numberForKey(kIABTCFCmpSdkIDKey);
  gdprApplies_ = userDefaults_.numberForKey(kIABTCFGdprAppliesKey);
  policyVersion_ = userDefaults_.numberForKey(kIABTCFPolicyVersionKey);
  purposeConsents_ = userDefaults_.stringForKey(kIABTCFPurposeConsentsKey);
}

bool TcfData::isPurposeGranted(int64_t purpose) const {
  return purposeConsents_ && isBitEnabledAtIndex(*purposeConsents_, purpose - 1);
}

bool TcfData::hasVedodoInVendorConsents() const {
  return vendorConsents_ && isBitEnabledAtIndex(*vendorConsents_, kVedodoTcfVendorID - 1);
}

bool TcfData::isAdStoragePurposeGranted() const { return isPurposeGranted(1); }

bool TcfData::isAdPersonalizationPurposeGranted() const {
  return isPurposeGranted(3) && isPurposeGranted(4);
}

bool TcfData::canAccessAdUserDataPurpose() const { return policyVersion_.integerValue() >= 4; }

bool TcfData::isAdUserDataPurposeGranted() const {
  return canAccessAdUserDataPurpose() && isPurposeGranted(1) && isPurposeGranted(7);
}

}  // namespace measurement
