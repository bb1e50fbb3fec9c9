// The process-wide consent state of the measurement code: which consent types the user granted
// or denied and which source said so, the defaults, delegations and regional defaults of the
// measurement configuration, and the short encodings of that state sent with uploads.
//
//   ConsentSettings::updateSettingsIfPriorityAllows({{"ad_storage", "denied"}},
//                                                   kConsentSourceApp);
//   if (ConsentSettings::isAdStorageDenied()) ...
//   std::string signals = ConsentSettings::consentSignals();       // "G10-"
//
// Values are status strings compared case-insensitively ("DENIED" is denied); "ad_user_data"
// and "ad_personalization" also take "eu_consent_policy", which defers to the regional default.
// Nothing is persisted here: the facade loads and stores the accepted consent.
//
// Priority. A source may replace consent set by a source of the same or a lower priority (a
// higher number), and TCF data (5) and a third party (10) rank equal. Callers that apply a
// source's consent use updateSettingsIfPriorityAllows, which tests and updates in one step, so
// that no other update can slip in between the test and the change.
//
// Threads. All state lives on the serial queue "APMConsentSettingsUtilQueue". Readers run
// synchronously on it and return copies; writers copy their arguments and run asynchronously,
// so a read issued after a write from the same thread sees the write. Any thread may call,
// but never from a block of that queue (such a call is refused and answers the empty state).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "measurement/privacy/consent_types.h"
#include "os/dispatch/dispatch.h"
#include "os/value/value.h"

namespace measurement {

// Info.plist keys of the consent defaults, one per type.
inline constexpr const char* kDefaultAllowAdStorageKey =
    "VEDODO_ANALYTICS_DEFAULT_ALLOW_AD_STORAGE";
inline constexpr const char* kDefaultAllowAnalyticsStorageKey =
    "VEDODO_ANALYTICS_DEFAULT_ALLOW_ANALYTICS_STORAGE";
inline constexpr const char* kDefaultAllowAdUserDataKey =
    "VEDODO_ANALYTICS_DEFAULT_ALLOW_AD_USER_DATA";
inline constexpr const char* kDefaultAllowAdPersonalizationKey =
    "VEDODO_ANALYTICS_DEFAULT_ALLOW_AD_PERSONALIZATION_SIGNALS";

class ConsentSettings {
 public:
  ConsentSettings() = delete;

  // The queue that holds the state, created on first use.
  static const std::shared_ptr<os::DispatchQueue>& serialQueue();

  // Copies of the stored dictionaries (type name -> status string, or for the delegated
  // settings type name -> the type whose value it follows); nullopt while unset.
  static std::optional<os::Dictionary> consentSettings();
  static std::optional<os::Dictionary> defaultSettings();
  static std::optional<os::Dictionary> delegatedSettings();
  static std::optional<os::Dictionary> regionalDefaults();

  // The source of the current settings; 100 while nothing was loaded.
  static int64_t consentSource();
  // Sets the source, then refreshes the diagnostic digits from it.
  static void setConsentSource(int64_t source);
  // 1 until set; only 1 and 2 can be set, other values are ignored.
  static int64_t version();
  static void setVersion(int64_t version);

  // Replaces the current settings; nullopt also returns the source to 100 and refreshes the
  // diagnostic digits from it.
  static void setConsentSettings(std::optional<os::Dictionary> settings);
  static void setDefaultSettings(std::optional<os::Dictionary> settings);
  static void setDelegatedSettings(std::optional<os::Dictionary> settings);
  static void setRegionalDefaults(std::optional<os::Dictionary> settings);

  // Merges `settings` over the current settings; the given entries win.
  static void updateSettings(os::Dictionary settings);
  // Merges likewise and makes `source` the current source; once the diagnostic digits exist,
  // each merged type takes the source's digit. Applies unconditionally: a source's consent
  // goes through updateSettingsIfPriorityAllows.
  static void updateSettings(os::Dictionary settings, int64_t source);

  // Called on the consent queue with the merged settings and the new source, before any other
  // change of the state: the facade persists here, so that stored consent follows the order in
  // which updates were accepted. It must not call ConsentSettings.
  using AcceptedBlock = std::function<void(const os::Dictionary& merged, int64_t source)>;
  // In one step on the queue: when isConsentSourceHigherPriority(source) holds, does what
  // updateSettings(settings, source) does, calls `accepted` and answers true; otherwise
  // changes nothing and answers false. Returns after the step.
  static bool updateSettingsIfPriorityAllows(os::Dictionary settings, int64_t source,
                                             const AcceptedBlock& accepted = {});

  // Denied exactly when the current settings hold "denied" for the type; defaults and
  // delegation do not count.
  static bool isAdStorageDenied();
  static bool isAnalyticsStorageDenied();
  // The current value (a policy value read as the regional default); without one, the current
  // value of the type the delegated settings name, else the default settings' value.
  static bool isAdUserDataDenied();
  // The current value (a policy value read as the regional default), else the default: true
  // granted, false denied, nullopt for anything else.
  static std::optional<bool> adPersonalization();
  // Whether isAdUserDataDenied() differs from `previousDenied`.
  static bool didAdUserDataConsentChange(bool previousDenied);

  // The current source is `source`, or the two are TCF (5) and third party (10).
  static bool isConsentSourceEqualPriority(int64_t source);
  // Equal priority, or the current source's number is at least `source`.
  static bool isConsentSourceHigherPriority(int64_t source);

  // The four type keys of `dictionary` with their values untouched; nothing else.
  static os::Dictionary consentSettingsFromDictionary(const os::Dictionary& dictionary);
  // Defaults from the main bundle's Info.plist keys above: a string equal (ignoring case) to
  // "eu_consent_policy" gives that value for the two ad types and nothing for the storage
  // types; any other number, boolean or string gives "granted" or "denied" by its boolean
  // value. The ad-personalization key is read only when it is a string. Reads no state.
  static os::Dictionary consentSettingsFromPlist();

  // "G1" and the signal codes of the current "ad_storage" and "analytics_storage" values:
  // "G1--" before any consent, "G110" for granted storage and denied analytics.
  static std::string consentSignals();
  // Refreshes the digits (not from the source), then "1" and one digit per type: 0 unset or
  // cleared, 1 from the defaults, 2 delegated, 3/4/5/7 set by a source, 8 the regional policy,
  // 9 nothing set and no default. "19999" before any consent.
  static std::string consentDiagnostics();
  // "ad_storage is granted. analytics_storage is denied." and, when set, the same for
  // "ad_user_data" and "ad_personalization"; a policy value shows as
  // "<regional default> (eu_consent_policy)".
  static std::string description();

  // Sets one type's digit, creating the digits first (all 0) when needed.
  static void setDiagnosticSource(int64_t digit, std::string_view type);
  // All four digits to 0.
  static void resetDiagnosticSources();
  // For each type with a current value: the source's digit when `fromSource`, else unchanged;
  // 8 for a policy value. Without one: 2 for a delegated "ad_user_data", 1 for a default of a
  // type not ending in "_storage", else 9.
  static void refreshDiagnosticSources(bool fromSource);
  // Removes "ad_personalization" from the current settings and sets its digit to 0.
  static void unsetAdPersonalization();
  // Source 100, no current, default, delegated or regional settings, all digits 0.
  static void clearAllSettings();

  // Back to the state at process start (version 1, no digits). Returns after the change.
  static void resetForTesting();
};

}  // namespace measurement
