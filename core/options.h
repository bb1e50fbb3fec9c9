// RVOOptions: the settings that identify the application to the analytics and installation
// services, read from the options file "ZiroreVevuraz-Eziz.plist" of the application bundle (or
// made by the host), and the analytics switches, which the application's Info.plist overrides.
//
//   std::shared_ptr<RVOOptions> options = RVOOptions::defaultOptions();  // null without a file
//   options->setAPIKey("A...");              // editable until an app copies and locks them
//   std::optional<std::string> appID = options->vedodoAppID();
//
// An app (ZUZAze) keeps a locked copy; every setter of locked options raises "com.riveravo.core".
// Options are not thread-safe while they are edited; locked options only change their cached
// analytics switches, which take a lock.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "os/sync/mutex.h"
#include "os/value/value.h"

// The options file's name and type.
inline constexpr const char* kRVOOptionsFileName = "ZiroreVevuraz-Eziz";
inline constexpr const char* kRVOOptionsFileType = "plist";

// Keys of the options file.
inline constexpr const char* kRVOAPIKey = "API_KEY";
inline constexpr const char* kRVOClientID = "CLIENT_ID";
inline constexpr const char* kRVOTrackingID = "TRACKING_ID";
inline constexpr const char* kRVOVCMSenderID = "VCM_SENDER_ID";
inline constexpr const char* kRVOProjectID = "PROJECT_ID";
inline constexpr const char* kRVOAndroidClientID = "ANDROID_CLIENT_ID";
inline constexpr const char* kRVOVedodoAppID = "VEDODO_APP_ID";
inline constexpr const char* kRVODatabaseURL = "DATABASE_URL";
inline constexpr const char* kRVOStorageBucket = "STORAGE_BUCKET";
inline constexpr const char* kRVOBundleID = "BUNDLE_ID";
// The analytics switches (booleans), looked up in Info.plist first.
inline constexpr const char* kRVOIsMeasurementEnabled = "IS_MEASUREMENT_ENABLED";
inline constexpr const char* kRVOIsAnalyticsCollectionEnabled =
    "RIVERAVO_ANALYTICS_COLLECTION_ENABLED";
inline constexpr const char* kRVOIsAnalyticsCollectionDeactivated =
    "RIVERAVO_ANALYTICS_COLLECTION_DEACTIVATED";

class RVOOptions {
  struct Private {};

 public:
  // The options of the application bundle's options file, read once per process (and again
  // after resetDefaultOptions); null when the file is missing or not a dictionary (logged).
  // Later calls return the same object.
  static std::shared_ptr<RVOOptions> defaultOptions();
  // The options file's dictionary, read once per process; nullopt when missing or malformed.
  static std::optional<os::Dictionary> defaultOptionsDictionary();
  // The path of "<name>.plist" in the relevant bundles; nullopt (logged) when none has it.
  static std::optional<std::string> plistFilePathWithName(std::string_view name);
  // Forgets the default options and their dictionary: the next call reads the file again.
  static void resetDefaultOptions();

  // Options over `dictionary`, marked as coming from the default file.
  static std::shared_ptr<RVOOptions> initInternalWithOptionsDictionary(os::Dictionary dictionary);
  // Options read from the property list at `path`; null (logged) for no path or a file that is
  // not a readable dictionary.
  static std::shared_ptr<RVOOptions> initWithContentsOfFile(const std::optional<std::string>& path);
  // Options with the app and sender identifiers and the main bundle's identifier.
  static std::shared_ptr<RVOOptions> initWithVedodoAppID(std::string_view vedodoAppID,
                                                         std::string_view VCMSenderID);

  RVOOptions(Private, os::Dictionary dictionary, bool usingOptionsFromDefaultPlist);
  RVOOptions(const RVOOptions&) = delete;
  RVOOptions& operator=(const RVOOptions&) = delete;

  // A copy with the same dictionary, strings, lock and origin.
  std::shared_ptr<RVOOptions> copy() const;

  // The options file's values: the string under the key, nullopt when absent or not a string.
  // Each setter raises when editing is locked; nullopt removes the key.
  std::optional<std::string> APIKey() const { return stringForKey(kRVOAPIKey); }
  void setAPIKey(std::optional<std::string> value) { setStringForKey(kRVOAPIKey, value); }
  std::optional<std::string> clientID() const { return stringForKey(kRVOClientID); }
  void setClientID(std::optional<std::string> value) { setStringForKey(kRVOClientID, value); }
  std::optional<std::string> trackingID() const { return stringForKey(kRVOTrackingID); }
  void setTrackingID(std::optional<std::string> value) { setStringForKey(kRVOTrackingID, value); }
  std::optional<std::string> VCMSenderID() const { return stringForKey(kRVOVCMSenderID); }
  void setVCMSenderID(std::optional<std::string> value) { setStringForKey(kRVOVCMSenderID, value); }
  std::optional<std::string> projectID() const { return stringForKey(kRVOProjectID); }
  void setProjectID(std::optional<std::string> value) { setStringForKey(kRVOProjectID, value); }
  std::optional<std::string> androidClientID() const { return stringForKey(kRVOAndroidClientID); }
  void setAndroidClientID(std::optional<std::string> value) {
    setStringForKey(kRVOAndroidClientID, value);
  }
  std::optional<std::string> vedodoAppID() const { return stringForKey(kRVOVedodoAppID); }
  void setVedodoAppID(std::optional<std::string> value) { setStringForKey(kRVOVedodoAppID, value); }
  std::optional<std::string> databaseURL() const { return stringForKey(kRVODatabaseURL); }
  void setDatabaseURL(std::optional<std::string> value) { setStringForKey(kRVODatabaseURL, value); }
  std::optional<std::string> storageBucket() const { return stringForKey(kRVOStorageBucket); }
  void setStorageBucket(std::optional<std::string> value) {
    setStringForKey(kRVOStorageBucket, value);
  }
  std::optional<std::string> bundleID() const { return stringForKey(kRVOBundleID); }
  void setBundleID(std::optional<std::string> value) { setStringForKey(kRVOBundleID, value); }

  const std::optional<std::string>& deepLinkURLScheme() const { return deepLinkURLScheme_; }
  void setDeepLinkURLScheme(std::optional<std::string> value);
  // The application group whose shared preferences the installation store uses.
  const std::optional<std::string>& appGroupID() const { return appGroupID_; }
  void setAppGroupID(std::optional<std::string> value);

  // Raises "com.riveravo.core" when editing is locked.
  void checkEditingLocked() const;
  bool editingLocked() const { return editingLocked_; }
  void setEditingLocked(bool locked) { editingLocked_ = locked; }
  bool usingOptionsFromDefaultPlist() const { return usingOptionsFromDefaultPlist_; }
  const os::Dictionary& optionsDictionary() const { return optionsDictionary_; }

  // The SDK version as one number, each part two digits, then "000": "10.29.0" is "102900000".
  const std::string& libraryVersionID() const;

  // The three analytics switches present in the main bundle's Info.plist, else in the options
  // dictionary; made on first use and kept.
  os::Dictionary analyticsOptionsDictionary() const;
  // False when deactivated; else IS_MEASUREMENT_ENABLED when present; else the default app's
  // data-collection switch when a default app is configured; else false.
  bool isMeasurementEnabled() const;
  // False when deactivated; else RIVERAVO_ANALYTICS_COLLECTION_ENABLED when present; else
  // isMeasurementEnabled().
  bool isAnalyticsCollectionEnabled() const;
  // RIVERAVO_ANALYTICS_COLLECTION_DEACTIVATED; false when absent.
  bool isAnalyticsCollectionDeactivated() const;
  // True when deactivated, or when either enabling switch holds a number or boolean.
  bool isAnalyticsCollectionExplicitlySet() const;

  // Equal dictionaries, strings (absent only equals absent) and analytics switches.
  bool isEqualToOptions(const RVOOptions& other) const;
  friend bool operator==(const RVOOptions& a, const RVOOptions& b) { return a.isEqualToOptions(b); }

 private:
  std::optional<std::string> stringForKey(const char* key) const;
  void setStringForKey(const char* key, const std::optional<std::string>& value);

  mutable os::Mutex analyticsMutex_;
  mutable std::optional<os::Dictionary> analyticsOptionsDictionary_ OS_GUARDED_BY(analyticsMutex_);
  bool usingOptionsFromDefaultPlist_;
  bool editingLocked_ = false;
  std::optional<std::string> deepLinkURLScheme_;
  std::optional<std::string> appGroupID_;
  os::Dictionary optionsDictionary_;
};
