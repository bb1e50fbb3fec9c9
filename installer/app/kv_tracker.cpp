#include "installer/app/kv_tracker.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <vector>

#include "installer/app/software_info.h"
#include "measurement/engine/dizuraruvaze.h"
#include "os/bundle/bundle.h"
#include "os/bundle/defaults.h"
#include "os/log/log.h"
#include "os/net/url.h"
#include "os/process/process.h"
#include "os/sync/mutex.h"
#include "os/text/format.h"
#include "os/text/text.h"

namespace {

constexpr std::array<std::string_view, 3> kEvents = {"Install SW", "Open Or Close", "Downloader"};
constexpr std::string_view kUndefinedEvent = "Undefine Event";

constexpr std::array<std::string_view, 14> kActions = {"Launch App",
                                                       "Close",
                                                       "Download Try Again",
                                                       "Start Download",
                                                       "Download Successful",
                                                       "Download Failed",
                                                       "Install Start",
                                                       "Install Finished",
                                                       "Install Failed",
                                                       "Start Application",
                                                       "Start Application Failed",
                                                       "Download Close",
                                                       "Cancel Close",
                                                       "Exception Crash"};
constexpr std::string_view kUndefinedAction = "Undefine Action";

constexpr const char* kClientIdentifierKey = "cid";
constexpr const char* kUserAgentPattern =
    "Mozilla/5.0 (Macintosh; Intel Mac OS X %@; rv:49.0) Gecko/20100101 Firefox/49.0";

template <size_t N>
std::string_view lookup(const std::array<std::string_view, N>& table, int64_t index,
                        std::string_view otherwise) {
  return index >= 0 && index < static_cast<int64_t>(N) ? table[static_cast<size_t>(index)]
                                                       : otherwise;
}

std::string labelText(KVLabel kind, const std::optional<std::string>& text) {
  os::Value given = text ? os::Value(*text) : os::Value();
  switch (static_cast<int64_t>(kind)) {
    case 0:
      return text ? os::formatObjects("Success---%@", {given}) : "Success";
    case 1:
      return text ? os::formatObjects("Failed---%@", {given}) : "Failed";
    case 2:
      return os::formatObjects("Status:2; Type:%@", {given});
    case 3:
      return os::formatObjects("Status:1; Type:%@", {given});
    case 4:
      return text.value_or("");
    default:
      return "Undefine Label";
  }
}

std::string stringOf(const os::Value& value) { return value.stringValue().value_or(""); }

}  // namespace

KVTracker& KVTracker::getInstance() {
  static KVTracker* instance = new KVTracker();
  return *instance;
}

void KVTracker::resetForTesting() {
  KVTracker& tracker = getInstance();
  os::MutexLock lock(tracker.mutex_);
  tracker.tid_.clear();
  tracker.appName_.clear();
  tracker.appVersion_.clear();
  tracker.ua_.clear();
  tracker.MPVersion_.clear();
  tracker.cid_.clear();
  tracker.chooseLanguage_.clear();
  tracker.customDictionary_.clear();
}

void KVTracker::setupWithTrackingID(const std::string& trackingID) {
  os::Bundle bundle = os::Bundle::main();
  std::string version = getMacOSVersion();
  os::UserDefaults defaults = os::UserDefaults::standard();
  std::optional<std::string> clientIdentifier = defaults.stringForKey(kClientIdentifierKey);
  if (!clientIdentifier) {
    clientIdentifier = getMacAddress();
    if (clientIdentifier) defaults.setObject(kClientIdentifierKey, *clientIdentifier);
  }

  KVTracker& tracker = getInstance();
  os::MutexLock lock(tracker.mutex_);
  tracker.tid_ = trackingID;
  tracker.appName_ = stringOf(bundle.objectForInfoDictionaryKey("CFBundleName"));
  tracker.appVersion_ = stringOf(bundle.objectForInfoDictionaryKey("CFBundleVersion"));
  tracker.ua_ = os::formatObjects(kUserAgentPattern, {version});
  tracker.MPVersion_ = "1";
  tracker.cid_ = clientIdentifier.value_or("");
}

KVTracker::AnalyticsEvent KVTracker::analyticsEvent(
    KVEvent event, KVAction action, KVLabel label,
    const std::optional<std::string>& labelParameters) {
  std::string name(lookup(kEvents, static_cast<int64_t>(event), kUndefinedEvent));
  std::replace(name.begin(), name.end(), ' ', '_');
  TSRSoftWareInfo& info = TSRSoftWareInfo::singleton();
  return {name,
          {
              {"ea", std::string(lookup(kActions, static_cast<int64_t>(action), kUndefinedAction))},
              {"el", labelText(label, labelParameters)},
              {"install_trackversion", info.trackTestVersionID()},
              {"install_productversion", info.versionTrack()},
              {"soft_os_version", "Mac" + getMacOSVersion()},
              {"isPro", info.isProVersion() ? "true" : "false"},
          }};
}

void KVTracker::event(KVEvent event, KVAction action, KVLabel label,
                      const std::optional<std::string>& labelParameters) {
  AnalyticsEvent analytics = analyticsEvent(event, action, label, labelParameters);
  DIZUraruvaze::logEventWithName(analytics.name, analytics.parameters);
  os::log::console(os::formatObjects("Event Name:%@, Event parameters:%@",
                                     {analytics.name, analytics.parameters}));
}

void KVTracker::customDimension(const os::Dictionary& dimensions) {
  TSRSoftWareInfo& info = TSRSoftWareInfo::singleton();
  bool firstProduct = info.installProduct() == 1;
  os::Dictionary custom = {
      {firstProduct ? "cd8" : "cd1", info.trackTestVersionID()},
      {firstProduct ? "cd4" : "cd2", info.versionTrack()},
  };
  auto language = dimensions.find("chooseLanguage");
  KVTracker& tracker = getInstance();
  os::MutexLock lock(tracker.mutex_);
  tracker.chooseLanguage_ = language == dimensions.end() ? "" : stringOf(language->second);
  tracker.customDictionary_ = std::move(custom);
}

os::Dictionary KVTracker::getCustomDictionary() {
  KVTracker& tracker = getInstance();
  os::MutexLock lock(tracker.mutex_);
  return tracker.customDictionary_;
}

std::string KVTracker::getMacOSVersion() {
  os::process::OperatingSystemVersion version = os::process::operatingSystemVersion();
  return std::to_string(version.majorVersion) + "." + std::to_string(version.minorVersion) + "." +
         std::to_string(version.patchVersion);
}

std::optional<std::string> KVTracker::getMacAddress(const std::filesystem::path& interfaces) {
  std::vector<std::string> names;
  std::error_code code;
  for (const auto& entry : std::filesystem::directory_iterator(interfaces, code)) {
    names.push_back(entry.path().filename().string());
  }
  // "en0" first, as the platform named its primary interface; then any other by name.
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    return std::make_pair(a != "en0", a) < std::make_pair(b != "en0", b);
  });
  for (const std::string& name : names) {
    if (name == "lo") continue;
    std::string address;
    std::ifstream(interfaces / name / "address") >> address;
    if (address.size() != 17 || address == "00:00:00:00:00:00") continue;
    std::transform(address.begin(), address.end(), address.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return address;
  }
  os::log::console("Error: if_nametoindex error/n");
  return std::nullopt;
}

std::optional<std::string> KVTracker::hitAddress(std::string_view hitType,
                                                 const os::Dictionary& parameters) {
  KVTracker& tracker = getInstance();
  std::string query;
  {
    os::MutexLock lock(tracker.mutex_);
    query = os::formatObjects("v=%@&an=%@&tid=%@&av=%@&cid=%@&t=%@&ua=%@",
                              {tracker.MPVersion_, tracker.appName_, tracker.tid_,
                               tracker.appVersion_, tracker.cid_, hitType, tracker.ua_});
  }
  for (const auto& [key, value] : parameters) {
    query += os::formatObjects("&%@=%@", {key, value});
  }
  if (!os::text::isValidUtf8(query)) return std::nullopt;
  return std::string("https://") + TSRHosts::kAnalyticsHost + "/collect?" +
         os::url::percentEncode(query, os::url::kQueryAllowed);
}

std::optional<std::string> KVTracker::screenViewAddress(std::string_view screenName,
                                                        const os::Dictionary& customParameters) {
  os::Dictionary parameters = customParameters;
  parameters["cd"] = screenName;
  return hitAddress("screenview", parameters);
}

std::optional<std::string> KVTracker::exceptionAddress(std::string_view description, bool isFatal,
                                                       const os::Dictionary& customParameters) {
  os::Dictionary parameters = customParameters;
  parameters["exd"] = description;
  parameters["exf"] = isFatal ? "1" : "0";
  return hitAddress("exception", parameters);
}

std::string KVTracker::read(const std::string KVTracker::*field) const {
  os::MutexLock lock(mutex_);
  return this->*field;
}

std::string KVTracker::tid() const { return read(&KVTracker::tid_); }
std::string KVTracker::appName() const { return read(&KVTracker::appName_); }
std::string KVTracker::appVersion() const { return read(&KVTracker::appVersion_); }
std::string KVTracker::ua() const { return read(&KVTracker::ua_); }
std::string KVTracker::MPVersion() const { return read(&KVTracker::MPVersion_); }
std::string KVTracker::cid() const { return read(&KVTracker::cid_); }
std::string KVTracker::chooseLanguage() const { return read(&KVTracker::chooseLanguage_); }
