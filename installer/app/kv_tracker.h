// The installer's single entry for usage events. A caller describes what happened as three small
// numbers (event, action, label kind) and an optional label text; the tracker turns them into
// one analytics event with six string parameters and hands it to the measurement engine's
// public interface (DIZUraruvaze::logEventWithName), then writes the console line
// "Event Name:%@, Event parameters:%@".
//
//   KVTracker::setupWithTrackingID("UA-51273007-1");                   // once, at launch
//   KVTracker::customDimension({{"chooseLanguage", TempHelper::currentSelectionLanguage()}});
//   KVTracker::send(KVAction::LaunchApp);
//   // "Install_SW" with ea "Launch App", el "Success", ...
//   KVTracker::send(KVAction::DownloadFailed, KVLabel::Text, "timed out");
//
// It also keeps the client data of an older web-analytics hit protocol (client identifier, user
// agent, custom dimensions) and can build such hits as addresses; nothing sends them.
//
// Every function may be called from any thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "os/sync/mutex.h"
#include "os/value/value.h"

// The usage event's kind, action and label kind. The numbers are what the tracker has always
// been given; a number outside an enumeration (only tests make one) is sent as "Undefine Event",
// "Undefine Action" or "Undefine Label".
enum class KVEvent : int64_t {
  InstallSW = 0,    // "Install SW"
  OpenOrClose = 1,  // "Open Or Close"
  Downloader = 2,   // "Downloader"
};
enum class KVAction : int64_t {
  LaunchApp = 0,                // "Launch App"
  Close = 1,                    // "Close"
  DownloadTryAgain = 2,         // "Download Try Again"
  StartDownload = 3,            // "Start Download"
  DownloadSuccessful = 4,       // "Download Successful"
  DownloadFailed = 5,           // "Download Failed"
  InstallStart = 6,             // "Install Start"
  InstallFinished = 7,          // "Install Finished"
  InstallFailed = 8,            // "Install Failed"
  StartApplication = 9,         // "Start Application"
  StartApplicationFailed = 10,  // "Start Application Failed"
  DownloadClose = 11,           // "Download Close"
  CancelClose = 12,             // "Cancel Close"
  ExceptionCrash = 13,          // "Exception Crash"
};
// How the label text T is shown.
enum class KVLabel : int64_t {
  Success = 0,    // "Success---T", "Success" without T
  Failed = 1,     // "Failed---T", "Failed" without T
  StatusTwo = 2,  // "Status:2; Type:T"
  StatusOne = 3,  // "Status:1; Type:T"
  Text = 4,       // T itself
};

class KVTracker {
 public:
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

  // Sends the usage event (see AnalyticsEvent) and logs it.
  static void event(KVEvent event, KVAction action, KVLabel label,
                    const std::optional<std::string>& labelParameters);
  // The installer's events: an "Install SW" event with `action`.
  static void send(KVAction action, KVLabel label = KVLabel::Success,
                   const std::optional<std::string>& labelParameters = std::nullopt) {
    event(KVEvent::InstallSW, action, label, labelParameters);
  }
  // The event that event() would send, without sending it.
  static AnalyticsEvent analyticsEvent(KVEvent event, KVAction action, KVLabel label,
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

  mutable os::Mutex mutex_;
  std::string tid_ OS_GUARDED_BY(mutex_);
  std::string appName_ OS_GUARDED_BY(mutex_);
  std::string appVersion_ OS_GUARDED_BY(mutex_);
  std::string ua_ OS_GUARDED_BY(mutex_);
  std::string MPVersion_ OS_GUARDED_BY(mutex_);
  std::string cid_ OS_GUARDED_BY(mutex_);
  std::string chooseLanguage_ OS_GUARDED_BY(mutex_);
  os::Dictionary customDictionary_ OS_GUARDED_BY(mutex_);
};
