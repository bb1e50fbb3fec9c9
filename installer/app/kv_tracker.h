// The installer's single entry for usage events. A caller describes what happened as three small
// numbers (event, action, label kind) and an optional label text; the tracker turns them into
// one analytics event with six string parameters and hands it to the measurement engine's
// public interface (DIZUraruvaze::logEventWithName), then writes the console line
// "Event Name:%@, Event parameters:%@".
//
//   KVTracker::setupWithTrackingID("UA-51273007-1");                   // once, at launch
//   KVTracker::customDimension({{"chooseLanguage", TempHelper::currentSelectionLanguage()}});
//   KVTracker::event(0, 0, 0, std::nullopt, 0, KVTracker::getCustomDictionary());
//   // "Install_SW" with ea "Launch App", el "Success", ...
//
// It also keeps the client data of an older web-analytics hit protocol (client identifier, user
// agent, custom dimensions) and can build such hits as addresses; nothing sends them.
//
// Every function may be called from any thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "os/value.h"

class KVTracker {
 public:
  // Event numbers: 0 "Install SW", 1 "Open Or Close", 2 "Downloader", others "Undefine Event".
  // Action numbers: 0 "Launch App", 1 "Close", 2 "Download Try Again", 3 "Start Download",
  // 4 "Download Successful", 5 "Download Failed", 6 "Install Start", 7 "Install Finished",
  // 8 "Install Failed", 9 "Start Application", 10 "Start Application Failed",
  // 11 "Download Close", 12 "Cancel Close", 13 "Exception Crash", others "Undefine Action".
  // Label kinds, with the label text T: 0 "Success---T" ("Success" without T), 1 "Failed---T"
  // ("Failed"), 2 "Status:2; Type:T", 3 "Status:1; Type:T", 4 T itself, others
  // "Undefine Label".

  // What event() sends.
  struct AnalyticsEvent {
    // The event's name with every blank replaced by "_" ("Install_SW").
    std::string name;
    // "ea" the action, "el" the label text ("" when there is none), "install_trackversion" and
    // "install_productversion" the product information's trackTestVersionID and versionTrack,
    // "soft_os_version" "Mac" followed by getMacOSVersion(), "isPro" "true" or "false".
    os::Dictionary parameters;
  };

  // The shared instance; there is never a second one.
  static KVTracker& getInstance();
  // Forgets the set-up and the custom dimensions (tests).
  static void resetForTesting();

  // Stores the web-analytics property identifier, the main bundle's CFBundleName and
  // CFBundleVersion, the user agent with the system version, the protocol version "1", and the
  // client identifier: the user default "cid" when set, else getMacAddress(), which is then
  // stored under "cid" (nothing is stored when there is no address).
  static void setupWithTrackingID(const std::string& trackingID);

  // Sends the usage event (see AnalyticsEvent) and logs it. `transferCount` and
  // `customParameters` are not read; callers pass getCustomDictionary() as the last.
  static void event(int64_t event, int64_t action, int64_t label,
                    const std::optional<std::string>& labelParameters, int64_t transferCount,
                    const os::Dictionary& customParameters);
  // The event that event() would send, without sending it.
  static AnalyticsEvent analyticsEvent(int64_t event, int64_t action, int64_t label,
                                       const std::optional<std::string>& labelParameters);

  // Stores the dictionary's "chooseLanguage" and sets the custom dimensions: for product 1
  // "cd8" = trackTestVersionID and "cd4" = versionTrack, for every other product "cd1" and "cd2".
  static void customDimension(const os::Dictionary& dimensions);
  static os::Dictionary getCustomDictionary();

  // The system version "major.minor.patch" (os::process::operatingSystemVersion()).
  static std::string getMacOSVersion();
  // The hardware address of the interface "en0", upper-case "AA:BB:CC:DD:EE:FF". Linux names
  // its interfaces freely, so without an "en0" the first interface by name, loopback left out,
  // that has a non-zero 6-byte address stands in for it. nullopt (and a console line) when
  // there is none. `interfaces` is the kernel's interface folder; tests pass a made-up one.
  static std::optional<std::string> getMacAddress(
      const std::filesystem::path& interfaces = "/sys/class/net");

  // Web-analytics hits, built but never sent: the collector's address
  // "https://<analytics host>/collect?v=..&an=..&tid=..&av=..&cid=..&t=<hitType>&ua=.." followed
  // by "&key=value" for each of `parameters`, percent-escaped as a query; nullopt when the
  // query is not valid UTF-8.
  static std::optional<std::string> hitAddress(std::string_view hitType,
                                               const os::Dictionary& parameters);
  // A "screenview" hit with "cd" = the screen name, plus `customParameters`.
  static std::optional<std::string> screenViewAddress(std::string_view screenName,
                                                      const os::Dictionary& customParameters);
  // An "exception" hit with "exd" = the description and "exf" = "1" or "0", plus
  // `customParameters`.
  static std::optional<std::string> exceptionAddress(std::string_view description, bool isFatal,
                                                     const os::Dictionary& customParameters);

  // The client data; empty until set up.
  std::string tid() const;
  std::string appName() const;
  std::string appVersion() const;
  std::string ua() const;
  std::string MPVersion() const;
  std::string cid() const;
  std::string chooseLanguage() const;

  KVTracker(const KVTracker&) = delete;
  KVTracker& operator=(const KVTracker&) = delete;

 private:
  KVTracker() = default;
  // A copy of one of the string fields, read under the lock.
  std::string read(const std::string KVTracker::*field) const;

  mutable std::mutex mutex_;
  std::string tid_;                  // guarded by mutex_
  std::string appName_;              // guarded by mutex_
  std::string appVersion_;           // guarded by mutex_
  std::string ua_;                   // guarded by mutex_
  std::string MPVersion_;            // guarded by mutex_
  std::string cid_;                  // guarded by mutex_
  std::string chooseLanguage_;       // guarded by mutex_
  os::Dictionary customDictionary_;  // guarded by mutex_
};
