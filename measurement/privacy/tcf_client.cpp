#include "measurement/privacy/tcf_client.h"

#include <fmt/format.h>

#include <utility>
#include <vector>

#include "measurement/model/error_parameters.h"
#include "measurement/privacy/consent_settings.h"

namespace measurement {
namespace {

constexpr std::string_view kAlphabet =
    "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-_";

TcfClient::ConsentSink sinkOrDefault(TcfClient::ConsentSink sink) {
  if (sink) return sink;
  return [](const os::Dictionary& consent, std::string_view key) {
    ConsentSettings::updateSettingsIfPriorityAllows(consent, consentSourceForStorageKey(key));
  };
}

}  // namespace

TcfClient::TcfClient(ConsentSink setConsent)
    : TcfClient(std::move(setConsent), MeasurementUserDefaults::shared()) {}

TcfClient::TcfClient(ConsentSink setConsent, ConfigStore& appDefaults)
    : setConsent_(sinkOrDefault(std::move(setConsent))), tcfData_(appDefaults) {}

void TcfClient::readTCFData() { tcfData_.readFromUserDefaults(); }

bool TcfClient::shouldApplyTCFData() const {
  return tcfData_.isTCFDataEnabled() && tcfData_.isAdvertiserConsentModeEnabled().boolValue() &&
         tcfData_.hasVedodoInVendorConsents() && tcfData_.gdprApplies().boolValue();
}

void TcfClient::setConsentFromTCFData() {
  readTCFData();
  if (persistedValuesEqualCurrentData()) return;
  logTCFChangedEvent();
  storeCurrentData();
  if (!shouldApplyTCFData()) return;
  setConsent_(
      {{kConsentTypeAdStorage, consentStatusFromEnabled(tcfData_.isAdStoragePurposeGranted())},
       {kConsentTypeAdPersonalization,
        consentStatusFromEnabled(tcfData_.isAdPersonalizationPurposeGranted())},
       {kConsentTypeAdUserData, consentStatusFromEnabled(tcfData_.isAdUserDataPurposeGranted())}},
      kConsentSettingsTCFKey);
}

void TcfClient::logTCFChangedEvent() const {
  logInternalEvent("auto", kTcfEventName,
                   Parameters{{kTcfEventParameter, Value(tcfBundleParameterValue())}});
}

void TcfClient::storeCurrentData() {
  auto text = [](const std::optional<std::string>& value) {
    return value ? os::Value(*value) : os::Value();
  };
  userDefaults_.setBool(tcfData_.isTCFDataEnabled(), kTcfDataEnabledKey);
  userDefaults_.setObject(tcfData_.isAdvertiserConsentModeEnabled(),
                          kIABTCFEnableAdvertiserConsentModeKey);
  userDefaults_.setObject(tcfData_.cmpSDKID(), kIABTCFCmpSdkIDKey);
  userDefaults_.setObject(text(tcfData_.vendorConsents()), kIABTCFVendorConsentsKey);
  userDefaults_.setObject(tcfData_.gdprApplies(), kIABTCFGdprAppliesKey);
  userDefaults_.setObject(tcfData_.policyVersion(), kIABTCFPolicyVersionKey);
  userDefaults_.setObject(text(tcfData_.purposeConsents()), kIABTCFPurposeConsentsKey);
  userDefaults_.setObject(stringRepresentationFromTCFData(), kTcfStringRepresentationKey);
}

std::string TcfClient::stringRepresentationFromTCFData() const {
  std::vector<std::string> parts;
  parts.push_back(fmt::format("isTCFDataEnabled={:d}", tcfData_.isTCFDataEnabled()));
  if (const os::Value& mode = tcfData_.isAdvertiserConsentModeEnabled(); !mode.isNull()) {
    parts.push_back(fmt::format("isAdvertiserConsentModeEnabled={:d}", mode.boolValue()));
  }
  if (const os::Value& id = tcfData_.cmpSDKID(); !id.isNull()) {
    parts.push_back(fmt::format("cmpSDKID={}", id.integerValue()));
  }
  if (tcfData_.vendorConsents()) {
    parts.push_back(
        fmt::format("hasVedodoInVendorConsents={:d}", tcfData_.hasVedodoInVendorConsents()));
  }
  if (const os::Value& applies = tcfData_.gdprApplies(); !applies.isNull()) {
    parts.push_back(fmt::format("gdprApplies={:d}", applies.boolValue()));
  }
  if (const os::Value& version = tcfData_.policyVersion(); !version.isNull()) {
    parts.push_back(fmt::format("policyVersion={}", version.integerValue()));
  }
  if (const std::optional<std::string>& purposes = tcfData_.purposeConsents()) {
    parts.push_back("purposeConsents=" + *purposes);
  }
  std::string representation;
  for (const std::string& part : parts) {
    if (!representation.empty()) representation += ",";
    representation += part;
  }
  return representation;
}

std::string TcfClient::consentStatusFromEnabled(bool enabled) {
  return enabled ? kConsentStatusGranted : kConsentStatusDenied;
}

bool TcfClient::persistedValuesEqualCurrentData() const {
  std::optional<std::string> stored = userDefaults_.stringForKey(kTcfStringRepresentationKey);
  std::string current = stringRepresentationFromTCFData();
  if (!stored) return current == "isTCFDataEnabled=1";
  return *stored == current;
}

std::string TcfClient::tcfBundleParameterValue() const {
  // A missing number reads as 0 and false.
  int64_t id = tcfData_.cmpSDKID().integerValue();
  int64_t version = tcfData_.policyVersion().integerValue();
  int flags = (isDMARegion_ ? 1 : 0) | (tcfData_.gdprApplies().boolValue() ? 2 : 0) |
              (tcfData_.isTCFDataEnabled() ? 4 : 0) |
              (tcfData_.isAdvertiserConsentModeEnabled().boolValue() ? 8 : 0);
  std::string value = "1";
  if (id >= 0 && id <= 4095) {
    value += kAlphabet[(id >> 6) & 63];
    value += kAlphabet[id & 63];
  } else {
    value += "00";
  }
  value += version >= 0 && version <= 63 ? kAlphabet[version] : '0';
  value += kAlphabet[flags];
  return value;
}

void TcfClient::clearPersistedValues() { userDefaults_.clearAllData(); }

}  // namespace measurement
