#include "measurement/privacy/consent_types.h"

#include "os/text/text.h"

namespace measurement {

std::optional<std::string> consentTypeName(int64_t type) {
  if (type < 1 || type > static_cast<int64_t>(kConsentTypes.size())) return std::nullopt;
  return kConsentTypes[type - 1];
}

std::optional<std::string> consentStatusName(int64_t status) {
  if (status == 1) return kConsentStatusGranted;
  if (status == 2) return kConsentStatusDenied;
  return std::nullopt;
}

int64_t consentTypeFromName(std::string_view name) {
  for (size_t i = 0; i < kConsentTypes.size(); ++i) {
    if (name == kConsentTypes[i]) return static_cast<int64_t>(i) + 1;
  }
  return 0;
}

int64_t consentStatusFromName(std::string_view name) {
  if (name == kConsentStatusGranted) return 1;
  if (name == kConsentStatusDenied) return 2;
  return 0;
}

int64_t consentSourceDiagnosticValue(int64_t source) {
  switch (source) {
    case kConsentSourceTCF:
      return 7;
    case kConsentSourceThirdParty:
    case kConsentSourceApp:
      return 5;
    case kConsentSourceInfoPlist:
      return 3;
    case kConsentSourceAppOnStart:
      return 4;
    default:
      return 0;
  }
}

std::string consentSignalCode(int64_t status) {
  if (status == 1) return "1";
  if (status == 2) return "0";
  return "-";
}

int64_t consentSourceForStorageKey(std::string_view key) {
  if (key == kConsentSettingsTCFKey) return kConsentSourceTCF;
  if (key == kConsentSettingsThirdPartyKey) return kConsentSourceThirdParty;
  return kConsentSourceApp;
}

int64_t consentStatusOfValue(const os::Value& value) {
  const std::string* text = value.asString();
  return text ? consentStatusFromName(os::text::lowercase(*text)) : 0;
}

bool isEuConsentPolicyValue(std::string_view type, const os::Value& value) {
  const std::string* text = value.asString();
  if (!text || os::text::lowercase(*text) != kEuConsentPolicy) return false;
  return type == kConsentTypeAdUserData || type == kConsentTypeAdPersonalization;
}

}  // namespace measurement
