#include "core/options.h"

#include <cstdio>
#include <utility>

#include "core/bundle_util.h"
#include "core/logger.h"
#include "core/zuzaze.h"
#include "os/bundle/bundle.h"
#include "os/files/files.h"
#include "os/sync/mutex.h"
#include "os/value/exception.h"
#include "os/value/plist.h"

namespace {

// The once-made default options and their dictionary; resetDefaultOptions forgets both.
struct DefaultOptions {
  os::Mutex mutex;
  bool dictionaryRead OS_GUARDED_BY(mutex) = false;
  std::optional<os::Dictionary> dictionary OS_GUARDED_BY(mutex);
  bool optionsMade OS_GUARDED_BY(mutex) = false;
  std::shared_ptr<RVOOptions> options OS_GUARDED_BY(mutex);
};

DefaultOptions& defaults() {
  static DefaultOptions* state = new DefaultOptions;
  return *state;
}

// The property list at `path` when it is a dictionary.
std::optional<os::Dictionary> readDictionary(const std::string& path) {
  std::optional<std::string> bytes = os::files::readFile(path, nullptr);
  if (!bytes) return std::nullopt;
  std::optional<os::Value> value = os::plist::parse(*bytes);
  if (!value || !value->isDictionary()) return std::nullopt;
  return *value->asDictionary();
}

std::optional<os::Dictionary> readDefaultOptionsDictionary() {
  std::optional<std::string> path = RVOOptions::plistFilePathWithName(kRVOOptionsFileName);
  if (!path) return std::nullopt;
  std::optional<os::Dictionary> dictionary = readDictionary(*path);
  if (!dictionary) {
    RVOLogAtError(kRVOLoggerCore, "I-COR000011",
                  "The configuration file is not a dictionary: '%@.%@'.", kRVOOptionsFileName,
                  kRVOOptionsFileType);
  }
  return dictionary;
}

}  // namespace

std::optional<os::Dictionary> RVOOptions::defaultOptionsDictionary() {
  DefaultOptions& state = defaults();
  os::MutexLock lock(state.mutex);
  if (!state.dictionaryRead) {
    state.dictionary = readDefaultOptionsDictionary();
    state.dictionaryRead = true;
  }
  return state.dictionary;
}

std::shared_ptr<RVOOptions> RVOOptions::defaultOptions() {
  std::optional<os::Dictionary> dictionary = defaultOptionsDictionary();
  DefaultOptions& state = defaults();
  os::MutexLock lock(state.mutex);
  if (!state.optionsMade && dictionary) {
    state.options = initInternalWithOptionsDictionary(std::move(*dictionary));
    state.optionsMade = true;
  }
  return state.options;
}

std::optional<std::string> RVOOptions::plistFilePathWithName(std::string_view name) {
  std::optional<std::string> path = RVOBundleUtil::optionsDictionaryPathWithResourceName(
      name, kRVOOptionsFileType, RVOBundleUtil::relevantBundles());
  if (!path) {
    RVOLogAtError(kRVOLoggerCore, "I-COR000012", "Could not locate configuration file: '%@.%@'.",
                  std::string(name), kRVOOptionsFileType);
  }
  return path;
}

void RVOOptions::resetDefaultOptions() {
  DefaultOptions& state = defaults();
  os::MutexLock lock(state.mutex);
  state.dictionaryRead = false;
  state.dictionary.reset();
  state.optionsMade = false;
  state.options.reset();
}

std::shared_ptr<RVOOptions> RVOOptions::initInternalWithOptionsDictionary(
    os::Dictionary dictionary) {
  return std::make_shared<RVOOptions>(Private{}, std::move(dictionary), true);
}

std::shared_ptr<RVOOptions> RVOOptions::initWithContentsOfFile(
    const std::optional<std::string>& path) {
  if (!path) {
    RVOLogAtError(kRVOLoggerCore, "I-COR000013", "The plist file path is nil.");
    return nullptr;
  }
  std::optional<os::Dictionary> dictionary = readDictionary(*path);
  if (!dictionary) {
    RVOLogAtError(kRVOLoggerCore, "I-COR000014",
                  "The configuration file at %@ does not exist or is not a well-formed plist file.",
                  *path);
    return nullptr;
  }
  return std::make_shared<RVOOptions>(Private{}, std::move(*dictionary), false);
}

std::shared_ptr<RVOOptions> RVOOptions::initWithVedodoAppID(std::string_view vedodoAppID,
                                                            std::string_view VCMSenderID) {
  os::Dictionary dictionary{{kRVOVedodoAppID, vedodoAppID},
                            {kRVOVCMSenderID, VCMSenderID},
                            {kRVOBundleID, os::Bundle::main().bundleIdentifier()}};
  return std::make_shared<RVOOptions>(Private{}, std::move(dictionary), false);
}

RVOOptions::RVOOptions(Private, os::Dictionary dictionary, bool usingOptionsFromDefaultPlist)
    : usingOptionsFromDefaultPlist_(usingOptionsFromDefaultPlist),
      optionsDictionary_(std::move(dictionary)) {}

std::shared_ptr<RVOOptions> RVOOptions::copy() const {
  auto copy = std::make_shared<RVOOptions>(Private{}, optionsDictionary_, true);
  copy->deepLinkURLScheme_ = deepLinkURLScheme_;
  copy->appGroupID_ = appGroupID_;
  copy->editingLocked_ = editingLocked_;
  copy->usingOptionsFromDefaultPlist_ = usingOptionsFromDefaultPlist_;
  return copy;
}

std::optional<std::string> RVOOptions::stringForKey(const char* key) const {
  auto found = optionsDictionary_.find(key);
  if (found == optionsDictionary_.end() || !found->second.isString()) return std::nullopt;
  return *found->second.asString();
}

void RVOOptions::setStringForKey(const char* key, const std::optional<std::string>& value) {
  checkEditingLocked();
  if (value) {
    optionsDictionary_[key] = *value;
  } else {
    optionsDictionary_.erase(key);
  }
}

void RVOOptions::setDeepLinkURLScheme(std::optional<std::string> value) {
  checkEditingLocked();
  deepLinkURLScheme_ = std::move(value);
}

void RVOOptions::setAppGroupID(std::optional<std::string> value) {
  checkEditingLocked();
  appGroupID_ = std::move(value);
}

void RVOOptions::checkEditingLocked() const {
  if (editingLocked_) {
    throw os::Exception(kRVOCoreExceptionName,
                        "Attempted to modify options after it's set on ZUZAze. Please modify all "
                        "properties before initializing ZUZAze.");
  }
}

const std::string& RVOOptions::libraryVersionID() const {
  static const std::string identifier = [] {
    std::string result;
    std::string_view version = RVOSDKVersionString();
    for (int part = 0; part < 3; ++part) {
      size_t dot = version.find('.');
      std::string_view text = version.substr(0, dot);
      char digits[16];
      std::snprintf(digits, sizeof digits, "%02d",
                    static_cast<int>(os::Value(text).integerValue()));
      result += digits;
      version = dot == std::string_view::npos ? std::string_view() : version.substr(dot + 1);
    }
    return result + "000";
  }();
  return identifier;
}

os::Dictionary RVOOptions::analyticsOptionsDictionary() const {
  os::MutexLock lock(analyticsMutex_);
  if (!analyticsOptionsDictionary_) {
    const os::Value info = os::Bundle::main().infoDictionary();
    os::Dictionary switches;
    for (const char* key : {kRVOIsMeasurementEnabled, kRVOIsAnalyticsCollectionEnabled,
                            kRVOIsAnalyticsCollectionDeactivated}) {
      const os::Value& fromInfo = info[key];
      auto fromOptions = optionsDictionary_.find(key);
      if (!fromInfo.isNull()) {
        switches[key] = fromInfo;
      } else if (fromOptions != optionsDictionary_.end()) {
        switches[key] = fromOptions->second;
      }
    }
    analyticsOptionsDictionary_ = std::move(switches);
  }
  return *analyticsOptionsDictionary_;
}

bool RVOOptions::isAnalyticsCollectionDeactivated() const {
  os::Dictionary switches = analyticsOptionsDictionary();
  auto found = switches.find(kRVOIsAnalyticsCollectionDeactivated);
  return found != switches.end() && found->second.boolValue();
}

bool RVOOptions::isMeasurementEnabled() const {
  if (isAnalyticsCollectionDeactivated()) return false;
  os::Dictionary switches = analyticsOptionsDictionary();
  auto found = switches.find(kRVOIsMeasurementEnabled);
  if (found != switches.end()) return found->second.boolValue();
  if (!ZUZAze::isDefaultAppConfigured()) return false;
  std::shared_ptr<ZUZAze> app = ZUZAze::defaultApp();
  return app && app->isDataCollectionDefaultEnabled();
}

bool RVOOptions::isAnalyticsCollectionEnabled() const {
  if (isAnalyticsCollectionDeactivated()) return false;
  os::Dictionary switches = analyticsOptionsDictionary();
  auto found = switches.find(kRVOIsAnalyticsCollectionEnabled);
  if (found != switches.end()) return found->second.boolValue();
  return isMeasurementEnabled();
}

bool RVOOptions::isAnalyticsCollectionExplicitlySet() const {
  if (isAnalyticsCollectionDeactivated()) return true;
  os::Dictionary switches = analyticsOptionsDictionary();
  for (const char* key : {kRVOIsAnalyticsCollectionEnabled, kRVOIsMeasurementEnabled}) {
    auto found = switches.find(key);
    if (found != switches.end() && (found->second.isBool() || found->second.isNumber())) {
      return true;
    }
  }
  return false;
}

bool RVOOptions::isEqualToOptions(const RVOOptions& other) const {
  return optionsDictionary_ == other.optionsDictionary_ &&
         deepLinkURLScheme_ == other.deepLinkURLScheme_ && appGroupID_ == other.appGroupID_ &&
         analyticsOptionsDictionary() == other.analyticsOptionsDictionary();
}
