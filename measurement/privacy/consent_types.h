// The vocabulary of consent: the four consent types and two statuses by name and number, the
// sources that set consent with their priority and diagnostic digit, and the one-character
// signal codes that travel with uploads.
//
//   consentTypeName(2);                         // "analytics_storage"
//   consentStatusFromName("denied");            // 2
//   consentSourceForStorageKey("consent_settings_tcf");  // 5: TCF data
//
// Stateless; any thread.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "os/value/value.h"

namespace measurement {

inline constexpr const char* kConsentTypeAdStorage = "ad_storage";
inline constexpr const char* kConsentTypeAnalyticsStorage = "analytics_storage";
inline constexpr const char* kConsentTypeAdUserData = "ad_user_data";
inline constexpr const char* kConsentTypeAdPersonalization = "ad_personalization";
// The four types in their fixed order, the order of every per-type encoding.
inline constexpr std::array<const char*, 4> kConsentTypes = {
    kConsentTypeAdStorage, kConsentTypeAnalyticsStorage, kConsentTypeAdUserData,
    kConsentTypeAdPersonalization};

inline constexpr const char* kConsentStatusGranted = "granted";
inline constexpr const char* kConsentStatusDenied = "denied";
// Accepted for "ad_user_data" and "ad_personalization" only: the regional default applies.
inline constexpr const char* kEuConsentPolicy = "eu_consent_policy";

// Sources of consent; a lower number has the higher priority.
inline constexpr int64_t kConsentSourceTCF = 5;
inline constexpr int64_t kConsentSourceThirdParty = 10;
inline constexpr int64_t kConsentSourceInfoPlist = 20;
inline constexpr int64_t kConsentSourceApp = 30;
inline constexpr int64_t kConsentSourceAppOnStart = 40;
inline constexpr int64_t kConsentSourceNone = 100;

// The keys under which the facade stores the consent of each source.
inline constexpr const char* kConsentSettingsTCFKey = "consent_settings_tcf";
inline constexpr const char* kConsentSettingsThirdPartyKey = "consent_settings_3p";
inline constexpr const char* kConsentSettingsKey = "consent_settings";
inline constexpr const char* kConsentSettingsOnStartKey = "consent_settings_on_start";

// 1..4 give the type's name, anything else nullopt.
std::optional<std::string> consentTypeName(int64_t type);
// 1 "granted", 2 "denied", anything else nullopt.
std::optional<std::string> consentStatusName(int64_t status);
// A type's number 1..4; 0 for any other name.
int64_t consentTypeFromName(std::string_view name);
// Exactly "granted" 1, "denied" 2; 0 otherwise.
int64_t consentStatusFromName(std::string_view name);
// The digit a source leaves in the diagnostics: 5 -> 7, 10 -> 5, 20 -> 3, 30 -> 5, 40 -> 4,
// 100 -> 0, and 0 for any other source.
int64_t consentSourceDiagnosticValue(int64_t source);
// "1" for granted (1), "0" for denied (2), "-" for anything else.
std::string consentSignalCode(int64_t status);
// The source whose consent is stored under `key`: TCF 5, third party 10, any other key the app, 30.
int64_t consentSourceForStorageKey(std::string_view key);

// The status of a stored value, compared case-insensitively: 1, 2, or 0 for anything else (a
// value that is not a string included).
int64_t consentStatusOfValue(const os::Value& value);
// Whether `value` is the regional-policy value for `type` (only the two ad types take it).
bool isEuConsentPolicyValue(std::string_view type, const os::Value& value);

}  // namespace measurement
